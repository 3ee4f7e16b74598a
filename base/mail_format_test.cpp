#include "base/mail_format.h"

#include "base/mail_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ebbmark {
namespace {

TimePoint At(long long seconds) {
  return TimePoint{std::chrono::seconds{seconds}};
}

MailMessage Valid() {
  MailMessage m;
  m.host = "mail.example.test";
  m.port = 25;
  m.from = "ebbmark@example.test";
  m.to = "admin@example.test";
  m.subject = "[Ebbmark] Power Event";
  m.body = "line one\nline two";
  return m;
}

std::vector<std::string> Lines(const std::string& crlf_text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < crlf_text.size()) {
    auto end = crlf_text.find("\r\n", start);
    if (end == std::string::npos) end = crlf_text.size();
    out.push_back(crlf_text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// Every LF is part of a CR LF and every CR is followed by LF.
bool OnlyCrLf(const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) return false;
    if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) return false;
  }
  return true;
}

std::string DecodeQuotedPrintable(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '=') {
      out += s[i];
    } else if (s.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::string DecodeBase64(const std::string& s) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (const char c : s) {
    if (c == '=') break;
    acc = (acc << 6) | static_cast<unsigned>(digits.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

TEST(MailFormat, BuildsTheHeadersAndACrLfBody) {
  const std::string text = FormatMailMessage(Valid(), At(1'800'000'000), "<1.2@host>");
  EXPECT_EQ(text,
            "Date: Fri, 15 Jan 2027 08:00:00 +0000\r\n"
            "From: ebbmark@example.test\r\n"
            "To: admin@example.test\r\n"
            "Subject: [Ebbmark] Power Event\r\n"
            "Message-ID: <1.2@host>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 8bit\r\n"
            "\r\n"
            "line one\r\n"
            "line two\r\n");
}

TEST(MailFormat, KeepsDisplayNamesAndListsSeveralRecipients) {
  MailMessage m = Valid();
  m.from = "Ebbmark <ebbmark@example.test>";
  m.to = "Admin <admin@example.test>";
  std::string text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_NE(text.find("\r\nFrom: Ebbmark <ebbmark@example.test>\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nTo: Admin <admin@example.test>\r\n"), std::string::npos);

  m.to = "a@example.test; b@example.test";
  text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_NE(text.find("\r\nTo: a@example.test, b@example.test\r\n"), std::string::npos);

  // However many recipients, the To header is folded into short lines.
  m.to.clear();
  for (int i = 0; i < 200; ++i) m.to += "r" + std::to_string(i) + "@example.test, ";
  ASSERT_EQ(CheckMailMessage(m), MailProblem::None);
  text = FormatMailMessage(m, At(0), "<x@y>");
  const auto to = text.find("\r\nTo: ") + 2;
  const auto next = text.find("\r\nSubject: ");
  std::size_t count = 0;
  for (std::size_t start = to; start < next;) {
    const auto end = text.find("\r\n", start);
    EXPECT_LE(end - start, 78u);
    if (start != to) {
      EXPECT_EQ(text[start], ' ');
    }
    for (auto at = text.find('@', start); at < end; at = text.find('@', at + 1)) ++count;
    start = end + 2;
  }
  EXPECT_EQ(count, 200u);
}

TEST(MailFormat, NormalizesEveryLineEnd) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"a\nb", "a\r\nb"},
      {"a\rb", "a\r\nb"},
      {"a\r\nb", "a\r\nb"},
      {"a\n\rb", "a\r\n\r\nb"},
      {"a\r\r\nb", "a\r\n\r\nb"},
      {"\n\n", "\r\n\r\n"},
      {"end\r", "end\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeLineEnds(c.in), c.out) << c.in;
}

TEST(MailFormat, TheWholeMessageHasOnlyCrLfLineEnds) {
  MailMessage m = Valid();
  m.body = "mixed\rends\nhere\r\n\n\rlast line without end";
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_TRUE(OnlyCrLf(text));
  EXPECT_TRUE(text.ends_with("\r\nlast line without end\r\n"));
}

TEST(MailFormat, ChecksTheMessageBeforeSending) {
  const struct {
    const char* what;
    void (*change)(MailMessage&);
    MailProblem expected;
  } cases[] = {
      {"valid", [](MailMessage&) {}, MailProblem::None},
      {"IPv6 literal", [](MailMessage& m) { m.host = "[::1]"; }, MailProblem::None},
      {"display name", [](MailMessage& m) { m.from = "Ebbmark <e@x.test>"; }, MailProblem::None},
      {"no host", [](MailMessage& m) { m.host = ""; }, MailProblem::NoHost},
      {"host with path", [](MailMessage& m) { m.host = "evil/x"; }, MailProblem::BadHost},
      {"host with user", [](MailMessage& m) { m.host = "u@mail"; }, MailProblem::BadHost},
      {"host with blank", [](MailMessage& m) { m.host = "mail x"; }, MailProblem::BadHost},
      {"host with CR LF", [](MailMessage& m) { m.host = "mail\r\nx"; }, MailProblem::BadHost},
      {"port 0", [](MailMessage& m) { m.port = 0; }, MailProblem::BadPort},
      {"port 70000", [](MailMessage& m) { m.port = 70000; }, MailProblem::BadPort},
      {"empty sender", [](MailMessage& m) { m.from = ""; }, MailProblem::BadSender},
      {"blank sender", [](MailMessage& m) { m.from = "  "; }, MailProblem::BadSender},
      {"sender with LF", [](MailMessage& m) { m.from = "a@x.test\nBcc: victim@x.test"; },
       MailProblem::BadSender},
      {"sender with CR", [](MailMessage& m) { m.from = "a@x.test\r"; }, MailProblem::BadSender},
      {"empty recipient", [](MailMessage& m) { m.to = ""; }, MailProblem::BadRecipient},
      {"only separators", [](MailMessage& m) { m.to = " ; , "; }, MailProblem::BadRecipient},
      {"recipient with CR LF", [](MailMessage& m) { m.to = "a@x.test\r\nRCPT TO:<b@x.test>"; },
       MailProblem::BadRecipient},
  };
  for (const auto& c : cases) {
    MailMessage m = Valid();
    c.change(m);
    EXPECT_EQ(CheckMailMessage(m), c.expected) << c.what;
  }
}

TEST(MailFormat, ASubjectCannotAddHeaders) {
  MailMessage m = Valid();
  m.subject = "Hello\r\nBcc: victim@example.test\n\nbody";
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  const auto lines = Lines(text);
  for (const auto& line : lines) EXPECT_FALSE(line.starts_with("Bcc:")) << line;
  EXPECT_NE(text.find("\r\nSubject: Hello Bcc: victim@example.test body\r\n"), std::string::npos);
  EXPECT_TRUE(OnlyCrLf(text));
}

TEST(MailFormat, FoldsALongSubjectAtBlanks) {
  MailMessage m = Valid();
  std::string subject;
  for (int i = 0; i < 20; ++i) subject += "word" + std::to_string(i) + " ";
  subject += "end";
  m.subject = subject;
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  const auto start = text.find("Subject: ");
  const auto end = text.find("\r\nMessage-ID:");
  const std::string header = text.substr(start, end - start);
  for (const auto& line : Lines(header)) EXPECT_LE(line.size(), 78u) << line;
  // Unfolding (dropping CR LF before a blank) gives the subject back.
  std::string unfolded;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header.compare(i, 2, "\r\n") == 0) {
      ++i;
      continue;
    }
    unfolded += header[i];
  }
  EXPECT_EQ(unfolded, "Subject: " + subject);
}

TEST(MailFormat, EncodesANonAsciiSubjectInWholeCharacters) {
  MailMessage m = Valid();
  // The 45-byte cut of an encoded word falls inside the "ä".
  m.subject = std::string(44, 'x') + "\xC3\xA4 Batterie f\xC3\xA4hrt herunter";
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  const auto start = text.find("Subject:");
  const auto end = text.find("\r\nMessage-ID:");
  std::string decoded;
  for (std::string line : Lines(text.substr(start, end - start))) {
    const auto open = line.find("=?UTF-8?B?");
    ASSERT_NE(open, std::string::npos) << line;
    ASSERT_TRUE(line.ends_with("?=")) << line;
    const std::string word = line.substr(open);
    EXPECT_LE(word.size(), 75u);
    const std::string part = DecodeBase64(word.substr(10, word.size() - 12));
    ASSERT_FALSE(part.empty());
    EXPECT_NE(static_cast<unsigned char>(part[0]) & 0xC0, 0x80u) << "split inside a character";
    decoded += part;
  }
  EXPECT_EQ(decoded, m.subject);
}

TEST(MailFormat, DotStuffsLinesThatBeginWithADot) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {".", ".."},
      {"a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n"},
      {"..x\r\n", "...x\r\n"},
      {"a.b\r\nc.\r\n", "a.b\r\nc.\r\n"},
      {"\r\n.\r\n.\r\n", "\r\n..\r\n..\r\n"},
      {"x\n.y", "x\n.y"},  // a bare LF is no line end on the wire
  };
  for (const auto& c : cases) EXPECT_EQ(DotStuff(c.in), c.out) << c.in;
}

TEST(MailFormat, FormatsDatesInUtcWithEnglishNames) {
  EXPECT_EQ(FormatMailDate(At(0)), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(FormatMailDate(At(1'709'211'662)), "Thu, 29 Feb 2024 13:01:02 +0000");
  EXPECT_EQ(FormatMailDate(At(1'800'000'000)), "Fri, 15 Jan 2027 08:00:00 +0000");
}

TEST(MailFormat, MakesMessageIdsFromTheHostName) {
  EXPECT_EQ(MakeMessageId(At(5), 0xabc, "pc-01.lan"), "<5.0000000000000abc@pc-01.lan>");
  EXPECT_EQ(MakeMessageId(At(5), 1, "My PC<>"), "<5.0000000000000001@MyPC>");
  EXPECT_EQ(MakeMessageId(At(5), 1, ""), "<5.0000000000000001@localhost>");
  EXPECT_EQ(MakeMessageId(At(5), 1, ".."), "<5.0000000000000001@localhost>");
}

TEST(MailFormat, OnlyAddressesThatCannotReachTheEnvelopeOrHeadersAsCommandsAreUsable) {
  const struct {
    const char* text;
    bool usable_as_sender;
    bool usable_as_list;
  } cases[] = {
      {"a@x.test", true, true},
      {"  Admin Person <a@x.test>  ", true, true},
      {"\"Smith, J <boss>\" <j@x.test>", true, true},
      {"a@x.test, Admin <b@x.test>; c@x.test,", false, true},
      // Control characters anywhere: ESC, VT, TAB, DEL, NUL.
      {"a\x1b@x.test", false, false},
      {"Admin\v <a@x.test>", false, false},
      {"a@x.test\t", false, false},
      {"a@x.test\x7f", false, false},
      // A bare address must not carry ESMTP parameters or brackets.
      {"a@x.test NOTIFY=NEVER", false, false},
      {"a@x.test>NOTIFY=NEVER", false, false},
      {"a@x.test, b@x.test ORCPT=rfc822;c", false, false},
      // The bracket form: one pair, nothing after it, a bare address inside.
      {"Admin <a@x.test> NOTIFY=NEVER", false, false},
      {"Admin <a@x.test", false, false},
      {"Admin <a@x.test> <b@x.test>", false, false},
      {"Admin <a@x.test NOTIFY=NEVER>", false, false},
      {"Admin <>", false, false},
      {"Admin <<a@x.test>>", false, false},
      {"", false, false},
      {" ; , ", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddressesUsable(c.text, false), c.usable_as_sender) << c.text;
    EXPECT_EQ(AddressesUsable(c.text, true), c.usable_as_list) << c.text;
  }
  // No real address is longer than 320 characters, and a header line must hold it.
  EXPECT_TRUE(AddressesUsable(std::string(313, 'a') + "@x.test", false));
  EXPECT_FALSE(AddressesUsable(std::string(314, 'a') + "@x.test", false));
  // NUL itself, inside the text.
  EXPECT_FALSE(AddressesUsable(std::string_view("a@x.test\0b", 10), false));

  // One bad entry leaves the others usable; only a list without any is refused.
  MailMessage m = Valid();
  m.to = "ok@x.test; a@x.test NOTIFY=NEVER";
  EXPECT_EQ(CheckMailMessage(m), MailProblem::None);
  EXPECT_EQ(SplitRecipients(m.to), std::vector<std::string>{"ok@x.test"});
  EXPECT_NE(FormatMailMessage(m, At(0), "<x@y>").find("\r\nTo: ok@x.test\r\n"), std::string::npos);
  m.to = "Doe, a@x.test NOTIFY=NEVER";
  EXPECT_EQ(CheckMailMessage(m), MailProblem::BadRecipient);
  m = Valid();
  m.from = "E\x1b[2J <e@x.test>";
  EXPECT_EQ(CheckMailMessage(m), MailProblem::BadSender);
}

TEST(MailFormat, TakesEnvelopeAddresses) {
  EXPECT_EQ(EnvelopeAddress(" a@x.test "), "a@x.test");
  EXPECT_EQ(EnvelopeAddress("Admin <a@x.test>"), "a@x.test");
  EXPECT_EQ(EnvelopeAddress("\"Smith, J\" <j@x.test>"), "j@x.test");
  EXPECT_EQ(SplitRecipients("a@x.test"), std::vector<std::string>{"a@x.test"});
  EXPECT_EQ(SplitRecipients("a@x.test, b@x.test;c@x.test"),
            (std::vector<std::string>{"a@x.test", "b@x.test", "c@x.test"}));
  EXPECT_EQ(SplitRecipients("\"Smith, J\" <j@x.test>, k@x.test"),
            (std::vector<std::string>{"j@x.test", "k@x.test"}));
  EXPECT_EQ(SplitRecipients(";;"), std::vector<std::string>{});
}

TEST(MailAddressList, SplitsOutsideQuotesAndKeepsTheOthersWhenOneIsBad) {
  const AddressList list =
      ReadAddressList("\"Doe, John\" <jd@x.test>, Doe, John <admin@x.test>; ops@x.test, r1");
  ASSERT_EQ(list.usable.size(), 3u);
  EXPECT_EQ(list.usable[0].name, "Doe, John");
  EXPECT_EQ(list.usable[0].address, "jd@x.test");
  // "Doe" alone is no address: it is reported, never sent to as RCPT TO:<Doe>.
  EXPECT_EQ(list.usable[1].name, "John");
  EXPECT_EQ(list.usable[1].address, "admin@x.test");
  EXPECT_EQ(list.usable[2].address, "ops@x.test");
  EXPECT_EQ(list.unusable, (std::vector<std::string>{"Doe", "r1"}));
  EXPECT_TRUE(list.cut.empty());
  // A quoted pair keeps its quote inside the name.
  const AddressList pair = ReadAddressList(R"("Say \"hi\", Bob" <b@x.test>)");
  ASSERT_EQ(pair.usable.size(), 1u);
  EXPECT_EQ(pair.usable[0].name, "Say \"hi\", Bob");
  // Latin-1 bytes are not text and never reach MAIL FROM.
  EXPECT_FALSE(AddressesUsable("caf\xE9@x.test", false));
  EXPECT_TRUE(AddressesUsable("caf\xC3\xA9@x.test", false));
}

TEST(MailAddressList, AnEntryTheLengthLimitCutIsDroppedWhole) {
  // A setting cut at the limit inside its last address: "r1" must not get mail.
  std::string text;
  for (int i = 0; i < 14; ++i) text += "someone@x.test, ";
  text += "ops@x.test, r100@example.test.long";
  text.resize(kAddressListLimit);
  const AddressList cut = ReadAddressList(text);
  EXPECT_EQ(cut.usable.size(), 15u);  // ops@ still fits whole
  EXPECT_EQ(cut.cut, "r100@example.test.");
  EXPECT_TRUE(cut.unusable.empty());
  EXPECT_FALSE(AddressesUsable(text, true));

  // At the limit but ending in a bracket or a separator, nothing was cut.
  std::string bracketed = std::string(kAddressListLimit - 11, 'n');
  bracketed = "\"" + bracketed.substr(2) + "\" <a@x.test>";
  ASSERT_EQ(bracketed.size(), kAddressListLimit);
  EXPECT_TRUE(ReadAddressList(bracketed).cut.empty());
  EXPECT_EQ(ReadAddressList(bracketed).usable.size(), 1u);
  // A shorter text, or a longer one that was never loaded, is not taken as cut.
  EXPECT_TRUE(ReadAddressList("a@x.test, b@x.test").cut.empty());
  EXPECT_TRUE(ReadAddressList(text + "x").cut.empty());
}

TEST(MailHeaders, DisplayNamesOutsideAsciiAreEncodedWordsAndFolded) {
  MailMessage m = Valid();
  m.from =
      "\xC3\x89"
      "bbmark W\xC3\xA4"
      "chter <ups@x.test>";
  m.to = "J\xC3\xB6rg \xC3\x9Cnal <jo@x.test>, plain@x.test, \"Doe, John\" <jd@x.test>";
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_NE(text.find("\r\nFrom: =?UTF-8?B?w4liYm1hcmsgV8OkY2h0ZXI=?= <ups@x.test>\r\n"),
            std::string::npos)
      << text;
  // Folded at a blank (inside a quoted name is allowed too), and whole again unfolded.
  std::string unfolded = text;
  for (auto at = unfolded.find("\r\n "); at != std::string::npos; at = unfolded.find("\r\n "))
    unfolded.erase(at, 2);
  EXPECT_NE(unfolded.find("\r\nTo: =?UTF-8?B?SsO2cmcgw5xuYWw=?= <jo@x.test>, plain@x.test, "
                          "\"Doe, John\" <jd@x.test>\r\n"),
            std::string::npos)
      << text;
  // No raw 8-bit byte anywhere in the headers.
  const std::string head = text.substr(0, text.find("\r\n\r\n"));
  for (const char c : head) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);

  // A long name becomes several words on lines of at most 78 characters,
  // none splitting a character.
  std::string name;
  for (int i = 0; i < 40; ++i) name += "\xC3\xA9t\xC3\xA9 ";
  const std::string folded = FoldHeader("From", HeaderDisplayName(name) + " <a@x.test>");
  std::size_t start = 0;
  int lines = 0;
  for (; start < folded.size(); ++lines) {
    auto end = folded.find("\r\n", start);
    if (end == std::string::npos) end = folded.size();
    EXPECT_LE(end - start, 78u);
    if (start > 0) {
      EXPECT_EQ(folded[start], ' ');
    }
    start = end + 2;
  }
  EXPECT_GE(lines, 3);
  EXPECT_NE(folded.find(" <a@x.test>"), std::string::npos);

  // Pure ASCII is left alone; specials are quoted, not encoded.
  EXPECT_EQ(HeaderDisplayName("Ebbmark Watch"), "Ebbmark Watch");
  EXPECT_EQ(HeaderDisplayName("Doe, J. \"Jo\""), "\"Doe, J. \\\"Jo\\\"\"");
  EXPECT_EQ(FoldHeader("To", "a@x.test"), "To: a@x.test");
}

TEST(MailHeaders, GreetingNamesAndAddressLiterals) {
  EXPECT_TRUE(UsableGreetingName("host.example.test"));
  EXPECT_FALSE(UsableGreetingName("vm"));
  EXPECT_FALSE(UsableGreetingName("DESKTOP-1A2B3C"));
  EXPECT_FALSE(
      UsableGreetingName("\xC3\x89"
                         "b\xC3\xA8ne-Serveur.lan"));
  EXPECT_FALSE(UsableGreetingName("a..b"));
  EXPECT_FALSE(UsableGreetingName("host.example."));
  EXPECT_FALSE(UsableGreetingName("-a.b"));
  EXPECT_EQ(AddressLiteral("192.0.2.7"), "[192.0.2.7]");
  EXPECT_EQ(AddressLiteral("fe80::1%eth0"), "[IPv6:fe80::1]");
}

TEST(MailBody, ControlBytesAreDroppedAndWindowsTextBecomesUtf8) {
  MailMessage m = Valid();
  static constexpr char kBody[] = "a\0b\x01\tc\x1b[2J\r\nd\x7f";
  m.body = std::string(kBody, sizeof kBody - 1);
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_TRUE(text.ends_with("\r\n\r\nab\tc[2J\r\nd\x7f\r\n")) << text;

  EXPECT_EQ(TextAsUtf8("caf\xC3\xA9"), "caf\xC3\xA9");  // UTF-8 stays
  EXPECT_EQ(TextAsUtf8("caf\xE9 \x80 \x96"), "caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x93");
  // Overlong and surrogate forms are not UTF-8 either.
  EXPECT_EQ(TextAsUtf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
  EXPECT_EQ(TextAsUtf8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xE2\x82\xAC");
}

TEST(MailFormat, SendsOverlongLinesAsQuotedPrintable) {
  MailMessage m = Valid();
  const std::string long_line = std::string(1500, 'a') + "=b\xC3\xA4 " + std::string(600, 'c');
  m.body = "short\n" + long_line + "\n.\nlast ";
  const std::string text = FormatMailMessage(m, At(0), "<x@y>");
  EXPECT_NE(text.find("\r\nContent-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  const std::string body = text.substr(text.find("\r\n\r\n") + 4);
  for (const auto& line : Lines(body)) EXPECT_LE(line.size(), 76u);
  EXPECT_TRUE(OnlyCrLf(body));
  EXPECT_EQ(DecodeQuotedPrintable(body), "short\r\n" + long_line + "\r\n.\r\nlast \r\n");
}

TEST(MailFormat, KeepsLinesUpToTheSmtpLimitAs8Bit) {
  MailMessage m = Valid();
  m.body = std::string(998, 'a');
  EXPECT_NE(FormatMailMessage(m, At(0), "<x@y>").find("Content-Transfer-Encoding: 8bit"),
            std::string::npos);
  m.body += 'a';
  EXPECT_NE(FormatMailMessage(m, At(0), "<x@y>").find("quoted-printable"), std::string::npos);
}

TEST(MailAnswer, RefusedRecipientsCrossThePipeWithTheResult) {
  MailResult sent(true, 0, {},
                  {{"former.staff@x", "550 5.1.1 <former.staff@x>: User unknown"},
                   {"old@x", "550 no\r\nsuch"}});
  const MailResult back = DecodeMailAnswer(EncodeMailAnswer(sent));
  EXPECT_TRUE(back.sent);
  ASSERT_EQ(back.refused.size(), 2u);
  EXPECT_EQ(back.refused[0].address, "former.staff@x");
  EXPECT_EQ(back.refused[0].reply, "550 5.1.1 <former.staff@x>: User unknown");
  EXPECT_EQ(back.refused[1].reply, "550 no  such") << "a reply never splits the answer";

  const MailResult failed(false, 55, "the server refused every recipient", {{"a@x", "550 no"}});
  const MailResult failed_back = DecodeMailAnswer(EncodeMailAnswer(failed));
  EXPECT_FALSE(failed_back.sent);
  EXPECT_EQ(failed_back.error_number, 55);
  EXPECT_EQ(failed_back.error_text, "the server refused every recipient");
  ASSERT_EQ(failed_back.refused.size(), 1u);

  // Refused lines without the result line, or with a blank address, are no answer.
  EXPECT_EQ(DecodeMailAnswer("refused a@x 550 no\n").error_text,
            "the mail helper gave an answer that could not be read");
  EXPECT_EQ(DecodeMailAnswer("refused  550 no\n0 sent\n").error_text,
            "the mail helper gave an answer that could not be read");
}

TEST(MailAnswer, AReplyIsQuotedOnOneLineAndCutAtTwoHundredCharacters) {
  EXPECT_EQ(QuotableReply("550 5.6.0 improper use\r\n"), "550 5.6.0 improper use");
  EXPECT_EQ(QuotableReply("  550\tx  "), "550x");
  const std::string long_reply = "550 " + std::string(300, 'x');
  EXPECT_EQ(QuotableReply(long_reply).size(), kReplyLimit);
  // Never cut inside a letter of several bytes.
  const std::string whole = "550 " + std::string(194, 'x') + "\xc3\xa4\xc3\xa4";
  EXPECT_EQ(QuotableReply(whole), "550 " + std::string(194, 'x') + "\xc3\xa4");
  const std::string split = "550 " + std::string(195, 'x') + "\xc3\xa4";
  EXPECT_EQ(QuotableReply(split), "550 " + std::string(195, 'x'));
}

}  // namespace
}  // namespace ebbmark

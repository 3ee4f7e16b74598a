#include "base/mail_format.h"

#include <array>
#include <cstdio>

namespace ebbmark {
namespace {

constexpr std::size_t kMaxLineOctets = 998;  // SMTP's limit without the CR LF
constexpr std::size_t kQpLineChars = 76;

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

bool HasControl(std::string_view s) {
  for (const char c : s)
    if (IsControl(static_cast<unsigned char>(c))) return true;
  return false;
}

// The address proper: what goes between the brackets of MAIL FROM or RCPT TO.
bool BareAddressOk(std::string_view a) {
  if (a.empty()) return false;
  for (const char ch : a) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) || c == ' ' || c == '<' || c == '>') return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool HostCharOk(unsigned char c) {
  // Anything that would change the meaning of the smtp:// address it goes
  // into (a path, a user part, a query, blanks, control characters) is out.
  if (c <= 0x20 || c == 0x7f) return false;
  switch (c) {
    case '/':
    case '\\':
    case '?':
    case '#':
    case '@':
    case '%':
    case '"':
    case '<':
    case '>':
      return false;
    default:
      return true;
  }
}

// Replaces line breaks and other control characters by blanks, so a subject
// stays one header however it was written.
std::string FlattenSubject(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool last_was_break = false;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const bool is_break = c == '\r' || c == '\n';
    if (is_break) {
      if (!last_was_break) out += ' ';
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      out += ' ';
    } else {
      out += ch;
    }
    last_was_break = is_break;
  }
  return out;
}

bool IsAscii(std::string_view s) {
  for (const char ch : s)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

std::string Base64(std::string_view in) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (const std::size_t rest = in.size() - i; rest > 0) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// "Subject: text" folded before blanks so lines stay near 78 characters.
std::string AsciiHeader(std::string_view name, std::string_view value) {
  std::string out(name);
  out += ": ";
  std::size_t line_len = out.size();
  std::size_t pos = 0;
  while (pos < value.size()) {
    // The next word, with the blank that precedes it.
    std::size_t end = value.find(' ', pos + 1);
    if (end == std::string_view::npos) end = value.size();
    const std::string_view word = value.substr(pos, end - pos);
    if (line_len + word.size() > 78 && line_len > name.size() + 2 && word.size() > 1 &&
        word.front() == ' ') {
      out += "\r\n";
      line_len = 0;
    }
    out += word;
    line_len += word.size();
    pos = end;
  }
  return out;
}

// "Subject: =?UTF-8?B?...?=" in encoded words of at most 75 characters, each
// holding whole UTF-8 characters.
std::string EncodedHeader(std::string_view name, std::string_view value) {
  constexpr std::size_t kRawPerWord = 45;  // 60 base64 characters
  std::string out(name);
  out += ':';
  std::size_t pos = 0;
  while (pos < value.size()) {
    std::size_t end = std::min(pos + kRawPerWord, value.size());
    // Never split a multi-byte character: step back over continuation bytes.
    while (end > pos + 1 && end < value.size() &&
           (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
      --end;
    if (pos > 0) out += "\r\n";
    out += " =?UTF-8?B?";
    out += Base64(value.substr(pos, end - pos));
    out += "?=";
    pos = end;
  }
  return out;
}

bool HasLongLine(std::string_view crlf_text) {
  std::size_t start = 0;
  while (start <= crlf_text.size()) {
    auto end = crlf_text.find("\r\n", start);
    if (end == std::string_view::npos) end = crlf_text.size();
    if (end - start > kMaxLineOctets) return true;
    start = end + 2;
  }
  return false;
}

}  // namespace

MailProblem CheckMailMessage(const MailMessage& m) {
  if (m.host.empty()) return MailProblem::NoHost;
  std::string_view host = m.host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  for (const char c : host)
    if (!HostCharOk(static_cast<unsigned char>(c)) || c == '[' || c == ']')
      return MailProblem::BadHost;
  if (m.port < 1 || m.port > 65535) return MailProblem::BadPort;
  if (!AddressesUsable(m.from, false)) return MailProblem::BadSender;
  if (!AddressesUsable(m.to, true)) return MailProblem::BadRecipient;
  return MailProblem::None;
}

namespace {

// Longer than any real address with its display name (a path holds at most
// 256 octets), and short enough that a header line with it stays in SMTP's limit.
constexpr std::size_t kMaxEntry = 320;

// One entry: "Name <addr>" or a bare address. Quotes may hide brackets in the name.
bool EntryUsable(std::string_view entry) {
  entry = Trim(entry);
  if (entry.size() > kMaxEntry) return false;
  bool quoted = false;
  std::size_t open = std::string_view::npos;
  std::size_t close = std::string_view::npos;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      if (open != std::string_view::npos) return false;
      open = i;
    } else if (!quoted && c == '>') {
      if (open == std::string_view::npos || close != std::string_view::npos) return false;
      close = i;
    }
  }
  if (open == std::string_view::npos) return BareAddressOk(entry);
  // Text after the bracket would reach no one, or worse, the envelope.
  if (close == std::string_view::npos || close + 1 != entry.size()) return false;
  return BareAddressOk(Trim(entry.substr(open + 1, close - open - 1)));
}

}  // namespace

bool AddressesUsable(std::string_view text, bool list) {
  if (HasControl(text)) return false;
  if (!list) return EntryUsable(text);
  // Split as SplitRecipients does; empty parts (a trailing ",") are dropped.
  std::size_t entries = 0;
  bool quoted = false;
  bool angled = false;
  std::size_t start = 0;
  const auto check = [&](std::size_t end) {
    const std::string_view part = text.substr(start, end - start);
    if (Trim(part).empty()) return true;
    ++entries;
    return EntryUsable(part);
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      angled = true;
    } else if (!quoted && c == '>') {
      angled = false;
    } else if (!quoted && !angled && (c == ',' || c == ';')) {
      if (!check(i)) return false;
      start = i + 1;
    }
  }
  return check(text.size()) && entries > 0;
}

const char* MailProblemText(MailProblem problem) {
  switch (problem) {
    case MailProblem::None:
      return "";
    case MailProblem::NoHost:
      return "No SMTP server is set";
    case MailProblem::BadHost:
      return "The SMTP server name is not valid";
    case MailProblem::BadPort:
      return "The SMTP port is not in 1..65535";
    case MailProblem::BadSender:
      return "The sender address is empty or not a usable address";
    case MailProblem::BadRecipient:
      return "A recipient address is empty or not a usable address";
  }
  return "";
}

std::string EnvelopeAddress(std::string_view address) {
  const auto open = address.rfind('<');
  if (open != std::string_view::npos) {
    const auto close = address.find('>', open);
    if (close != std::string_view::npos)
      return std::string(Trim(address.substr(open + 1, close - open - 1)));
  }
  return std::string(Trim(address));
}

std::vector<std::string> SplitRecipients(std::string_view to) {
  std::vector<std::string> out;
  bool quoted = false;
  bool angled = false;
  std::size_t start = 0;
  auto take = [&](std::size_t end) {
    std::string a = EnvelopeAddress(to.substr(start, end - start));
    if (!a.empty()) out.push_back(std::move(a));
  };
  for (std::size_t i = 0; i < to.size(); ++i) {
    const char c = to[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      angled = true;
    } else if (!quoted && c == '>') {
      angled = false;
    } else if (!quoted && !angled && (c == ',' || c == ';')) {
      take(i);
      start = i + 1;
    }
  }
  take(to.size());
  return out;
}

std::string NormalizeLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string DotStuff(std::string_view crlf_text) {
  std::string out;
  out.reserve(crlf_text.size() + 8);
  bool line_start = true;
  for (std::size_t i = 0; i < crlf_text.size(); ++i) {
    const char c = crlf_text[i];
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = c == '\n' && i > 0 && crlf_text[i - 1] == '\r';
  }
  return out;
}

std::string FormatMailDate(TimePoint t) {
  using namespace std::chrono;
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const weekday wd{day};
  const hh_mm_ss hms{t - day};
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d +0000", kDays[wd.c_encoding()],
                static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                static_cast<int>(ymd.year()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
  return buf;
}

std::string MakeMessageId(TimePoint t, std::uint64_t random, std::string_view host) {
  std::string domain;
  for (const char c : host) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.')
      domain += c;
  }
  while (!domain.empty() && domain.front() == '.') domain.erase(domain.begin());
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  if (domain.empty()) domain = "localhost";
  char buf[64];
  std::snprintf(buf, sizeof buf, "<%lld.%016llx@",
                static_cast<long long>(t.time_since_epoch().count()),
                static_cast<unsigned long long>(random));
  return buf + domain + ">";
}

std::string QuotedPrintable(std::string_view crlf_text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(crlf_text.size() + crlf_text.size() / 8);
  std::size_t start = 0;
  while (start <= crlf_text.size()) {
    auto end = crlf_text.find("\r\n", start);
    const bool last = end == std::string_view::npos;
    if (last) end = crlf_text.size();
    const std::string_view line = crlf_text.substr(start, end - start);
    std::size_t col = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      const bool at_end = i + 1 == line.size();
      const bool literal =
          (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !at_end);
      const std::size_t width = literal ? 1 : 3;
      // Leave room for the "=" of a soft break, unless this ends the line.
      if (col + width > (at_end ? kQpLineChars : kQpLineChars - 1)) {
        out += "=\r\n";
        col = 0;
      }
      if (literal) {
        out += static_cast<char>(c);
      } else {
        out += '=';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
      col += width;
    }
    if (last) break;
    out += "\r\n";
    start = end + 2;
  }
  return out;
}

std::string FormatMailMessage(const MailMessage& m, TimePoint date, std::string_view message_id) {
  std::string body = NormalizeLineEnds(m.body);
  if (!body.empty() && !body.ends_with("\r\n")) body += "\r\n";
  const bool long_lines = HasLongLine(body);

  // A long list is folded after its commas, so no header line outgrows
  // what SMTP carries however many recipients there are.
  std::string to;
  std::size_t line_len = 4;  // "To: "
  for (const auto& r : SplitRecipients(m.to)) {
    if (!to.empty()) {
      to += ',';
      ++line_len;
      if (line_len + 1 + r.size() > 78) {
        to += "\r\n";
        line_len = 0;
      }
      to += ' ';
      ++line_len;
    }
    to += r;
    line_len += r.size();
  }
  // A single recipient keeps the text as written, display name included.
  if (SplitRecipients(m.to).size() == 1) to = std::string(Trim(m.to));

  const std::string subject = FlattenSubject(m.subject);

  std::string out;
  out.reserve(body.size() + 512);
  out += "Date: " + FormatMailDate(date) + "\r\n";
  out += "From: " + std::string(Trim(m.from)) + "\r\n";
  out += "To: " + to + "\r\n";
  out += (IsAscii(subject) ? AsciiHeader("Subject", subject) : EncodedHeader("Subject", subject));
  out += "\r\n";
  out += "Message-ID: " + std::string(message_id) + "\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: text/plain; charset=UTF-8\r\n";
  out += long_lines ? "Content-Transfer-Encoding: quoted-printable\r\n"
                    : "Content-Transfer-Encoding: 8bit\r\n";
  out += "\r\n";
  out += long_lines ? QuotedPrintable(body) : body;
  return out;
}

}  // namespace ebbmark

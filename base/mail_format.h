#pragma once
// One plain-text email as it goes on the wire: checking the addresses, the
// RFC 5322 headers, CR LF line ends and the SMTP dot rule. Shared by the mail
// clients of both platforms.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace ebbmark {

struct MailMessage {
  std::string host;
  int port = 25;
  std::string from;
  std::string to;
  std::string subject;
  std::string body;  // any line ends; sent with CR LF
  // Sign-in and encryption (common/mail_sign_in.h). A user name is only ever
  // sent over an encrypted connection; the password is never logged.
  int security = 0;  // a MailSecurity value
  std::string user;  // empty: no sign-in
  std::string password;
};

// A recipient the server would not take, with its reply line (code and
// text, cut to kReplyLimit characters).
struct RecipientRefusal {
  std::string address;
  std::string reply;
};

// How a send ended. A message that reached some recipients is sent; the
// ones the server refused are listed either way, so each can be recorded.
struct MailResult {
  MailResult() = default;
  MailResult(bool sent_, int error_number_, std::string error_text_,
             std::vector<RecipientRefusal> refused_ = {})
      : sent(sent_),
        error_number(error_number_),
        error_text(std::move(error_text_)),
        refused(std::move(refused_)) {}
  bool sent = false;
  int error_number = 0;
  std::string error_text;
  std::vector<RecipientRefusal> refused;
};

// Server reply lines quoted in records are cut at this many characters.
inline constexpr std::size_t kReplyLimit = 200;

// A server's reply line as a record may quote it: control characters and
// the line end dropped, blanks around it trimmed, cut at kReplyLimit.
std::string QuotableReply(std::string_view line);

// Why a message must not be sent. Addresses that fail AddressesUsable would
// let their text smuggle headers, SMTP commands or ESMTP parameters, so they
// are refused outright.
enum class MailProblem { None, NoHost, BadHost, BadPort, BadSender, BadRecipient };

// The message can go out: a host, a port, a usable sender and at least one
// usable recipient (the others are left out, see ReadAddressList).
MailProblem CheckMailMessage(const MailMessage& message);

// Settings values are cut at this many bytes when they are loaded.
inline constexpr std::size_t kAddressListLimit = 254;

// One entry of an address list: "name@domain", "Name <name@domain>" or
// "\"Doe, John\" <name@domain>".
struct AddressEntry {
  std::string written;  // the entry as it stands in the list, blanks around it dropped
  std::string name;     // the display name without its quotes; may be empty
  std::string address;  // what goes between the brackets of the envelope
};

struct AddressList {
  std::vector<AddressEntry> usable;
  std::vector<std::string> unusable;  // entries as written that hold no usable address
  std::string cut;  // the last entry, dropped because the length limit may have cut it
};

// Splits at "," and ";" outside quotes and angle brackets and checks each
// entry: no control character (C0 or DEL), valid UTF-8, either
// "Name <addr>" with nothing after the ">" or a bare addr, where addr is
// local@domain with neither part empty and no blank, bracket, quote, "@",
// "," or ";" in the domain; no entry longer than 320 characters. Empty parts
// are dropped. In a text of exactly kAddressListLimit bytes (what a longer
// setting is cut to) the last entry is taken as cut, and dropped, unless it
// ends in ">" or a separator ends the text: the limit may have fallen inside
// it, and a fragment such as "ops@exa" must not get mail.
AddressList ReadAddressList(std::string_view text);

// Whether a sender (`list` false: one address) or a recipient list (`list`
// true) is safe to put on the wire as a whole: every entry usable as
// ReadAddressList reads it, at least one, nothing cut.
bool AddressesUsable(std::string_view text, bool list);

// A short English description of a problem, for the error text of a result.
const char* MailProblemText(MailProblem problem);

// The bare address for the SMTP envelope: "Name <a@b>" gives "a@b", "a@b"
// stays; blanks around it are dropped.
std::string EnvelopeAddress(std::string_view address);

// The envelope addresses of the usable recipients of a To text.
std::vector<std::string> SplitRecipients(std::string_view to);

// Whether any text outside ASCII is in the envelope: such a message can only
// go to a server that offers SMTPUTF8.
bool NeedsSmtpUtf8(const MailMessage& message);

// A display name as a header carries it: plain when it is ASCII words, a
// quoted string when it holds specials, RFC 2047 encoded words (UTF-8, B)
// when it holds anything outside ASCII. The words are separated by blanks,
// where the header may be folded.
std::string HeaderDisplayName(std::string_view name);

// "Name: value" folded at its blanks so that lines stay within 78
// characters where the words allow it (RFC 5322); continuation lines begin
// with a blank. No CR LF at the end.
std::string FoldHeader(std::string_view name, std::string_view value);

// Whether `name` may follow EHLO: a fully qualified domain name in ASCII
// letters, digits and "-", with at least one dot and no empty label.
bool UsableGreetingName(std::string_view name);

// The address literal of RFC 5321 for an IP address: "[192.0.2.7]",
// "[IPv6:2001:db8::1]".
std::string AddressLiteral(std::string_view ip);

// The text as UTF-8: itself when it is valid UTF-8, else read as
// Windows-1252 (the encoding of files written by Windows-era editors).
std::string TextAsUtf8(std::string_view text);

// The text without NUL and the other C0 control characters except TAB, CR and LF.
std::string DropControlCharacters(std::string_view text);

// Every CR LF, lone CR and lone LF becomes CR LF.
std::string NormalizeLineEnds(std::string_view text);

// Doubles a "." at the start of every line of CR LF text, so a line holding
// only "." cannot end the SMTP data early. For clients that write the DATA
// section themselves (libcurl does this on its own).
std::string DotStuff(std::string_view crlf_text);

// "Mon, 07 Dec 2026 05:45:22 +0000": the date in UTC, English names.
std::string FormatMailDate(TimePoint t);

// "<1796620522.0123456789abcdef@host>"; a host without usable characters
// gives "localhost".
std::string MakeMessageId(TimePoint t, std::uint64_t random, std::string_view host);

// The whole message: headers (Date, From, To, Subject, Message-ID, MIME,
// text/plain UTF-8) and the body with CR LF line ends, ending in CR LF.
// A subject's line breaks become blanks; a non-ASCII subject or display
// name is encoded. Unusable and cut recipients are left out of To. The body
// loses its control characters (DropControlCharacters).
// The body goes as 8bit, or as quoted-printable when a line is longer than
// SMTP allows (998 octets), so no line is ever cut or refused.
// Not dot-stuffed. The message must have passed CheckMailMessage.
std::string FormatMailMessage(const MailMessage& message, TimePoint date,
                              std::string_view message_id);

// Quoted-printable (RFC 2045) of CR LF text, with soft breaks at 76 columns.
std::string QuotedPrintable(std::string_view crlf_text);

}  // namespace ebbmark

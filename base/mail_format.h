#pragma once
// One plain-text email as it goes on the wire: checking the addresses, the
// RFC 5322 headers, CR LF line ends and the SMTP dot rule. Shared by the mail
// clients of both platforms.

#include <cstdint>
#include <string>
#include <string_view>
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

// How a send ended.
struct MailResult {
  bool sent = false;
  int error_number = 0;
  std::string error_text;
};

// Why a message must not be sent. Addresses that fail AddressesUsable would
// let their text smuggle headers, SMTP commands or ESMTP parameters, so they
// are refused outright.
enum class MailProblem { None, NoHost, BadHost, BadPort, BadSender, BadRecipient };

MailProblem CheckMailMessage(const MailMessage& message);

// Whether a sender (`list` false: one address) or a recipient list (`list`
// true: split as SplitRecipients does) is safe to put on the wire: no control
// character (C0 or DEL) anywhere; each entry either "Name <addr>", with
// nothing after the ">", or a bare address holding no "<", ">", blank or
// control character; the address itself never empty and free of those too;
// no entry longer than 320 characters.
// A list needs at least one entry.
bool AddressesUsable(std::string_view text, bool list);

// A short English description of a problem, for the error text of a result.
const char* MailProblemText(MailProblem problem);

// The bare address for the SMTP envelope: "Name <a@b>" gives "a@b", "a@b"
// stays; blanks around it are dropped.
std::string EnvelopeAddress(std::string_view address);

// The recipients of a To text: split at "," and ";" outside quotes and angle
// brackets, each as EnvelopeAddress gives it; empty parts are dropped.
std::vector<std::string> SplitRecipients(std::string_view to);

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
// A subject's line breaks become blanks; a non-ASCII subject is encoded.
// The body goes as 8bit, or as quoted-printable when a line is longer than
// SMTP allows (998 octets), so no line is ever cut or refused.
// Not dot-stuffed. The message must have passed CheckMailMessage.
std::string FormatMailMessage(const MailMessage& message, TimePoint date,
                              std::string_view message_id);

// Quoted-printable (RFC 2045) of CR LF text, with soft breaks at 76 columns.
std::string QuotedPrintable(std::string_view crlf_text);

}  // namespace ebbmark

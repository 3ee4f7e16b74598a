#pragma once
// One email handed from a program to the mail helper (ebbmark-mail) over a
// pipe, and the helper's one-line answer. The request is a few "key value"
// lines, an empty line, then the formatted message itself; no value may hold
// CR, LF or NUL, so the head cannot be confused with the message.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mail_format.h"

namespace ebbmark {

struct MailRequest {
  std::string url;  // smtp://host:port/greeting or smtps://...
  std::string from;
  std::vector<std::string> recipients;
  std::chrono::milliseconds connect_timeout{15'000};
  int security = 0;  // a MailSecurity value
  std::string user;  // empty: no sign-in
  // Travels only through the pipe to the helper: never in its command line
  // or environment, where other accounts could see it.
  std::string password;
  std::string ca_file;  // certificates to trust instead of the system's (tests)
  std::string text;     // the whole message, CR LF line ends
};

// The largest request the helper reads: a notice is a few kilobytes.
inline constexpr std::size_t kMaxMailRequest = 1024 * 1024;

std::string EncodeMailRequest(const MailRequest& request);

// Nothing when the text is not a request this version wrote.
std::optional<MailRequest> DecodeMailRequest(std::string_view text);

// "0 sent\n", or the error number and its text on one line; before it one
// "refused ADDRESS REPLY" line per recipient the server refused.
std::string EncodeMailAnswer(const MailResult& result);

// The helper's answer. Anything else than the refused lines and one line of
// a number and a text is a failure that says so.
MailResult DecodeMailAnswer(std::string_view output);

}  // namespace ebbmark

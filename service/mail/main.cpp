// ebbmark-mail: sends one email and ends. The service and the configuration
// program start it once per message, write the request to its standard
// input and read one answer line from its standard output; the exit status
// is 0 when the message was sent. Started by root, it first becomes an
// unprivileged account, so the code that talks to a remote mail server and
// reads its replies never runs with privileges. Its caller kills it at the
// message's deadline, which bounds every stall of the server at once.

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "base/mail_request.h"
#include "platform/posix/drop_privileges_posix.h"
#include "service/mail/curl_send.h"

namespace {

using ebbmark::MailResult;

constexpr int kErrorPrivileges = 10013;  // the socket control's "permission denied"
constexpr int kErrorRequest = 10022;     // "invalid argument"

int Answer(const MailResult& result) {
  const std::string line = ebbmark::EncodeMailAnswer(result);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return result.sent ? 0 : 1;
}

MailResult Failure(int number, std::string text) {
  MailResult r;
  r.error_number = number;
  r.error_text = std::move(text);
  return r;
}

}  // namespace

int main() {
  std::string why;
  if (!ebbmark::DropPrivileges(why)) return Answer(Failure(kErrorPrivileges, why));
  // Nothing this process runs may gain privileges again (set-id programs).
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

  std::string input;
  char buffer[16384];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
    input.append(buffer, n);
    if (input.size() > ebbmark::kMaxMailRequest)
      return Answer(Failure(kErrorRequest, "the message is too large"));
    if (n < sizeof buffer) break;
  }
  const auto request = ebbmark::DecodeMailRequest(input);
  if (!request) return Answer(Failure(kErrorRequest, "the mail helper was given no valid message"));
  return Answer(ebbmark::SendWithCurl(*request));
}

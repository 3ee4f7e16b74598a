// ebbmark-mail: sends one email and ends. The service and the configuration
// program start it once per message, write the request to its standard
// input and read one answer line from its standard output; the exit status
// is 0 when the message was sent. Started by root, it first becomes an
// unprivileged account, so the code that talks to a remote mail server and
// reads its replies never runs with privileges. Its caller kills it at the
// message's deadline, which bounds every stall of the server at once.

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "base/mail_request.h"
#include "service/mail/curl_send.h"
#include "service/mail/transient_account.h"

namespace {

using ebbmark::MailResult;

constexpr int kErrorPrivileges = 10013;  // the socket control's "permission denied"
constexpr int kErrorRequest = 10022;     // "invalid argument"

// The package's own account when there is one, else a uid of this run's
// own that no process and no account has (see transient_account.h).
bool DropPrivileges(std::string& why) {
  if (::geteuid() != 0) return true;
  uid_t uid = 0;
  gid_t gid = 0;
  if (const passwd* pw = ::getpwnam("ebbmark")) {
    uid = pw->pw_uid;
    gid = pw->pw_gid;
  } else {
    std::random_device seed;
    const auto picked =
        ebbmark::PickTransientUid(ebbmark::IdsInUse(), seed(), ebbmark::NumberTaken);
    if (!picked) {
      why = "no unused account number to send mail as";
      return false;
    }
    uid = *picked;
    gid = static_cast<gid_t>(*picked);
  }
  if (uid == 0 || ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
      ::setuid(0) == 0) {
    why = std::string("could not leave the administrator account: ") + std::strerror(errno);
    return false;
  }
  return true;
}

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
  if (!DropPrivileges(why)) return Answer(Failure(kErrorPrivileges, why));
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

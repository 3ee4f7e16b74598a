// ebbmark-mail: sends one email and ends. The service and the configuration
// program start it once per message, write the request to its standard
// input and read one answer line from its standard output; the exit status
// is 0 when the message was sent. Started by root, it first becomes an
// unprivileged account, so the code that talks to a remote mail server and
// reads its replies never runs with privileges. Its caller kills it at the
// message's deadline, which bounds every stall of the server at once.

#include <curl/curl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/mail_request.h"

namespace {

using ebbmark::MailRequest;
using ebbmark::MailResult;

constexpr int kErrorPrivileges = 10013;  // the socket control's "permission denied"
constexpr int kErrorRequest = 10022;     // "invalid argument"

// The package's own account when there is one, else nobody.
bool DropPrivileges(std::string& why) {
  if (::geteuid() != 0) return true;
  const passwd* pw = ::getpwnam("ebbmark");
  if (pw == nullptr) pw = ::getpwnam("nobody");
  if (pw == nullptr) {
    why = "no unprivileged account to send mail as";
    return false;
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
      ::setuid(0) == 0) {
    why = std::string("could not leave the administrator account: ") + std::strerror(errno);
    return false;
  }
  return true;
}

struct Upload {
  const std::string* text;
  std::size_t pos = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* up = static_cast<Upload*>(user);
  const std::size_t n = std::min(size * count, up->text->size() - up->pos);
  std::memcpy(buffer, up->text->data() + up->pos, n);
  up->pos += n;
  return n;
}

MailResult Transfer(const MailRequest& job) {
  MailResult result;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    result.error_number = CURLE_FAILED_INIT;
    result.error_text = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    result.error_number = CURLE_FAILED_INIT;
    result.error_text = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  curl_slist* rcpt = nullptr;
  for (const auto& r : job.recipients) rcpt = curl_slist_append(rcpt, r.c_str());
  Upload upload{&job.text};
  char error_text[CURL_ERROR_SIZE] = {};

  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(curl, CURLOPT_URL, job.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, job.from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  // The whole send is bounded by the caller, which kills this process at the
  // deadline; this only makes an unanswered connect fail with its own reason.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(job.connect_timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Encrypt when the server offers it. The notices carry no secrets and no
  // credentials are sent, so a self-signed certificate on a local relay must
  // not cost the user the warning that the power is failing: encryption here
  // guards against passive listeners only.
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);

  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(rcpt);
  curl_easy_cleanup(curl);

  result.sent = code == CURLE_OK;
  if (!result.sent) {
    result.error_number = static_cast<int>(code);
    result.error_text = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
  }
  return result;
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
  return Answer(Transfer(*request));
}

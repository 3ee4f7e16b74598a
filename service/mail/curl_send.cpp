// One email sent with libcurl's SMTP client, start to end, on the calling
// thread. Only the mail helper (and its benchmark) link this.

#include "service/mail/curl_send.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace ebbmark {
namespace {

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

}  // namespace

MailResult SendWithCurl(const MailRequest& job) {
  MailResult result;
  static std::once_flag ready;
  std::call_once(ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

}  // namespace ebbmark

// One email sent with libcurl's SMTP client, start to end, on the calling
// thread. Only the mail helper (and its benchmark) link this.

#include "service/mail/curl_send.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/mail_sign_in.h"

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

void ApplySecurity(CURL* curl, const MailRequest& job) {
  const auto security = static_cast<MailSecurity>(job.security);
  const bool sign_in = !job.user.empty();
  if (security == MailSecurity::Opportunistic) {
    // Encrypt when the server offers it. The notices carry no secrets, so a
    // self-signed certificate on a local server must not cost the user the
    // warning that the power is failing: this guards against passive
    // listeners only. A sign-in, though, is never made in plain text: with a
    // user name the whole session must be encrypted or nothing is sent (the
    // certificate stays unchecked, as this setting promises; the checked
    // settings are the ones that also stop an active attacker).
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(sign_in ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    // STARTTLS required (the URL says smtps:// for TLS from the first byte),
    // and the certificate and the server's name checked against the
    // system's trust store: a failure ends the send, never a fallback.
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  }
  if (!job.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, job.ca_file.c_str());
  if (sign_in) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, job.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, job.password.c_str());
  }
}

// The causes a user can act on, in their words, with libcurl's detail after.
std::string FailureText(CURLcode code, const std::string& detail) {
  const char* cause = nullptr;
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      cause = sign_in_texts::kUntrusted;
      break;
    case CURLE_LOGIN_DENIED:
      cause = sign_in_texts::kRefused;
      break;
    case CURLE_USE_SSL_FAILED:
      cause = sign_in_texts::kNoEncryption;
      break;
    default:
      return detail;
  }
  return std::string(cause) + " (" + detail + ")";
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
  ApplySecurity(curl, job);

  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(rcpt);
  curl_easy_cleanup(curl);

  result.sent = code == CURLE_OK;
  if (!result.sent) {
    result.error_number = static_cast<int>(code);
    result.error_text =
        FailureText(code, error_text[0] != '\0' ? error_text : curl_easy_strerror(code));
  }
  return result;
}

}  // namespace ebbmark

// Email through libcurl's SMTP client on one worker thread owned by the
// mailer. Messages are formatted on the loop thread (the clock is read there),
// sent one after another in the order given, and each result is posted back
// to the loop.

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include "platform/mailer.h"

namespace ebbmark {
namespace {

using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

struct Job {
  MailProblem problem = MailProblem::None;
  std::string url;
  std::string from;
  std::vector<std::string> recipients;
  std::string text;  // the whole message, CR LF line ends
  std::function<void(MailResult)> done;
  std::optional<WorkGuard> work;  // keeps the loop running until the result is posted
};

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

// The host name the client greets the server with: letters, digits, "-" and ".".
std::string GreetingName() {
  std::string name;
  for (const char c : GetComputerNameText()) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.')
      name += c;
  }
  return name.empty() ? "localhost" : name;
}

std::string SmtpUrl(const MailMessage& m, const std::string& greeting) {
  // Port 465 speaks TLS from the first byte; every other port starts plain
  // and upgrades when the server offers STARTTLS.
  std::string url = m.port == 465 ? "smtps://" : "smtp://";
  const bool ipv6 = m.host.find(':') != std::string::npos && m.host.front() != '[';
  url += ipv6 ? "[" + m.host + "]" : m.host;
  url += ':' + std::to_string(m.port);
  url += '/' + greeting;  // libcurl greets with the URL's path
  return url;
}

MailResult Refusal(MailProblem problem) {
  MailResult r;
  r.error_number = problem == MailProblem::BadSender || problem == MailProblem::BadRecipient
                       ? CURLE_BAD_FUNCTION_ARGUMENT
                       : CURLE_URL_MALFORMAT;
  r.error_text = MailProblemText(problem);
  return r;
}

class CurlMailer final : public Mailer {
 public:
  CurlMailer(asio::io_context& io, const MailerOptions& options)
      : io_(io), options_(options), greeting_(GreetingName()), random_(std::random_device{}()) {
    static std::once_flag curl_ready;
    std::call_once(curl_ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (options_.clock == nullptr) options_.clock = &system_clock_;
    worker_ = std::thread([this] { Work(); });
  }

  // Drops messages not yet begun; one in progress finishes or times out.
  ~CurlMailer() override {
    alive_->store(false);
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_one();
    worker_.join();
  }

  void Send(const MailMessage& message, std::function<void(MailResult)> done) override {
    Job job;
    job.problem = CheckMailMessage(message);
    if (job.problem == MailProblem::None) {
      job.url = SmtpUrl(message, greeting_);
      job.from = EnvelopeAddress(message.from);
      job.recipients = SplitRecipients(message.to);
      const TimePoint now = options_.clock->Now();
      job.text = FormatMailMessage(message, now, MakeMessageId(now, random_(), greeting_));
    }
    job.done = std::move(done);
    job.work.emplace(io_.get_executor());
    // Refused messages go through the queue as well, so results come back in
    // the order the messages were given.
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

 private:
  void Work() {
    for (;;) {
      std::optional<Job> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        job.emplace(std::move(queue_.front()));
        queue_.pop_front();
      }
      MailResult result =
          job->problem == MailProblem::None ? Transfer(*job) : Refusal(job->problem);
      asio::post(io_, [alive = alive_, done = std::move(job->done), result = std::move(result)] {
        if (alive->load()) done(result);
      });
      job.reset();  // its work guard lets the loop end once the result has run
    }
  }

  MailResult Transfer(const Job& job) const {
    MailResult result;
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
    const long timeout = static_cast<long>(options_.timeout.count());
    const long connect =
        static_cast<long>(std::min(options_.connect_timeout, options_.timeout).count());

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_URL, job.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, job.from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect);
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

  asio::io_context& io_;
  MailerOptions options_;
  SystemClock system_clock_;
  const std::string greeting_;
  std::mt19937_64 random_;  // Message-ID uniqueness; loop thread only
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io) {
  return MakeMailer(io, MailerOptions{});
}

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options) {
  return std::make_unique<CurlMailer>(io, options);
}

}  // namespace ebbmark

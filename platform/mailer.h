#pragma once
// Sending one plain-text email. The send runs off the loop thread; its result
// is posted back to the loop.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include "common/clock.h"
#include "common/mail_format.h"  // MailMessage

namespace ebbmark {

struct MailResult {
  bool sent = false;
  int error_number = 0;
  std::string error_text;
};

class Mailer {
 public:
  virtual ~Mailer() = default;
  // Sends `message` with a 30-second time-out and posts `done` to the loop.
  // A sender or recipient holding CR or LF is refused without sending.
  // Messages go out one after another in the order given. Once the mailer
  // is destroyed no further `done` is called.
  virtual void Send(const MailMessage& message, std::function<void(MailResult)> done) = 0;
};

// How long a send may take. Production uses the defaults; tests shorten them.
struct MailerOptions {
  std::chrono::milliseconds timeout{30'000};          // the whole send
  std::chrono::milliseconds connect_timeout{15'000};  // up to the greeting; capped by `timeout`
  const Clock* clock = nullptr;                       // Date header; nullptr: the system clock
};

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io);
std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options);

}  // namespace ebbmark

#pragma once
// Sending one plain-text email. The send runs off the loop thread; its result
// is posted back to the loop.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include "base/clock.h"
#include "base/mail_format.h"  // MailMessage, MailResult

namespace ebbmark {

class Mailer {
 public:
  virtual ~Mailer() = default;
  // Sends `message` with a 30-second time-out and posts `done` to the loop.
  // A sender or recipient holding CR or LF, or a user name or password
  // holding CR, LF or NUL, is refused without sending. A user name is sent
  // only over an encrypted connection, whatever the server offers.
  // Messages go out one after another in the order given. Once the mailer
  // is destroyed no further `done` is called.
  virtual void Send(const MailMessage& message, std::function<void(MailResult)> done) = 0;

  // Ends every message not finished yet: the send under way is stopped and
  // the waiting ones are dropped. Each of their `done` is still called, on
  // the loop and in order, with a failure that gives `reason`. Used when the
  // program must end and cannot wait any longer.
  virtual void GiveUp(const std::string& reason) = 0;
};

// How long a send may take. Production uses the defaults; tests shorten them.
struct MailerOptions {
  std::chrono::milliseconds timeout{30'000};          // the whole send, whatever the server does
  std::chrono::milliseconds connect_timeout{15'000};  // up to the greeting; capped by `timeout`
  const Clock* clock = nullptr;                       // Date header; nullptr: the system clock
  // Linux: the mail helper program. Empty: ebbmark-mail beside the running
  // program, else the installed one.
  std::string helper_path;
  // Certificates to trust when checking the server (security 1 and 2):
  // instead of the system's store on Linux, besides it on Windows. Empty in
  // production; tests name their own CA.
  std::string ca_file;
};

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io);
std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options);

}  // namespace ebbmark

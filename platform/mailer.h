#pragma once
// Sending one plain-text email. The send runs off the loop thread; its result
// is posted back to the loop.

#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

namespace ebbmark {

struct MailMessage {
  std::string host;
  int port = 25;
  std::string from;
  std::string to;
  std::string subject;
  std::string body;  // any line ends; sent with CR LF
};

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
  virtual void Send(const MailMessage& message, std::function<void(MailResult)> done) = 0;
};

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io);

}  // namespace ebbmark

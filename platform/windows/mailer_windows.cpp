// Email on Windows: a small SMTP client on the program's loop, built from
// asio's asynchronous operations. One plain conversation per message: the
// greeting, EHLO (HELO for a server that does not know it), MAIL FROM, one
// RCPT TO per recipient, DATA with the dot rule applied, QUIT. The message
// itself is formatted as on Linux (common/mail_format.h). Messages go out one
// after another in the order given; the whole of one send is bounded by the
// time-out.

#include <algorithm>
#include <cctype>
#include <deque>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "base/mail_sign_in.h"
#include "platform/computer_name.h"
#include "platform/mailer.h"

namespace ebbmark {
namespace {

using asio::ip::tcp;

// Error numbers of results that carry no socket error or server reply: the
// socket control's numbers for a time-out and for anything else.
constexpr int kErrorTimedOut = 10060;
constexpr int kErrorProtocol = 10000;
constexpr int kErrorRefusedMessage = 10022;
constexpr const char* kNoTlsOnThisClient =
    "encryption and sign-in are not available in this Windows version yet; choose \"STARTTLS "
    "when offered\" and no user name, or a mail server that takes plain SMTP";

// A reply line longer than this, or more lines than this in one reply, is
// not SMTP: the conversation ends there.
constexpr std::size_t kMaxReplyLine = 4096;
constexpr int kMaxReplyLines = 200;

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

struct Job {
  MailProblem problem = MailProblem::None;
  std::string refusal;  // why the message cannot go out, when not a MailProblem
  std::string host;
  int port = 25;
  std::string from;
  std::vector<std::string> recipients;
  std::string data;  // the message, dot-stuffed, ending in CR LF
  std::function<void(MailResult)> done;
};

struct Reply {
  int code = 0;
  std::string text;  // the last line
};

// One connection with its deadline. Abort() ends every operation under way.
struct Session {
  explicit Session(asio::io_context& io) : resolver(io), socket(io), deadline(io) {}

  void Abort() {
    std::error_code ignored;
    resolver.cancel();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  // Aborts the session when `limit` has passed; replaces an earlier limit.
  void LimitTo(std::chrono::steady_clock::time_point limit) {
    deadline.expires_at(limit);
    deadline.async_wait([this](const std::error_code& ec) {
      if (ec) return;
      timed_out = true;
      Abort();
    });
  }

  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer deadline;
  std::string input;
  bool timed_out = false;
};

MailResult Failure(int number, std::string text) {
  MailResult r;
  r.error_number = number;
  r.error_text = std::move(text);
  return r;
}

class Conversation {
 public:
  Conversation(Session& s, const MailerOptions& options) : s_(s), options_(options) {}

  asio::awaitable<MailResult> Run(const Job& job, const std::string& greeting_name) {
    const auto start = std::chrono::steady_clock::now();
    const auto connect_limit = std::min(options_.connect_timeout, options_.timeout);
    s_.LimitTo(start + connect_limit);

    std::string host = job.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    std::error_code ec;
    auto endpoints = co_await s_.resolver.async_resolve(
        host, std::to_string(job.port), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return NetworkFailure(ec, "Could not resolve the mail server " + job.host);
    co_await asio::async_connect(s_.socket, endpoints,
                                 asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return NetworkFailure(ec, "Could not connect to the mail server " + job.host);

    Reply reply = co_await ReadReply(ec);
    if (ec) co_return NetworkFailure(ec, "No greeting from the mail server");
    if (reply.code / 100 != 2) co_return Refused("greeting", reply);
    s_.LimitTo(start + options_.timeout);

    reply = co_await Command("EHLO " + greeting_name, ec);
    if (ec) co_return NetworkFailure(ec, "EHLO failed");
    if (reply.code / 100 != 2) {
      // A server from before ESMTP answers EHLO with an error; it knows HELO.
      reply = co_await Command("HELO " + greeting_name, ec);
      if (ec) co_return NetworkFailure(ec, "HELO failed");
      if (reply.code / 100 != 2) co_return Refused("HELO", reply);
    }

    reply = co_await Command("MAIL FROM:<" + job.from + ">", ec);
    if (ec) co_return NetworkFailure(ec, "MAIL FROM failed");
    if (reply.code / 100 != 2) co_return Refused("the sender", reply);

    for (const auto& recipient : job.recipients) {
      reply = co_await Command("RCPT TO:<" + recipient + ">", ec);
      if (ec) co_return NetworkFailure(ec, "RCPT TO failed");
      if (reply.code / 100 != 2) co_return Refused("the recipient " + recipient, reply);
    }

    reply = co_await Command("DATA", ec);
    if (ec) co_return NetworkFailure(ec, "DATA failed");
    if (reply.code != 354) co_return Refused("DATA", reply);

    co_await asio::async_write(s_.socket, asio::buffer(job.data),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return NetworkFailure(ec, "Sending the message failed");
    reply = co_await ReadReply(ec);
    if (ec) co_return NetworkFailure(ec, "The mail server did not confirm the message");
    if (reply.code / 100 != 2) co_return Refused("the message", reply);

    // The message has been taken; how QUIT goes does not change that.
    co_await Command("QUIT", ec);
    MailResult sent;
    sent.sent = true;
    co_return sent;
  }

 private:
  asio::awaitable<Reply> Command(const std::string& line, std::error_code& ec) {
    const std::string out = line + "\r\n";
    co_await asio::async_write(s_.socket, asio::buffer(out),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return Reply{};
    co_return co_await ReadReply(ec);
  }

  // One reply, possibly of several lines ("250-..." until "250 ...").
  asio::awaitable<Reply> ReadReply(std::error_code& ec) {
    Reply reply;
    for (int lines = 0; lines < kMaxReplyLines; ++lines) {
      const std::size_t n =
          co_await asio::async_read_until(s_.socket, asio::dynamic_buffer(s_.input, kMaxReplyLine),
                                          '\n', asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return reply;
      std::string line = s_.input.substr(0, n - 1);
      s_.input.erase(0, n);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool digits = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                          std::isdigit(static_cast<unsigned char>(line[1])) &&
                          std::isdigit(static_cast<unsigned char>(line[2]));
      if (!digits || (line.size() > 3 && line[3] != '-' && line[3] != ' ')) {
        ec = std::make_error_code(std::errc::protocol_error);
        co_return reply;
      }
      reply.code = std::stoi(line.substr(0, 3));
      reply.text = line;
      if (line.size() <= 3 || line[3] == ' ') co_return reply;
    }
    ec = std::make_error_code(std::errc::protocol_error);
    co_return reply;
  }

  MailResult NetworkFailure(const std::error_code& ec, const std::string& what) const {
    if (s_.timed_out) {
      const auto limit = std::chrono::duration_cast<std::chrono::seconds>(options_.timeout);
      return Failure(kErrorTimedOut, "The mail server did not finish within " +
                                         std::to_string(limit.count()) + " seconds");
    }
    if (ec == std::errc::protocol_error)
      return Failure(kErrorProtocol, what + ": the server's answer is not SMTP");
    return Failure(ec.value(), what + ": " + ec.message());
  }

  static MailResult Refused(const std::string& what, const Reply& reply) {
    return Failure(reply.code, "The mail server refused " + what + ": " + reply.text);
  }

  Session& s_;
  const MailerOptions& options_;
};

// What the loop and the conversations share; the mailer itself may go first.
struct Shared {
  Shared(asio::io_context& io, const MailerOptions& o) : io(io), options(o) {}
  asio::io_context& io;
  MailerOptions options;
  bool alive = true;
  bool busy = false;
  std::deque<Job> queue;
  std::shared_ptr<Session> session;              // the send under way
  std::function<void(MailResult)> session_done;  // its caller, until it finishes
  std::uint64_t send_number = 0;                 // which send is under way
};

void StartNext(const std::shared_ptr<Shared>& shared, const std::string& greeting);

void Finish(const std::shared_ptr<Shared>& shared, const std::string& greeting, MailResult result) {
  shared->session.reset();
  shared->busy = false;
  auto done = std::move(shared->session_done);
  shared->session_done = nullptr;
  if (!shared->alive) return;
  if (done) done(std::move(result));
  if (shared->alive) StartNext(shared, greeting);
}

asio::awaitable<MailResult> Transfer(std::shared_ptr<Shared> shared,
                                     std::shared_ptr<Session> session, Job job,
                                     std::string greeting) {
  Conversation conversation(*session, shared->options);
  MailResult result = co_await conversation.Run(job, greeting);
  session->deadline.cancel();
  session->Abort();
  co_return result;
}

void StartNext(const std::shared_ptr<Shared>& shared, const std::string& greeting) {
  if (shared->busy || shared->queue.empty()) return;
  shared->busy = true;
  Job job = std::move(shared->queue.front());
  shared->queue.pop_front();
  shared->session_done = std::move(job.done);
  const std::uint64_t number = ++shared->send_number;

  if (job.problem != MailProblem::None || !job.refusal.empty()) {
    const MailResult refusal = Failure(
        kErrorRefusedMessage, job.refusal.empty() ? MailProblemText(job.problem) : job.refusal);
    asio::post(shared->io, [shared, greeting, refusal, number]() mutable {
      if (shared->busy && shared->send_number == number) Finish(shared, greeting, refusal);
    });
    return;
  }
  auto session = std::make_shared<Session>(shared->io);
  shared->session = session;
  asio::co_spawn(
      shared->io, Transfer(shared, session, std::move(job), greeting),
      [shared, session, greeting, number](std::exception_ptr error, MailResult result) mutable {
        // A send that was given up has been answered already.
        if (!shared->busy || shared->send_number != number) return;
        if (error) result = Failure(kErrorProtocol, "The mail client failed");
        Finish(shared, greeting, std::move(result));
      });
}

class SmtpMailer final : public Mailer {
 public:
  SmtpMailer(asio::io_context& io, const MailerOptions& options)
      : shared_(std::make_shared<Shared>(io, options)),
        greeting_(GreetingName()),
        random_(std::random_device{}()) {
    if (shared_->options.clock == nullptr) shared_->options.clock = &system_clock_;
  }

  // Drops the messages not yet begun and ends the one under way.
  ~SmtpMailer() override {
    shared_->alive = false;
    shared_->queue.clear();
    // The clock may be this object's own; nothing reads it after this.
    if (shared_->session) shared_->session->Abort();
  }

  void GiveUp(const std::string& reason) override {
    std::vector<std::function<void(MailResult)>> dropped;
    if (shared_->busy && shared_->session_done) dropped.push_back(std::move(shared_->session_done));
    shared_->session_done = nullptr;
    for (auto& job : shared_->queue) dropped.push_back(std::move(job.done));
    shared_->queue.clear();
    if (shared_->session) {
      shared_->session->deadline.cancel();
      shared_->session->Abort();
    }
    shared_->session.reset();
    shared_->busy = false;
    ++shared_->send_number;
    for (auto& done : dropped) {
      if (!done) continue;
      asio::post(shared_->io, [alive = shared_, done = std::move(done), reason] {
        if (alive->alive) done(Failure(kErrorTimedOut, reason));
      });
    }
  }

  void Send(const MailMessage& message, std::function<void(MailResult)> done) override {
    Job job;
    job.problem = CheckMailMessage(message);
    if (job.problem == MailProblem::None) {
      job.recipients = SplitRecipients(message.to);
      if (job.recipients.empty()) job.problem = MailProblem::BadRecipient;
    }
    if (job.problem == MailProblem::None) {
      SignInProblem sign_in = CheckUserName(message.user);
      if (sign_in == SignInProblem::None) sign_in = CheckPassword(message.password);
      if (sign_in != SignInProblem::None) {
        job.refusal = SignInProblemText(sign_in);
      } else if (message.security != 0 || !message.user.empty()) {
        // This client speaks plain SMTP only. A message that asks for
        // encryption or a sign-in must fail and say so, never go out in
        // plain text as if it had been protected.
        job.refusal = kNoTlsOnThisClient;
      }
    }
    if (job.problem == MailProblem::None && job.refusal.empty()) {
      job.host = message.host;
      job.port = message.port;
      job.from = EnvelopeAddress(message.from);
      const TimePoint now = shared_->options.clock->Now().wall;
      const std::string text =
          FormatMailMessage(message, now, MakeMessageId(now, random_(), greeting_));
      job.data = DotStuff(text) + ".\r\n";
    }
    job.done = std::move(done);
    // Refused messages queue up too, so results come back in the order the
    // messages were given; none comes back before Send has returned.
    shared_->queue.push_back(std::move(job));
    if (!shared_->busy) {
      asio::post(shared_->io, [shared = shared_, greeting = greeting_] {
        if (shared->alive) StartNext(shared, greeting);
      });
    }
  }

 private:
  std::shared_ptr<Shared> shared_;
  SystemClock system_clock_;
  const std::string greeting_;
  std::mt19937_64 random_;
};

}  // namespace

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io) {
  return MakeMailer(io, MailerOptions{});
}

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options) {
  return std::make_unique<SmtpMailer>(io, options);
}

}  // namespace ebbmark

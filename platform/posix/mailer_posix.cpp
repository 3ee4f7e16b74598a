// Email on Linux through the mail helper (ebbmark-mail), one short-lived
// process per message. The message is formatted here, on the loop; the helper
// is started without a shell and with no descriptor of ours beyond its two
// pipes, is given the request on its standard input, answers one line on its
// standard output, and is killed at the message's deadline, so no behaviour
// of a mail server can make a send outlast its bound. Messages go out one
// after another in the order given; everything runs on the loop.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <asio/error.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "base/mail_request.h"
#include "base/mail_sign_in.h"
#include "platform/computer_name.h"
#include "platform/mailer.h"
#include "platform/posix/spawn_posix.h"
#include "platform/program_path.h"

extern char** environ;

namespace ebbmark {
namespace {

constexpr const char* kHelperName = "ebbmark-mail";
#ifndef EBBMARK_MAIL_HELPER_INSTALLED
#define EBBMARK_MAIL_HELPER_INSTALLED "/usr/libexec/ebbmark/ebbmark-mail"
#endif
constexpr const char* kInstalledHelper = EBBMARK_MAIL_HELPER_INSTALLED;
constexpr std::size_t kMaxAnswer = 4096;

// Error numbers of failures that happen outside the helper.
constexpr int kErrorTimedOut = 28;       // as the helper's own time-outs
constexpr int kErrorHelper = 10000;      // the helper could not run or broke down
constexpr int kErrorRefusedMessage = 3;  // the message never left this program

MailResult Failure(int number, std::string text) {
  MailResult r;
  r.error_number = number;
  r.error_text = std::move(text);
  return r;
}

// The host part of a Message-ID: letters, digits, "-" and ".".
std::string MessageIdHost() {
  std::string name;
  for (const char c : GetComputerNameText()) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.')
      name += c;
  }
  return name.empty() ? "localhost" : name;
}

std::string SmtpUrl(const MailMessage& m) {
  // TLS from the first byte when chosen, and as before on port 465 when
  // nothing was chosen; otherwise the connection starts plain and upgrades
  // with STARTTLS.
  const auto security = static_cast<MailSecurity>(m.security);
  const bool implicit = security == MailSecurity::ImplicitTls ||
                        (security == MailSecurity::Opportunistic && m.port == 465);
  std::string url = implicit ? "smtps://" : "smtp://";
  const bool ipv6 = m.host.find(':') != std::string::npos && m.host.front() != '[';
  url += ipv6 ? "[" + m.host + "]" : m.host;
  url += ':' + std::to_string(m.port);
  // No path: the helper greets with the computer's fully qualified name, or
  // the local address, which only a resolver and the route can tell.
  return url;
}

std::string FindHelper(const std::string& configured) {
  if (!configured.empty()) return configured;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    std::string beside = folder == "/" ? "/" : folder + "/";
    beside += kHelperName;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
  return kInstalledHelper;
}

struct Pipe {
  int read = -1;
  int write = -1;
  bool Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return true;
  }
  void Close() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
    read = write = -1;
  }
};

struct Job {
  std::optional<MailResult> refusal;  // set when the message never goes out
  std::string request;
  std::function<void(MailResult)> done;
};

// One helper process and its pipes, from start to reaping.
class HelperRun : public std::enable_shared_from_this<HelperRun> {
 public:
  HelperRun(asio::io_context& io, std::chrono::milliseconds limit,
            std::function<void(MailResult)> done)
      : io_(io), limit_(limit), done_(std::move(done)), input_(io), output_(io), deadline_(io) {}

  // Starts the helper; reports a failure to start through `done` (posted).
  void Begin(const std::string& helper, std::string request) {
    request_ = std::move(request);
    Pipe in;
    Pipe out;
    if (!in.Open() || !out.Open()) {
      in.Close();
      out.Close();
      return Fail(Failure(kErrorHelper,
                          std::string("could not start the mail helper: ") + std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    // Nothing of ours beyond the two pipes: not the relay link, not a log.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    CleanSignalsForChild(&attr);
    std::string path = helper;
    char* argv[] = {path.data(), nullptr};
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in.read);
    ::close(out.write);
    if (rc != 0) {
      ::close(in.write);
      ::close(out.read);
      pid_ = -1;
      return Fail(Failure(kErrorHelper,
                          "could not start the mail helper " + helper + ": " + std::strerror(rc)));
    }
    input_.assign(in.write);
    output_.assign(out.read);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) exit_.emplace(io_, pidfd);

    auto self = shared_from_this();
    deadline_.expires_after(limit_);
    deadline_.async_wait([self](const std::error_code& ec) {
      if (!ec) self->Expire();
    });
    asio::async_write(input_, asio::buffer(request_), [self](const std::error_code&, std::size_t) {
      // A helper that stopped reading answers for itself.
      std::error_code ignored;
      self->input_.close(ignored);
    });
    ReadAnswer();
    AwaitExit();
  }

  // Kills the helper now and reports `result` unless already reported.
  void Stop(MailResult result) {
    Report(std::move(result));
    Kill();
  }

 private:
  void ReadAnswer() {
    auto self = shared_from_this();
    output_.async_read_some(asio::buffer(chunk_), [self](const std::error_code& ec, std::size_t n) {
      self->answer_.append(self->chunk_, n);
      if (!ec && self->answer_.size() <= kMaxAnswer) return self->ReadAnswer();
      std::error_code ignored;
      self->output_.close(ignored);
      self->output_done_ = true;
      self->MaybeFinish();
    });
  }

  void AwaitExit() {
    if (!exit_) return Poll();
    auto self = shared_from_this();
    exit_->async_wait(asio::posix::stream_descriptor::wait_read, [self](const std::error_code& ec) {
      if (ec == asio::error::operation_aborted) return;
      if (!self->TryReap()) self->AwaitExit();
    });
  }

  // Kernels without pidfds: a short poll.
  void Poll() {
    auto self = shared_from_this();
    auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds{20});
    timer->async_wait([self, timer](const std::error_code&) {
      if (!self->TryReap()) self->Poll();
    });
  }

  bool TryReap() {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    status_ = status;
    reaped_ = true;
    if (exit_) exit_->close();
    MaybeFinish();
    return true;
  }

  void MaybeFinish() {
    if (!reaped_ || !output_done_) return;
    deadline_.cancel();
    if (reported_) return;
    if (WIFSIGNALED(status_)) {
      Report(Failure(kErrorHelper, "the mail helper ended abnormally (signal " +
                                       std::to_string(WTERMSIG(status_)) + ")"));
      return;
    }
    MailResult r = DecodeMailAnswer(answer_);
    // The exit status and the answer must agree; a helper that says "sent"
    // and fails, or the other way round, is not believed.
    const bool exited_ok = WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    if (r.sent != exited_ok) {
      r = Failure(kErrorHelper, "the mail helper gave an answer that could not be read");
    }
    Report(std::move(r));
  }

  void Expire() {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit_).count();
    Stop(Failure(kErrorTimedOut,
                 "the mail server did not finish within " + std::to_string(seconds) + " seconds"));
  }

  void Kill() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
    std::error_code ignored;
    input_.close(ignored);
    // The pidfd and the output pipe stay watched, so the helper is reaped.
  }

  void Fail(MailResult r) {
    auto self = shared_from_this();
    reaped_ = output_done_ = true;
    asio::post(io_, [self, r = std::move(r)]() mutable { self->Report(std::move(r)); });
  }

  void Report(MailResult r) {
    if (reported_) return;
    reported_ = true;
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done(std::move(r));
  }

  asio::io_context& io_;
  const std::chrono::milliseconds limit_;
  std::function<void(MailResult)> done_;
  std::string request_;
  asio::posix::stream_descriptor input_;
  asio::posix::stream_descriptor output_;
  std::optional<asio::posix::stream_descriptor> exit_;
  asio::steady_timer deadline_;
  char chunk_[512];
  std::string answer_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  bool output_done_ = false;
  bool reported_ = false;
};

class HelperMailer final : public Mailer {
 public:
  HelperMailer(asio::io_context& io, const MailerOptions& options)
      : io_(io),
        options_(options),
        helper_(FindHelper(options.helper_path)),
        message_id_host_(MessageIdHost()),
        random_(std::random_device{}()) {
    if (options_.clock == nullptr) options_.clock = &system_clock_;
    // A helper that dies before it has read its request must cost a failed
    // send, not the whole program: writes to its pipe fail with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
  }

  // Drops messages not yet begun and kills the one under way; no `done` is
  // called after this.
  ~HelperMailer() override {
    *alive_ = false;
    queue_.clear();
    if (current_) current_->Stop(MailResult{});
  }

  void Send(const MailMessage& message, std::function<void(MailResult)> done) override {
    Job job;
    const MailProblem problem = CheckMailMessage(message);
    SignInProblem sign_in = CheckUserName(message.user);
    if (sign_in == SignInProblem::None) sign_in = CheckPassword(message.password);
    if (problem != MailProblem::None) {
      job.refusal = Failure(kErrorRefusedMessage, MailProblemText(problem));
    } else if (sign_in != SignInProblem::None) {
      job.refusal = Failure(kErrorRefusedMessage, SignInProblemText(sign_in));
    } else if (message.security < 0 || message.security > 2) {
      job.refusal = Failure(kErrorRefusedMessage, "the security setting is not 0, 1 or 2");
    } else {
      MailRequest request;
      request.url = SmtpUrl(message);
      request.from = EnvelopeAddress(message.from);
      request.recipients = SplitRecipients(message.to);
      request.connect_timeout = std::min(options_.connect_timeout, options_.timeout);
      request.security = message.security;
      request.user = message.user;
      if (!message.user.empty()) request.password = message.password;
      request.ca_file = options_.ca_file;
      const TimePoint now = options_.clock->Now().wall;
      request.text =
          FormatMailMessage(message, now, MakeMessageId(now, random_(), message_id_host_));
      if (request.recipients.empty()) {
        job.refusal = Failure(kErrorRefusedMessage, MailProblemText(MailProblem::BadRecipient));
      } else {
        job.request = EncodeMailRequest(request);
      }
    }
    job.done = std::move(done);
    // Refused messages queue up too, so results come back in the order the
    // messages were given; none comes back before Send has returned.
    queue_.push_back(std::move(job));
    if (!current_ && !start_posted_) PostStartNext();
  }

  void GiveUp(const std::string& reason) override {
    std::vector<std::function<void(MailResult)>> dropped;
    for (auto& job : queue_) dropped.push_back(std::move(job.done));
    queue_.clear();
    if (current_) {
      auto send = std::move(current_);
      send->Stop(Failure(kErrorTimedOut, reason));
    }
    for (auto& done : dropped) {
      asio::post(io_, [alive = alive_, done = std::move(done), reason] {
        if (*alive && done) done(Failure(kErrorTimedOut, reason));
      });
    }
  }

 private:
  void PostStartNext() {
    start_posted_ = true;
    asio::post(io_, [this, alive = alive_] {
      if (!*alive) return;
      start_posted_ = false;
      StartNext();
    });
  }

  void StartNext() {
    if (current_ || queue_.empty()) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    if (job.refusal) {
      // Nothing runs for a refused message; its answer still keeps its place.
      start_posted_ = true;
      asio::post(io_, [this, alive = alive_, done = std::move(job.done), r = *job.refusal] {
        if (!*alive) return;
        start_posted_ = false;
        if (done) done(r);
        if (*alive) StartNext();
      });
      return;
    }
    auto finished = [this, alive = alive_, done = std::move(job.done)](MailResult r) {
      if (!*alive) return;
      current_.reset();
      if (done) done(std::move(r));
      if (*alive && !current_) StartNext();
    };
    current_ = std::make_shared<HelperRun>(io_, options_.timeout, std::move(finished));
    current_->Begin(helper_, std::move(job.request));
  }

  asio::io_context& io_;
  MailerOptions options_;
  SystemClock system_clock_;
  const std::string helper_;
  const std::string message_id_host_;
  std::mt19937_64 random_;  // Message-ID uniqueness
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::deque<Job> queue_;
  std::shared_ptr<HelperRun> current_;  // the message under way
  bool start_posted_ = false;
};

}  // namespace

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io) {
  return MakeMailer(io, MailerOptions{});
}

std::unique_ptr<Mailer> MakeMailer(asio::io_context& io, const MailerOptions& options) {
  return std::make_unique<HelperMailer>(io, options);
}

}  // namespace ebbmark

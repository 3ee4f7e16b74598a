// The NUT server on Linux: ebbmark-nut, a long-lived helper process. The
// service starts it (without a shell, with no descriptor of ours beyond its
// two pipes, with clean signals); it leaves root for the package's account
// before it reads a byte from the network. The service writes it where to
// listen, the sign-in and each new snapshot, and reads back the secondaries
// signed in and the records to write. A helper that ends, or says anything
// the service cannot read, is started again, at most once every 5 seconds;
// the monitoring never waits for it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "platform/posix/spawn_posix.h"
#include "platform/program_path.h"
#include "service/nut/helper_messages.h"
#include "service/nut/nut_host.h"

extern char** environ;

namespace ebbmark::nut {
namespace {

constexpr const char* kHelperName = "ebbmark-nut";
#ifndef EBBMARK_NUT_HELPER_INSTALLED
#define EBBMARK_NUT_HELPER_INSTALLED "/usr/libexec/ebbmark/ebbmark-nut"
#endif
constexpr std::chrono::seconds kRestartEvery{5};
// Snapshots and settings the helper has not taken yet; more means it hangs.
constexpr std::size_t kMaxUnsent = 1024 * 1024;

std::string FindHelper() {
  if (const char* configured = std::getenv("EBBMARK_NUT_HELPER"); configured && *configured)
    return configured;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    std::string beside = folder == "/" ? "/" : folder + "/";
    beside += kHelperName;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
  return EBBMARK_NUT_HELPER_INSTALLED;
}

std::string ExitText(int status) {
  if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

class HelperNutHost final : public NutHost {
 public:
  HelperNutHost(asio::io_context& io, const Clock& clock, EventLog& log)
      : io_(io), clock_(clock), log_(log), restart_(io), alive_(std::make_shared<bool>(true)) {}

  ~HelperNutHost() override {
    *alive_ = false;
    End();
  }

  void Configure(const ListenConfig& listen, const ServerConfig& config) override {
    listen_ = listen;
    config_ = config;
    if (listen_.addresses.empty()) {
      End();
      restart_.cancel();
      return;
    }
    if (child_) {
      Send(ListenMessage(listen_) + ConfigMessage(config_));
    } else if (!restart_pending_) {
      Launch();
    }
  }

  void Publish(const Snapshot& snapshot) override {
    snapshot_ = snapshot;
    if (child_) Send(SnapshotMessage(snapshot_));
  }

  std::vector<std::string> LoggedIn() const override { return logins_; }

  void Stop() override {
    listen_.addresses.clear();
    restart_.cancel();
    restart_pending_ = false;
    End();
  }

 private:
  // One running helper with its pipes.
  struct Child {
    Child(asio::io_context& io) : input(io), output(io) {}
    pid_t pid = -1;
    asio::posix::stream_descriptor input;   // its stdin
    asio::posix::stream_descriptor output;  // its stdout
    std::optional<asio::posix::stream_descriptor> exit;
    std::deque<std::string> unsent;
    std::size_t unsent_bytes = 0;
    bool writing = false;
    std::string line;
    char chunk[4096];
    bool ended = false;  // taken down by us or found dead: handlers ignore it
  };

  void Launch() {
    last_launch_ = clock_.Now();
    const std::string helper = FindHelper();
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return LaunchFailed(helper, errno);
    if (::pipe2(out, O_CLOEXEC) != 0) {
      const int e = errno;
      ::close(in[0]);
      ::close(in[1]);
      return LaunchFailed(helper, e);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Not the relay link, not the log: only its pipes and stderr.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    CleanSignalsForChild(&attr);
    std::string path = helper;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      return LaunchFailed(helper, rc);
    }
    launch_failed_ = false;
    auto child = std::make_shared<Child>(io_);
    child->pid = pid;
    child->input.assign(in[1]);
    child->output.assign(out[0]);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) child->exit.emplace(io_, pidfd);
    child_ = child;
    Send(ListenMessage(listen_) + ConfigMessage(config_) + SnapshotMessage(snapshot_));
    Read(child);
    AwaitExit(child);
  }

  void LaunchFailed(const std::string& helper, int error) {
    // Recorded once until a start succeeds: each retry would say the same.
    if (!launch_failed_) {
      launch_failed_ = true;
      log_.WriteEventLog(kEventError, 109,
                         "The NUT server could not be started (" + helper +
                             "): " + std::strerror(error) +
                             ". Monitoring goes on; it is tried again every 5 seconds.");
    }
    ScheduleRestart();
  }

  void ScheduleRestart() {
    if (listen_.addresses.empty() || restart_pending_) return;
    restart_pending_ = true;
    const auto since = clock_.Now().steady - last_launch_.steady;
    const auto wait = since >= kRestartEvery ? std::chrono::seconds{0} : kRestartEvery - since;
    restart_.expires_after(wait);
    auto alive = alive_;
    restart_.async_wait([this, alive](const std::error_code& ec) {
      if (ec || !*alive) return;
      restart_pending_ = false;
      if (!child_ && !listen_.addresses.empty()) Launch();
    });
  }

  void Send(std::string text) {
    const auto child = child_;
    if (!child) return;
    child->unsent_bytes += text.size();
    child->unsent.push_back(std::move(text));
    if (child->unsent_bytes > kMaxUnsent) {
      return Died(child, "stopped reading what the service sends it");
    }
    if (!child->writing) Write(child);
  }

  void Write(const std::shared_ptr<Child>& child) {
    child->writing = true;
    auto alive = alive_;
    asio::async_write(child->input, asio::buffer(child->unsent.front()),
                      [this, alive, child](const std::error_code& ec, std::size_t) {
                        if (!*alive || child->ended) return;
                        child->writing = false;
                        child->unsent_bytes -= child->unsent.front().size();
                        child->unsent.pop_front();
                        if (ec) return Died(child, "closed its input");
                        if (!child->unsent.empty()) Write(child);
                      });
  }

  void Read(const std::shared_ptr<Child>& child) {
    auto alive = alive_;
    child->output.async_read_some(asio::buffer(child->chunk),
                                  [this, alive, child](const std::error_code& ec, std::size_t n) {
                                    if (!*alive || child->ended) return;
                                    // The end of its output comes as it exits; the exit itself
                                    // (from the pidfd) then gives the status the record names.
                                    if (ec) return child->exit ? void() : Died(child, {});
                                    std::string_view data(child->chunk, n);
                                    while (!data.empty()) {
                                      const auto lf = data.find('\n');
                                      child->line.append(data.substr(0, lf));
                                      if (child->line.size() > kMaxHelperLine) {
                                        return Died(child, "sent a line too long to read");
                                      }
                                      if (lf == std::string_view::npos) break;
                                      data.remove_prefix(lf + 1);
                                      const auto message = ParseHelperMessage(child->line);
                                      child->line.clear();
                                      if (!message || !Take(*message))
                                        return Died(child, "sent a message that was refused");
                                    }
                                    Read(child);
                                  });
  }

  // False for a message the helper has no business sending.
  bool Take(const HelperMessage& m) {
    switch (m.kind) {
      case HelperMessage::Kind::Logins:
        SetLogins(m.logins);
        return true;
      case HelperMessage::Kind::Record:
        log_.WriteEventLog(m.record_type, m.record_id, m.record_text);
        return true;
      default:
        return false;
    }
  }

  void SetLogins(std::vector<std::string> logins) {
    if (logins == logins_) return;
    logins_ = std::move(logins);
    if (on_logins_changed) on_logins_changed();
  }

  void AwaitExit(const std::shared_ptr<Child>& child) {
    auto alive = alive_;
    if (!child->exit) {
      // Kernels without pidfds: the end of its output tells instead.
      return;
    }
    child->exit->async_wait(asio::posix::stream_descriptor::wait_read,
                            [this, alive, child](const std::error_code& ec) {
                              if (ec || !*alive || child->ended) return;
                              Died(child, {});
                            });
  }

  // The helper is gone or no longer to be trusted: it is killed and reaped,
  // its secondaries count as dropped, and another is started.
  void Died(const std::shared_ptr<Child>& child, const std::string& why) {
    if (child->ended) return;
    const int status = TakeDown(*child);
    if (child_ == child) child_.reset();
    log_.WriteEventLog(kEventWarning, 109,
                       "The NUT server (ebbmark-nut) " + (why.empty() ? ExitText(status) : why) +
                           ". It is started again; monitoring goes on.");
    SetLogins({});
    ScheduleRestart();
  }

  // Ends the running helper (if any) without a record.
  void End() {
    if (!child_) return;
    TakeDown(*child_);
    child_.reset();
    if (*alive_) SetLogins({});
  }

  // Kills and reaps the child; its exit status.
  static int TakeDown(Child& child) {
    child.ended = true;
    std::error_code ignored;
    child.input.close(ignored);
    child.output.close(ignored);
    if (child.exit) child.exit->close(ignored);
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(child.pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      // Still running (it said something wrong, or we are stopping): it is
      // ended now, and reaping it takes no time after SIGKILL.
      ::kill(child.pid, SIGKILL);
      do {
        r = ::waitpid(child.pid, &status, 0);
      } while (r < 0 && errno == EINTR);
    }
    return status;
  }

  asio::io_context& io_;
  const Clock& clock_;
  EventLog& log_;
  ListenConfig listen_;
  ServerConfig config_;
  Snapshot snapshot_;
  std::shared_ptr<Child> child_;
  std::vector<std::string> logins_;
  asio::steady_timer restart_;
  bool restart_pending_ = false;
  bool launch_failed_ = false;
  Stamp last_launch_{};
  std::shared_ptr<bool> alive_;
};

}  // namespace

std::unique_ptr<NutHost> MakeNutHost(asio::io_context& io, const Clock& clock, EventLog& log) {
  return std::make_unique<HelperNutHost>(io, clock, log);
}

}  // namespace ebbmark::nut

// Starts the run file with posix_spawn and watches it from the loop: a pidfd
// that becomes readable when the process ends, or, on kernels without pidfds,
// a short waitpid poll. Nothing here blocks the loop.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "platform/posix/spawn_posix.h"
#include "platform/process_runner.h"

extern char** environ;

namespace ebbmark {
namespace {

constexpr std::chrono::milliseconds kPollWhileWaiting{20};
constexpr std::chrono::milliseconds kPollAfterWait{1000};

struct Spawned {
  pid_t pid = -1;
  int error = 0;
};

// The child must hold none of the service's sockets or files: a relay link or
// a log file kept open by a long-running run file would outlive the service.
int CloseDescriptorsAbove2(posix_spawn_file_actions_t* actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return posix_spawn_file_actions_addclosefrom_np(actions, 3);
#else
  // Without closefrom: close every descriptor open right now.
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return errno;
  const int own = dirfd(dir);
  int rc = 0;
  while (const dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd <= 2 || fd == own) continue;
    if ((rc = posix_spawn_file_actions_addclose(actions, static_cast<int>(fd))) != 0) break;
  }
  closedir(dir);
  return rc;
#endif
}

Spawned Spawn(const char* file, char* const argv[], bool search_path) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (const int rc = posix_spawn_file_actions_init(&actions); rc != 0) return {-1, rc};
  if (const int rc = posix_spawnattr_init(&attr); rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return {-1, rc};
  }
  int rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = CloseDescriptorsAbove2(&actions);
  if (rc == 0) rc = CleanSignalsForChild(&attr);
  pid_t pid = -1;
  if (rc == 0) {
    rc = search_path ? posix_spawnp(&pid, file, &actions, &attr, argv, environ)
                     : posix_spawn(&pid, file, &actions, &attr, argv, environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return {-1, rc};
  return {pid, 0};
}

Spawned StartFile(const std::string& path) {
  if (path.empty()) return {-1, ENOENT};
  std::string file = path;  // argv wants mutable strings
  // The whole text is one program path: no shell, no splitting at blanks.
  char* argv[] = {file.data(), nullptr};
  return Spawn(file.c_str(), argv, false);
}

// A regular file without an execute bit is refused with its own reason: the
// system's "permission denied" would send the user looking at the wrong thing.
// A service has no desktop to open a document with, so none is tried.
bool NotExecutable(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Watches one started process until it is reaped. It reports once, when the
// process ends or the wait runs out, and keeps watching after that so a
// process left running is still reaped when it ends (no zombies).
class Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(asio::io_context& io, pid_t pid, std::function<void(RunResult)> done,
        std::shared_ptr<bool> runner_alive)
      : io_(io),
        pid_(pid),
        done_(std::move(done)),
        runner_alive_(std::move(runner_alive)),
        deadline_(io),
        poll_(io) {}

  void Begin(std::optional<std::chrono::milliseconds> wait) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pidfd_.emplace(io_, fd);
      AwaitExit();
    } else {
      Poll();
    }
    if (!wait) return;  // without limit
    if (wait->count() <= 0) {
      asio::post(io_, [self = shared_from_this()] { self->Report(false, 0); });
      return;
    }
    deadline_.expires_after(*wait);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->Report(false, 0);
    });
  }

 private:
  void AwaitExit() {
    pidfd_->async_wait(asio::posix::stream_descriptor::wait_read,
                       [self = shared_from_this()](const std::error_code& ec) {
                         if (ec == asio::error::operation_aborted) return;
                         if (!self->TryReap()) self->AwaitExit();
                       });
  }

  void Poll() {
    poll_.expires_after(reported_ ? kPollAfterWait : kPollWhileWaiting);
    poll_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (ec == asio::error::operation_aborted) return;
      if (!self->TryReap()) self->Poll();
    });
  }

  // True when the process is gone (reaped here, or by someone else).
  bool TryReap() {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    // r < 0 (ECHILD): another part of the program reaped it; the exit code is lost.
    const int code = r == pid_ ? ExitCodeOf(status) : -1;
    deadline_.cancel();
    if (pidfd_) pidfd_->close();
    Report(true, code);
    return true;
  }

  void Report(bool finished, int exit_code) {
    if (reported_) return;
    reported_ = true;
    if (!*runner_alive_ || !done_) return;
    RunResult result;
    result.started = true;
    result.finished = finished;
    result.exit_code = finished ? exit_code : 0;
    result.process_id = static_cast<int>(pid_);
    auto done = std::move(done_);
    done_ = nullptr;
    done(result);
  }

  asio::io_context& io_;
  const pid_t pid_;
  std::function<void(RunResult)> done_;
  std::shared_ptr<bool> runner_alive_;
  std::optional<asio::posix::stream_descriptor> pidfd_;
  asio::steady_timer deadline_;
  asio::steady_timer poll_;
  bool reported_ = false;
};

class PosixProcessRunner final : public ProcessRunner {
 public:
  explicit PosixProcessRunner(asio::io_context& io) : io_(io) {}
  ~PosixProcessRunner() override { *alive_ = false; }

  void Run(const std::string& path, std::optional<std::chrono::milliseconds> wait,
           std::function<void(RunResult)> done) override {
    const bool not_executable = NotExecutable(path);
    const Spawned s = not_executable ? Spawned{-1, EACCES} : StartFile(path);
    if (s.pid < 0) {
      RunResult result;
      result.error = not_executable ? make_error_code(RunError::NotExecutable)
                                    : std::error_code(s.error, std::generic_category());
      asio::post(io_, [alive = alive_, done = std::move(done), result] {
        if (*alive) done(result);
      });
      return;
    }
    std::make_shared<Watch>(io_, s.pid, std::move(done), alive_)->Begin(wait);
  }

 private:
  asio::io_context& io_;
  // Cleared on destruction: watches still running reap their processes but
  // no longer call back into an owner that is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<ProcessRunner> MakeProcessRunner(asio::io_context& io) {
  return std::make_unique<PosixProcessRunner>(io);
}

}  // namespace ebbmark

#include "platform/posix/systemctl_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace ebbmark {
namespace {

// Gives up on a systemctl that says nothing and does not end for this many
// one-second waits (a D-Bus that never answers).

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SpawnAttributes {
 public:
  SpawnAttributes() {
    ok_ = ::posix_spawnattr_init(&attr_) == 0 && ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnAttributes() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // systemctl starts with a clean signal state whatever this process blocks
  // or ignores, and with stdin and stderr on /dev/null and stdout on `out_fd`.
  bool Prepare(int out_fd) {
    if (!ok_) return false;
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
    return ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) ==
               0 &&
           ::posix_spawnattr_setsigmask(&attr_, &empty) == 0 &&
           ::posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           ::posix_spawn_file_actions_adddup2(&actions_, out_fd, 1) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  bool ok_ = false;
  posix_spawnattr_t attr_{};
  posix_spawn_file_actions_t actions_{};
};

}  // namespace

SystemctlResult RunSystemctl(const std::vector<std::string>& args, int silent_seconds_limit) {
  SystemctlResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  int read_fd = pipe_fds[0];
  int write_fd = pipe_fds[1];

  std::vector<std::string> words;
  words.reserve(args.size() + 1);
  words.emplace_back("systemctl");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  {
    SpawnAttributes spawn;
    if (!spawn.Prepare(write_fd) || ::posix_spawnp(&pid, "systemctl", spawn.actions(), spawn.attr(),
                                                   argv.data(), environ) != 0) {
      CloseFd(read_fd);
      CloseFd(write_fd);
      return result;
    }
  }
  CloseFd(write_fd);

  bool finished_output = false;
  int silent_seconds = 0;
  char buf[4096];
  while (!finished_output && silent_seconds < silent_seconds_limit) {
    pollfd pfd{read_fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 1000);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      ++silent_seconds;
      continue;
    }
    const ssize_t n = ::read(read_fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (n == 0) {
      finished_output = true;
    } else {
      result.output.append(buf, static_cast<std::size_t>(n));
    }
  }
  CloseFd(read_fd);
  if (!finished_output) {
    ::kill(pid, SIGKILL);
    WaitExit(pid);
    result.exit_code = -1;
    return result;
  }
  result.exit_code = WaitExit(pid);
  return result;
}

std::string UnitName(const std::string& service_name) {
  if (service_name.empty() || service_name.size() > 200) return {};
  std::string unit;
  for (const char c : service_name) {
    const bool upper = c >= 'A' && c <= 'Z';
    const bool allowed = upper || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                         c == '-' || c == '.' || c == ':' || c == '@';
    if (!allowed) return {};
    unit.push_back(upper ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (unit[0] == '-' || unit[0] == '.') return {};
  return unit + ".service";
}

}  // namespace ebbmark

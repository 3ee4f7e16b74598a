// Saving as an administrator on Linux: pkexec starts the installed
// ebbmark-settings-writer as root once polkit has the password, with the
// new contents on stdin. The helper chooses the file from the kind alone,
// so the only path this side hands on is one it already compared.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "base/settings_names.h"
#include "platform/file_system.h"
#include "platform/posix/pkexec_writer_posix.h"

#ifndef EBBMARK_INSTALLED_SETTINGS_DIR
#define EBBMARK_INSTALLED_SETTINGS_DIR "/etc/ebbmark"
#endif
#ifndef EBBMARK_SETTINGS_WRITER
#define EBBMARK_SETTINGS_WRITER "/usr/libexec/ebbmark/ebbmark-settings-writer"
#endif

extern char** environ;

namespace ebbmark {
namespace {

// pkexec's own answers, besides the helper's exit status it passes on.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotRun = 127;
// The helper's.
constexpr int kHelperRefused = 2;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The contents in an anonymous file, read back from its start: the helper
// reads them whenever pkexec gets round to starting it, and no pipe can
// fill up while polkit waits for the password.
int ContentsFile(std::string_view contents) {
  const int fd = ::memfd_create("ebbmark-settings", MFD_CLOEXEC);
  if (fd < 0) return -1;
  while (!contents.empty()) {
    const ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return -1;
    }
    contents.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The helper's word for a file, from the table of settings names; empty
// for a file that is none of its kinds.
std::string KindWord(ProtectedFile file, const std::string& path, const std::string& folder) {
  switch (file) {
    case ProtectedFile::Settings:
      if (path == JoinPath(folder, kSettingsFileName)) return "settings";
      break;
    case ProtectedFile::Secret:
      for (const SecretName& secret : kSecretFiles)
        if (path == JoinPath(folder, std::string(secret.file_name)))
          return std::string(secret.kind);
      break;
  }
  return {};
}

std::error_code FromExitStatus(int status) {
  if (!WIFEXITED(status)) return PrivilegedWriteError::Failed;
  switch (WEXITSTATUS(status)) {
    case 0:
      return {};
    case kPkexecNotAuthorized:
      return PrivilegedWriteError::NotAuthorized;
    case kPkexecCannotRun:
      return PrivilegedWriteError::NotAvailable;
    case kHelperRefused:
      return PrivilegedWriteError::Refused;
    default:
      return PrivilegedWriteError::Failed;
  }
}

// One pkexec child, followed on the loop until it has ended. It keeps
// itself alive through the handler it waits with.
class ChildWait : public std::enable_shared_from_this<ChildWait> {
 public:
  ChildWait(asio::io_context& io, pid_t pid, std::weak_ptr<int> owner, PrivilegedWriter::Done done)
      : pid_(pid), owner_(std::move(owner)), done_(std::move(done)), pidfd_(io), poll_(io) {}

  void Start() {
    // A pidfd turns readable when the child ends; a kernel without them
    // (before 5.3) gets a look every tenth of a second instead.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pidfd_.assign(fd);
      pidfd_.async_wait(asio::posix::stream_descriptor::wait_read,
                        [self = shared_from_this()](const std::error_code&) { self->Check(); });
    } else {
      Poll();
    }
  }

 private:
  void Poll() {
    poll_.expires_after(std::chrono::milliseconds{100});
    poll_.async_wait([self = shared_from_this()](const std::error_code&) { self->Check(); });
  }

  void Check() {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      // Readable before the end can only be a spurious wake: wait on.
      if (pidfd_.is_open()) {
        pidfd_.async_wait(asio::posix::stream_descriptor::wait_read,
                          [self = shared_from_this()](const std::error_code&) { self->Check(); });
      } else {
        Poll();
      }
      return;
    }
    if (pidfd_.is_open()) pidfd_.close();
    const std::error_code outcome =
        r < 0 ? std::error_code(PrivilegedWriteError::Failed) : FromExitStatus(status);
    if (!owner_.expired()) done_(outcome);
  }

  pid_t pid_;
  std::weak_ptr<int> owner_;
  PrivilegedWriter::Done done_;
  asio::posix::stream_descriptor pidfd_;
  asio::steady_timer poll_;
};

class PkexecWriter final : public PrivilegedWriter {
 public:
  PkexecWriter(asio::io_context& io, std::string helper, std::string folder)
      : io_(io), helper_(std::move(helper)), folder_(std::move(folder)) {}

  void Replace(ProtectedFile file, const std::string& path, const std::string& contents,
               Done done) override {
    pid_t pid = -1;
    const std::error_code error = Spawn(file, path, contents, pid);
    if (error || pid < 0) {
      asio::post(io_, [alive = std::weak_ptr<int>(alive_), done = std::move(done), error] {
        if (!alive.expired()) done(error);
      });
      return;
    }
    std::make_shared<ChildWait>(io_, pid, alive_, std::move(done))->Start();
  }

 private:
  std::error_code Spawn(ProtectedFile file, const std::string& path, const std::string& contents,
                        pid_t& pid) {
    // The helper writes the installed folder's files only; a settings file
    // elsewhere (EBBMARK_HOME, beside the program) is not its to change.
    std::string kind_word = KindWord(file, path, folder_);
    if (kind_word.empty()) return PrivilegedWriteError::NotAvailable;

    const Fd input(ContentsFile(contents));
    if (input.get() < 0) return PrivilegedWriteError::Failed;

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    if (::posix_spawnattr_init(&attr) != 0) return PrivilegedWriteError::Failed;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
      ::posix_spawnattr_destroy(&attr);
      return PrivilegedWriteError::Failed;
    }
    // pkexec starts with a clean signal state whatever this program blocks.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
    bool prepared =
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
        ::posix_spawnattr_setsigmask(&attr, &empty) == 0 &&
        ::posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
        ::posix_spawn_file_actions_adddup2(&actions, input.get(), 0) == 0;
    int spawn_error = 0;
    if (prepared) {
      std::string pkexec = "pkexec";
      char* argv[] = {pkexec.data(), helper_.data(), kind_word.data(), nullptr};
      spawn_error = ::posix_spawnp(&pid, "pkexec", &actions, &attr, argv, environ);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (!prepared) return PrivilegedWriteError::Failed;
    // No pkexec on this computer: nothing can save as an administrator.
    if (spawn_error != 0) {
      pid = -1;
      return PrivilegedWriteError::NotAvailable;
    }
    return {};
  }

  asio::io_context& io_;
  std::string helper_;
  std::string folder_;
  // Answers that come after the writer is gone are dropped.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace

std::unique_ptr<PrivilegedWriter> MakePkexecWriter(asio::io_context& io, std::string helper,
                                                   std::string folder) {
  return std::make_unique<PkexecWriter>(io, std::move(helper), std::move(folder));
}

std::unique_ptr<PrivilegedWriter> MakeSystemPrivilegedWriter(asio::io_context& io) {
  // Tests only: the folder a helper behind a stand-in pkexec writes (the
  // real pkexec clears the environment, and the helper then writes the
  // installed folder whatever this says).
  const char* folder = std::getenv("EBBMARK_PRIVILEGED_FOLDER");
  return MakePkexecWriter(
      io, EBBMARK_SETTINGS_WRITER,
      folder != nullptr && *folder != '\0' ? folder : EBBMARK_INSTALLED_SETTINGS_DIR);
}

}  // namespace ebbmark

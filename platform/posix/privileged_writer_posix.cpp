// Saving as an administrator on Linux: pkexec starts the installed
// ebbmark-settings-writer as root once polkit has the password, with the
// new contents on stdin. The helper chooses the file from the kind alone,
// so the only path this side hands on is one it already compared.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "base/mail_sign_in.h"
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

const char* KindWord(ProtectedFile file) {
  switch (file) {
    case ProtectedFile::Settings:
      return "settings";
    case ProtectedFile::Secret:
      return "secret";
  }
  return nullptr;
}

const char* FileName(ProtectedFile file) {
  switch (file) {
    case ProtectedFile::Settings:
      return kSettingsFileName;
    case ProtectedFile::Secret:
      return kSecretFileName;
  }
  return nullptr;
}

class PkexecWriter final : public PrivilegedWriter {
 public:
  PkexecWriter(std::string helper, std::string folder)
      : helper_(std::move(helper)), folder_(std::move(folder)) {}

  std::error_code Replace(ProtectedFile file, const std::string& path,
                          const std::string& contents) override {
    const char* kind = KindWord(file);
    const char* name = FileName(file);
    // The helper writes the installed folder's file only; a settings file
    // elsewhere (EBBMARK_HOME, beside the program) is not its to change.
    if (!kind || !name || path != JoinPath(folder_, name))
      return PrivilegedWriteError::NotAvailable;

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
    pid_t pid = -1;
    int spawn_error = 0;
    if (prepared) {
      std::string pkexec = "pkexec";
      std::string kind_word = kind;
      char* argv[] = {pkexec.data(), helper_.data(), kind_word.data(), nullptr};
      spawn_error = ::posix_spawnp(&pid, "pkexec", &actions, &attr, argv, environ);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (!prepared) return PrivilegedWriteError::Failed;
    // No pkexec on this computer: nothing can save as an administrator.
    if (spawn_error != 0) return PrivilegedWriteError::NotAvailable;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return PrivilegedWriteError::Failed;
    }
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

 private:
  std::string helper_;
  std::string folder_;
};

}  // namespace

std::unique_ptr<PrivilegedWriter> MakePkexecWriter(std::string helper, std::string folder) {
  return std::make_unique<PkexecWriter>(std::move(helper), std::move(folder));
}

PrivilegedWriter& SystemPrivilegedWriter() {
  static const auto writer =
      MakePkexecWriter(EBBMARK_SETTINGS_WRITER, EBBMARK_INSTALLED_SETTINGS_DIR);
  return *writer;
}

}  // namespace ebbmark

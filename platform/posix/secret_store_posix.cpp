// The mail password file on POSIX: a file of mode 0600 written through a
// temporary file of the same mode in the same folder and renamed over, so
// there is never a moment when another account could read it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/mail_sign_in.h"
#include "platform/posix/access_posix.h"
#include "platform/secret_store.h"

namespace ebbmark {
namespace {

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// Far more than any password plus a line end; a bigger file is not ours.
constexpr off_t kMaxSecretFile = 64 * 1024;

class PosixSecretStore final : public SecretStore {
 public:
  SecretRead Read(const std::string& path) override {
    SecretRead r;
    // Without blocking: a FIFO in its place must be refused at once, not
    // hold up the send (and the shutdown it belongs to) until a writer comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ENOENT) return r;
      r.status = SecretRead::Status::Error;
      r.error = LastError();
      return r;
    }
    struct stat st {};
    std::error_code bad;
    if (::fstat(fd, &st) != 0) {
      bad = LastError();
    } else if (!S_ISREG(st.st_mode)) {
      bad = std::make_error_code(std::errc::invalid_argument);
    } else if (st.st_size > kMaxSecretFile) {
      bad = std::make_error_code(std::errc::file_too_large);
    } else {
      for (const auto& who : AccessHoldersOf(fd, st, Access::Read)) {
        r.readers += r.readers.empty() ? who : ", " + who;
      }
      if (!r.readers.empty()) {
        bad = std::make_error_code(std::errc::permission_denied);
        r.remedy = "chmod 600 " + path;
      }
    }
    if (bad) {
      ::close(fd);
      r.status = SecretRead::Status::Error;
      r.error = bad;
      return r;
    }
    std::string data;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r.status = SecretRead::Status::Error;
        r.error = LastError();
        ::close(fd);
        return r;
      }
      if (n == 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      if (data.size() > static_cast<std::size_t>(kMaxSecretFile)) {
        // It grew while being read: no password is that long.
        ::close(fd);
        r.status = SecretRead::Status::Error;
        r.error = std::make_error_code(std::errc::file_too_large);
        return r;
      }
    }
    ::close(fd);
    r.status = SecretRead::Status::Ok;
    r.value = PasswordFromFile(std::move(data));
    return r;
  }

  std::error_code Write(const std::string& path, const std::string& value) override {
    std::string temp = path + ".XXXXXX";
    // mkstemp creates the file with mode 0600 whatever the umask.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return LastError();
    std::error_code error;
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) error = LastError();
    std::size_t done = 0;
    while (!error && done < value.size()) {
      const ssize_t n = ::write(fd, value.data() + done, value.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = LastError();
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (!error && ::fsync(fd) != 0) error = LastError();
    if (::close(fd) != 0 && !error) error = LastError();
    if (!error && ::rename(temp.c_str(), path.c_str()) != 0) error = LastError();
    if (error) ::unlink(temp.c_str());
    return error;
  }

  std::error_code Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return LastError();
    return {};
  }
};

}  // namespace

SecretStore& RealSecretStore() {
  static PosixSecretStore store;
  return store;
}

}  // namespace ebbmark

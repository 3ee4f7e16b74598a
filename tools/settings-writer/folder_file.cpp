#include "tools/settings-writer/folder_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ebbmark {
namespace {

// An old file larger than this is not a file this helper ever wrote.
constexpr std::size_t kMaxOldFileBytes = 1024 * 1024;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting a failure a late write may have left.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::error_code ReadAll(int fd, std::string& out) {
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) return {};
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > kMaxOldFileBytes) return std::make_error_code(std::errc::file_too_large);
  }
}

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// A fresh hidden name beside the file, created exclusively.
int CreateTemporary(int dir, const std::string& name, std::string& temp_name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned int random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) return -1;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", random);
    temp_name = "." + name + suffix;
    const int fd = ::openat(dir, temp_name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool PlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

FolderFileUpdate ReplaceFolderFile(const std::string& folder, const std::string& name,
                                   const std::string& contents, mode_t new_file_mode,
                                   const std::function<std::string(std::string_view)>& check,
                                   FileAccess access) {
  FolderFileUpdate result;
  if (!PlainName(name)) {
    result.error = std::make_error_code(std::errc::invalid_argument);
    return result;
  }
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    result.error = LastError();
    return result;
  }

  std::string old_text;
  struct stat old_stat {};
  bool exists = false;
  {
    // O_NONBLOCK: a FIFO in the file's place must not hang the open.
    const Fd old(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (old.get() < 0 && errno != ENOENT) {
      // ELOOP: the name is a link, which is never followed.
      result.error = LastError();
      return result;
    }
    if (old.get() >= 0) {
      if (::fstat(old.get(), &old_stat) != 0) {
        result.error = LastError();
        return result;
      }
      if (!S_ISREG(old_stat.st_mode)) {
        result.error = std::make_error_code(std::errc::invalid_argument);
        return result;
      }
      exists = true;
      if ((result.error = ReadAll(old.get(), old_text))) return result;
    }
  }

  result.refused = check(old_text);
  if (!result.refused.empty()) return result;

  std::string temp_name;
  Fd temp(CreateTemporary(dir.get(), name, temp_name));
  if (temp.get() < 0) {
    result.error = LastError();
    return result;
  }
  const bool keep = exists && access == FileAccess::KeepOld;
  const uid_t owner = keep ? old_stat.st_uid : ::geteuid();
  const gid_t group = keep ? old_stat.st_gid : ::getegid();
  const mode_t mode = keep ? (old_stat.st_mode & 07777) : new_file_mode;
  std::error_code error = WriteAll(temp.get(), contents);
  // The owner first: changing it clears set-id bits the mode may then restore.
  if (!error && ::fchown(temp.get(), owner, group) != 0) error = LastError();
  if (!error && ::fchmod(temp.get(), mode) != 0) error = LastError();
  if (!error && ::fsync(temp.get()) != 0) error = LastError();
  if (!error && !temp.Close()) error = LastError();
  if (!error && ::renameat(dir.get(), temp_name.c_str(), dir.get(), name.c_str()) != 0) {
    error = LastError();
  }
  if (error) {
    ::unlinkat(dir.get(), temp_name.c_str(), 0);
    result.error = error;
    return result;
  }
  // The rename itself survives a power cut only once the folder is flushed.
  ::fsync(dir.get());
  return result;
}

std::error_code RemoveFolderFile(const std::string& folder, const std::string& name) {
  if (!PlainName(name)) return std::make_error_code(std::errc::invalid_argument);
  const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return LastError();
  if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) return LastError();
  ::fsync(dir.get());
  return {};
}

}  // namespace ebbmark

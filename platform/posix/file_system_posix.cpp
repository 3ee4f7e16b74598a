// The file system on POSIX: whole-file reads, atomic replacement, stamps at
// nanosecond resolution, wildcard lookup and appended lines.

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/posix/access_posix.h"

namespace ebbmark {
namespace {

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// A path with an embedded NUL would be cut short by the system calls and name
// another file; such a path names nothing.
bool UsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// The folder part of `path` ("." when there is none) and its last component.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const auto slash = path.rfind('/');
  // assign() rather than a literal: GCC 12 at -O3 warns wrongly (-Wrestrict)
  // on assigning a short literal to a string here.
  if (slash == std::string::npos) {
    folder.assign(1, '.');
    name = path;
  } else {
    folder = slash == 0 ? std::string(1, '/') : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports a failed close, which can carry a delayed write error.
  std::error_code Close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return LastError();
    return {};
  }

 private:
  int fd_;
};

std::error_code WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

// Permission bits for a file that did not exist before: what open(2) would
// give with mode 0666 under the process's umask. The umask is read from
// /proc, since umask(2) can only be read by changing it.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        const auto mask = static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        return 0666 & ~mask;
      } catch (...) {
        break;
      }
    }
  }
  return 0644;
}

bool HasWildcard(const std::string& name) {
  return name.find_first_of("*?[") != std::string::npos;
}

bool IsHiddenName(const std::string& name) {
  return !name.empty() && name[0] == '.';
}

// Who besides root can change this entry; empty when no one can. A folder
// others may write is still safe with the sticky bit and root as its owner
// (only an entry's owner can then rename or remove it), as for /tmp.
// ACL entries count as the bits do: a named user or group allowed to write
// can change the entry as well as its owning group can.
std::string OtherWriters(const std::string& path, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return {};  // a link's own bits mean nothing; its folder counts
  std::string writers;
  const auto add = [&writers](const std::string& who) {
    writers += writers.empty() ? who : ", " + who;
  };
  if (st.st_uid != 0) add(UserName(st.st_uid));
  const bool sticky_root_folder = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0;
  if (!sticky_root_folder) {
    for (const auto& who : AccessHolders(path, st, Access::Write)) add(who);
  }
  return writers;
}

// Checks `absolute` and each folder above it, without following the last
// link of each step. False, with `access` filled in, at the first problem.
bool CheckChain(const std::string& absolute, WriteAccess& access) {
  std::string prefix = absolute;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  for (;;) {
    struct stat st {};
    if (::lstat(prefix.c_str(), &st) != 0) {
      access.path = prefix;
      access.error = LastError();
      return false;
    }
    if (std::string who = OtherWriters(prefix, st); !who.empty()) {
      access.path = prefix;
      access.writers = std::move(who);
      return false;
    }
    if (prefix == "/") return true;
    const auto slash = prefix.rfind('/');
    prefix = slash == 0 ? std::string(1, '/') : prefix.substr(0, slash);
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  ReadResult ReadFile(const std::string& path, std::uint64_t limit) override {
    ReadResult result;
    if (!UsablePath(path)) {
      result.status = ReadResult::Status::Missing;
      return result;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer that may never come. The type check right after refuses it.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        result.status = ReadResult::Status::Missing;
      } else {
        result.status = ReadResult::Status::Error;
        result.error = LastError();
      }
      return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Failed(result, LastError());
    if (S_ISDIR(st.st_mode)) return Failed(result, std::make_error_code(std::errc::is_a_directory));
    if (!S_ISREG(st.st_mode)) return Failed(result, make_error_code(FileError::NotRegular));
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
      return Failed(result, make_error_code(FileError::TooLarge));
    }
    // A regular file never blocks, but clear the flag anyway: plain reads.
    ::fcntl(fd.get(), F_SETFL, 0);
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Failed(result, LastError());
      }
      if (n == 0) break;
      // The file may grow while it is read; the cap holds all the same.
      if (data.size() + static_cast<std::size_t>(n) > limit) {
        return Failed(result, make_error_code(FileError::TooLarge));
      }
      data.append(buf, static_cast<std::size_t>(n));
    }
    result.status = ReadResult::Status::Ok;
    result.data = std::move(data);
    return result;
  }

  std::error_code ReplaceFile(const std::string& path, const std::string& contents) override {
    if (!UsablePath(path)) return std::make_error_code(std::errc::invalid_argument);
    std::string folder, name;
    SplitPath(path, folder, name);
    if (name.empty()) return std::make_error_code(std::errc::is_a_directory);

    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode)) return std::make_error_code(std::errc::is_a_directory);

    // A dot name keeps the temporary file out of wildcard lookups while it exists.
    // A name near the length limit gets a short temporary name instead.
    const std::string temp_name = name.size() + 8 <= NAME_MAX ? "." + name : ".replace";
    std::string temp = (folder == "/" ? "" : folder) + "/" + temp_name + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return LastError();

    auto fail = [&](std::error_code ec) {
      fd.Close();
      ::unlink(temp.c_str());
      return ec;
    };

    const mode_t mode = existed ? (old.st_mode & 07777) : NewFileMode();
    if (::fchmod(fd.get(), mode) != 0) return fail(LastError());
    if (existed && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
      // Keeps the owner when an administrator edits someone else's file;
      // refused for an ordinary user, which is fine.
      [[maybe_unused]] const int ignored = ::fchown(fd.get(), old.st_uid, old.st_gid);
    }
    if (auto ec = WriteAll(fd.get(), contents.data(), contents.size())) return fail(ec);
    if (::fsync(fd.get()) != 0) return fail(LastError());
    if (auto ec = fd.Close()) return fail(ec);
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail(LastError());

    // Makes the rename itself durable; the new file is in place either way.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return {};
  }

  std::optional<FileStamp> Stamp(const std::string& path) override {
    if (!UsablePath(path)) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    FileStamp stamp;
    stamp.mtime_ns =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    return stamp;
  }

  bool PatternMatches(const std::string& pattern) override {
    if (!UsablePath(pattern)) return false;
    std::string folder, name;
    SplitPath(pattern, folder, name);
    if (name.empty() || IsHiddenName(name)) return false;

    if (!HasWildcard(name)) {
      struct stat st {};
      return ::lstat(pattern.c_str(), &st) == 0;
    }

    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir.get())) {
      const char* entry_name = entry->d_name;
      if (entry_name[0] == '.') continue;
      // A name that spells the pattern itself counts too, so that a file
      // called "run[1].sh" is found by its own name.
      if (name == entry_name || ::fnmatch(name.c_str(), entry_name, 0) == 0) return true;
    }
    return false;
  }

  bool IsFolder(const std::string& path) override {
    struct stat st {};
    return UsablePath(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  WriteAccess CheckWriteAccess(const std::string& path) override {
    WriteAccess access;
    if (!UsablePath(path)) {
      access.path = path;
      access.error = std::make_error_code(std::errc::invalid_argument);
      return access;
    }
    std::string absolute = path;
    if (absolute.front() != '/') {
      char cwd[PATH_MAX];
      if (::getcwd(cwd, sizeof cwd) == nullptr) {
        access.path = path;
        access.error = LastError();
        return access;
      }
      absolute = JoinPath(cwd, path);
    }
    // The path as written, where a link in an open folder could be swapped,
    // and the path its links lead to, where the content really is.
    if (!CheckChain(absolute, access)) return access;
    char resolved[PATH_MAX];
    if (::realpath(absolute.c_str(), resolved) == nullptr) {
      access.path = absolute;
      access.error = LastError();
      return access;
    }
    if (!CheckChain(resolved, access)) return access;
    access.trusted = true;
    return access;
  }

  bool IsExecutable(const std::string& path) override {
    if (!UsablePath(path)) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
           (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  }

  std::error_code AppendLine(const std::string& path, const std::string& line) override {
    if (!UsablePath(path)) return std::make_error_code(std::errc::invalid_argument);
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) return LastError();
    // One write call for the whole line: with O_APPEND, lines of concurrent
    // writers land one after the other, never interleaved.
    std::string record;
    record.reserve(line.size() + 1);
    record.append(line).push_back('\n');
    if (auto ec = WriteAll(fd.get(), record.data(), record.size())) return ec;
    return fd.Close();
  }

 private:
  static ReadResult& Failed(ReadResult& result, std::error_code ec) {
    result.status = ReadResult::Status::Error;
    result.error = ec;
    result.data.clear();
    return result;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem file_system;
  return file_system;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace ebbmark

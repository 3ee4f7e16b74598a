#pragma once
// Files as the programs need them: the settings file, the notice templates and
// the run-file lookup. Implemented per platform; tests use a fake.

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace ebbmark {

// What a settings-file change check compares: the modification time at the
// file system's full resolution, and the size. Two saves within one second
// still differ.
struct FileStamp {
  std::int64_t mtime_ns = 0;
  std::uint64_t size = 0;
  bool operator==(const FileStamp&) const = default;
};

// Reads refuse files that could stall the loop or exhaust memory: a FIFO, a
// device or a socket (even behind a link), and anything over the caller's cap.
enum class FileError { NotRegular = 1, TooLarge };
const std::error_category& FileErrorCategory();
std::error_code make_error_code(FileError e);

// The caps of the files the service reads as instructions or text.
inline constexpr std::uint64_t kSettingsFileLimit = 1024 * 1024;
inline constexpr std::uint64_t kTemplateFileLimit = 64 * 1024;

struct ReadResult {
  enum class Status { Ok, Missing, Error };
  Status status = Status::Missing;
  std::string data;       // the whole file, bytes as stored (Ok only)
  std::error_code error;  // why it could not be read (Error only)
};

// The outcome of a trust check of a path and the folders above it.
struct WriteAccess {
  bool trusted = false;
  std::string path;       // not trusted: the file or folder others can change
  std::string writers;    // not trusted: who can, e.g. "user nobody", "everyone"
  std::error_code error;  // the check itself failed (path names where)
};

// "… can be written by <writers>" or "… could not be checked: <error>".
std::string DescribeWriteAccess(const WriteAccess& access);

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Reads a whole regular file of at most `limit` bytes. Missing when it does
  // not exist; Error when it exists but cannot be read (permissions, a
  // folder, I/O error), is no regular file once links are followed
  // (FileError::NotRegular, found without blocking), or is larger than
  // `limit` (FileError::TooLarge).
  virtual ReadResult ReadFile(const std::string& path,
                              std::uint64_t limit = kSettingsFileLimit) = 0;

  // Replaces `path` with `contents` atomically: a temporary file in the same
  // folder, flushed, then renamed over. A reader sees the old or the new file,
  // never half of one. On failure the old file is untouched.
  virtual std::error_code ReplaceFile(const std::string& path, const std::string& contents) = 0;

  // The modification stamp, or nothing when the file is missing or cannot be examined.
  virtual std::optional<FileStamp> Stamp(const std::string& path) = 0;

  // True when a directory search for `pattern` (wildcards * and ? allowed in
  // the last component) finds an entry that is neither hidden nor a system
  // entry. Any error, including a path that cannot be examined, gives false.
  virtual bool PatternMatches(const std::string& pattern) = 0;

  // True when `path` names an existing folder (links followed). A folder is
  // never a run file, wildcards or not.
  virtual bool IsFolder(const std::string& path) = 0;

  // Whether `path` and every folder above it can be changed by
  // administrators only (POSIX: owned by root with no group or other write
  // bit, or a root-owned folder with the sticky bit; Windows: a DACL that
  // grants write to no one but SYSTEM, Administrators, TrustedInstaller and
  // the account this program runs as). The service executes nothing that
  // fails this check.
  virtual WriteAccess CheckWriteAccess(const std::string& path) = 0;

  // Whether the service could start `path` as a run file: POSIX, a file
  // with an execute bit (a script without one is refused); Windows, any
  // file (documents open with their program). False when it cannot be examined.
  virtual bool IsExecutable(const std::string& path) = 0;

  // Appends one line (a trailing newline is added) to a file, creating it.
  // Used by the operator mirrors (event-log JSON lines, power dry-run).
  virtual std::error_code AppendLine(const std::string& path, const std::string& line) = 0;
};

// The production file system of this platform.
FileSystem& RealFileSystem();

// Joins a folder and a file name with the platform's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace ebbmark

template <>
struct std::is_error_code_enum<ebbmark::FileError> : std::true_type {};

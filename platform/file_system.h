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

struct ReadResult {
  enum class Status { Ok, Missing, Error };
  Status status = Status::Missing;
  std::string data;       // the whole file, bytes as stored (Ok only)
  std::error_code error;  // why it could not be read (Error only)
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Reads a whole file. Missing when it does not exist; Error when it exists
  // but cannot be read (permissions, a folder, I/O error).
  virtual ReadResult ReadFile(const std::string& path) = 0;

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

  // Appends one line (a trailing newline is added) to a file, creating it.
  // Used by the operator mirrors (event-log JSON lines, power dry-run).
  virtual std::error_code AppendLine(const std::string& path, const std::string& line) = 0;
};

// The production file system of this platform.
FileSystem& RealFileSystem();

// Joins a folder and a file name with the platform's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace ebbmark

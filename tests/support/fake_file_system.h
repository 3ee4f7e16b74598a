#pragma once
// An in-memory FileSystem for unit tests. Paths are plain keys; a pattern
// matches by fnmatch-style wildcards on the whole path.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ebbmark::testing {

class FakeFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::map<std::string, FileStamp> stamps;  // set explicitly, or bumped by each write
  std::set<std::string> unreadable;         // ReadFile gives Error
  std::set<std::string> not_executable;     // IsExecutable gives false
  std::set<std::string> not_regular;        // ReadFile refuses as a FIFO or device
  // Files or folders others can write, with who can; a path is untrusted
  // when it or a folder above it is listed.
  std::map<std::string, std::string> untrusted;
  std::set<std::string> hidden;             // never matched by PatternMatches
  std::set<std::string> read_only_folders;  // ReplaceFile into these fails
  std::set<std::string> folders;            // IsFolder; PatternMatches finds them too
  std::set<std::string> denied_folders;     // ReplaceFile into these is not permitted
  std::vector<std::pair<std::string, std::string>> appended;  // (path, line)
  int replace_count = 0;

  ReadResult ReadFile(const std::string& path, std::uint64_t limit = kSettingsFileLimit) override;
  WriteAccess CheckWriteAccess(const std::string& path) override;
  bool IsExecutable(const std::string& path) override {
    return files.count(path) != 0 && not_executable.count(path) == 0;
  }
  std::error_code ReplaceFile(const std::string& path, const std::string& contents) override;
  std::optional<FileStamp> Stamp(const std::string& path) override;
  bool PatternMatches(const std::string& pattern) override;
  bool IsFolder(const std::string& path) override { return folders.count(path) != 0; }
  std::error_code AppendLine(const std::string& path, const std::string& line) override;

  // Sets a file's content without touching its stamp.
  void Put(const std::string& path, std::string contents) { files[path] = std::move(contents); }
  // Moves a file's stamp on, as an edit by another program would.
  void Touch(const std::string& path);

 private:
  std::int64_t tick_ = 1'000'000'000;
};

}  // namespace ebbmark::testing

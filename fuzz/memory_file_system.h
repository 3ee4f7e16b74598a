#pragma once
// Just enough of a file system for the fuzz targets: files in a map, every
// file trusted and executable, no folders.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace ebbmark {

class MemoryFileSystem final : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  // The settings target keeps any run file it is given; others match files only.
  bool every_pattern_matches = false;

  ReadResult ReadFile(const std::string& path, std::uint64_t limit) override {
    ReadResult r;
    auto it = files.find(path);
    if (it == files.end()) return r;
    if (it->second.size() > limit) {
      r.status = ReadResult::Status::Error;
      r.error = make_error_code(FileError::TooLarge);
      return r;
    }
    r.status = ReadResult::Status::Ok;
    r.data = it->second;
    return r;
  }
  std::error_code ReplaceFile(const std::string& path, const std::string& contents) override {
    files[path] = contents;
    return {};
  }
  std::optional<FileStamp> Stamp(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return FileStamp{1, it->second.size()};
  }
  bool PatternMatches(const std::string& p) override {
    return every_pattern_matches || files.count(p) != 0;
  }
  WriteAccess CheckWriteAccess(const std::string&) override { return {true, {}, {}, {}}; }
  bool IsExecutable(const std::string&) override { return true; }
  bool IsFolder(const std::string&) override { return false; }
  std::error_code AppendLine(const std::string&, const std::string&) override { return {}; }
};

}  // namespace ebbmark

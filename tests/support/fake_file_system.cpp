#include "tests/support/fake_file_system.h"

#include <functional>

namespace ebbmark::testing {
namespace {

bool WildcardMatch(const char* p, const char* s) {
  for (; *p; ++p, ++s) {
    if (*p == '*') {
      for (const char* t = s;; ++t) {
        if (WildcardMatch(p + 1, t)) return true;
        if (!*t) return false;
      }
    }
    if (!*s || (*p != '?' && *p != *s)) return false;
  }
  return !*s;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string{} : path.substr(0, slash);
}

}  // namespace

ReadResult FakeFileSystem::ReadFile(const std::string& path, std::uint64_t limit) {
  ReadResult r;
  if (not_regular.count(path)) {
    r.status = ReadResult::Status::Error;
    r.error = make_error_code(FileError::NotRegular);
    return r;
  }
  if (unreadable.count(path)) {
    r.status = ReadResult::Status::Error;
    r.error = std::make_error_code(std::errc::permission_denied);
    return r;
  }
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

WriteAccess FakeFileSystem::CheckWriteAccess(const std::string& path) {
  WriteAccess access;
  for (std::string p = path; !p.empty(); p = FolderOf(p)) {
    if (auto it = untrusted.find(p); it != untrusted.end()) {
      access.path = p;
      access.writers = it->second;
      return access;
    }
  }
  access.trusted = true;
  return access;
}

std::error_code FakeFileSystem::ReplaceFile(const std::string& path, const std::string& contents) {
  if (read_only_folders.count(FolderOf(path))) {
    return std::make_error_code(std::errc::read_only_file_system);
  }
  if (denied_folders.count(FolderOf(path))) {
    return std::make_error_code(std::errc::permission_denied);
  }
  files[path] = contents;
  ++replace_count;
  Touch(path);
  return {};
}

std::optional<FileStamp> FakeFileSystem::Stamp(const std::string& path) {
  auto f = files.find(path);
  if (f == files.end()) return std::nullopt;
  auto it = stamps.find(path);
  if (it == stamps.end()) return FileStamp{0, f->second.size()};
  return it->second;
}

bool FakeFileSystem::PatternMatches(const std::string& pattern) {
  for (const auto& [path, _] : files) {
    if (!hidden.count(path) && WildcardMatch(pattern.c_str(), path.c_str())) return true;
  }
  for (const auto& path : folders) {
    if (WildcardMatch(pattern.c_str(), path.c_str())) return true;
  }
  return false;
}

std::error_code FakeFileSystem::AppendLine(const std::string& path, const std::string& line) {
  appended.emplace_back(path, line);
  files[path] += line + "\n";
  return {};
}

void FakeFileSystem::Touch(const std::string& path) {
  tick_ += 1'000;  // a microsecond: changes within one second must still be seen
  stamps[path] = FileStamp{tick_, files[path].size()};
}

}  // namespace ebbmark::testing

// The file system on Windows: whole-file reads, atomic replacement, stamps at
// the file system's full resolution, wildcard lookup and appended lines.
//
// The settings file and the notice templates are text in the ANSI code page,
// as they have always been written; the programs hold text as UTF-8, so
// ReadFile and ReplaceFile convert at this layer (see TextFileToUtf8). The
// operator's JSON mirrors are appended as the UTF-8 they are.

#include <windows.h>
// windows.h names ReplaceFileA "ReplaceFile", which would rename the
// file system's method of that name in this file.
#undef ReplaceFile

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/file_system.h"
#include "platform/windows/text_windows.h"
#include "platform/windows/write_access_windows.h"

namespace ebbmark {
namespace {

using win::LastError;
using win::PathArgument;
using win::Win32Error;
using win::WriterCheck;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h == INVALID_HANDLE_VALUE || h == nullptr || ::CloseHandle(h) != FALSE;
  }

 private:
  HANDLE h_;
};

bool IsMissingError(DWORD e) {
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
         e == ERROR_BAD_NETPATH || e == ERROR_INVALID_DRIVE || e == ERROR_DIRECTORY;
}

std::error_code WriteAll(HANDLE h, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 20));
    DWORD written = 0;
    if (!::WriteFile(h, data.data() + done, chunk, &written, nullptr)) return LastError();
    if (written == 0) return Win32Error(ERROR_WRITE_FAULT);
    done += written;
  }
  return {};
}

// Splits at the last separator: "C:\a\b.ini" gives "C:\a\" and "b.ini".
void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& name) {
  const auto sep = path.find_last_of(L"\\/:");
  if (sep == std::wstring::npos) {
    folder.clear();
    name = path;
  } else {
    folder = path.substr(0, sep + 1);
    name = path.substr(sep + 1);
  }
}

// 100-nanosecond intervals from 1601 to 1970.
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;

class WindowsFileSystem final : public FileSystem {
 public:
  ReadResult ReadFile(const std::string& path, std::uint64_t limit) override {
    ReadResult result;
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return result;  // Missing

    const DWORD attributes = ::GetFileAttributesW(wpath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD e = ::GetLastError();
      if (IsMissingError(e)) return result;
      return Failed(result, Win32Error(e));
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
      return Failed(result, std::make_error_code(std::errc::is_a_directory));

    // Others may go on reading, writing or replacing the file meanwhile: the
    // configuration program saves by replacing it whole.
    Handle h(::CreateFileW(wpath.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) {
      const DWORD e = ::GetLastError();
      if (IsMissingError(e)) return result;
      return Failed(result, Win32Error(e));
    }
    // A device (CON, NUL, COM1) or a pipe is no settings file or template,
    // and reading one could wait for ever.
    if (::GetFileType(h.get()) != FILE_TYPE_DISK)
      return Failed(result, make_error_code(FileError::NotRegular));
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h.get(), &size)) return Failed(result, LastError());
    if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > limit)
      return Failed(result, make_error_code(FileError::TooLarge));
    std::string data;
    data.reserve(static_cast<std::size_t>(size.QuadPart));
    char buf[65536];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return Failed(result, LastError());
      if (n == 0) break;
      if (data.size() + n > limit) return Failed(result, make_error_code(FileError::TooLarge));
      data.append(buf, n);
    }
    result.status = ReadResult::Status::Ok;
    result.data = win::TextFileToUtf8(data);
    return result;
  }

  std::error_code ReplaceFile(const std::string& path, const std::string& contents) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return std::make_error_code(std::errc::invalid_argument);
    std::wstring folder, name;
    SplitPath(wpath, folder, name);
    if (name.empty()) return std::make_error_code(std::errc::is_a_directory);

    const DWORD old_attributes = ::GetFileAttributesW(wpath.c_str());
    const bool existed = old_attributes != INVALID_FILE_ATTRIBUTES;
    if (existed && (old_attributes & FILE_ATTRIBUTE_DIRECTORY))
      return std::make_error_code(std::errc::is_a_directory);

    // The temporary file is hidden, which keeps it out of wildcard lookups
    // while it exists. CREATE_NEW never opens someone else's file.
    std::wstring temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
      temp = folder + name + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::GetTickCount() + attempt) + L".tmp";
      created = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_HIDDEN, nullptr);
      if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (created == INVALID_HANDLE_VALUE) return LastError();
    Handle h(created);

    auto fail = [&](std::error_code ec) {
      h.Close();
      ::DeleteFileW(temp.c_str());
      return ec;
    };

    if (auto ec = WriteAll(h.get(), win::Utf8ToTextFile(contents))) return fail(ec);
    if (!::FlushFileBuffers(h.get())) return fail(LastError());
    if (!h.Close()) return fail(LastError());

    if (existed) {
      // ReplaceFileW keeps the old file's identity: its security settings,
      // creation time and streams. Its attributes are put back afterwards.
      if (::ReplaceFileW(wpath.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                         nullptr, nullptr)) {
        ::SetFileAttributesW(wpath.c_str(), old_attributes);
        return {};
      }
      const DWORD e = ::GetLastError();
      // Refused outright (read-only, in use, no rights): the old file stands.
      if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION ||
          e == ERROR_UNABLE_TO_REMOVE_REPLACED)
        return fail(Win32Error(e));
      // Otherwise (a file system without ReplaceFile) a plain rename will do.
    }
    ::SetFileAttributesW(temp.c_str(), existed ? old_attributes : FILE_ATTRIBUTE_ARCHIVE);
    if (!::MoveFileExW(temp.c_str(), wpath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return fail(LastError());
    return {};
  }

  std::optional<FileStamp> Stamp(const std::string& path) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return std::nullopt;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wpath.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    const std::int64_t ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime);
    FileStamp stamp;
    stamp.mtime_ns = (ticks - kUnixEpochInFileTime) * 100;
    stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return stamp;
  }

  bool PatternMatches(const std::string& pattern) override {
    const std::wstring wpattern = PathArgument(pattern);
    if (wpattern.empty()) return false;
    // A trailing separator names a folder's contents, never a file.
    if (wpattern.back() == L'\\' || wpattern.back() == L'/') return false;

    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileExW(wpattern.c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    do {
      const std::wstring_view name(entry.cFileName);
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
      found = true;
    } while (!found && ::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
  }

  bool IsFolder(const std::string& path) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(wpath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  WriteAccess CheckWriteAccess(const std::string& path) override {
    WriteAccess access;
    std::wstring current = PathArgument(path);
    if (current.empty()) {
      access.path = path;
      access.error = std::make_error_code(std::errc::invalid_argument);
      return access;
    }
    std::wstring full(32768, L'\0');
    const DWORD n = ::GetFullPathNameW(current.c_str(), 32768, full.data(), nullptr);
    if (n == 0 || n >= 32768) {
      access.path = path;
      access.error = LastError();
      return access;
    }
    full.resize(n);
    current = std::move(full);
    // The file, then each folder up to the drive's root.
    for (;;) {
      while (current.size() > 3 && (current.back() == L'\\' || current.back() == L'/'))
        current.pop_back();
      const WriterCheck check = win::OtherWritersOf(current);
      if (check.error || !check.writers.empty()) {
        access.path = win::Narrow(current);
        access.error = check.error;
        access.writers = check.writers;
        return access;
      }
      const auto sep = current.find_last_of(L"\\/");
      if (sep == std::wstring::npos || sep < 2) break;  // past the root, or a UNC server
      std::wstring parent = current.substr(0, sep);
      // "C:" alone means the current folder of drive C: keep the root's separator.
      if (parent.back() == L':') parent += L'\\';
      if (parent.size() >= current.size()) break;  // "C:\\" is its own parent
      current = std::move(parent);
    }
    access.trusted = true;
    return access;
  }

  bool IsExecutable(const std::string& path) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(wpath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::error_code AppendLine(const std::string& path, const std::string& line) override {
    const std::wstring wpath = PathArgument(path);
    if (wpath.empty()) return std::make_error_code(std::errc::invalid_argument);
    // Append-only access: every write lands at the end of the file, so lines
    // of several programs follow one another, never overlap. Within this
    // program the lock keeps that so where the file system gets it wrong
    // (Wine places concurrent appends of one process over each other).
    std::lock_guard lock(append_mutex_);
    Handle h(::CreateFileW(wpath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return LastError();
    std::string record;
    record.reserve(line.size() + 1);
    record.append(line).push_back('\n');
    if (auto ec = WriteAll(h.get(), record)) return ec;
    if (!h.Close()) return LastError();
    return {};
  }

 private:
  std::mutex append_mutex_;

  static ReadResult& Failed(ReadResult& result, std::error_code ec) {
    result.status = ReadResult::Status::Error;
    result.error = ec;
    result.data.clear();
    return result;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static WindowsFileSystem file_system;
  return file_system;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  if (last == '\\' || last == '/' || last == ':') return folder + name;
  return folder + "\\" + name;
}

}  // namespace ebbmark

#pragma once
// Helpers for the tests of the Windows adapters: a temporary folder (with a
// blank in its name), whole-file reads and writes as bytes, a scoped
// environment variable, ending a process together with the processes it
// started, and running a loop for a bounded time.

#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "platform/windows/text_windows.h"

namespace ebbmark::testing {

class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) return;
    for (unsigned i = 0; i < 1000 && path_.empty(); ++i) {
      const std::wstring candidate = std::wstring(base) + L"ebbmark test " +
                                     std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(::GetTickCount() + i);
      if (::CreateDirectoryW(candidate.c_str(), nullptr)) path_ = win::Narrow(candidate);
    }
  }
  ~TempFolder() {
    if (!path_.empty()) RemoveTree(win::Widen(path_));
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  static void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = dir + L"\\" + name;
        ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(full);
        } else {
          ::DeleteFileW(full.c_str());
        }
      } while (::FindNextFileW(find, &entry));
      ::FindClose(find);
    }
    ::RemoveDirectoryW(dir.c_str());
  }

  std::string path_;
};

inline bool WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE h = ::CreateFileW(win::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  ::CloseHandle(h);
  return ok;
}

inline std::optional<std::string> ReadBytes(const std::string& path) {
  HANDLE h = ::CreateFileW(win::Widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string data;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) data.append(buf, n);
  ::CloseHandle(h);
  return data;
}

inline bool Exists(const std::string& path) {
  return ::GetFileAttributesW(win::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesW(win::Widen(path).c_str());
}

inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileW(win::Widen(folder + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(win::Narrow(name));
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

// Sets (or, with nullopt, removes) an environment variable for one scope, in
// the C runtime's copy that getenv reads as well as the process's.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const std::optional<std::wstring>& value) : name_(name) {
    if (const wchar_t* old = ::_wgetenv(name)) old_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::wstring>& value) {
    ::_wputenv_s(name_.c_str(), value ? value->c_str() : L"");
  }
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// Ends a process and every process it started (a script's cmd.exe and the
// programs the script runs).
inline void EndProcessTree(DWORD pid) {
  if (pid == 0) return;
  std::vector<DWORD> children;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry)) {
      if (entry.th32ParentProcessID == pid && entry.th32ProcessID != pid)
        children.push_back(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
  }
  if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
    ::TerminateProcess(h, 1);
    ::CloseHandle(h);
  }
  for (const DWORD child : children) EndProcessTree(child);
}

inline bool ProcessRunning(DWORD pid) {
  HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return false;
  const bool running = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return running;
}

// Runs the loop until `done` holds, in steps of `step`, at most `steps` of them.
inline bool RunUntil(asio::io_context& io, const std::function<bool()>& done, int steps = 500,
                     std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  for (int i = 0; i < steps && !done(); ++i) {
    io.restart();
    io.run_for(step);
  }
  return done();
}

}  // namespace ebbmark::testing

#include <windows.h>

#include <string>

#include "platform/program_path.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {

std::string ProgramPath() {
  // Paths may exceed MAX_PATH; the buffer grows until the whole path fits.
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
  // "\\?\C:\..." names the same file; the plain form reads better in the
  // service's registration and in messages.
  if (buf.rfind(L"\\\\?\\", 0) == 0 && buf.size() > 6 && buf[5] == L':') buf.erase(0, 4);
  return win::Narrow(buf);
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const auto sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return {};
  // "C:\EbbmarkSvc.exe" lives in the root, "C:\".
  if (sep == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, sep);
}

}  // namespace ebbmark

#include "platform/windows/text_windows.h"

#include <windows.h>

#include <climits>

namespace ebbmark::win {
namespace {

class Win32ErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "win32"; }

  std::string message(int code) const override {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n > 0 && buffer != nullptr) text = Narrow(std::wstring_view(buffer, n));
    if (buffer != nullptr) ::LocalFree(buffer);
    // The system's texts end in a line break and often a full stop; the
    // callers put the text inside sentences of their own.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
      text.pop_back();
    }
    if (text.empty()) text = "Windows error " + std::to_string(static_cast<unsigned>(code));
    return text;
  }

  std::error_condition default_error_condition(int code) const noexcept override {
    switch (code) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return std::errc::no_such_file_or_directory;
      case ERROR_ACCESS_DENIED:
        return std::errc::permission_denied;
      case ERROR_ALREADY_EXISTS:
      case ERROR_FILE_EXISTS:
        return std::errc::file_exists;
      case ERROR_INVALID_NAME:
      case ERROR_INVALID_PARAMETER:
        return std::errc::invalid_argument;
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY:
        return std::errc::not_enough_memory;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        return std::errc::no_space_on_device;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        return std::errc::device_or_resource_busy;
      case ERROR_TIMEOUT:
      case WAIT_TIMEOUT:
        return std::errc::timed_out;
      default:
        return std::error_condition(code, *this);
    }
  }
};

int ToInt(std::size_t n) {
  return n > INT_MAX ? -1 : static_cast<int>(n);
}

std::wstring ToWide(UINT code_page, DWORD flags, std::string_view text) {
  if (text.empty()) return {};
  const int size = ToInt(text.size());
  if (size < 0) return {};
  const int n = ::MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, flags, text.data(), size, out.data(), n);
  return out;
}

// Converts to a code page; `lossy` tells whether a character had no place there.
std::string FromWide(UINT code_page, std::wstring_view text, bool* lossy) {
  if (lossy != nullptr) *lossy = false;
  if (text.empty()) return {};
  const int size = ToInt(text.size());
  if (size < 0) return {};
  BOOL used_default = FALSE;
  // UTF-8 takes no default-character arguments.
  BOOL* used = code_page == CP_UTF8 ? nullptr : &used_default;
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n =
      ::WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, used);
  if (n <= 0) {
    if (lossy != nullptr) *lossy = true;
    return {};
  }
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, flags, text.data(), size, out.data(), n, nullptr, used);
  if (lossy != nullptr) *lossy = used_default != FALSE;
  return out;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";

}  // namespace

std::wstring Widen(std::string_view utf8) {
  return ToWide(CP_UTF8, 0, utf8);
}

std::string Narrow(std::wstring_view utf16) {
  return FromWide(CP_UTF8, utf16, nullptr);
}

bool IsUtf8(std::string_view bytes) {
  if (bytes.empty()) return true;
  const int size = ToInt(bytes.size());
  if (size < 0) return false;
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0) > 0;
}

std::string TextFileToUtf8(std::string_view bytes) {
  if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
  if (bytes.substr(0, kUtf16Bom.size()) == kUtf16Bom) {
    // Saved as "Unicode" (UTF-16 LE), as Notepad offers.
    bytes.remove_prefix(kUtf16Bom.size());
    std::wstring wide(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
      wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return Narrow(wide);
  }
  if (IsUtf8(bytes)) return std::string(bytes);
  return Narrow(ToWide(CP_ACP, 0, bytes));
}

std::string Utf8ToTextFile(std::string_view utf8) {
  if (::GetACP() == CP_UTF8) return std::string(utf8);
  const std::wstring wide = Widen(utf8);
  bool lossy = false;
  std::string ansi = FromWide(CP_ACP, wide, &lossy);
  if (!lossy) return ansi;
  std::string out(kUtf8Bom);
  out.append(utf8);
  return out;
}

const std::error_category& Win32Category() {
  static const Win32ErrorCategory category;
  return category;
}

std::error_code Win32Error(unsigned long code) {
  return {static_cast<int>(code), Win32Category()};
}

std::error_code LastError() {
  return Win32Error(::GetLastError());
}

std::wstring PathArgument(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return {};
  return Widen(path);
}

}  // namespace ebbmark::win

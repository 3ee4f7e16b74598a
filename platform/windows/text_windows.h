#pragma once
// Text and error helpers shared by the Windows adapters: the programs hold
// text as UTF-8, Windows wants UTF-16, and older files are in the ANSI code
// page. Windows error numbers become std::error_code values whose message is
// the system's own text.

#include <string>
#include <string_view>
#include <system_error>

namespace ebbmark::win {

// UTF-8 to UTF-16 and back. Invalid sequences become U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// True when `bytes` is well-formed UTF-8.
bool IsUtf8(std::string_view bytes);

// A text file's bytes as UTF-8: a UTF-8 byte-order mark is dropped, text that
// is already well-formed UTF-8 stays as it is, anything else is read in the
// ANSI code page (how the settings file has always been written).
std::string TextFileToUtf8(std::string_view bytes);

// UTF-8 text as a text file's bytes: in the ANSI code page when every
// character has a place there, so the file stays readable by everything that
// reads it that way; otherwise as UTF-8 with a byte-order mark, so nothing is
// lost.
std::string Utf8ToTextFile(std::string_view utf8);

// The category of Windows error numbers (GetLastError, WSAGetLastError).
const std::error_category& Win32Category();
std::error_code Win32Error(unsigned long code);
// The calling thread's last error.
std::error_code LastError();

// The path with no embedded NUL and, as UTF-16, ready for the W functions;
// empty when it cannot name a file.
std::wstring PathArgument(const std::string& path);

}  // namespace ebbmark::win

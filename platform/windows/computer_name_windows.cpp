#include <windows.h>

#include <string>

#include "platform/computer_name.h"
#include "platform/windows/text_windows.h"

namespace ebbmark {

std::string GetComputerNameText() {
  wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(buf, &size)) return {};
  std::string name = win::Narrow(std::wstring_view(buf, size));
  // The name is quoted in notices: no NUL and no blanks at either end.
  std::erase(name, '\0');
  const auto first = name.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = name.find_last_not_of(' ');
  return name.substr(first, last - first + 1);
}

}  // namespace ebbmark

#include "config/win32/desktop.h"

#include <shellapi.h>

#include "platform/windows/message_box_windows.h"
#include "platform/windows/text_windows.h"

namespace ebbmark::win32view {
namespace {

// The window a message box belongs over: the active window when it is one
// of this thread's, else none (the box then stands alone, in front).
HWND OwnerWindow() {
  HWND active = ::GetActiveWindow();
  if (active == nullptr) return nullptr;
  return ::GetAncestor(active, GA_ROOTOWNER) != nullptr ? active : nullptr;
}

}  // namespace

DialogAnswer ViewDialogs::Show(const std::string& title, const std::string& text,
                               DialogButtons buttons, DialogIcon icon) {
  const std::wstring wtitle = win::Widen(title);
  const std::wstring wtext = win::Widen(text);
  HWND owner = OwnerWindow();
  const UINT style = win::MessageBoxStyle(buttons, icon) |
                     (owner != nullptr ? MB_APPLMODAL : MB_TASKMODAL | MB_SETFOREGROUND);
  return win::MessageBoxAnswer(::MessageBoxW(owner, wtext.c_str(), wtitle.c_str(), style), buttons);
}

bool ViewShell::Open(const std::string& address_or_path) {
  const std::wstring target = win::Widen(address_or_path);
  if (target.empty() || target.find(L'\0') != std::wstring::npos) return false;
  const HINSTANCE result = ::ShellExecuteW(::GetActiveWindow(), L"open", target.c_str(), nullptr,
                                           nullptr, SW_SHOWNORMAL);
  // The shell's old contract: a value above 32 is success, anything else an
  // error number.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

MutexInstanceCheck::~MutexInstanceCheck() {
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

bool MutexInstanceCheck::AnotherInstanceRunning() {
  if (mutex_ != nullptr) return false;  // this copy holds the mark
  // "Local\\": one copy per logged-on user's session, as each user has their
  // own desktop to show it on.
  mutex_ = ::CreateMutexW(nullptr, FALSE, L"Local\\Ebbmark.Configuration");
  if (mutex_ == nullptr) return false;  // cannot tell: go on
  if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  ::CloseHandle(mutex_);
  mutex_ = nullptr;
  // The running copy's window comes to the front instead.
  if (HWND other = ::FindWindowW(window_class_, nullptr)) {
    if (::IsIconic(other)) ::ShowWindow(other, SW_RESTORE);
    ::SetForegroundWindow(::GetLastActivePopup(other));
  }
  return true;
}

}  // namespace ebbmark::win32view

#include "config/win32/desktop.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

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

// The box being shown and the window it belongs over, for the hook that
// places it: one box at a time on the program's one thread.
struct BoxPlacement {
  HWND owner = nullptr;
  std::wstring title;
  HHOOK hook = nullptr;
};
BoxPlacement* g_placement = nullptr;

int DpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto get_dpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi != nullptr && window != nullptr) {
    if (const UINT dpi = get_dpi(window); dpi != 0) return static_cast<int>(dpi);
  }
  HDC dc = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
  ::ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

// Widens `box` to `width`, keeping its contents centred as the system laid
// them out, and centres it on `owner`, wholly on the owner's monitor.
void PlaceBox(HWND box, HWND owner, int width) {
  RECT r{};
  ::GetWindowRect(box, &r);
  const int old_width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width > old_width) {
    const int shift = (width - old_width) / 2;
    std::vector<HWND> children;
    for (HWND c = ::GetWindow(box, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT))
      children.push_back(c);
    for (HWND c : children) {
      RECT cr{};
      ::GetWindowRect(c, &cr);
      ::MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&cr), 2);
      ::SetWindowPos(c, nullptr, cr.left + shift, cr.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  const int w = std::max(width, old_width);
  int x = r.left;
  int y = r.top;
  if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    RECT o{};
    ::GetWindowRect(owner, &o);
    x = o.left + (o.right - o.left - w) / 2;
    y = o.top + (o.bottom - o.top - height) / 2;
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &mi)) {
      const RECT& work = mi.rcWork;
      x = std::max<int>(work.left, std::min<int>(x, work.right - w));
      y = std::max<int>(work.top, std::min<int>(y, work.bottom - height));
    }
  } else {
    x -= (w - old_width) / 2;
  }
  ::SetWindowPos(box, nullptr, x, y, w, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Runs after each message a window of this thread has handled: once the
// box has handled WM_INITDIALOG, the system has laid it out, and it has not
// been shown yet.
LRESULT CALLBACK PlaceBoxHook(int code, WPARAM wparam, LPARAM lparam) {
  BoxPlacement* p = g_placement;
  if (p == nullptr) return 0;
  const HHOOK hook = p->hook;
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lparam);
  if (code == HC_ACTION && call->message == WM_INITDIALOG) {
    wchar_t cls[16] = {};
    ::GetClassNameW(call->hwnd, cls, 16);
    if (std::wstring(cls) == L"#32770") {
      PlaceBox(call->hwnd, p->owner, MessageBoxTitleWidth(p->title, DpiOf(call->hwnd)));
      ::UnhookWindowsHookEx(p->hook);
      p->hook = nullptr;
    }
  }
  return ::CallNextHookEx(hook, code, wparam, lparam);
}

}  // namespace

int MessageBoxTitleWidth(const std::wstring& title, int dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  // The caption font at this DPI (the system's figures are for its own).
  const int system_dpi = DpiOf(nullptr);
  metrics.lfCaptionFont.lfHeight = ::MulDiv(metrics.lfCaptionFont.lfHeight, dpi, system_dpi);
  HFONT font = ::CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  SIZE size{};
  ::GetTextExtentPoint32W(dc, title.c_str(), static_cast<int>(title.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  ::DeleteObject(font);
  const int button = ::MulDiv(::GetSystemMetrics(SM_CXSIZE), dpi, system_dpi);
  const int frame = ::MulDiv(::GetSystemMetrics(SM_CXFRAME) + ::GetSystemMetrics(SM_CXPADDEDBORDER),
                             dpi, system_dpi);
  // Close button, room for the icon, the frame on both sides, and a margin
  // that keeps the title's last letter clear of the button.
  return size.cx + 2 * button + 2 * frame + ::MulDiv(24, dpi, 96);
}

DialogAnswer ViewDialogs::Show(const std::string& title, const std::string& text,
                               DialogButtons buttons, DialogIcon icon) {
  const std::wstring wtitle = win::Widen(title);
  const std::wstring wtext = win::Widen(text);
  HWND owner = OwnerWindow();
  const UINT style = win::MessageBoxStyle(buttons, icon) |
                     (owner != nullptr ? MB_APPLMODAL : MB_TASKMODAL | MB_SETFOREGROUND);
  // The hook places the box as it comes up; a box inside a box (from a
  // handler run meanwhile) is left where the system puts it.
  BoxPlacement placement{owner, wtitle, nullptr};
  const bool placing = g_placement == nullptr;
  if (placing) {
    g_placement = &placement;
    placement.hook =
        ::SetWindowsHookExW(WH_CALLWNDPROCRET, &PlaceBoxHook, nullptr, ::GetCurrentThreadId());
  }
  const int result = ::MessageBoxW(owner, wtext.c_str(), wtitle.c_str(), style);
  if (placing) {
    if (placement.hook != nullptr) ::UnhookWindowsHookEx(placement.hook);
    g_placement = nullptr;
  }
  return win::MessageBoxAnswer(result, buttons);
}

std::optional<std::string> ViewFileChooser::ChooseFile(const std::string& title,
                                                       const std::string& current) {
  std::wstring wtitle = win::Widen(title);
  std::vector<wchar_t> file(32768, L'\0');
  std::wstring folder;
  const std::wstring start = win::Widen(current);
  if (!start.empty() && start.size() < file.size()) {
    // Opens beside the current run file, named in the box.
    const auto slash = start.find_last_of(L"\\/");
    if (slash != std::wstring::npos) folder = start.substr(0, slash);
    const std::wstring name = slash == std::wstring::npos ? start : start.substr(slash + 1);
    std::copy(name.begin(), name.end(), file.begin());
  }
  static const wchar_t kFilter[] =
      L"Programs and scripts (*.exe;*.bat;*.cmd;*.ps1;*.vbs)\0*.exe;*.bat;*.cmd;*.ps1;*.vbs\0"
      L"All files (*.*)\0*.*\0";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = OwnerWindow();
  ofn.lpstrFilter = kFilter;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrTitle = wtitle.c_str();
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetOpenFileNameW(&ofn)) return std::nullopt;  // cancelled, or no dialog
  return win::Narrow(file.data());
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

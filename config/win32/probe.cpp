// Reads a running Ebbmark's main window from outside, the way a user sees
// it, for the smoke test: its title, the status bar's panels and the text of
// every control. It can also press a toolbar button or a menu entry and read
// a helper window.
//
//   ebbmark_view_probe read [CLASS]       prints title=..., panel1=..., text=... lines
//   ebbmark_view_probe wait SECONDS       waits until the main window is shown
//   ebbmark_view_probe command ID         posts WM_COMMAND ID to the main window (a menu entry)
//   ebbmark_view_probe toolbar N          presses toolbar button N (1-based)
//   ebbmark_view_probe close-popup        closes the window shown over the main one
//
// Exit code 0 on success, 1 when there is no window, 2 on a usage error.

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kMainClass = L"EbbmarkMainWindow";

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

// WM_GETTEXT is carried across processes by the system.
std::wstring TextOf(HWND hwnd) {
  wchar_t buf[1024] = {};
  DWORD_PTR got = 0;
  if (::SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG,
                            2000, &got) == 0)
    return {};
  return std::wstring(buf, static_cast<std::size_t>(got));
}

// A status bar panel's text: SB_GETTEXT writes into the caller's memory, so
// the buffer must live in the window's own process.
std::wstring PanelText(HWND bar, int panel) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(bar, &pid);
  HANDLE process =
      ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process == nullptr) return L"?";
  constexpr SIZE_T kBytes = 1024 * sizeof(wchar_t);
  void* remote = ::VirtualAllocEx(process, nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE);
  std::wstring text;
  if (remote != nullptr) {
    const LRESULT len = ::SendMessageW(bar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(panel), 0);
    if (LOWORD(len) < 1000) {
      ::SendMessageW(bar, SB_GETTEXTW, static_cast<WPARAM>(panel),
                     reinterpret_cast<LPARAM>(remote));
      std::vector<wchar_t> local(1024, L'\0');
      SIZE_T read = 0;
      if (::ReadProcessMemory(process, remote, local.data(), kBytes, &read))
        text.assign(local.data(), ::wcsnlen(local.data(), 1024));
    }
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  ::CloseHandle(process);
  return text;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t cls[64] = {};
  ::GetClassNameW(child, cls, 64);
  if (::_wcsicmp(cls, STATUSCLASSNAMEW) == 0) {
    for (int i = 0; i < 2; ++i)
      std::printf("panel%d=%s\n", i + 1, Utf8(PanelText(child, i)).c_str());
    return TRUE;
  }
  if ((::GetWindowLongPtrW(child, GWL_STYLE) & WS_VISIBLE) == 0) return TRUE;
  const std::wstring text = TextOf(child);
  if (!text.empty()) std::printf("text=%s\n", Utf8(text).c_str());
  return TRUE;
}

HWND Popup(HWND main) {
  HWND popup = ::GetLastActivePopup(main);
  return popup != main ? popup : nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring verb = argv[1];
  HWND main = ::FindWindowW(kMainClass, nullptr);
  if (verb == L"wait") {
    const int seconds = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 30;
    for (int i = 0; i < seconds * 50; ++i) {
      main = ::FindWindowW(kMainClass, nullptr);
      if (main != nullptr && ::IsWindowVisible(main)) {
        std::printf("shown\n");
        return 0;
      }
      ::Sleep(20);
    }
    return 1;
  }
  if (main == nullptr) return 1;
  if (verb == L"read") {
    HWND target = main;
    if (argc > 2 && std::wstring(argv[2]) == L"popup") target = Popup(main);
    if (target == nullptr) return 1;
    std::printf("title=%s\n", Utf8(TextOf(target)).c_str());
    ::EnumChildWindows(target, &PrintChild, 0);
    std::fflush(stdout);
    return 0;
  }
  if (verb == L"command" && argc > 2) {
    ::PostMessageW(main, WM_COMMAND, static_cast<WPARAM>(std::wcstol(argv[2], nullptr, 10)), 0);
    return 0;
  }
  if (verb == L"toolbar" && argc > 2) {
    HWND toolbar = ::FindWindowExW(main, nullptr, TOOLBARCLASSNAMEW, nullptr);
    if (toolbar == nullptr) return 1;
    const int id = 1000 + static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(toolbar));
    return 0;
  }
  if (verb == L"close-popup") {
    HWND popup = Popup(main);
    if (popup == nullptr) return 1;
    ::PostMessageW(popup, WM_CLOSE, 0, 0);
    return 0;
  }
  return 2;
}

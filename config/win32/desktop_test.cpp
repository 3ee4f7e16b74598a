#include "config/win32/desktop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/win32/native_window.h"
#include "config/win32/screen_shot_test.h"

namespace ebbmark::win32view {
namespace {

TEST(Win32DesktopTest, TheFirstCopyHoldsTheMarkAndASecondFindsIt) {
  MutexInstanceCheck first(NativeWindow::kMainClass);
  EXPECT_FALSE(first.AnotherInstanceRunning());
  // Asking again does not make the first copy see itself as another.
  EXPECT_FALSE(first.AnotherInstanceRunning());
  {
    MutexInstanceCheck second(NativeWindow::kMainClass);
    EXPECT_TRUE(second.AnotherInstanceRunning());
  }
}

TEST(Win32DesktopTest, TheMarkGoesWithTheCopyThatHeldIt) {
  {
    MutexInstanceCheck first(NativeWindow::kMainClass);
    ASSERT_FALSE(first.AnotherInstanceRunning());
  }
  MutexInstanceCheck next(NativeWindow::kMainClass);
  EXPECT_FALSE(next.AnotherInstanceRunning());
}

// A copy started while this one runs brings this one's window to the front.
TEST(Win32DesktopTest, ASecondCopyBringsTheFirstsWindowToTheFront) {
  static const bool registered = NativeWindow::RegisterClasses(::GetModuleHandleW(nullptr));
  ASSERT_TRUE(registered);
  HWND first_window =
      ::CreateWindowExW(0, NativeWindow::kMainClass, L"Ebbmark", WS_OVERLAPPEDWINDOW, 40, 40, 300,
                        200, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (first_window == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  ::ShowWindow(first_window, SW_SHOWMINIMIZED);
  MutexInstanceCheck first(NativeWindow::kMainClass);
  ASSERT_FALSE(first.AnotherInstanceRunning());
  {
    MutexInstanceCheck second(NativeWindow::kMainClass);
    EXPECT_TRUE(second.AnotherInstanceRunning());
  }
  EXPECT_FALSE(::IsIconic(first_window)) << "restored";
  EXPECT_TRUE(::IsWindowVisible(first_window));
  ::DestroyWindow(first_window);
}

namespace {

struct BoxSeen {
  std::wstring title;
  std::string shot;  // BMP path, or empty
  RECT box{};
  bool seen = false;
};
BoxSeen* g_seen = nullptr;

void CALLBACK LookAtTheBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = ::FindWindowW(L"#32770", g_seen->title.c_str());
  if (box == nullptr) return;
  ::KillTimer(nullptr, timer);
  ::GetWindowRect(box, &g_seen->box);
  g_seen->seen = true;
  if (!g_seen->shot.empty()) SaveShot(box, g_seen->shot);
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
}

}  // namespace

// The system would size a box by its text and centre it on the screen; the
// program's boxes sit centred on its window, wide enough for their titles.
TEST(Win32DesktopTest, MessageBoxesSitOnTheirWindowWideEnoughForTheirTitles) {
  static const bool registered = NativeWindow::RegisterClasses(::GetModuleHandleW(nullptr));
  ASSERT_TRUE(registered);
  HWND window =
      ::CreateWindowExW(0, NativeWindow::kMainClass, L"Ebbmark", WS_OVERLAPPEDWINDOW, 120, 90, 520,
                        420, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  ::ShowWindow(window, SW_SHOW);
  ::SetForegroundWindow(window);
  ::SetActiveWindow(window);
  const char* shots = std::getenv("EBBMARK_SCREENSHOT_DIR");
  ViewDialogs dialogs;
  const struct {
    const char* title;
    const char* text;
    const char* shot;
  } boxes[] = {
      {"Save Settings", "Settings saved!", "win32_message_saved"},
      {"The settings have not been saved", "Port?", "win32_message_title"},
  };
  for (const auto& b : boxes) {
    BoxSeen seen{std::wstring(b.title, b.title + std::string(b.title).size()),
                 shots ? std::string(shots) + "/" + b.shot + ".bmp" : std::string()};
    g_seen = &seen;
    ::SetTimer(nullptr, 0, 300, &LookAtTheBox);
    dialogs.Show(b.title, b.text, DialogButtons::Ok, DialogIcon::Information);
    g_seen = nullptr;
    ASSERT_TRUE(seen.seen) << b.title;
    RECT w{};
    ::GetWindowRect(window, &w);
    const int box_width = seen.box.right - seen.box.left;
    HDC dc = ::GetDC(window);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(window, dc);
    EXPECT_GE(box_width, MessageBoxTitleWidth(seen.title, dpi)) << b.title;
    EXPECT_NEAR((seen.box.left + seen.box.right) / 2, (w.left + w.right) / 2, 2) << b.title;
    EXPECT_NEAR((seen.box.top + seen.box.bottom) / 2, (w.top + w.bottom) / 2, 2) << b.title;
  }
  ::DestroyWindow(window);
}

TEST(Win32DesktopTest, TheShellRefusesWhatCannotBeOpened) {
  ViewShell shell;
  EXPECT_FALSE(shell.Open(""));
  EXPECT_FALSE(shell.Open(std::string("C:\\no\0where.html", 17)));
  EXPECT_FALSE(shell.Open("C:\\this folder does not exist\\README.html"));
}

}  // namespace
}  // namespace ebbmark::win32view

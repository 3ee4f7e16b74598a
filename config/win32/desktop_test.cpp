#include "config/win32/desktop.h"

#include <gtest/gtest.h>

#include "config/win32/native_window.h"

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

TEST(Win32DesktopTest, TheShellRefusesWhatCannotBeOpened) {
  ViewShell shell;
  EXPECT_FALSE(shell.Open(""));
  EXPECT_FALSE(shell.Open(std::string("C:\\no\0where.html", 17)));
  EXPECT_FALSE(shell.Open("C:\\this folder does not exist\\README.html"));
}

}  // namespace
}  // namespace ebbmark::win32view

#include "config/win32/desktop.h"

#include <gtest/gtest.h>

#include "config/win32/native_window.h"

namespace ebbmark::win32view {
namespace {

TEST(Win32DesktopTest, MessageBoxResultsBecomeTheModelsAnswers) {
  EXPECT_EQ(AnswerFor(IDYES, DialogButtons::YesNo), DialogAnswer::Yes);
  EXPECT_EQ(AnswerFor(IDNO, DialogButtons::YesNo), DialogAnswer::No);
  EXPECT_EQ(AnswerFor(IDOK, DialogButtons::Ok), DialogAnswer::Ok);
  EXPECT_EQ(AnswerFor(IDCANCEL, DialogButtons::OkCancel), DialogAnswer::Cancel);
  // No box could be shown: a question is declined, so nothing is saved or
  // started behind the user's back; a notice counts as seen.
  EXPECT_EQ(AnswerFor(0, DialogButtons::YesNo), DialogAnswer::No);
  EXPECT_EQ(AnswerFor(0, DialogButtons::YesNoCancel), DialogAnswer::Cancel);
  EXPECT_EQ(AnswerFor(0, DialogButtons::Ok), DialogAnswer::Ok);
}

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

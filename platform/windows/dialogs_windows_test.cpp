#include <gtest/gtest.h>

#include "platform/windows/message_box_windows.h"

namespace ebbmark::win {
namespace {

TEST(WindowsMessageBoxTest, ResultsBecomeTheCallersAnswers) {
  EXPECT_EQ(MessageBoxAnswer(IDYES, DialogButtons::YesNo), DialogAnswer::Yes);
  EXPECT_EQ(MessageBoxAnswer(IDNO, DialogButtons::YesNo), DialogAnswer::No);
  EXPECT_EQ(MessageBoxAnswer(IDOK, DialogButtons::Ok), DialogAnswer::Ok);
  EXPECT_EQ(MessageBoxAnswer(IDCANCEL, DialogButtons::OkCancel), DialogAnswer::Cancel);
  // No box could be shown: a question is declined, so nothing is saved or
  // started behind the user's back; a notice counts as seen.
  EXPECT_EQ(MessageBoxAnswer(0, DialogButtons::YesNo), DialogAnswer::No);
  EXPECT_EQ(MessageBoxAnswer(0, DialogButtons::YesNoCancel), DialogAnswer::Cancel);
  EXPECT_EQ(MessageBoxAnswer(0, DialogButtons::Ok), DialogAnswer::Ok);
}

TEST(WindowsMessageBoxTest, StylesCarryButtonsAndIcon) {
  EXPECT_EQ(MessageBoxStyle(DialogButtons::Ok, DialogIcon::None), UINT{MB_OK});
  EXPECT_EQ(MessageBoxStyle(DialogButtons::YesNo, DialogIcon::Question),
            UINT{MB_YESNO | MB_ICONQUESTION});
  EXPECT_EQ(MessageBoxStyle(DialogButtons::OkCancel, DialogIcon::Error),
            UINT{MB_OKCANCEL | MB_ICONERROR});
}

}  // namespace
}  // namespace ebbmark::win

#include <gtest/gtest.h>

#include "platform/dialogs.h"

namespace ebbmark {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

TEST(PosixDialogsTest, ErrorsGoToStderrAndNoticesToStdout) {
  Dialogs& dialogs = ServiceDialogs();

  CaptureStdout();
  CaptureStderr();
  const auto answer = dialogs.Show("Error removing Ebbmark service",
                                   "Could not uninstall.\r\nYou must be an administrator.",
                                   DialogButtons::Ok, DialogIcon::Error);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(
      GetCapturedStderr(),
      "Error removing Ebbmark service: Could not uninstall.\nYou must be an administrator.\n");
  EXPECT_EQ(answer, DialogAnswer::Ok);

  for (auto icon : {DialogIcon::Information, DialogIcon::None, DialogIcon::Warning}) {
    CaptureStdout();
    CaptureStderr();
    dialogs.Show("Ebbmark Service Install", "Ebbmark is now installed as a service!",
                 DialogButtons::Ok, icon);
    EXPECT_EQ(GetCapturedStdout(),
              "Ebbmark Service Install: Ebbmark is now installed as a service!\n");
    EXPECT_EQ(GetCapturedStderr(), "");
  }
}

TEST(PosixDialogsTest, UnansweredQuestionsAreDeclined) {
  CaptureStdout();
  EXPECT_EQ(ServiceDialogs().Show("Ebbmark", "Save?", DialogButtons::YesNo, DialogIcon::Question),
            DialogAnswer::No);
  EXPECT_EQ(
      ServiceDialogs().Show("Ebbmark", "Save?", DialogButtons::YesNoCancel, DialogIcon::Question),
      DialogAnswer::Cancel);
  GetCapturedStdout();
}

}  // namespace
}  // namespace ebbmark

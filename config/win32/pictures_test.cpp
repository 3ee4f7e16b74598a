#include "config/win32/pictures.h"

#include <gtest/gtest.h>

#include "config/model/frm_about.h"
#include "config/model/frm_ebbmark.h"
#include "config/win32/view_resources.h"

namespace ebbmark::win32view {
namespace {

TEST(Win32PicturesTest, IndicatorsShowTheirMeaning) {
  EXPECT_EQ(PictureResource("connected"), IDI_PIC_OK);
  EXPECT_EQ(PictureResource("yes"), IDI_PIC_OK);
  EXPECT_EQ(PictureResource("not_connected"), IDI_PIC_FAIL);
  EXPECT_EQ(PictureResource("no"), IDI_PIC_FAIL);
  EXPECT_EQ(PictureResource("shutdown_active"), IDI_PIC_POWER_RED);
  EXPECT_EQ(PictureResource("hibernate_active"), IDI_PIC_POWER_ORANGE);
  EXPECT_EQ(PictureResource("no such role"), 0);
}

TEST(Win32PicturesTest, StatusPicturesFollowTheServiceState) {
  EXPECT_EQ(StatusPictureResource(FrmEbbmark::kImageRunning), IDI_STATUS_RUNNING);
  EXPECT_EQ(StatusPictureResource(FrmEbbmark::kImageStopped), IDI_STATUS_STOPPED);
  EXPECT_EQ(StatusPictureResource(FrmEbbmark::kImageNotInstalled), IDI_STATUS_NOT_INSTALLED);
  EXPECT_EQ(StatusPictureResource(0), 0);
}

// Every picture a window model names is in the program's resources, at
// every size the screens from 100 % to 200 % ask for.
TEST(Win32PicturesTest, EveryPictureTheWindowsNameLoadsAtEverySize) {
  std::vector<std::string> roles = {
      "connected",       "not_connected",    "yes",      "no",      "battery", "shutdown",
      "shutdown_active", "hibernate_active", "question", "program", "save",    "service",
      "email",           "trellan",          "network"};
  IconCache cache;
  for (const auto& role : roles) {
    ASSERT_NE(PictureResource(role), 0) << role;
    for (int size : {16, 20, 24, 32, 48, 64})
      EXPECT_NE(cache.Get(PictureResource(role), size), nullptr) << role << " at " << size;
  }
  for (int image : {3, 4, 13}) EXPECT_NE(cache.Get(StatusPictureResource(image), 16), nullptr);
  EXPECT_EQ(cache.Get(0, 16), nullptr);
  // The same icon comes back from the cache.
  EXPECT_EQ(cache.Get(IDI_PIC_OK, 32), cache.Get(IDI_PIC_OK, 32));
}

}  // namespace
}  // namespace ebbmark::win32view

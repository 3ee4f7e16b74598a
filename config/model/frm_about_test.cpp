#include "config/model/frm_about.h"

#include <gtest/gtest.h>

#include "tests/support/tool_window_fakes.h"

namespace ebbmark {
namespace {

using testing::ToolWindowRig;

TEST(AboutWindow, NameVersionAndText) {
  ToolWindowRig rig;
  FrmAbout about(rig.Context());
  EXPECT_EQ(about.Name(), "frmAbout");
  EXPECT_EQ(about.Caption(), "About Ebbmark");
  EXPECT_EQ(about.lblTitle.Caption(), "Ebbmark");
  EXPECT_EQ(about.lblVersion.Caption(), std::string("Version ") + EBBMARK_VERSION);
  EXPECT_FALSE(about.lblDescription.Caption().empty());
  EXPECT_TRUE(about.cmdOK.IsDefault());
  EXPECT_TRUE(about.cmdOK.IsCancel());
}

TEST(AboutWindow, ReadMeOpensTheShippedReadme) {
  ToolWindowRig rig;
  FrmAbout about(rig.Context());
  about.Show();
  about.cmdReadme.Click();
  EXPECT_EQ(rig.shell.opened, (std::vector<std::string>{"/opt/ebbmark/README.md"}));
  EXPECT_TRUE(rig.dialogs.shown.empty());
  EXPECT_TRUE(about.Visible());
  about.cmdOK.Click();
  EXPECT_FALSE(about.Visible());
}

TEST(AboutWindow, ReadmeThatCannotBeOpenedIsReported) {
  ToolWindowRig rig;
  rig.shell.succeed = false;
  FrmAbout about(rig.Context());
  about.cmdReadme.Click();
  ASSERT_EQ(rig.dialogs.shown.size(), 1u);
  EXPECT_EQ(rig.dialogs.shown[0].title, about_texts::kReadmeErrorTitle);
  EXPECT_EQ(rig.dialogs.shown[0].text, "Could not open the README: /opt/ebbmark/README.md");
  EXPECT_EQ(rig.dialogs.shown[0].icon, DialogIcon::Warning);
}

}  // namespace
}  // namespace ebbmark

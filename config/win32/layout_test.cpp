#include "config/win32/layout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/model/frm_find_servers.h"

namespace ebbmark::win32view {
namespace {

TEST(Win32LayoutTest, TwipsBecomePixelsForTheScreensDpi) {
  struct Case {
    int twips, dpi, pixels;
  } cases[] = {
      {15, 96, 1},   {1440, 96, 96}, {5250, 96, 350}, {5250, 144, 525},
      {255, 96, 17}, {255, 120, 21}, {255, 192, 34},  {7, 96, 0},
      {8, 96, 1},    {0, 144, 0},    {-15, 96, -1},   {100000, 288, 20000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TwipsToPixels(c.twips, c.dpi), c.pixels) << c.twips << " twips at " << c.dpi;
}

class Sample : public Window {
 public:
  Sample() : Window("frmSample", "Sample", 3000, 3000) {
    outer.SetGeometry({100, 200, 2000, 2000});
    inner.SetGeometry({50, 60, 1000, 1000});
    label.SetGeometry({10, 20, 300, 255});
    yes.SetGeometry({0, 0, 480, 480});
    no.SetGeometry({0, 0, 480, 480});
    button.SetGeometry({0, 2500, 900, 375});
  }
  Frame outer{this, "outer"};
  Frame inner{this, "inner", &outer};
  Label label{this, "label", &inner};
  Image yes{this, "yes", &outer};
  Image no{this, "no", &outer};
  CommandButton button{this, "button"};
  MenuEntry menu{this, "mnu", "Menu"};
};

TEST(Win32LayoutTest, PositionsAddUpThroughNestedFrames) {
  Sample w;
  EXPECT_EQ(AbsoluteTwips(w.label), (Rect{160, 280, 300, 255}));
  EXPECT_EQ(AbsoluteTwips(w.outer), (Rect{100, 200, 2000, 2000}));
  EXPECT_TRUE(IsInside(w.label, w.outer));
  EXPECT_TRUE(IsInside(w.label, w.inner));
  EXPECT_FALSE(IsInside(w.outer, w.label));
  EXPECT_FALSE(IsInside(w.button, w.outer));
}

TEST(Win32LayoutTest, AControlShowsOnlyWhileEveryFrameAroundItDoes) {
  Sample w;
  EXPECT_TRUE(EffectivelyVisible(w.label));
  w.outer.SetVisible(false);
  EXPECT_FALSE(EffectivelyVisible(w.label));
  EXPECT_FALSE(EffectivelyVisible(w.inner));
  w.outer.SetVisible(true);
  w.inner.SetVisible(false);
  EXPECT_FALSE(EffectivelyVisible(w.label));
  EXPECT_TRUE(EffectivelyVisible(w.yes));
  w.inner.SetVisible(true);
  w.label.SetVisible(false);
  EXPECT_FALSE(EffectivelyVisible(w.label));
}

TEST(Win32LayoutTest, LaterPicturesLieOverEarlierOnesAndFramesLieUnderEverything) {
  Sample w;
  const auto order = StackingOrder(w.Controls());
  const auto at = [&](const Control& c) {
    return std::find(order.begin(), order.end(), &c) - order.begin();
  };
  ASSERT_EQ(order.size(), 6u);  // the menu entry is no control on screen
  EXPECT_LT(at(w.no), at(w.yes));
  EXPECT_LT(at(w.label), at(w.no));
  EXPECT_LT(at(w.button), at(w.yes));
  EXPECT_LT(at(w.yes), at(w.inner));
  EXPECT_LT(at(w.inner), at(w.outer));
  // Controls that take input keep their declared (Tab) order.
  EXPECT_LT(at(w.label), at(w.button));
}

}  // namespace
}  // namespace ebbmark::win32view

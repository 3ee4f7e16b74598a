// The native window against a small window model: what the model changes
// shows, and what the user does reaches the model. Needs a desktop (Wine
// with an X display); without one the tests are skipped.

#include "config/win32/native_window.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <string>

namespace ebbmark::win32view {
namespace {

class Sample : public Window {
 public:
  Sample() : Window("frmSample", "Sample", 4000, 3000) {
    frame.SetGeometry({120, 120, 3600, 1800});
    frame.SetCaption("Frame");
    label.SetGeometry({120, 240, 1200, 255});
    label.SetCaption("Label");
    box.SetGeometry({1440, 240, 1200, 285});
    check.SetGeometry({120, 600, 1200, 255});
    check.SetCaption("Check");
    bar.SetGeometry({120, 960, 2400, 255});
    bar.SetRange(9, 48);
    bar.SetLargeChange(5);
    combo.SetGeometry({120, 1320, 1800, 315});
    combo.AddItem("one");
    combo.AddItem("two");
    ok.SetGeometry({120, 2100, 1200, 375});
    ok.SetCaption("OK");
    ok.SetDefault(true);
    // Like the email window: a typed blank is dropped.
    box.OnKeyPress = [](char32_t& key) {
      if (key == U' ') key = 0;
    };
    // A correction the model makes to what reaches it (a pasted text).
    box.OnChange = [this] {
      std::string t = box.Text();
      if (std::erase(t, '\t') > 0) box.SetText(t);
    };
    ok.OnClick = [this] { ++ok_clicks; };
  }
  Frame frame{this, "frame"};
  Label label{this, "label", &frame};
  TextBox box{this, "box", &frame};
  CheckBox check{this, "check", &frame};
  ScrollBar bar{this, "bar", &frame};
  ComboBox combo{this, "combo", &frame};
  CommandButton ok{this, "ok"};
  int ok_clicks = 0;
};

std::wstring TextOf(HWND h) {
  wchar_t buf[256] = {};
  ::GetWindowTextW(h, buf, 256);
  return buf;
}

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = NativeWindow::RegisterClasses(::GetModuleHandleW(nullptr));
    ASSERT_TRUE(registered);
    view_ = std::make_unique<NativeWindow>(model_, NativeWindow::Options{});
    if (view_->Hwnd() == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  }
  // The native control of a model control: controls are numbered from 100
  // in the order the model declares them.
  HWND Native(const Control& c) {
    int index = 0;
    for (Control* each : model_.Controls()) {
      if (each == &c) break;
      ++index;
    }
    return ::GetDlgItem(view_->Hwnd(), 100 + index);
  }
  static bool Shown(HWND h) { return (::GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0; }

  Sample model_;
  std::unique_ptr<NativeWindow> view_;
};

TEST_F(Win32WindowTest, WhatTheModelHoldsIsShown) {
  EXPECT_EQ(TextOf(view_->Hwnd()), L"Sample");
  EXPECT_EQ(TextOf(Native(model_.label)), L"Label");
  model_.label.SetCaption("AC Input: 120v AC");
  EXPECT_EQ(TextOf(Native(model_.label)), L"AC Input: 120v AC");
  model_.SetCaption("Renamed");
  EXPECT_EQ(TextOf(view_->Hwnd()), L"Renamed");
  model_.box.SetText("n/a");
  EXPECT_EQ(TextOf(Native(model_.box)), L"n/a");
  // Text beyond ASCII survives the trip through UTF-16.
  model_.label.SetCaption(
      "25\xC2\xB0"
      "C");
  EXPECT_EQ(TextOf(Native(model_.label)), L"25\u00B0C");
  model_.check.SetEnabled(false);
  EXPECT_FALSE(::IsWindowEnabled(Native(model_.check)));
}

TEST_F(Win32WindowTest, AHiddenFrameHidesWhatItHolds) {
  EXPECT_TRUE(Shown(Native(model_.label)));
  model_.frame.SetVisible(false);
  EXPECT_FALSE(Shown(Native(model_.frame)));
  EXPECT_FALSE(Shown(Native(model_.label)));
  EXPECT_FALSE(Shown(Native(model_.bar)));
  EXPECT_TRUE(Shown(Native(model_.ok)));
  // A control hidden on its own stays hidden when the frame comes back.
  model_.label.SetVisible(false);
  model_.frame.SetVisible(true);
  EXPECT_FALSE(Shown(Native(model_.label)));
  EXPECT_TRUE(Shown(Native(model_.box)));
}

TEST_F(Win32WindowTest, TypingReachesTheModelAndItsCorrectionComesBack) {
  ::SetWindowTextW(Native(model_.box), L"mail.example.org");  // raises EN_CHANGE
  EXPECT_EQ(model_.box.Text(), "mail.example.org");
  ::SetWindowTextW(Native(model_.box), L"mail\texample");
  EXPECT_EQ(model_.box.Text(), "mailexample");
  EXPECT_EQ(TextOf(Native(model_.box)), L"mailexample");
}

TEST_F(Win32WindowTest, TypedBlanksAreDroppedWhereTheUserTypes) {
  HWND box = Native(model_.box);
  ::SetWindowTextW(box, L"ops@example.org");
  ::SetFocus(box);
  ::SendMessageW(box, EM_SETSEL, 0, 0);
  for (const wchar_t c : std::wstring(L"x y ")) ::SendMessageW(box, WM_CHAR, c, 0);
  EXPECT_EQ(TextOf(box), L"xyops@example.org");
  EXPECT_EQ(model_.box.Text(), "xyops@example.org");
  DWORD start = 0, end = 0;
  ::SendMessageW(box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 2u);
  EXPECT_EQ(end, 2u);
  // Text the program writes is shown as it is, blanks and all.
  model_.box.SetText("ops@example.org, boss@example.org");
  EXPECT_EQ(TextOf(box), L"ops@example.org, boss@example.org");
}

TEST_F(Win32WindowTest, ClicksGoThroughTheModel) {
  HWND check = Native(model_.check);
  ::SendMessageW(check, BM_CLICK, 0, 0);
  EXPECT_EQ(model_.check.Value(), CheckBox::Checked);
  EXPECT_EQ(::SendMessageW(check, BM_GETCHECK, 0, 0), BST_CHECKED);
  ::SendMessageW(check, BM_CLICK, 0, 0);
  EXPECT_EQ(model_.check.Value(), CheckBox::Unchecked);
  EXPECT_EQ(::SendMessageW(check, BM_GETCHECK, 0, 0), BST_UNCHECKED);

  ::SendMessageW(Native(model_.ok), BM_CLICK, 0, 0);
  EXPECT_EQ(model_.ok_clicks, 1);
  // Enter in the window presses the default button.
  ::SendMessageW(view_->Hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_EQ(model_.ok_clicks, 2);
  model_.ok.SetEnabled(false);
  ::SendMessageW(view_->Hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_EQ(model_.ok_clicks, 2);
}

TEST_F(Win32WindowTest, TheScrollBarStepsAsTheModelSays) {
  HWND bar = Native(model_.bar);
  const auto scroll = [&](int code) {
    ::SendMessageW(view_->Hwnd(), WM_HSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(bar));
  };
  EXPECT_EQ(model_.bar.Value(), 9);
  scroll(SB_LINERIGHT);
  EXPECT_EQ(model_.bar.Value(), 10);
  scroll(SB_PAGERIGHT);
  EXPECT_EQ(model_.bar.Value(), 15);
  scroll(SB_RIGHT);
  EXPECT_EQ(model_.bar.Value(), 48);
  scroll(SB_LINERIGHT);
  EXPECT_EQ(model_.bar.Value(), 48);
  EXPECT_EQ(::GetScrollPos(bar, SB_CTL), 48);
  model_.bar.SetValue(20);
  EXPECT_EQ(::GetScrollPos(bar, SB_CTL), 20);
}

TEST_F(Win32WindowTest, ListsFollowTheModel) {
  HWND combo = Native(model_.combo);
  EXPECT_EQ(::SendMessageW(combo, CB_GETCOUNT, 0, 0), 2);
  model_.combo.AddItem("first", 0);
  model_.combo.SetListIndex(0);
  EXPECT_EQ(::SendMessageW(combo, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(::SendMessageW(combo, CB_GETCURSEL, 0, 0), 0);
  // The user picks an entry.
  ::SendMessageW(combo, CB_SETCURSEL, 2, 0);
  ::SendMessageW(view_->Hwnd(), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  EXPECT_EQ(model_.combo.ListIndex(), 2);
  EXPECT_EQ(model_.combo.Text(), "two");
}

TEST_F(Win32WindowTest, ValidationColoursPaintTheBox) {
  HWND box = Native(model_.box);
  HDC dc = ::GetDC(box);
  model_.box.SetBackColour(Colour::FromRgb(255, 128, 128));
  ::SendMessageW(view_->Hwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(box));
  EXPECT_EQ(::GetBkColor(dc), RGB(255, 128, 128));
  model_.box.SetBackColour(SystemColour::WindowBackground);
  ::SendMessageW(view_->Hwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(box));
  EXPECT_EQ(::GetBkColor(dc), ::GetSysColor(COLOR_WINDOW));
  ::ReleaseDC(box, dc);
}

TEST_F(Win32WindowTest, ClosingGoesToTheModel) {
  bool closed = false;
  model_.closed.Connect([&closed] { closed = true; });
  model_.Show();
  EXPECT_TRUE(::IsWindowVisible(view_->Hwnd()));
  ::SendMessageW(view_->Hwnd(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(::IsWindowVisible(view_->Hwnd()));
}

}  // namespace
}  // namespace ebbmark::win32view

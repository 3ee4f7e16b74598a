// Every caption and every text the program computes fits its control in the
// font the view gives it, and no label's text runs into the control beside
// it, at 96 and at 144 DPI: the main window with its
// longest texts (the not-configured notice, the longest duration, the
// longest action type), the email window, the network window with every
// live line, and the relay finder with each of its notes and hints.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/model/frm_ebbmark.h"
#include "config/model/frm_email.h"
#include "config/model/frm_find_servers.h"
#include "config/model/frm_network.h"
#include "config/win32/native_window.h"
#include "config/win32/screen_shot_test.h"
#include "platform/service_watch.h"
#include "tests/support/config_fakes.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/hibernation_fakes.h"
#include "tests/support/service_fakes.h"
#include "tests/support/tool_window_fakes.h"

namespace ebbmark::win32view {
namespace {

std::wstring TextOf(HWND h) {
  wchar_t buf[512] = {};
  ::GetWindowTextW(h, buf, 512);
  return buf;
}

wchar_t ClassOf(HWND h) {
  wchar_t buf[64] = {};
  ::GetClassNameW(h, buf, 64);
  return static_cast<wchar_t>(::towupper(buf[0]));  // Static, Button, Edit, ComboBox
}

int Extent(HWND h, const std::wstring& text) {
  HDC dc = ::GetDC(h);
  HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(h, WM_GETFONT, 0, 0)));
  SIZE size{};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(h, dc);
  return size.cx;
}

// The height `text` takes wrapped into `width` pixels, in the control's font.
int WrappedHeight(HWND h, const std::wstring& text, int width) {
  HDC dc = ::GetDC(h);
  HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(h, WM_GETFONT, 0, 0)));
  RECT r{0, 0, width, 0};
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  ::SelectObject(dc, old);
  ::ReleaseDC(h, dc);
  return r.bottom;
}

// The controls of `top` whose one-row text does not fit them, with what
// it needs and what it has.
std::vector<std::string> Misfits(HWND top, int dpi) {
  std::vector<std::string> misfits;
  for (HWND h = ::GetWindow(top, GW_CHILD); h != nullptr; h = ::GetWindow(h, GW_HWNDNEXT)) {
    if (!::IsWindowVisible(h)) continue;
    RECT r{};
    ::GetClientRect(h, &r);
    const LONG_PTR style = ::GetWindowLongPtrW(h, GWL_STYLE);
    const std::wstring text = TextOf(h);
    std::vector<std::pair<std::wstring, int>> checks;  // text, room
    switch (ClassOf(h)) {
      case L'S':
        if (text.empty()) break;
        if (r.bottom < ::MulDiv(24, dpi, 96)) {
          checks.push_back({text, r.right});
        } else if (const int need = WrappedHeight(h, text, r.right); need > r.bottom) {
          // A label over several rows must fit the rows it has.
          misfits.push_back(std::string(text.begin(), text.end()) + " (" + std::to_string(need) +
                            " rows px > " + std::to_string(r.bottom) + ")");
        }
        break;
      case L'B':
        if ((style & BS_TYPEMASK) == BS_AUTOCHECKBOX || (style & BS_TYPEMASK) == BS_CHECKBOX)
          checks.push_back({text, r.right - ::MulDiv(18, dpi, 96)});
        else if ((style & BS_TYPEMASK) == BS_PUSHBUTTON ||
                 (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
          checks.push_back({text, r.right - ::MulDiv(8, dpi, 96)});
        break;
      case L'E':
        // Boxes that show what the program computes; typing scrolls,
        // except in a box for a few characters (a port), which must show
        // as many as it takes whole.
        if (style & ES_READONLY) {
          RECT f{};
          ::SendMessageW(h, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&f));
          checks.push_back({text, f.right - f.left});
        } else if (const auto limit = ::SendMessageW(h, EM_GETLIMITTEXT, 0, 0); limit <= 5) {
          RECT f{};
          ::SendMessageW(h, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&f));
          checks.push_back({std::wstring(static_cast<std::size_t>(limit), L'0'), f.right - f.left});
          checks.push_back({text, f.right - f.left});
        }
        break;
      case L'C': {
        // Every entry beside the drop-down button, which the system draws
        // at its own size.
        const int room = r.right - ::GetSystemMetrics(SM_CXVSCROLL) - ::MulDiv(6, dpi, 96);
        const int n = static_cast<int>(::SendMessageW(h, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) {
          wchar_t item[256] = {};
          ::SendMessageW(h, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
          checks.push_back({item, room});
        }
        break;
      }
      default:
        break;
    }
    for (const auto& [t, room] : checks) {
      const int need = Extent(h, t);
      if (need > room) {
        std::string name(t.begin(), t.end());
        misfits.push_back(name + " (" + std::to_string(need) + " > " + std::to_string(room) + ")");
      }
    }
    const auto inner = Misfits(h, dpi);  // frames hold controls of their own
    misfits.insert(misfits.end(), inner.begin(), inner.end());
  }
  return misfits;
}

// Labels whose text runs into (or touches) the control to their right on
// the same row, as "Action Type:" once did its drop-down.
std::vector<std::string> Touching(HWND top, int dpi) {
  std::vector<std::string> touching;
  std::vector<std::pair<HWND, RECT>> controls;
  for (HWND h = ::GetWindow(top, GW_CHILD); h != nullptr; h = ::GetWindow(h, GW_HWNDNEXT)) {
    if (!::IsWindowVisible(h)) continue;
    RECT r{};
    ::GetWindowRect(h, &r);
    controls.push_back({h, r});
    const auto inner = Touching(h, dpi);
    touching.insert(touching.end(), inner.begin(), inner.end());
  }
  const int gap = ::MulDiv(2, dpi, 96);
  for (const auto& [label, lr] : controls) {
    const LONG_PTR style = ::GetWindowLongPtrW(label, GWL_STYLE);
    if (ClassOf(label) != L'S' || (style & (SS_RIGHT | SS_CENTER)) != 0) continue;
    // Labels that wrap keep their text inside themselves.
    if (lr.bottom - lr.top >= ::MulDiv(24, dpi, 96)) continue;
    const std::wstring text = TextOf(label);
    if (text.empty()) continue;
    const LONG text_right = lr.left + Extent(label, text);
    for (const auto& [other, r] : controls) {
      if (other == label || r.left <= lr.left || r.top >= lr.bottom || r.bottom <= lr.top) continue;
      if (text_right + gap > r.left) {
        touching.push_back(std::string(text.begin(), text.end()) + " (ends at " +
                           std::to_string(text_right - lr.left) + ", next control at " +
                           std::to_string(r.left - lr.left) + ")");
      }
    }
  }
  return touching;
}

void ChangeDpi(HWND top, int dpi) {
  RECT r{};
  ::GetWindowRect(top, &r);
  ::SendMessageW(top, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&r));
}

class Win32FitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = NativeWindow::RegisterClasses(::GetModuleHandleW(nullptr));
    ASSERT_TRUE(registered);
  }
  asio::io_context io;
  ManualClock clock;
  testing::FakeFileSystem fs;
  SettingsRecord settings;
  testing::FakeServiceControl service;
  PolledServiceWatch watch{service, kServiceName, nullptr};
  testing::ScriptedDialogs dialogs;
  testing::FakeShell shell;
  testing::FakeTcpClient tcp;
  testing::FakeInstanceCheck instance;
};

TEST_F(Win32FitTest, MainWindowWithItsLongestTexts) {
  service.installed = true;
  FrmEbbmark model(ConfigContext{io, clock, fs, "C:\\Ebbmark\\Ebbmark.ini", settings, watch,
                                 dialogs, shell, tcp, instance, "", [] {}});
  testing::FakeHibernationCheck hibernation;
  model.UseHibernationCheck(&hibernation);
  testing::FakeFileChooser chooser;  // the Browse… button shows
  model.UseFileChooser(&chooser);
  model.Form_Load();
  NativeWindow view(model, NativeWindow::Options{});
  if (view.Hwnd() == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  model.hsbOpsTimer.SetValue(23 * 60 + 59);
  ASSERT_EQ(model.txtOptTimer.Text(), "23 hrs 59 mins");
  // The longest action type, on a computer that cannot hibernate.
  model.cboShutdownType.SetListIndex(2);
  hibernation.Answer(HibernateSupport::Unable);
  ASSERT_TRUE(model.lblHibernateWarning.Visible());
  for (const int dpi : {96, 144}) {
    ChangeDpi(view.Hwnd(), dpi);
    // Every turn of the not-configured notice's mark.
    for (int turn = 0; turn < 4; ++turn) {
      model.tmrConnection_Timer();
      EXPECT_EQ(Misfits(view.Hwnd(), dpi), std::vector<std::string>()) << dpi << " DPI";
    }
    EXPECT_EQ(Touching(view.Hwnd(), dpi), std::vector<std::string>()) << dpi << " DPI";
    MaybeShoot(view.Hwnd(), "win32_main_" + std::to_string(dpi));
  }
}

TEST_F(Win32FitTest, EmailWindow) {
  testing::ToolWindowRig rig;
  FrmEmail model(rig.Context());
  testing::Open(model);
  NativeWindow view(model, NativeWindow::Options{});
  if (view.Hwnd() == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  model.txtSMTPPort.SetText("47526");
  for (const int dpi : {96, 144}) {
    ChangeDpi(view.Hwnd(), dpi);
    EXPECT_EQ(Misfits(view.Hwnd(), dpi), std::vector<std::string>()) << dpi << " DPI";
    EXPECT_EQ(Touching(view.Hwnd(), dpi), std::vector<std::string>()) << dpi << " DPI";
    MaybeShoot(view.Hwnd(), "win32_email_" + std::to_string(dpi));
  }
}

TEST_F(Win32FitTest, NetworkWindowWithEveryLiveLine) {
  testing::ToolWindowRig rig;
  rig.settings.NUTPasswordChange = "";  // the longest password state
  rig.settings.NUTPasswordSet = true;
  FrmNetwork model(rig.Context());
  testing::Open(model);
  NativeWindow view(model, NativeWindow::Options{});
  if (view.Hwnd() == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  using Kind = FollowersAnswer::Kind;
  for (const int dpi : {96, 144}) {
    ChangeDpi(view.Hwnd(), dpi);
    for (const FollowersAnswer& answer :
         std::vector<FollowersAnswer>{FollowersAnswer{Kind::NoAnswer, 0, {}},
                                      FollowersAnswer{Kind::NotRunning, 0, {}},
                                      FollowersAnswer{Kind::Count, 0, {}},
                                      FollowersAnswer{Kind::Count, 64, {}},
                                      {Kind::Error, 0, "UNKNOWN-UPS"},
                                      {Kind::Error, 0, "FEATURE-NOT-CONFIGURED"}}) {
      model.lblFollowers.SetCaption(FollowersText(answer));
      EXPECT_EQ(Misfits(view.Hwnd(), dpi), std::vector<std::string>())
          << dpi << " DPI, " << model.lblFollowers.Caption();
    }
  }
  model.Close();
}

TEST_F(Win32FitTest, FinderWithEveryNoteAndHint) {
  testing::ToolWindowRig rig;
  rig.network.Add(testing::Ipv4(192, 168, 1, 20), testing::Ipv4(255, 255, 255, 0));
  FrmFindServers model(rig.Context());
  testing::Open(model);
  NativeWindow view(model, NativeWindow::Options{});
  if (view.Hwnd() == nullptr) GTEST_SKIP() << "no desktop to create windows on";
  const auto check = [&](int dpi, const std::string& state) {
    EXPECT_EQ(Misfits(view.Hwnd(), dpi), std::vector<std::string>()) << dpi << " DPI, " << state;
  };
  for (const int dpi : {96, 144}) {
    ChangeDpi(view.Hwnd(), dpi);
    check(dpi, "searching");
    model.tmrSearch_Timer();
    check(dpi, "no answer");
    for (const char* typed :
         {"shed:0", "192.168.1.300", "sh_ed", "2001:db8:0:0:0:0:0:1:8467", "[fe80::1]:65535"}) {
      model.txtAddress.SetText(typed);
      check(dpi, typed);
    }
    MaybeShoot(view.Hwnd(), "win32_finder_address_" + std::to_string(dpi));
    rig.sockets.last->Answer("\nTCP,shed-relay-in-the-garden,65535,10,0,10\r", "192.168.100.200");
    model.lstServers.SetListIndex(0);
    check(dpi, "selected");
    model.Close();
    rig.network.readable = false;
    testing::Open(model);
    check(dpi, "no network");
    model.Close();
    rig.network.readable = true;
    rig.sockets.bind_ok = false;
    testing::Open(model);
    check(dpi, "no socket");
    model.Close();
    rig.sockets.bind_ok = true;
    testing::Open(model);
  }
}

}  // namespace
}  // namespace ebbmark::win32view

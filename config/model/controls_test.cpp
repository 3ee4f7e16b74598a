#include "config/model/controls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ebbmark {
namespace {

// Counts handler calls and view notifications of one control.
struct Counts {
  int handler = 0;
  int changed = 0;
};

TEST(ControlsScrollBar, ProgramValueIsClampedAndRaisesChangeOnlyWhenItMoves) {
  ScrollBar bar(nullptr, "hsb");
  bar.SetRange(9, 48);
  Counts c;
  bar.OnChange = [&] { ++c.handler; };
  bar.changed.Connect([&] { ++c.changed; });

  bar.SetValue(100);
  EXPECT_EQ(bar.Value(), 48);
  bar.SetValue(48);  // same value: nothing raised
  bar.SetValue(-3);
  EXPECT_EQ(bar.Value(), 9);
  EXPECT_EQ(c.handler, 2);
  EXPECT_EQ(c.changed, 2);
}

TEST(ControlsScrollBar, SettingTheRangePullsTheValueIn) {
  ScrollBar bar(nullptr, "hsb");
  int changes = 0;
  bar.OnChange = [&] { ++changes; };
  bar.SetRange(59, 99);  // value 0 is below the new range
  EXPECT_EQ(bar.Value(), 59);
  EXPECT_EQ(changes, 1);
}

TEST(ControlsScrollBar, DraggingRaisesScrollAndLettingGoRaisesChange) {
  ScrollBar bar(nullptr, "hsb");
  bar.SetRange(0, 1440);
  bar.SetLargeChange(15);
  std::vector<std::string> events;
  bar.OnScroll = [&] { events.push_back("scroll " + std::to_string(bar.Value())); };
  bar.OnChange = [&] { events.push_back("change " + std::to_string(bar.Value())); };

  bar.DragTo(30);
  bar.DragTo(2000);
  bar.EndDrag();
  bar.StepLarge(-1);
  bar.StepSmall(+1);
  EXPECT_EQ(events, (std::vector<std::string>{"scroll 30", "scroll 1440", "change 1440",
                                              "change 1425", "change 1426"}));

  bar.SetEnabled(false);
  bar.DragTo(0);
  EXPECT_EQ(bar.Value(), 1426) << "a disabled bar takes no user input";
}

TEST(ControlsComboBox, SelectingRaisesClickEvenForTheSameEntry) {
  ComboBox cbo(nullptr, "cbo");
  for (const char* t : {"End", "30s", "1 min"}) cbo.AddItem(t);
  int clicks = 0;
  cbo.OnClick = [&] { ++clicks; };

  cbo.SetListIndex(1);
  cbo.SetListIndex(1);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(cbo.Text(), "30s");

  cbo.SetListIndex(7);  // outside the list: nothing selected, nothing raised
  EXPECT_EQ(cbo.ListIndex(), -1);
  EXPECT_EQ(cbo.Text(), "");
  EXPECT_EQ(clicks, 2);
}

TEST(ControlsComboBox, InsertingBeforeTheSelectionKeepsTheSelectedEntry) {
  ComboBox cbo(nullptr, "cbo");
  for (const char* t : {"End", "30s", "1 min"}) cbo.AddItem(t);
  cbo.SetListIndex(1);
  cbo.AddItem("15s", 0);
  EXPECT_EQ(cbo.ListIndex(), 2);
  EXPECT_EQ(cbo.Text(), "30s");
  cbo.AddItem("2 min", 99);  // past the end appends
  EXPECT_EQ(cbo.List(4), "2 min");
  cbo.RemoveItem(2);
  EXPECT_EQ(cbo.ListIndex(), -1);
}

TEST(ControlsCheckBox, ProgramAndUserChangesRaiseClick) {
  CheckBox chk(nullptr, "chk");
  int clicks = 0;
  chk.OnClick = [&] { ++clicks; };
  chk.SetValue(CheckBox::Checked);
  chk.SetValue(CheckBox::Checked);  // unchanged: no click
  chk.Click();
  EXPECT_EQ(chk.Value(), CheckBox::Unchecked);
  EXPECT_EQ(clicks, 2);
  chk.SetEnabled(false);
  chk.Click();
  EXPECT_EQ(chk.Value(), CheckBox::Unchecked);
  chk.SetValue(7);  // not a check box value
  EXPECT_EQ(clicks, 2);
}

TEST(ControlsTextBox, ADifferentTextRaisesChange) {
  TextBox txt(nullptr, "txt");
  int changes = 0, lost = 0;
  txt.OnChange = [&] { ++changes; };
  txt.OnLostFocus = [&] { ++lost; };
  txt.SetText("C:\\run.bat");
  txt.SetText("C:\\run.bat");
  txt.SetText("");
  txt.LostFocus();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(lost, 1);

  txt.SetMaxLength(5);
  txt.SetText("8467xyz");
  EXPECT_EQ(txt.Text(), "8467x");
}

TEST(ControlsListBox, SelectionAndDoubleClick) {
  ListBox lst(nullptr, "lst");
  lst.AddItem("a");
  lst.AddItem("b");
  lst.SetItemData(1, 42);
  int clicks = 0, doubles = 0;
  lst.OnClick = [&] { ++clicks; };
  lst.OnDblClick = [&] { ++doubles; };
  lst.SetListIndex(1);
  lst.SetListIndex(1);
  lst.DoubleClick();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(doubles, 1);
  EXPECT_EQ(lst.ItemData(1), 42);
  lst.AddItem("first", 0);
  EXPECT_EQ(lst.Text(), "b");
  EXPECT_EQ(lst.ItemData(2), 42);
  lst.Clear();
  EXPECT_EQ(lst.ListIndex(), -1);
}

TEST(ControlsToolbar, ClicksReachTheHandlerOnlyForEnabledButtons) {
  Toolbar bar(nullptr, "tb");
  bar.AddButton({"Save", "Save", "", "save", false});
  bar.AddButton({"Trellan", "Trellan", "", "trellan", true});
  std::vector<std::string> pressed;
  bar.OnButtonClick = [&](const ToolbarButton& b) { pressed.push_back(b.key); };

  bar.ClickButton(1);
  bar.ClickButton("Trellan");
  bar.ClickButton(3);
  bar.SetButtonEnabled(1, true);
  bar.ClickButton("Save");
  EXPECT_EQ(pressed, (std::vector<std::string>{"Trellan", "Save"}));
  EXPECT_EQ(bar.Button(0), nullptr);
  EXPECT_EQ(bar.ButtonByKey("Trellan")->image, "trellan");
}

TEST(ControlsStatusBar, PanelsCountFromOneAndNotifyOnlyOnChange) {
  StatusBar sb(nullptr, "sb");
  sb.AddPanel({"Service: "});
  sb.AddPanel({"Not Connected"});
  int changed = 0;
  sb.changed.Connect([&] { ++changed; });
  sb.SetPanelText(2, "Not Connected");
  sb.SetPanelText(1, "Service: Running ");
  sb.SetPanelImage(1, 3);
  sb.SetPanelText(3, "ignored");
  EXPECT_EQ(changed, 2);
  EXPECT_EQ(sb.Panel(1), (StatusPanel{"Service: Running ", 3, 0}));
  EXPECT_EQ(sb.Panel(9).text, "");
}

TEST(ControlsSignal, AnObserverRemovedDuringEmissionIsNotCalled) {
  Signal s;
  std::vector<int> calls;
  int second = 0;
  s.Connect([&] {
    calls.push_back(1);
    s.Disconnect(second);
  });
  second = s.Connect([&] { calls.push_back(2); });
  s.Emit();
  s.Emit();
  EXPECT_EQ(calls, (std::vector<int>{1, 1}));
}

class TestWindow : public Window {
 public:
  TestWindow() : Window("frmTest", "Test", 3000, 2000) {}
  Frame fra{this, "fra"};
  Label lbl{this, "lbl", &fra};
  MenuEntry mnuFile{this, "mnuFile", "File"};
  MenuEntry mnuExit{this, "mnuExit", "Exit", &mnuFile};
  std::vector<std::string> journal;

 protected:
  void Form_Load() override { journal.push_back("load"); }
  void Form_Unload() override { journal.push_back("unload"); }
};

TEST(ControlsWindow, ControlsAndMenusAreListedInDeclarationOrder) {
  TestWindow w;
  ASSERT_EQ(w.Controls().size(), 2u);
  EXPECT_EQ(w.Controls()[0]->Name(), "fra");
  EXPECT_EQ(w.Controls()[1]->Container(), &w.fra);
  ASSERT_EQ(w.Menus().size(), 1u);
  EXPECT_EQ(w.Menus()[0]->Entries()[0], &w.mnuExit);
  EXPECT_EQ(w.Find("mnuExit"), &w.mnuExit);
  EXPECT_EQ(w.Find("nothing"), nullptr);
}

TEST(ControlsWindow, ModalShowRunsTheRunnerUntilTheWindowCloses) {
  TestWindow w, owner;
  Window* seen_owner = nullptr;
  w.modal_runner = [&](Window& self, Window* o) {
    seen_owner = o;
    EXPECT_TRUE(self.Visible());
    EXPECT_TRUE(self.IsModal());
    w.journal.push_back("user");
    self.Close();
  };
  int closed = 0;
  w.closed.Connect([&] { ++closed; });
  w.ShowModal(&owner);
  EXPECT_EQ(seen_owner, &owner);
  EXPECT_EQ(w.journal, (std::vector<std::string>{"load", "user", "unload"}));
  EXPECT_FALSE(w.Visible());
  EXPECT_EQ(closed, 1);

  // Without a runner the window closes at once.
  TestWindow bare;
  bare.ShowModal(nullptr);
  EXPECT_EQ(bare.journal, (std::vector<std::string>{"load", "unload"}));
}

}  // namespace
}  // namespace ebbmark

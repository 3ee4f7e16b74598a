#pragma once
// The control models the configuration program's windows are built from.
// They hold what a native control would show (caption, value, list, enabled,
// visible, colour, geometry in twips) and raise the same handlers as the
// designed controls. A value set by the program raises the same handler as a
// user's action; the windows rely on that to carry a value back into the
// settings record.
//
// Two kinds of notification:
//  - `changed` (a Signal): something a view shows has changed; a view
//    re-reads the control. Raised for every visible change, by program or user.
//  - `OnClick`, `OnChange`, `OnScroll` ... (std::function): the window's
//    behaviour, as the designed event handlers.
// A view forwards user input through the same setters the program uses
// (SetText, SetValue, SetListIndex) or through the user-action methods
// (Click, DoubleClick, DragTo, EndDrag, LostFocus, ClickButton).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ebbmark {

class Window;
class MenuEntry;

// A list of observers without arguments. Observers may connect or disconnect
// while the signal is being raised; a removed observer is not called again.
class Signal {
 public:
  using Slot = std::function<void()>;
  int Connect(Slot slot);
  void Disconnect(int id);
  void Emit() const;
  std::size_t Size() const { return slots_->size(); }

 private:
  struct Entry {
    int id;
    Slot slot;
  };
  std::shared_ptr<std::vector<Entry>> slots_ = std::make_shared<std::vector<Entry>>();
  int next_id_ = 1;
};

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// The system's colours, which a view maps to its theme.
enum class SystemColour { WindowBackground, ButtonFace, WindowText, ButtonText };

class Colour {
 public:
  constexpr Colour(SystemColour c) : value_(c) {}  // NOLINT: implicit on purpose
  constexpr Colour(Rgb c) : value_(c) {}           // NOLINT
  static constexpr Colour FromRgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return Colour(Rgb{r, g, b});
  }
  bool IsSystem() const { return std::holds_alternative<SystemColour>(value_); }
  SystemColour System() const { return std::get<SystemColour>(value_); }
  Rgb GetRgb() const { return std::get<Rgb>(value_); }
  bool operator==(const Colour&) const = default;

 private:
  std::variant<SystemColour, Rgb> value_;
};

// Position and size in twips (1/1440 inch; 15 twips are one pixel at 96 DPI),
// relative to the container: the window's client area or the frame.
struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

enum class ControlKind {
  Label,
  TextBox,
  ComboBox,
  CheckBox,
  ScrollBar,
  Image,
  Frame,
  ListBox,
  Toolbar,
  StatusBar,
  MenuEntry,
  CommandButton,
};

const char* ControlKindName(ControlKind kind);

class Frame;

// What every control has. Controls register with their window on
// construction, in declaration order: a container comes before what it holds.
class Control {
 public:
  Control(Window* window, ControlKind kind, std::string name, Control* container = nullptr);
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  ControlKind Kind() const { return kind_; }
  const std::string& Name() const { return name_; }
  Window* Owner() const { return window_; }
  // The frame the control sits in; null for the window itself.
  Control* Container() const { return container_; }

  const Rect& Geometry() const { return rect_; }
  void SetGeometry(Rect r);
  int Left() const { return rect_.left; }
  int Top() const { return rect_.top; }
  int Width() const { return rect_.width; }
  int Height() const { return rect_.height; }

  // The caption of a label, frame, check box, button or menu entry. A text
  // box's contents are its Text.
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  const std::string& ToolTip() const { return tooltip_; }
  void SetToolTip(std::string tip);

  const Colour& BackColour() const { return back_colour_; }
  void SetBackColour(Colour c);

  // Empty: the view's default font.
  const std::string& FontName() const { return font_name_; }
  void SetFontName(std::string name);

  // Raised whenever anything a view shows has changed.
  Signal changed;

 protected:
  void NotifyChanged() { changed.Emit(); }

 private:
  Window* window_;
  ControlKind kind_;
  std::string name_;
  Control* container_;
  Rect rect_;
  std::string caption_;
  bool enabled_ = true;
  bool visible_ = true;
  std::string tooltip_;
  Colour back_colour_ = SystemColour::ButtonFace;
  std::string font_name_;
};

class Label : public Control {
 public:
  Label(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::Label, std::move(name), container) {}
};

class Frame : public Control {
 public:
  Frame(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::Frame, std::move(name), container) {}
};

class TextBox : public Control {
 public:
  TextBox(Window* window, std::string name, Control* container = nullptr);

  const std::string& Text() const { return text_; }
  // Typing and program writes alike: a different text raises OnChange. A
  // text longer than MaxLength is cut to it, as the native box does.
  void SetText(std::string text);
  // The user left the box.
  void LostFocus();
  // The user typed one character (a Unicode code point) into the box. The
  // view asks before the character lands; false: the box drops it and
  // nothing changes. Text set by the program or pasted is not asked about.
  bool KeyPress(char32_t key);

  // Shown, but not editable by the user.
  bool Locked() const { return locked_; }
  void SetLocked(bool locked);
  bool MultiLine() const { return multi_line_; }
  void SetMultiLine(bool multi_line);
  // 0: shown as typed; otherwise every character is shown as this one.
  char PasswordChar() const { return password_char_; }
  void SetPasswordChar(char c);
  // The most characters the box holds; 0: no limit.
  int MaxLength() const { return max_length_; }
  void SetMaxLength(int n);

  std::function<void()> OnChange;
  std::function<void()> OnLostFocus;
  // The window's key filter: sets `key` to 0 to drop the character.
  std::function<void(char32_t& key)> OnKeyPress;

 private:
  std::string text_;
  bool locked_ = false;
  bool multi_line_ = false;
  char password_char_ = 0;
  int max_length_ = 0;
};

class ComboBox : public Control {
 public:
  enum class Style { DropDownCombo, DropDownList };
  ComboBox(Window* window, std::string name, Control* container = nullptr);

  Style ListStyle() const { return style_; }
  void SetListStyle(Style s);

  const std::vector<std::string>& Items() const { return items_; }
  int ListCount() const { return static_cast<int>(items_.size()); }
  const std::string& List(int index) const;
  // Inserts at `index` (appends when index is -1 or past the end). A
  // selection at or after it moves down with its entry.
  void AddItem(std::string item, int index = -1);
  void RemoveItem(int index);
  void Clear();

  // -1: nothing selected.
  int ListIndex() const { return index_; }
  // Selecting an entry, by the user or the program, raises OnClick, also
  // when the same entry is selected again. An index outside the list selects
  // nothing and raises nothing.
  void SetListIndex(int index);
  // The selected entry's text; empty when nothing is selected.
  std::string Text() const;

  std::function<void()> OnClick;

 private:
  Style style_ = Style::DropDownList;
  std::vector<std::string> items_;
  int index_ = -1;
};

class CheckBox : public Control {
 public:
  enum : int { Unchecked = 0, Checked = 1, Grayed = 2 };
  CheckBox(Window* window, std::string name, Control* container = nullptr);

  int Value() const { return value_; }
  // A different value raises OnClick, by the user or the program alike.
  void SetValue(int value);
  // The user clicks the box: ticked becomes clear and the other way round.
  void Click();

  std::function<void()> OnClick;

 private:
  int value_ = Unchecked;
};

class ScrollBar : public Control {
 public:
  ScrollBar(Window* window, std::string name, Control* container = nullptr);

  int Min() const { return min_; }
  int Max() const { return max_; }
  int SmallChange() const { return small_; }
  int LargeChange() const { return large_; }
  int Value() const { return value_; }
  // The range; the value is pulled into it (raising OnChange when it moves).
  void SetRange(int min, int max);
  void SetSmallChange(int step) { small_ = step, NotifyChanged(); }
  void SetLargeChange(int step) { large_ = step, NotifyChanged(); }

  // Clamped into the range; a different value raises OnChange.
  void SetValue(int value);
  // The user drags the thumb: the value follows and OnScroll is raised.
  void DragTo(int value);
  // The user lets go of the thumb: OnChange.
  void EndDrag();
  // Arrow (small) and page (large) steps: direction -1 or +1.
  void StepSmall(int direction) { SetValue(value_ + direction * small_); }
  void StepLarge(int direction) { SetValue(value_ + direction * large_); }

  std::function<void()> OnChange;
  std::function<void()> OnScroll;

 private:
  int Clamp(int v) const { return v < min_ ? min_ : (v > max_ ? max_ : v); }
  int min_ = 0, max_ = 32767, small_ = 1, large_ = 1, value_ = 0;
};

class Image : public Control {
 public:
  Image(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::Image, std::move(name), container) {}
  // The picture's role, which a view maps to a picture ("connected", ...).
  const std::string& Picture() const { return picture_; }
  void SetPicture(std::string picture);

 private:
  std::string picture_;
};

class ListBox : public Control {
 public:
  ListBox(Window* window, std::string name, Control* container = nullptr);

  const std::vector<std::string>& Items() const { return items_; }
  int ListCount() const { return static_cast<int>(items_.size()); }
  const std::string& List(int index) const;
  // A number kept with each entry; 0 unless set.
  std::int32_t ItemData(int index) const;
  void SetItemData(int index, std::int32_t data);
  void AddItem(std::string item, int index = -1);
  void RemoveItem(int index);
  void Clear();

  int ListIndex() const { return index_; }
  // A different selection raises OnClick.
  void SetListIndex(int index);
  std::string Text() const;
  // The user double-clicks the selected entry.
  void DoubleClick();

  std::function<void()> OnClick;
  std::function<void()> OnDblClick;

 private:
  std::vector<std::string> items_;
  std::vector<std::int32_t> data_;
  int index_ = -1;
};

class CommandButton : public Control {
 public:
  CommandButton(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::CommandButton, std::move(name), container) {}
  // The Enter key presses this button.
  bool IsDefault() const { return default_; }
  void SetDefault(bool d) { default_ = d, NotifyChanged(); }
  // The Escape key presses this button.
  bool IsCancel() const { return cancel_; }
  void SetCancel(bool c) { cancel_ = c, NotifyChanged(); }
  // The user presses the button; nothing happens while it is disabled.
  void Click();

  std::function<void()> OnClick;

 private:
  bool default_ = false;
  bool cancel_ = false;
};

struct ToolbarButton {
  std::string key;
  std::string caption;
  std::string tooltip;
  std::string image;  // the picture's role in the toolbar's image list
  bool enabled = true;
  bool visible = true;
};

class Toolbar : public Control {
 public:
  Toolbar(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::Toolbar, std::move(name), container) {}

  const std::string& ImageList() const { return image_list_; }
  void SetImageList(std::string name) { image_list_ = std::move(name), NotifyChanged(); }

  void AddButton(ToolbarButton b);
  const std::vector<ToolbarButton>& Buttons() const { return buttons_; }
  int ButtonCount() const { return static_cast<int>(buttons_.size()); }
  // 1-based, as the designed toolbar counts. Null when out of range.
  const ToolbarButton* Button(int index) const;
  const ToolbarButton* ButtonByKey(const std::string& key) const;
  bool ButtonEnabled(int index) const;
  void SetButtonEnabled(int index, bool enabled);

  // The user clicks a button: OnButtonClick with the button, unless the
  // button or the toolbar is disabled. By index (1-based) or by key.
  void ClickButton(int index);
  void ClickButton(const std::string& key);

  std::function<void(const ToolbarButton&)> OnButtonClick;

 private:
  std::string image_list_;
  std::vector<ToolbarButton> buttons_;
};

struct StatusPanel {
  std::string text;
  int image = 0;  // index in the status bar's image list; 0: none
  int width = 0;  // twips; 0: the view decides
  bool operator==(const StatusPanel&) const = default;
};

class StatusBar : public Control {
 public:
  StatusBar(Window* window, std::string name, Control* container = nullptr)
      : Control(window, ControlKind::StatusBar, std::move(name), container) {}

  const std::string& ImageList() const { return image_list_; }
  void SetImageList(std::string name) { image_list_ = std::move(name), NotifyChanged(); }

  void AddPanel(StatusPanel p);
  const std::vector<StatusPanel>& Panels() const { return panels_; }
  // 1-based, as the designed status bar counts.
  const StatusPanel& Panel(int index) const;
  void SetPanelText(int index, std::string text);
  void SetPanelImage(int index, int image);

 private:
  std::string image_list_;
  std::vector<StatusPanel> panels_;
};

// A menu bar entry, a submenu entry or a separator (caption "-"). Entries
// register with their window (top level) or their parent entry.
class MenuEntry : public Control {
 public:
  MenuEntry(Window* window, std::string name, std::string caption, MenuEntry* parent = nullptr);

  MenuEntry* Parent() const { return parent_; }
  const std::vector<MenuEntry*>& Entries() const { return entries_; }
  bool IsSeparator() const { return Caption() == "-"; }
  bool Checked() const { return checked_; }
  void SetChecked(bool c) { checked_ = c, NotifyChanged(); }

  // The user chooses the entry; nothing happens while it is disabled.
  void Click();

  std::function<void()> OnClick;

 private:
  MenuEntry* parent_;
  std::vector<MenuEntry*> entries_;
  bool checked_ = false;
};

// A window: caption, size in twips, its controls and menus, and how it is
// shown. Modal windows are shown through a runner the view provides; the
// runner returns once the window has closed.
class Window {
 public:
  Window(std::string name, std::string caption, int width, int height);
  virtual ~Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  // Outer size in twips.
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetSize(int width, int height);
  bool Visible() const { return visible_; }
  bool IsModal() const { return modal_; }

  // Every control but the menu entries, in declaration order (containers
  // before what they hold).
  const std::vector<Control*>& Controls() const { return controls_; }
  // The menu bar's entries, in order.
  const std::vector<MenuEntry*>& Menus() const { return menus_; }
  // A control or menu entry by name; null when there is none.
  Control* Find(const std::string& name) const;

  // Shows the window without blocking.
  void Show();
  // Runs Form_Load, then shows the window modally over `owner` and returns
  // when it has closed. Without a modal runner the window closes at once.
  void ShowModal(Window* owner);
  // Closes the window: Form_Unload, then hidden, then `closed`.
  void Close();
  // The user asks to close the window (its close button, Exit): false when
  // the window would rather stay, having asked the user.
  bool QueryUnload() { return Form_QueryUnload(); }

  // Provided by the view (or a test): shows `self` modally over `owner` and
  // returns when `self` has raised `closed`.
  std::function<void(Window& self, Window* owner)> modal_runner;

  Signal changed;  // caption, size or visibility
  Signal closed;

 protected:
  virtual void Form_Load() {}
  virtual void Form_Unload() {}
  virtual bool Form_QueryUnload() { return true; }

 private:
  friend class Control;
  friend class MenuEntry;
  void Register(Control* c);
  void RegisterMenu(MenuEntry* m) { menus_.push_back(m); }

  std::string name_;
  std::string caption_;
  int width_, height_;
  bool visible_ = false;
  bool modal_ = false;
  std::vector<Control*> controls_;
  std::vector<MenuEntry*> menus_;
};

}  // namespace ebbmark

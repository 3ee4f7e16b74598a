#include "config/model/controls.h"

#include <algorithm>

namespace ebbmark {

namespace {
const std::string kEmpty;

bool InList(int index, std::size_t size) {
  return index >= 0 && static_cast<std::size_t>(index) < size;
}
}  // namespace

// ---------------------------------------------------------------- Signal

int Signal::Connect(Slot slot) {
  // Copy on write: an Emit in progress keeps iterating its own snapshot.
  auto next = std::make_shared<std::vector<Entry>>(*slots_);
  next->push_back({next_id_, std::move(slot)});
  slots_ = std::move(next);
  return next_id_++;
}

void Signal::Disconnect(int id) {
  auto next = std::make_shared<std::vector<Entry>>(*slots_);
  std::erase_if(*next, [id](const Entry& e) { return e.id == id; });
  slots_ = std::move(next);
}

void Signal::Emit() const {
  const auto snapshot = slots_;
  for (const auto& e : *snapshot) {
    // Skip an observer removed by an earlier one during this emission.
    const auto& now = *slots_;
    if (snapshot != slots_ &&
        std::none_of(now.begin(), now.end(), [&](const Entry& x) { return x.id == e.id; }))
      continue;
    e.slot();
  }
}

const char* ControlKindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Label:
      return "Label";
    case ControlKind::TextBox:
      return "TextBox";
    case ControlKind::ComboBox:
      return "ComboBox";
    case ControlKind::CheckBox:
      return "CheckBox";
    case ControlKind::ScrollBar:
      return "ScrollBar";
    case ControlKind::Image:
      return "Image";
    case ControlKind::Frame:
      return "Frame";
    case ControlKind::ListBox:
      return "ListBox";
    case ControlKind::Toolbar:
      return "Toolbar";
    case ControlKind::StatusBar:
      return "StatusBar";
    case ControlKind::MenuEntry:
      return "MenuEntry";
    case ControlKind::CommandButton:
      return "CommandButton";
  }
  return "";
}

// ---------------------------------------------------------------- Control

Control::Control(Window* window, ControlKind kind, std::string name, Control* container)
    : window_(window), kind_(kind), name_(std::move(name)), container_(container) {
  if (window_ && kind_ != ControlKind::MenuEntry) window_->Register(this);
}

void Control::SetGeometry(Rect r) {
  if (r == rect_) return;
  rect_ = r;
  NotifyChanged();
}

void Control::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  NotifyChanged();
}

void Control::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  NotifyChanged();
}

void Control::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  NotifyChanged();
}

void Control::SetToolTip(std::string tip) {
  if (tip == tooltip_) return;
  tooltip_ = std::move(tip);
  NotifyChanged();
}

void Control::SetBackColour(Colour c) {
  if (c == back_colour_) return;
  back_colour_ = c;
  NotifyChanged();
}

void Control::SetFontName(std::string name) {
  if (name == font_name_) return;
  font_name_ = std::move(name);
  NotifyChanged();
}

// ---------------------------------------------------------------- TextBox

TextBox::TextBox(Window* window, std::string name, Control* container)
    : Control(window, ControlKind::TextBox, std::move(name), container) {
  SetBackColour(SystemColour::WindowBackground);
}

void TextBox::SetText(std::string text) {
  if (max_length_ > 0 && text.size() > static_cast<std::size_t>(max_length_))
    text.resize(static_cast<std::size_t>(max_length_));
  if (text == text_) return;
  text_ = std::move(text);
  NotifyChanged();
  if (OnChange) OnChange();
}

void TextBox::LostFocus() {
  if (OnLostFocus) OnLostFocus();
}

bool TextBox::KeyPress(char32_t key) {
  if (OnKeyPress) OnKeyPress(key);
  return key != 0;
}

void TextBox::SetLocked(bool locked) {
  if (locked == locked_) return;
  locked_ = locked;
  NotifyChanged();
}

void TextBox::SetMultiLine(bool multi_line) {
  if (multi_line == multi_line_) return;
  multi_line_ = multi_line;
  NotifyChanged();
}

void TextBox::SetMaxLength(int n) {
  if (n < 0) n = 0;
  if (n == max_length_) return;
  max_length_ = n;
  NotifyChanged();
  if (max_length_ > 0 && text_.size() > static_cast<std::size_t>(max_length_))
    SetText(text_.substr(0, static_cast<std::size_t>(max_length_)));
}

void TextBox::SetPasswordChar(char c) {
  if (c == password_char_) return;
  password_char_ = c;
  NotifyChanged();
}

// ---------------------------------------------------------------- ComboBox

ComboBox::ComboBox(Window* window, std::string name, Control* container)
    : Control(window, ControlKind::ComboBox, std::move(name), container) {
  SetBackColour(SystemColour::WindowBackground);
}

void ComboBox::SetListStyle(Style s) {
  style_ = s;
  NotifyChanged();
}

const std::string& ComboBox::List(int index) const {
  return InList(index, items_.size()) ? items_[static_cast<std::size_t>(index)] : kEmpty;
}

void ComboBox::AddItem(std::string item, int index) {
  if (index < 0 || static_cast<std::size_t>(index) > items_.size())
    index = static_cast<int>(items_.size());
  items_.insert(items_.begin() + index, std::move(item));
  if (index_ >= index) ++index_;
  NotifyChanged();
}

void ComboBox::RemoveItem(int index) {
  if (!InList(index, items_.size())) return;
  items_.erase(items_.begin() + index);
  if (index_ == index)
    index_ = -1;
  else if (index_ > index)
    --index_;
  NotifyChanged();
}

void ComboBox::Clear() {
  items_.clear();
  index_ = -1;
  NotifyChanged();
}

void ComboBox::SetListIndex(int index) {
  if (!InList(index, items_.size())) {
    if (index_ != -1) {
      index_ = -1;
      NotifyChanged();
    }
    return;
  }
  const bool moved = index != index_;
  index_ = index;
  if (moved) NotifyChanged();
  if (OnClick) OnClick();
}

std::string ComboBox::Text() const {
  return List(index_);
}

// ---------------------------------------------------------------- CheckBox

CheckBox::CheckBox(Window* window, std::string name, Control* container)
    : Control(window, ControlKind::CheckBox, std::move(name), container) {}

void CheckBox::SetValue(int value) {
  if (value < Unchecked || value > Grayed || value == value_) return;
  value_ = value;
  NotifyChanged();
  if (OnClick) OnClick();
}

void CheckBox::Click() {
  if (!Enabled()) return;
  SetValue(value_ == Checked ? Unchecked : Checked);
}

// ---------------------------------------------------------------- ScrollBar

ScrollBar::ScrollBar(Window* window, std::string name, Control* container)
    : Control(window, ControlKind::ScrollBar, std::move(name), container) {}

void ScrollBar::SetRange(int min, int max) {
  min_ = min;
  max_ = max < min ? min : max;
  NotifyChanged();
  SetValue(value_);
}

void ScrollBar::SetValue(int value) {
  value = Clamp(value);
  if (value == value_) return;
  value_ = value;
  NotifyChanged();
  if (OnChange) OnChange();
}

void ScrollBar::DragTo(int value) {
  if (!Enabled()) return;
  value = Clamp(value);
  if (value == value_) return;
  value_ = value;
  NotifyChanged();
  if (OnScroll) OnScroll();
}

void ScrollBar::EndDrag() {
  if (!Enabled()) return;
  if (OnChange) OnChange();
}

// ---------------------------------------------------------------- Image

void Image::SetPicture(std::string picture) {
  if (picture == picture_) return;
  picture_ = std::move(picture);
  NotifyChanged();
}

// ---------------------------------------------------------------- ListBox

ListBox::ListBox(Window* window, std::string name, Control* container)
    : Control(window, ControlKind::ListBox, std::move(name), container) {
  SetBackColour(SystemColour::WindowBackground);
}

const std::string& ListBox::List(int index) const {
  return InList(index, items_.size()) ? items_[static_cast<std::size_t>(index)] : kEmpty;
}

std::int32_t ListBox::ItemData(int index) const {
  return InList(index, data_.size()) ? data_[static_cast<std::size_t>(index)] : 0;
}

void ListBox::SetItemData(int index, std::int32_t data) {
  if (InList(index, data_.size())) data_[static_cast<std::size_t>(index)] = data;
}

void ListBox::AddItem(std::string item, int index) {
  if (index < 0 || static_cast<std::size_t>(index) > items_.size())
    index = static_cast<int>(items_.size());
  items_.insert(items_.begin() + index, std::move(item));
  data_.insert(data_.begin() + index, 0);
  if (index_ >= index) ++index_;
  NotifyChanged();
}

void ListBox::RemoveItem(int index) {
  if (!InList(index, items_.size())) return;
  items_.erase(items_.begin() + index);
  data_.erase(data_.begin() + index);
  if (index_ == index)
    index_ = -1;
  else if (index_ > index)
    --index_;
  NotifyChanged();
}

void ListBox::Clear() {
  items_.clear();
  data_.clear();
  index_ = -1;
  NotifyChanged();
}

void ListBox::SetListIndex(int index) {
  if (!InList(index, items_.size())) index = -1;
  if (index == index_) return;
  index_ = index;
  NotifyChanged();
  if (index_ >= 0 && OnClick) OnClick();
}

std::string ListBox::Text() const {
  return List(index_);
}

void ListBox::DoubleClick() {
  if (!Enabled()) return;
  if (OnDblClick) OnDblClick();
}

// ---------------------------------------------------------------- CommandButton

void CommandButton::Click() {
  if (!Enabled() || !Visible()) return;
  if (OnClick) OnClick();
}

// ---------------------------------------------------------------- Toolbar

void Toolbar::AddButton(ToolbarButton b) {
  buttons_.push_back(std::move(b));
  NotifyChanged();
}

const ToolbarButton* Toolbar::Button(int index) const {
  return index >= 1 && static_cast<std::size_t>(index) <= buttons_.size()
             ? &buttons_[static_cast<std::size_t>(index - 1)]
             : nullptr;
}

const ToolbarButton* Toolbar::ButtonByKey(const std::string& key) const {
  for (const auto& b : buttons_)
    if (b.key == key) return &b;
  return nullptr;
}

bool Toolbar::ButtonEnabled(int index) const {
  const auto* b = Button(index);
  return b && b->enabled;
}

void Toolbar::SetButtonEnabled(int index, bool enabled) {
  if (!Button(index) || Button(index)->enabled == enabled) return;
  buttons_[static_cast<std::size_t>(index - 1)].enabled = enabled;
  NotifyChanged();
}

void Toolbar::ClickButton(int index) {
  const auto* b = Button(index);
  if (!b || !b->enabled || !b->visible || !Enabled()) return;
  // A copy: the handler may change the toolbar.
  const ToolbarButton pressed = *b;
  if (OnButtonClick) OnButtonClick(pressed);
}

void Toolbar::ClickButton(const std::string& key) {
  for (std::size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i].key == key) return ClickButton(static_cast<int>(i + 1));
}

// ---------------------------------------------------------------- StatusBar

void StatusBar::AddPanel(StatusPanel p) {
  panels_.push_back(std::move(p));
  NotifyChanged();
}

const StatusPanel& StatusBar::Panel(int index) const {
  static const StatusPanel kNone;
  return index >= 1 && static_cast<std::size_t>(index) <= panels_.size()
             ? panels_[static_cast<std::size_t>(index - 1)]
             : kNone;
}

void StatusBar::SetPanelText(int index, std::string text) {
  if (index < 1 || static_cast<std::size_t>(index) > panels_.size()) return;
  auto& p = panels_[static_cast<std::size_t>(index - 1)];
  if (p.text == text) return;
  p.text = std::move(text);
  NotifyChanged();
}

void StatusBar::SetPanelImage(int index, int image) {
  if (index < 1 || static_cast<std::size_t>(index) > panels_.size()) return;
  auto& p = panels_[static_cast<std::size_t>(index - 1)];
  if (p.image == image) return;
  p.image = image;
  NotifyChanged();
}

// ---------------------------------------------------------------- MenuEntry

MenuEntry::MenuEntry(Window* window, std::string name, std::string caption, MenuEntry* parent)
    : Control(window, ControlKind::MenuEntry, std::move(name), parent), parent_(parent) {
  SetCaption(std::move(caption));
  if (parent_)
    parent_->entries_.push_back(this);
  else if (window)
    window->RegisterMenu(this);
}

void MenuEntry::Click() {
  if (!Enabled() || !Visible() || IsSeparator()) return;
  if (OnClick) OnClick();
}

// ---------------------------------------------------------------- Window

Window::Window(std::string name, std::string caption, int width, int height)
    : name_(std::move(name)), caption_(std::move(caption)), width_(width), height_(height) {}

void Window::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  changed.Emit();
}

void Window::SetSize(int width, int height) {
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  changed.Emit();
}

void Window::Register(Control* c) {
  controls_.push_back(c);
}

namespace {
Control* FindMenu(const std::vector<MenuEntry*>& entries, const std::string& name) {
  for (auto* m : entries) {
    if (m->Name() == name) return m;
    if (auto* found = FindMenu(m->Entries(), name)) return found;
  }
  return nullptr;
}
}  // namespace

Control* Window::Find(const std::string& name) const {
  for (auto* c : controls_)
    if (c->Name() == name) return c;
  return FindMenu(menus_, name);
}

void Window::Show() {
  if (visible_) return;
  visible_ = true;
  changed.Emit();
}

void Window::ShowModal(Window* owner) {
  Form_Load();
  modal_ = true;
  visible_ = true;
  changed.Emit();
  if (modal_runner) {
    modal_runner(*this, owner);
  }
  if (visible_) Close();
  modal_ = false;
}

void Window::Close() {
  Form_Unload();
  const bool was_visible = visible_;
  visible_ = false;
  if (was_visible) changed.Emit();
  closed.Emit();
}

}  // namespace ebbmark

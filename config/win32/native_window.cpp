#include "config/win32/native_window.h"

#include <commctrl.h>

#include <algorithm>

#include "config/win32/layout.h"
#include "config/win32/view_resources.h"
#include "platform/windows/text_windows.h"

namespace ebbmark::win32view {
namespace {

constexpr wchar_t kPictureClass[] = L"EbbmarkPicture";
constexpr int kFirstControlId = 100;
constexpr int kFirstToolbarId = 1000;
constexpr int kFirstMenuId = 2000;
// Toolbar pictures are designed at 32 pixels, status pictures at 16, for a
// 96-DPI screen.
constexpr int kToolbarPicture = 32;
constexpr int kStatusPicture = 16;
// Room below the lowest control before the status bar.
constexpr int kBottomMarginTwips = 60;
// A label at least this high has room for a second row of text.
constexpr int kTwoRowsTwips = 400;
// A check box's box and the gap before its caption, at 96 DPI.
constexpr int kCheckGlyphPixels = 18;
// The font size the windows were laid out for, and the smallest it may
// shrink to when the system's face is wider than the layout allows.
constexpr int kDesignPoints = 8;
constexpr int kSmallestTenthPoints = 70;
// A box with a font of its own: its design size and how far it may shrink.
constexpr int kNamedFontTenthPoints = 90;
constexpr int kSmallestNamedTenthPoints = 60;
// The drop-down part of a list shows this many entries.
constexpr int kDropDownEntries = 8;

std::map<HWND, NativeWindow*>& ByHandle() {
  static std::map<HWND, NativeWindow*> windows;
  return windows;
}
std::map<const Window*, NativeWindow*>& ByModel() {
  static std::map<const Window*, NativeWindow*> windows;
  return windows;
}

// Per-monitor DPI functions exist from Windows 10 on; older systems (and
// Wine) fall back to the system DPI.
int WindowDpi(HWND hwnd) {
  using Fn = UINT(WINAPI*)(HWND);
  static const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (fn != nullptr) {
    const UINT dpi = fn(hwnd);
    if (dpi != 0) return static_cast<int>(dpi);
  }
  HDC dc = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
  ::ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

RECT NonClient(DWORD style, DWORD ex_style, bool menu, int dpi) {
  RECT r{0, 0, 0, 0};
  using Fn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
  if (fn != nullptr)
    fn(&r, style, menu, ex_style, static_cast<UINT>(dpi));
  else
    ::AdjustWindowRectEx(&r, style, menu, ex_style);
  return r;
}

std::wstring WindowText(HWND hwnd) {
  const int n = ::GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = ::GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

// Writes a text only when it differs, so nothing flickers.
void SetText(HWND hwnd, const std::string& utf8) {
  const std::wstring want = win::Widen(utf8);
  if (WindowText(hwnd) != want) ::SetWindowTextW(hwnd, want.c_str());
}

COLORREF ToColorRef(Rgb c) {
  return RGB(c.r, c.g, c.b);
}

bool IsDefaultButton(const CommandButton& b) {
  return b.IsDefault();
}
bool IsCancelButton(const CommandButton& b) {
  return b.IsCancel();
}

// The messages that fill and select a combo box or a list box.
struct EntryMessages {
  UINT reset, add, get_selection, set_selection;
};
constexpr EntryMessages kComboMessages{CB_RESETCONTENT, CB_ADDSTRING, CB_GETCURSEL, CB_SETCURSEL};
constexpr EntryMessages kListMessages{LB_RESETCONTENT, LB_ADDSTRING, LB_GETCURSEL, LB_SETCURSEL};

// Refills the control only when the model's entries changed (`shown` is what
// it holds now), then selects the model's entry.
void SyncEntries(HWND h, std::vector<std::string>& shown, const std::vector<std::string>& items,
                 int index, const EntryMessages& m) {
  if (shown != items) {
    ::SendMessageW(h, m.reset, 0, 0);
    for (const auto& item : items) {
      const std::wstring w = win::Widen(item);
      ::SendMessageW(h, m.add, 0, reinterpret_cast<LPARAM>(w.c_str()));
    }
    shown = items;
  }
  if (static_cast<int>(::SendMessageW(h, m.get_selection, 0, 0)) != index)
    ::SendMessageW(h, m.set_selection, static_cast<WPARAM>(index), 0);
}

// Hands every typed character of a text box to the model before the box
// takes it; one the model drops never lands, so the caret stays where the
// user is typing. Pasting and the program's own writes are not typing.
LRESULT CALLBACK TypedKeyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                              DWORD_PTR data) {
  if (msg == WM_CHAR) {
    const auto unit = static_cast<char32_t>(wp);
    // Control characters (Backspace, Enter, Tab) are editing, not typing;
    // a character outside the basic plane arrives in two halves that the
    // box joins, and passes as it is.
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    if (unit >= 0x20 && unit != 0x7F && !surrogate &&
        !reinterpret_cast<TextBox*>(data)->KeyPress(unit))
      return 0;
  } else if (msg == WM_NCDESTROY) {
    ::RemoveWindowSubclass(hwnd, TypedKeyProc, id);
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

// ------------------------------------------------------------------ classes

namespace {
// A class registered before (a second caller in the same program) is as
// good as a new one.
bool Registered(ATOM atom) {
  return atom != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}
}  // namespace

bool NativeWindow::RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &NativeWindow::WndProc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_EBBMARK), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON),
                                             ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  wc.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_EBBMARK), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.lpszClassName = kMainClass;
  if (!Registered(::RegisterClassExW(&wc))) return false;
  wc.lpszClassName = kToolClass;
  if (!Registered(::RegisterClassExW(&wc))) return false;

  WNDCLASSEXW pc{};
  pc.cbSize = sizeof(pc);
  pc.lpfnWndProc = &NativeWindow::PictureProc;
  pc.hInstance = instance;
  pc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  pc.lpszClassName = kPictureClass;
  return Registered(::RegisterClassExW(&pc));
}

NativeWindow* NativeWindow::For(const Window* model) {
  const auto it = ByModel().find(model);
  return it == ByModel().end() ? nullptr : it->second;
}

bool NativeWindow::PreTranslate(MSG& msg) {
  if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
  HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
  if (root == nullptr || ByHandle().count(root) == 0) return false;
  return ::IsDialogMessageW(root, &msg) != FALSE;
}

// ------------------------------------------------------------------ life

NativeWindow::NativeWindow(Window& model, Options options)
    : model_(model), options_(std::move(options)) {
  const bool main = options_.owner == nullptr;
  // No WS_CLIPCHILDREN: a group box paints only its border and caption, so
  // the window must paint the inside of every frame.
  const DWORD style = main ? (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)
                           : (WS_POPUP | WS_CAPTION | WS_SYSMENU);
  const DWORD ex_style = WS_EX_CONTROLPARENT | (main ? 0 : WS_EX_DLGMODALFRAME);
  const std::wstring caption = win::Widen(model_.Caption());
  hwnd_ = ::CreateWindowExW(ex_style, main ? kMainClass : kToolClass, caption.c_str(), style,
                            CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, options_.owner, nullptr,
                            ::GetModuleHandleW(nullptr), this);
  if (hwnd_ == nullptr) return;
  ByHandle()[hwnd_] = this;
  ByModel()[&model_] = this;
  dpi_ = WindowDpi(hwnd_);

  CreateFonts();
  CreateMenus();
  CreateControls();
  ApplyLayout();
  ApplyStacking();

  if (!main) {
    // Centred over the window it belongs to.
    RECT o{}, w{};
    ::GetWindowRect(options_.owner, &o);
    ::GetWindowRect(hwnd_, &w);
    const int x = o.left + ((o.right - o.left) - (w.right - w.left)) / 2;
    const int y = o.top + ((o.bottom - o.top) - (w.bottom - w.top)) / 2;
    ::SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  for (auto& n : natives_) {
    Native* raw = n.get();
    raw->connection = raw->model->changed.Connect([this, raw] { SyncControl(*raw); });
    SyncControl(*raw);
  }
  window_connection_ = model_.changed.Connect([this] { SyncWindow(); });
  SyncWindow();
}

NativeWindow::~NativeWindow() {
  for (auto& n : natives_) n->model->changed.Disconnect(n->connection);
  for (auto& [entry, connection] : menu_connections_) entry->changed.Disconnect(connection);
  model_.changed.Disconnect(window_connection_);
  if (hwnd_ != nullptr) {
    ByHandle().erase(hwnd_);
    ::DestroyWindow(hwnd_);
  }
  ByModel().erase(&model_);
  if (menu_ != nullptr && hwnd_ == nullptr) ::DestroyMenu(menu_);
  if (toolbar_images_ != nullptr) ::ImageList_Destroy(toolbar_images_);
  if (font_ != nullptr) ::DeleteObject(font_);
  for (auto& [key, font] : named_fonts_) ::DeleteObject(font);
  for (auto& [colour, brush] : brushes_) ::DeleteObject(brush);
}

int NativeWindow::Px(int twips) const {
  return TwipsToPixels(twips, dpi_);
}

void NativeWindow::CreateFonts() {
  // Called again on a DPI change, before the controls are handed the new
  // fonts; nothing paints in between.
  if (font_ != nullptr) ::DeleteObject(font_);
  font_ = nullptr;
  for (auto& [key, font] : named_fonts_) ::DeleteObject(font);
  named_fonts_.clear();
  // The system's message font face at 8 points, the size the windows'
  // twips geometry was laid out for.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  LOGFONTW lf{};
  if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
    lf = metrics.lfMessageFont;
  else
    ::wcscpy(lf.lfFaceName, L"MS Shell Dlg 2");
  lf.lfWidth = 0;
  lf.lfWeight = FW_NORMAL;
  lf.lfQuality = CLEARTYPE_QUALITY;
  // The design size unless a one-row caption would not fit its control in
  // this face; then a little smaller, down to a floor that stays readable.
  for (int tenths = kDesignPoints * 10; tenths >= kSmallestTenthPoints; tenths -= 5) {
    lf.lfHeight = -::MulDiv(tenths, dpi_, 720);
    if (font_ != nullptr) ::DeleteObject(font_);
    font_ = ::CreateFontIndirectW(&lf);
    if (CaptionsFit(font_)) break;
  }
}

HFONT NativeWindow::NamedFontFor(const std::string& name, const std::wstring& text, int room) {
  // The face the box asks for (the relay host box's "Terminal"), fixed
  // pitch so the turning mark does not make the text jump, at the largest
  // size up to 9 points at which the whole text fits the box: the
  // not-configured notice with its mark must be read to its end.
  const std::wstring face = win::Widen(name);
  HFONT chosen = nullptr;
  HDC dc = ::GetDC(hwnd_);
  for (int tenths = kNamedFontTenthPoints; tenths >= kSmallestNamedTenthPoints; tenths -= 5) {
    const int height = ::MulDiv(tenths, dpi_, 720);
    HFONT& font = named_fonts_[{name, height}];
    if (font == nullptr)
      font = ::CreateFontW(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                           FIXED_PITCH | FF_MODERN, face.c_str());
    chosen = font;
    HGDIOBJ old = ::SelectObject(dc, font);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    if (size.cx <= room) break;
  }
  ::ReleaseDC(hwnd_, dc);
  return chosen;
}

bool NativeWindow::CaptionsFit(HFONT font) const {
  HDC dc = ::GetDC(hwnd_);
  HGDIOBJ old = ::SelectObject(dc, font);
  bool fit = true;
  for (const Control* c : model_.Controls()) {
    int room = Px(c->Width());
    if (c->Kind() == ControlKind::CheckBox)
      room -= ::MulDiv(kCheckGlyphPixels, dpi_, 96);
    else if (c->Kind() != ControlKind::Label)
      continue;
    if (c->Caption().empty()) continue;
    const std::wstring text = win::Widen(c->Caption());
    if (c->Height() >= kTwoRowsTwips) {
      // A text over several rows must fit the rows it has.
      RECT r{0, 0, room, 0};
      ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
      if (r.bottom > Px(c->Height())) fit = false;
      continue;
    }
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    if (size.cx > room) fit = false;
  }
  ::SelectObject(dc, old);
  ::ReleaseDC(hwnd_, dc);
  return fit;
}

void NativeWindow::CreateMenus() {
  if (model_.Menus().empty()) return;
  menu_ = ::CreateMenu();
  AddMenuEntries(menu_, model_.Menus());
  ::SetMenu(hwnd_, menu_);
}

void NativeWindow::AddMenuEntries(HMENU menu, const std::vector<MenuEntry*>& entries) {
  for (MenuEntry* e : entries) {
    if (e->IsSeparator()) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    const std::wstring caption = win::Widen(e->Caption());
    if (!e->Entries().empty()) {
      HMENU sub = ::CreatePopupMenu();
      AddMenuEntries(sub, e->Entries());
      ::AppendMenuW(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub), caption.c_str());
      continue;
    }
    const int id = kFirstMenuId + static_cast<int>(menu_ids_.size());
    menu_ids_[id] = e;
    ::AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(id), caption.c_str());
    menu_connections_[e] = e->changed.Connect([this, e] { SyncMenu(*e); });
    SyncMenu(*e);
  }
}

void NativeWindow::SyncMenu(MenuEntry& entry) {
  for (const auto& [id, e] : menu_ids_) {
    if (e != &entry) continue;
    ::EnableMenuItem(menu_, static_cast<UINT>(id),
                     MF_BYCOMMAND | (entry.Enabled() ? MF_ENABLED : MF_GRAYED));
    ::CheckMenuItem(menu_, static_cast<UINT>(id),
                    MF_BYCOMMAND | (entry.Checked() ? MF_CHECKED : MF_UNCHECKED));
  }
}

void NativeWindow::CreateControls() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  int index = 0;
  for (Control* c : model_.Controls()) {
    auto n = std::make_unique<Native>();
    n->model = c;
    n->id = kFirstControlId + index++;
    const wchar_t* cls = L"STATIC";
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex_style = 0;
    switch (c->Kind()) {
      case ControlKind::Label:
        // A one-row label shows as much of its text as fits rather than
        // wrapping its last word onto a row nobody sees, centred on the
        // height of the boxes beside it.
        style |= SS_NOPREFIX | SS_NOTIFY |
                 (c->Height() < kTwoRowsTwips ? SS_LEFTNOWORDWRAP | SS_CENTERIMAGE : SS_LEFT);
        break;
      case ControlKind::Frame:
        cls = L"BUTTON";
        style |= BS_GROUPBOX;
        break;
      case ControlKind::TextBox: {
        const auto& box = static_cast<const TextBox&>(*c);
        cls = L"EDIT";
        style |= WS_TABSTOP |
                 (box.MultiLine() ? ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL : ES_AUTOHSCROLL);
        if (box.Locked()) style |= ES_READONLY;
        if (box.PasswordChar() != 0) style |= ES_PASSWORD;
        ex_style |= WS_EX_CLIENTEDGE;
        break;
      }
      case ControlKind::ComboBox:
        cls = L"COMBOBOX";
        style |= WS_TABSTOP | WS_VSCROLL |
                 (static_cast<const ComboBox&>(*c).ListStyle() == ComboBox::Style::DropDownList
                      ? CBS_DROPDOWNLIST
                      : CBS_DROPDOWN | CBS_AUTOHSCROLL);
        break;
      case ControlKind::CheckBox:
        // The model owns the tick: a click goes to it, and the box shows
        // what it then holds.
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_CHECKBOX;
        break;
      case ControlKind::ScrollBar:
        cls = L"SCROLLBAR";
        style |= WS_TABSTOP | SBS_HORZ;
        break;
      case ControlKind::Image:
        cls = kPictureClass;
        break;
      case ControlKind::ListBox:
        cls = L"LISTBOX";
        style |= WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_USETABSTOPS;
        ex_style |= WS_EX_CLIENTEDGE;
        break;
      case ControlKind::CommandButton:
        cls = L"BUTTON";
        style |= WS_TABSTOP | (static_cast<const CommandButton&>(*c).IsDefault() ? BS_DEFPUSHBUTTON
                                                                                 : BS_PUSHBUTTON);
        break;
      case ControlKind::Toolbar:
        cls = TOOLBARCLASSNAMEW;
        style |= TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP | CCS_NODIVIDER;
        break;
      case ControlKind::StatusBar:
        cls = STATUSCLASSNAMEW;
        break;
      case ControlKind::MenuEntry:
        continue;
    }
    n->hwnd =
        ::CreateWindowExW(ex_style, cls, nullptr, style, 0, 0, 0, 0, hwnd_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(n->id)), instance, nullptr);
    if (n->hwnd == nullptr) continue;
    ::SendMessageW(n->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (c->Kind() == ControlKind::TextBox)
      ::SetWindowSubclass(n->hwnd, TypedKeyProc, 1, reinterpret_cast<DWORD_PTR>(c));

    if (c->Kind() == ControlKind::Toolbar) {
      auto& toolbar = static_cast<Toolbar&>(*c);
      ::SendMessageW(n->hwnd, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
      CreateToolbarImages();
      ::SendMessageW(n->hwnd, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolbar_images_));
      std::vector<std::wstring> captions;
      for (const auto& b : toolbar.Buttons()) captions.push_back(win::Widen(b.caption));
      std::vector<TBBUTTON> buttons;
      for (int i = 0; i < toolbar.ButtonCount(); ++i) {
        const ToolbarButton& b = toolbar.Buttons()[static_cast<std::size_t>(i)];
        TBBUTTON tb{};
        tb.iBitmap = i;
        tb.idCommand = kFirstToolbarId + i + 1;
        tb.fsState =
            static_cast<BYTE>((b.enabled ? TBSTATE_ENABLED : 0) | (b.visible ? 0 : TBSTATE_HIDDEN));
        tb.fsStyle = BTNS_BUTTON;
        tb.iString = reinterpret_cast<INT_PTR>(captions[static_cast<std::size_t>(i)].c_str());
        buttons.push_back(tb);
      }
      ::SendMessageW(n->hwnd, TB_ADDBUTTONSW, buttons.size(),
                     reinterpret_cast<LPARAM>(buttons.data()));
      ::SendMessageW(n->hwnd, TB_AUTOSIZE, 0, 0);
    }
    if (c->Kind() == ControlKind::Image) ::SetWindowLongPtrW(n->hwnd, GWLP_USERDATA, 0);
    natives_.push_back(std::move(n));
  }

  tooltip_ =
      ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance, nullptr);
  if (tooltip_ != nullptr) {
    ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ::MulDiv(320, dpi_, 96));
    for (auto& n : natives_) AddToolTip(*n);
  }
}

void NativeWindow::AddToolTip(Native& n) {
  if (n.model->ToolTip().empty() || n.model->Kind() == ControlKind::Toolbar) return;
  std::wstring text = win::Widen(n.model->ToolTip());
  TTTOOLINFOW ti{};
  ti.cbSize = sizeof(ti);
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.hwnd = hwnd_;
  ti.uId = reinterpret_cast<UINT_PTR>(n.hwnd);
  ti.lpszText = text.data();
  ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

void NativeWindow::CreateToolbarImages() {
  if (toolbar_images_ != nullptr) ::ImageList_Destroy(toolbar_images_);
  const int size = ::MulDiv(kToolbarPicture, dpi_, 96);
  toolbar_images_ = ::ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 4, 0);
  for (Control* c : model_.Controls()) {
    if (c->Kind() != ControlKind::Toolbar) continue;
    for (const auto& b : static_cast<Toolbar&>(*c).Buttons()) {
      HICON icon = icons_.Get(PictureResource(b.image), size);
      if (icon != nullptr) {
        ::ImageList_AddIcon(toolbar_images_, icon);
      } else {
        // Keeps the indices in step with the buttons.
        HICON blank = ::CreateIcon(::GetModuleHandleW(nullptr), 1, 1, 1, 1, nullptr, nullptr);
        ::ImageList_AddIcon(toolbar_images_, blank);
        if (blank != nullptr) ::DestroyIcon(blank);
      }
    }
  }
}

// ------------------------------------------------------------------ layout

void NativeWindow::ApplyLayout() {
  HWND toolbar = nullptr, status = nullptr;
  const Control* toolbar_model = nullptr;
  for (auto& n : natives_) {
    if (n->model->Kind() == ControlKind::Toolbar) toolbar = n->hwnd, toolbar_model = n->model;
    if (n->model->Kind() == ControlKind::StatusBar) status = n->hwnd;
  }
  toolbar_extra_ = 0;
  if (toolbar != nullptr) {
    const int size = ::MulDiv(kToolbarPicture, dpi_, 96);
    ::SendMessageW(toolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(size, size));
    ::SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    RECT r{};
    ::GetWindowRect(toolbar, &r);
    toolbar_extra_ = std::max(0, static_cast<int>(r.bottom - r.top) - Px(toolbar_model->Height()));
  }

  int lowest = 0;
  for (auto& n : natives_) {
    const ControlKind kind = n->model->Kind();
    if (kind == ControlKind::Toolbar || kind == ControlKind::StatusBar) continue;
    const Rect a = AbsoluteTwips(*n->model);
    const int x = Px(a.left), y = Px(a.top) + toolbar_extra_;
    const int w = Px(a.width);
    int h = Px(a.height);
    lowest = std::max(lowest, y + h);
    if (kind == ControlKind::ComboBox) {
      // The height of a drop-down list's window includes the list.
      const int item = static_cast<int>(::SendMessageW(n->hwnd, CB_GETITEMHEIGHT, 0, 0));
      h += std::max(item, 1) * kDropDownEntries;
    }
    ::SetWindowPos(n->hwnd, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // The model gives the outer size; the frame and the menu bar take what the
  // system needs at this DPI, the rest is the client area.
  const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE));
  const DWORD ex_style = static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
  const RECT nc = NonClient(style, ex_style, menu_ != nullptr, dpi_);
  const int nc_w = nc.right - nc.left, nc_h = nc.bottom - nc.top;
  // The designed outer size took a caption and a menu bar of its time into
  // account; the client area is what the controls were placed in.
  const int client_w = std::max(Px(model_.Width()) - nc_w, 1);
  int client_h = std::max(Px(model_.Height()) - nc_h, 1) + toolbar_extra_;
  if (status != nullptr) {
    ::SendMessageW(status, WM_SIZE, 0, 0);
    RECT r{};
    ::GetWindowRect(status, &r);
    client_h =
        std::max(client_h, lowest + Px(kBottomMarginTwips) + static_cast<int>(r.bottom - r.top));
  }
  ::SetWindowPos(hwnd_, nullptr, 0, 0, client_w + nc_w, client_h + nc_h,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  applied_width_ = model_.Width();
  applied_height_ = model_.Height();

  if (status != nullptr) {
    ::SendMessageW(status, WM_SIZE, 0, 0);
    for (auto& n : natives_)
      if (n->model->Kind() == ControlKind::StatusBar) {
        const auto& bar = static_cast<const StatusBar&>(*n->model);
        std::vector<int> edges;
        int right = 0;
        for (const auto& p : bar.Panels()) {
          right += p.width > 0 ? Px(p.width) : 0;
          edges.push_back(p.width > 0 ? right : -1);
        }
        if (!edges.empty()) edges.back() = -1;
        ::SendMessageW(status, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
        n->status_images[0] = n->status_images[1] = -1;
      }
  }
}

void NativeWindow::ApplyStacking() {
  std::map<const Control*, HWND> handles;
  for (auto& n : natives_) handles[n->model] = n->hwnd;
  HWND after = HWND_TOP;
  for (const Control* c : StackingOrder(model_.Controls())) {
    const auto it = handles.find(c);
    if (it == handles.end()) continue;
    ::SetWindowPos(it->second, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = it->second;
  }
}

// ------------------------------------------------------------------ sync

void NativeWindow::SyncWindow() {
  SetText(hwnd_, model_.Caption());
  if (model_.Width() != applied_width_ || model_.Height() != applied_height_) ApplyLayout();

  const bool wait = options_.pointer && options_.pointer() == MousePointer::Hourglass;
  if (wait != wait_cursor_) {
    wait_cursor_ = wait;
    ::SetCursor(::LoadCursorW(nullptr, wait ? IDC_WAIT : IDC_ARROW));
  }

  const bool shown = (::GetWindowLongPtrW(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0;
  if (model_.Visible() && !shown) {
    ::ShowWindow(hwnd_, SW_SHOW);
    ::UpdateWindow(hwnd_);
  } else if (!model_.Visible() && shown) {
    ::ShowWindow(hwnd_, SW_HIDE);
  }
}

void NativeWindow::SyncVisibility(Native& n) {
  const bool want = EffectivelyVisible(*n.model);
  const bool shown = (::GetWindowLongPtrW(n.hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  if (want != shown) ::ShowWindow(n.hwnd, want ? SW_SHOWNA : SW_HIDE);
}

void NativeWindow::SyncControl(Native& n) {
  const bool was_syncing = syncing_;
  syncing_ = true;
  Control& c = *n.model;
  HWND h = n.hwnd;
  SyncVisibility(n);
  if (c.Kind() == ControlKind::Frame) {
    // What a frame holds shows only while the frame does.
    for (auto& other : natives_)
      if (IsInside(*other->model, c)) SyncVisibility(*other);
  }
  if (c.Kind() != ControlKind::Toolbar && c.Kind() != ControlKind::StatusBar &&
      (::IsWindowEnabled(h) != FALSE) != c.Enabled())
    ::EnableWindow(h, c.Enabled());

  switch (c.Kind()) {
    case ControlKind::Label:
    case ControlKind::Frame:
      SetText(h, c.Caption());
      break;
    case ControlKind::CheckBox: {
      SetText(h, c.Caption());
      const int value = static_cast<CheckBox&>(c).Value();
      const WPARAM state = value == CheckBox::Checked  ? BST_CHECKED
                           : value == CheckBox::Grayed ? BST_INDETERMINATE
                                                       : BST_UNCHECKED;
      if (static_cast<WPARAM>(::SendMessageW(h, BM_GETCHECK, 0, 0)) != state)
        ::SendMessageW(h, BM_SETCHECK, state, 0);
      break;
    }
    case ControlKind::CommandButton: {
      SetText(h, c.Caption());
      const bool is_default = static_cast<CommandButton&>(c).IsDefault();
      const bool shown_default = (::GetWindowLongPtrW(h, GWL_STYLE) & BS_DEFPUSHBUTTON) != 0;
      if (is_default != shown_default)
        ::SendMessageW(h, BM_SETSTYLE, is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
      break;
    }
    case ControlKind::TextBox: {
      auto& box = static_cast<TextBox&>(c);
      const std::wstring want = win::Widen(box.Text());
      if (WindowText(h) != want) {
        // The model changed what the user typed (or the program wrote it):
        // the caret stays where it was, as far as the new text allows.
        DWORD start = 0, end = 0;
        ::SendMessageW(h, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                       reinterpret_cast<LPARAM>(&end));
        ::SetWindowTextW(h, want.c_str());
        const DWORD len = static_cast<DWORD>(want.size());
        if (::GetFocus() == h)
          ::SendMessageW(h, EM_SETSEL, std::min(start, len), std::min(end, len));
      }
      if (!box.FontName().empty()) {
        RECT r{};
        ::GetClientRect(h, &r);
        const LRESULT margins = ::SendMessageW(h, EM_GETMARGINS, 0, 0);
        const int room = r.right - r.left - LOWORD(margins) - HIWORD(margins) - 2;
        HFONT font = NamedFontFor(box.FontName(), want, room);
        if (font != nullptr && reinterpret_cast<HFONT>(::SendMessageW(h, WM_GETFONT, 0, 0)) != font)
          ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
      }
      const bool read_only = (::GetWindowLongPtrW(h, GWL_STYLE) & ES_READONLY) != 0;
      if (read_only != box.Locked()) ::SendMessageW(h, EM_SETREADONLY, box.Locked(), 0);
      ::SendMessageW(h, EM_SETLIMITTEXT, static_cast<WPARAM>(std::max(box.MaxLength(), 0)), 0);
      break;
    }
    case ControlKind::ComboBox: {
      auto& combo = static_cast<ComboBox&>(c);
      SyncEntries(h, n.items, combo.Items(), combo.ListIndex(), kComboMessages);
      break;
    }
    case ControlKind::ListBox: {
      auto& list = static_cast<ListBox&>(c);
      SyncEntries(h, n.items, list.Items(), list.ListIndex(), kListMessages);
      break;
    }
    case ControlKind::ScrollBar: {
      auto& bar = static_cast<ScrollBar&>(c);
      SCROLLINFO si{};
      si.cbSize = sizeof(si);
      si.fMask = SIF_RANGE | SIF_POS;
      ::GetScrollInfo(h, SB_CTL, &si);
      if (si.nMin != bar.Min() || si.nMax != bar.Max() || si.nPos != bar.Value()) {
        si.fMask = SIF_RANGE | SIF_POS | SIF_PAGE;
        si.nMin = bar.Min();
        si.nMax = bar.Max();
        si.nPage = 0;
        si.nPos = bar.Value();
        ::SetScrollInfo(h, SB_CTL, &si, TRUE);
      }
      break;
    }
    case ControlKind::Image: {
      const std::string& role = static_cast<Image&>(c).Picture();
      if (role != n.picture) {
        n.picture = role;
        ::SetWindowLongPtrW(h, GWLP_USERDATA, PictureResource(role));
        ::InvalidateRect(h, nullptr, TRUE);
      }
      break;
    }
    case ControlKind::Toolbar:
      SyncToolbar(n);
      break;
    case ControlKind::StatusBar:
      SyncStatusBar(n);
      break;
    case ControlKind::MenuEntry:
      break;
  }

  if (!n.has_colour || !(n.colour == c.BackColour())) {
    const bool first = !n.has_colour;
    n.has_colour = true;
    n.colour = c.BackColour();
    if (!first) ::InvalidateRect(h, nullptr, TRUE);
  }
  syncing_ = was_syncing;
}

void NativeWindow::SyncToolbar(Native& n) {
  const auto& toolbar = static_cast<const Toolbar&>(*n.model);
  for (int i = 0; i < toolbar.ButtonCount(); ++i) {
    const ToolbarButton& b = toolbar.Buttons()[static_cast<std::size_t>(i)];
    const WPARAM id = static_cast<WPARAM>(kFirstToolbarId + i + 1);
    const bool enabled = b.enabled && toolbar.Enabled();
    if ((::SendMessageW(n.hwnd, TB_ISBUTTONENABLED, id, 0) != 0) != enabled)
      ::SendMessageW(n.hwnd, TB_ENABLEBUTTON, id, MAKELPARAM(enabled ? TRUE : FALSE, 0));
    if ((::SendMessageW(n.hwnd, TB_ISBUTTONHIDDEN, id, 0) != 0) != !b.visible)
      ::SendMessageW(n.hwnd, TB_HIDEBUTTON, id, MAKELPARAM(b.visible ? FALSE : TRUE, 0));
  }
}

void NativeWindow::SyncStatusBar(Native& n) {
  const auto& bar = static_cast<const StatusBar&>(*n.model);
  const int count = std::min(static_cast<int>(bar.Panels().size()), 2);
  for (int i = 0; i < count; ++i) {
    const StatusPanel& p = bar.Panels()[static_cast<std::size_t>(i)];
    const std::wstring want = win::Widen(p.text);
    const int len = LOWORD(::SendMessageW(n.hwnd, SB_GETTEXTLENGTHW, static_cast<WPARAM>(i), 0));
    std::wstring have(static_cast<std::size_t>(len) + 1, L'\0');
    ::SendMessageW(n.hwnd, SB_GETTEXTW, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(have.data()));
    have.resize(static_cast<std::size_t>(len));
    if (have != want)
      ::SendMessageW(n.hwnd, SB_SETTEXTW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(want.c_str()));
    if (n.status_images[i] != p.image) {
      n.status_images[i] = p.image;
      HICON icon = icons_.Get(StatusPictureResource(p.image), ::MulDiv(kStatusPicture, dpi_, 96));
      ::SendMessageW(n.hwnd, SB_SETICON, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(icon));
    }
  }
}

// ------------------------------------------------------------------ input

NativeWindow::Native* NativeWindow::ByHwnd(HWND hwnd) {
  for (auto& n : natives_)
    if (n->hwnd == hwnd) return n.get();
  return nullptr;
}

void NativeWindow::ClickButtonWith(bool (*pick)(const CommandButton&)) {
  for (Control* c : model_.Controls()) {
    if (c->Kind() != ControlKind::CommandButton) continue;
    auto& b = static_cast<CommandButton&>(*c);
    if (pick(b) && EffectivelyVisible(b) && b.Enabled()) {
      b.Click();
      return;
    }
  }
  // Escape in a helper window without a cancel button closes it, as the
  // close box does.
  if (pick == &IsCancelButton && options_.owner != nullptr) model_.Close();
}

LRESULT NativeWindow::OnCommand(WPARAM wp, LPARAM lp) {
  const int id = LOWORD(wp);
  const int code = HIWORD(wp);
  if (id == IDOK || id == IDCANCEL) {
    ClickButtonWith(id == IDOK ? &IsDefaultButton : &IsCancelButton);
    return 0;
  }
  if (lp == 0) {
    const auto it = menu_ids_.find(id);
    if (it != menu_ids_.end()) it->second->Click();
    return 0;
  }
  Native* n = ByHwnd(reinterpret_cast<HWND>(lp));
  if (n == nullptr || syncing_) return 0;
  Control& c = *n->model;
  switch (c.Kind()) {
    case ControlKind::Toolbar:
      if (id > kFirstToolbarId) static_cast<Toolbar&>(c).ClickButton(id - kFirstToolbarId);
      break;
    case ControlKind::CheckBox:
      if (code == BN_CLICKED) static_cast<CheckBox&>(c).Click();
      break;
    case ControlKind::CommandButton:
      if (code == BN_CLICKED) static_cast<CommandButton&>(c).Click();
      break;
    case ControlKind::TextBox:
      if (code == EN_CHANGE) {
        static_cast<TextBox&>(c).SetText(win::Narrow(WindowText(n->hwnd)));
      } else if (code == EN_KILLFOCUS) {
        static_cast<TextBox&>(c).LostFocus();
      }
      break;
    case ControlKind::ComboBox:
      if (code == CBN_SELCHANGE)
        static_cast<ComboBox&>(c).SetListIndex(
            static_cast<int>(::SendMessageW(n->hwnd, CB_GETCURSEL, 0, 0)));
      break;
    case ControlKind::ListBox:
      if (code == LBN_SELCHANGE)
        static_cast<ListBox&>(c).SetListIndex(
            static_cast<int>(::SendMessageW(n->hwnd, LB_GETCURSEL, 0, 0)));
      else if (code == LBN_DBLCLK)
        static_cast<ListBox&>(c).DoubleClick();
      break;
    default:
      break;
  }
  return 0;
}

void NativeWindow::OnScroll(Native& n, int code) {
  auto& bar = static_cast<ScrollBar&>(*n.model);
  switch (code) {
    case SB_LINELEFT:
      bar.StepSmall(-1);
      break;
    case SB_LINERIGHT:
      bar.StepSmall(+1);
      break;
    case SB_PAGELEFT:
      bar.StepLarge(-1);
      break;
    case SB_PAGERIGHT:
      bar.StepLarge(+1);
      break;
    case SB_LEFT:
      bar.SetValue(bar.Min());
      break;
    case SB_RIGHT:
      bar.SetValue(bar.Max());
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
      SCROLLINFO si{};
      si.cbSize = sizeof(si);
      si.fMask = SIF_TRACKPOS;
      ::GetScrollInfo(n.hwnd, SB_CTL, &si);
      bar.DragTo(si.nTrackPos);
      // Letting go of the thumb is the change; dragging only scrolls.
      if (code == SB_THUMBPOSITION) bar.EndDrag();
      break;
    }
    default:
      break;
  }
  SyncControl(n);
}

HBRUSH NativeWindow::BrushFor(COLORREF colour) {
  auto it = brushes_.find(colour);
  if (it == brushes_.end()) it = brushes_.emplace(colour, ::CreateSolidBrush(colour)).first;
  return it->second;
}

LRESULT NativeWindow::OnColour(HDC dc, HWND control, bool edit) {
  Native* n = ByHwnd(control);
  if (n != nullptr) {
    const Colour colour = n->model->BackColour();
    if (!colour.IsSystem()) {
      ::SetBkColor(dc, ToColorRef(colour.GetRgb()));
      ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(BrushFor(ToColorRef(colour.GetRgb())));
    }
    if (colour.System() == SystemColour::ButtonFace) {
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    if (colour.System() == SystemColour::WindowBackground) {
      // A read-only box still looks like a box to read, not a label.
      ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
      ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    }
  }
  return ::DefWindowProcW(hwnd_, edit ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC,
                          reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
}

LRESULT NativeWindow::OnNotify(NMHDR& hdr) {
  // Toolbar button tips come from the model's buttons.
  int command = -1;
  if (hdr.code == TBN_GETINFOTIPW) command = reinterpret_cast<NMTBGETINFOTIPW&>(hdr).iItem;
  if (hdr.code == TTN_GETDISPINFOW) command = static_cast<int>(hdr.idFrom);
  if (command <= kFirstToolbarId || command >= kFirstMenuId) return 0;
  for (auto& n : natives_) {
    if (n->model->Kind() != ControlKind::Toolbar) continue;
    const ToolbarButton* b = static_cast<Toolbar&>(*n->model).Button(command - kFirstToolbarId);
    if (b == nullptr) return 0;
    tip_buffer_ = win::Widen(b->tooltip);
    if (hdr.code == TBN_GETINFOTIPW) {
      auto& tip = reinterpret_cast<NMTBGETINFOTIPW&>(hdr);
      if (tip.pszText != nullptr && tip.cchTextMax > 0) {
        const std::size_t n_chars =
            std::min<std::size_t>(tip_buffer_.size(), static_cast<std::size_t>(tip.cchTextMax - 1));
        std::copy_n(tip_buffer_.c_str(), n_chars, tip.pszText);
        tip.pszText[n_chars] = L'\0';
      }
    } else {
      reinterpret_cast<NMTTDISPINFOW&>(hdr).lpszText = tip_buffer_.data();
    }
  }
  return 0;
}

void NativeWindow::OnDpiChanged(int dpi, const RECT* suggested) {
  dpi_ = dpi;
  CreateFonts();
  for (auto& n : natives_) {
    ::SendMessageW(n->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    if (n->model->Kind() == ControlKind::Toolbar) {
      CreateToolbarImages();
      ::SendMessageW(n->hwnd, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolbar_images_));
    }
  }
  if (suggested != nullptr)
    ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ApplyLayout();
  for (auto& n : natives_) SyncControl(*n);
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

// ------------------------------------------------------------------ procedures

LRESULT CALLBACK NativeWindow::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<NativeWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->hwnd_ != hwnd) return ::DefWindowProcW(hwnd, msg, wp, lp);
  return self->Handle(msg, wp, lp);
}

LRESULT NativeWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      return OnCommand(wp, lp);
    case WM_HSCROLL:
      if (lp != 0) {
        if (Native* n = ByHwnd(reinterpret_cast<HWND>(lp)); n != nullptr && !syncing_)
          OnScroll(*n, LOWORD(wp));
        return 0;
      }
      break;
    case WM_NOTIFY:
      if (lp != 0) return OnNotify(*reinterpret_cast<NMHDR*>(lp));
      break;
    case WM_CTLCOLOREDIT:
      return OnColour(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), true);
    case WM_CTLCOLORSTATIC:
      return OnColour(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), false);
    case WM_CLOSE:
      // The model decides what closing means (the main window ends the
      // program, a helper window stores its values), and may ask first.
      if (model_.QueryUnload()) model_.Close();
      return 0;
    case WM_SETCURSOR:
      if (wait_cursor_) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_SIZE:
      for (auto& n : natives_)
        if (n->model->Kind() == ControlKind::StatusBar || n->model->Kind() == ControlKind::Toolbar)
          ::SendMessageW(n->hwnd, WM_SIZE, 0, 0);
      break;
    case 0x02E0:  // WM_DPICHANGED: the window moved to a screen of another DPI
      OnDpiChanged(HIWORD(wp), reinterpret_cast<const RECT*>(lp));
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK NativeWindow::PictureProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      RECT r{};
      ::GetClientRect(hwnd, &r);
      ::FillRect(dc, &r, ::GetSysColorBrush(COLOR_BTNFACE));
      const int resource = static_cast<int>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      HWND parent = ::GetParent(hwnd);
      auto it = ByHandle().find(parent);
      if (it != ByHandle().end() && resource != 0) {
        const int size = std::min(r.right - r.left, r.bottom - r.top);
        if (HICON icon = it->second->icons_.Get(resource, size))
          ::DrawIconEx(dc, (r.right - size) / 2, (r.bottom - size) / 2, icon, size, size, 0,
                       nullptr, DI_NORMAL);
      }
      ::EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_NCHITTEST:
      // Clicks and tips go to whatever lies beneath.
      return HTTRANSPARENT;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace ebbmark::win32view

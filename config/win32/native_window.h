#pragma once
// A native window that shows one window model: a top-level window with one
// native control per model control, kept in step with the model's change
// signals. What the user does goes back to the model through its setters
// and user-action methods; the view decides nothing itself.

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/model/controls.h"
#include "config/model/tool_windows.h"
#include "config/win32/pictures.h"

namespace ebbmark::win32view {

class NativeWindow {
 public:
  // The main window's class, which a second copy of the program looks for.
  static constexpr const wchar_t* kMainClass = L"EbbmarkMainWindow";
  static constexpr const wchar_t* kToolClass = L"EbbmarkToolWindow";

  struct Options {
    // The window this one is shown over; null for the main window.
    HWND owner = nullptr;
    // The mouse pointer the model asks for while it works (service and
    // email windows); empty: always the default.
    std::function<MousePointer()> pointer;
  };

  NativeWindow(Window& model, Options options);
  ~NativeWindow();
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  HWND Hwnd() const { return hwnd_; }
  Window& Model() const { return model_; }

  // Registers the window classes; once per program.
  static bool RegisterClasses(HINSTANCE instance);
  // Keyboard navigation (Tab, Enter, Escape) for the program's windows;
  // true when the message was used.
  static bool PreTranslate(MSG& msg);
  // The native window showing `model`; null when there is none.
  static NativeWindow* For(const Window* model);

  // The screen's pixels per inch for this window.
  int Dpi() const { return dpi_; }

 private:
  struct Native {
    Control* model = nullptr;
    HWND hwnd = nullptr;
    int id = 0;
    int connection = 0;
    // What was last written, so nothing is written twice.
    std::vector<std::string> items;
    std::string picture;
    int status_images[2] = {-1, -1};
    bool has_colour = false;
    Colour colour = SystemColour::ButtonFace;
  };

  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK PictureProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);

  void CreateControls();
  void CreateMenus();
  void AddMenuEntries(HMENU menu, const std::vector<MenuEntry*>& entries);
  void CreateFonts();
  bool CaptionsFit(HFONT font) const;
  HFONT NamedFontFor(const std::string& name, const std::wstring& text, int room);
  void CreateToolbarImages();
  void ApplyLayout();
  void ApplyStacking();
  void SyncWindow();
  void SyncControl(Native& n);
  void SyncVisibility(Native& n);
  void SyncToolbar(Native& n);
  void SyncStatusBar(Native& n);
  void SyncMenu(MenuEntry& entry);
  void AddToolTip(Native& n);

  Native* ByHwnd(HWND hwnd);
  int Px(int twips) const;

  LRESULT OnCommand(WPARAM wp, LPARAM lp);
  void OnScroll(Native& n, int code);
  LRESULT OnColour(HDC dc, HWND control, bool edit);
  LRESULT OnNotify(NMHDR& hdr);
  void OnDpiChanged(int dpi, const RECT* suggested);
  void ClickButtonWith(bool (*pick)(const CommandButton&));

  HBRUSH BrushFor(COLORREF colour);

  Window& model_;
  Options options_;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  HMENU menu_ = nullptr;
  HFONT font_ = nullptr;
  // Fonts asked for by name, by name and pixel height.
  std::map<std::pair<std::string, int>, HFONT> named_fonts_;
  HIMAGELIST toolbar_images_ = nullptr;
  int dpi_ = 96;
  // Extra room the native toolbar needs above the model's toolbar height;
  // everything below the toolbar moves down by it.
  int toolbar_extra_ = 0;
  std::vector<std::unique_ptr<Native>> natives_;
  std::map<int, MenuEntry*> menu_ids_;
  std::map<MenuEntry*, int> menu_connections_;
  std::map<COLORREF, HBRUSH> brushes_;
  IconCache icons_;
  int window_connection_ = 0;
  // The model's outer size last applied, in twips.
  int applied_width_ = -1, applied_height_ = -1;
  // Tooltip text handed to the toolbar's tooltip; must outlive the call.
  std::wstring tip_buffer_;
  // Writing a value into a native control raises its own notification;
  // while set, such notifications are not the user's and are dropped.
  bool syncing_ = false;
  bool wait_cursor_ = false;
};

}  // namespace ebbmark::win32view

#pragma once
// The native Qt window of one model window. It creates a widget for every
// control of the model (named after the control, placed from its twips
// position scaled for the screen), keeps the widgets in step with the
// model's change events, and hands every user action to the model. It holds
// no behaviour of its own.
//
// A window with a toolbar, menus or a status bar becomes a QMainWindow; any
// other one a QDialog, shown modally by ExecModal.

#include <functional>
#include <map>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "config/model/controls.h"
#include "config/model/tool_windows.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;

namespace ebbmark {

// Twips to pixels for the screen: 15 twips are one pixel at 96 DPI, scaled
// up with the screen's logical DPI and with a user font larger than the one
// the windows were laid out for, so captions are never cut off.
double PixelsPerTwip();
// The same, grown where needed so that every caption of `window` fits its
// control in the user's font.
double FittingPixelsPerTwip(const Window& window);
// The width in pixels a line edit has for its text.
double TextRoom(const QLineEdit* edit);

class WindowView : public QObject {
  Q_OBJECT

 public:
  // `parent`: the owner window's widget (a dialog stays over it), or null.
  WindowView(Window& model, QWidget* parent);
  ~WindowView() override;
  WindowView(const WindowView&) = delete;
  WindowView& operator=(const WindowView&) = delete;

  QWidget* Widget() const { return top_; }
  Window& Model() const { return model_; }

  // Shows the dialog modally and returns once the model has closed it.
  void ExecModal();

  // The mouse pointer the model asks for while it works; re-read on every
  // change of the window. Unset: the default pointer.
  std::function<MousePointer()> pointer;

  int Px(int twips) const;

 private:
  void Build();
  void BuildControl(Control& c);
  void BuildToolbar(Toolbar& t);
  void BuildStatusBar(StatusBar& s);
  void BuildMenu(MenuEntry& m, QMenu* parent_menu);
  void Watch(Control& c);

  void Sync(Control& c);
  void SyncCommon(Control& c, QWidget* w);
  void SyncToolbar(Toolbar& t);
  void SyncStatusBar(StatusBar& s);
  void SyncMenu(MenuEntry& m);
  void SyncWindow();
  void UserClose();

  Window& model_;
  QPointer<QWidget> top_;
  QWidget* client_ = nullptr;
  bool is_main_ = false;
  int top_offset_ = 0;  // twips taken by the toolbar above the client area
  double scale_ = 1.0;

  std::map<const Control*, QWidget*> widgets_;
  std::map<const Control*, QAction*> menu_actions_;
  std::map<std::string, QAction*> toolbar_actions_;
  QLabel* status_image_ = nullptr;
  std::vector<QLabel*> status_panels_;
  std::vector<std::pair<Signal*, int>> connections_;
};

}  // namespace ebbmark

#include "config/qt/window_view.h"

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolBar>

#include "config/qt/pictures.h"

namespace ebbmark {
namespace {

// The windows were laid out for a font whose lines are 13 pixels high at
// 96 DPI.
constexpr double kDesignLineHeight = 13.0;
// Outer size in twips that the window's frame and title bar take; the rest
// is the client area the controls are placed in.
constexpr int kFrameWidth = 90;
constexpr int kFrameHeight = 405;
constexpr int kMenuBarHeight = 300;
// Toolbar pictures are drawn 32 pixels square at 96 DPI, status pictures 16.
constexpr int kToolbarPicture = 480;
constexpr int kStatusPicture = 240;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Hands every typed character of a text box to the model before it lands;
// one the model drops never reaches the box, so the caret stays where the
// user is typing. Pasting and the program's own writes are not typing.
class KeyPressFilter final : public QObject {
 public:
  KeyPressFilter(TextBox& box, QObject* parent) : QObject(parent), box_(box) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const QString text = key->text();
    if (text.isEmpty() || (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
      return false;
    QString kept;
    bool dropped = false;
    for (const char32_t c : text.toUcs4()) {
      // Control characters (Backspace, Enter, Tab) are editing, not typing.
      if (c < 0x20 || c == 0x7f || box_.KeyPress(c))
        kept += QString::fromUcs4(&c, 1);
      else
        dropped = true;
    }
    if (!dropped) return false;
    if (!kept.isEmpty()) {
      auto* edit = static_cast<QLineEdit*>(watched);
      edit->insert(kept);
      box_.SetText(edit->text().toStdString());
    }
    return true;
  }

 private:
  TextBox& box_;
};

// A box that asks for a font of its own (the relay host box) gets that face
// in fixed pitch, at the application's size or smaller, down to a floor
// that stays readable, so that its whole text fits: the not-configured
// notice with its turning mark must be read to its end.
constexpr double kSmallestNamedPoints = 6.0;

QFont NamedFontFitting(const QString& text, double room) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  const double design = QApplication::font().pointSizeF();
  for (double points = design; points >= kSmallestNamedPoints; points -= 0.5) {
    font.setPointSizeF(points);
    if (QFontMetricsF(font).horizontalAdvance(text) <= room) return font;
  }
  font.setPointSizeF(kSmallestNamedPoints);
  return font;
}

// The main window: closing it is the user's Exit.
class ModelMainWindow final : public QMainWindow {
 public:
  std::function<bool()> can_close;
  std::function<void()> on_close;

 protected:
  void closeEvent(QCloseEvent* event) override {
    // The model may ask first (a save still waiting for a password).
    if (can_close && !can_close()) {
      event->ignore();
      return;
    }
    if (on_close) on_close();
    event->accept();
  }
};

// A modal window: Escape and the title bar's close button go through the
// model, which closes the window (or not) itself.
class ModelDialog final : public QDialog {
 public:
  using QDialog::QDialog;
  std::function<void()> on_reject;

  void reject() override {
    if (on_reject) on_reject();
  }
};

bool NeedsMainWindow(const Window& w) {
  if (!w.Menus().empty()) return true;
  return std::any_of(w.Controls().begin(), w.Controls().end(), [](const Control* c) {
    return c->Kind() == ControlKind::Toolbar || c->Kind() == ControlKind::StatusBar;
  });
}

void ApplyBackColour(QWidget* w, const Colour& colour) {
  if (colour.IsSystem()) {
    // The theme's own colour: drop anything set before.
    if (w->property("ebbmarkColoured").toBool()) {
      w->setPalette(QPalette());
      w->setProperty("ebbmarkColoured", false);
    }
    return;
  }
  const Rgb rgb = colour.GetRgb();
  QPalette palette = w->palette();
  palette.setColor(QPalette::Base, QColor(rgb.r, rgb.g, rgb.b));
  palette.setColor(QPalette::Window, QColor(rgb.r, rgb.g, rgb.b));
  // The validation colours are light: dark text stays readable on them in
  // a dark theme too.
  palette.setColor(QPalette::Text, Qt::black);
  w->setPalette(palette);
  w->setProperty("ebbmarkColoured", true);
}

QStringList Items(const std::vector<std::string>& items) {
  QStringList list;
  list.reserve(static_cast<qsizetype>(items.size()));
  for (const auto& i : items) list.push_back(Q(i));
  return list;
}

// Whether every caption of the window fits its control at `scale` pixels per
// twip: one-line captions in their width, wrapping ones in their box.
bool CaptionsFit(const Window& window, double scale) {
  const QFontMetricsF fm(QApplication::font());
  const QStyle* style = QApplication::style();
  const auto px = [scale](int twips) { return twips * scale; };
  for (const Control* c : window.Controls()) {
    const double width = px(c->Width());
    const QString caption = QString::fromStdString(c->Caption());
    switch (c->Kind()) {
      case ControlKind::Label:
        if (caption.isEmpty()) break;
        if (c->Height() > 300) {
          const QRectF need = fm.boundingRect(QRectF(0, 0, width, 1e6), Qt::TextWordWrap, caption);
          if (need.height() > px(c->Height())) return false;
        } else if (fm.horizontalAdvance(caption) + 2 > width) {
          return false;
        }
        break;
      case ControlKind::CheckBox:
        if (style->pixelMetric(QStyle::PM_IndicatorWidth) +
                style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) +
                fm.horizontalAdvance(caption) + 4 >
            width)
          return false;
        break;
      case ControlKind::CommandButton:
      case ControlKind::Frame:
        if (fm.horizontalAdvance(caption) + 2 * style->pixelMetric(QStyle::PM_ButtonMargin) + 4 >
            width)
          return false;
        break;
      case ControlKind::ComboBox: {
        // The longest entry beside the drop-down arrow.
        double longest = 0;
        for (const auto& item : static_cast<const ComboBox*>(c)->Items())
          longest = std::max(longest, fm.horizontalAdvance(QString::fromStdString(item)));
        if (longest > 0 && longest + fm.height() + 16 > width) return false;
        break;
      }
      default:
        break;
    }
  }
  return true;
}

}  // namespace

double TextRoom(const QLineEdit* edit) {
  // The frame, the box's fixed inner margin of 2 pixels a side, and any
  // text margins set on it.
  QStyleOptionFrame option;
  option.initFrom(edit);
  const int frame = edit->hasFrame()
                        ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                        : 0;
  const QMargins margins = edit->textMargins();
  return edit->width() - 2 * frame - 4 - margins.left() - margins.right();
}

double FittingPixelsPerTwip(const Window& window) {
  const double base = PixelsPerTwip();
  // Grows in small steps, up to twice the screen's own size.
  for (int step = 0; step <= 50; ++step) {
    const double scale = base * (1.0 + step * 0.02);
    if (CaptionsFit(window, scale)) return scale;
  }
  return base * 2.0;
}

double PixelsPerTwip() {
  double dpi = 96.0;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) dpi = screen->logicalDotsPerInch();
  if (dpi <= 0) dpi = 96.0;
  const double expected = kDesignLineHeight * dpi / 96.0;
  const double line = QFontMetricsF(QApplication::font()).height();
  const double font_factor = std::max(1.0, line / expected);
  return dpi / 1440.0 * font_factor;
}

WindowView::WindowView(Window& model, QWidget* parent)
    : model_(model), scale_(FittingPixelsPerTwip(model)) {
  is_main_ = NeedsMainWindow(model_);
  if (is_main_) {
    auto* main = new ModelMainWindow;
    main->can_close = [this] { return model_.QueryUnload(); };
    main->on_close = [this] { UserClose(); };
    client_ = new QWidget(main);
    client_->setObjectName(QStringLiteral("client"));
    main->setCentralWidget(client_);
    top_ = main;
  } else {
    auto* dialog = new ModelDialog(parent);
    dialog->on_reject = [this] { UserClose(); };
    dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    client_ = dialog;
    top_ = dialog;
  }
  top_->setObjectName(Q(model_.Name()));
  top_->setWindowIcon(ProgramIcon());
  Build();
}

WindowView::~WindowView() {
  for (auto& [signal, id] : connections_) signal->Disconnect(id);
  if (!top_) return;
  // Widgets going away lose the focus and would report it: nothing of the
  // model is told any more once the view is being taken down.
  top_->disconnect(this);
  for (QObject* child : top_->findChildren<QObject*>()) child->disconnect(this);
  delete top_.data();
}

int WindowView::Px(int twips) const {
  return static_cast<int>(std::lround(twips * scale_));
}

void WindowView::Build() {
  for (Control* c : model_.Controls()) {
    if (c->Kind() == ControlKind::Toolbar && is_main_) top_offset_ = c->Top() + c->Height();
  }
  for (Control* c : model_.Controls()) BuildControl(*c);
  if (is_main_) {
    for (MenuEntry* m : model_.Menus()) BuildMenu(*m, nullptr);
  }

  const int id = model_.changed.Connect([this] { SyncWindow(); });
  connections_.emplace_back(&model_.changed, id);
  const int closed = model_.closed.Connect([this] {
    if (auto* dialog = qobject_cast<QDialog*>(top_.data())) dialog->done(QDialog::Accepted);
  });
  connections_.emplace_back(&model_.closed, closed);
  SyncWindow();
}

void WindowView::Watch(Control& c) {
  const int id = c.changed.Connect([this, &c] { Sync(c); });
  connections_.emplace_back(&c.changed, id);
}

void WindowView::BuildControl(Control& c) {
  if (c.Kind() == ControlKind::Toolbar) {
    BuildToolbar(static_cast<Toolbar&>(c));
    return;
  }
  if (c.Kind() == ControlKind::StatusBar) {
    BuildStatusBar(static_cast<StatusBar&>(c));
    return;
  }
  QWidget* parent = client_;
  if (c.Container()) {
    const auto it = widgets_.find(c.Container());
    if (it != widgets_.end()) parent = it->second;
  }

  QWidget* w = nullptr;
  switch (c.Kind()) {
    case ControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      // A label taller than one row wraps its caption; a one-row label
      // lines up with the box beside it.
      const bool tall = c.Height() > 300;
      label->setWordWrap(tall);
      label->setAlignment(Qt::AlignLeft | (tall ? Qt::AlignTop : Qt::AlignVCenter));
      w = label;
      break;
    }
    case ControlKind::Frame:
      w = new QGroupBox(parent);
      break;
    case ControlKind::TextBox: {
      auto& box = static_cast<TextBox&>(c);
      auto* edit = new QLineEdit(parent);
      connect(edit, &QLineEdit::textEdited, this, [&box, this](const QString& text) {
        box.SetText(text.toStdString());
        Sync(box);
      });
      connect(edit, &QLineEdit::editingFinished, this, [&box] { box.LostFocus(); });
      edit->installEventFilter(new KeyPressFilter(box, edit));
      w = edit;
      break;
    }
    case ControlKind::ComboBox: {
      auto& combo = static_cast<ComboBox&>(c);
      auto* qc = new QComboBox(parent);
      connect(qc, &QComboBox::activated, this, [&combo, this](int index) {
        combo.SetListIndex(index);
        Sync(combo);
      });
      w = qc;
      break;
    }
    case ControlKind::CheckBox: {
      auto& check = static_cast<CheckBox&>(c);
      auto* qc = new QCheckBox(parent);
      connect(qc, &QCheckBox::clicked, this, [&check, this] {
        check.Click();
        Sync(check);
      });
      w = qc;
      break;
    }
    case ControlKind::ScrollBar: {
      auto& bar = static_cast<ScrollBar&>(c);
      auto* qs = new QScrollBar(Qt::Horizontal, parent);
      // These bars set values: Left lowers the value and Right raises it
      // (Qt's scroll bars turn the keys round for scrolling content), and
      // they take the keyboard focus like any other setting.
      qs->setInvertedControls(false);
      qs->setFocusPolicy(Qt::StrongFocus);
      // Dragging the thumb is the model's scroll event; any other move (an
      // arrow, a page step, a key) is a finished change at once.
      connect(qs, &QScrollBar::valueChanged, this, [&bar, qs, this](int value) {
        if (qs->isSliderDown())
          bar.DragTo(value);
        else
          bar.SetValue(value);
        Sync(bar);
      });
      connect(qs, &QScrollBar::sliderReleased, this, [&bar] { bar.EndDrag(); });
      w = qs;
      break;
    }
    case ControlKind::Image: {
      auto* label = new QLabel(parent);
      label->setAlignment(Qt::AlignCenter);
      w = label;
      break;
    }
    case ControlKind::ListBox: {
      auto& list = static_cast<ListBox&>(c);
      auto* ql = new QListWidget(parent);
      // What the user selects, not where the keyboard cursor stands: a list
      // that gains the focus puts its cursor on the first entry without
      // selecting it, and nothing may be chosen before the user does.
      connect(ql, &QListWidget::itemSelectionChanged, this, [&list, ql] {
        const QList<QListWidgetItem*> selected = ql->selectedItems();
        const int row = selected.isEmpty() ? -1 : ql->row(selected.front());
        if (row != list.ListIndex()) list.SetListIndex(row);
      });
      connect(ql, &QListWidget::itemDoubleClicked, this, [&list, ql](QListWidgetItem* item) {
        const int row = ql->row(item);
        if (row != list.ListIndex()) list.SetListIndex(row);
        list.DoubleClick();
      });
      w = ql;
      break;
    }
    case ControlKind::CommandButton: {
      auto& button = static_cast<CommandButton&>(c);
      auto* qb = new QPushButton(parent);
      qb->setAutoDefault(false);
      connect(qb, &QPushButton::clicked, this, [&button] { button.Click(); });
      w = qb;
      break;
    }
    case ControlKind::Toolbar:
    case ControlKind::StatusBar:
    case ControlKind::MenuEntry:
      return;
  }
  w->setObjectName(Q(c.Name()));
  widgets_[&c] = w;
  Watch(c);
  Sync(c);
}

void WindowView::BuildToolbar(Toolbar& t) {
  auto* main = qobject_cast<QMainWindow*>(top_.data());
  if (!main) return;
  auto* bar = new QToolBar(main);
  bar->setObjectName(Q(t.Name()));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setContextMenuPolicy(Qt::PreventContextMenu);
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  const int picture = Px(kToolbarPicture);
  bar->setIconSize(QSize(picture, picture));
  for (const ToolbarButton& b : t.Buttons()) {
    auto* action = bar->addAction(Q(b.caption));
    action->setObjectName(Q(t.Name() + "_" + b.key));
    QIcon icon;
    for (qreal ratio : {1.0, 2.0})
      icon.addPixmap(PicturePixmap(b.image, QSize(picture, picture), ratio));
    action->setIcon(icon);
    const std::string key = b.key;
    connect(action, &QAction::triggered, this, [&t, key] { t.ClickButton(key); });
    toolbar_actions_[b.key] = action;
  }
  main->addToolBar(Qt::TopToolBarArea, bar);
  widgets_[&t] = bar;
  const int id = t.changed.Connect([this, &t] { SyncToolbar(t); });
  connections_.emplace_back(&t.changed, id);
  SyncToolbar(t);
}

void WindowView::BuildStatusBar(StatusBar& s) {
  auto* main = qobject_cast<QMainWindow*>(top_.data());
  if (!main) return;
  auto* bar = new QStatusBar(main);
  bar->setObjectName(Q(s.Name()));
  bar->setSizeGripEnabled(false);
  for (std::size_t i = 0; i < s.Panels().size(); ++i) {
    const StatusPanel& p = s.Panels()[i];
    auto* panel = new QWidget(bar);
    panel->setObjectName(Q(s.Name() + "Panel" + std::to_string(i + 1)));
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(Px(60));
    if (i == 0) {
      status_image_ = new QLabel(panel);
      status_image_->setObjectName(Q(s.Name() + "Image1"));
      status_image_->setFixedSize(Px(kStatusPicture), Px(kStatusPicture));
      layout->addWidget(status_image_);
    }
    auto* text = new QLabel(panel);
    text->setObjectName(Q(s.Name() + "Text" + std::to_string(i + 1)));
    text->setTextFormat(Qt::PlainText);
    layout->addWidget(text, 1);
    status_panels_.push_back(text);
    if (p.width > 0) {
      panel->setFixedWidth(Px(p.width));
      bar->addWidget(panel);
    } else {
      bar->addWidget(panel, 1);
    }
  }
  main->setStatusBar(bar);
  widgets_[&s] = bar;
  const int id = s.changed.Connect([this, &s] { SyncStatusBar(s); });
  connections_.emplace_back(&s.changed, id);
  SyncStatusBar(s);
}

void WindowView::BuildMenu(MenuEntry& m, QMenu* parent_menu) {
  auto* main = qobject_cast<QMainWindow*>(top_.data());
  QAction* action = nullptr;
  if (m.IsSeparator()) {
    if (parent_menu) action = parent_menu->addSeparator();
  } else if (!m.Entries().empty()) {
    QMenu* menu = parent_menu ? parent_menu->addMenu(Q(m.Caption()))
                              : main->menuBar()->addMenu(Q(m.Caption()));
    menu->setObjectName(Q(m.Name()));
    action = menu->menuAction();
    for (MenuEntry* child : m.Entries()) BuildMenu(*child, menu);
  } else {
    action = parent_menu ? parent_menu->addAction(Q(m.Caption()))
                         : main->menuBar()->addAction(Q(m.Caption()));
    connect(action, &QAction::triggered, this, [&m] { m.Click(); });
  }
  if (!action) return;
  action->setObjectName(Q(m.Name()));
  menu_actions_[&m] = action;
  const int id = m.changed.Connect([this, &m] { SyncMenu(m); });
  connections_.emplace_back(&m.changed, id);
  SyncMenu(m);
}

// ------------------------------------------------------------------ keeping in step

void WindowView::SyncCommon(Control& c, QWidget* w) {
  const Rect& r = c.Geometry();
  const int top = c.Container() ? r.top : r.top - top_offset_;
  w->setGeometry(Px(r.left), Px(top), Px(r.width), Px(r.height));
  w->setEnabled(c.Enabled());
  w->setHidden(!c.Visible());
  w->setToolTip(Q(c.ToolTip()));
}

void WindowView::Sync(Control& c) {
  const auto it = widgets_.find(&c);
  if (it == widgets_.end()) return;
  QWidget* w = it->second;
  SyncCommon(c, w);
  switch (c.Kind()) {
    case ControlKind::Label:
      static_cast<QLabel*>(w)->setText(Q(c.Caption()));
      break;
    case ControlKind::Frame:
      static_cast<QGroupBox*>(w)->setTitle(Q(c.Caption()));
      break;
    case ControlKind::TextBox: {
      auto& box = static_cast<TextBox&>(c);
      auto* edit = static_cast<QLineEdit*>(w);
      const QString text = Q(box.Text());
      if (edit->text() != text) {
        // The caret stays where it was, as far as the new text allows.
        const int caret = edit->cursorPosition();
        const QSignalBlocker block(edit);
        edit->setText(text);
        if (edit->hasFocus()) edit->setCursorPosition(std::min(caret, int(text.size())));
      }
      edit->setReadOnly(box.Locked());
      // Setting the limit sets the text again, which puts the caret at the
      // end: only when it changes.
      const int limit = box.MaxLength() > 0 ? box.MaxLength() : 32767;
      if (edit->maxLength() != limit) edit->setMaxLength(limit);
      const auto echo = box.PasswordChar() ? QLineEdit::Password : QLineEdit::Normal;
      if (edit->echoMode() != echo) edit->setEchoMode(echo);
      ApplyBackColour(edit, box.BackColour());
      // The not-configured spinner wants its characters in fixed columns,
      // at a size at which the whole of it fits. The font changes only
      // when the size it needs does, not on every turn of the mark.
      const bool fixed_wanted = !box.FontName().empty();
      double points = 0;
      if (fixed_wanted) points = NamedFontFitting(text, TextRoom(edit)).pointSizeF();
      if (edit->property("ebbmarkFixedPoints").toDouble() != points) {
        edit->setProperty("ebbmarkFixedPoints", points);
        edit->setFont(fixed_wanted ? NamedFontFitting(text, TextRoom(edit)) : QFont());
      }
      break;
    }
    case ControlKind::ComboBox: {
      auto& combo = static_cast<ComboBox&>(c);
      auto* qc = static_cast<QComboBox*>(w);
      const QSignalBlocker block(qc);
      const QStringList items = Items(combo.Items());
      QStringList shown;
      for (int i = 0; i < qc->count(); ++i) shown.push_back(qc->itemText(i));
      if (shown != items) {
        qc->clear();
        qc->addItems(items);
      }
      qc->setCurrentIndex(combo.ListIndex());
      break;
    }
    case ControlKind::CheckBox: {
      auto& check = static_cast<CheckBox&>(c);
      auto* qc = static_cast<QCheckBox*>(w);
      const QSignalBlocker block(qc);
      qc->setText(Q(check.Caption()));
      qc->setCheckState(check.Value() == CheckBox::Checked  ? Qt::Checked
                        : check.Value() == CheckBox::Grayed ? Qt::PartiallyChecked
                                                            : Qt::Unchecked);
      break;
    }
    case ControlKind::ScrollBar: {
      auto& bar = static_cast<ScrollBar&>(c);
      auto* qs = static_cast<QScrollBar*>(w);
      const QSignalBlocker block(qs);
      qs->setRange(bar.Min(), bar.Max());
      qs->setSingleStep(bar.SmallChange());
      qs->setPageStep(bar.LargeChange());
      qs->setValue(bar.Value());
      break;
    }
    case ControlKind::Image: {
      auto& image = static_cast<Image&>(c);
      auto* label = static_cast<QLabel*>(w);
      const QString role = Q(image.Picture());
      // Pictures are drawn once per role and size, not on every blink.
      if (label->property("ebbmarkPicture").toString() != role ||
          label->property("ebbmarkPictureSize").toSize() != w->size()) {
        label->setPixmap(PicturePixmap(image.Picture(), w->size(), w->devicePixelRatioF()));
        label->setProperty("ebbmarkPicture", role);
        label->setProperty("ebbmarkPictureSize", w->size());
      }
      break;
    }
    case ControlKind::ListBox: {
      auto& list = static_cast<ListBox&>(c);
      auto* ql = static_cast<QListWidget*>(w);
      const QSignalBlocker block(ql);
      const QStringList items = Items(list.Items());
      QStringList shown;
      for (int i = 0; i < ql->count(); ++i) shown.push_back(ql->item(i)->text());
      if (shown != items) {
        ql->clear();
        ql->addItems(items);
      }
      if (list.ListIndex() < 0) {
        ql->clearSelection();
      } else if (ql->currentRow() != list.ListIndex() || ql->selectedItems().isEmpty()) {
        ql->setCurrentRow(list.ListIndex(), QItemSelectionModel::ClearAndSelect);
      }
      break;
    }
    case ControlKind::CommandButton: {
      auto& button = static_cast<CommandButton&>(c);
      auto* qb = static_cast<QPushButton*>(w);
      qb->setText(Q(button.Caption()));
      qb->setDefault(button.IsDefault());
      break;
    }
    case ControlKind::Toolbar:
    case ControlKind::StatusBar:
    case ControlKind::MenuEntry:
      break;
  }
}

void WindowView::SyncToolbar(Toolbar& t) {
  for (const ToolbarButton& b : t.Buttons()) {
    const auto it = toolbar_actions_.find(b.key);
    if (it == toolbar_actions_.end()) continue;
    QAction* action = it->second;
    action->setText(Q(b.caption));
    action->setToolTip(Q(b.tooltip.empty() ? b.caption : b.tooltip));
    action->setEnabled(b.enabled && t.Enabled());
    action->setVisible(b.visible);
  }
}

void WindowView::SyncStatusBar(StatusBar& s) {
  for (std::size_t i = 0; i < s.Panels().size() && i < status_panels_.size(); ++i) {
    status_panels_[i]->setText(Q(s.Panels()[i].text));
  }
  if (status_image_ && !s.Panels().empty()) {
    const int image = s.Panels()[0].image;
    if (status_image_->property("ebbmarkImage").toInt() != image) {
      status_image_->setPixmap(
          StatusPixmap(image, status_image_->size(), status_image_->devicePixelRatioF()));
      status_image_->setProperty("ebbmarkImage", image);
    }
  }
}

void WindowView::SyncMenu(MenuEntry& m) {
  const auto it = menu_actions_.find(&m);
  if (it == menu_actions_.end()) return;
  QAction* action = it->second;
  if (!m.IsSeparator()) action->setText(Q(m.Caption()));
  action->setEnabled(m.Enabled());
  action->setVisible(m.Visible());
  action->setCheckable(m.Checked());
  action->setChecked(m.Checked());
}

void WindowView::SyncWindow() {
  if (!top_) return;
  top_->setWindowTitle(Q(model_.Caption()));
  if (is_main_) {
    int height = model_.Height() - kFrameHeight - top_offset_;
    if (!model_.Menus().empty()) height -= kMenuBarHeight;
    for (const Control* c : model_.Controls())
      if (c->Kind() == ControlKind::StatusBar) height -= c->Height();
    if (model_.Visible() && !top_->isVisible()) {
      // The window's lists are filled by its start-up, after the view was
      // built: the scale is settled now, before the window first shows.
      const double scale = FittingPixelsPerTwip(model_);
      if (scale != scale_) {
        scale_ = scale;
        for (Control* c : model_.Controls()) {
          if (c->Kind() == ControlKind::Toolbar || c->Kind() == ControlKind::StatusBar) continue;
          Sync(*c);
        }
      }
    }
    client_->setFixedSize(Px(model_.Width() - kFrameWidth), Px(height));
    top_->adjustSize();
    top_->setFixedSize(top_->sizeHint());
    if (model_.Visible() && !top_->isVisible()) top_->show();
    if (!model_.Visible() && top_->isVisible()) top_->hide();
  } else {
    top_->setFixedSize(Px(model_.Width() - kFrameWidth), Px(model_.Height() - kFrameHeight));
  }
  if (pointer && pointer() == MousePointer::Hourglass)
    top_->setCursor(Qt::WaitCursor);
  else
    top_->unsetCursor();
}

void WindowView::UserClose() {
  if (is_main_) {
    model_.Close();
    return;
  }
  // Escape and the close button press the window's Cancel button when it
  // has a usable one, as its own key would; otherwise the window closes.
  for (Control* c : model_.Controls()) {
    if (c->Kind() != ControlKind::CommandButton) continue;
    auto* button = static_cast<CommandButton*>(c);
    if (button->IsCancel() && button->Visible() && button->Enabled()) {
      button->Click();
      return;
    }
  }
  model_.Close();
}

void WindowView::ExecModal() {
  auto* dialog = qobject_cast<QDialog*>(top_.data());
  if (!dialog || !model_.Visible()) return;
  dialog->setWindowModality(Qt::ApplicationModal);
  dialog->exec();
}

}  // namespace ebbmark

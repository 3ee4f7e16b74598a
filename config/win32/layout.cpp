#include "config/win32/layout.h"

#include <algorithm>

namespace ebbmark::win32view {

int TwipsToPixels(int twips, int dpi) {
  const long long scaled = static_cast<long long>(twips) * dpi;
  const long long half = scaled >= 0 ? 720 : -720;
  return static_cast<int>((scaled + half) / 1440);
}

Rect AbsoluteTwips(const Control& control) {
  Rect r = control.Geometry();
  for (const Control* c = control.Container(); c != nullptr; c = c->Container()) {
    r.left += c->Left();
    r.top += c->Top();
  }
  return r;
}

bool EffectivelyVisible(const Control& control) {
  for (const Control* c = &control; c != nullptr; c = c->Container())
    if (!c->Visible()) return false;
  return true;
}

bool IsInside(const Control& control, const Control& frame) {
  for (const Control* c = control.Container(); c != nullptr; c = c->Container())
    if (c == &frame) return true;
  return false;
}

namespace {
int Depth(const Control& c) {
  int d = 0;
  for (const Control* p = c.Container(); p != nullptr; p = p->Container()) ++d;
  return d;
}
}  // namespace

std::vector<const Control*> StackingOrder(const std::vector<Control*>& controls) {
  std::vector<const Control*> inputs, pictures, frames;
  for (const Control* c : controls) {
    switch (c->Kind()) {
      case ControlKind::Toolbar:
      case ControlKind::StatusBar:
      case ControlKind::MenuEntry:
        break;
      case ControlKind::Image:
        pictures.push_back(c);
        break;
      case ControlKind::Frame:
        frames.push_back(c);
        break;
      default:
        inputs.push_back(c);
        break;
    }
  }
  std::reverse(pictures.begin(), pictures.end());
  std::stable_sort(frames.begin(), frames.end(),
                   [](const Control* a, const Control* b) { return Depth(*a) > Depth(*b); });
  std::vector<const Control*> order = inputs;
  order.insert(order.end(), pictures.begin(), pictures.end());
  order.insert(order.end(), frames.begin(), frames.end());
  return order;
}

}  // namespace ebbmark::win32view

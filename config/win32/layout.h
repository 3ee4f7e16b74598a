#pragma once
// Twips to pixels, and where each control of a window model goes on screen.
// Pure functions, so the arithmetic is tested without a desktop.

#include <vector>

#include "config/model/controls.h"

namespace ebbmark::win32view {

// 1440 twips make an inch; the screen has `dpi` pixels to the inch (96 at
// 100 %). Rounded to the nearest pixel, halves away from zero.
int TwipsToPixels(int twips, int dpi);

// A control's rectangle in the window's client area, in twips: its own
// position plus that of every frame it sits in.
Rect AbsoluteTwips(const Control& control);

// Shown on screen: the control and every frame it sits in are visible.
bool EffectivelyVisible(const Control& control);

// True when `frame` holds `control`, directly or through inner frames.
bool IsInside(const Control& control, const Control& frame);

// The order in which the controls lie on top of each other, topmost first:
// controls that take input in the order they were declared (which is also
// the Tab order), then pictures with the later declared on top (a "No"
// picture lies over its "Yes" picture), then frames, inner before outer, so
// a frame never covers what it holds. Toolbars, status bars and menu
// entries are left out.
std::vector<const Control*> StackingOrder(const std::vector<Control*>& controls);

}  // namespace ebbmark::win32view

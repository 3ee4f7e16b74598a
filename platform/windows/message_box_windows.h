#pragma once
// MessageBoxW in the terms of platform/dialogs.h, for the service's boxes
// and the configuration program's alike.

#include <windows.h>

#include "platform/dialogs.h"

namespace ebbmark::win {

// The MB_ style bits of the buttons and the icon.
UINT MessageBoxStyle(DialogButtons buttons, DialogIcon icon);

// What MessageBoxW's result means; a failed box (0) is left unanswered.
DialogAnswer MessageBoxAnswer(int message_box_result, DialogButtons buttons);

}  // namespace ebbmark::win

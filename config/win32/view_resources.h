#pragma once
// Resource numbers shared by the resource script and the view. Plain
// #defines: the resource compiler reads this file too.

// The program's icon comes first, so Explorer and the taskbar show it.
#define IDI_EBBMARK 1

// Pictures, one icon resource each, every size rendered from its drawing.
#define IDI_PIC_OK 101
#define IDI_PIC_FAIL 102
#define IDI_PIC_BATTERY 103
#define IDI_PIC_POWER_RED 104
#define IDI_PIC_POWER_ORANGE 105
#define IDI_PIC_SHUTDOWN 106
#define IDI_PIC_QUESTION 107
#define IDI_STATUS_RUNNING 111
#define IDI_STATUS_STOPPED 112
#define IDI_STATUS_NOT_INSTALLED 113
#define IDI_TB_SAVE 121
#define IDI_TB_SERVICE 122
#define IDI_TB_EMAIL 123
#define IDI_TB_TRELLAN 124
#define IDI_TB_NETWORK 125

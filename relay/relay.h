// The relay thread: turns each input report of the box into events.
#pragma once

#include "platform/platform.h"

// The longest pause, in milliseconds, between retries of a read that keeps
// failing: the most a report can wait after the box comes back.
constexpr DWORD ReadRetryMaxPause = 100;

// The thread routine: reads reports and relays them until the thread is
// stopped from outside. Never returns.
DWORD WINAPI RelayThread(LPVOID parameter);

// Relays the report that is in BoxState.InputReport: by its report ID,
// takes the button word or two axis readings and sends one event each.
void RelayReport(void);

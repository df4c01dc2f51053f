// The cleanup room's own state, declared for the tests that start a run
// afresh or wait for its removal. No other room includes this header.
#pragma once

#include <windows.h>

// The one removal of the run: whoever starts it first does it, later callers
// wait until it is done (removalNone, removalRunning, removalDone).
extern volatile LONG removalState;
constexpr LONG removalNone = 0;
constexpr LONG removalRunning = 1;
constexpr LONG removalDone = 2;
// The tick count after which the removal begins no further retry: set by an
// event after which the system ends the process within seconds; 0: none.
extern volatile ULONGLONG removalDeadline;

// How a run ends when it cannot go on: the cleanup that every failure of the
// main thread runs first, and the end without a word. Failure reports
// (errors/) build on these; the bounded buffers below them need the end alone.
#pragma once

#include <windows.h>

// Set by the parent when it starts to write below the target directory, on
// the main thread: every failure from then on first runs it (once, on that
// thread, silently), so that a failed run leaves no half-written directory.
extern void (*volatile failureCleanup)();
extern DWORD failureCleanupThread;

// Runs the failure cleanup when the failing thread is the one that set it;
// taken out first, so a failure inside the cleanup cannot come back here.
void runFailureCleanup();

// Ends the process with status 3: no message, no exit handlers, no dialog.
// Used where a fixed buffer would overflow or a rule the bootstrap relies on
// is broken.
[[noreturn]] void terminateImmediately();

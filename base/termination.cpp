#include "base/termination.h"

#include <stdlib.h>

void (*volatile failureCleanup)();
DWORD failureCleanupThread;

void runFailureCleanup() {
    void (*cleanup)() = failureCleanup;
    if (cleanup == nullptr || GetCurrentThreadId() != failureCleanupThread) {
        return;
    }
    failureCleanup = nullptr;
    cleanup();
}

void terminateImmediately() {
    runFailureCleanup();
    // Not abort(): msvcrt may show a runtime-error box in a GUI program, and an
    // unattended run would hang on it. Standard error is unbuffered, so a
    // message written before this call is already out.
    TerminateProcess(GetCurrentProcess(), 3);
    _exit(3);
}

#include "cleanup/cleanup.h"

#include <wchar.h>

#include "base/seams.h"
#include "base/state.h"
#include "cleanup/session.h"
#include "cleanup/testing.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "progress/progress_window.h"

volatile LONG removalState;
volatile ULONGLONG removalDeadline;

namespace {

constexpr DWORD childGraceMilliseconds = 5000;
constexpr int deleteRetries = 20;
constexpr DWORD retryPauseMilliseconds = 100;

// At a console close, log-off and shutdown Windows ends the process about 5 s
// after the event reached it, handler or not, and the child (same console,
// same session) gets the same event and the same limit. Waiting the child's
// usual 5 s would leave the removal no time at all: the child gets 3 s, and
// the retries stop at 4.5 s, leaving the last attempt some room.
constexpr DWORD limitedChildGraceMilliseconds = 3000;
constexpr ULONGLONG systemLimitMilliseconds = 4500;

// Callers inside stopChild(). One that finds the slot empty may have lost the
// handle to another that is still waiting for the child: it waits for that
// wait before it goes on to remove anything.
volatile LONG childStops;

// One delete of the whole tree: no progress, no confirmation, no error dialog,
// and no recycle bin.
void deleteTargetDirectory(const wchar_t* list) {
    SHFILEOPSTRUCTW request;
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = list;
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    SYSTEM_CALL(shellFileOperation)(&request);
}

// One delete attempt: our own walk of the tree, then the shell's delete of
// whatever the walk left. The walk is first because the shell's delete is
// slow (twenty times slower on a tree of some thousand files under Wine) and
// stops at the classic path limit, which unpacked trees may pass. The shell's
// delete follows links into what they point to, so it is left out once the
// walk has met one it had to leave.
void deleteAttempt(const wchar_t* list) {
    // The shell takes no path as long as the classic limit (Wine's crashes
    // on one), and could not delete what lies below it anyway.
    if (removeDirectoryTree(targetDirectoryPath, targetDirectoryName) &&
        wcslen(targetDirectoryPath) < MAX_PATH) {
        deleteTargetDirectory(list);
    }
}

// Takes the child out of its slot in one step, so its handle is closed exactly
// once whichever thread gets here first; a child still running after its
// grace period is ended. Returns once no caller waits for the child any
// more, so that nobody removes the directory under a running child.
void stopChild(DWORD grace) {
    // Counted before the handle is taken: whoever finds the slot empty then
    // also sees the caller that emptied it.
    InterlockedIncrement(&childStops);
    HANDLE child = InterlockedExchangePointer(&childProcessHandle, nullptr);
    if (child != nullptr) {
        if (SYSTEM_CALL(WaitForSingleObject)(child, grace) != WAIT_OBJECT_0) {
            SYSTEM_CALL(TerminateProcess)(child, 0);
        }
        SYSTEM_CALL(CloseHandle)(child);
    }
    InterlockedDecrement(&childStops);
    while (childStops != 0) {
        Sleep(10);
    }
}

// Up to 21 delete attempts with 20 pauses between them, silently; no retry
// begins after the deadline of an event that the system limits.
void removeTargetDirectory() {
    // The shell wants a list ended by a second NUL; a 4095-character path
    // leaves no room for it inside targetDirectoryPath.
    wchar_t list[pathCapacity + 1];
    size_t length = wcsnlen(targetDirectoryPath, pathCapacity - 1);
    wmemcpy(list, targetDirectoryPath, length);
    list[length] = 0;
    list[length + 1] = 0;

    deleteAttempt(list);
    for (int retry = 0; retry < deleteRetries; ++retry) {
        DWORD attributes = SYSTEM_CALL(GetFileAttributesW)(targetDirectoryPath);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return;
        }
        ULONGLONG deadline = removalDeadline;
        if (deadline != 0 && SYSTEM_CALL(GetTickCount64)() + retryPauseMilliseconds > deadline) {
            return;
        }
        SYSTEM_CALL(Sleep)(retryPauseMilliseconds);
        deleteAttempt(list);
    }
}

// Set once the console handler is registered and the session window started.
bool guarded;

// The main thread failed: the file it was writing would keep its directory
// from being deleted on Windows.
void cleanupAfterFailure() {
    if (extractionFile != nullptr) {
        SYSTEM_CALL(CloseHandle)(extractionFile);
        extractionFile = nullptr;
    }
    cleanupTargetDirectory();
}

void cleanUp(DWORD childGrace) {
    // Nobody should watch a bar while the files it counts are being removed.
    closeProgressWindow();
    stopChild(childGrace);
    // A directory being created at this moment is removed too, once it is
    // known to be the parent's own; a name someone else took never is.
    while (targetDirectoryCreator != 0 && targetDirectoryCreator != GetCurrentThreadId()) {
        Sleep(1);
    }
    // The parent's own hold on the directory would keep it from being removed too.
    HANDLE held = InterlockedExchangePointer(&targetDirectoryHandle, nullptr);
    if (held != nullptr) {
        CloseHandle(held);
    }
    if (!extractionStarted) {
        return;
    }
    // One removal for the run: the end of the child, a console event, the
    // end of the session and a failure may all ask for it, from different
    // threads. Whoever asks later waits until it is done, because a session
    // may end the process as soon as its message has been answered.
    if (InterlockedCompareExchange(&removalState, removalRunning, removalNone) != removalNone) {
        while (removalState != removalDone) {
            Sleep(10);
        }
        return;
    }
    removeTargetDirectory();
    removalState = removalDone;
}

} // namespace

void guardTargetDirectory() {
    if (guarded) {
        return;
    }
    if (!SetConsoleCtrlHandler(consoleControlHandler, TRUE)) {
        fatalError(messageHandlerRegistration);
    }
    guarded = true;
    startSessionWindow();
}

void endTargetDirectoryGuard() {
    if (!guarded) {
        return;
    }
    SetConsoleCtrlHandler(consoleControlHandler, FALSE);
    endSessionWindow();
    guarded = false;
}

void holdIfRemovalRequested() {
    if (removalRequested) {
        Sleep(INFINITE);
    }
}

void cleanupTargetDirectory() {
    cleanUp(childGraceMilliseconds);
}

void cleanupWithinSystemLimit() {
    // Whoever removes the directory keeps to it, also a caller without a
    // limit of its own (the main thread, once the child has been ended).
    ULONGLONG deadline = SYSTEM_CALL(GetTickCount64)() + systemLimitMilliseconds;
    if (removalDeadline == 0 || deadline < removalDeadline) {
        removalDeadline = deadline;
    }
    cleanUp(limitedChildGraceMilliseconds);
}

void startExtraction() {
    extractionStarted = true;
    // The child writes nothing: its failures leave the directory to its parent.
    if (parentInstance == nullptr) {
        failureCleanupThread = GetCurrentThreadId();
        failureCleanup = cleanupAfterFailure;
    }
}

BOOL WINAPI consoleControlHandler(DWORD event) {
    // A console program's child shares the console and gets the interrupt
    // itself; its own handling of it decides its status, which the parent
    // passes on. Read before the cleanup, which waits for no child started
    // after it began.
    bool passOnChildStatus =
        consoleProgram && childStarted && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT);
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        removalRequested = true;
        cleanupTargetDirectory();
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        removalRequested = true;
        cleanupWithinSystemLimit();
        break;
    default:
        break;
    }
    // Handled: the cleanup has waited for the child or ended it, so the main
    // thread's wait has returned and it exits with the child's status.
    if (passOnChildStatus) {
        return TRUE;
    }
    // Not handled: the system's default handling follows and ends the process.
    return FALSE;
}

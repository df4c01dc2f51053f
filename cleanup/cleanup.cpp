#include "cleanup/cleanup.h"

#include <wchar.h>

#include "bootstrap/bootstrap.h"
#include "bootstrap/seams.h"
#include "cleanup/tree.h"

namespace {

constexpr DWORD childGraceMilliseconds = 5000;
constexpr int deleteRetries = 20;
constexpr DWORD retryPauseMilliseconds = 100;

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
// stops at the classic path limit, which unpacked trees may pass.
void deleteAttempt(const wchar_t* list) {
    removeDirectoryTree(targetDirectoryPath);
    deleteTargetDirectory(list);
}

} // namespace

void holdIfConsoleEventReceived() {
    if (consoleEventReceived) {
        Sleep(INFINITE);
    }
}

void cleanupTargetDirectory() {
    // Taken out of the slot in one step, so the handle is closed exactly once
    // whichever thread gets here first.
    HANDLE child = InterlockedExchangePointer(&childProcessHandle, nullptr);
    if (child != nullptr) {
        if (SYSTEM_CALL(WaitForSingleObject)(child, childGraceMilliseconds) != WAIT_OBJECT_0) {
            SYSTEM_CALL(TerminateProcess)(child, 0);
        }
        SYSTEM_CALL(CloseHandle)(child);
    }
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
        SYSTEM_CALL(Sleep)(retryPauseMilliseconds);
        deleteAttempt(list);
    }
}

BOOL WINAPI consoleControlHandler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        consoleEventReceived = true;
        cleanupTargetDirectory();
        break;
    default:
        break;
    }
    // Not handled: the system's default handling follows and ends the process.
    return FALSE;
}

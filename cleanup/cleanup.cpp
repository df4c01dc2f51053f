#include "cleanup/cleanup.h"

#include <wchar.h>

#include "bootstrap/bootstrap.h"
#include "bootstrap/seams.h"

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

// Removes everything below `path` (an extended-length path of `length`
// characters in a buffer of `capacity`), depth first.
void removeTreeBelow(wchar_t* path, size_t length, size_t capacity) {
    if (length + 3 > capacity) {
        return;
    }
    wmemcpy(path + length, L"\\*", 3);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(path, &entry);
    path[length] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const wchar_t* name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        size_t nameLength = wcslen(name);
        if (length + 1 + nameLength + 1 > capacity) {
            continue;
        }
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(path, entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        }
        // Links are removed as links, never followed.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            removeTreeBelow(path, length + 1 + nameLength, capacity);
            RemoveDirectoryW(path);
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryW(path);
        } else {
            DeleteFileW(path);
        }
        path[length] = 0;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// One delete attempt: a walk of the tree through extended-length paths, then
// the shell's delete of whatever the walk left. The walk is first because the
// shell's delete is slow (twenty times slower on a tree of some thousand
// files under Wine) and stops at the classic path limit, which unpacked trees
// may pass.
void deleteAttempt(const wchar_t* list) {
    wchar_t extended[pathCapacity + 8];
    size_t length = wcslen(targetDirectoryPath);
    if (wcsncmp(targetDirectoryPath, L"\\\\?\\", 4) == 0 ||
        wcsncmp(targetDirectoryPath, L"\\\\.\\", 4) == 0) {
        wmemcpy(extended, targetDirectoryPath, length + 1);
    } else if (wcsncmp(targetDirectoryPath, L"\\\\", 2) == 0) {
        // \\server\share becomes \\?\UNC\server\share
        wmemcpy(extended, L"\\\\?\\UNC", 7);
        wmemcpy(extended + 7, targetDirectoryPath + 1, length);
        length += 6;
    } else {
        wmemcpy(extended, L"\\\\?\\", 4);
        wmemcpy(extended + 4, targetDirectoryPath, length + 1);
        length += 4;
    }
    removeTreeBelow(extended, length, sizeof extended / sizeof extended[0]);
    RemoveDirectoryW(extended);
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

#include "extract/target_directory.h"

#include <windows.h>

#include "base/bounded.h"
#include "formats/handshake.h"
#include "base/seams.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "extract/directories.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

namespace {

// Opens the directory itself, never what a link at its name points to, and
// keeps it from being renamed or removed while the handle is open: without
// delete sharing, nobody can move it away and put a link of their own under
// its name. Null, with `*error` set, when what is there is not a plain
// directory, which means that someone swapped it already.
HANDLE holdPlainDirectory(const wchar_t* path, DWORD* error) {
    // Listing access, so that the sharing mode counts for others' opens.
    HANDLE handle = SYSTEM_CALL(CreateFileW)(
        path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        *error = GetLastError();
        CloseHandle(handle);
        return nullptr;
    }
    DWORD attributes = information.dwFileAttributes;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *error = ERROR_ALREADY_EXISTS;
        CloseHandle(handle);
        return nullptr;
    }
    return handle;
}

} // namespace

void discardRunValues() {
    for (const char* variable : handshakeRunValueVariables) {
        setEnvironmentValue(variable, nullptr);
    }
}

bool expandTargetDirectory(const wchar_t* spec) {
    bool expanded = expandPathSpec(targetDirectoryPath, spec, pathCapacity);
    wchar_t fullPath[pathCapacity];
    DWORD length = GetFullPathNameW(targetDirectoryPath, pathCapacity, fullPath, nullptr);
    if (length == 0 || length >= pathCapacity) {
        terminateImmediately();
    }
    copyBounded(targetDirectoryPath, pathCapacity, fullPath);
    return expanded;
}

void createTargetDirectory(const wchar_t* spec) {
    // A console handler that runs meanwhile waits until this is decided, so
    // that it removes a directory made at this very moment, and never one
    // whose name someone else had taken.
    targetDirectoryCreator = GetCurrentThreadId();
    DWORD error = ERROR_ALREADY_EXISTS;
    bool created = false;
    for (int attempt = 0; attempt < targetDirectoryAttempts && !removalRequested; ++attempt) {
        if (attempt > 0) {
            // Whatever holds the name was not made by this run: another name.
            discardRunValues();
            if (!expandTargetDirectory(spec)) {
                fatalSpecExpansionError(spec);
            }
        }
        // A spec may put the directory below folders that do not exist yet;
        // they are ordinary folders, the directory alone is private.
        createDirectoryTree(targetDirectoryPath);
        if (!createPrivateDirectory(targetDirectoryPath, &error)) {
            if (error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            break; // access denied, no such drive: another name would not help
        }
        HANDLE held = holdPlainDirectory(targetDirectoryPath, &error);
        // Another process may have the fresh directory open just then without
        // delete sharing, as another run's sweep looks at a copy: it is still
        // the run's own, and one given up would stay behind, empty.
        for (int retry = 0; held == nullptr && error == ERROR_SHARING_VIOLATION &&
                            retry < targetDirectoryHoldRetries;
             ++retry) {
            SYSTEM_CALL(Sleep)(targetDirectoryHoldPauseMilliseconds);
            held = holdPlainDirectory(targetDirectoryPath, &error);
        }
        if (held != nullptr) {
            targetDirectoryHandle = held;
            // What the system calls it now, while it is certainly the run's
            // own: the removal recognises it by this name, and a link put in
            // its place by another.
            noteDirectoryName(targetDirectoryPath, targetDirectoryName, pathCapacity);
            created = true;
            break;
        }
    }
    if (created) {
        extractionStarted = true;
    }
    targetDirectoryCreator = 0;
    holdIfRemovalRequested();
    if (!created) {
        fatalErrorWithCode(messageNoFreshTargetDirectory, error);
    }
    rememberKnownDirectory(targetDirectoryPath);
}

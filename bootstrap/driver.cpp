#include "bootstrap/driver.h"

#include <stdio.h>

#include "archive/reader.h"
#include "bootstrap/bootstrap.h"
#include "bootstrap/bounded.h"
#include "bootstrap/handshake.h"
#include "bootstrap/parent_check.h"
#include "cleanup/cleanup.h"
#include "cleanup/session.h"
#include "errors/errors.h"
#include "extract/extract.h"
#include "launch/child.h"
#include "launch/entry_library.h"
#include "paths/environment.h"
#include "paths/path_spec.h"

namespace {

// The parent's own identifier in the form {PID} reads back: "%ld", no padding.
void publishParentIdentifier() {
    char narrow[128];
    wchar_t wide[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    size_t i = 0;
    for (; narrow[i] != 0; ++i) {
        wide[i] = widenAsciiCharacter(narrow[i]);
    }
    wide[i] = 0;
    setEnvironmentValue(handshakeParentVariable, wide);
}

} // namespace

int runBootstrap(int count, wchar_t** vector) {
    argumentCount = count;
    argumentVector = vector;

    // An empty string, not null: takes the current directory out of the DLL
    // search order for the rest of the process.
    SetDllDirectoryW(L"");

    parentInstance = checkParentInstance();

    if (parentInstance == nullptr) {
        // Stale values of an earlier run must not leak into this one's directory name.
        for (const char* variable : handshakeRunValueVariables) {
            setEnvironmentValue(variable, nullptr);
        }
        publishParentIdentifier();
    }

    // The build's spec; the handshake variables make the child's expansion of
    // the same text arrive at the parent's directory.
    bool expanded = expandPathSpec(targetDirectoryPath, onefileTargetDirectorySpec, pathCapacity);

    wchar_t fullPath[pathCapacity];
    DWORD length = GetFullPathNameW(targetDirectoryPath, pathCapacity, fullPath, nullptr);
    if (length == 0 || length >= pathCapacity) {
        terminateImmediately();
    }
    copyBounded(targetDirectoryPath, pathCapacity, fullPath);

    initArchiveReader();
    if (!expanded) {
        fatalSpecExpansionError(onefileTargetDirectorySpec);
    }

    if (parentInstance == nullptr) {
        if (!SetConsoleCtrlHandler(consoleControlHandler, TRUE)) {
            fatalError(messageHandlerRegistration);
        }
        startSessionWindow();
    }

    openArchiveReader();

    startExtraction();
    extractFileRecords();

    if (parentInstance != nullptr) {
        if (entryLibraryPath[0] == 0) {
            // Going on would start yet another child; there is nothing to run.
            fatalError(messageNoEntryLibrary);
        }
        return runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
    }

    closeArchiveReader();
    return launchChildInstance();
}

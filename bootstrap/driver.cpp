#include "bootstrap/driver.h"

#include "archive/reader.h"
#include "base/build_constants.h"
#include "base/handshake.h"
#include "base/state.h"
#include "bootstrap/parent_check.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"
#include "extract/cache.h"
#include "extract/extract.h"
#include "extract/target_directory.h"
#include "launch/child.h"
#include "launch/entry_library.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "progress/progress_window.h"

namespace {

// The parent's own identifier in the form {PID} reads back.
void publishParentIdentifier() {
    wchar_t identifier[processIdentifierCapacity];
    formatProcessIdentifier(identifier);
    setEnvironmentValue(handshakeParentVariable, identifier);
}

} // namespace

int runBootstrap(int count, wchar_t** vector) {
    argumentCount = count;
    argumentVector = vector;

    // An empty string, not null: takes the current directory out of the DLL
    // search order for the rest of the process.
    SetDllDirectoryW(L"");

    // Loads nothing beyond KERNEL32.
    parentInstance = checkParentInstance();

    if (parentInstance == nullptr) {
        // From here on the parent loads from the system directory only. The
        // system libraries it binds pull in others by name, which would be
        // looked for next to the executable first, often a Downloads folder
        // full of other files. The child keeps the search that the
        // application would have if it were unpacked by hand.
        SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        // Stale values of an earlier run must not leak into this one's directory name.
        discardRunValues();
        publishParentIdentifier();
    }

    // The build's spec; the handshake variables make the child's expansion of
    // the same text arrive at the parent's directory.
    bool expanded = expandTargetDirectory(targetDirectorySpec());

    initArchiveReader(onefileAttachedData, onefileAttachedDataLength);
    if (!expanded) {
        fatalSpecExpansionError(targetDirectorySpec());
    }

    if (cachedMode()) {
        if (parentInstance != nullptr) {
            // A program the application started: the run that started it
            // made sure the cache is whole and holds it, so the archive is not read.
            nameCachedEntryLibrary();
            return runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
        }
        // A child would only be needed to remove what it loads, and nothing
        // of the cache is removed: the application runs here, while this
        // process holds the cache for the whole run.
        prepareCache();
        closeProgressWindow();
        endTargetDirectoryGuard();
        nameCachedEntryLibrary();
        // Other builds' directories go while the application runs: its start
        // does not wait for them, nor its end.
        return runEntryLibraryHere(removeOtherVersions);
    }

    if (parentInstance == nullptr) {
        guardTargetDirectory();
    }

    openArchiveReader();

    if (parentInstance == nullptr) {
        // Nothing is written into a directory this run did not make itself.
        createTargetDirectory(onefileTargetDirectorySpec);
    }
    startExtraction();
    if (parentInstance == nullptr) {
        startProgressWindow();
    }
    extractFileRecords();

    if (parentInstance != nullptr) {
        if (entryLibraryPath[0] == 0) {
            // Going on would start yet another child; there is nothing to run.
            fatalError(messageNoEntryLibrary);
        }
        return runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
    }

    closeArchiveReader();
    closeProgressWindow();
    return launchChildInstance();
}

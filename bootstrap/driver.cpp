#include "bootstrap/driver.h"

#include "archive/reader.h"
#include "base/build_constants.h"
#include "base/state.h"
#include "bootstrap/parent_check.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"
#include "extract/cache.h"
#include "extract/record_loop.h"
#include "extract/target_directory.h"
#include "extract/unpack.h"
#include "launch/child.h"
#include "launch/entry_library.h"
#include "progress/progress_window.h"

namespace {

// The directory of the run, from the build's spec (in cached mode the cache
// directory); the handshake variables make the child's expansion of the same
// text arrive at the parent's directory.
void nameTargetDirectory() {
    if (!expandTargetDirectory(targetDirectorySpec())) {
        fatalSpecExpansionError(targetDirectorySpec());
    }
}

// The run the user started.
int runParent() {
    // From here on the parent loads from the system directory only. The
    // system libraries it binds pull in others by name, which would be
    // looked for next to the executable first, often a Downloads folder
    // full of other files. The child keeps the search that the
    // application would have if it were unpacked by hand.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Stale values of an earlier run must not leak into this one's directory name.
    discardRunValues();
    publishParentInstance();
    nameTargetDirectory();

    if (cachedMode()) {
        if (prepareCache() == CacheRun::privateCopy) {
            // A copy of the run's own goes when the application ends, and on
            // Windows a library loaded in this process could not be deleted.
            closeProgressWindow();
            return launchChildInstance();
        }
        // A child would only be needed to remove what it loads, and nothing
        // of the cache is removed: the application runs here, while this
        // process holds the cache for the whole run.
        closeProgressWindow();
        endTargetDirectoryGuard();
        nameCachedEntryLibrary();
        // Other builds' directories go while the application runs: its start
        // does not wait for them; once it returns, the run waits for the removal.
        return runEntryLibraryHere(removeOtherVersions);
    }

    // Each run: a fresh private directory, the child started from it, and
    // the directory removed when the child ends.
    guardTargetDirectory();
    unpackInto(onefileTargetDirectorySpec, nullptr);
    closeProgressWindow();
    return launchChildInstance();
}

// A run started by a parent of this executable: it finds the parent's
// directory and runs the entry library from it, writing nothing.
int runChild() {
    nameTargetDirectory();

    if (cachedMode()) {
        // A program the application started, or the application of a parent
        // that runs it from a private copy: the run that started it made sure
        // the cache, or the copy, is whole and holds it, so the archive is not
        // read.
        nameCachedEntryLibrary();
        return runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
    }

    ArchiveReader reader;
    initArchiveReader(reader, onefileAttachedData, onefileAttachedDataLength);
    openArchiveReader(reader);
    startExtraction();
    extractFileRecords(reader);
    if (entryLibraryPath[0] == 0) {
        // Going on would start yet another child; there is nothing to run.
        fatalError(messageNoEntryLibrary);
    }
    return runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
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
    return parentInstance == nullptr ? runParent() : runChild();
}

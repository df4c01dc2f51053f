#include "extract/cache.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "archive/reader.h"
#include "formats/record_name.h"
#include "base/bounded.h"
#include "base/build_constants.h"
#include "formats/handshake.h"
#include "base/seams.h"
#include "base/security.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "extract/cache_copies.h"
#include "extract/cache_marker.h"
#include "extract/record_loop.h"
#include "extract/target_directory.h"
#include "extract/unpack.h"
#include "extract/testing.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "progress/progress_window.h"

namespace {

// Rounds of looking at what is at the cache's name before giving up: another
// run may hold an incomplete copy (its files in use) for a while.
constexpr int cacheAttempts = 20;
constexpr DWORD cacheRetryPauseMilliseconds = 100;
// Copies a run unpacks before it gives up when each is gone before it can
// hold it: a run of another build may remove a complete copy in the moment
// between its move into place and this run's hold.
constexpr int cacheUnpackRounds = 3;

#define ONEFILE_RUN_VALUES L"" ONEFILE_CACHE_RUN_VALUES
const wchar_t partialSuffix[] = ONEFILE_PARTIAL_KIND ONEFILE_RUN_VALUES;

// The cache directory, which targetDirectoryPath leaves while a first run
// unpacks into its partial sibling.
wchar_t cacheDirectoryPath[pathCapacity];
// The folder that holds it, its siblings and the other builds' directories.
wchar_t cacheFolderPath[pathCapacity];
// What the system calls that folder, once it exists (see noteDirectoryName):
// an entry in it whose handle goes by another name was reached through a
// link, and is neither trusted, moved nor removed. Empty until known.
wchar_t cacheFolderName[pathCapacity];

// Whose copies this run may replace: this build's and its product's.
CopyOwner runOwner;
// The cache directory's spec: the build's spec, which names the folder that
// holds each build's cache, a backslash and the build's id.
wchar_t cacheSpec[pathCapacity];
// Specs for the siblings: the cache's spec and a suffix.
wchar_t siblingSpec[pathCapacity];

// Notes what the system calls the cache's folder, once it exists.
void noteCacheFolderName() {
    if (cacheFolderName[0] == 0) {
        noteDirectoryName(cacheFolderPath, cacheFolderName, pathCapacity);
    }
}

// The cache directory's own name in its folder: the build's id.
const wchar_t* cacheName() {
    return wcsrchr(cacheDirectoryPath, L'\\') + 1;
}

// Holds the cache directory when it is complete: a plain directory of the
// user's (not a link, and not made by someone else) at the very name the
// run expects, with the marker and the files it counts. The hold shares no
// deletion, so no other run can set it aside or remove it while this one's
// child runs from it; it is taken before the checks, so that what they find
// stays so. `*error` is the system's reason when nothing could be opened;
// `*examined` tells what was opened and found wanting.
bool holdCompleteCache(DWORD* error, EntryIdentity* examined) {
    *examined = {};
    HANDLE held = SYSTEM_CALL(CreateFileW)(
        cacheDirectoryPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool complete = GetFileInformationByHandle(held, &information);
    if (complete) {
        *examined = identityOf(information);
    }
    complete = complete && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
               isFolderEntry(held, cacheFolderName, cacheName()) && isOwnedByProcessUser(held) &&
               holdsExpectedFiles(cacheDirectoryPath);
    if (!complete) {
        CloseHandle(held);
        return false;
    }
    targetDirectoryHandle = held;
    return true;
}

// Expands the build's spec followed by `suffix`, with fresh run values, into
// targetDirectoryPath; returns the spec, for a report.
const wchar_t* expandSibling(const wchar_t* suffix) {
    copyBounded(siblingSpec, pathCapacity, cacheSpec);
    appendBounded(siblingSpec, pathCapacity, suffix);
    discardRunValues();
    if (!expandTargetDirectory(siblingSpec)) {
        fatalSpecExpansionError(siblingSpec);
    }
    return siblingSpec;
}

// Sets the entry at the cache's name, `examined` and found not to be a
// complete copy, aside and removes it, when this product's runs made it.
// False, with the system's reason in `*error`, when it cannot be moved now
// (its files are in use by a run, or it is opened for removal by a run of
// another build, or another entry has taken its place) or not at all
// (notThisProductsCopy); true also when it is gone already.
bool setAside(const EntryIdentity& examined, DWORD* error) {
    return moveAsideAndRemove(cacheFolderPath, cacheFolderName, cacheName(), runOwner,
                              Wanted::madeByUs, &examined, error) ||
           *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
}

// Writes `length` bytes of `text` into the marker of the partial copy,
// opened as `disposition` says. Any failure ends the run, and the copy goes
// with the marker's handle closed first (on Windows an open file keeps its
// folder).
void writeMarkerText(DWORD disposition, const char* text, size_t length) {
    wchar_t path[pathCapacity];
    joinPath(path, targetDirectoryPath, markerName);
    HANDLE marker =
        SYSTEM_CALL(CreateFileW)(path, GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        fatalOpenFailure(path);
    }
    extractionFile = marker;
    DWORD written = 0;
    if (!SYSTEM_CALL(WriteFile)(marker, text, static_cast<DWORD>(length), &written, nullptr)) {
        fatalErrorWithCode(messageWriteFailed, GetLastError());
    }
    extractionFile = nullptr;
    SYSTEM_CALL(CloseHandle)(marker);
}

// Writes the marker's first line into the partial copy before anything else
// is in it: whatever becomes of the copy, it shows whose it is.
void startMarker() {
    char text[markerCapacity];
    size_t length = formatMarker(text, sizeof text, onefileCacheId, onefileCompanyName,
                                 onefileProductName, nullptr);
    writeMarkerText(CREATE_NEW, text, length);
}

// Completes the marker in the partial copy, its digest made from what the
// copy holds. The complete text begins with the first line's, which it
// writes over: at no moment does the marker stop naming the product.
void completeMarker() {
    char text[markerCapacity];
    writeMarkerText(OPEN_EXISTING, text, formatCompleteMarker(targetDirectoryPath, text));
}

// Unpacks every record into a fresh private partial sibling, named by fresh
// run values, which stay published, after the marker's first line.
void unpackPartial() {
    unpackInto(expandSibling(partialSuffix), startMarker);
}

// Unpacks every record into a private partial sibling, between the marker's
// first line and its completion.
void unpackIntoPartial() {
    unpackPartial();
    completeMarker();
    // A program the application starts finds the cache without them, as in
    // any later run.
    discardRunValues();
}

// Moves the partial sibling into place in one step; a run that got there
// first keeps its copy, and this one's goes. It goes as any copy of the
// product's does, its marker last: a scanner reading a file just written,
// or another run's sweep looking at the copy, can keep part of it for now,
// and what is left must still show a later sweep that it is the product's.
void moveIntoPlace() {
    HANDLE held = InterlockedExchangePointer(&targetDirectoryHandle, nullptr);
    if (held != nullptr) {
        CloseHandle(held);
    }
    if (!SYSTEM_CALL(MoveFileExW)(targetDirectoryPath, cacheDirectoryPath, 0)) {
        const wchar_t* separator = wcsrchr(targetDirectoryPath, L'\\');
        if (separator != nullptr) {
            removeCopy(cacheFolderPath, cacheFolderName, separator + 1);
        }
    }
    // Nothing of this run's is left to remove: the copy is the cache now, or gone.
    extractionStarted = false;
}

// What a run finds at the cache's name.
enum class CacheName {
    held,     // a complete copy, held now
    free,     // nothing: a copy is to be unpacked
    setAside, // an incomplete copy, set aside and removed
    unusable, // no complete copy, and what is there cannot go: other processes keep
              // it, or no run of this product made it
};

// Whether `error`, from the look at the cache's name or the move aside, says
// that other processes use what is there: a running instance holds the
// cache without delete sharing, and on Windows any open file in it keeps it
// from being moved.
bool isInUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Holds a complete copy at the cache's name, or clears the name of an
// incomplete one that this product's runs made. Only what the hold looked at
// is set aside: a copy that another run moves into place in the meantime is
// looked at afresh. A copy in use (its files open while another run sets it
// aside, or opened for removal by a run of another build) is waited for,
// cacheAttempts times; then the run takes the name as unusable, as it does
// at once when what is there carries no proof of this product's runs, or
// fails when something else keeps it.
CacheName holdOrClearCache() {
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < cacheAttempts; ++attempt) {
        noteCacheFolderName();
        DWORD holdError = 0;
        EntryIdentity examined;
        if (holdCompleteCache(&holdError, &examined)) {
            return CacheName::held; // nothing is read and nothing is written
        }
        if (SYSTEM_CALL(GetFileAttributesW)(cacheDirectoryPath) == INVALID_FILE_ATTRIBUTES) {
            return CacheName::free;
        }
        if (!examined.known) {
            // Nothing was looked at: gone when the hold came, there now, or
            // opened by someone without sharing. What it is decides.
            error = holdError;
            if (holdError == ERROR_FILE_NOT_FOUND || holdError == ERROR_PATH_NOT_FOUND) {
                continue;
            }
        } else if (setAside(examined, &error)) {
            return error == ERROR_SUCCESS ? CacheName::setAside : CacheName::free;
        } else if (error == anotherEntryAtTheName) {
            continue;
        } else if (error == notThisProductsCopy) {
            // Not this product's to replace: it stays as it is.
            return CacheName::unusable;
        }
        SYSTEM_CALL(Sleep)(cacheRetryPauseMilliseconds);
    }
    if (isInUse(error)) {
        return CacheName::unusable;
    }
    fatalErrorWithCode(messageCacheInUse, error);
}

// For a cache that cannot be used now: a copy of the run's own, unpacked
// beside it as a first run unpacks, guarded, under its partial name, which
// the published run values give a child (see targetDirectorySpec). Its
// marker keeps to its first line: the copy is never taken for a complete
// one, and when a kill leaves it behind a later run's sweep removes it as
// the product's. The application runs in that child, and the copy
// goes when the child ends, as a per-run build's directory does: on
// Windows a library loaded in this process could not be deleted. A later
// run, once nothing uses the cache, replaces the cache.
CacheRun unpackPrivateCopy() {
    guardTargetDirectory();
    unpackPartial();
    return CacheRun::privateCopy;
}

// Whether the parent runs the application from a private copy: a child
// inherits the run values that name it, which every other cached parent
// discards.
bool parentRunsPrivateCopy() {
    for (const char* variable : handshakeRunValueVariables) {
        wchar_t* value = getEnvironmentValue(variable);
        if (value != nullptr) {
            free(value);
            return true;
        }
    }
    return false;
}

} // namespace

bool cachedMode() {
    return onefileCacheId[0] != 0;
}

const wchar_t* targetDirectorySpec() {
    if (!cachedMode()) {
        return onefileTargetDirectorySpec;
    }
    if (cacheSpec[0] == 0) {
        copyBounded(cacheSpec, pathCapacity, onefileTargetDirectorySpec);
        appendBounded(cacheSpec, pathCapacity, L"\\");
        appendBounded(cacheSpec, pathCapacity, onefileCacheId);
    }
    if (parentInstance != nullptr && parentRunsPrivateCopy()) {
        copyBounded(siblingSpec, pathCapacity, cacheSpec);
        appendBounded(siblingSpec, pathCapacity, partialSuffix);
        return siblingSpec;
    }
    return cacheSpec;
}

CacheRun prepareCache() {
    copyBounded(cacheDirectoryPath, pathCapacity, targetDirectoryPath);
    copyBounded(cacheFolderPath, pathCapacity, cacheDirectoryPath);
    cacheFolderName[0] = 0;
    wchar_t* separator = wcsrchr(cacheFolderPath, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    } else {
        cacheFolderPath[0] = 0;
    }
    formatOwner(&runOwner, onefileCacheId, onefileCompanyName, onefileProductName);
    formatExpectedMarker();
    CacheName found = holdOrClearCache();
    for (int round = 0; found != CacheName::held; ++round) {
        if (found == CacheName::unusable) {
            return unpackPrivateCopy();
        }
        // A copy this run has just moved into place is complete: when it is
        // not, something damages it, and another copy would fare no better.
        if (round > 0 && found == CacheName::setAside) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_CORRUPT);
        }
        if (round == cacheUnpackRounds) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_NOT_FOUND);
        }
        // Only now is there something of the run's to remove on an interrupt.
        guardTargetDirectory();
        // The containing folders are ordinary ones (the user's own
        // application data); the copies are made private like a run's own
        // directory.
        unpackIntoPartial();
        moveIntoPlace();
        found = holdOrClearCache();
    }
    // The run goes on from the cache directory, not from the copy it
    // unpacked into. A console event's removal, which could be reading the
    // path, stops the main thread first.
    holdIfRemovalRequested();
    copyBounded(targetDirectoryPath, pathCapacity, cacheDirectoryPath);
    return CacheRun::cache;
}

void removeOtherVersions() {
    if (!cachedMode() || cacheFolderPath[0] == 0) {
        return;
    }
    // The application comes first: on Windows a thread in background mode
    // has the processor and the disk only when nothing else wants them.
    bool background = SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != 0;
    sweepCacheFolder(cacheFolderPath, onefileCacheId, onefileCompanyName, onefileProductName,
                     (onefileBuildOptions & buildOptionKeepOtherVersions) == 0);
    if (background) {
        SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
    }
}

void nameCachedEntryLibrary() {
    if (!isSafeRecordPath(onefileCacheEntryName)) {
        fatalError(messageUndecodable);
    }
    joinPath(entryLibraryPath, targetDirectoryPath, onefileCacheEntryName);
}

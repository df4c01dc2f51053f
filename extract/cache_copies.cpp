#include "extract/cache_copies.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "base/bounded.h"
#include "base/seams.h"
#include "base/security.h"
#include "cleanup/tree.h"
#include "extract/cache.h"
#include "extract/directories.h"
#include "paths/path_spec.h"

namespace {

// What an entry of the folder that holds the caches is to the sweep.
enum class FolderEntry {
    unrelated, // not a name a run makes
    cache,     // a build's cache directory: its id alone
    partial,   // a copy being unpacked: the id, ".partial-" and its run's values
    aside,     // a copy set aside for removal: the id, ".aside-" and a run's values
};

// Whether `name` begins with `kind`; `*rest` then points past it.
bool beginsWith(const wchar_t* name, const wchar_t* kind, const wchar_t** rest) {
    size_t length = wcslen(kind);
    if (wcsncmp(name, kind, length) != 0) {
        return false;
    }
    *rest = name + length;
    return true;
}

// What `name` is.
FolderEntry classifyFolderEntry(const wchar_t* name) {
    for (size_t i = 0; i < cacheIdLength; ++i) {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f'))) {
            return FolderEntry::unrelated;
        }
    }
    const wchar_t* rest = name + cacheIdLength;
    if (*rest == 0) {
        return FolderEntry::cache;
    }
    if (beginsWith(rest, ONEFILE_ASIDE_KIND, &rest)) {
        return FolderEntry::aside;
    }
    if (beginsWith(rest, ONEFILE_PARTIAL_KIND, &rest)) {
        return FolderEntry::partial;
    }
    return FolderEntry::unrelated;
}

// A fresh name to set the copy `name` aside to: its name, ".aside-" and
// values of the run's form (process, microseconds, random text), so that no
// two removals meet. Made without the environment, which belongs to the
// application once it runs in this process: the removal runs beside it.
void nameAside(const wchar_t* name, wchar_t* aside) {
    static volatile LONG asideCount;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t time = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t seed = static_cast<uint32_t>(counter.QuadPart ^ (counter.QuadPart >> 32)) ^
                    static_cast<uint32_t>(InterlockedIncrement(&asideCount)) * 0x9E3779B9u ^
                    GetCurrentProcessId();
    wchar_t random[randomStringLength + 1];
    makeRandomString(seed == 0 ? 1 : seed, random);
    wchar_t values[64];
    _snwprintf(values, 64, L"%lu_%06lu_%ls", GetCurrentProcessId(),
               static_cast<unsigned long>(time / 10 % 1000000), random);
    values[63] = 0;
    copyBounded(aside, pathCapacity, name);
    appendBounded(aside, pathCapacity, ONEFILE_ASIDE_KIND);
    appendBounded(aside, pathCapacity, values);
}

// Renames what `handle` names (opened with delete access) to `name` in
// `folder`, in one step: the very directory that was looked at, whatever
// has been put at its old name since.
bool renameThroughHandle(HANDLE handle, const wchar_t* folder, const wchar_t* name) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t target[extendedPathCapacity];
    size_t length = extendedForm(path, target);
    if (length == 0) {
        return false;
    }
    // The system's own form of the path, which the call takes as it is:
    // "\??\" where the extended-length form has "\\?\".
    target[1] = L'?';
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + sizeof target];
    } request = {};
    request.info.ReplaceIfExists = FALSE;
    request.info.RootDirectory = nullptr;
    request.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    memcpy(request.bytes + offsetof(FILE_RENAME_INFO, FileName), target,
           (length + 1) * sizeof(wchar_t));
    return SYSTEM_CALL(SetFileInformationByHandle)(handle, FileRenameInfo, &request,
                                                   sizeof request) != 0;
}

bool sameEntry(const EntryIdentity& a, const EntryIdentity& b) {
    return a.known && b.known && a.volume == b.volume && a.indexHigh == b.indexHigh &&
           a.indexLow == b.indexLow && CompareFileTime(&a.created, &b.created) == 0;
}

// Whether the entry `name` that `handle` names (opened as itself, with
// READ_CONTROL), at `path`, is a copy of the kind `wanted` for `owner`.
// False, with the reason in `*error`, when it is not: notThisProductsCopy,
// or a sharing violation when its marker could not be read now.
bool isWantedCopy(HANDLE handle, const wchar_t* path, const wchar_t* name, const CopyOwner& owner,
                  Wanted wanted, DWORD* error) {
    *error = notThisProductsCopy;
    // No run makes a file or a link at a copy's name, and a marker read
    // through a link would be another's.
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (wanted != Wanted::madeByUs && !isOwnedByProcessUser(handle))) {
        return false;
    }
    char id[cacheIdLength + 1];
    asciiId(name, id);
    DWORD readError = ERROR_SUCCESS;
    Claim claim = claimOf(path, id, owner, &readError);
    if (wanted == Wanted::usersComplete ? claim == Claim::complete : claim != Claim::none) {
        return true;
    }
    // A marker that someone has open without sharing (a scanner, on Windows)
    // may tell more in a moment.
    if (claim == Claim::none && readError == ERROR_SHARING_VIOLATION) {
        *error = readError;
    }
    return false;
}

// The walk that removes a copy: its folder's path and system name.
struct CopyRemoval {
    const wchar_t* path;
    const wchar_t* systemName;
};

bool removeAllButTheMarker(const WalkEntry& entry, void* context) {
    const wchar_t* name = entry.found->cFileName;
    CopyRemoval& removal = *static_cast<CopyRemoval*>(context);
    if (wcscmp(name, markerName) != 0) {
        wchar_t path[pathCapacity];
        joinPath(path, removal.path, name);
        wchar_t systemName[pathCapacity];
        joinPath(systemName, removal.systemName, name);
        removeDirectoryTree(path, systemName);
    }
    return true;
}

// Deletes what `handle` names once it is closed; false when the system refuses.
bool deleteOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Removes the directory at `path` (whose system name is `systemName`) that
// holds nothing but its marker, both together: the directory is opened for
// deletion before the marker goes, so that nobody can keep it afterwards (a
// look at it that does not let it go, as a run's check of another
// run's copy, makes the open fail instead, and the marker stays).
void removeMarkedDirectory(const wchar_t* path, const wchar_t* systemName) {
    constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE directory =
        CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t marker[pathCapacity];
    joinPath(marker, path, markerName);
    wchar_t markerSystemName[pathCapacity];
    joinPath(markerSystemName, systemName, markerName);
    HANDLE file = CreateFileW(marker, DELETE | FILE_READ_ATTRIBUTES, shareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool markerGoes = file != INVALID_HANDLE_VALUE && hasSystemName(directory, systemName) &&
                      hasSystemName(file, markerSystemName) && deleteOnClose(file);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (markerGoes) {
        deleteOnClose(directory);
    }
    CloseHandle(directory);
}

// Stops the walk at the first entry besides the marker.
bool onlyTheMarker(const WalkEntry& entry, void*) {
    return wcscmp(entry.found->cFileName, markerName) == 0;
}

} // namespace

EntryIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return {true, information.dwVolumeSerialNumber, information.nFileIndexHigh,
            information.nFileIndexLow, information.ftCreationTime};
}

bool isFolderEntry(HANDLE handle, const wchar_t* folderName, const wchar_t* name) {
    if (folderName[0] == 0) {
        return false;
    }
    wchar_t systemName[pathCapacity];
    joinPath(systemName, folderName, name);
    return hasSystemName(handle, systemName);
}

void removeCopy(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t systemName[pathCapacity];
    joinPath(systemName, folderName, name);
    wchar_t listed[extendedPathCapacity];
    size_t length = extendedForm(path, listed);
    if (folderName[0] == 0 || length == 0) {
        return;
    }
    CopyRemoval removal = {path, systemName};
    walkDirectory(listed, length, Listing::basic, removeAllButTheMarker, &removal);
    // A walk told every entry only when nothing but the marker is left.
    if (walkDirectory(listed, length, Listing::basic, onlyTheMarker, nullptr) == WalkEnd::whole) {
        removeMarkedDirectory(path, systemName);
    }
}

bool moveAsideAndRemove(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const CopyOwner& owner, Wanted wanted, const EntryIdentity* identity,
                        DWORD* error) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    HANDLE entry = SYSTEM_CALL(CreateFileW)(
        path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bool movable = isFolderEntry(entry, folderName, name);
    *error = ERROR_CANT_ACCESS_FILE;
    if (movable && identity != nullptr) {
        BY_HANDLE_FILE_INFORMATION information;
        movable = GetFileInformationByHandle(entry, &information) &&
                  sameEntry(identityOf(information), *identity);
        // Another entry than the one looked at: it is looked at afresh.
        *error = anotherEntryAtTheName;
    }
    wchar_t aside[pathCapacity];
    if (movable && isWantedCopy(entry, path, name, owner, wanted, error)) {
        nameAside(name, aside);
        movable = renameThroughHandle(entry, folder, aside);
        *error = movable ? ERROR_SUCCESS : GetLastError();
    } else {
        movable = false;
    }
    SYSTEM_CALL(CloseHandle)(entry);
    if (movable) {
        removeCopy(folder, folderName, aside);
    }
    return movable;
}

namespace {

// Removes the copy set aside at `name` in `folder` (whose system name is
// `folderName`) when it is one that this product's runs made.
void removeCopySetAside(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const CopyOwner& owner) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    // Another run may be removing it as well: the look lets that go on.
    HANDLE entry = SYSTEM_CALL(CreateFileW)(
        path, READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD unused = 0;
    bool ours = isFolderEntry(entry, folderName, name) &&
                isWantedCopy(entry, path, name, owner, Wanted::usersMadeByUs, &unused);
    SYSTEM_CALL(CloseHandle)(entry);
    if (ours) {
        removeCopy(folder, folderName, name);
    }
}

// What a sweep of the folder that holds the caches works with.
struct Sweep {
    const wchar_t* folder;
    wchar_t folderName[pathCapacity];
    const wchar_t* ownId;
    CopyOwner owner;
    bool otherBuilds;
};

bool sweepEntry(const WalkEntry& entry, void* context) {
    const Sweep& sweep = *static_cast<const Sweep*>(context);
    // Links are never entered, moved or removed, and files are none of a run's.
    DWORD attributes = entry.found->dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    const wchar_t* name = entry.found->cFileName;
    FolderEntry kind = classifyFolderEntry(name);
    bool own = wcsncmp(name, sweep.ownId, cacheIdLength) == 0;
    DWORD unused = 0;
    // Only what this product's runs made goes: its marker proves it.
    if (kind == FolderEntry::cache && !own && sweep.otherBuilds) {
        // Whatever keeps it (a running instance, a link) leaves it to a later run.
        moveAsideAndRemove(sweep.folder, sweep.folderName, name, sweep.owner, Wanted::usersComplete,
                           nullptr, &unused);
    } else if (kind == FolderEntry::partial) {
        // A run that unpacks into it holds it, on this machine or on another
        // that shares the folder: then it cannot be moved.
        moveAsideAndRemove(sweep.folder, sweep.folderName, name, sweep.owner, Wanted::usersMadeByUs,
                           nullptr, &unused);
    } else if (kind == FolderEntry::aside) {
        removeCopySetAside(sweep.folder, sweep.folderName, name, sweep.owner);
    }
    return true;
}

} // namespace

void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownId, const wchar_t* company,
                      const wchar_t* product, bool otherBuilds) {
    // What the system calls the folder: an entry whose handle goes by
    // another name than the folder's and its own was reached through a link.
    // Without it nothing could be told apart from what a link leads to.
    Sweep sweep = {folder, {}, ownId, {}, otherBuilds};
    formatOwner(&sweep.owner, ownId, company, product);
    noteDirectoryName(folder, sweep.folderName, pathCapacity);
    if (sweep.folderName[0] == 0) {
        return;
    }
    wchar_t listed[extendedPathCapacity];
    size_t length = extendedForm(folder, listed);
    if (length != 0) {
        walkDirectory(listed, length, Listing::basic, sweepEntry, &sweep);
    }
}

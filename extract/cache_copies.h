// Moving the product's copies aside and removing them: what a run clears
// from the cache's name, the copy it lost a race with, and what the sweep of
// the folder that holds the caches removes. Only copies whose marker shows
// that the product's runs made them are ever touched, and never through a
// link.
#pragma once

#include <windows.h>

#include "extract/cache_marker.h"

// A sibling a run unpacks into, and one an incomplete copy is set aside
// to: the cache's name, a kind, and the run's values.
#define ONEFILE_PARTIAL_KIND L"" ONEFILE_CACHE_PARTIAL_KIND
#define ONEFILE_ASIDE_KIND L".aside-"

// What a move aside answers for a copy that carries no proof of this
// product's runs.
constexpr DWORD notThisProductsCopy = ERROR_FILE_EXISTS;
// What a move aside answers when another entry than the one looked at has
// taken the name meanwhile.
constexpr DWORD anotherEntryAtTheName = ERROR_OBJECT_ALREADY_EXISTS;

// What a file system entry is, whatever its name: a directory looked at and
// found wanting is set aside only while it is still the one at the name. The
// creation time tells apart an entry that got the number of one removed
// meanwhile (Unix file systems, which Wine shows, reuse them at once).
struct EntryIdentity {
    bool known;
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    FILETIME created;
};

EntryIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information);

// Whether the system calls what `handle` names `folderName` \ `name`: the
// entry itself, not what a link at its name leads to (Windows opens a link
// as itself, Wine a Unix link as what it points to). False when the
// folder's name is not known.
bool isFolderEntry(HANDLE handle, const wchar_t* folderName, const wchar_t* name);

// What a copy must be to be moved or removed.
enum class Wanted {
    // At the cache's own name, looked at and found wanting: a plain
    // directory that this product's runs made, whoever owns it now (it is
    // not run from).
    madeByUs,
    // A partial copy or one set aside: the same, of the user's own.
    usersMadeByUs,
    // Another build's directory: the same, complete, of the build its name gives.
    usersComplete,
};

// Removes the copy `name` that this product's runs made, in `folder` (whose
// system name is `folderName`): everything in it first, and its marker only
// together with the copy itself, so that a removal cut short (the process
// ends, a file is in use, another run looks at the copy) leaves the proof
// that lets a later run finish it. Only the entries themselves go, never
// what a link leads to (under Wine, where such a link opens as its target,
// the name tells), and nothing when the folder's name is not known.
void removeCopy(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name);

// Moves the entry `name` in `folder` (whose system name is `folderName`)
// aside in one step, then removes it there, when it is a copy of the kind
// `wanted` for `owner`: nothing else, whatever its name, is ever moved. The
// move goes through a handle on the entry itself, with delete access: it
// fails while anyone holds the entry without delete sharing (a running
// instance's hold, or a run's on the copy it unpacks into), and on Windows
// while any file in it is open; the hold also keeps the entry that the
// checks look at in place. Under Wine a Unix link opens as what it leads
// to, which a move through it would carry off: what does not go by the
// entry's own name is never moved, nor anything when the folder's name is
// not known. `identity` non-null: only that very entry. False, with the
// system's reason in `*error`, when nothing was moved (notThisProductsCopy
// for a copy that is not the kind wanted).
bool moveAsideAndRemove(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const CopyOwner& owner, Wanted wanted, const EntryIdentity* identity,
                        DWORD* error);

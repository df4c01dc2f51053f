// The bootstrap's one directory walk and its one extended-length path form,
// and the removal of a directory tree built on them: used by every delete
// attempt of the cleanup, by the cache's count, check and sweep, and
// measured on its own by the benchmarks.
#pragma once

#include <stddef.h>
#include <windows.h>

#include "formats/archive_layout.h"

// Room for the extended-length form of any path the bootstrap makes, and for
// the paths a walk builds below it.
constexpr size_t extendedPathCapacity = pathCapacity + 8;

// Removes `path` (a directory) and everything below it, depth first, through
// extended-length paths so that trees deeper than the classic path limit go
// too. Reports nothing; whatever cannot be removed stays.
//
// Links are removed as links and never followed: every entry is opened as
// itself (not what it points to) and deleted through that handle, once the
// system's name for the handle shows that it is this very entry. Windows
// opens a symbolic link or junction as itself; Wine opens what a Unix link
// points to, which the name then gives away. Such a link to a file is
// replaced by an empty file of our own, by a rename (which replaces the link
// itself), and that file is deleted; a link to a folder is left where it is.
// A folder is listed through the very handle whose name was checked, which
// keeps anyone from moving it away or putting a link in its place until its
// entries are gone: the walk never goes where a swap after the check would
// lead. A folder 512 names below `path` is not entered (no record's path
// has more), and stays with what it holds.
//
// `name` is what the system called the directory when it was made (see
// noteDirectoryName); a directory that now goes by another name has been
// replaced by a link and is left alone. Null or empty: the directory is
// taken as found. A file at `path` is deleted as itself when `name` shows
// that it is the entry there, and left otherwise.
//
// Returns false when something had to be left because it is, or may be, a
// link, or lies too deep to be looked at, or when a file at `path` is still
// there: whatever deletes more must not walk the tree by following links.
bool removeDirectoryTree(const wchar_t* path, const wchar_t* name);

// Writes into `name` (capacity in wide characters) what the system calls the
// directory or file at `path`: its path on its volume, as a handle's name
// query gives it. Empty when the system cannot tell.
void noteDirectoryName(const wchar_t* path, wchar_t* name, size_t capacity);

// Whether the system calls what `handle` names `name` (a name of the form
// noteDirectoryName gives), letter case aside. Under Wine a handle opened
// through a Unix link names what the link points to, which this tells apart.
// False when the system cannot tell, or `name` is empty.
bool hasSystemName(HANDLE handle, const wchar_t* name);

// `path` (a full path) in its extended-length form ("\\?\" and the path,
// or "\\?\UNC\" and a share's path) in `extended`, which holds
// extendedPathCapacity characters; returns its length, or 0 when `path` does
// not fit or is not a full path.
size_t extendedForm(const wchar_t* path, wchar_t* extended);

// How a walk asks the system for a directory's entries.
enum class Listing {
    full,       // every field, short names too
    basic,      // no short names
    basicBatch, // no short names, in larger batches: for walks over whole trees
};

// An entry met by a walk.
struct WalkEntry {
    wchar_t* path;                 // the walk's buffer: the folder, a backslash and the name
    size_t length;                 // of `path`
    size_t folderLength;           // of the folder's part of `path`
    const WIN32_FIND_DATAW* found; // as the listing gave it: name, attributes, size
};

// Told each entry in turn; false stops the walk. It may walk `entry.path`
// further with the same buffer (a folder's own entries).
typedef bool (*WalkVisitor)(const WalkEntry& entry, void* context);

// How a walk of one directory ended.
enum class WalkEnd {
    whole,    // every entry was told
    stopped,  // a visitor stopped it
    unlisted, // the directory could not be listed: gone, no directory, no access
    partial,  // an entry whose path does not fit the buffer was passed over
};

// Tells `visit` each entry of the directory at `path` (its extended-length
// form, `length` characters, in a buffer of extendedPathCapacity) but "."
// and "..", in the order the system lists them, with `path` holding the
// entry's path; `path` holds the directory again when it returns. It opens
// nothing and goes into nothing: whether an entry is a link, to be left or
// removed as itself, or a folder to walk in turn is the visitor's to decide,
// from the listed attributes and, where a link may open as what it points
// to, from the name the system gives its handle.
WalkEnd walkDirectory(wchar_t* path, size_t length, Listing listing, WalkVisitor visit,
                      void* context);

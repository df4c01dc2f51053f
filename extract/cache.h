// Cached mode: a build that unpacks once into a directory of its own, fixed
// per build, which later runs start from without reading the archive.
//
// The directory is only ever made whole: a first run unpacks into a private
// sibling (".partial-" and its run's values), writes the completion marker
// last and renames the sibling into place in one step. A directory there
// without the marker this build writes, or with files missing or changed in
// size, is set aside and removed, and the run unpacks afresh. Nothing of the
// cache is removed at the end of a run or on its events; a partial sibling of
// the run is.
#pragma once

// Whether this build runs in cached mode.
bool cachedMode();

// The spec of the directory a run unpacks into or starts from: the build's
// spec, and in cached mode a folder below what it names with the build's id
// as its name, so that two builds never share a directory.
const wchar_t* targetDirectorySpec();

// Parent: makes targetDirectoryPath (the cache directory, expanded) hold this
// build's complete files, unpacking them when it does not, and holds it open
// so that no other run can set it aside while this one's child runs. All
// failures are fatal.
void prepareCache();

// Child: names the entry library in the cache directory without the archive.
void nameCachedEntryLibrary();

// Cached mode: a build that unpacks once into a directory of its own, fixed
// per build, which later runs start from without reading the archive.
//
// The directory is only ever made whole: a first run unpacks into a private
// sibling (".partial-" and its run's values), into which it writes the
// marker's first line (the product and the build) before anything else and
// completes the marker last (with a digest of the names and sizes it
// unpacked), and renames the sibling into place in one step. A directory
// there that this product's runs made but that lacks the complete marker
// this build writes, has files missing, added, renamed or changed in size,
// or is reached through a link, is set aside and removed, and the run
// unpacks afresh; what no run of the product made is never touched. Nothing
// of the cache is removed at the end of a run or on its events; a partial
// sibling of the run is.
//
// The folder that holds the cache directory holds those of the product's
// other builds too, and perhaps other products' and the user's own folders.
// While its application runs, a run removes what the product's ended runs
// left there, and the product's other builds' directories that nothing holds
// unless the build keeps them (buildOptionKeepOtherVersions).
#pragma once

// Whether this build runs in cached mode.
bool cachedMode();

// The spec of the directory a run unpacks into or starts from: the build's
// spec, and in cached mode a folder below what it names with the build's id
// as its name, so that two builds never share a directory; for a child
// whose parent runs the application from a private copy (it left the run
// values that name it published), that copy beside it.
const wchar_t* targetDirectorySpec();

// What a cached parent runs the application from.
enum class CacheRun {
    // The cache directory, complete and held: the application runs in this
    // process.
    cache,
    // A copy of this run's own beside the cache, which is incomplete and
    // which other processes keep from being replaced: a child runs the
    // application from the copy, and the copy goes when the child ends, as a
    // per-run build's directory does.
    privateCopy,
};

// Parent: makes targetDirectoryPath (the cache directory, expanded) hold this
// build's complete files, unpacking them when it does not (guarded by the
// console handler and the session window only then), and holds it open so
// that no other run can set it aside while this process runs the
// application from it. When what is there cannot be set aside because other
// processes use it, targetDirectoryPath is a private copy instead, unpacked
// and guarded as a per-run build's directory is. All failures are fatal.
CacheRun prepareCache();

// On a thread of its own beside the application, on every run: removes from
// the folder that holds the cache directory what runs that ended halfway left
// beside any build's directory, and the complete directories of the
// product's other builds that no running instance holds (unless the build
// keeps them). It changes nothing the application sees (the environment
// included). The run waits for it once the application has returned, but an
// end of the process before that (ExitProcess, a kill) may cut it off at any
// point. Reports nothing; what cannot go now stays for a later run.
void removeOtherVersions();

// The sweep behind it: in `folder`, removes the copies set aside and the
// partial copies that no run holds (a run holds the copy it unpacks into, on
// this machine or on another that shares the folder) of every build of
// `company`'s `product`, and, with `otherBuilds`, the product's complete
// directories of builds other than `ownId` that nothing holds. Only
// directories directly in `folder` whose names begin with a build's id are
// looked at, and only those whose marker shows that the product's runs made
// them are touched: another product's copies, the user's own folders and
// copies of builds that did not name their product in the marker stay.
// Links are never entered, moved or removed, and nothing at all is when the
// system cannot tell the folder's name.
void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownId, const wchar_t* company,
                      const wchar_t* product, bool otherBuilds);

// Names the entry library in the cache directory without the archive.
void nameCachedEntryLibrary();

// The removal walk of a directory tree, used by every delete attempt of the
// cleanup and measured on its own by the benchmarks.
#pragma once

// Removes `path` (a directory) and everything below it, depth first, through
// extended-length paths so that trees deeper than the classic path limit go
// too. Links are removed as links, never followed. Reports nothing; whatever
// cannot be removed stays.
void removeDirectoryTree(const wchar_t* path);

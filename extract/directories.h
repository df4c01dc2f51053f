// Directory creation for the record loop, with a registry of directories
// known to exist so that the many files of one directory cost one system call.
#pragma once

constexpr int knownDirectoriesCapacity = 1024;

struct KnownDirectories {
    wchar_t* entries[knownDirectoriesCapacity]; // heap copies, exactly as passed in; never freed
    int count;                                  // entries in use; entry 0 is the home directory
};

// Makes `path` exist; true when it exists now or is taken to exist.
bool ensureDirectory(const wchar_t* path);

// Creates, top-down, the missing directories above `path` (not `path` itself).
void createDirectoryTree(const wchar_t* path);

// Makes the directory that will hold the file `path` exist, as far as possible.
void createContainingDirectories(const wchar_t* path);

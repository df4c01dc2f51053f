// Directory creation for the record loop, with a registry of directories
// known to exist so that the many files of one directory cost one system call.
#pragma once

#include <windows.h>

constexpr int knownDirectoriesCapacity = 1024;

struct KnownDirectories {
    wchar_t* entries[knownDirectoriesCapacity]; // heap copies, exactly as passed in; never freed
    int count;                                  // entries in use; entry 0 is the home directory
};

// Creates `path`, which must not exist yet, with the private security
// descriptor (base/security.h): its user alone has access, to it and to
// all below. False, with the system's error in `*error` (ERROR_ALREADY_EXISTS
// when anything at all is there), when it was not created by this call.
bool createPrivateDirectory(const wchar_t* path, DWORD* error);

// Enters `path` in the registry as existing, without a system call.
void rememberKnownDirectory(const wchar_t* path);

// Makes `path` exist; true when it exists now or is taken to exist.
bool ensureDirectory(const wchar_t* path);

// Creates, top-down, the missing directories above `path` (not `path` itself).
void createDirectoryTree(const wchar_t* path);

// Makes the directory that will hold the file `path` exist, as far as possible.
void createContainingDirectories(const wchar_t* path);

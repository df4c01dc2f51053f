#include "extract/directories.h"

#include <stdlib.h>
#include <wchar.h>

#include "formats/archive_layout.h"
#include "base/bounded.h"
#include "base/seams.h"
#include "base/security.h"
#include "errors/errors.h"
#include "extract/testing.h"
#include "paths/path_spec.h"

KnownDirectories knownDirectories;

namespace {

void rememberDirectory(const wchar_t* path) {
    if (knownDirectories.count >= knownDirectoriesCapacity) {
        return; // full: still created, no longer remembered
    }
    wchar_t* copy = SYSTEM_CALL(_wcsdup)(path);
    if (copy == nullptr) {
        fatalError(messageNoMemory);
    }
    knownDirectories.entries[knownDirectories.count++] = copy;
}

// The last backslash of `path`, never its first code unit; null when none.
wchar_t* findLastSeparator(wchar_t* path) {
    size_t length = wcslen(path);
    for (size_t i = length; i > 1; --i) {
        if (path[i - 1] == L'\\') {
            return path + i - 1;
        }
    }
    return nullptr;
}

// The home directory exists; walks up from below it stop there without a system call.
void seedKnownDirectories() {
    if (knownDirectories.count == 0) {
        wchar_t home[pathCapacity];
        if (!expandPathSpec(home, L"{HOME}", pathCapacity)) {
            fatalSpecExpansionError(L"{HOME}");
        }
        rememberDirectory(home);
    }
}

} // namespace

void rememberKnownDirectory(const wchar_t* path) {
    seedKnownDirectories();
    rememberDirectory(path);
}

bool createPrivateDirectory(const wchar_t* path, DWORD* error) {
    SECURITY_ATTRIBUTES attributes;
    if (!privateSecurityAttributes(&attributes, error)) {
        return false;
    }
    // Fails with ERROR_ALREADY_EXISTS for whatever is there already: a
    // directory, a file or a link, of anyone.
    if (!SYSTEM_CALL(CreateDirectoryW)(path, &attributes)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool ensureDirectory(const wchar_t* path) {
    seedKnownDirectories();
    for (int i = 0; i < knownDirectories.count; ++i) {
        if (wcscmp(knownDirectories.entries[i], path) == 0) {
            return true;
        }
    }
    // A drive such as "C:" is taken to exist.
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) {
        return true;
    }
    if (!SYSTEM_CALL(CreateDirectoryW)(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    rememberDirectory(path);
    return true;
}

void createDirectoryTree(const wchar_t* path) {
    // Walks up until a directory exists or can be made, then makes each one
    // that failed on the way up, top-down. One buffer for every level: cutting
    // at a backslash leaves the text after it in place, so writing the
    // backslash back at the current end steps one level down again.
    wchar_t level[pathCapacity];
    copyBounded(level, pathCapacity, path);
    int failedLevels = 0;
    for (;;) {
        wchar_t* separator = findLastSeparator(level);
        if (separator == nullptr) {
            break;
        }
        *separator = 0;
        if (ensureDirectory(level)) {
            if (failedLevels == 0) {
                return;
            }
            level[wcslen(level)] = L'\\';
            break;
        }
        ++failedLevels;
    }
    for (int i = failedLevels; i >= 1; --i) {
        ensureDirectory(level);
        if (i > 1) {
            level[wcslen(level)] = L'\\';
        }
    }
}

void createContainingDirectories(const wchar_t* path) {
    wchar_t directory[pathCapacity];
    copyBounded(directory, pathCapacity, path);
    wchar_t* separator = findLastSeparator(directory);
    if (separator == nullptr) {
        return;
    }
    *separator = 0;
    if (ensureDirectory(directory)) {
        return;
    }
    // The directory above is tried next; only when it is missing too does the
    // creation walk further up.
    createDirectoryTree(directory);
    ensureDirectory(directory);
}

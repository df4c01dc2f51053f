#include "cleanup/tree.h"

#include <wchar.h>
#include <windows.h>

#include "bootstrap/bootstrap.h"

namespace {

// Removes everything below `path` (an extended-length path of `length`
// characters in a buffer of `capacity`), depth first.
void removeTreeBelow(wchar_t* path, size_t length, size_t capacity) {
    if (length + 3 > capacity) {
        return;
    }
    wmemcpy(path + length, L"\\*", 3);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(path, &entry);
    path[length] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const wchar_t* name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        size_t nameLength = wcslen(name);
        if (length + 1 + nameLength + 1 > capacity) {
            continue;
        }
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(path, entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        }
        // Links are removed as links, never followed.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            removeTreeBelow(path, length + 1 + nameLength, capacity);
            RemoveDirectoryW(path);
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryW(path);
        } else {
            DeleteFileW(path);
        }
        path[length] = 0;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

} // namespace

void removeDirectoryTree(const wchar_t* path) {
    wchar_t extended[pathCapacity + 8];
    size_t length = wcsnlen(path, pathCapacity);
    if (length >= pathCapacity) {
        return;
    }
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0) {
        wmemcpy(extended, path, length + 1);
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        // \\server\share becomes \\?\UNC\server\share
        wmemcpy(extended, L"\\\\?\\UNC", 7);
        wmemcpy(extended + 7, path + 1, length);
        length += 6;
    } else {
        wmemcpy(extended, L"\\\\?\\", 4);
        wmemcpy(extended + 4, path, length + 1);
        length += 4;
    }
    removeTreeBelow(extended, length, sizeof extended / sizeof extended[0]);
    RemoveDirectoryW(extended);
}

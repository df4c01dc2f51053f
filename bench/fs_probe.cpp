// What the file system costs a Windows program, without any decompression:
//   fs_probe write LIST DIRECTORY
//          creates below DIRECTORY the files that LIST names (UTF-8 lines
//          "SIZE<tab>RELATIVE\PATH"), each with SIZE zero bytes written in
//          32 KiB pieces, the way a packaged executable writes its files
//   fs_probe shell DIRECTORY
//          removes DIRECTORY by one SHFileOperationW delete (silent, no
//          confirmation, no recycle bin), as a packaged executable does
//   fs_probe walk DIRECTORY
//          removes DIRECTORY by the packaged executable's own removal walk
//          (linked from the bootstrap library), without the shell's delete
// Prints "seconds=S"; exits 0 when it did what it was asked, 1 otherwise.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "cleanup/tree.h"

namespace {

wchar_t path[32768];

char piece[32768];

// Makes every directory on the way to the file at `path`, top-down.
void makeDirectoriesFor(wchar_t* file, size_t rootLength) {
    for (wchar_t* at = file + rootLength + 1; *at != 0; ++at) {
        if (*at == L'\\') {
            *at = 0;
            CreateDirectoryW(file, nullptr);
            *at = L'\\';
        }
    }
}

bool writeFiles(const wchar_t* listPath, size_t rootLength) {
    FILE* list = _wfopen(listPath, L"rb");
    if (list == nullptr) {
        fwprintf(stderr, L"fs_probe: cannot read %ls\n", listPath);
        return false;
    }
    CreateDirectoryW(path, nullptr);
    static char line[16384];
    static wchar_t previousDirectory[32768];
    while (fgets(line, sizeof line, list) != nullptr) {
        char* tab = strchr(line, '\t');
        if (tab == nullptr) {
            continue;
        }
        unsigned long long size = strtoull(line, nullptr, 10);
        tab[strcspn(tab, "\r\n")] = 0;
        path[rootLength] = L'\\';
        int units = MultiByteToWideChar(CP_UTF8, 0, tab + 1, -1, path + rootLength + 1,
                                        static_cast<int>(32767 - rootLength));
        if (units == 0) {
            return false;
        }
        // A new directory is made once, before its first file.
        wchar_t* lastSeparator = wcsrchr(path, L'\\');
        *lastSeparator = 0;
        if (wcscmp(previousDirectory, path) != 0) {
            wcscpy(previousDirectory, path);
            *lastSeparator = L'\\';
            makeDirectoriesFor(path, rootLength);
        }
        *lastSeparator = L'\\';
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"fs_probe: cannot create %ls (error %lu)\n", path, GetLastError());
            return false;
        }
        while (size > 0) {
            DWORD count = size < sizeof piece ? static_cast<DWORD>(size) : sizeof piece;
            DWORD written = 0;
            if (!WriteFile(file, piece, count, &written, nullptr)) {
                return false;
            }
            size -= count;
        }
        CloseHandle(file);
        path[rootLength] = 0;
    }
    fclose(list);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool writing = argc == 4 && wcscmp(argv[1], L"write") == 0;
    bool removing = argc == 3 && (wcscmp(argv[1], L"shell") == 0 || wcscmp(argv[1], L"walk") == 0);
    if (!writing && !removing) {
        fwprintf(stderr, L"usage: fs_probe write LIST DIRECTORY | fs_probe shell|walk DIRECTORY\n");
        return 2;
    }
    DWORD length = GetFullPathNameW(argv[argc - 1], 32760, path, nullptr);
    if (length == 0 || length >= 32760) {
        fwprintf(stderr, L"fs_probe: cannot resolve %ls\n", argv[argc - 1]);
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    bool done = true;
    if (writing) {
        done = writeFiles(argv[2], length);
    } else if (argv[1][0] == L's') {
        path[length + 1] = 0; // the shell wants a list ended by a second NUL
        SHFILEOPSTRUCTW request = {};
        request.wFunc = FO_DELETE;
        request.pFrom = path;
        request.pTo = L"";
        request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
        SHFileOperationW(&request);
    } else {
        removeDirectoryTree(path, nullptr);
    }
    QueryPerformanceCounter(&end);
    printf("seconds=%.6f\n", static_cast<double>(end.QuadPart - start.QuadPart) /
                                 static_cast<double>(frequency.QuadPart));
    if (writing) {
        return done ? 0 : 1;
    }
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}

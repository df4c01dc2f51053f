#include "paths/binary_path.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/bounded.h"
#include "base/seams.h"
#include "errors/errors.h"
#include "paths/testing.h"

wchar_t resolvedBinaryPath[binaryPathCapacity];
wchar_t reportedBinaryPath[binaryPathCapacity];

namespace {

// Looked up at run time: older systems do not have it.
FinalPathFunction findFinalPathFunction() {
    return reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
}

// Fills `buffer` with the module file name unless it is filled already. A name
// cut at the capacity would name some other file, so it ends the process.
void fillModuleFileName(wchar_t* buffer) {
    if (buffer[0] != 0) {
        return;
    }
    DWORD length = GetModuleFileNameW(nullptr, buffer, binaryPathCapacity);
    if (length >= binaryPathCapacity || wmemchr(buffer, 0, binaryPathCapacity) == nullptr) {
        terminateImmediately();
    }
}

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

} // namespace

#ifdef ONEFILE_SEAMS
FinalPathFunction (*seamFindFinalPathFunction)() = findFinalPathFunction;
decltype(&::GetShortPathNameW) seamGetShortPathNameW = &::GetShortPathNameW;
#define FIND_FINAL_PATH_FUNCTION seamFindFinalPathFunction
#else
#define FIND_FINAL_PATH_FUNCTION findFinalPathFunction
#endif

const wchar_t* getBinaryPath(BinaryPathForm form) {
    if (form == BinaryPathForm::resolved) {
        if (resolvedBinaryPath[0] == 0) {
            fillModuleFileName(resolvedBinaryPath);
            normalizeExecutablePath(resolvedBinaryPath, binaryPathCapacity);
        }
        return resolvedBinaryPath;
    }
    // Kept as reported: the child is started from it, and its directory part
    // is published, where the long and the short form name the same directory.
    fillModuleFileName(reportedBinaryPath);
    return reportedBinaryPath;
}

void normalizeExecutablePath(wchar_t* path, size_t capacity) {
    if (wmemchr(path, 0, capacity) == nullptr) {
        terminateImmediately();
    }
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        FinalPathFunction finalPath = FIND_FINAL_PATH_FUNCTION();
        if (finalPath != nullptr) {
            // Into a buffer of its own, so that a failed query keeps the path.
            wchar_t* final = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
            if (final == nullptr) {
                terminateImmediately();
            }
            DWORD length = finalPath(file, final, static_cast<DWORD>(capacity), 0);
            CloseHandle(file);
            if (length > capacity - 1) {
                terminateImmediately();
            }
            if (length > 0) {
                wmemcpy(path, final, length + 1);
            }
            free(final);
        } else {
            CloseHandle(file);
        }
        if (startsWith(path, L"\\\\?\\") && path[4] != 0 && path[5] == L':') {
            wmemmove(path, path + 4, wcslen(path + 4) + 1);
        }
        if (startsWith(path, L"\\\\?\\UNC\\")) {
            wmemmove(path + 2, path + 8, wcslen(path + 8) + 1);
        }
    }
    shortenDirectoryPart(path, capacity);
}

void shortenDirectoryPart(wchar_t* path, size_t capacity) {
    if (wmemchr(path, 0, capacity) == nullptr) {
        terminateImmediately();
    }
    wchar_t* lastComponent = nullptr;
    wchar_t* separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        *separator = 0;
        lastComponent = _wcsdup(separator + 1);
        if (lastComponent == nullptr) {
            terminateImmediately();
        }
    }
    DWORD size = SYSTEM_CALL(GetShortPathNameW)(path, nullptr, 0);
    if (size != 0) {
        wchar_t* shortForm = static_cast<wchar_t*>(malloc((size + 1) * sizeof(wchar_t)));
        if (shortForm == nullptr) {
            terminateImmediately();
        }
        DWORD length = SYSTEM_CALL(GetShortPathNameW)(path, shortForm, size);
        if (length > size) {
            terminateImmediately();
        }
        // Nothing was written when the second question failed.
        if (length > 0) {
            copyBounded(path, capacity, shortForm);
        }
        free(shortForm);
    }
    if (lastComponent != nullptr) {
        appendBounded(path, capacity, L"\\");
        appendBounded(path, capacity, lastComponent);
        free(lastComponent);
    }
}

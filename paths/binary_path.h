// The bootstrap's own executable path, resolved (final path, no "\\?\" forms,
// short directory part) for comparison, or as the system reports it.
#pragma once

#include <stddef.h>
#include <windows.h>

// Wide characters of a form of the own path, the terminator included.
constexpr size_t binaryPathCapacity = 4097;

enum class BinaryPathForm { resolved, reported };

// The cached path in the asked form, filled on the first call for that form.
const wchar_t* getBinaryPath(BinaryPathForm form);

// Final path, prefix removal and short directory part, in place.
void normalizeExecutablePath(wchar_t* path, size_t capacity);

// Converts the directory part of `path` to its short form, keeping the file name.
void shortenDirectoryPart(wchar_t* path, size_t capacity);

// GetFinalPathNameByHandleW's signature; the function is looked up at run time.
typedef DWORD(WINAPI* FinalPathFunction)(HANDLE, LPWSTR, DWORD, DWORD);

#ifdef ONEFILE_SEAMS
// Test copy only: tests play a system whose final and short paths they choose.
// The look-up yields null where the system has no final-path query.
extern FinalPathFunction (*seamFindFinalPathFunction)();
extern decltype(&::GetShortPathNameW) seamGetShortPathNameW;
#endif

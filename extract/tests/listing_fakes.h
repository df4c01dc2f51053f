// What Wine cannot show, through the test seams: an entry listed as a link
// (a reparse point, as Windows lists a symbolic link or junction), for as
// many entries as the fake is armed for, and a directory that cannot be
// moved.
#pragma once

#include <windows.h>

#include <string>

#include "base/seams.h"

struct ListingFakes {
    std::wstring linkPrefix; // an entry whose name begins so is listed as a link
    int linkListings = 0;
};
inline ListingFakes listingFakes;

inline void showAsLink(WIN32_FIND_DATAW* found) {
    if (listingFakes.linkListings > 0 &&
        std::wstring(found->cFileName).rfind(listingFakes.linkPrefix, 0) == 0) {
        --listingFakes.linkListings;
        found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
}

inline HANDLE WINAPI fakeFindFirstEx(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                     FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    HANDLE find = FindFirstFileExW(pattern, level, found, search, filter, flags);
    if (find != INVALID_HANDLE_VALUE) {
        showAsLink(static_cast<WIN32_FIND_DATAW*>(found));
    }
    return find;
}

inline BOOL WINAPI fakeFindNext(HANDLE find, LPWIN32_FIND_DATAW found) {
    BOOL more = FindNextFileW(find, found);
    if (more) {
        showAsLink(found);
    }
    return more;
}

// Lists through the fakes, unarmed, until the returned value goes.
struct FakeListings {
    FakeListings() {
        listingFakes = {};
        seamFindFirstFileExW = fakeFindFirstEx;
        seamFindNextFileW = fakeFindNext;
    }
    ~FakeListings() {
        seamFindFirstFileExW = FindFirstFileExW;
        seamFindNextFileW = FindNextFileW;
    }
};

// What Windows answers a move of a directory while a file in it is open (a
// library that an instance loaded from it), where Wine moves it; or what Wine
// answers while the directory itself is held without delete sharing.
inline DWORD renameRefusal = ERROR_ACCESS_DENIED;

inline BOOL WINAPI refuseRenames(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                 DWORD size) {
    if (kind == FileRenameInfo) {
        SetLastError(renameRefusal);
        return FALSE;
    }
    return SetFileInformationByHandle(handle, kind, information, size);
}

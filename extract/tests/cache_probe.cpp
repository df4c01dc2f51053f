// A cached build's outcomes that end the process, watched from outside:
//   cache_probe marker-write-failure <temp>   a first run whose write of the
//     completion marker fails (a full disk); caches go to <temp>\cache
//   cache_probe entry=<name> <temp>   a later run's child naming its entry
//     library <name> (as the build's constant holds it)
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/seams.h"
#include "base/state.h"
#include "extract/cache.h"
#include "extract/target_directory.h"
#include "extract/tests/cached_build.h"
#include "tests/support/process.h"

namespace {

const wchar_t markerName[] = L"onefile-cache-complete";

// The marker's handle, once made, and what happened to it and the removal in order.
HANDLE marker = nullptr;
std::vector<std::string> events;

bool namesMarker(HANDLE file) {
    wchar_t path[4096];
    DWORD length = GetFinalPathNameByHandleW(file, path, 4096, 0);
    std::wstring name(path, length < 4096 ? length : 0);
    return name.size() >= wcslen(markerName) &&
           name.compare(name.size() - wcslen(markerName), std::wstring::npos, markerName) == 0;
}

BOOL WINAPI markerWriteFails(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
    if (namesMarker(file)) {
        marker = file;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI noteClose(HANDLE handle) {
    if (handle == marker && marker != nullptr) {
        events.push_back("marker closed");
        marker = nullptr;
    }
    return CloseHandle(handle);
}

// The removal walk lists each folder before it deletes what is in it; on
// Windows a file still open without delete sharing would keep the copy.
HANDLE WINAPI noteListing(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
    events.push_back("removal lists a folder");
    return FindFirstFileW(pattern, found);
}

void reportEvents() {
    for (const std::string& event : events) {
        printf("%s\n", event.c_str());
    }
    fflush(stdout);
}

const std::vector<TestRecord> records = {{L"app.dll", "MZ entry"}, {L"data\\a.txt", "aaaa"}};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 100;
    }
    std::wstring scenario = argv[1];
    SetEnvironmentVariableW(L"TMP", argv[2]);
    SetEnvironmentVariableW(L"TEMP", argv[2]);
    discardRunValues();
    if (scenario == L"marker-write-failure") {
        setCachedBuild(records);
        atexit(reportEvents);
        seamWriteFile = markerWriteFails;
        seamCloseHandle = noteClose;
        seamFindFirstFileW = noteListing;
        if (!expandTargetDirectory(targetDirectorySpec())) {
            return 101;
        }
        prepareCache();
        printf("prepared\n");
        return 0;
    }
    if (scenario.rfind(L"entry=", 0) == 0) {
        setCachedBuild(records, testCacheId, scenario.substr(6));
        parentInstance = const_cast<wchar_t*>(L"1");
        if (!expandTargetDirectory(targetDirectorySpec())) {
            return 101;
        }
        nameCachedEntryLibrary();
        printf("named %s\n", toUtf8(entryLibraryPath).c_str());
        return 0;
    }
    return 100;
}

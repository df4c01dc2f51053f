// A cached build's outcomes that end the process, watched from outside:
//   cache_probe marker-write-failure <temp>   a first run whose write of the
//     completion marker fails (a full disk); caches go to <temp>\cache
//   cache_probe prepare <temp>   a run's preparation of the cache, which
//     prints "prepared" when it holds a complete copy, "prepared a private
//     copy" when it cannot use the cache's name and unpacked one of its own
//   cache_probe damaged-on-arrival <temp>   the same, when each copy the run
//     moves into place arrives damaged
//   cache_probe entry=<name> <temp>   a later run's child naming its entry
//     library <name> (as the build's constant holds it)
//   cache_probe run <temp>   a whole run through the driver, whose entry
//     library is this program: its run_code reports what the application
//     finds in the process and returns 7
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/seams.h"
#include "base/state.h"
#include "bootstrap/driver.h"
#include "cleanup/cleanup.h"
#include "extract/cache.h"
#include "extract/target_directory.h"
#include "extract/tests/cached_build.h"
#include "launch/entry_library.h"
#include "tests/support/process.h"

namespace {

const wchar_t markerName[] = L"onefile-cache-complete";

// The marker's handle, once made, and what happened to it and the removal in order.
HANDLE marker = nullptr;
std::vector<std::string> events;
// Writes into the marker so far: its first line comes before its completion.
int markerWrites = 0;

bool namesMarker(HANDLE file) {
    wchar_t path[4096];
    DWORD length = GetFinalPathNameByHandleW(file, path, 4096, 0);
    std::wstring name(path, length < 4096 ? length : 0);
    return name.size() >= wcslen(markerName) &&
           name.compare(name.size() - wcslen(markerName), std::wstring::npos, markerName) == 0;
}

BOOL WINAPI markerWriteFails(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
    if (namesMarker(file) && ++markerWrites == 2) {
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
BOOL WINAPI noteListing(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID answer, DWORD size) {
    if (kind == FileFullDirectoryRestartInfo) {
        events.push_back("removal lists a folder");
    }
    return GetFileInformationByHandleEx(handle, kind, answer, size);
}

// Something damages each copy as it is moved into place (a cleaner, a
// failing disk): a file of it goes just before the move.
BOOL WINAPI moveDamaged(LPCWSTR from, LPCWSTR to, DWORD flags) {
    events.push_back("a copy moved into place");
    DeleteFileW((std::wstring(from) + L"\\data\\a.txt").c_str());
    return MoveFileExW(from, to, flags);
}

void reportEvents() {
    for (const std::string& event : events) {
        printf("%s\n", event.c_str());
    }
    fflush(stdout);
}

const std::vector<TestRecord> records = {{L"app.dll", "MZ entry"}, {L"data\\a.txt", "aaaa"}};

// What an ended run of another build left in the cache folder, which the
// test puts there for the removal beside the application to take up.
const wchar_t leftover[] = L"fedcba9876543210.partial-99_000000_left";
HANDLE applicationStarted;
HANDLE applicationReturned;
HANDLE removalBegan;
std::wstring cacheDirectory;
DWORD shutdownLevelAtStart;

HMODULE WINAPI loadThisProgram(LPCWSTR, HANDLE, DWORD) {
    return GetModuleHandleW(nullptr);
}

// The removal stops at what was left until the application has returned,
// once it runs, and says that it went on then; a removal that holds up the
// application's start goes on after a while, and says so.
HANDLE WINAPI openStoppingAtTheLeftover(LPCWSTR path, DWORD access, DWORD share,
                                        LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                        DWORD flags, HANDLE templateFile) {
    const size_t length = wcslen(path), leftoverLength = wcslen(leftover);
    if (length >= leftoverLength && wcscmp(path + length - leftoverLength, leftover) == 0) {
        SetEvent(removalBegan);
        if (WaitForSingleObject(applicationStarted, 20000) == WAIT_OBJECT_0) {
            WaitForSingleObject(applicationReturned, INFINITE);
            // Long after a process that did not wait for it would have ended.
            Sleep(500);
            printf("removal went on once the application returned\n");
        } else {
            printf("the removal held up the application\n");
        }
        fflush(stdout);
    }
    return CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

} // namespace

ONEFILE_ENTRY int run_code(int, wchar_t**, const wchar_t*) {
    SetEvent(applicationStarted);
    // Nothing the unpacking needed may stay: the application gets the
    // console's events and the end of the session as it would in a child.
    printf("console handler %s\n",
           SetConsoleCtrlHandler(consoleControlHandler, FALSE) ? "still there" : "gone");
    DWORD level = 0, shutdownFlags = 0;
    GetProcessShutdownParameters(&level, &shutdownFlags);
    printf("shutdown level %s\n", level == shutdownLevelAtStart ? "as at the start" : "changed");
    // Other runs can neither set aside nor remove the directory it runs from.
    const std::wstring moved = cacheDirectory + L".moved";
    const bool held = !MoveFileW(cacheDirectory.c_str(), moved.c_str());
    if (!held) {
        MoveFileW(moved.c_str(), cacheDirectory.c_str());
    }
    printf("cache %s\n", held ? "held" : "free");
    printf("removal %s\n", WaitForSingleObject(removalBegan, 20000) == WAIT_OBJECT_0
                               ? "beside the application"
                               : "not begun");
    fflush(stdout);
    SetEvent(applicationReturned);
    return 7;
}

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
        seamGetFileInformationByHandleEx = noteListing;
        if (!expandTargetDirectory(targetDirectorySpec())) {
            return 101;
        }
        prepareCache();
        printf("prepared\n");
        return 0;
    }
    if (scenario == L"prepare" || scenario == L"damaged-on-arrival") {
        setCachedBuild(records);
        if (scenario == L"damaged-on-arrival") {
            atexit(reportEvents);
            seamMoveFileExW = moveDamaged;
        }
        if (!expandTargetDirectory(targetDirectorySpec())) {
            return 101;
        }
        printf(prepareCache() == CacheRun::privateCopy ? "prepared a private copy\n"
                                                       : "prepared\n");
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
    if (scenario == L"run") {
        setCachedBuild(records);
        cacheDirectory = std::wstring(argv[2]) + L"\\cache\\" + testCacheId;
        applicationStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        applicationReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        removalBegan = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD shutdownFlags = 0;
        GetProcessShutdownParameters(&shutdownLevelAtStart, &shutdownFlags);
        seamLoadLibraryExW = loadThisProgram;
        seamCreateFileW = openStoppingAtTheLeftover;
        return runBootstrap(argc, argv);
    }
    return 100;
}

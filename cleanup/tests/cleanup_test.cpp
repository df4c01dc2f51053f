// The removal of the target directory: delete attempts, pauses, the child's
// grace period, and the console events that trigger it, watched through the
// test seams.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/seams.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "cleanup/testing.h"
#include "tests/support/process.h"

namespace {

struct Calls {
    int deletes = 0;
    int attributeTests = 0;
    std::vector<DWORD> pauses;
    std::vector<DWORD> waits;
    std::vector<UINT> terminations;
    std::vector<HANDLE> closed;
    SHFILEOPSTRUCTW lastRequest = {};
    std::wstring lastList; // pFrom up to and including its double NUL
    bool deleteForReal = true;
    bool replaceWithFile = false;
    bool directoryStays = false; // whatever the attempts do
    DWORD waitResult = WAIT_OBJECT_0;
    // The clock that the pauses and the waits for the child move on.
    ULONGLONG now = 1000000;
    ULONGLONG lastDeleteAt = 0;
} calls;

int WINAPI fakeShellDelete(LPSHFILEOPSTRUCTW request) {
    ++calls.deletes;
    calls.lastDeleteAt = calls.now;
    calls.lastRequest = *request;
    const wchar_t* end = request->pFrom;
    while (*end != 0) {
        ++end;
    }
    calls.lastList.assign(request->pFrom, end + 2);
    if (calls.replaceWithFile) {
        removeTree(request->pFrom);
        writeFileBytes(request->pFrom, "now a file");
        return 0;
    }
    return calls.deleteForReal ? SHFileOperationW(request) : 0;
}
DWORD WINAPI countingAttributes(LPCWSTR path) {
    ++calls.attributeTests;
    return calls.directoryStays ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesW(path);
}
void WINAPI recordingSleep(DWORD milliseconds) {
    calls.pauses.push_back(milliseconds);
    calls.now += milliseconds;
}
ULONGLONG WINAPI fakeClock() {
    return calls.now;
}
DWORD WINAPI fakeWait(HANDLE, DWORD milliseconds) {
    calls.waits.push_back(milliseconds);
    if (calls.waitResult == WAIT_TIMEOUT) {
        calls.now += milliseconds;
    }
    return calls.waitResult;
}
BOOL WINAPI fakeTerminate(HANDLE, UINT code) {
    calls.terminations.push_back(code);
    return TRUE;
}
BOOL WINAPI recordingClose(HANDLE handle) {
    calls.closed.push_back(handle);
    return TRUE;
}

class Cleanup : public testing::Test {
  protected:
    void SetUp() override {
        calls = Calls();
        seamshellFileOperation = fakeShellDelete;
        seamGetFileAttributesW = countingAttributes;
        seamSleep = recordingSleep;
        seamGetTickCount64 = fakeClock;
        seamWaitForSingleObject = fakeWait;
        seamTerminateProcess = fakeTerminate;
        seamCloseHandle = recordingClose;
        // The real listing, unless a test lists reparse points of its own.
        seamFindFirstFileW = FindFirstFileW;
        seamFindNextFileW = FindNextFileW;
        seamGetFileInformationByHandleEx = GetFileInformationByHandleEx;
        base = makeTemporaryDirectory(L"onefile-cleanup");
        target = base + L"\\onefile_1_2_3";
        CreateDirectoryW(target.c_str(), nullptr);
        writeFileBytes(target + L"\\app.dll", "MZ");
        wcscpy(targetDirectoryPath, target.c_str());
        extractionStarted = true;
        childProcessHandle = nullptr;
        childStarted = false;
        consoleProgram = false;
        removalState = removalNone;
        removalDeadline = 0;
        removalRequested = false;
        targetDirectoryName[0] = 0;
    }
    void TearDown() override { removeTree(base); }

    std::wstring base;
    std::wstring target;
};

TEST_F(Cleanup, ADirectoryGoneAfterTheFirstAttemptCostsNoPause) {
    cleanupTargetDirectory();
    EXPECT_FALSE(pathExists(target));
    EXPECT_EQ(calls.deletes, 1);
    EXPECT_EQ(calls.attributeTests, 1);
    EXPECT_TRUE(calls.pauses.empty());
}

TEST_F(Cleanup, TheRequestDeletesTheTreeSilentlyWithoutRecycleBin) {
    cleanupTargetDirectory();
    const SHFILEOPSTRUCTW& r = calls.lastRequest;
    EXPECT_EQ(r.hwnd, nullptr);
    EXPECT_EQ(r.wFunc, static_cast<UINT>(FO_DELETE));
    EXPECT_EQ(calls.lastList, target + std::wstring(2, L'\0'));
    EXPECT_EQ(std::wstring(r.pTo), L"");
    EXPECT_EQ(r.fFlags, 0x0414);
    EXPECT_EQ(r.hNameMappings, nullptr);
    EXPECT_EQ(std::wstring(r.lpszProgressTitle), L"");
}

TEST_F(Cleanup, ADirectoryThatStaysCosts21AttemptsAnd20PausesSilently) {
    // A file held open without delete sharing keeps the directory in place.
    std::wstring held = target + L"\\held.txt";
    HANDLE file = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    cleanupTargetDirectory();
    EXPECT_TRUE(isDirectory(target));
    EXPECT_TRUE(pathExists(held));
    EXPECT_EQ(calls.deletes, 21);
    EXPECT_EQ(calls.attributeTests, 20);
    EXPECT_EQ(calls.pauses, std::vector<DWORD>(20, 100));
    CloseHandle(file);
}

TEST_F(Cleanup, TreesDeeperThanTheClassicPathLimitGoToo) {
    std::wstring deep = L"\\\\?\\" + target;
    for (int level = 0; level < 6; ++level) {
        deep += L"\\" + std::wstring(120, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    writeFileBytes(deep + L"\\deep.txt", "deep");
    ASSERT_GT(deep.size(), 700u);
    cleanupTargetDirectory();
    EXPECT_FALSE(pathExists(target));
    EXPECT_EQ(calls.deletes, 1);
    EXPECT_TRUE(calls.pauses.empty());
}

TEST_F(Cleanup, RetriesStopWhenThePathNamesAFile) {
    calls.replaceWithFile = true;
    cleanupTargetDirectory();
    EXPECT_EQ(calls.deletes, 1);
    EXPECT_EQ(calls.attributeTests, 1);
    EXPECT_TRUE(calls.pauses.empty());
}

TEST_F(Cleanup, NothingIsDeletedBeforeExtractionStarted) {
    extractionStarted = false;
    cleanupTargetDirectory();
    EXPECT_EQ(calls.deletes, 0);
    EXPECT_EQ(calls.attributeTests, 0);
    EXPECT_TRUE(isDirectory(target));
}

TEST_F(Cleanup, AChildThatEndsWithinTheGracePeriodIsNotTerminated) {
    HANDLE fake = reinterpret_cast<HANDLE>(0x1234);
    childProcessHandle = fake;
    cleanupTargetDirectory();
    EXPECT_EQ(calls.waits, std::vector<DWORD>{5000});
    EXPECT_TRUE(calls.terminations.empty());
    EXPECT_EQ(calls.closed, std::vector<HANDLE>{fake});
    EXPECT_FALSE(pathExists(target));
}

TEST_F(Cleanup, AChildStillRunningAfterFiveSecondsIsTerminatedWithZero) {
    HANDLE fake = reinterpret_cast<HANDLE>(0x1234);
    childProcessHandle = fake;
    calls.waitResult = WAIT_TIMEOUT;
    cleanupTargetDirectory();
    EXPECT_EQ(calls.terminations, std::vector<UINT>{0});
    EXPECT_EQ(calls.closed, std::vector<HANDLE>{fake});
    // The handle is closed once only, whoever comes next.
    cleanupTargetDirectory();
    EXPECT_EQ(calls.closed.size(), 1u);
    EXPECT_EQ(calls.waits.size(), 1u);
}

TEST_F(Cleanup, AFailedWaitAlsoEndsTheChild) {
    childProcessHandle = reinterpret_cast<HANDLE>(0x1234);
    calls.waitResult = WAIT_FAILED;
    cleanupTargetDirectory();
    EXPECT_EQ(calls.terminations, std::vector<UINT>{0});
}

TEST_F(Cleanup, TheShellGetsPathsUpToTheClassicLimitEndedByTwoNuls) {
    calls.deleteForReal = false;
    std::wstring longest = L"Z:\\" + std::wstring(MAX_PATH - 4, L'x');
    wcscpy(targetDirectoryPath, longest.c_str());
    cleanupTargetDirectory();
    EXPECT_EQ(calls.deletes, 1);
    EXPECT_EQ(calls.lastList, longest + std::wstring(2, L'\0'));
    // A longer one, from the classic limit itself up to the longest, is left
    // to the walk: the shell could not delete below it, and Wine's shell
    // crashes on it.
    for (size_t length : {size_t{MAX_PATH}, size_t{4095}}) {
        removalState = removalNone;
        calls.deletes = 0;
        wcscpy(targetDirectoryPath, (L"Z:\\" + std::wstring(length - 3, L'x')).c_str());
        ASSERT_EQ(wcslen(targetDirectoryPath), length);
        cleanupTargetDirectory();
        EXPECT_EQ(calls.deletes, 0) << length;
    }
}

TEST_F(Cleanup, TheHandlerCleansUpForInterruptCloseLogoffAndShutdownOnly) {
    calls.deleteForReal = false;
    for (DWORD event : {0u, 1u, 2u, 5u, 6u}) {
        int before = calls.deletes;
        removalState = removalNone;
        EXPECT_FALSE(consoleControlHandler(event));
        EXPECT_GT(calls.deletes, before) << "event " << event;
    }
    calls.deletes = 0;
    for (DWORD event : {3u, 4u, 7u, 100u}) {
        EXPECT_FALSE(consoleControlHandler(event));
    }
    EXPECT_EQ(calls.deletes, 0);
}

// A console program shares the console with its child, which gets the
// interrupt too: once the child has started, the parent outlives Ctrl-C and
// Ctrl-Break and exits with the child's status. Everything else, and every
// event of a GUI program, still ends the parent once the directory is gone.
TEST_F(Cleanup, OnlyAConsoleProgramWithAStartedChildOutlivesAnInterrupt) {
    calls.deleteForReal = false;
    struct Case {
        bool console, started;
        DWORD event;
        BOOL handled;
    };
    const Case cases[] = {
        {true, true, CTRL_C_EVENT, TRUE},         {true, true, CTRL_BREAK_EVENT, TRUE},
        {true, true, CTRL_CLOSE_EVENT, FALSE},    {true, true, CTRL_LOGOFF_EVENT, FALSE},
        {true, true, CTRL_SHUTDOWN_EVENT, FALSE}, {true, false, CTRL_C_EVENT, FALSE},
        {true, false, CTRL_BREAK_EVENT, FALSE},   {false, true, CTRL_C_EVENT, FALSE},
        {false, true, CTRL_BREAK_EVENT, FALSE},
    };
    for (const Case& c : cases) {
        consoleProgram = c.console;
        childStarted = c.started;
        removalState = removalNone;
        int before = calls.deletes;
        EXPECT_EQ(consoleControlHandler(c.event), c.handled)
            << "console " << c.console << " started " << c.started << " event " << c.event;
        EXPECT_GT(calls.deletes, before) << "event " << c.event;
    }
}

// Entries whose names begin with "reparse-" are listed as reparse points,
// which is how Windows lists a symbolic link or junction; Wine makes none.
BOOL WINAPI listingReparsePoints(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID answer,
                                 DWORD size) {
    BOOL answered = GetFileInformationByHandleEx(handle, kind, answer, size);
    if (!answered || (kind != FileFullDirectoryInfo && kind != FileFullDirectoryRestartInfo)) {
        return answered;
    }
    unsigned char* at = static_cast<unsigned char*>(answer);
    for (;;) {
        FILE_FULL_DIR_INFO* found = reinterpret_cast<FILE_FULL_DIR_INFO*>(at);
        if (found->FileNameLength >= 8 * sizeof(wchar_t) &&
            wcsncmp(found->FileName, L"reparse-", 8) == 0) {
            found->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        }
        if (found->NextEntryOffset == 0) {
            return answered;
        }
        at += found->NextEntryOffset;
    }
}

TEST_F(Cleanup, ALinkToAFolderIsDeletedAsItselfAndNeverEntered) {
    seamGetFileInformationByHandleEx = listingReparsePoints;
    calls.deleteForReal = false;
    std::wstring linked = target + L"\\reparse-folder";
    ASSERT_TRUE(CreateDirectoryW(linked.c_str(), nullptr));
    writeFileBytes(linked + L"\\outside.txt", "not ours");
    writeFileBytes(target + L"\\ours.txt", "ours");
    cleanupTargetDirectory();
    // Deleting the "link" as itself fails here only because a real folder
    // stands in for it; what it points to is never touched.
    EXPECT_EQ(readFileBytes(linked + L"\\outside.txt"), "not ours");
    EXPECT_FALSE(pathExists(target + L"\\ours.txt"));
    EXPECT_FALSE(pathExists(target + L"\\app.dll"));
}

TEST_F(Cleanup, AConsoleEventAndTheEndOfTheSessionRemoveTheDirectoryOnce) {
    // Ctrl-C first, then the session's end asks again: one removal.
    EXPECT_FALSE(consoleControlHandler(CTRL_C_EVENT));
    EXPECT_TRUE(removalRequested);
    cleanupTargetDirectory();
    EXPECT_EQ(calls.deletes, 1);
    EXPECT_FALSE(pathExists(target));
}

std::atomic<bool> slowDeleteDone;
int WINAPI slowShellDelete(LPSHFILEOPSTRUCTW request) {
    Sleep(300);
    int result = fakeShellDelete(request);
    slowDeleteDone = true;
    return result;
}

TEST_F(Cleanup, ALaterCallerWaitsUntilTheRemovalIsDone) {
    // The end of the session may end the process as soon as its message is
    // answered, so a second caller must not return while the first removes.
    seamshellFileOperation = slowShellDelete;
    slowDeleteDone = false;
    std::thread first([] { consoleControlHandler(CTRL_CLOSE_EVENT); });
    while (removalState == removalNone) {
        Sleep(1);
    }
    cleanupTargetDirectory();
    EXPECT_TRUE(slowDeleteDone);
    first.join();
    EXPECT_EQ(calls.deletes, 1);
}

} // namespace

namespace {

// The child of the tests below takes a while to end, for real.
std::atomic<bool> childWaitBegan;
std::atomic<bool> childEnded;
std::atomic<bool> removedUnderTheChild;
DWORD WINAPI slowChildWait(HANDLE, DWORD milliseconds) {
    calls.waits.push_back(milliseconds);
    childWaitBegan = true;
    Sleep(300);
    childEnded = true;
    return WAIT_OBJECT_0;
}
int WINAPI deleteAfterTheChild(LPSHFILEOPSTRUCTW request) {
    if (!childEnded) {
        removedUnderTheChild = true;
    }
    return fakeShellDelete(request);
}

TEST_F(Cleanup, ASecondEventWaitsForTheFirstWhichWaitsForTheChild) {
    // A console build at log-off: a console event, then the end of the
    // session. The second finds the child's slot empty, but must not remove
    // the directory while the first still waits for the child.
    seamWaitForSingleObject = slowChildWait;
    seamshellFileOperation = deleteAfterTheChild;
    childWaitBegan = childEnded = removedUnderTheChild = false;
    childProcessHandle = reinterpret_cast<HANDLE>(0x1234);
    std::thread first([] { consoleControlHandler(CTRL_C_EVENT); });
    while (!childWaitBegan) {
        Sleep(1);
    }
    cleanupWithinSystemLimit();
    EXPECT_TRUE(childEnded);
    first.join();
    EXPECT_FALSE(removedUnderTheChild);
    EXPECT_EQ(calls.waits.size(), 1u);
    EXPECT_FALSE(pathExists(target));
}

TEST_F(Cleanup, ACloseLogOffOrShutdownFitsTheChildAndTheRemovalInsideTheSystemLimit) {
    // Windows ends the process about 5 s after these events, which Wine does
    // not: the fake clock stands in. A child that never ends and a directory
    // that never goes take all the time there is.
    calls.directoryStays = true;
    calls.waitResult = WAIT_TIMEOUT;
    HANDLE fake = reinterpret_cast<HANDLE>(0x1234);
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, CTRL_C_EVENT,
                        CTRL_BREAK_EVENT}) {
        bool limited = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
        calls.waits.clear();
        calls.terminations.clear();
        calls.deletes = 0;
        removalState = removalNone;
        removalDeadline = 0;
        childProcessHandle = fake;
        ULONGLONG start = calls.now;
        consoleControlHandler(event);
        ASSERT_EQ(calls.waits.size(), 1u) << event;
        EXPECT_EQ(calls.terminations, std::vector<UINT>{0}) << event;
        if (limited) {
            // The child ended in time for some retries, the last of them
            // begun before the system's limit.
            EXPECT_LT(calls.waits[0], 4000u) << event;
            EXPECT_GT(calls.deletes, 5) << event;
            EXPECT_LT(calls.lastDeleteAt - start, 5000u) << event;
        } else {
            EXPECT_EQ(calls.waits[0], 5000u) << event;
            EXPECT_EQ(calls.deletes, 21) << event;
        }
    }
}

DWORD WINAPI childThatNeverEnds(HANDLE, DWORD milliseconds) {
    calls.now += milliseconds;
    childWaitBegan = true;
    return WAIT_TIMEOUT;
}

TEST_F(Cleanup, TheSystemsLimitHoldsForWhicheverThreadRemoves) {
    // The event's handler ends the child; the main thread, whose wait then
    // returns, gets to the removal first (the handler is held up here by a
    // directory being created) and must keep to the event's limit.
    calls.directoryStays = true;
    seamWaitForSingleObject = childThatNeverEnds;
    childWaitBegan = false;
    childProcessHandle = reinterpret_cast<HANDLE>(0x1234);
    targetDirectoryCreator = GetCurrentThreadId();
    ULONGLONG start = calls.now;
    std::thread handler([] { consoleControlHandler(CTRL_LOGOFF_EVENT); });
    while (!childWaitBegan) {
        Sleep(1);
    }
    cleanupTargetDirectory();
    targetDirectoryCreator = 0;
    handler.join();
    EXPECT_LT(calls.lastDeleteAt - start, 5000u);
    EXPECT_GT(calls.deletes, 5);
}

} // namespace

// Ends the session for one program the moment it has begun to unpack, as
// the system does at log-off:
//   end_session <folder> <class>...
// waits (up to a minute) until a directory onefile_* in <folder> holds an
// entry and top-level windows of every <class> exist, all of one process;
// then sends every top-level window of that process WM_QUERYENDSESSION, then
// WM_ENDSESSION, and ends the process once they have answered. Prints
// "entries=N" (what the directory held when the session ended) and exits 0;
// exits 1 when the moment never came.
//
// wineboot --end-session does the same, but takes longer to start than a
// fast machine takes to unpack a few thousand files: a test of the end of a
// session during the unpacking would sometimes test a session ending after it.
#include <windows.h>

#include <stdio.h>

#include <string>

#include "tests/support/process.h"

namespace {

constexpr DWORD answerMilliseconds = 30000;

// The entries of the onefile_* directory in `folder`, -1 when none exists.
int unpackedEntries(const std::wstring& folder) {
    for (const std::wstring& name : listDirectory(folder)) {
        if (name.rfind(L"onefile_", 0) == 0) {
            return static_cast<int>(listDirectory(folder + L"\\" + name).size());
        }
    }
    return -1;
}

// The process that owns windows of every class, 0 while one is missing or
// two processes own them.
DWORD owner(int classCount, wchar_t** classes) {
    DWORD process = 0;
    for (int i = 0; i < classCount; ++i) {
        HWND window = FindWindowW(classes[i], nullptr);
        DWORD id = 0;
        if (window == nullptr || GetWindowThreadProcessId(window, &id) == 0 ||
            (process != 0 && id != process)) {
            return 0;
        }
        process = id;
    }
    return process;
}

struct Windows {
    DWORD process;
    HWND list[64];
    int count;
};

BOOL CALLBACK collect(HWND window, LPARAM context) {
    Windows* windows = reinterpret_cast<Windows*>(context);
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    if (id == windows->process && windows->count < 64) {
        windows->list[windows->count++] = window;
    }
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 100;
    }
    DWORD process = 0;
    int entries = -1;
    for (ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline; Sleep(1)) {
        process = owner(argc - 2, argv + 2);
        entries = process != 0 ? unpackedEntries(argv[1]) : -1;
        if (entries > 0) {
            break;
        }
    }
    if (entries <= 0) {
        fwprintf(stderr, L"no unpacking with windows of every class began\n");
        return 1;
    }
    HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process);
    Windows windows = {process, {}, 0};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&windows));
    DWORD_PTR answer = 0;
    for (int i = 0; i < windows.count; ++i) {
        SendMessageTimeoutW(windows.list[i], WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                            answerMilliseconds, &answer);
    }
    for (int i = 0; i < windows.count; ++i) {
        SendMessageTimeoutW(windows.list[i], WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                            answerMilliseconds, &answer);
    }
    if (handle != nullptr) {
        TerminateProcess(handle, 0);
        WaitForSingleObject(handle, answerMilliseconds);
        CloseHandle(handle);
    }
    printf("entries=%d\n", entries);
    fflush(stdout);
    return 0;
}

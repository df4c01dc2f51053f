// Runs a program and watches it until it ends, for the tests of the
// progress window:
//   watch_windows <program> [arguments...]
// The program gets the standard handles. Every 10 ms the watcher looks at
// the program's visible top-level windows and their progress bars, at the
// foreground window, at the COMCTL32 the program has loaded and at the
// folders in TEMP that it unpacks into. Once the program has ended, after its
// own output, it writes what it saw
//   watched window="<title>"          each title once
//   watched bar=<position>,...        the bar's positions, when there was one
//   watched foreground="<title>"      when a window of the program had the focus
//   watched beside-application="<title>"  a window seen while the application ran: the
//                                     program had a child process, or had loaded a library
//                                     from the folders in TEMP (a cached build runs the
//                                     application in its own process)
//   watched beside-removal="<title>"  a window seen once those folders had begun to shrink
//   watched comctl32="<path>"         when the program had loaded COMCTL32
// and exits with the program's status.
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>
#include <stdio.h>
#include <tlhelp32.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

DWORD watched;
// As of the last look, taken before the windows are looked at.
bool applicationRuns;
bool removing;
std::set<std::wstring> titles;
std::set<std::wstring> besideApplication;
std::set<std::wstring> besideRemoval;
std::set<std::wstring> foreground;
std::set<int> positions;
std::wstring comctl32;

void print(const char* what, const std::wstring& value) {
    char text[2048] = {};
    WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, text, sizeof text - 1, nullptr, nullptr);
    printf("watched %s=\"%s\"\n", what, text);
}

std::wstring watchedTitle(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    return window != nullptr && process == watched ? title : L"\n"; // "\n": not the program's
}

BOOL CALLBACK lookAtWindow(HWND window, LPARAM) {
    std::wstring title = watchedTitle(window);
    if (title != L"\n" && IsWindowVisible(window)) {
        titles.insert(title);
        if (applicationRuns) {
            besideApplication.insert(title);
        }
        if (removing) {
            besideRemoval.insert(title);
        }
        DWORD_PTR position = 0;
        HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
        if (bar != nullptr &&
            SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &position)) {
            positions.insert(static_cast<int>(position));
        }
    }
    return TRUE;
}

bool hasChild() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        found = entry.th32ParentProcessID == watched;
    }
    CloseHandle(snapshot);
    return found;
}

// The entries in all of `folder`'s subfolders, or in `folder` itself when not `deeper`.
size_t entriesIn(const std::wstring& folder, bool deeper) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    size_t count = 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        if (!deeper) {
            ++count;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            count += entriesIn(folder + L"\\" + found.cFileName, false);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return count;
}

// Unpacking only adds entries to the folders in TEMP: fewer than before
// means that their removal has begun.
void lookAtTemp() {
    static size_t most;
    wchar_t temp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    const size_t entries = entriesIn(temp, true);
    removing = removing || entries < most;
    most = entries > most ? entries : most;
}

// Whether the program has loaded a library from the folders in TEMP.
bool lookAtModules(HANDLE process) {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!K32EnumProcessModulesEx(process, modules, sizeof modules, &needed, LIST_MODULES_ALL)) {
        return false;
    }
    wchar_t temp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    std::wstring unpacked = std::wstring(temp) + L"\\";
    CharLowerW(&unpacked[0]);
    bool fromTemp = false;
    for (DWORD i = 0; i < needed / sizeof modules[0] && i < 1024; ++i) {
        wchar_t path[MAX_PATH] = {};
        K32GetModuleFileNameExW(process, modules[i], path, MAX_PATH);
        std::wstring name = path;
        CharLowerW(&name[0]);
        if (name.size() >= 13 && name.compare(name.size() - 13, 13, L"\\comctl32.dll") == 0) {
            comctl32 = path;
        }
        fromTemp = fromTemp || name.compare(0, unpacked.size(), unpacked) == 0;
    }
    return fromTemp;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 100;
    }
    std::wstring commandLine =
        commandLineFor(argv[1], std::vector<std::wstring>(argv + 2, argv + argc));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "watch_windows: cannot start the program (error %lu)\n", GetLastError());
        return 101;
    }
    watched = process.dwProcessId;
    do {
        lookAtTemp();
        applicationRuns = lookAtModules(process.hProcess) || hasChild();
        EnumWindows(lookAtWindow, 0);
        std::wstring title = watchedTitle(GetForegroundWindow());
        if (title != L"\n") {
            foreground.insert(title);
        }
    } while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);

    fflush(stdout);
    for (const std::wstring& title : titles) {
        print("window", title);
    }
    std::string bar;
    for (int position : positions) {
        bar += (bar.empty() ? "" : ",") + std::to_string(position);
    }
    if (!bar.empty()) {
        printf("watched bar=%s\n", bar.c_str());
    }
    for (const std::wstring& title : foreground) {
        print("foreground", title);
    }
    for (const std::wstring& title : besideApplication) {
        print("beside-application", title);
    }
    for (const std::wstring& title : besideRemoval) {
        print("beside-removal", title);
    }
    if (!comctl32.empty()) {
        print("comctl32", comctl32);
    }
    fflush(stdout);
    return static_cast<int>(status);
}

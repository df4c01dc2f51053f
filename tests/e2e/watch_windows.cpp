// Runs a program and watches its top-level windows until it ends, for the
// tests of the progress window:
//   watch_windows <program> [arguments...]
// The program gets the standard handles. Every 10 ms the watcher lists the
// program's visible windows, reads the progress bar in them and the
// COMCTL32 the program has loaded. Once it has ended, after the program's
// own output, it writes
//   watched window="<title>"    each title it saw, once, in the order seen
//   watched bar=<lowest>..<highest> of <range>, <n> positions   when there was a bar
//   watched comctl32="<path>"   when the program had loaded COMCTL32
//   watched foreground="<title>"   when a window of the program was the foreground window
// and exits with the program's exit status.
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

struct Sightings {
    DWORD process = 0;
    std::vector<std::wstring> titles;
    std::set<int> positions;
    int range = 0;
    std::wstring comctl32;
    std::wstring foreground;
    bool hadForeground = false;
};

std::string utf8(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0],
                                   static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(size > 0 ? size - 1 : 0);
    return out;
}

// What a message to a window of the program answers; 0 when it does not.
LRESULT ask(HWND window, UINT message, WPARAM wParam) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, 500, &answer)) {
        return 0;
    }
    return static_cast<LRESULT>(answer);
}

BOOL CALLBACK lookAtWindow(HWND window, LPARAM seen) {
    Sightings& sightings = *reinterpret_cast<Sightings*>(seen);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != sightings.process || !IsWindowVisible(window)) {
        return TRUE;
    }
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    bool known = false;
    for (const std::wstring& earlier : sightings.titles) {
        known = known || earlier == title;
    }
    if (!known) {
        sightings.titles.push_back(title);
    }
    if (HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr)) {
        sightings.positions.insert(static_cast<int>(ask(bar, PBM_GETPOS, 0)));
        sightings.range = static_cast<int>(ask(bar, PBM_GETRANGE, FALSE));
    }
    return TRUE;
}

// Whether the program took the focus from whatever had it.
void lookAtForeground(Sightings& sightings) {
    HWND window = GetForegroundWindow();
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (window != nullptr && process == sightings.process && !sightings.hadForeground) {
        wchar_t title[512] = {};
        GetWindowTextW(window, title, 512);
        sightings.foreground = title;
        sightings.hadForeground = true;
    }
}

void lookForComctl32(HANDLE process, Sightings& sightings) {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!sightings.comctl32.empty() ||
        !K32EnumProcessModulesEx(process, modules, sizeof modules, &needed, LIST_MODULES_ALL)) {
        return;
    }
    for (DWORD i = 0; i < needed / sizeof modules[0] && i < 1024; ++i) {
        wchar_t name[MAX_PATH] = {};
        wchar_t path[MAX_PATH] = {};
        if (K32GetModuleBaseNameW(process, modules[i], name, MAX_PATH) &&
            lstrcmpiW(name, L"comctl32.dll") == 0 &&
            K32GetModuleFileNameExW(process, modules[i], path, MAX_PATH)) {
            sightings.comctl32 = path;
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 100;
    }
    std::vector<std::wstring> arguments(argv + 2, argv + argc);
    std::wstring commandLine = commandLineFor(argv[1], arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "watch_windows: cannot start the program (error %lu)\n", GetLastError());
        return 101;
    }
    CloseHandle(process.hThread);
    Sightings sightings;
    sightings.process = process.dwProcessId;
    do {
        EnumWindows(lookAtWindow, reinterpret_cast<LPARAM>(&sightings));
        lookAtForeground(sightings);
        lookForComctl32(process.hProcess, sightings);
    } while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);

    fflush(stdout);
    for (const std::wstring& title : sightings.titles) {
        printf("watched window=\"%s\"\n", utf8(title).c_str());
    }
    if (!sightings.positions.empty()) {
        printf("watched bar=%d..%d of %d, %u positions\n", *sightings.positions.begin(),
               *sightings.positions.rbegin(), sightings.range,
               static_cast<unsigned>(sightings.positions.size()));
    }
    if (sightings.hadForeground) {
        printf("watched foreground=\"%s\"\n", utf8(sightings.foreground).c_str());
    }
    if (!sightings.comctl32.empty()) {
        printf("watched comctl32=\"%s\"\n", utf8(sightings.comctl32).c_str());
    }
    fflush(stdout);
    return static_cast<int>(status);
}

// session_keeper
//
// Stands in for what a Windows session always has running: the desktop and
// the RPC service. Wine starts them on demand, when a program of a
// wineserver first creates a window or initializes OLE, and stops them once
// no program uses them; a benchmark run that started them would measure that
// (an NSIS installer, which initializes OLE, waits seconds for it), which no
// Windows user ever pays. This program initializes OLE and owns a hidden
// window, prints one line once both are up, and ends when its standard input
// ends.
#include <windows.h>

#include <ole2.h>
#include <stdio.h>

namespace {

DWORD mainThread;

DWORD WINAPI waitForEndOfInput(void*) {
    static char buffer[256];
    DWORD count = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    }
    PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
    return 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    mainThread = GetCurrentThreadId();
    if (FAILED(OleInitialize(nullptr))) {
        fprintf(stderr, "session_keeper: OleInitialize failed\n");
        return 1;
    }
    // Never shown: it only has to exist, as the desktop exists for it.
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"onefile_session_keeper";
    HWND window = nullptr;
    if (RegisterClassW(&windowClass) != 0) {
        window = CreateWindowExW(0, windowClass.lpszClassName, L"session_keeper", WS_OVERLAPPED, 0,
                                 0, 1, 1, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
    }
    if (window == nullptr) {
        fprintf(stderr, "session_keeper: CreateWindowExW failed (error %lu)\n", GetLastError());
        return 1;
    }
    // The message queue exists now, so the quit message cannot get lost.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    HANDLE waiter = CreateThread(nullptr, 0, waitForEndOfInput, nullptr, 0, nullptr);
    if (waiter == nullptr) {
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    // Messages are answered, so that nothing that broadcasts to every
    // top-level window waits for this one.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    OleUninitialize();
    return 0;
}

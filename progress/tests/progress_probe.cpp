// Shows the progress window as a slow start shows it, then closes it, for
// the tests that run in a prefix that can make windows:
//   progress_probe
// prints "shown=<title>" once the window is there and, once
// closeProgressWindow has returned, "left=1" when the window still existed
// at that moment, when the application would start, "left=0" otherwise.
// The window is made slow to go (a second), so that a close that did not
// wait for it would find it still there.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "archive/reader.h"
#include "formats/archive_layout.h"
#include "base/build_constants.h"
#include "progress/progress_window.h"

extern "C" const uint32_t onefileBuildOptions = buildOptionProgressWindow;

namespace {

WNDPROC windowProcedure;

LRESULT CALLBACK slowToGo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        Sleep(1000);
    }
    return CallWindowProcW(windowProcedure, window, message, wParam, lParam);
}

// A window of this process that bears the product's name, as the progress
// window does (the system may add hidden ones of its own to a thread with a
// window). Its title is read without a message to its thread.
BOOL CALLBACK takeProductWindow(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t title[300] = {};
    InternalGetWindowText(window, title, 300);
    if (process == GetCurrentProcessId() && wcscmp(title, onefileProductName) == 0) {
        *reinterpret_cast<HWND*>(found) = window;
    }
    return TRUE;
}

HWND productWindow() {
    HWND found = nullptr;
    EnumWindows(takeProductWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

int wmain() {
    startProgressWindow(recordStreamSize(onefileAttachedData, onefileAttachedDataLength));
    // Made first, shown once made.
    HWND window = nullptr;
    for (int i = 0; i < 3000 && (window == nullptr || !IsWindowVisible(window)); ++i) {
        Sleep(10);
        window = productWindow();
    }
    if (window == nullptr || !IsWindowVisible(window)) {
        printf("no window was shown\n");
        return 1;
    }
    printf("shown=\"%ls\"\n", onefileProductName);
    windowProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(slowToGo)));
    closeProgressWindow();
    printf("left=%d\n", IsWindow(window) ? 1 : 0);
    return 0;
}

#include "cleanup/session.h"

#include <windows.h>

#include "base/build_constants.h"
#include "base/state.h"
#include "base/user.h"
#include "cleanup/cleanup.h"

namespace {

typedef ATOM(WINAPI* RegisterClassFunction)(const WNDCLASSW*);
typedef HWND(WINAPI* CreateWindowFunction)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND,
                                           HMENU, HINSTANCE, LPVOID);
typedef BOOL(WINAPI* GetMessageFunction)(LPMSG, HWND, UINT, UINT);
typedef LRESULT(WINAPI* DispatchMessageFunction)(const MSG*);
typedef LRESULT(WINAPI* DefaultWindowProcedure)(HWND, UINT, WPARAM, LPARAM);

const wchar_t sessionWindowClass[] = L"onefileSessionWindow";

// Processes with a higher level are shut down first; the range for
// applications is 0x100 to 0x3FF, 0x280 by default. The parent asks to go
// after its child, so that at the end of a session the child has usually
// ended and released its files by the time the parent removes them.
constexpr DWORD parentShutdownLevel = 0x100;
constexpr DWORD defaultShutdownLevel = 0x280;

// Set when the run has nothing left to remove: the window then only answers.
volatile bool sessionWindowEnded;

DefaultWindowProcedure defaultWindowProcedure;

LRESULT CALLBACK sessionWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // never stands in the way of the end of the session
    case WM_ENDSESSION:
        if (wParam && !sessionWindowEnded) {
            // The system may end the process as soon as this returns, so it
            // returns only once the directory is gone.
            removalRequested = true;
            cleanupWithinSystemLimit();
        }
        return 0;
    default:
        return defaultWindowProcedure(window, message, wParam, lParam);
    }
}

template <typename Function> Function bound(const char* name) {
    return reinterpret_cast<Function>(user32Function(name));
}

DWORD WINAPI sessionWindowThread(void*) {
    RegisterClassFunction registerClass = bound<RegisterClassFunction>("RegisterClassW");
    CreateWindowFunction createWindow = bound<CreateWindowFunction>("CreateWindowExW");
    GetMessageFunction getMessage = bound<GetMessageFunction>("GetMessageW");
    DispatchMessageFunction dispatchMessage = bound<DispatchMessageFunction>("DispatchMessageW");
    defaultWindowProcedure = bound<DefaultWindowProcedure>("DefWindowProcW");
    if (registerClass == nullptr || createWindow == nullptr || getMessage == nullptr ||
        dispatchMessage == nullptr || defaultWindowProcedure == nullptr) {
        return 0;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = sessionWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = sessionWindowClass;
    registerClass(&windowClass);
    // Top-level and never shown: a message-only window would get no
    // broadcasts, and the session's messages are broadcasts.
    HWND window = createWindow(WS_EX_TOOLWINDOW, sessionWindowClass, L"", WS_POPUP, 0, 0, 0, 0,
                               nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 0; // no desktop to end a session of (a service, or no display)
    }
    MSG message;
    while (getMessage(&message, nullptr, 0, 0) > 0) {
        dispatchMessage(&message);
    }
    return 0;
}

} // namespace

void startSessionWindow() {
    SetProcessShutdownParameters(parentShutdownLevel, 0);
    // On a thread of its own: loading USER32 and making the window must not
    // hold up the unpacking or the child's start.
    HANDLE thread = CreateThread(nullptr, 0, sessionWindowThread, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

void endSessionWindow() {
    sessionWindowEnded = true;
    SetProcessShutdownParameters(defaultShutdownLevel, 0);
}

#include "progress/progress_window.h"

#include <wchar.h>
#include <windows.h>

#include <commctrl.h>

#include "base/build_constants.h"
#include "base/state.h"

namespace {

// How long the unpacking may run before the window appears. A start that is
// over by then shows nothing and loads nothing for it.
constexpr DWORD showDelayMilliseconds = 500;
// How often the bar catches up with the record loop's count.
constexpr UINT refreshMilliseconds = 100;
constexpr UINT_PTR refreshTimer = 1;
constexpr int barSteps = 1000;
// The window's inside, in pixels at 96 DPI: the process is not DPI aware,
// so Windows scales the whole window on a screen with more.
constexpr int clientWidth = 380;
constexpr int clientHeight = 92;
constexpr int margin = 20;
constexpr int textHeight = 20;
constexpr int textToBar = 10;
constexpr int barHeight = 18;
constexpr size_t textCapacity = 300; // "Preparing ", a product name of 255 and "…"

const wchar_t progressWindowClass[] = L"onefileProgressWindow";

// The functions of USER32, COMCTL32 and GDI32 the window uses, bound at run
// time: the bootstrap imports nothing but KERNEL32 and msvcrt, and a run
// that shows no window loads none of them for it.
#define ONEFILE_PROGRESS_USER32(X)                                                                 \
    X(AdjustWindowRectEx)                                                                          \
    X(CreateWindowExW)                                                                             \
    X(DefWindowProcW)                                                                              \
    X(DestroyWindow)                                                                               \
    X(DispatchMessageW)                                                                            \
    X(GetSystemMetrics)                                                                            \
    X(LoadImageW)                                                                                  \
    X(MsgWaitForMultipleObjects)                                                                   \
    X(PeekMessageW)                                                                                \
    X(RegisterClassExW)                                                                            \
    X(SendMessageW)                                                                                \
    X(SetTimer)                                                                                    \
    X(ShowWindow)                                                                                  \
    X(SystemParametersInfoW)
#define ONEFILE_PROGRESS_COMCTL32(X) X(InitCommonControlsEx)
#define ONEFILE_PROGRESS_GDI32(X) X(CreateFontIndirectW) X(DeleteObject)

#define ONEFILE_DECLARE_FUNCTION(f) decltype(&::f) f;
struct WindowFunctions {
    ONEFILE_PROGRESS_USER32(ONEFILE_DECLARE_FUNCTION)
    ONEFILE_PROGRESS_COMCTL32(ONEFILE_DECLARE_FUNCTION)
    ONEFILE_PROGRESS_GDI32(ONEFILE_DECLARE_FUNCTION)
};
#undef ONEFILE_DECLARE_FUNCTION

// Only the window's thread uses these, once it has started.
WindowFunctions api;
uint64_t streamSize; // the bar's whole, 0 when the frame's header does not tell
HWND bar;

// Written by the main thread before the window's thread can run; closeProgressWindow sets it.
HANDLE unpackingOver;
// The window's thread once started, never cleared: any number of threads may
// wait for it, so its handle stays open until the process ends.
HANDLE volatile windowThread;

template <typename Function> bool bindFunction(HMODULE module, const char* name, Function& slot) {
    slot = module == nullptr
               ? nullptr
               : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return slot != nullptr;
}

bool bindWindowFunctions() {
    // From the system directory only, never from wherever the process started.
    HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE gdi32 = LoadLibraryExW(L"gdi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // By name, not by full path: the manifest asks for Common Controls 6, and
    // the process's activation context redirects a load by name to that
    // version in WinSxS before any directory is searched, so the bar has the
    // system's visual style (and a marquee). A full path would get the
    // system directory's version 5 instead. Nothing is searched beyond the
    // system directory either way.
    HMODULE comctl32 = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    bool bound = true;
    HMODULE from = user32;
#define ONEFILE_BIND_FUNCTION(f) bound = bindFunction(from, #f, api.f) && bound;
    ONEFILE_PROGRESS_USER32(ONEFILE_BIND_FUNCTION)
    from = comctl32;
    ONEFILE_PROGRESS_COMCTL32(ONEFILE_BIND_FUNCTION)
    from = gdi32;
    ONEFILE_PROGRESS_GDI32(ONEFILE_BIND_FUNCTION)
#undef ONEFILE_BIND_FUNCTION
    return bound;
}

void showProgress() {
    if (streamSize == 0) {
        return; // a marquee moves by itself
    }
    uint64_t written = unpackedBytes;
    if (written > streamSize) {
        written = streamSize;
    }
    api.SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(written * barSteps / streamSize), 0);
}

LRESULT CALLBACK progressWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == refreshTimer) {
            showProgress();
            return 0;
        }
        break;
    case WM_CLOSE:
        return 0; // it goes by itself once the unpacking is over
    default:
        break;
    }
    return api.DefWindowProcW(window, message, wParam, lParam);
}

// The name of the executable's first icon group, the icon Explorer shows for
// it: a number, or a text copied into `text`.
struct IconName {
    LPCWSTR name;
    wchar_t text[64];
};

BOOL CALLBACK takeFirstIconName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
    IconName* icon = reinterpret_cast<IconName*>(found);
    if (IS_INTRESOURCE(name)) {
        icon->name = name;
        return FALSE;
    }
    size_t length = wcslen(name);
    if (length >= sizeof icon->text / sizeof icon->text[0]) {
        return TRUE; // too long to keep: the next one will do
    }
    wmemcpy(icon->text, name, length + 1);
    icon->name = icon->text;
    return FALSE;
}

HICON loadIcon(const IconName& icon, int widthMetric, int heightMetric) {
    if (icon.name == nullptr) {
        return nullptr;
    }
    return static_cast<HICON>(api.LoadImageW(GetModuleHandleW(nullptr), icon.name, IMAGE_ICON,
                                             api.GetSystemMetrics(widthMetric),
                                             api.GetSystemMetrics(heightMetric), 0));
}

// "Preparing <product>…", cut to the buffer.
void preparingText(wchar_t* text) {
    const wchar_t* parts[] = {L"Preparing ", onefileProductName, L"\u2026"};
    size_t length = 0;
    for (const wchar_t* part : parts) {
        for (; *part != 0 && length + 1 < textCapacity; ++part) {
            text[length++] = *part;
        }
    }
    text[length] = 0;
}

// The window, centred on the work area and not shown yet, with its text and
// bar; null when there is no desktop to show it on (a service, no display).
HWND createProgressWindow(HFONT* font) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (!api.InitCommonControlsEx(&controls)) {
        return nullptr;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    IconName icon = {};
    EnumResourceNamesW(instance, RT_GROUP_ICON, takeFirstIconName,
                       reinterpret_cast<LONG_PTR>(&icon));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    // The title bar shows the icon, but its close box is greyed out.
    windowClass.style = CS_NOCLOSE;
    windowClass.lpfnWndProc = progressWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = loadIcon(icon, SM_CXICON, SM_CYICON);
    windowClass.hIconSm = loadIcon(icon, SM_CXSMICON, SM_CYSMICON);
    windowClass.hCursor = static_cast<HCURSOR>(
        api.LoadImageW(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = progressWindowClass;
    if (api.RegisterClassExW(&windowClass) == 0) {
        return nullptr;
    }

    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    // Never activated, not even by a click, and still on the taskbar with
    // the product's icon.
    const DWORD extendedStyle = WS_EX_NOACTIVATE | WS_EX_APPWINDOW;
    RECT frame = {0, 0, clientWidth, clientHeight};
    api.AdjustWindowRectEx(&frame, style, FALSE, extendedStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work = {0, 0, api.GetSystemMetrics(SM_CXSCREEN), api.GetSystemMetrics(SM_CYSCREEN)};
    api.SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    HWND window = api.CreateWindowExW(extendedStyle, progressWindowClass, onefileProductName, style,
                                      work.left + (work.right - work.left - width) / 2,
                                      work.top + (work.bottom - work.top - height) / 2, width,
                                      height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return nullptr;
    }

    wchar_t text[textCapacity];
    preparingText(text);
    HWND label = api.CreateWindowExW(
        0, WC_STATICW, text, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, margin,
        margin, clientWidth - 2 * margin, textHeight, window, nullptr, instance, nullptr);
    bar = api.CreateWindowExW(0, PROGRESS_CLASSW, L"",
                              WS_CHILD | WS_VISIBLE | (streamSize == 0 ? PBS_MARQUEE : 0), margin,
                              margin + textHeight + textToBar, clientWidth - 2 * margin, barHeight,
                              window, nullptr, instance, nullptr);
    // The font of message boxes, rather than the old system font of a bare
    // static control.
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (label != nullptr &&
        api.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        *font = api.CreateFontIndirectW(&metrics.lfMessageFont);
        api.SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(*font), FALSE);
    }
    if (streamSize == 0) {
        api.SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    } else {
        api.SendMessageW(bar, PBM_SETRANGE32, 0, barSteps);
        showProgress();
    }
    return window;
}

DWORD WINAPI progressWindowThread(void*) {
    if (WaitForSingleObject(unpackingOver, showDelayMilliseconds) != WAIT_TIMEOUT ||
        !bindWindowFunctions()) {
        return 0;
    }
    HFONT font = nullptr;
    HWND window = createProgressWindow(&font);
    if (window == nullptr) {
        return 0;
    }
    // Making it took a while: the unpacking may be over by now.
    if (WaitForSingleObject(unpackingOver, 0) == WAIT_TIMEOUT) {
        // Not activated: the focus stays with the window the user is typing
        // in, and the taskbar has nothing to flash.
        api.ShowWindow(window, SW_SHOWNOACTIVATE);
        api.SetTimer(window, refreshTimer, refreshMilliseconds, nullptr);
        while (api.MsgWaitForMultipleObjects(1, &unpackingOver, FALSE, INFINITE, QS_ALLINPUT) ==
               WAIT_OBJECT_0 + 1) {
            MSG message;
            while (api.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                api.DispatchMessageW(&message);
            }
        }
    }
    api.DestroyWindow(window);
    if (font != nullptr) {
        api.DeleteObject(font);
    }
    return 0;
}

} // namespace

void startProgressWindow(uint64_t total) {
    if (!(onefileBuildOptions & buildOptionProgressWindow) || windowThread != nullptr) {
        return;
    }
    // Set before the thread starts, which sees it.
    streamSize = total;
    unpackingOver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (unpackingOver == nullptr) {
        return;
    }
    // On a thread of its own: the unpacking never waits for the window.
    HANDLE thread = CreateThread(nullptr, 0, progressWindowThread, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return;
    }
    // A full barrier: a console event or the end of the session that set
    // removalRequested before this found no window to close, and is seen here.
    InterlockedExchangePointer(&windowThread, thread);
    if (removalRequested) {
        closeProgressWindow();
    }
}

void closeProgressWindow() {
    // Pairs with the barrier in startProgressWindow: a thread that set
    // removalRequested and then gets here sees a window started meanwhile.
    MemoryBarrier();
    HANDLE thread = windowThread;
    if (thread == nullptr) {
        return;
    }
    SetEvent(unpackingOver);
    WaitForSingleObject(thread, INFINITE);
}

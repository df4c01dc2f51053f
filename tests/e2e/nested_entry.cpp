// An entry library packed as bin\app.dll that imports support.dll from the
// package's root and later loads greeter.dll from there by name alone: both
// are found only through the target directory on the child's DLL search path.
#include <stdio.h>
#include <windows.h>

#include "examples/hello/support.h"

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    printf("support: %s\n", supportGreeting());
    HMODULE greeter = LoadLibraryExW(L"greeter.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (greeter == nullptr) {
        printf("greeter.dll failed to load: error %lu\n", GetLastError());
        return 1;
    }
    typedef const char* (*Greet)();
    Greet greet =
        reinterpret_cast<Greet>(reinterpret_cast<void*>(GetProcAddress(greeter, "greet")));
    if (greet == nullptr) {
        return 1;
    }
    printf("greeter: %s\n", greet());
    return 0;
}

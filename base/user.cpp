#include "base/user.h"

namespace {

typedef int(WINAPI* MessageBoxFunction)(HWND, LPCWSTR, LPCWSTR, UINT);

} // namespace

void* user32Function(const char* name) {
    // From the system directory only, never from wherever the process started.
    HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return user32 == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(user32, name));
}

int userMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    MessageBoxFunction messageBox =
        reinterpret_cast<MessageBoxFunction>(user32Function("MessageBoxW"));
    return messageBox == nullptr ? 0 : messageBox(owner, text, caption, type);
}

#include "base/shell.h"

namespace {

typedef LPWSTR*(WINAPI* CommandLineToArgvFunction)(LPCWSTR, int*);
typedef HRESULT(WINAPI* GetFolderPathFunction)(HWND, int, HANDLE, DWORD, LPWSTR);
typedef int(WINAPI* FileOperationFunction)(LPSHFILEOPSTRUCTW);

// Resolved once; a console handler thread may get here at the same time as
// the main thread, and both then store the same values.
void* shellFunction(const char* name) {
    // From the system directory only, never from wherever the process started.
    HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return shell == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(shell, name));
}

CommandLineToArgvFunction volatile commandLineToArgv;
GetFolderPathFunction volatile getFolderPath;
FileOperationFunction volatile fileOperation;

} // namespace

LPWSTR* shellCommandLineToArgv(LPCWSTR commandLine, int* count) {
    if (commandLineToArgv == nullptr) {
        commandLineToArgv =
            reinterpret_cast<CommandLineToArgvFunction>(shellFunction("CommandLineToArgvW"));
    }
    return commandLineToArgv == nullptr ? nullptr : commandLineToArgv(commandLine, count);
}

HRESULT shellGetFolderPath(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    if (getFolderPath == nullptr) {
        getFolderPath = reinterpret_cast<GetFolderPathFunction>(shellFunction("SHGetFolderPathW"));
    }
    return getFolderPath == nullptr ? E_FAIL : getFolderPath(owner, folder, token, flags, path);
}

int shellFileOperation(LPSHFILEOPSTRUCTW request) {
    if (fileOperation == nullptr) {
        fileOperation = reinterpret_cast<FileOperationFunction>(shellFunction("SHFileOperationW"));
    }
    return fileOperation == nullptr ? ERROR_MOD_NOT_FOUND : fileOperation(request);
}

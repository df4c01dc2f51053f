// The three SHELL32 functions the parent uses, bound on first use instead of
// imported: the child needs none of them and so starts without loading
// SHELL32 and everything it pulls in (about as long again as a bare process
// start, under Wine).
#pragma once

#include <windows.h>

#include <shellapi.h>

// CommandLineToArgvW; null when SHELL32 cannot be had.
LPWSTR* shellCommandLineToArgv(LPCWSTR commandLine, int* count);

// SHGetFolderPathW; E_FAIL when SHELL32 cannot be had.
HRESULT shellGetFolderPath(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);

// SHFileOperationW; non-zero (failure) when SHELL32 cannot be had.
int shellFileOperation(LPSHFILEOPSTRUCTW request);

// The few system calls that tests watch or make fail. In the bootstrap that
// ships, SYSTEM_CALL(f) is f itself; the test copy of the library (built with
// ONEFILE_SEAMS) calls through a pointer that starts out as f.
#pragma once

#include <windows.h>

#include <psapi.h>

#include "base/security.h"
#include "base/shell.h"
#include "base/user.h"

#define ONEFILE_SEAM_LIST(X)                                                                       \
    X(CreateDirectoryW)                                                                            \
    X(CreateFileW)                                                                                 \
    X(WriteFile)                                                                                   \
    X(CloseHandle)                                                                                 \
    X(SetFileInformationByHandle)                                                                  \
    X(GetFileInformationByHandleEx)                                                                \
    X(MoveFileExW)                                                                                 \
    X(shellFileOperation)                                                                          \
    X(GetFileAttributesW)                                                                          \
    X(FindFirstFileW)                                                                              \
    X(FindFirstFileExW)                                                                            \
    X(FindNextFileW)                                                                               \
    X(Sleep)                                                                                       \
    X(GetTickCount64)                                                                              \
    X(WaitForSingleObject)                                                                         \
    X(TerminateProcess)                                                                            \
    X(GetExitCodeProcess)                                                                          \
    X(CreateProcessW)                                                                              \
    X(K32GetModuleFileNameExW)                                                                     \
    X(LoadLibraryExW)                                                                              \
    X(userMessageBox)                                                                              \
    X(processTokenSid)                                                                             \
    X(_wcsdup)

#ifdef ONEFILE_SEAMS
#define ONEFILE_DECLARE_SEAM(f) extern decltype(&::f) seam##f;
ONEFILE_SEAM_LIST(ONEFILE_DECLARE_SEAM)
#undef ONEFILE_DECLARE_SEAM
#define SYSTEM_CALL(f) seam##f
#else
#define SYSTEM_CALL(f) ::f
#endif

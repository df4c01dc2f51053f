// A stand-in for the few parts of <windows.h> that the bootstrap's archive
// reader, record loop and path expansion use, so that they build for the
// host and run under libFuzzer. The calls are those of host_windows.cpp: a
// file system held in memory and the values of a typical user's machine.
// wchar_t stays the host's (32 bits): the code handles UTF-16 code units
// one at a time, and every unit fits.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define WINAPI

typedef void* HANDLE;
typedef void* HWND;
typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef int32_t HRESULT;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef void* HMODULE;
typedef void (*FARPROC)();

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

union LARGE_INTEGER {
    int64_t QuadPart;
};

enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenOwner = 4 };

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_ALWAYS 2u

#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_INVALID_NAME 123u
#define ERROR_ALREADY_EXISTS 183u

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security);
DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetTempPathW(DWORD capacity, LPWSTR path);
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR value, DWORD capacity);
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
// No other C runtime is loaded here: only the one the bootstrap shares.
HMODULE GetModuleHandleW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, const char* name);
int _wputenv(const wchar_t* assignment);
void GetSystemTimeAsFileTime(FILETIME* time);
BOOL QueryPerformanceCounter(LARGE_INTEGER* counter);
DWORD GetCurrentProcessId();
wchar_t* _wcsdup(const wchar_t* text);
int _wcsicmp(const wchar_t* a, const wchar_t* b);

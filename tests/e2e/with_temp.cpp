// Runs a program with a TEMP of its own, for tests driven from the Unix side
// (whose own TEMP Wine does not pass on):
//   with_temp <folder> <program> [arguments...]
// The program gets the standard handles; once it has ended, "status=<hex>"
// (its full 32-bit exit status) is written to standard output.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 100;
    }
    SetEnvironmentVariableW(L"TEMP", argv[1]);
    SetEnvironmentVariableW(L"TMP", argv[1]);
    std::vector<std::wstring> arguments(argv + 3, argv + argc);
    std::wstring commandLine = commandLineFor(argv[2], arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[2], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "with_temp: cannot start the program (error %lu)\n", GetLastError());
        return 101;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    fflush(stdout);
    printf("status=0x%lx\n", status);
    return 0;
}

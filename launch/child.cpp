#include "launch/child.h"

#include <wchar.h>

#include "bootstrap/bootstrap.h"
#include "bootstrap/bounded.h"
#include "bootstrap/seams.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"
#include "launch/command_line.h"
#include "paths/binary_path.h"
#include "paths/environment.h"

void ensureModuleFileName() {
    if (moduleFileName[0] != 0) {
        return;
    }
    DWORD length = GetModuleFileNameW(nullptr, moduleFileName, pathCapacity);
    // A cut name would start some other program.
    if (length == 0 || length >= pathCapacity) {
        terminateImmediately();
    }
}

int launchChildInstance() {
    wchar_t directory[binaryPathCapacity];
    copyBounded(directory, binaryPathCapacity, getBinaryPath(BinaryPathForm::reported));
    wchar_t* separator = wcsrchr(directory, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    }
    setEnvironmentValue("ZEBRIK_ONEFILE_DIRECTORY", directory);
    setEnvironmentValue("ZEBRIK_ORIGINAL_ARGV0", argumentVector[0]);

    ensureModuleFileName();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    buildChildCommandLine();

    // A console event may have removed the directory meanwhile.
    holdIfConsoleEventReceived();
    PROCESS_INFORMATION child = {};
    // Same console and process group: the child gets the console's events itself.
    if (!SYSTEM_CALL(CreateProcessW)(moduleFileName, childCommandLine, nullptr, nullptr, TRUE,
                                     NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child)) {
        fatalErrorWithCode("Error, couldn't launch child", GetLastError());
    }
    SYSTEM_CALL(CloseHandle)(child.hThread);

    DWORD status = 0;
    // The main thread waits on a handle of its own: a console handler may take
    // the one in childProcessHandle and close it while the wait is pending.
    HANDLE waitHandle = nullptr;
    DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &waitHandle,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
    childProcessHandle = child.hProcess;
    if (waitHandle != nullptr) {
        SYSTEM_CALL(WaitForSingleObject)(waitHandle, INFINITE);
        if (!SYSTEM_CALL(GetExitCodeProcess)(waitHandle, &status)) {
            status = 1;
        }
        SYSTEM_CALL(CloseHandle)(waitHandle);
    } else {
        // Without a handle of its own the main thread uses the slot's, taken out
        // first so that no handler can close it meanwhile.
        HANDLE process = InterlockedExchangePointer(&childProcessHandle, nullptr);
        SYSTEM_CALL(WaitForSingleObject)(process, INFINITE);
        if (!SYSTEM_CALL(GetExitCodeProcess)(process, &status)) {
            status = 1;
        }
        SYSTEM_CALL(CloseHandle)(process);
    }
    HANDLE remaining = InterlockedExchangePointer(&childProcessHandle, nullptr);
    if (remaining != nullptr) {
        SYSTEM_CALL(CloseHandle)(remaining);
    }

    cleanupTargetDirectory();
    return static_cast<int>(status);
}

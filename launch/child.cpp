#include "launch/child.h"

#include <wchar.h>

#include "base/bounded.h"
#include "formats/handshake.h"
#include "base/seams.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "errors/errors.h"
#include "launch/command_line.h"
#include "launch/entry_library.h"
#include "paths/binary_path.h"
#include "paths/environment.h"

namespace {

// Publishes the executable's directory and the name the user typed, which
// the application finds in its environment; returns the executable's path.
const wchar_t* publishLaunchValues() {
    const wchar_t* executable = getBinaryPath(BinaryPathForm::reported);
    // Without its own name the run can neither publish it nor start itself again.
    if (executable[0] == 0) {
        terminateImmediately();
    }
    wchar_t directory[binaryPathCapacity];
    copyBounded(directory, binaryPathCapacity, executable);
    wchar_t* separator = wcsrchr(directory, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    }
    setEnvironmentValue(handshakeDirectoryVariable, directory);
    setEnvironmentValue(handshakeOriginalArgv0Variable, argumentVector[0]);
    return executable;
}

// The work that runs beside the application, on its own thread.
void (*alongsideWork)();

DWORD WINAPI runAlongside(void*) {
    alongsideWork();
    return 0;
}

} // namespace

int runEntryLibraryHere(void (*alongside)()) {
    const wchar_t* executable = publishLaunchValues();
    // What a child's runtime would have made of its command line: the
    // executable's own path first, then the arguments as this process got them.
    argumentVector[0] = const_cast<wchar_t*>(executable);
    HANDLE thread = nullptr;
    if (alongside != nullptr) {
        alongsideWork = alongside;
        thread = CreateThread(nullptr, 0, runAlongside, nullptr, 0, nullptr);
    }
    int status = runEntryLibrary(argumentCount, argumentVector, entryLibraryPath);
    if (thread != nullptr) {
        // An application that returns within milliseconds, as command-line
        // tools do, would otherwise cut the work off on every run, and what
        // it removes would never go. A process ended otherwise (ExitProcess
        // from the application, a kill) leaves the rest to a later run.
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    return status;
}

int launchChildInstance() {
    const wchar_t* executable = publishLaunchValues();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    buildChildCommandLine();

    // A console event may have removed the directory meanwhile.
    holdIfRemovalRequested();
    PROCESS_INFORMATION child = {};
    // Same console and process group: the child gets the console's events
    // itself. It starts suspended and runs only once its handle is where the
    // removal finds it: a removal that began in between would otherwise
    // delete the directory under a child it does not know of.
    if (!SYSTEM_CALL(CreateProcessW)(executable, childCommandLine, nullptr, nullptr, TRUE,
                                     NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr,
                                     &startup, &child)) {
        fatalErrorWithCode(messageLaunchFailed, GetLastError());
    }

    DWORD status = 0;
    // The main thread waits on a handle of its own: a console handler may take
    // the one in childProcessHandle and close it while the wait is pending.
    HANDLE waitHandle = nullptr;
    DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &waitHandle,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
    childProcessHandle = child.hProcess;
    if (removalRequested) {
        // Never run: ended here, unless the removal has taken it already.
        HANDLE unstarted = InterlockedExchangePointer(&childProcessHandle, nullptr);
        if (unstarted != nullptr) {
            SYSTEM_CALL(TerminateProcess)(unstarted, 0);
            SYSTEM_CALL(CloseHandle)(unstarted);
        }
        holdIfRemovalRequested();
    }
    childStarted = true;
    ResumeThread(child.hThread);
    SYSTEM_CALL(CloseHandle)(child.hThread);
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

// Starts a program on a console of its own making and sends it Ctrl-C:
//   console_harness <trigger> <program> [arguments...]
// trigger: output:TEXT  once the program's output holds TEXT
//          directory    once a directory TEMP\onefile_<program pid>_* exists
//          found:PATTERN once something matches PATTERN
// Then reports, on the standard output it was given (and exits with 103 when
// the program did not end within a minute of the event):
//   parent-status=<hex>  app-status=<hex or none>  after-event-ms=<n>
//   leftover=<number of TEMP\onefile_<program pid>_* entries once all ended>
//   output: followed by everything the program wrote
#include <windows.h>

#include <stdio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/process.h"

namespace {

BOOL WINAPI survive(DWORD) {
    return TRUE;
}

std::mutex outputMutex;
std::string output;
// Set once the program's output pipe is closed at its other end.
std::atomic<bool> outputClosed{false};

// What the program wrote, once it has ended. A process that Wine starts on
// demand (its desktop, its services) inherits and keeps the pipe's other
// end: the reader is waited for a while, not until the pipe closes, and
// left to the end of this process.
std::string finishReading(std::thread& reader) {
    for (int i = 0; i < 5000 && !outputClosed; ++i) {
        Sleep(1);
    }
    if (outputClosed) {
        reader.join();
    } else {
        reader.detach();
    }
    std::lock_guard<std::mutex> lock(outputMutex);
    return output;
}

int countTargetDirectories(DWORD parentId) {
    return static_cast<int>(targetDirectoriesOf(parentId).size());
}

void report(HANDLE out, const std::string& text) {
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 100;
    }
    HANDLE reportTo = GetStdHandle(STD_OUTPUT_HANDLE);
    std::wstring trigger = argv[1];
    std::vector<std::wstring> arguments(argv + 3, argv + argc);

    // A console of our own, shared with the program, and a handler that keeps
    // this process alive when the event reaches it too.
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(survive, TRUE);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    CreatePipe(&outRead, &outWrite, &inheritable, 0);
    CreatePipe(&inRead, &inWrite, &inheritable, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    CloseHandle(inWrite);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::wstring commandLine = commandLineFor(argv[2], arguments);
    PROCESS_INFORMATION program = {};
    // Wine on a loaded machine now and then fails a start that succeeds a
    // moment later; the program itself has not run yet.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) {
            Sleep(200);
        }
        started = CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &program) != 0;
    }
    if (!started) {
        report(reportTo, "harness: cannot start the program (error " +
                             std::to_string(GetLastError()) + ")\n");
        return 101;
    }
    CloseHandle(program.hThread);
    CloseHandle(outWrite);
    CloseHandle(inRead);

    std::thread reader([outRead] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> lock(outputMutex);
            output.append(buffer, got);
        }
        outputClosed = true;
    });

    auto outputHolds = [](const std::string& text) {
        std::lock_guard<std::mutex> lock(outputMutex);
        return output.find(text) != std::string::npos;
    };
    std::string waitedText = trigger.rfind(L"output:", 0) == 0 ? toUtf8(trigger.substr(7)) : "";
    bool triggered = false;
    for (int i = 0; i < 60000 && !triggered; ++i) {
        if (WaitForSingleObject(program.hProcess, 0) == WAIT_OBJECT_0) {
            break;
        }
        if (trigger == L"directory") {
            triggered = countTargetDirectories(program.dwProcessId) > 0;
        } else if (trigger.rfind(L"found:", 0) == 0) {
            WIN32_FIND_DATAW found;
            HANDLE find = FindFirstFileW(trigger.c_str() + 6, &found);
            triggered = find != INVALID_HANDLE_VALUE;
            if (triggered) {
                FindClose(find);
            }
        } else {
            triggered = outputHolds(waitedText);
        }
        if (!triggered) {
            Sleep(1);
        }
    }
    if (!triggered) {
        report(reportTo, "harness: the trigger never came\n");
        TerminateProcess(program.hProcess, 1);
        report(reportTo, "output:\n" + finishReading(reader));
        return 102;
    }

    // The application's own process, if it said who it is.
    HANDLE app = nullptr;
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        size_t at = output.find("pid=");
        if (at != std::string::npos) {
            DWORD id = strtoul(output.c_str() + at + 4, nullptr, 10);
            app = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        }
    }

    ULONGLONG sent = GetTickCount64();
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    // A program that outlives the event by a minute is a failure, not a result.
    bool ended = WaitForSingleObject(program.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) {
        report(reportTo, "harness: the program did not end\n");
        TerminateProcess(program.hProcess, 1);
    }
    ULONGLONG endedAt = GetTickCount64();
    DWORD parentStatus = 0;
    GetExitCodeProcess(program.hProcess, &parentStatus);
    char line[256];
    snprintf(line, sizeof line, "parent-status=0x%lx\nafter-event-ms=%llu\n", parentStatus,
             static_cast<unsigned long long>(endedAt - sent));
    report(reportTo, line);
    if (app != nullptr) {
        WaitForSingleObject(app, 60000);
        DWORD appStatus = 0;
        GetExitCodeProcess(app, &appStatus);
        snprintf(line, sizeof line, "app-status=0x%lx\n", appStatus);
        report(reportTo, line);
    } else {
        report(reportTo, "app-status=none\n");
    }
    snprintf(line, sizeof line, "leftover=%d\n", countTargetDirectories(program.dwProcessId));
    report(reportTo, line);
    report(reportTo, "output:\n" + finishReading(reader));
    return ended ? 0 : 103;
}

// The example application: an entry library that reports what it was given
// and obeys a few commands in its arguments, so that the same program serves
// as a demonstration and as the workhorse of end-to-end tests.
//
//   :exit=N        return N (decimal or 0x hexadecimal) as the exit status
//   :stdin         read standard input to its end and print it
//   :stderr=TEXT   write TEXT to standard error
//   :sleep=MS      sleep MS milliseconds
//   :plugin        load plugins\greeter.dll from the package and greet
//   :spawn=ARGS    start this executable again with ARGS and report its status
//   :load=NAME     load the library NAME by name, as the process searches, and
//                  print where it came from
//   :quiet         print nothing more except what other commands print
//   :pid           print this process's identifier
//   :ignore-ctrl-c      let Ctrl-C and Ctrl-Break pass without ending the process
//   :on-ctrl-c-exit=N   end the process with status N on Ctrl-C or Ctrl-Break
//
// Every other argument is only printed.
#include <onefile/entry.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "formats/handshake.h"
#include "examples/hello/support.h"

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// A quoted, escaped form in which every argument stays readable and
// unambiguous: tabs, line breaks, quotes and backslashes are escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\v':
            out += "\\v";
            break;
        default:
            if (c < 0x20) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\x%02x", c);
                out += escape;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

void line(const std::string& key, const std::string& value) {
    printf("%s=%s\n", key.c_str(), quoted(value).c_str());
    fflush(stdout);
}

void printVariable(const char* name) {
    wchar_t value[32768];
    DWORD length =
        GetEnvironmentVariableW(std::wstring(name, name + strlen(name)).c_str(), value, 32768);
    if (length == 0 || length >= 32768) {
        printf("%s unset\n", name);
    } else {
        line(name, utf8(value));
    }
    fflush(stdout);
}

std::wstring directoryOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

int greetFromPlugin(const std::wstring& libraryPath) {
    std::wstring plugin = directoryOf(libraryPath) + L"\\plugins\\greeter.dll";
    HMODULE module = LoadLibraryExW(plugin.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        printf("plugin failed to load: error %lu\n", GetLastError());
        return 1;
    }
    typedef const char* (*Greet)();
    Greet greet = reinterpret_cast<Greet>(reinterpret_cast<void*>(GetProcAddress(module, "greet")));
    if (greet == nullptr) {
        printf("plugin has no greet\n");
        return 1;
    }
    line("plugin", greet());
    return 0;
}

// Starts the running executable again (same handles, same environment) and
// waits for it: a program started from inside the application.
DWORD spawnAgain(const std::wstring& arguments) {
    wchar_t self[32768];
    GetModuleFileNameW(nullptr, self, 32768);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        printf("spawn failed: error %lu\n", GetLastError());
        return 0xFFFFFFFF;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return status;
}

UINT ctrlCExitStatus = 0;

BOOL WINAPI ignoreInterrupt(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

BOOL WINAPI exitOnInterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        printf("interrupted\n");
        fflush(stdout);
        ExitProcess(ctrlCExitStatus);
    }
    return FALSE;
}

} // namespace

ONEFILE_ENTRY int run_code(int argumentCount, wchar_t** argumentVector,
                           const wchar_t* entryLibraryPath) {
    bool quiet = false;
    for (int i = 1; i < argumentCount; ++i) {
        if (std::wstring(argumentVector[i]) == L":quiet") {
            quiet = true;
        }
    }
    if (!quiet) {
        printf("hello from the packaged application\n");
        printf("argc=%d\n", argumentCount);
        for (int i = 0; i < argumentCount; ++i) {
            line("argv[" + std::to_string(i) + "]", utf8(argumentVector[i]));
        }
        line("library", utf8(entryLibraryPath));
        for (const char* name :
             {handshakeParentVariable, handshakeTimeUsVariable, handshakeRandomVariable,
              handshakeStartVariable, handshakeDirectoryVariable, handshakeOriginalArgv0Variable}) {
            printVariable(name);
        }
        line("support", supportGreeting());
    }

    int status = 0;
    for (int i = 1; i < argumentCount; ++i) {
        std::wstring argument = argumentVector[i];
        if (startsWith(argument, L":exit=")) {
            status = static_cast<int>(wcstoul(argument.c_str() + 6, nullptr, 0));
        } else if (argument == L":stdin") {
            std::string input;
            char buffer[4096];
            size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0) {
                input.append(buffer, got);
            }
            line("stdin", input);
        } else if (startsWith(argument, L":stderr=")) {
            fprintf(stderr, "%s\n", utf8(argument.substr(8)).c_str());
            fflush(stderr);
        } else if (startsWith(argument, L":sleep=")) {
            Sleep(static_cast<DWORD>(wcstoul(argument.c_str() + 7, nullptr, 10)));
            printf("slept\n");
            fflush(stdout);
        } else if (argument == L":plugin") {
            if (greetFromPlugin(entryLibraryPath) != 0) {
                status = 1;
            }
        } else if (argument == L":pid") {
            printf("pid=%lu\n", GetCurrentProcessId());
            fflush(stdout);
        } else if (argument == L":ignore-ctrl-c") {
            SetConsoleCtrlHandler(ignoreInterrupt, TRUE);
        } else if (startsWith(argument, L":on-ctrl-c-exit=")) {
            ctrlCExitStatus = static_cast<UINT>(wcstoul(argument.c_str() + 16, nullptr, 0));
            SetConsoleCtrlHandler(exitOnInterrupt, TRUE);
        } else if (startsWith(argument, L":load=")) {
            HMODULE module = LoadLibraryW(argument.c_str() + 6);
            wchar_t path[32768];
            if (module == nullptr) {
                printf("load failed: error %lu\n", GetLastError());
                fflush(stdout);
            } else if (GetModuleFileNameW(module, path, 32768) != 0) {
                line("loaded", utf8(path));
            }
        } else if (startsWith(argument, L":spawn=")) {
            DWORD spawned = spawnAgain(argument.substr(7));
            printf("spawned status=%lu\n", spawned);
            fflush(stdout);
        }
    }
    return status;
}

// Runs path spec expansion, environment access or own-path resolution as the
// command line asks and prints what came out, one UTF-8 line per result, so
// that tests can watch results, the environment left behind and exit statuses.
//
//   expand [options] <capacity> <spec>...   "ok <text>" or "failed <text>" per spec
//     --argv0 <text> | --no-argv0            element 0 of the argument vector
//     --as-parent                            what the driver does first: fresh values, own PARENT
//     --show-environment                     the handshake variables afterwards
//     --then-child                           then the same expansions in a child that
//                                            inherits this process's environment
//   time-samples <count> [--near-second]     "sample <before> <after> <TIME_US> <TIME>"
//   random <seed>                            the random string for a seed
//   env-get <name> | env-set <name> <value> | env-remove <name>
//     --locale <locale>                      before the access (names are narrow text)
//   binary-path [--plant-resolved <text>] [--plant-reported <text>] [--rename-self <name>]
//   normalize|shorten [seam options] [--unterminated] <capacity> <path>
//     --final-path <text> | --final-path-fails | --final-path-missing  (test copy only)
//     --short-path <directory>=<short> | --short-path-grows | --short-path-fails-second
//   driver [--with-child] [--child-environment <name>=<value>] [--try-load <library>]
//                                            the real driver up to its first failure; the
//                                            child with one variable changed; whether a
//                                            library is found by name afterwards
//   try-load <library>                       whether a library is found by name
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

#include "formats/handshake.h"
#include "base/state.h"
#include "bootstrap/driver.h"
#include "errors/errors.h"
#include "paths/binary_path.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "paths/testing.h"

namespace {

const char* const handshakeVariables[] = {handshakeParentVariable, handshakeStartVariable,
                                          handshakeTimeUsVariable, handshakeRandomVariable};

// Extra cells after a buffer that the operation under test must leave alone.
const size_t guardCells = 16;
const wchar_t guardCharacter = L'#';

std::string utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    }
    return out;
}

void printLine(const char* label, const wchar_t* text) {
    printf("%s %s\n", label, text == nullptr ? "(none)" : utf8(text).c_str());
}

// A wide argument as the narrow name the operations take: one byte a character.
std::string narrowName(const wchar_t* wide) {
    std::string name;
    for (; *wide != 0; ++wide) {
        name.push_back(static_cast<char>(*wide & 0xFF));
    }
    return name;
}

uint64_t systemTime() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::wstring ownPath() {
    std::vector<wchar_t> path(32768);
    GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return path.data();
}

// A buffer of `capacity` cells followed by guard cells.
struct GuardedBuffer {
    std::vector<wchar_t> cells;
    size_t capacity;

    explicit GuardedBuffer(size_t capacity_)
        : cells(capacity_ + guardCells, L'?'), capacity(capacity_) {
        for (size_t i = capacity; i < cells.size(); ++i) {
            cells[i] = guardCharacter;
        }
    }
    wchar_t* data() { return cells.data(); }
    bool overrun() const {
        for (size_t i = capacity; i < cells.size(); ++i) {
            if (cells[i] != guardCharacter) {
                return true;
            }
        }
        return false;
    }
};

int startSelf(const std::wstring& arguments) {
    std::wstring program = ownPath();
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    // No environment block: the child inherits this process's environment.
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        printf("child-not-started %lu\n", GetLastError());
        return 102;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    printf("child-status %lu\n", status);
    return 0;
}

std::wstring quoted(const std::wstring& argument) {
    // The probe's own arguments hold no quotes and end in no backslash where quoted.
    return L"\"" + argument + L"\"";
}

void showEnvironment() {
    printf("pid %lu\n", GetCurrentProcessId());
    for (const char* name : handshakeVariables) {
        printLine(name, getEnvironmentValue(name));
    }
}

int expandCommand(int argc, wchar_t** argv) {
    int i = 2;
    bool asParent = false, showEnv = false, thenChild = false;
    std::vector<wchar_t*> vector = {nullptr, nullptr};
    bool replaceVector = false;
    for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; ++i) {
        std::wstring option = argv[i];
        if (option == L"--argv0" && i + 1 < argc) {
            vector[0] = argv[++i];
            replaceVector = true;
        } else if (option == L"--no-argv0") {
            replaceVector = true;
        } else if (option == L"--as-parent") {
            asParent = true;
        } else if (option == L"--show-environment") {
            showEnv = true;
        } else if (option == L"--then-child") {
            thenChild = true;
        } else {
            return 100;
        }
    }
    if (i >= argc) {
        return 100;
    }
    size_t capacity = wcstoul(argv[i++], nullptr, 10);
    if (replaceVector) {
        argumentVector = vector.data();
    }
    if (asParent) {
        setEnvironmentValue(handshakeStartVariable, nullptr);
        setEnvironmentValue(handshakeTimeUsVariable, nullptr);
        setEnvironmentValue(handshakeRandomVariable, nullptr);
        setEnvironmentValue(handshakeParentVariable,
                            std::to_wstring(GetCurrentProcessId()).c_str());
    }
    std::wstring childArguments = L"expand " + std::to_wstring(capacity);
    for (; i < argc; ++i) {
        GuardedBuffer output(capacity);
        bool expanded = expandPathSpec(output.data(), argv[i], capacity);
        if (output.overrun()) {
            printf("overrun\n");
            return 101;
        }
        printLine(expanded ? "ok" : "failed", output.data());
        childArguments += L" " + quoted(argv[i]);
    }
    if (showEnv) {
        showEnvironment();
    }
    fflush(stdout);
    return thenChild ? startSelf(childArguments) : 0;
}

// With `nearSecond`, each sample waits until the time is within the first
// millisecond of a second, where the microsecond part has leading zeros.
int timeSamplesCommand(int count, bool nearSecond) {
    for (int i = 0; i < count; ++i) {
        if (nearSecond) {
            // Waits for the clock to pass a whole second; noticing the wrap
            // rather than a narrow window keeps this working on a busy machine.
            uint64_t giveUp = systemTime() + 100000000; // ten seconds
            uint64_t previous = systemTime() / 10 % 1000000;
            for (;;) {
                uint64_t now = systemTime();
                uint64_t micro = now / 10 % 1000000;
                if (micro < previous || micro < 1000) {
                    break;
                }
                if (now > giveUp) {
                    printf("no-time-near-a-second\n");
                    return 105;
                }
                previous = micro;
            }
        }
        setEnvironmentValue(handshakeTimeUsVariable, nullptr);
        setEnvironmentValue(handshakeStartVariable, nullptr);
        wchar_t output[256];
        uint64_t before = systemTime();
        bool expanded = expandPathSpec(output, L"{TIME_US} {TIME}", 256);
        uint64_t after = systemTime();
        printf("sample %llu %llu %s%s\n", static_cast<unsigned long long>(before),
               static_cast<unsigned long long>(after), expanded ? "" : "failed ",
               utf8(output).c_str());
    }
    return 0;
}

int environmentCommand(int argc, wchar_t** argv) {
    int i = 2;
    if (i + 1 < argc && wcscmp(argv[i], L"--locale") == 0) {
        if (setlocale(LC_ALL, narrowName(argv[i + 1]).c_str()) == nullptr) {
            printf("no-locale\n");
            return 103;
        }
        i += 2;
    }
    std::wstring command = argv[1];
    if (i >= argc) {
        return 100;
    }
    std::string name = narrowName(argv[i]);
    if (command == L"env-get") {
        printLine("value", getEnvironmentValue(name.c_str()));
        return 0;
    }
    if (command == L"env-set" && i + 1 < argc) {
        BOOL set = setEnvironmentValue(name.c_str(), argv[i + 1]);
        printf("set %d\n", set ? 1 : 0);
    } else if (command == L"env-remove") {
        BOOL set = setEnvironmentValue(name.c_str(), nullptr);
        printf("set %d\n", set ? 1 : 0);
    } else {
        return 100;
    }
    // Read back with the test's own idea of the wide name.
    std::wstring wideName = argv[i];
    std::vector<wchar_t> value(32768);
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), 32768);
    printLine("read",
              length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? nullptr : value.data());
    // And as the C runtime answers, from the copy it made when it started.
    printLine("crt", _wgetenv(wideName.c_str()));
    return 0;
}

int binaryPathCommand(int argc, wchar_t** argv) {
    const wchar_t* renameTo = nullptr;
    for (int i = 2; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--plant-resolved" && i + 1 < argc) {
            wcscpy(resolvedBinaryPath, argv[++i]);
        } else if (option == L"--plant-reported" && i + 1 < argc) {
            wcscpy(reportedBinaryPath, argv[++i]);
        } else if (option == L"--rename-self" && i + 1 < argc) {
            renameTo = argv[++i];
        } else {
            return 100;
        }
    }
    const wchar_t* resolved = getBinaryPath(BinaryPathForm::resolved);
    const wchar_t* reported = getBinaryPath(BinaryPathForm::reported);
    printLine("resolved", resolved);
    printLine("reported", reported);
    printf("buffers %s\n", resolved == resolvedBinaryPath && reported == reportedBinaryPath
                               ? "process-wide"
                               : "other");
    if (renameTo != nullptr) {
        std::wstring from = ownPath();
        std::wstring to = from.substr(0, from.find_last_of(L'\\') + 1) + renameTo;
        if (!MoveFileW(from.c_str(), to.c_str())) {
            printf("not-renamed %lu\n", GetLastError());
            return 104;
        }
        const wchar_t* again = getBinaryPath(BinaryPathForm::resolved);
        printLine("resolved-again", again);
        printf("same-buffer %s\n", again == resolved ? "yes" : "no");
        printLine("reported-again", getBinaryPath(BinaryPathForm::reported));
        // What a fresh resolution of the reported name gives now.
        std::vector<wchar_t> fresh(binaryPathCapacity);
        wcscpy(fresh.data(), from.c_str());
        normalizeExecutablePath(fresh.data(), binaryPathCapacity);
        printLine("fresh", fresh.data());
    }
    return 0;
}

#ifdef ONEFILE_SEAMS
std::wstring finalPathAnswer;
DWORD finalPathCapacitySeen;
bool finalPathFails;

DWORD WINAPI fakeFinalPath(HANDLE file, LPWSTR buffer, DWORD capacity, DWORD flags) {
    finalPathCapacitySeen = capacity;
    if (file == INVALID_HANDLE_VALUE || file == nullptr || flags != 0) {
        printf("final-path-query misused\n");
        return 0;
    }
    if (finalPathFails) {
        // A failed query that leaves debris in its buffer.
        if (capacity > 8) {
            wcscpy(buffer, L"debris");
        }
        return 0;
    }
    DWORD length = static_cast<DWORD>(finalPathAnswer.size());
    if (length + 1 > capacity) {
        return length + 1;
    }
    wmemcpy(buffer, finalPathAnswer.c_str(), length + 1);
    return length;
}
FinalPathFunction findFakeFinalPath() {
    return fakeFinalPath;
}
FinalPathFunction findNoFinalPath() {
    return nullptr;
}

std::wstring shortPathLong, shortPathShort;
enum class ShortPathMode { real, grows, failsSecond } shortPathMode = ShortPathMode::real;

DWORD WINAPI fakeShortPath(LPCWSTR path, LPWSTR buffer, DWORD capacity) {
    if (!shortPathLong.empty() && shortPathLong == path) {
        DWORD length = static_cast<DWORD>(shortPathShort.size());
        if (length + 1 > capacity) {
            return length + 1;
        }
        wmemcpy(buffer, shortPathShort.c_str(), length + 1);
        return length;
    }
    DWORD answer = GetShortPathNameW(path, buffer, capacity);
    if (buffer != nullptr && shortPathMode == ShortPathMode::grows) {
        // The short form grew between the two questions.
        return capacity + 3;
    }
    if (buffer != nullptr && shortPathMode == ShortPathMode::failsSecond) {
        wcscpy(buffer, L"x");
        return 0;
    }
    return answer;
}
#endif

int pathCommand(int argc, wchar_t** argv) {
    bool shorten = wcscmp(argv[1], L"shorten") == 0;
    bool unterminated = false;
    int i = 2;
    for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; ++i) {
        std::wstring option = argv[i];
        if (option == L"--unterminated") {
            unterminated = true;
            continue;
        }
#ifdef ONEFILE_SEAMS
        if (option == L"--final-path" && i + 1 < argc) {
            finalPathAnswer = argv[++i];
            seamFindFinalPathFunction = findFakeFinalPath;
        } else if (option == L"--final-path-fails") {
            finalPathFails = true;
            seamFindFinalPathFunction = findFakeFinalPath;
        } else if (option == L"--final-path-missing") {
            seamFindFinalPathFunction = findNoFinalPath;
        } else if (option == L"--short-path" && i + 1 < argc) {
            std::wstring pair = argv[++i];
            shortPathLong = pair.substr(0, pair.find(L'='));
            shortPathShort = pair.substr(pair.find(L'=') + 1);
            seamGetShortPathNameW = fakeShortPath;
        } else if (option == L"--short-path-grows") {
            shortPathMode = ShortPathMode::grows;
            seamGetShortPathNameW = fakeShortPath;
        } else if (option == L"--short-path-fails-second") {
            shortPathMode = ShortPathMode::failsSecond;
            seamGetShortPathNameW = fakeShortPath;
        } else {
            return 100;
        }
#else
        return 100;
#endif
    }
    if (i + 2 != argc) {
        return 100;
    }
    size_t capacity = wcstoul(argv[i], nullptr, 10);
    std::wstring path = argv[i + 1];
    GuardedBuffer buffer(capacity);
    if (unterminated) {
        // The path fills every cell: no terminator within the capacity.
        for (size_t c = 0; c < capacity; ++c) {
            buffer.data()[c] = path[c % path.size()];
        }
    } else {
        if (path.size() >= capacity) {
            return 100;
        }
        wcscpy(buffer.data(), path.c_str());
    }
    if (shorten) {
        shortenDirectoryPart(buffer.data(), capacity);
    } else {
        normalizeExecutablePath(buffer.data(), capacity);
    }
    if (buffer.overrun()) {
        printf("overrun\n");
        return 101;
    }
    printLine("result", buffer.data());
#ifdef ONEFILE_SEAMS
    if (finalPathCapacitySeen != 0) {
        printf("final-path-capacity %lu\n", finalPathCapacitySeen);
    }
#endif
    return 0;
}

bool driverWithChild;
std::wstring childEnvironment; // name=value
std::wstring libraryToTry;

void tryLoad(const std::wstring& library) {
    HMODULE module = LoadLibraryW(library.c_str());
    printf("try-load %s\n", module != nullptr ? "found" : "not-found");
}

// The driver ends this process at its first failure after the target
// directory is known (the probe carries no archive); this reports what it
// computed on the way out.
void reportDriverState() {
    printf("role %s\n", parentInstance == nullptr ? "parent" : "child");
    printLine("target", targetDirectoryPath);
    showEnvironment();
    if (!libraryToTry.empty()) {
        tryLoad(libraryToTry);
    }
    fflush(stdout);
    if (driverWithChild && parentInstance == nullptr) {
        if (!childEnvironment.empty()) {
            size_t equals = childEnvironment.find(L'=');
            SetEnvironmentVariableW(childEnvironment.substr(0, equals).c_str(),
                                    childEnvironment.substr(equals + 1).c_str());
        }
        // Started while this process still lives, as the real child would be.
        startSelf(libraryToTry.empty() ? L"driver" : L"driver --try-load " + libraryToTry);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 100;
    }
    std::wstring command = argv[1];
    if (command == L"expand") {
        return expandCommand(argc, argv);
    }
    if (command == L"time-samples" && (argc == 3 || argc == 4)) {
        return timeSamplesCommand(_wtoi(argv[2]),
                                  argc == 4 && wcscmp(argv[3], L"--near-second") == 0);
    }
    if (command == L"random" && argc == 3) {
        wchar_t text[randomStringLength + 1];
        makeRandomString(static_cast<uint32_t>(wcstoul(argv[2], nullptr, 0)), text);
        printLine("random", text);
        return 0;
    }
    if (command == L"env-get" || command == L"env-set" || command == L"env-remove") {
        return environmentCommand(argc, argv);
    }
    if (command == L"binary-path") {
        return binaryPathCommand(argc, argv);
    }
    if (command == L"normalize" || command == L"shorten") {
        return pathCommand(argc, argv);
    }
    if (command == L"try-load" && argc == 3) {
        tryLoad(argv[2]);
        return 0;
    }
    if (command == L"driver") {
        for (int i = 2; i < argc; ++i) {
            std::wstring option = argv[i];
            if (option == L"--with-child") {
                driverWithChild = true;
            } else if (option == L"--child-environment" && i + 1 < argc) {
                childEnvironment = argv[++i];
            } else if (option == L"--try-load" && i + 1 < argc) {
                libraryToTry = argv[++i];
            } else {
                return 100;
            }
        }
        atexit(reportDriverState);
        return runBootstrap(argc, argv);
    }
    return 100;
}

#include "tests/support/process.h"

#include <algorithm>
#include <atomic>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

std::wstring environmentBlock(const std::map<std::wstring, std::optional<std::wstring>>& changes) {
    // Start from this process's environment, case-insensitively by name.
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring&, const std::wstring&)> vars(
        [](const std::wstring& a, const std::wstring& b) {
            return _wcsicmp(a.c_str(), b.c_str()) < 0;
        });
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p != 0; p += wcslen(p) + 1) {
        std::wstring entry(p);
        size_t eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) {
            continue;
        }
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        if (value) {
            vars[name] = *value;
        } else {
            vars.erase(name);
        }
    }
    std::wstring result;
    for (const auto& [name, value] : vars) {
        result += name + L"=" + value;
        result.push_back(0);
    }
    result.push_back(0);
    return result;
}

} // namespace

std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring commandLineFor(const std::wstring& program,
                            const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = quoteArgument(program);
    for (const auto& argument : arguments) {
        commandLine += L" " + quoteArgument(argument);
    }
    return commandLine;
}

ProcessResult runProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const ProcessOptions& options) {
    return runCommandLine(program, commandLineFor(program, arguments), options);
}

ProcessResult runCommandLine(const std::wstring& program, const std::wstring& commandLine,
                             const ProcessOptions& options) {
    RunningProcess process(program, commandLine, options);
    return process.wait(options.timeoutMilliseconds);
}

struct RunningProcess::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;
    bool outClosed = false;
    bool errClosed = false;
    // Set once the program has ended and its pipes had their time to close.
    std::atomic<bool> stopReading{false};
    HANDLE inWrite = nullptr, outRead = nullptr, errRead = nullptr;
    std::thread outReader, errReader, inWriter;
    bool waited = false;
    ProcessResult result;
};

namespace {

// How long the pipes may stay open after the program has ended. A Wine
// service or desktop process started on demand by the program inherits its
// standard handles and may keep them open for as long as it runs; waiting
// for the end of the pipe would then hang the test.
constexpr auto pipeGrace = std::chrono::seconds(10);

// Reads only what the pipe holds, so that a reader can be stopped.
void drainInto(HANDLE pipe, std::string* into, std::mutex* mutex, std::condition_variable* changed,
               bool* closed, const std::atomic<bool>* stop) {
    char buffer[65536];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            break; // every writer has closed it
        }
        if (available == 0) {
            if (*stop) {
                break;
            }
            Sleep(2);
            continue;
        }
        DWORD got = 0;
        DWORD wanted = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!ReadFile(pipe, buffer, wanted, &got, nullptr) || got == 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(*mutex);
        into->append(buffer, got);
        changed->notify_all();
    }
    std::lock_guard<std::mutex> lock(*mutex);
    *closed = true;
    changed->notify_all();
}

} // namespace

RunningProcess::RunningProcess(const std::wstring& program, const std::wstring& commandLine,
                               const ProcessOptions& options)
    : state_(new State) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE inRead, outWrite, errWrite = nullptr;
    if (!CreatePipe(&inRead, &state_->inWrite, &inheritable, 0) ||
        !CreatePipe(&state_->outRead, &outWrite, &inheritable, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    if (!options.mergeErrorIntoOutput &&
        !CreatePipe(&state_->errRead, &errWrite, &inheritable, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(state_->inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(state_->outRead, HANDLE_FLAG_INHERIT, 0);
    if (state_->errRead) {
        SetHandleInformation(state_->errRead, HANDLE_FLAG_INHERIT, 0);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = options.mergeErrorIntoOutput ? outWrite : errWrite;

    std::wstring environment = environmentBlock(options.environment);
    std::vector<wchar_t> mutableCommandLine(commandLine.begin(), commandLine.end());
    mutableCommandLine.push_back(0);
    PROCESS_INFORMATION process = {};
    BOOL created = FALSE;
    DWORD createError = 0;
    // Wine now and then fails a creation with an internal error on a busy
    // machine; the test is about the program, not about that.
    for (int attempt = 0; attempt < 3 && !created; ++attempt) {
        if (attempt > 0) {
            Sleep(200);
        }
        created = CreateProcessW(
            program.c_str(), mutableCommandLine.data(), nullptr, nullptr, TRUE,
            CREATE_UNICODE_ENVIRONMENT, environment.data(),
            options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup,
            &process);
        createError = GetLastError();
        if (!created && createError != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (errWrite) {
        CloseHandle(errWrite);
    }
    if (!created) {
        CloseHandle(state_->inWrite);
        CloseHandle(state_->outRead);
        if (state_->errRead) {
            CloseHandle(state_->errRead);
        }
        delete state_;
        throw std::runtime_error("CreateProcessW failed for " + toUtf8(program) + ": error " +
                                 std::to_string(createError));
    }
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    processId_ = process.dwProcessId;

    State* state = state_;
    state->outReader = std::thread(drainInto, state->outRead, &state->out, &state->mutex,
                                   &state->changed, &state->outClosed, &state->stopReading);
    if (state->errRead) {
        state->errReader = std::thread(drainInto, state->errRead, &state->err, &state->mutex,
                                       &state->changed, &state->errClosed, &state->stopReading);
    } else {
        state->errClosed = true;
    }
    std::string input = options.input;
    state->inWriter = std::thread([state, input] {
        DWORD written = 0;
        if (!input.empty()) {
            WriteFile(state->inWrite, input.data(), static_cast<DWORD>(input.size()), &written,
                      nullptr);
        }
        CloseHandle(state->inWrite);
    });
}

bool RunningProcess::waitForOutput(const std::string& text, DWORD timeoutMilliseconds) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] {
        return state_->out.find(text) != std::string::npos || state_->outClosed;
    }) && state_->out.find(text) != std::string::npos;
}

std::string RunningProcess::outputSoFar() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->out;
}

ProcessResult RunningProcess::wait(DWORD timeoutMilliseconds) {
    if (state_->waited) {
        return state_->result;
    }
    ProcessResult& result = state_->result;
    result.processId = processId_;
    if (WaitForSingleObject(process_, timeoutMilliseconds) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process_, 0xDEAD);
        WaitForSingleObject(process_, INFINITE);
    }
    GetExitCodeProcess(process_, &result.exitCode);
    {
        // What the program's own children still write comes in meanwhile.
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->changed.wait_for(lock, pipeGrace,
                                 [&] { return state_->outClosed && state_->errClosed; });
    }
    state_->stopReading = true;
    state_->inWriter.join();
    state_->outReader.join();
    if (state_->errReader.joinable()) {
        state_->errReader.join();
    }
    CloseHandle(state_->outRead);
    if (state_->errRead) {
        CloseHandle(state_->errRead);
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    result.out = state_->out;
    result.err = state_->err;
    state_->waited = true;
    return result;
}

RunningProcess::~RunningProcess() {
    if (!state_->waited) {
        wait(0);
    }
    CloseHandle(process_);
    delete state_;
}

std::wstring testProgramDirectory() {
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L'\\'));
}

std::wstring siblingProgram(const std::wstring& name) {
    return testProgramDirectory() + L"\\" + name;
}

std::wstring temporaryDirectory() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring text(temp, length);
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

std::vector<std::wstring> targetDirectoriesOf(DWORD processId) {
    std::wstring start = L"onefile_" + std::to_wstring(processId) + L"_";
    std::vector<std::wstring> found;
    forEachEntry(temporaryDirectory(), [&](const WIN32_FIND_DATAW& entry) {
        if (_wcsnicmp(entry.cFileName, start.c_str(), start.size()) == 0) {
            found.push_back(entry.cFileName);
        }
    });
    return found;
}

std::wstring makeTemporaryDirectory(const std::wstring& prefix) {
    std::wstring temp = temporaryDirectory() + L"\\";
    static unsigned counter = 0;
    for (;;) {
        std::wstring path = temp + prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            return path;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create a temporary directory");
        }
    }
}

namespace {

// Deletes below an extended-length path, so that trees deeper than the
// classic 260-character limit go too.
void removeBelow(const std::wstring& extended) {
    forEachEntry(extended, [&](const WIN32_FIND_DATAW& entry) {
        std::wstring child = extended + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
            SetFileAttributesW(child.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link: removed as a link, never followed.
            RemoveDirectoryW(child.c_str()) || DeleteFileW(child.c_str());
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            removeBelow(child);
            RemoveDirectoryW(child.c_str());
        } else {
            DeleteFileW(child.c_str());
        }
    });
}

} // namespace

bool removeTree(const std::wstring& path) {
    if (!pathExists(path)) {
        return true;
    }
    // Tests only ever remove what they made below the temporary directory;
    // anything else is a bug in the test and must not cost the build tree
    // (Wine's drive Z: is the whole Unix file system).
    wchar_t temp[MAX_PATH + 1];
    DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring plain = path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
    if (tempLength == 0 || plain.size() <= tempLength ||
        _wcsnicmp(plain.c_str(), temp, tempLength) != 0) {
        throw std::runtime_error("removeTree refuses a path outside the temporary directory: " +
                                 toUtf8(path));
    }
    std::wstring extended = path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
    if (isDirectory(path)) {
        removeBelow(extended);
        RemoveDirectoryW(extended.c_str());
    } else {
        DeleteFileW(extended.c_str());
    }
    return !pathExists(path);
}

void forEachEntry(const std::wstring& directory,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
            visit(entry);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

std::vector<std::wstring> listDirectory(const std::wstring& directory) {
    std::vector<std::wstring> names;
    forEachEntry(directory,
                 [&](const WIN32_FIND_DATAW& entry) { names.push_back(entry.cFileName); });
    std::sort(names.begin(), names.end());
    return names;
}

bool pathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string readFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + toUtf8(path));
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
}

void writeFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + toUtf8(path));
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, 0);
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, 0);
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string systemErrorText(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text ? std::string(text, length) : std::string();
    if (text) {
        LocalFree(text);
    }
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) {
        result.pop_back();
    }
    return result;
}

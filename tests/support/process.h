// Windows-side test helpers: start a program with captured standard streams
// and read its full 32-bit exit status; temporary directories and files.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
    DWORD exitCode = 0; // the full 32-bit status, as GetExitCodeProcess gives it
    std::string out;    // everything written to standard output
    std::string err;    // everything written to standard error
    bool timedOut = false;
    DWORD processId = 0; // the started process's identifier
};

struct ProcessOptions {
    std::string input; // fed to standard input, then closed
    std::map<std::wstring, std::optional<std::wstring>>
        environment;                    // set (value) or removed (nullopt)
    std::wstring workingDirectory;      // empty: inherit
    DWORD timeoutMilliseconds = 120000; // killed after this
    bool mergeErrorIntoOutput = false;  // one pipe for both streams
};

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring quoteArgument(const std::wstring& argument);

// A started program whose output can be watched while it runs.
class RunningProcess {
  public:
    RunningProcess(const std::wstring& program, const std::wstring& commandLine,
                   const ProcessOptions& options = {});
    ~RunningProcess(); // ends the program if it still runs
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    DWORD processId() const { return processId_; }
    HANDLE handle() const { return process_; }
    // Waits until standard output holds `text`; false when the program ended
    // or the time ran out first.
    bool waitForOutput(const std::string& text, DWORD timeoutMilliseconds);
    std::string outputSoFar();
    // Waits for the end (terminating the program after the timeout) and
    // returns everything it wrote.
    ProcessResult wait(DWORD timeoutMilliseconds);

  private:
    struct State;
    State* state_;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
};

// The command line that runProcess makes: the program path, then the arguments, quoted.
std::wstring commandLineFor(const std::wstring& program,
                            const std::vector<std::wstring>& arguments);

// Runs `program` with `arguments` (element 0 is added: the program path, quoted).
ProcessResult runProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const ProcessOptions& options = {});

// Runs with a command line given whole (element 0 included).
ProcessResult runCommandLine(const std::wstring& program, const std::wstring& commandLine,
                             const ProcessOptions& options = {});

// A program built next to the running test executable, e.g. L"errors_probe.exe".
std::wstring siblingProgram(const std::wstring& name);

// Directory of the running test executable, without a trailing backslash.
std::wstring testProgramDirectory();

// The temporary directory, without a trailing backslash (as {TEMP} gives it).
std::wstring temporaryDirectory();

// The per-run target directories of the parent `processId` that still exist
// in the temporary directory (names "onefile_<id>_..."), as names.
std::vector<std::wstring> targetDirectoriesOf(DWORD processId);

// A fresh, empty directory below the temporary directory.
std::wstring makeTemporaryDirectory(const std::wstring& prefix = L"onefile-test");

// Removes a directory tree; true when it is gone afterwards.
bool removeTree(const std::wstring& path);

// Calls `visit` for each entry of `directory` but "." and "..", in the
// order the system lists them; nothing when it cannot be listed.
void forEachEntry(const std::wstring& directory,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// The names in a directory, without "." and "..", sorted.
std::vector<std::wstring> listDirectory(const std::wstring& directory);

bool pathExists(const std::wstring& path);
bool isDirectory(const std::wstring& path);
std::string readFileBytes(const std::wstring& path);
void writeFileBytes(const std::wstring& path, const std::string& bytes);

// UTF-8 <-> UTF-16 for messages and test data.
std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

// The system's English text for an error code, line ends stripped (what
// the bootstrap prints for that code).
std::string systemErrorText(DWORD code);

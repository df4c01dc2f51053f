// Host test helpers: scratch directories, files, and running programs with
// their output captured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// A fresh directory, removed with its contents at the end of the test.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

  private:
    std::filesystem::path path_;
};

// Writes `content` to `path`, creating the directories on the way.
void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
    // The most memory the program held at once (resident), or what this
    // process held when it started the program, if that was more.
    long peakMemoryKb = 0;
};

// Runs `arguments` (element 0 the program) and waits for it.
CommandResult runCommand(const std::vector<std::string>& arguments);

// Passes when the command ended with status 0; otherwise the failure shows the
// status and what the command printed, which the status alone would not.
testing::AssertionResult succeeded(const CommandResult& result);

// The packer under test: the host's, or, when ONEFILE_PACK_EXE names
// onefile-pack.exe, that one under Wine with the build's prefix, which then
// takes the same command lines: a host path such as /tmp/x is a path on
// Wine's current drive, which maps the whole file system.
bool windowsPacker();

// The command that starts the packer under test, before its arguments.
std::vector<std::string> packerCommand();

// Runs the packer under test.
CommandResult runPacker(const std::vector<std::string>& arguments);

// `base` and a path below it, as the packer under test joins them in its
// messages ("\" between them on Windows).
std::string joinedForPacker(const std::filesystem::path& base, const std::string& below);

// What `info --json` says of `file`; a failed run fails the test.
nlohmann::json infoOf(const std::filesystem::path& file);

// The slots of the build constants in the executable `file`, each whole (its
// value and the zero bytes after it), by the symbol the bootstrap reads it
// through; a file without them fails the test.
std::map<std::string, std::string> constantSlots(const std::filesystem::path& file);

// UTF-16LE bytes with a terminator, as a text constant begins its slot.
std::string wide(const std::u16string& text);

// `value` followed by zero bytes up to `size`: a slot that holds it.
std::string zeroFilled(const std::string& value, size_t size);

// A Windows image that the test build made with MinGW-w64: "entry.dll"
// (exports run_code), "no_run_code.dll", "program.exe".
std::filesystem::path testImage(const std::string& name);

// A scratch directory whose in/ holds an entry library (app.dll), with an
// empty out/ for what the packer writes.
struct EntryTree {
    ScratchDirectory scratch;
    std::filesystem::path input = scratch / "in";
    std::filesystem::path out = scratch / "out";
    EntryTree();
    // Packs in/ into out/`output` at level 1, with `extra` options.
    CommandResult build(const std::vector<std::string>& extra, const std::string& command = "build",
                        const std::string& output = "app.exe",
                        const std::string& entry = "app.dll");
};

// The names in `directory`, sorted.
std::vector<std::string> directoryNames(const std::filesystem::path& directory);

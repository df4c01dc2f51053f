#include "packer/tests/support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "packer/image/constant_slots.h"
#include "packer/pe/pe_file.h"
#include "packer/payload/archive_file.h"

namespace fs = std::filesystem;

extern char** environ;

ScratchDirectory::ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "onefile-pack-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

CommandResult runCommand(const std::vector<std::string>& arguments) {
    ScratchDirectory capture;
    std::string outPath = (capture / "out").string(), errPath = (capture / "err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    // The child shares this process's memory until it runs the program, and
    // the kernel counts the peak of that towards the child's: this
    // process's peak so far is set back to what it holds now.
    std::ofstream("/proc/self/clear_refs") << "5";
    pid_t child = 0;
    int error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot run " + arguments[0]);
    }
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    CommandResult result;
    result.peakMemoryKb = usage.ru_maxrss;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

bool windowsPacker() {
    const char* exe = std::getenv("ONEFILE_PACK_EXE");
    return exe && *exe;
}

std::vector<std::string> packerCommand() {
    if (windowsPacker()) {
        // With a UTF-8 locale, without which Wine mangles names beyond ASCII.
        return {"env", "LC_ALL=C.UTF-8", "WINEPREFIX=" ONEFILE_WINEPREFIX, ONEFILE_WINE_RUN,
                std::getenv("ONEFILE_PACK_EXE")};
    }
    return {ONEFILE_PACK_PATH};
}

testing::AssertionResult succeeded(const CommandResult& result) {
    if (result.exitCode == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "status " << result.exitCode << "\nstandard error:\n"
                                       << result.err << "\nstandard output:\n"
                                       << result.out;
}

CommandResult runPacker(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = packerCommand();
    command.insert(command.end(), arguments.begin(), arguments.end());
    CommandResult result = runCommand(command);
    // The packer explains every failure on its standard error. A status
    // without a word is Wine's, which on a loaded machine now and then
    // fails to start a program at all: that start is tried once more.
    if (windowsPacker() && result.exitCode != 0 && result.err.empty()) {
        std::cerr << "note: the Windows packer ended with status " << result.exitCode
                  << " and no word; started once more\n";
        result = runCommand(command);
    }
    return result;
}

std::string joinedForPacker(const fs::path& base, const std::string& below) {
    std::string joined = base.string() + (windowsPacker() ? "\\" : "/") + below;
    if (windowsPacker()) {
        std::replace(joined.begin() + base.string().size(), joined.end(), '/', '\\');
    }
    return joined;
}

nlohmann::json infoOf(const fs::path& file) {
    CommandResult r = runPacker({"info", file.string(), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return nlohmann::json::parse(r.out);
}

std::map<std::string, std::string> constantSlots(const fs::path& file) {
    const std::string bytes = readFile(file);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::map<std::string, std::string> slots;
    std::string problem;
    std::optional<PeImage> image = readPeImage(data, bytes.size(), &problem);
    if (!image) {
        ADD_FAILURE() << file << " " << problem;
        return slots;
    }
    AttachedData attached = locateAttachedData(data, bytes.size(), file.string());
    std::optional<uint32_t> end = addressOfFileOffset(*image, attached.offset);
    std::optional<std::vector<ConstantSlot>> table =
        end ? readConstantTable(*image, data, bytes.size(), *end, &problem) : std::nullopt;
    if (!table) {
        ADD_FAILURE() << file << ": " << problem;
        return slots;
    }
    for (const ConstantSlot& slot : *table) {
        std::optional<size_t> at = fileOffsetOf(*image, bytes.size(), slot.address, slot.size);
        EXPECT_TRUE(at) << slot.name;
        if (at) {
            slots[slot.name] = bytes.substr(*at, slot.size);
        }
    }
    return slots;
}

std::string wide(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    }
    return out + std::string(2, '\0');
}

std::string zeroFilled(const std::string& value, size_t size) {
    return value + std::string(size > value.size() ? size - value.size() : 0, '\0');
}

fs::path testImage(const std::string& name) {
    return fs::path(ONEFILE_TEST_IMAGES) / name;
}

EntryTree::EntryTree() {
    writeFile(input / "app.dll", readFile(testImage("entry.dll")));
    fs::create_directories(out);
}

CommandResult EntryTree::build(const std::vector<std::string>& extra, const std::string& command,
                               const std::string& output, const std::string& entry) {
    std::vector<std::string> arguments = {command,    input.string(),          "--entry", entry,
                                          "--output", (out / output).string(), "--level", "1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runPacker(arguments);
}

std::vector<std::string> directoryNames(const fs::path& directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

#include "packer/fuzz/inspection.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "packer/error.h"
#include "packer/fuzz/fuzz_support.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/payload/archive_path.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "inspection: %s\n", what.c_str());
    std::abort();
}

// Runs `command` with its output kept; false when it refused the file.
bool attempt(const std::function<void()>& command, std::string* output = nullptr) {
    CapturedOutput captured;
    try {
        command();
    } catch (const PackError&) {
        return false;
    }
    if (output) {
        *output = captured.standardOutput();
    }
    return true;
}

nlohmann::json parsedJson(const std::string& text, const char* command) {
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        fail(std::string(command) + " --json printed what is no JSON");
    }
    return value;
}

// Every regular file below `top` with its size, by its path below it ("/"
// between names); anything but files and folders fails.
std::map<std::string, uintmax_t> filesBelow(const fs::path& top) {
    std::map<std::string, uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.is_symlink() || !(entry.is_regular_file() || entry.is_directory())) {
            fail("extract wrote something that is neither a file nor a folder");
        }
        if (entry.is_regular_file()) {
            files[entry.path().lexically_relative(top).generic_string()] = entry.file_size();
        }
    }
    return files;
}

void checkExtraction(const nlohmann::json& listing, const fs::path& directory) {
    std::map<std::string, uintmax_t> expected;
    for (const nlohmann::json& record : listing["records"]) {
        std::string path;
        for (const std::string& name : archivePathComponents(record["path"].get<std::string>())) {
            path += (path.empty() ? "" : "/") + name;
        }
        expected[path] = record["size"].get<uintmax_t>();
    }
    if (filesBelow(directory) != expected) {
        fail("extract wrote other files, or other sizes, than list shows");
    }
}

} // namespace

void runInspectionCommands(const std::string& fileBytes) {
    clearScratchFolder();
    const fs::path file = scratchFolder() / "input.exe";
    const fs::path directory = scratchFolder() / "extracted";
    std::ofstream(file, std::ios::binary)
        .write(fileBytes.data(), static_cast<std::streamsize>(fileBytes.size()));

    std::string json;
    attempt([&] { runInfoCommand(file, false, {}); });
    if (attempt([&] { runInfoCommand(file, true, {"missing.dll"}); }, &json)) {
        parsedJson(json, "info");
    }
    attempt([&] { runListCommand(file, true, false); });
    nlohmann::json listing;
    if (attempt([&] { runListCommand(file, false, true); }, &json)) {
        listing = parsedJson(json, "list");
    }
    attempt([&] { runVerifyCommand(file, {}); });
    const bool recordsSound = attempt([&] {
        InspectedFile inspected(file);
        verifiedRecords(inspected);
    });

    const bool extracted = attempt([&] { runExtractCommand(file, directory, false); });
    if (!extracted && fs::exists(fs::symlink_status(directory))) {
        fail("a failed extract left its directory behind");
    }
    if (extracted && !recordsSound) {
        fail("extract wrote an archive whose records verify refuses");
    }
    if (extracted) {
        checkExtraction(listing, directory);
    }
    for (const auto& entry : fs::directory_iterator(scratchFolder())) {
        if (entry.path() != file && entry.path() != directory) {
            fail("a command wrote beside the extraction's directory");
        }
    }
}

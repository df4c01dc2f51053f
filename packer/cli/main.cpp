// onefile-pack: packs a directory into a onefile executable for Windows.
#include <zstd.h>

#include <iostream>
#include <string>
#include <vector>

#include "packer/cli/options.h"
#include "packer/error.h"
#include "packer/release.h"
#include "packer/text.h"

namespace {

constexpr int exitFailure = 1; // the pack failed; nothing was written
constexpr int exitUsage = 2;   // the command line is wrong

std::string commandNames() {
    std::string names;
    for (const CommandRow& command : commandTable()) {
        names += (names.empty() ? "" : ", ") + std::string(command.name);
    }
    return names;
}

int run(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        std::cerr << generalHelp();
        return exitUsage;
    }
    const std::string& name = arguments[0];
    if (name == "--help" || name == "-h" || name == "help") {
        if (arguments.size() > 1) {
            const CommandRow* topic = findCommand(arguments[1]);
            if (!topic) {
                throw UsageError{"no command " + quoteForMessage(arguments[1])};
            }
            std::cout << commandHelp(*topic);
        } else {
            std::cout << generalHelp();
        }
        return 0;
    }
    if (name == "--version") {
        std::cout << "onefile-pack " << onefileVersion << " (zstd " << ZSTD_versionString()
                  << ")\n";
        return 0;
    }
    const CommandRow* command = findCommand(name);
    if (!command) {
        throw UsageError{"no command " + quoteForMessage(name) + " (" + commandNames() + ")"};
    }
    CommandLine line;
    if (!parseCommandLine(*command, {arguments.begin() + 1, arguments.end()}, line)) {
        return 0; // its help was asked for
    }
    checkCommandLine(*command, line);
    command->run(line);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "onefile-pack: " << error.message << "\n(onefile-pack --help tells more)\n";
        return exitUsage;
    } catch (const std::exception& error) {
        std::cerr << "onefile-pack: error: " << error.what() << '\n';
        return exitFailure;
    }
}

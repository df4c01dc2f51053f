// onefile-pack: packs a directory into a onefile executable for Windows.
#include <zstd.h>

#include <iostream>
#include <string>
#include <vector>

#include "packer/cli/options.h"
#include "packer/error.h"
#include "packer/platform/console.h"
#include "packer/release.h"
#include "packer/text.h"

#ifdef _WIN32
#include "packer/platform/windows_support.h"
#endif

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

int run(const std::vector<std::string>& arguments) {
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
    try {
        CommandLine line;
        if (!parseCommandLine(*command, {arguments.begin() + 1, arguments.end()}, line)) {
            return 0; // its help was asked for
        }
        checkCommandLine(*command, line);
        command->run(line);
    } catch (UsageError& error) {
        error.command = command->name;
        throw;
    }
    return 0;
}

int runAndReport(const std::vector<std::string>& arguments) {
    setUpStandardStreams();
    try {
        return run(arguments);
    } catch (const UsageError& error) {
        const std::string help = error.command.empty()
                                     ? "onefile-pack --help"
                                     : "onefile-pack " + error.command + " --help";
        printMessage(MessageKind::plain, error.message + "\n(" + help + " tells more)");
        return exitUsage;
    } catch (const std::exception& error) {
        printMessage(MessageKind::error, error.what());
        return exitFailure;
    }
}

} // namespace

#ifdef _WIN32
// Patterns such as --exclude '*.pdb' reach the packer as typed: the runtime's
// start-up must not expand them against the working directory.
extern "C" {
int _dowildcard = 0;
}

// The command line as Windows gives it, UTF-16, taken to UTF-8 without loss.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(utf8FromWide(argv[i]));
    }
    return runAndReport(arguments);
}
#else
int main(int argc, char** argv) {
    return runAndReport({argv + 1, argv + argc});
}
#endif

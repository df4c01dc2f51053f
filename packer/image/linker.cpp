#include "packer/image/linker.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "packer/error.h"
#include "packer/text.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

const char* const requiredLibraries[] = {"libonefile_bootstrap.a", "libonefile_zstd.a"};

fs::path ownDirectory() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        throw PackError(
            "cannot find where onefile-pack is installed (/proc/self/exe: " + error.message() +
            "); give --library-dir or set " + libraryDirectoryVariable);
    }
    return self.parent_path();
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

Toolchain findToolchain(const std::optional<std::string>& driver,
                        const std::optional<fs::path>& libraryDirectory) {
    Toolchain toolchain;
    if (driver) {
        toolchain.driver = *driver;
    } else if (!environmentValue(driverVariable).empty()) {
        toolchain.driver = environmentValue(driverVariable);
    } else {
        toolchain.driver = defaultDriver;
    }
    std::string origin;
    if (libraryDirectory) {
        toolchain.libraryDirectory = *libraryDirectory;
        origin = "--library-dir";
    } else if (!environmentValue(libraryDirectoryVariable).empty()) {
        toolchain.libraryDirectory = environmentValue(libraryDirectoryVariable);
        origin = libraryDirectoryVariable;
    } else {
        toolchain.libraryDirectory = (ownDirectory() / defaultLibraryDirectory).lexically_normal();
        origin = "the default place next to onefile-pack";
    }
    for (const char* library : requiredLibraries) {
        fs::path file = toolchain.libraryDirectory / library;
        std::error_code error;
        if (!fs::is_regular_file(file, error)) {
            throw PackError("the bootstrap library " + quoteForMessage(file.string()) +
                            " is missing (library directory from " + origin +
                            "); build the Windows part first, or give --library-dir or " +
                            libraryDirectoryVariable);
        }
    }
    return toolchain;
}

std::vector<std::string> linkCommand(const Toolchain& toolchain, const LinkJob& job) {
    std::vector<std::string> command = {
        // Both kinds of program enter the bootstrap at wWinMain: a console
        // program through the runtime's own wmain, which calls it.
        toolchain.driver, "-static", driverOption(job.subsystem), "-municode", "-s",
        // The image settings the bootstrap is made for: a large main-thread
        // stack for the packaged application, a small heap, Windows XP x64
        // (5.2) as the oldest subsystem, ASLR with high entropy, and NX.
        // -Xlinker keeps "reserve,commit" in one piece (-Wl splits at commas).
        "-Xlinker", "--stack=0x968000,0x1000", "-Xlinker", "--heap=0x100000,0x1000",
        "-Wl,--major-subsystem-version,5,--minor-subsystem-version,2",
        "-Wl,--dynamicbase,--high-entropy-va,--nxcompat",
        // Equal inputs give equal executables.
        "-Wl,--no-insert-timestamp", "-o", job.output.string()};
    for (const fs::path& object : job.objects) {
        command.push_back(object.string());
    }
    command.push_back("-L" + toolchain.libraryDirectory.string());
    // The entry lives in the bootstrap library; make sure it is taken from there.
    command.push_back("-Wl,-u,wWinMain");
    command.push_back("-lonefile_bootstrap");
    command.push_back("-lonefile_zstd");
    return command;
}

void linkExecutable(const Toolchain& toolchain, const LinkJob& job, bool verbose) {
    std::vector<std::string> command = linkCommand(toolchain, job);
    if (verbose) {
        std::cerr << "onefile-pack: linking:";
        for (const std::string& part : command) {
            std::cerr << ' ' << part;
        }
        std::cerr << '\n';
    }
    std::vector<char*> arguments;
    for (std::string& part : command) {
        arguments.push_back(part.data());
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    int error =
        posix_spawnp(&child, command[0].c_str(), nullptr, nullptr, arguments.data(), environ);
    if (error != 0) {
        throw PackError("cannot run the MinGW-w64 driver " + quoteForMessage(command[0]) + ": " +
                        systemErrorText(error) +
                        (error == ENOENT ? std::string(" (install g++-mingw-w64-x86-64-posix, or "
                                                       "name the driver with --linker or ") +
                                               driverVariable + ")"
                                         : std::string()));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackError("lost track of the linker: " + systemErrorText(errno));
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw PackError(
            "linking " + quoteForMessage(job.output.string()) + " failed (" + command[0] +
            (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                               : " was ended by signal " + std::to_string(WTERMSIG(status))) +
            ")");
    }
}

// Links the bootstrap's static libraries and the packer's objects into a
// Windows executable with the MinGW-w64 toolchain.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/image/subsystem.h"
#include "packer/release.h" // defaultLibraryDirectory

// Where the toolchain is looked for when no option names it.
constexpr char driverVariable[] = "ONEFILE_MINGW_CXX";
constexpr char defaultDriver[] = "x86_64-w64-mingw32-g++-posix";
constexpr char libraryDirectoryVariable[] = "ONEFILE_LIBRARY_DIR";

struct Toolchain {
    std::string driver;                     // the MinGW-w64 g++ driver, a name or a path
    std::filesystem::path libraryDirectory; // holds the bootstrap's libraries
};

// The toolchain to use: an explicit choice first, then the environment
// (ONEFILE_MINGW_CXX, ONEFILE_LIBRARY_DIR), then the defaults: the driver
// x86_64-w64-mingw32-g++-posix from PATH and ../lib/onefile next to this
// program. Throws PackError when the libraries are not there.
Toolchain findToolchain(const std::optional<std::string>& driver,
                        const std::optional<std::filesystem::path>& libraryDirectory);

// One link: the objects to add to the bootstrap's libraries (the constants
// object, and whatever else, such as compiled resources) and the output.
struct LinkJob {
    std::vector<std::filesystem::path> objects;
    std::filesystem::path output;
    Subsystem subsystem = Subsystem::gui;
};

// The driver's command line for `job`.
std::vector<std::string> linkCommand(const Toolchain& toolchain, const LinkJob& job);

// Runs the link; throws PackError when the driver cannot be run or fails.
// The driver's own messages go to standard error as they come.
void linkExecutable(const Toolchain& toolchain, const LinkJob& job, bool verbose);

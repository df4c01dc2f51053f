// The packer's commands, behind the command line of main.cpp.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "packer/payload/archive_writer.h"
#include "packer/payload/exclusions.h"
#include "packer/image/build_constants.h"
#include "packer/pe/subsystem.h"
#include "packer/cli/progress.h"
#include "packer/warnings.h"

struct PackOptions {
    std::filesystem::path inputDirectory;
    std::string entry; // relative to inputDirectory, as given
    std::filesystem::path output;
    CompressionSettings compression;
    ProgressMode progress = ProgressMode::automatic;
    // No progress, no line for a pack that succeeded, and warnings counted
    // in one line rather than shown.
    bool quiet = false;
    bool verbose = false;
    std::set<Warning> silenced; // --no-warn: never shown nor counted
    Exclusions exclusions;      // --exclude and --exclude-vcs, checked as they were given
    std::vector<std::filesystem::path> exclusionFiles; // --exclude-from, read when packing
    bool dryRun = false;                               // list what would be packed, write nothing
};

struct BuildOptions : PackOptions {
    // The product: checked texts and numbers; absent ones take the defaults
    // of defaultBuildConstants (no company, the output's name, 0.0.0.0).
    std::optional<std::u16string> company;
    std::optional<std::u16string> product;
    std::optional<VersionNumbers> version;
    std::optional<std::filesystem::path> icon;      // default: the project's own icon
    std::optional<std::string> targetDirectorySpec; // UTF-8 as given; default: the library's
    // Refuse an entry library that the bootstrap could not call, and a
    // package whose files import what Windows will not find.
    bool checkEntry = true;
    std::vector<std::string> allowMissing; // libraries the target machines have
    bool errorDialog = false;              // failures also in a message box
    bool cache = false;             // cached mode: unpack once, into a directory of the build's own
    bool progressWindow = false;    // a window while a slow start unpacks (GUI builds)
    bool keepOtherVersions = false; // cached mode: leave the product's other caches alone
    Subsystem subsystem = Subsystem::gui;
};

// The build-time constants of a build: the options, defaults for the rest.
// Throws PackError for a target-directory spec that is not UTF-8.
BuildConstants buildConstants(const BuildOptions& options);

// onefile-pack archive: the attached data alone.
void runArchiveCommand(const PackOptions& options);

// onefile-pack build: the bootstrap with the attached data.
void runBuildCommand(const BuildOptions& options);

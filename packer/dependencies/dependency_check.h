// Whether the Windows loader will find, in the child that runs a package,
// every library that the package's programs and libraries import, and every
// function they import from a library of the package.
//
// The child loads the entry library with its own folder, the target
// directory and the system directory on the search path; what that load
// brings in is searched there alone. Other libraries of the package are
// plug-ins that the application loads by path later: what they import is
// found when the entry's load brought it in already, or else in the folders
// that the application's way of loading them searches (beside the plug-in,
// or the target directory). A program of the package runs as a process of
// its own and finds its libraries beside itself. Delay-loaded libraries are
// loaded by name when first called, where only libraries already loaded and
// the system's are found for sure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packer/pe/imports.h"
#include "packer/warnings.h"

// A program or library of the package, by its archive path ("\" between
// names), with its linkage, or why it cannot be read.
struct PackagedImage {
    std::string path;
    std::optional<ImageLinkage> linkage;
    std::string problem; // when linkage is missing
};

// The image in `bytes` as a PackagedImage, or nothing when they hold no PE
// image at all.
std::optional<PackagedImage> packagedImage(const std::string& path, const unsigned char* bytes,
                                           size_t size);

struct DependencyFindings {
    struct Importer {
        std::string path;
        bool delayLoaded = false;
    };
    // A library that no folder searched holds and that is not the system's.
    struct MissingLibrary {
        std::string library; // as the first importer names it
        std::vector<Importer> importers;
        // Files of the package of that name in folders that are not searched.
        std::vector<std::string> elsewhere;
    };
    // A function imported from a library of the package that it does not export.
    struct MissingFunction {
        std::string importer;
        std::string library; // the archive path of the library found
        ImportedName function;
    };
    // A library of the package found for an importer of another machine.
    struct WrongMachine {
        std::string importer;
        std::string library; // the archive path of the library found
        uint16_t machine = 0;
        uint16_t wanted = 0;
    };
    struct Unreadable {
        std::string path;
        std::string problem;
    };

    std::vector<MissingLibrary> missing;
    std::vector<MissingFunction> missingFunctions;
    std::vector<WrongMachine> wrongMachines;
    std::vector<Unreadable> unreadable;
    // Missing libraries that --allow-missing named, as they are imported.
    std::vector<std::string> allowedMissing;
    // What the application's usual ways of loading do not find, libraries
    // it cannot load at all, and names given to --allow-missing that
    // nothing misses: one message for each problem, however many files
    // share it.
    std::vector<WarningMessage> warnings;
    // The images, importers and imported functions that the check looked at
    // on its way, which tests hold to a bound set by the package's size.
    uint64_t lookups = 0;

    bool sound() const {
        return missing.empty() && missingFunctions.empty() && wrongMachines.empty() &&
               unreadable.empty();
    }
};

// Checks the images of a package whose entry library is `entryPath`. The
// libraries named in `allowedMissing` (in any case) may be missing.
DependencyFindings checkDependencies(const std::vector<PackagedImage>& images,
                                     const std::string& entryPath,
                                     const std::vector<std::string>& allowedMissing);

// One line for each warning, as the packer prints them after their label.
std::vector<std::string> warningLines(const DependencyFindings& findings);

// One line for each problem, without line breaks, for messages and reports.
std::vector<std::string> dependencyProblemLines(const DependencyFindings& findings);

// The whole refusal of a package with problems: every problem, then how to
// mend each kind of them.
std::string dependencyRefusal(const DependencyFindings& findings);

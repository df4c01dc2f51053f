// libFuzzer target for whole PE files through every reader of the packer:
// the headers and sections, file offsets and addresses, the export check of
// the entry library, the certificate table, the subsystem, the import,
// delay-load and export tables, the table of the constants' slots and the
// bootstrap image's checks; then the dependency check over a package made
// of the image, as the entry library, and of copies of it under the names
// it imports, so that what it imports from itself is looked up too.
//
// Besides never reading outside the input: every range a reader hands out
// lies inside the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "packer/dependencies/dependency_check.h"
#include "packer/error.h"
#include "packer/image/bootstrap_image.h"
#include "packer/image/constant_slots.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_file.h"
#include "packer/pe/subsystem.h"

namespace {

// Copies of the image in the package besides the entry library.
constexpr size_t copiesLimit = 4;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "pe_fuzz: %s\n", what);
    std::abort();
}

void readHeaders(const PeImage& image, const uint8_t* data, size_t size) {
    for (const PeDirectory& directory : image.directories) {
        if (std::optional<size_t> offset =
                fileOffsetOf(image, size, directory.address, directory.size)) {
            if (*offset > size || directory.size > size - *offset) {
                fail("a directory's range lies outside the file");
            }
        }
    }
    for (const PeSection& section : image.sections) {
        addressOfFileOffset(image, section.rawOffset);
        // The table of the slots may end where any section's data ends.
        std::string problem;
        readConstantTable(image, data, size, section.virtualAddress + section.virtualSize,
                          &problem);
    }
    if (std::optional<CertificateTable> table = certificateTable(image, size)) {
        if (table->offset > size || table->size > size - table->offset) {
            fail("the certificate table lies outside the file");
        }
    }
    std::string problem;
    exportsFunction(image, data, size, "run_code", &problem);
    machineName(image.machine);
    subsystemName(image.subsystem);
}

void checkPackage(const uint8_t* data, size_t size) {
    std::optional<PackagedImage> entry = packagedImage("app\\entry.dll", data, size);
    if (!entry) {
        return;
    }
    std::vector<PackagedImage> images = {*entry};
    std::vector<std::string> allowed = {"allowed.dll"};
    if (entry->linkage) {
        for (const LibraryImport& import : entry->linkage->imports) {
            if (images.size() > copiesLimit) {
                break;
            }
            // Beside the entry, and once in a folder the loader does not search.
            PackagedImage copy = *entry;
            copy.path = (images.size() % 2 ? "app\\" : "app\\plugins\\") + import.library;
            images.push_back(std::move(copy));
            allowed.push_back(import.library);
        }
    }
    for (bool allowing : {false, true}) {
        DependencyFindings findings = checkDependencies(
            images, images.front().path, allowing ? allowed : std::vector<std::string>{});
        dependencyProblemLines(findings);
        if (!findings.sound()) {
            dependencyRefusal(findings);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem;
    if (std::optional<PeImage> image = readPeImage(data, size, &problem)) {
        readHeaders(*image, data, size);
    }
    entryLibraryProblem(data, size);
    try {
        imageSubsystem(data, size, "input");
    } catch (const PackError&) {
    }
    readImageLinkage(data, size, &problem);
    checkPackage(data, size);
    try {
        readBootstrapImage(data, size);
    } catch (const std::logic_error&) {
        // Not a bootstrap image the packer could write from.
    } catch (const PackError&) {
    }
    return 0;
}

#include "packer/image/bootstrap_image.h"

#include <algorithm>
#include <stdexcept>

#include "formats/archive_layout.h"
#include "packer/embedded_files.h"

namespace {

// Whether `length` bytes at `address` lie inside [start, end).
bool within(uint64_t address, uint64_t length, uint64_t start, uint64_t end) {
    return address >= start && address <= end && length <= end - address;
}

} // namespace

BootstrapImage readBootstrapImage(const unsigned char* bytes, size_t size) {
    auto fail = [](const std::string& what) {
        return std::logic_error("the bootstrap image built into onefile-pack " + what);
    };
    BootstrapImage image;
    image.bytes = bytes;
    image.size = size;
    std::string problem;
    std::optional<PeImage> headers = readPeImage(bytes, size, &problem);
    if (!headers) {
        throw fail(problem);
    }
    image.headers = *headers;
    const std::vector<PeSection>& sections = image.headers.sections;
    if (image.headers.magic != pe::magicPe32Plus || image.headers.machine != coff::machineAmd64) {
        throw fail("is not a PE32+ image for x86-64");
    }
    const uint32_t fileAlignment = image.headers.fileAlignment;
    const uint32_t sectionAlignment = image.headers.sectionAlignment;
    auto powerOfTwo = [](uint32_t value) { return value != 0 && (value & (value - 1)) == 0; };
    if (!powerOfTwo(fileAlignment) || !powerOfTwo(sectionAlignment) ||
        fileAlignment > sectionAlignment) {
        throw fail("has alignments it should not have");
    }
    uint64_t previousEnd = image.headers.headersSize;
    for (const PeSection& section : sections) {
        if (section.rawSize != 0 &&
            (!within(section.rawOffset, section.rawSize, 0, size) ||
             section.rawOffset % fileAlignment != 0 || section.rawSize % fileAlignment != 0)) {
            throw fail("has a section " + section.name + " whose data is not where it says");
        }
        if (section.virtualAddress < previousEnd ||
            section.virtualAddress % sectionAlignment != 0) {
            throw fail("has its sections out of order");
        }
        previousEnd = uint64_t{section.virtualAddress} + section.virtualSize;
    }

    // The read-only data, and after it nothing but resources and relocations.
    auto rdata = std::find_if(sections.begin(), sections.end(),
                              [](const PeSection& section) { return section.name == ".rdata"; });
    if (rdata == sections.end()) {
        throw fail("has no .rdata section");
    }
    image.readOnlyData = static_cast<size_t>(rdata - sections.begin());
    for (size_t i = image.readOnlyData + 1; i < sections.size(); ++i) {
        if (sections[i].name == ".reloc" && i + 1 == sections.size()) {
            image.relocations = i;
        } else if (sections[i].name != ".rsrc" || i != image.readOnlyData + 1) {
            throw fail("has the section " + sections[i].name +
                       " after its read-only data, where only the resources and the "
                       "relocations may lie");
        }
    }
    const PeSection& readOnly = *rdata;
    if (readOnly.rawSize < readOnly.virtualSize) {
        throw fail("has read-only data that the file does not hold whole");
    }

    // The table at the section's end, the slots before it.
    const uint32_t end = readOnly.virtualAddress + readOnly.virtualSize;
    std::optional<std::vector<ConstantSlot>> slots =
        readConstantTable(image.headers, bytes, size, end, &problem);
    if (!slots) {
        throw fail("has " + problem);
    }
    image.attachedDataAddress = end;
    image.tableAddress =
        end - constantTableEndSize - static_cast<uint32_t>(slots->size() * constantEntrySize);
    slots->pop_back(); // the attached data's
    std::sort(slots->begin(), slots->end(),
              [](const ConstantSlot& a, const ConstantSlot& b) { return a.address < b.address; });
    uint64_t unused = readOnly.virtualAddress; // where the next slot may begin
    for (const ConstantSlot& slot : *slots) {
        if (!within(slot.address, slot.size, unused, image.tableAddress)) {
            throw fail("has a slot for " + slot.name +
                       " outside its read-only data or over another");
        }
        unused = uint64_t{slot.address} + slot.size;
    }
    image.slots = std::move(*slots);

    // What the loader finds through the data directories must keep its
    // place; only the resources and the relocations move, and there is no
    // signature yet.
    if (image.headers.directories.size() <= pe::baseRelocationDirectory) {
        throw fail("has no room for the directories of the resources and the relocations");
    }
    for (size_t i = 0; i < image.headers.directories.size(); ++i) {
        const PeDirectory& directory = image.headers.directories[i];
        if (directory.address == 0 && directory.size == 0) {
            continue;
        }
        const bool moves = i == pe::resourceDirectory || i == pe::baseRelocationDirectory;
        if (i == pe::certificateDirectory ||
            (!moves && !within(directory.address, directory.size, 0, image.tableAddress))) {
            throw fail("has a data directory (" + std::to_string(i) +
                       ") that would not keep its place");
        }
    }
    if (image.relocations) {
        const PeSection& relocations = sections[*image.relocations];
        const PeDirectory& directory = image.headers.directories[pe::baseRelocationDirectory];
        if (directory.address != relocations.virtualAddress ||
            directory.size > relocations.virtualSize) {
            throw fail("has relocations that are not its .reloc section");
        }
    }
    return image;
}

const BootstrapImage& bootstrapImage(Subsystem subsystem) {
    // Checked once, on first use: a failure is a broken build, not bad input.
    if (subsystem == Subsystem::console) {
        static const BootstrapImage console =
            readBootstrapImage(embeddedConsoleBootstrap.data, embeddedConsoleBootstrap.size);
        return console;
    }
    static const BootstrapImage gui =
        readBootstrapImage(embeddedGuiBootstrap.data, embeddedGuiBootstrap.size);
    return gui;
}

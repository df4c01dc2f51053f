#include "packer/image/image_writer.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace {

// Windows loads no image of 2 GiB or more. Below that every offset also fits
// the long of the stdio calls, on Windows too.
constexpr uint64_t imageLimit = 0x80000000;

// The resources' flags as GNU ld gives them, and as executables had them
// when it linked them: initialised data, readable and writable.
constexpr uint32_t resourceCharacteristics =
    coff::initialisedData | coff::readable | coff::writable;

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

PackError tooLarge() {
    return PackError("the packed data exceeds the 2 GiB that a Windows executable can hold");
}

void store(std::vector<unsigned char>& bytes, size_t at, uint64_t value, size_t count) {
    storeLittleEndian(bytes.data() + at, value, count);
}

} // namespace

ExecutableLayout layOutExecutable(const BootstrapImage& image, uint64_t attachedLength,
                                  uint32_t resourceSize) {
    const PeImage& headers = image.headers;
    const uint64_t fileAlignment = headers.fileAlignment;
    const uint64_t sectionAlignment = headers.sectionAlignment;
    ExecutableLayout layout;

    // The headers, with a section table that has room for the resources.
    const size_t count = image.readOnlyData + 2 + (image.relocations ? 1 : 0);
    layout.headersSize = static_cast<uint32_t>(
        alignUp(headers.sectionTableOffset + count * coff::sectionHeaderSize, fileAlignment));
    if (layout.headersSize > headers.sections.front().virtualAddress) {
        throw std::logic_error("the bootstrap image has no room for another section header");
    }

    // Each section's raw data follows the one before it in the file.
    uint64_t offset = layout.headersSize;
    auto place = [&](PeSection section, uint64_t rawSize) {
        section.rawOffset = rawSize != 0 ? static_cast<uint32_t>(offset) : 0;
        section.rawSize = static_cast<uint32_t>(rawSize);
        offset += rawSize;
        layout.sections.push_back(section);
        return layout.sections.size() - 1;
    };
    // The code and the data the code refers to keep their addresses.
    for (size_t i = 0; i < image.readOnlyData; ++i) {
        place(headers.sections[i], headers.sections[i].rawSize);
    }
    // The read-only data starts on a page in the file as well as in memory,
    // whatever the size of the code before it: a loader may then map the
    // attached data straight from the file, where it would otherwise read
    // the whole section in at every start (Wine does). The padding is zeros
    // at the end of the section before, whose raw data may run to the end of
    // its last page without changing what is loaded, so that it stays inside
    // a section, which a signature's hash covers; without that room it is a
    // gap between the two.
    const uint64_t padding = alignUp(offset, sectionAlignment) - offset;
    if (padding != 0) {
        auto before = std::find_if(layout.sections.rbegin(), layout.sections.rend(),
                                   [](const PeSection& section) { return section.rawSize != 0; });
        if (before != layout.sections.rend() &&
            before->rawSize + padding <= alignUp(before->virtualSize, sectionAlignment)) {
            before->rawSize += static_cast<uint32_t>(padding);
        }
        offset += padding;
    }
    // The read-only data grows by the attached data at its end.
    PeSection readOnly = headers.sections[image.readOnlyData];
    const uint64_t readOnlySize =
        (image.attachedDataAddress - readOnly.virtualAddress) + attachedLength;
    if (readOnly.virtualAddress + readOnlySize >= imageLimit) {
        throw tooLarge();
    }
    readOnly.virtualSize = static_cast<uint32_t>(readOnlySize);
    layout.attachedDataOffset = offset + (image.attachedDataAddress - readOnly.virtualAddress);
    layout.readOnlyData = place(readOnly, alignUp(readOnlySize, fileAlignment));
    uint64_t address = alignUp(readOnly.virtualAddress + readOnlySize, sectionAlignment);
    // Then the resources, then the relocations, each on the next page.
    PeSection resources;
    resources.name = ".rsrc";
    resources.virtualAddress = static_cast<uint32_t>(address);
    resources.virtualSize = resourceSize;
    resources.characteristics = resourceCharacteristics;
    layout.resources = place(resources, alignUp(resourceSize, fileAlignment));
    address = alignUp(address + resourceSize, sectionAlignment);
    if (image.relocations) {
        PeSection relocations = headers.sections[*image.relocations];
        relocations.virtualAddress = static_cast<uint32_t>(address);
        layout.relocations = place(relocations, relocations.rawSize);
        address = alignUp(address + relocations.virtualSize, sectionAlignment);
    }
    if (address >= imageLimit || offset >= imageLimit) {
        throw tooLarge();
    }
    layout.imageSize = static_cast<uint32_t>(address);
    layout.fileSize = offset;
    // As the linker counts it: the file's bytes of every section flagged as
    // holding initialised data (the code's too, when it says so).
    for (const PeSection& section : layout.sections) {
        if (section.characteristics & coff::initialisedData) {
            layout.initialisedDataSize += section.rawSize;
        }
    }
    return layout;
}

void PeChecksum::add(uint64_t offset, const unsigned char* data, size_t size) {
    size_t i = 0;
    uint64_t sum = 0;
    // A byte at an odd offset is the high half of its word.
    if (size > 0 && offset % 2 != 0) {
        sum += uint64_t{data[0]} << 8;
        i = 1;
    }
    for (; i + 1 < size; i += 2) {
        sum += static_cast<uint32_t>(data[i] | data[i + 1] << 8);
    }
    if (i < size) {
        sum += data[i];
    }
    sum_ += sum;
}

uint32_t PeChecksum::value(uint64_t fileSize) const {
    // Folding the carries back in after every word, as the format's sum
    // does, leaves the sum modulo 0xFFFF, written 0xFFFF rather than 0
    // unless every word was zero; the order of the words does not matter.
    const uint64_t folded = sum_ == 0 ? 0 : (sum_ - 1) % 0xFFFF + 1;
    return static_cast<uint32_t>(folded + fileSize);
}

ExecutableWriter::ExecutableWriter(FILE* stream, std::filesystem::path path,
                                   const BootstrapImage& image)
    : stream_(stream), path_(std::move(path)), image_(image),
      // Where the attached data goes depends on neither its length nor the
      // resources: it is known before either.
      attachedDataOffset_(layOutExecutable(image, 0, 0).attachedDataOffset) {
    seek(attachedDataOffset_);
}

void ExecutableWriter::seek(uint64_t offset) {
    if (!seekStream(stream_, offset)) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(path_)) + ": " +
                        systemErrorText(errno));
    }
}

void ExecutableWriter::write(const void* data, size_t size) {
    if (image_.attachedDataAddress + attachedLength_ + size >= imageLimit) {
        throw tooLarge();
    }
    if (std::fwrite(data, 1, size, stream_) != size) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(path_)) + ": " +
                        systemErrorText(errno));
    }
    checksum_.add(attachedDataOffset_ + attachedLength_, static_cast<const unsigned char*>(data),
                  size);
    attachedLength_ += size;
}

void ExecutableWriter::writeAt(uint64_t offset, const std::vector<unsigned char>& bytes) {
    seek(offset);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
        throw PackError("cannot write " + quoteForMessage(pathToUtf8(path_)) + ": " +
                        systemErrorText(errno));
    }
}

void ExecutableWriter::finish(const std::vector<ConstantValue>& constants,
                              const ResourceSection& resources) {
    const ExecutableLayout layout = layOutExecutable(image_, attachedLength_, resources.size());
    if (layout.attachedDataOffset != attachedDataOffset_) {
        throw std::logic_error("the attached data moved when the image was laid out");
    }
    const PeImage& headers = image_.headers;
    const PeSection& readOnly = layout.sections[layout.readOnlyData];
    const PeSection& templateReadOnly = headers.sections[image_.readOnlyData];

    // Everything before the attached data: the headers of the template with
    // the new section table and sizes, then its sections' bytes.
    std::vector<unsigned char> head(attachedDataOffset_, 0);
    std::copy(image_.bytes, image_.bytes + headers.sectionTableOffset, head.begin());
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        storeSectionHeader(&head[headers.sectionTableOffset + i * coff::sectionHeaderSize],
                           layout.sections[i]);
    }
    const size_t fileHeader = headers.optionalHeaderOffset - coff::fileHeaderSize;
    const size_t optional = headers.optionalHeaderOffset;
    store(head, fileHeader + coff::sectionCountField, layout.sections.size(), 2);
    store(head, optional + pe::initialisedDataSizeField, layout.initialisedDataSize, 4);
    store(head, optional + pe::imageSizeField, layout.imageSize, 4);
    store(head, optional + pe::headersSizeField, layout.headersSize, 4);
    store(head, optional + pe::checksumField, 0, 4); // summed as zero, set last
    const size_t directories = optional + pe::pe32PlusShape.directoriesOffset;
    const PeSection& resourceSection = layout.sections[layout.resources];
    store(head, directories + pe::resourceDirectory * pe::directoryEntrySize,
          resourceSection.virtualAddress, 4);
    store(head, directories + pe::resourceDirectory * pe::directoryEntrySize + 4, resources.size(),
          4);
    if (layout.relocations) {
        store(head, directories + pe::baseRelocationDirectory * pe::directoryEntrySize,
              layout.sections[*layout.relocations].virtualAddress, 4);
    }
    for (size_t i = 0; i < image_.readOnlyData; ++i) {
        const PeSection& from = headers.sections[i];
        std::copy_n(image_.bytes + from.rawOffset, from.rawSize,
                    head.begin() + layout.sections[i].rawOffset);
    }
    const uint32_t prefix = image_.attachedDataAddress - templateReadOnly.virtualAddress;
    std::copy_n(image_.bytes + templateReadOnly.rawOffset, prefix,
                head.begin() + readOnly.rawOffset);

    // The constants, each slot written whole.
    std::vector<bool> used(constants.size(), false);
    for (const ConstantSlot& slot : image_.slots) {
        auto value = std::find_if(constants.begin(), constants.end(),
                                  [&](const ConstantValue& c) { return c.name == slot.name; });
        if (value == constants.end()) {
            throw std::logic_error("the bootstrap image has a slot for " + slot.name +
                                   ", which onefile-pack does not fill");
        }
        if (value->bytes.size() > slot.size) {
            throw PackError("the build constant " + slot.name + " takes " +
                            std::to_string(value->bytes.size()) + " bytes, more than the " +
                            std::to_string(slot.size) + " the bootstrap has for it");
        }
        used[static_cast<size_t>(value - constants.begin())] = true;
        auto at = head.begin() + readOnly.rawOffset + (slot.address - readOnly.virtualAddress);
        std::fill_n(at, slot.size, 0);
        std::copy(value->bytes.begin(), value->bytes.end(), at);
    }
    for (size_t i = 0; i < constants.size(); ++i) {
        if (!used[i]) {
            throw std::logic_error("the bootstrap image has no slot for " + constants[i].name);
        }
    }
    writeAt(0, head);
    checksum_.add(0, head.data(), head.size());

    // After it: the rest of the read-only data's last page, the resources and
    // the relocations.
    const uint64_t attachedEnd = attachedDataOffset_ + attachedLength_;
    std::vector<unsigned char> tail(layout.fileSize - attachedEnd, 0);
    if (resources.size() != 0) {
        std::vector<unsigned char> bytes = resources.bytes(resourceSection.virtualAddress);
        std::copy(bytes.begin(), bytes.end(),
                  tail.begin() + (resourceSection.rawOffset - attachedEnd));
    }
    if (layout.relocations) {
        const PeSection& from = headers.sections[*image_.relocations];
        std::copy_n(image_.bytes + from.rawOffset, from.rawSize,
                    tail.begin() + (layout.sections[*layout.relocations].rawOffset - attachedEnd));
    }
    writeAt(attachedEnd, tail);
    checksum_.add(attachedEnd, tail.data(), tail.size());

    if (headers.checksum != 0) {
        std::vector<unsigned char> field;
        put32(field, checksum_.value(layout.fileSize));
        writeAt(optional + pe::checksumField, field);
    }
}

// Writes a packed executable from a bootstrap image, without a linker: the
// image's sections as they are, the build's constants in their slots, the
// attached data at the end of the read-only data (which starts on a page in
// the file, so that it can be mapped from there), a resource section after
// it, the relocations last, and every header field that depends on sizes or
// places made right. Laid out first, then written. Only stdio and byte
// arithmetic, so that it works wherever the packer is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "packer/byte_sink.h"
#include "packer/image/bootstrap_image.h"
#include "packer/image/constant_slots.h"
#include "packer/pe/resource_section.h"

// Where everything of an executable lies.
struct ExecutableLayout {
    uint32_t headersSize = 0;
    std::vector<PeSection> sections; // the section table, in address order
    size_t readOnlyData = 0;         // indices into `sections`
    size_t resources = 0;
    std::optional<size_t> relocations;
    uint64_t attachedDataOffset = 0; // in the file
    uint32_t imageSize = 0;
    uint32_t initialisedDataSize = 0;
    uint64_t fileSize = 0;
};

// The layout of an executable made from `image` with `attachedLength` bytes
// of attached data and a resource section of `resourceSize` bytes. Throws
// PackError when Windows would not load an image that large.
ExecutableLayout layOutExecutable(const BootstrapImage& image, uint64_t attachedLength,
                                  uint32_t resourceSize);

// The image checksum of the optional header: a 16-bit one's-complement sum of
// the file's little-endian 16-bit words, the checksum field counted as zero,
// plus the file's length. Pieces may be added in any order.
class PeChecksum {
  public:
    // Adds the bytes that lie at `offset` in the file.
    void add(uint64_t offset, const unsigned char* data, size_t size);
    // The checksum once every byte of a file of `fileSize` bytes but the
    // zeros has been added.
    uint32_t value(uint64_t fileSize) const;

  private:
    uint64_t sum_ = 0; // of the words, not yet folded
};

// The executable's writer: write() takes the attached data as it is made,
// straight into its place in the file; finish() writes everything around it.
class ExecutableWriter : public ByteSink {
  public:
    // Writes to `stream`, a new file named `path` in messages.
    ExecutableWriter(FILE* stream, std::filesystem::path path, const BootstrapImage& image);

    void write(const void* data, size_t size) override;

    // The bytes of attached data written so far.
    uint64_t attachedLength() const { return attachedLength_; }

    // Lays out the executable for the attached data written and writes the
    // rest: headers, sections, `constants` in their slots, `resources`,
    // relocations, checksum. Every slot of the image takes a value; the
    // stream stays open.
    void finish(const std::vector<ConstantValue>& constants, const ResourceSection& resources);

  private:
    void writeAt(uint64_t offset, const std::vector<unsigned char>& bytes);
    void seek(uint64_t offset);

    FILE* stream_;
    std::filesystem::path path_;
    const BootstrapImage& image_;
    uint64_t attachedDataOffset_;
    uint64_t attachedLength_ = 0;
    PeChecksum checksum_;
};

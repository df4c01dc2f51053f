// The object file that carries the build-time constants into the bootstrap:
// a COFF object for x86-64 with one read-only data section that defines the
// attached data, its length, the product strings and a target-directory
// spec other than the default, under the names the bootstrap links against.
// The attached data is streamed into the section; sizes are patched in at
// the end.
//
// The section, which the linker places whole in the image's .rdata:
//   0       uint64 length of the attached data
//   8       company, product and version, UTF-16 with a zero unit after each
//           then the target-directory spec the same way, when not the default
//           zero bytes up to a multiple of 16
//           the attached data
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "packer/byte_sink.h"
#include "packer/image/build_constants.h"

class ConstantsObjectWriter : public ByteSink {
  public:
    // Writes the headers and the strings to `stream` (positioned at 0);
    // write() then appends the attached data.
    ConstantsObjectWriter(FILE* stream, std::filesystem::path path,
                          const BuildConstants& constants);

    void write(const void* data, size_t size) override;

    // Writes the symbol table and patches the sizes; the stream stays open.
    void finish();

  private:
    void writeAt(long offset, const void* data, size_t size);
    // The spec's symbol comes last and only with a spec of its own; without
    // it the bootstrap library's default serves.
    uint32_t symbolCount() const { return ownSpec_ ? 6 : 5; }

    FILE* stream_;
    std::filesystem::path path_;
    uint32_t dataOffset_ = 0;        // attached data, from the section's start
    uint32_t stringOffsets_[4] = {}; // company, product, version, spec
    bool ownSpec_ = false;           // the spec is not the default
    uint64_t attachedLength_ = 0;
};

// The constants of an executable that the packer made, read back from the
// section above, which ends where its attached data begins.
struct ConstantsSection {
    std::u16string companyName;
    std::u16string productName;
    std::u16string versionString;
    std::optional<std::u16string> targetDirectorySpec; // when not the default
};

// The section before the attached data at `attachedOffset` (of
// `attachedLength` bytes) in the image `bytes`, or nothing when it is not
// there.
std::optional<ConstantsSection> readConstantsSection(const unsigned char* bytes, size_t size,
                                                     size_t attachedOffset,
                                                     uint64_t attachedLength);

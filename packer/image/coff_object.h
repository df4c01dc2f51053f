// The object file that carries the build-time constants into the bootstrap:
// a COFF object for x86-64 with one read-only data section that defines the
// attached data, its length and the product strings under the names the
// bootstrap links against. The attached data is streamed into the section;
// sizes are patched in at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

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

    FILE* stream_;
    std::filesystem::path path_;
    uint32_t dataOffset_ = 0;        // attached data, from the section's start
    uint32_t stringOffsets_[3] = {}; // company, product, version
    uint64_t attachedLength_ = 0;
};

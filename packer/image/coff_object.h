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
//   in cached mode, then (for the bootstrap and for info):
//           zero bytes up to a multiple of 8
//           8 bytes "OFCACHE1"
//           uint64 records, uint64 bytes of their contents
//           the id (16 hexadecimal digits) and the entry library's archive
//           path, UTF-16 with a zero unit after each
//   when the build has options, then:
//           zero bytes up to a multiple of 8
//           8 bytes "OFOPTNS1"
//           uint32 the options' bits
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "packer/byte_sink.h"
#include "packer/image/build_constants.h"

// What a cached build's bootstrap checks its directory against, besides its
// id, which the writer takes from a hash of the attached data.
struct CacheFacts {
    uint64_t records = 0;
    uint64_t contentBytes = 0; // of all records' contents
    std::u16string entryName;  // the first record's archive path
};

class ConstantsObjectWriter : public ByteSink {
  public:
    // Writes the headers and the strings to `stream` (positioned at 0);
    // write() then appends the attached data. `cache` is null for a per-run
    // build, whose object stays exactly what it was before cached mode.
    ConstantsObjectWriter(FILE* stream, std::filesystem::path path, const BuildConstants& constants,
                          const CacheFacts* cache = nullptr);
    ~ConstantsObjectWriter() override;

    void write(const void* data, size_t size) override;

    // Writes the cache block (in cached mode), the symbol table and patches
    // the sizes; the stream stays open.
    void finish();

    // A cached build's id, once finish() has run.
    const std::u16string& cacheId() const { return cacheId_; }

  private:
    void writeAt(long offset, const void* data, size_t size);

    FILE* stream_;
    std::filesystem::path path_;
    uint32_t dataOffset_ = 0;        // attached data, from the section's start
    uint32_t stringOffsets_[4] = {}; // company, product, version, spec
    bool ownSpec_ = false;           // the spec is not the library's default
    uint64_t attachedLength_ = 0;
    std::optional<CacheFacts> cache_;
    uint32_t options_ = 0;
    void* hashState_ = nullptr; // the attached data's hash, in cached mode
    std::u16string cacheId_;
};

// The constants of an executable that the packer made, read back from the
// section above, which ends where its attached data begins.
struct ConstantsSection {
    std::u16string companyName;
    std::u16string productName;
    std::u16string versionString;
    std::optional<std::u16string> targetDirectorySpec; // when not the library's default
    struct Cache {
        std::u16string id;
        uint64_t records = 0;
        uint64_t contentBytes = 0;
        std::u16string entryName;
    };
    std::optional<Cache> cache; // a cached build's block after the attached data
    uint32_t options = 0;       // the options' block after that, 0 without one
};

// The section before the attached data at `attachedOffset` (of
// `attachedLength` bytes) in the image `bytes`, or nothing when it is not
// there.
std::optional<ConstantsSection> readConstantsSection(const unsigned char* bytes, size_t size,
                                                     size_t attachedOffset,
                                                     uint64_t attachedLength);

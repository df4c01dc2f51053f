// The build constants as the bootstrap reads them: each in its slot in the
// executable's read-only data, listed by the table before the attached data
// (formats/archive_layout.h). Here are the bytes a build puts into the slots, the id
// of a cached build, and the constants read back from an executable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packer/byte_sink.h"
#include "packer/image/build_constants.h"
#include "packer/pe/pe_file.h"

struct ConstantSlot {
    std::string name;     // the symbol the bootstrap reads
    uint32_t address = 0; // the slot's relative virtual address
    uint32_t size = 0;    // its bytes
};

// The table of the slots that ends at the relative virtual address `end` of
// the image `bytes`, whose headers are `image`, in the table's order; its
// last slot is the attached data's, of size 0. Nothing, with the reason in
// `problem`, when no sound table ends there.
std::optional<std::vector<ConstantSlot>> readConstantTable(const PeImage& image,
                                                           const unsigned char* bytes, size_t size,
                                                           uint32_t end, std::string* problem);

// What a cached build's bootstrap checks its directory against, besides its
// id, which is a hash of the product's names and the attached data.
struct CacheFacts {
    uint64_t records = 0;
    uint64_t contentBytes = 0; // of all records' contents
    std::u16string entryName;  // the first record's archive path
};

// The bytes of one constant's slot, before the zero bytes that fill it.
struct ConstantValue {
    std::string name; // the symbol the bootstrap reads
    std::vector<unsigned char> bytes;
};

// Every constant of a build: the length of its attached data, the product
// texts, the target directory's spec, the options, and the cache's id and
// facts (empty and zero for a per-run build, whose `cache` is null).
std::vector<ConstantValue> constantValues(const BuildConstants& constants, uint64_t attachedLength,
                                          const CacheFacts* cache, const std::u16string& cacheId);

// Passes the attached data on to `next` and takes the id of a cached build
// from it on the way: 16 hexadecimal digits of a 64-bit hash of the company's
// and the product's names and the data, so that a product's equal data gives
// one directory and other data another, and two products never share one.
class CacheIdSink : public ByteSink {
  public:
    CacheIdSink(ByteSink& next, const std::u16string& company, const std::u16string& product);
    ~CacheIdSink() override;
    CacheIdSink(const CacheIdSink&) = delete;
    CacheIdSink& operator=(const CacheIdSink&) = delete;

    void write(const void* data, size_t size) override;
    // The id of what was written so far.
    std::u16string id() const;

  private:
    ByteSink& next_;
    void* state_;
};

// The constants of an executable that the packer made, read back.
struct ConstantsSection {
    std::u16string companyName;
    std::u16string productName;
    std::u16string versionString;
    std::optional<std::u16string> targetDirectorySpec; // without one, the library's default
    struct Cache {
        std::u16string id;
        uint64_t records = 0;
        uint64_t contentBytes = 0;
        std::u16string entryName;
    };
    std::optional<Cache> cache; // a cached build's id and facts
    uint32_t options = 0;       // the options' bits
};

// The constants of the executable `bytes`, whose attached data (of
// `attachedLength` bytes) lies at `attachedOffset`, or nothing when the table
// of the slots does not end there, a slot is damaged or the table belongs to
// other data.
std::optional<ConstantsSection> readConstantsSection(const unsigned char* bytes, size_t size,
                                                     size_t attachedOffset,
                                                     uint64_t attachedLength);

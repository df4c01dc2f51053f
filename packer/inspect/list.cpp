#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/inspect/json_output.h"
#include "packer/error.h"
#include "packer/text.h"

namespace {

class ListingVisitor : public RecordVisitor {
  public:
    void record(const std::u16string& path, uint64_t size) override {
        std::cout << recordListingLine(size, path);
    }
    void content(const unsigned char*, size_t) override {}
};

// The JSON listing is printed whole once the walk is done; the content is
// not needed for it.
class CollectingVisitor : public RecordVisitor {
  public:
    void record(const std::u16string& path, uint64_t size) override {
        records.push_back({{"path", utf16ToUtf8(path)}, {"size", size}});
    }
    void content(const unsigned char*, size_t) override {}
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
};

RecordStreamEnd walkRecords(const InspectedFile& inspected, RecordVisitor& visitor) {
    try {
        return readRecords(inspected.data(), visitor);
    } catch (const PackError& error) {
        // The lines listed so far go out before the message.
        std::cout.flush();
        throw PackError(inspected.quotedName() + ": " + error.what());
    }
}

} // namespace

std::string recordListingLine(uint64_t size, std::u16string_view path) {
    return std::to_string(size) + ' ' + utf16ToUtf8(path) + '\n';
}

void runListCommand(const std::filesystem::path& file, bool verbose, bool json) {
    InspectedFile inspected(file);
    const AttachedData& data = inspected.data();
    const FrameInfo& frame = inspected.frame();
    RecordStreamEnd end;
    if (json) {
        CollectingVisitor visitor;
        end = walkRecords(inspected, visitor);
        printJson({{"file", file.string()}, {"records", visitor.records}});
    } else {
        // Lines appear as the records are decoded.
        ListingVisitor visitor;
        end = walkRecords(inspected, visitor);
        std::cout.flush();
    }
    if (verbose) {
        std::fprintf(stderr,
                     "onefile-pack: %llu records, record stream %llu bytes; attached data at "
                     "offset %zu, %zu bytes; frame %zu bytes, window %llu bytes%s, checksum %s, "
                     "blocks: %zu raw, %zu RLE, %zu compressed\n",
                     static_cast<unsigned long long>(end.records),
                     static_cast<unsigned long long>(end.contentSize), data.offset, data.length,
                     data.frameSize, static_cast<unsigned long long>(frame.windowSize),
                     frame.singleSegment ? " (single segment)" : "", frame.checksum ? "yes" : "no",
                     frame.rawBlocks, frame.rleBlocks, frame.compressedBlocks);
    }
    if (end.bytesAfterTerminator > 0) {
        std::fprintf(stderr, "onefile-pack: note: %llu decoded bytes after the terminator\n",
                     static_cast<unsigned long long>(end.bytesAfterTerminator));
    }
}

#include <iostream>
#include <nlohmann/json.hpp>

#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/inspect/json_output.h"
#include "packer/error.h"
#include "packer/platform/console.h"
#include "packer/platform/files.h"
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
        printJson({{"file", pathToUtf8(file)}, {"records", visitor.records}});
    } else {
        // Lines appear as the records are decoded.
        ListingVisitor visitor;
        end = walkRecords(inspected, visitor);
        std::cout.flush();
    }
    if (verbose) {
        const auto number = [](uint64_t value) { return std::to_string(value); };
        printMessage(MessageKind::plain,
                     number(end.records) + " records, record stream " + number(end.contentSize) +
                         " bytes; attached data at offset " + number(data.offset) + ", " +
                         number(data.length) + " bytes; frame " + number(data.frameSize) +
                         " bytes, window " + number(frame.windowSize) + " bytes" +
                         (frame.singleSegment ? " (single segment)" : "") + ", checksum " +
                         (frame.checksum ? "yes" : "no") + ", blocks: " + number(frame.rawBlocks) +
                         " raw, " + number(frame.rleBlocks) + " RLE, " +
                         number(frame.compressedBlocks) + " compressed");
    }
    if (end.bytesAfterTerminator > 0) {
        printMessage(MessageKind::note, std::to_string(end.bytesAfterTerminator) +
                                            " decoded bytes after the terminator");
    }
}

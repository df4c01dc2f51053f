// The host side's reader of attached data, in an attached-data file or in a
// packed executable: locates it, describes its frame and walks its records.
// It decodes with the same limits as the bootstrap (window log 27 at most).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "packer/platform/files.h" // MappedFile, which the readers read through

// Attached data found in a file.
struct AttachedData {
    const unsigned char* start = nullptr; // the magic
    size_t length = 0;                    // 13 + F
    size_t offset = 0;                    // of the magic in the file
    size_t frameSize = 0;                 // F
    const unsigned char* frame() const { return start + 3; }
};

// Checks the layout at `bytes`: magic, one whole frame, the two zero bytes
// and the trailer length 5 + F. Returns the attached data, or nothing with
// the reason in `problem`.
std::optional<AttachedData> checkAttachedData(const unsigned char* bytes, size_t size,
                                              std::string* problem);

// The attached data of a file: at its start (an attached-data file), or
// else the first place in it where a valid one lies (a packed executable).
// Throws PackError naming `name` when there is none.
AttachedData locateAttachedData(const unsigned char* bytes, size_t size, const std::string& name);
// The same, counting in `blockHeadersRead` the frames' block headers that
// the search read on its way, which tests hold to a bound set by the size.
AttachedData locateAttachedData(const unsigned char* bytes, size_t size, const std::string& name,
                                uint64_t* blockHeadersRead);

struct FrameInfo {
    bool singleSegment = false;          // no window descriptor: the window is the content size
    unsigned windowLog = 0;              // of the window descriptor; 0 when single segment
    uint64_t windowSize = 0;             // what a decoder must keep
    bool checksum = false;               // content checksum present
    std::optional<uint64_t> contentSize; // recorded content size
    unsigned dictionaryId = 0;
    size_t rawBlocks = 0, rleBlocks = 0, compressedBlocks = 0;
    size_t headerSize = 0; // frame header bytes
};

// Parses the frame header and walks the block headers of one frame of
// `size` bytes. Throws PackError when they are malformed.
FrameInfo inspectFrame(const unsigned char* frame, size_t size);

// Receives the records of a record stream as they are decoded.
class RecordVisitor {
  public:
    virtual ~RecordVisitor() = default;
    virtual void record(const std::u16string& path, uint64_t size) = 0;
    virtual void content(const unsigned char* data, size_t size) = 0;
};

struct RecordStreamEnd {
    uint64_t records = 0;
    uint64_t contentSize = 0;          // bytes of the decoded stream up to and with the terminator
    uint64_t bytesAfterTerminator = 0; // decoded but never read by the bootstrap
};

// Decodes the frame of `data` and hands every record to `visitor`. Throws
// PackError when the frame cannot be decoded (a window above 2^27, corrupt
// data, a checksum mismatch), a path is empty or longer than 1023 code units
// where a record begins, or the stream ends without its terminator.
RecordStreamEnd readRecords(const AttachedData& data, RecordVisitor& visitor);

// Takes attached data apart with libzstd alone, independently of the
// packer's own reader, so tests can check what the packer wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedRecord {
    std::u16string path;
    std::string content;
};

struct DecodedArchive {
    std::string magic;                  // the first three bytes
    uint64_t frameSize = 0;             // F
    uint64_t trailerLength = 0;         // the last eight bytes, little-endian
    std::string trailerPad;             // the two bytes after the frame
    std::string frameHeader;            // the frame's first bytes
    std::vector<DecodedRecord> records; // in stream order
    bool terminated = false;            // the empty path came
    size_t bytesAfterTerminator = 0;
};

// Decodes the attached data in `bytes`; throws std::runtime_error when it is
// not magic, one frame and a trailer.
DecodedArchive decodeAttachedData(const std::string& bytes);

// Attached data for a record stream given whole (terminator included or
// not), as a writer other than the packer might make it. Without
// `contentSize` the frame does not record it, and keeps a window smaller
// than a large stream, as a writer that streams makes it.
std::string encodeAttachedData(const std::string& recordStream, bool checksum = true,
                               bool contentSize = true);

// Builds attached data (magic, zstd frame, trailer) in memory for Windows
// tests, following formats/archive_layout.h, with knobs for damaged variants.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct TestRecord {
    std::wstring name;   // archive path, "\" separated
    std::string content; // file bytes
};

struct ArchiveOptions {
    bool terminator = true;           // end the record stream with the empty name
    bool checksum = true;             // zstd content checksum
    int level = 3;                    // zstd level
    int windowLog = 0;                // 0: zstd's choice
    std::string extraAfterTerminator; // bytes inside the frame after the terminator
    bool trailer = true;              // the two zero bytes and the length after the frame
};

// The decompressed record stream for `records`.
std::string recordStream(const std::vector<TestRecord>& records, bool terminator = true);

// The attached data for `records`.
std::string buildAttachedData(const std::vector<TestRecord>& records,
                              const ArchiveOptions& options = {});

// Wraps an already compressed frame in magic and trailer.
std::string wrapFrame(const std::string& frame, bool trailer = true);

// Compresses `content` into one zstd frame.
std::string compressFrame(const std::string& content, const ArchiveOptions& options);

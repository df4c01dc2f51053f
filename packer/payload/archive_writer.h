// Writes the attached data: the magic, one zstd frame holding the record
// stream, and the trailer. The record stream is made while compressing, a
// piece of a file at a time, so the payload never has to fit in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "packer/byte_sink.h"
#include "packer/payload/input_tree.h"

struct CompressionSettings {
    int level = 19;         // zstd compression level
    unsigned threads = 0;   // compression threads; 0: one per core
    unsigned windowLog = 0; // the frame's window; 0: windowLogFor the content
};

struct AttachedDataSummary {
    uint64_t contentSize = 0; // bytes of the record stream
    uint64_t frameSize = 0;   // F
    uint64_t totalSize = 0;   // 13 + F
    unsigned windowLog = 0;   // asked of the compressor
    unsigned threads = 0;     // worker threads used
};

// Called now and then with the bytes of record stream that the compressor
// has compressed so far (not merely taken in), and at the end with `total`.
using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

// The window log for a record stream of `contentSize` bytes: the smallest
// one of at least 10 whose window covers the content, at most 27 (the
// bootstrap's decoder refuses larger windows).
unsigned windowLogFor(uint64_t contentSize);

// Writes magic, frame and trailer for `files` to `sink`. Throws PackError
// naming the file (as shown) when it cannot be read or has changed size
// since it was scanned.
AttachedDataSummary writeAttachedData(const std::vector<InputFile>& files,
                                      const CompressionSettings& settings, ByteSink& sink,
                                      const ProgressCallback& progress = {});

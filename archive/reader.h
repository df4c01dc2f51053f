// The one streaming reader over the attached archive: it checks the magic,
// owns the zstd decoder and a 128 KiB output buffer, and hands out decoded
// bytes strictly in order, exactly as many as asked for.
#pragma once

#include <stdint.h>
#include <zstd.h>

#include "formats/archive_layout.h"

struct ArchiveReader {
    const unsigned char*
        attachedDataStart;       // first byte of the attached data; past the magic once opened
    uint64_t attachedDataLength; // magic, frame and trailer together
    ZSTD_DStream* decoder;       // null until opened
    ZSTD_inBuffer input;         // everything after the magic, offered at once
    // During a decoding call: capacity and bytes written. Between calls: size
    // is the fill count and pos the next byte to hand out.
    ZSTD_outBuffer output;
};

// Each road of a run owns its reader and hands it to what reads the records.

// Points `reader` at the attached data (magic, frame and trailer, `length`
// bytes in all), empty otherwise; nothing is read yet.
void initArchiveReader(ArchiveReader& reader, const unsigned char* attachedData, uint64_t length);

// Checks the magic, then allocates the buffer and the decoder; failures are fatal.
void openArchiveReader(ArchiveReader& reader);

// Copies the next `count` decoded bytes to `destination`; never returns short.
void readArchiveBytes(ArchiveReader& reader, void* destination, uint64_t count);

// Releases the decoder and the buffer (the parent, after the last record).
void closeArchiveReader(ArchiveReader& reader);

// The record stream's size in bytes as the frame's header in the attached
// data records it, read without decoding anything; 0 when the header does
// not tell (or there is no frame after the magic).
uint64_t recordStreamSize(const unsigned char* attachedData, uint64_t length);

#include "archive/reader.h"

#include <stdlib.h>
#include <string.h>

#include "errors/errors.h"

void initArchiveReader(ArchiveReader& reader, const unsigned char* attachedData, uint64_t length) {
    reader = {};
    reader.attachedDataStart = attachedData;
    reader.attachedDataLength = length;
}

void openArchiveReader(ArchiveReader& reader) {
    // Byte by byte and before anything is allocated: foreign data costs nothing.
    for (size_t i = 0; i < attachedMagicSize; ++i) {
        if (reader.attachedDataStart[i] != attachedMagic[i]) {
            fatalError(messageMissingHeader);
        }
    }
    reader.attachedDataStart += attachedMagicSize;

    void* buffer = malloc(readerOutputBufferSize);
    if (buffer == nullptr) {
        fatalError(messageNoMemory);
    }
    reader.output.dst = buffer;
    reader.output.size = 0;
    reader.output.pos = 0;

    reader.decoder = ZSTD_createDStream();
    if (reader.decoder == nullptr) {
        fatalError(messageNoMemory);
    }

    // The whole frame and the trailer at once, straight from the read-only
    // data: the compressed bytes are never copied.
    reader.input.src = reader.attachedDataStart;
    reader.input.size = reader.attachedDataLength - attachedMagicSize;
    reader.input.pos = 0;
}

void readArchiveBytes(ArchiveReader& reader, void* destination, uint64_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    // Whether a refill of this call filled the whole buffer: then the decoder
    // may hold more output even when all input is consumed.
    bool refillFilledBuffer = false;
    while (count > 0) {
        size_t available = reader.output.size - reader.output.pos;
        if (available > 0) {
            size_t take = available < count ? available : static_cast<size_t>(count);
            memcpy(out, static_cast<unsigned char*>(reader.output.dst) + reader.output.pos, take);
            reader.output.pos += take;
            out += take;
            count -= take;
            continue;
        }
        if (reader.input.pos < reader.input.size || refillFilledBuffer) {
            reader.output.size = readerOutputBufferSize;
            reader.output.pos = 0;
            size_t result = ZSTD_decompressStream(reader.decoder, &reader.output, &reader.input);
            if (ZSTD_isError(result)) {
                fatalError(messageUndecodable);
            }
            refillFilledBuffer = reader.output.pos == readerOutputBufferSize;
            reader.output.size = reader.output.pos;
            reader.output.pos = 0;
            continue;
        }
        fatalError(messageUndecodable);
    }
}

void closeArchiveReader(ArchiveReader& reader) {
    ZSTD_freeDStream(reader.decoder);
    reader.decoder = nullptr;
    free(reader.output.dst);
    reader.output.dst = nullptr;
    reader.output.size = 0;
    reader.output.pos = 0;
}

uint64_t recordStreamSize(const unsigned char* attachedData, uint64_t length) {
    if (length <= attachedMagicSize) {
        return 0;
    }
    unsigned long long size =
        ZSTD_getFrameContentSize(attachedData + attachedMagicSize, length - attachedMagicSize);
    // Also ZSTD_CONTENTSIZE_UNKNOWN and ZSTD_CONTENTSIZE_ERROR, the largest values.
    return size >= ZSTD_CONTENTSIZE_ERROR ? 0 : size;
}

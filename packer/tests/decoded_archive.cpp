#include "packer/tests/decoded_archive.h"

#include <zstd.h>

#include <stdexcept>

DecodedArchive decodeAttachedData(const std::string& bytes) {
    DecodedArchive archive;
    if (bytes.size() < 13) {
        throw std::runtime_error("too short");
    }
    archive.magic = bytes.substr(0, 3);
    const char* frame = bytes.data() + 3;
    size_t frameSize = ZSTD_findFrameCompressedSize(frame, bytes.size() - 3);
    if (ZSTD_isError(frameSize)) {
        throw std::runtime_error("no frame after the magic");
    }
    archive.frameSize = frameSize;
    archive.frameHeader = std::string(frame, frameSize < 18 ? frameSize : 18);
    if (bytes.size() != 3 + frameSize + 10) {
        throw std::runtime_error("the frame is not followed by exactly ten bytes");
    }
    archive.trailerPad = bytes.substr(3 + frameSize, 2);
    for (int i = 7; i >= 0; --i) {
        archive.trailerLength =
            archive.trailerLength << 8 | static_cast<unsigned char>(bytes[bytes.size() - 8 + i]);
    }
    unsigned long long contentSize = ZSTD_getFrameContentSize(frame, frameSize);
    if (contentSize == ZSTD_CONTENTSIZE_UNKNOWN || contentSize == ZSTD_CONTENTSIZE_ERROR) {
        throw std::runtime_error("no content size in the frame");
    }
    std::string stream(contentSize, 0);
    size_t decoded = ZSTD_decompress(stream.data(), stream.size(), frame, frameSize);
    if (ZSTD_isError(decoded) || decoded != contentSize) {
        throw std::runtime_error("the frame does not decode");
    }
    size_t at = 0;
    auto unit = [&stream, &at]() -> char16_t {
        if (stream.size() - at < 2) {
            throw std::runtime_error("stream ends inside a path");
        }
        char16_t c = static_cast<char16_t>(static_cast<unsigned char>(stream[at]) |
                                           static_cast<unsigned char>(stream[at + 1]) << 8);
        at += 2;
        return c;
    };
    for (;;) {
        DecodedRecord record;
        for (char16_t c = unit(); c != 0; c = unit()) {
            record.path.push_back(c);
        }
        if (record.path.empty()) {
            archive.terminated = true;
            break;
        }
        if (stream.size() - at < 8) {
            throw std::runtime_error("stream ends inside a size");
        }
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) {
            size = size << 8 | static_cast<unsigned char>(stream[at + i]);
        }
        at += 8;
        if (stream.size() - at < size) {
            throw std::runtime_error("stream ends inside a content");
        }
        record.content = stream.substr(at, size);
        at += size;
        archive.records.push_back(std::move(record));
    }
    archive.bytesAfterTerminator = stream.size() - at;
    return archive;
}

std::string encodeAttachedData(const std::string& recordStream, bool checksum, bool contentSize) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, contentSize ? 1 : 0);
    std::string frame(ZSTD_compressBound(recordStream.size()), '\0');
    size_t size = ZSTD_compress2(context, frame.data(), frame.size(), recordStream.data(),
                                 recordStream.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size)) {
        throw std::runtime_error("cannot compress");
    }
    frame.resize(size);
    std::string out = "QJY" + frame + std::string(2, '\0');
    uint64_t length = 3 + frame.size() + 2;
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>(length >> (8 * i)));
    }
    return out;
}

#include "packer/payload/archive_file.h"

// For the frame header parser, which zstd counts as advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/text.h"

namespace {

const unsigned char frameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

struct DecoderDeleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The decoded record stream, handed out in exact amounts.
class DecodedStream {
  public:
    DecodedStream(const unsigned char* frame, size_t size)
        : decoder_(ZSTD_createDCtx()), input_{frame, size, 0}, buffer_(readerOutputBufferSize) {
        if (!decoder_) {
            throw PackError("zstd: cannot create a decompression context (out of memory)");
        }
    }

    // Up to `count` bytes; fewer only at the end of the frame.
    size_t read(unsigned char* out, size_t count) {
        size_t done = 0;
        while (done < count) {
            if (position_ == filled_) {
                if (!refill()) {
                    break;
                }
                continue;
            }
            size_t take = std::min(count - done, filled_ - position_);
            std::memcpy(out + done, buffer_.data() + position_, take);
            position_ += take;
            done += take;
        }
        total_ += done;
        return done;
    }

    uint64_t consumed() const { return total_; }

  private:
    bool refill() {
        while (!finished_) {
            ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
            size_t result = ZSTD_decompressStream(decoder_.get(), &output, &input_);
            if (ZSTD_isError(result)) {
                throw PackError(std::string("the frame cannot be decoded: ") +
                                ZSTD_getErrorName(result));
            }
            if (result == 0) {
                finished_ = true;
            } else if (output.pos == 0 && input_.pos == input_.size) {
                throw PackError("the frame is cut short");
            }
            filled_ = output.pos;
            position_ = 0;
            if (filled_ > 0) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder_;
    ZSTD_inBuffer input_;
    std::vector<unsigned char> buffer_;
    size_t filled_ = 0;
    size_t position_ = 0;
    bool finished_ = false;
    uint64_t total_ = 0;
};

// Where the blocks of frames end, by the place of their first block header,
// without following any chain of blocks far twice: an executable may hold
// the beginning of a frame at many places whose blocks all run into the same
// long chain, which following from each of them would read again and again.
// A chain leads on from each header in one way only, so every chain that
// has once been followed keeps where it ends at every `checkpointSpacing`th
// header, and a later one that runs into it stops at the next of them.
class BlockChains {
  public:
    BlockChains(const unsigned char* bytes, size_t size, uint64_t* headersRead)
        : bytes_(bytes), size_(size), headersRead_(headersRead) {}

    // Just past the last block of the chain whose first header is at `at`,
    // blocks sized as zstd sizes them; nothing when a header is reserved or
    // a block lies outside.
    std::optional<size_t> end(size_t at) {
        std::vector<size_t> checkpoints;
        size_t result = none;
        for (size_t header = at, count = 0;; ++count) {
            if (auto known = ends_.find(header); known != ends_.end()) {
                result = known->second;
                break;
            }
            if (count % checkpointSpacing == 0) {
                checkpoints.push_back(header);
            }
            if (size_ - header < blockHeaderSize) {
                break;
            }
            if (headersRead_) {
                ++*headersRead_;
            }
            const uint32_t block = static_cast<uint32_t>(loadLittleEndian(bytes_ + header, 3));
            const unsigned type = (block >> 1) & 3;
            const size_t stored = type == 1 ? 1 : block >> 3;
            if (type == 3 || stored > size_ - header - blockHeaderSize) {
                break;
            }
            const size_t next = header + blockHeaderSize + stored;
            if (block & 1) {
                result = next;
                break;
            }
            header = next;
        }
        for (size_t header : checkpoints) {
            ends_[header] = result;
        }
        return result == none ? std::nullopt : std::optional<size_t>(result);
    }

  private:
    static constexpr size_t none = SIZE_MAX;
    static constexpr size_t blockHeaderSize = 3;
    static constexpr size_t checkpointSpacing = 32;
    const unsigned char* bytes_;
    size_t size_;
    uint64_t* headersRead_;
    std::unordered_map<size_t, size_t> ends_; // at checkpoints
};

// Whether the frame after the magic at `at` ends where the trailer of
// attached data that begins at `at` follows it; what checkAttachedData
// takes always does.
bool endsBeforeItsTrailer(const unsigned char* bytes, size_t size, size_t at, BlockChains& chains) {
    const size_t frame = at + attachedMagicSize;
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, bytes + frame, size - frame) != 0) {
        return false;
    }
    std::optional<size_t> end = chains.end(frame + header.headerSize);
    const size_t checksumSize = header.checksumFlag ? 4 : 0;
    if (!end || size - *end < checksumSize + trailerPadSize + trailerLengthSize) {
        return false;
    }
    const size_t trailer = *end + checksumSize;
    return bytes[trailer] == 0 && bytes[trailer + 1] == 0 &&
           loadLittleEndian(bytes + trailer + trailerPadSize, trailerLengthSize) ==
               trailer + trailerPadSize - at;
}

} // namespace

std::optional<AttachedData> checkAttachedData(const unsigned char* bytes, size_t size,
                                              std::string* problem) {
    if (size < attachedOverheadSize || std::memcmp(bytes, attachedMagic, attachedMagicSize) != 0) {
        *problem = "it does not begin with the magic \"QJY\"";
        return std::nullopt;
    }
    size_t frameSize =
        ZSTD_findFrameCompressedSize(bytes + attachedMagicSize, size - attachedMagicSize);
    if (ZSTD_isError(frameSize)) {
        *problem = std::string("no whole zstd frame follows the magic (") +
                   ZSTD_getErrorName(frameSize) + ")";
        return std::nullopt;
    }
    size_t trailer = attachedMagicSize + frameSize;
    if (size - trailer < trailerPadSize + trailerLengthSize) {
        *problem = "the trailer after the frame is missing";
        return std::nullopt;
    }
    if (bytes[trailer] != 0 || bytes[trailer + 1] != 0) {
        *problem = "the two zero bytes after the frame are missing";
        return std::nullopt;
    }
    uint64_t length = loadLittleEndian(bytes + trailer + trailerPadSize, trailerLengthSize);
    if (length != trailer + trailerPadSize) {
        *problem = "the trailer length is " + std::to_string(length) +
                   ", not 5 + F = " + std::to_string(trailer + trailerPadSize);
        return std::nullopt;
    }
    AttachedData data;
    data.start = bytes;
    data.length = trailer + trailerPadSize + trailerLengthSize;
    data.frameSize = frameSize;
    return data;
}

AttachedData locateAttachedData(const unsigned char* bytes, size_t size, const std::string& name) {
    return locateAttachedData(bytes, size, name, nullptr);
}

AttachedData locateAttachedData(const unsigned char* bytes, size_t size, const std::string& name,
                                uint64_t* blockHeadersRead) {
    std::string problem;
    if (size >= attachedMagicSize && std::memcmp(bytes, attachedMagic, attachedMagicSize) == 0) {
        std::optional<AttachedData> data = checkAttachedData(bytes, size, &problem);
        if (!data) {
            throw PackError(quoteForMessage(name) + " holds no valid attached data: " + problem);
        }
        return *data;
    }
    // In an executable: the magic right before a frame's magic.
    const unsigned char pattern[7] = {attachedMagic[0], attachedMagic[1], attachedMagic[2],
                                      frameMagic[0],    frameMagic[1],    frameMagic[2],
                                      frameMagic[3]};
    const std::string_view haystack(reinterpret_cast<const char*>(bytes), size);
    const std::string_view needle(reinterpret_cast<const char*>(pattern), sizeof pattern);
    BlockChains chains(bytes, size, blockHeadersRead);
    for (size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + 1)) {
        if (!endsBeforeItsTrailer(bytes, size, at, chains)) {
            continue;
        }
        std::optional<AttachedData> data = checkAttachedData(bytes + at, size - at, &problem);
        if (data) {
            data->offset = at;
            return *data;
        }
    }
    throw PackError(quoteForMessage(name) + " holds no attached data");
}

FrameInfo inspectFrame(const unsigned char* frame, size_t size) {
    ZSTD_frameHeader header;
    size_t result = ZSTD_getFrameHeader(&header, frame, size);
    if (ZSTD_isError(result) || result != 0 || header.frameType != ZSTD_frame) {
        throw PackError("the frame header is not that of a zstd frame");
    }
    FrameInfo info;
    info.headerSize = header.headerSize;
    info.checksum = header.checksumFlag != 0;
    info.dictionaryId = header.dictID;
    info.windowSize = header.windowSize;
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) {
        info.contentSize = header.frameContentSize;
    }
    unsigned char descriptor = frame[4];
    info.singleSegment = (descriptor & 0x20) != 0;
    if (!info.singleSegment) {
        info.windowLog = 10 + (frame[5] >> 3);
    }
    size_t at = header.headerSize;
    for (;;) {
        if (size - at < 3) {
            throw PackError("the frame ends inside a block header");
        }
        uint32_t block = static_cast<uint32_t>(loadLittleEndian(frame + at, 3));
        at += 3;
        bool last = block & 1;
        unsigned type = (block >> 1) & 3;
        size_t blockSize = block >> 3;
        size_t stored = blockSize;
        switch (type) {
        case 0:
            ++info.rawBlocks;
            break;
        case 1:
            ++info.rleBlocks;
            stored = 1;
            break;
        case 2:
            ++info.compressedBlocks;
            break;
        default:
            throw PackError("the frame holds a block of the reserved type");
        }
        if (size - at < stored) {
            throw PackError("the frame ends inside a block");
        }
        at += stored;
        if (last) {
            break;
        }
    }
    if (info.checksum) {
        if (size - at < 4) {
            throw PackError("the frame ends before its checksum");
        }
        at += 4;
    }
    if (at != size) {
        throw PackError("the frame has " + std::to_string(size - at) + " bytes after its end");
    }
    return info;
}

RecordStreamEnd readRecords(const AttachedData& data, RecordVisitor& visitor) {
    DecodedStream stream(data.frame(), data.frameSize);
    RecordStreamEnd end;
    std::vector<unsigned char> piece(1 << 16);
    for (;;) {
        std::u16string path;
        for (;;) {
            unsigned char unit[2];
            if (stream.read(unit, 2) != 2) {
                throw PackError("the record stream ends without its terminator");
            }
            char16_t c = static_cast<char16_t>(load16(unit));
            if (c == 0) {
                break;
            }
            if (path.size() == recordNameMaxUnits) {
                throw PackError("record " + std::to_string(end.records + 1) +
                                " has a path longer than " + std::to_string(recordNameMaxUnits) +
                                " code units");
            }
            path.push_back(c);
        }
        if (path.empty()) {
            break;
        }
        unsigned char sizeField[recordSizeFieldSize];
        if (stream.read(sizeField, sizeof sizeField) != sizeof sizeField) {
            throw PackError("the record stream ends inside the size of " +
                            quoteForMessage(utf16ToUtf8(path)));
        }
        uint64_t size = loadLittleEndian(sizeField, sizeof sizeField);
        visitor.record(path, size);
        for (uint64_t left = size; left > 0;) {
            size_t want = left < piece.size() ? static_cast<size_t>(left) : piece.size();
            size_t got = stream.read(piece.data(), want);
            if (got == 0) {
                throw PackError("the record stream ends inside the content of " +
                                quoteForMessage(utf16ToUtf8(path)));
            }
            visitor.content(piece.data(), got);
            left -= got;
        }
        ++end.records;
    }
    end.contentSize = stream.consumed();
    while (size_t got = stream.read(piece.data(), piece.size())) {
        end.bytesAfterTerminator += got;
    }
    return end;
}

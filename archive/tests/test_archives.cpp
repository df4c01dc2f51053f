// Makes the inputs of the reader's tests with libzstd's full parameter set:
//   test_archives golden DIR   damaged and unusual attached data (committed
//                              under archive/tests/golden, see its README)
//   test_archives tree DIR     the tree that onefile-pack packs for the
//                              round trip: records over 128 KiB, empty
//                              records, data that gives raw, RLE and
//                              compressed blocks
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "archive/tests/test_data.h"

namespace fs = std::filesystem;

namespace {

void check(size_t result) {
    if (ZSTD_isError(result)) {
        throw std::runtime_error(ZSTD_getErrorName(result));
    }
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct FrameOptions {
    int windowLog = 0;       // 0: zstd's choice
    bool contentSize = true; // known up front, so zstd may shrink the window
    int level = 3;
};

// One frame with a content checksum. Without a content size the input is
// given in a first call and the frame ended in a second, so zstd cannot
// learn the size and keeps the window asked for.
std::string compress(const std::string& content, const FrameOptions& options) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level));
    check(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1));
    check(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, options.contentSize ? 1 : 0));
    if (options.windowLog) {
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.windowLog));
    }
    std::string frame(ZSTD_compressBound(content.size()) + 64, 0);
    ZSTD_outBuffer output = {frame.data(), frame.size(), 0};
    ZSTD_inBuffer input = {content.data(), content.size(), 0};
    if (options.contentSize) {
        check(ZSTD_CCtx_setPledgedSrcSize(context, content.size()));
    } else {
        check(ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue));
    }
    size_t left;
    do {
        left = ZSTD_compressStream2(context, &output, &input, ZSTD_e_end);
        check(left);
    } while (left != 0);
    ZSTD_freeCCtx(context);
    frame.resize(output.pos);
    return frame;
}

std::string trailer(size_t frameSize) {
    std::string bytes(2, '\0');
    uint64_t length = 3 + frameSize + 2;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<char>(length >> (8 * i)));
    }
    return bytes;
}

std::string attached(const std::string& frame) {
    return "QJY" + frame + trailer(frame.size());
}

// Offset of the first block's content, after the frame header and the
// block header; checks that the block has the wanted type.
size_t firstBlockContent(const std::string& frame, unsigned wantedType) {
    size_t header = ZSTD_frameHeaderSize(frame.data(), frame.size());
    check(header);
    unsigned block = static_cast<unsigned char>(frame[header]) |
                     static_cast<unsigned char>(frame[header + 1]) << 8 |
                     static_cast<unsigned char>(frame[header + 2]) << 16;
    if (((block >> 1) & 3) != wantedType) {
        throw std::runtime_error("the first block is not of the wanted type");
    }
    return header + 3;
}

void makeGolden(const fs::path& directory) {
    const std::string stream = goldenRecordStream();
    const std::string terminated = stream + std::string(2, '\0');

    // A window of exactly 2^27 (descriptor 0x88) and one of 2^28 (0x90).
    for (int log : {27, 28}) {
        std::string frame = compress(terminated, {log, false});
        size_t at = ZSTD_frameHeaderSize(frame.data(), frame.size());
        (void)at;
        unsigned char descriptor = static_cast<unsigned char>(frame[5]);
        if (descriptor != (log == 27 ? 0x88 : 0x90)) {
            throw std::runtime_error("unexpected window descriptor");
        }
        writeFile(directory / ("window" + std::to_string(log) + ".bin"), attached(frame));
    }

    // Incompressible content: a raw block, whose damage only the checksum shows.
    {
        std::string noisy = goldenNoisyRecordStream() + std::string(2, '\0');
        std::string frame = compress(noisy, {});
        size_t content = firstBlockContent(frame, 0);
        frame[content + 1000] = static_cast<char>(frame[content + 1000] ^ 0x01);
        writeFile(directory / "corrupt-raw-block.bin", attached(frame));
    }

    // The checksum itself damaged.
    {
        std::string frame = compress(terminated, {});
        frame.back() = static_cast<char>(frame.back() ^ 0x80);
        writeFile(directory / "corrupt-checksum.bin", attached(frame));
    }

    // A record stream that ends after its record, without the empty path.
    writeFile(directory / "no-terminator.bin", attached(compress(stream, {})));

    // Magic and frame, but no trailer after the frame.
    writeFile(directory / "no-trailer.bin", "QJY" + compress(terminated, {}));

    // A skippable frame of eight bytes before the frame: decoding it
    // yields no byte while input remains.
    {
        std::string skippable = {'\x50', '\x2A', '\x4D', '\x18', 8, 0, 0, 0};
        skippable += "skipped!";
        std::string frames = skippable + compress(terminated, {});
        writeFile(directory / "skippable-prefix.bin", "QJY" + frames + trailer(frames.size()));
    }
}

void makeTree(const fs::path& directory) {
    fs::remove_all(directory);
    for (const TreeFile& file : roundTripTree()) {
        writeFile(directory / file.unixPath, treeFileContent(file));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: test_archives golden|tree DIR\n");
        return 2;
    }
    try {
        std::string mode = argv[1];
        if (mode == "golden") {
            makeGolden(argv[2]);
        } else if (mode == "tree") {
            makeTree(argv[2]);
        } else {
            std::fprintf(stderr, "usage: test_archives golden|tree DIR\n");
            return 2;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "test_archives: %s\n", error.what());
        return 1;
    }
    return 0;
}

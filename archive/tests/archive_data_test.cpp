// The test archives themselves, checked on the host: the Windows tests rely
// on each having the property it is named for.
#define ZSTD_STATIC_LINKING_ONLY
#include <gtest/gtest.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <fstream>
#include <sstream>

#include "archive/tests/test_data.h"
#include "packer/payload/archive_file.h"
#include "packer/error.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string golden(const char* name) {
    return readFile(std::string(ONEFILE_ARCHIVE_GOLDEN) + "/" + name);
}

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The decoded content of the frame right after the magic.
std::string decodeFirstFrame(const std::string& data) {
    size_t frameSize = ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3);
    EXPECT_FALSE(ZSTD_isError(frameSize));
    std::string out(1 << 22, 0);
    size_t size = ZSTD_decompress(out.data(), out.size(), data.data() + 3, frameSize);
    EXPECT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
    out.resize(ZSTD_isError(size) ? 0 : size);
    return out;
}

TEST(RoundTripArchive, HoldsTheTreesRecordStreamInRawRleAndCompressedBlocks) {
    std::string data = readFile(std::string(ONEFILE_ARCHIVE_TEST_DATA) + "/roundtrip.bin");
    std::string problem;
    std::optional<AttachedData> attached = checkAttachedData(bytes(data), data.size(), &problem);
    ASSERT_TRUE(attached) << problem;
    FrameInfo frame = inspectFrame(attached->frame(), attached->frameSize);
    EXPECT_GT(frame.rawBlocks, 0u);
    EXPECT_GT(frame.rleBlocks, 0u);
    EXPECT_GT(frame.compressedBlocks, 0u);
    EXPECT_TRUE(frame.checksum);
    EXPECT_TRUE(decodeFirstFrame(data) == roundTripRecordStream());
    // Larger than one 128 KiB buffer, so the reader refills.
    EXPECT_GT(roundTripRecordStream().size(), 4u * 131072);
}

TEST(GoldenArchives, DeclareWindowsOf2To27And2To28) {
    for (int log : {27, 28}) {
        std::string data = golden(log == 27 ? "window27.bin" : "window28.bin");
        FrameInfo frame = inspectFrame(bytes(data) + 3, data.size() - 13);
        EXPECT_FALSE(frame.singleSegment);
        EXPECT_EQ(frame.windowLog, static_cast<unsigned>(log));
        EXPECT_EQ(frame.windowSize, uint64_t{1} << log);
        EXPECT_EQ(static_cast<unsigned char>(data[3 + 5]), log == 27 ? 0x88 : 0x90);
    }
    // A streaming decoder with the default limit refuses 2^28.
    std::string data = golden("window28.bin");
    ZSTD_DStream* stream = ZSTD_createDStream();
    std::string out(1 << 16, 0);
    ZSTD_outBuffer o = {out.data(), out.size(), 0};
    ZSTD_inBuffer in = {data.data() + 3, data.size() - 3, 0};
    EXPECT_TRUE(ZSTD_isError(ZSTD_decompressStream(stream, &o, &in)));
    ZSTD_freeDStream(stream);
    EXPECT_EQ(decodeFirstFrame(golden("window27.bin")),
              goldenRecordStream() + std::string(2, '\0'));
}

TEST(GoldenArchives, DamagedFramesFailOnlyThroughTheirChecksum) {
    for (const char* name : {"corrupt-raw-block.bin", "corrupt-checksum.bin"}) {
        std::string data = golden(name);
        std::string problem;
        std::optional<AttachedData> attached =
            checkAttachedData(bytes(data), data.size(), &problem);
        ASSERT_TRUE(attached) << name << ": " << problem; // the layout is intact
        FrameInfo frame = inspectFrame(attached->frame(), attached->frameSize);
        EXPECT_TRUE(frame.checksum) << name;
        std::string out(1 << 16, 0);
        size_t result =
            ZSTD_decompress(out.data(), out.size(), data.data() + 3, attached->frameSize);
        ASSERT_TRUE(ZSTD_isError(result)) << name;
        EXPECT_EQ(ZSTD_getErrorCode(result), ZSTD_error_checksum_wrong) << name;
    }
    std::string raw = golden("corrupt-raw-block.bin");
    EXPECT_GT(inspectFrame(bytes(raw) + 3, raw.size() - 13).rawBlocks, 0u);
}

TEST(GoldenArchives, LackTheTerminatorTheTrailerOrStartWithASkippableFrame) {
    EXPECT_EQ(decodeFirstFrame(golden("no-terminator.bin")), goldenRecordStream());

    std::string noTrailer = golden("no-trailer.bin");
    size_t frameSize = ZSTD_findFrameCompressedSize(noTrailer.data() + 3, noTrailer.size() - 3);
    EXPECT_EQ(noTrailer.size(), 3 + frameSize);
    EXPECT_EQ(decodeFirstFrame(noTrailer), goldenRecordStream() + std::string(2, '\0'));

    std::string skippable = golden("skippable-prefix.bin");
    EXPECT_TRUE(ZSTD_isSkippableFrame(skippable.data() + 3, skippable.size() - 3));
    size_t skipped = ZSTD_findFrameCompressedSize(skippable.data() + 3, skippable.size() - 3);
    std::string rest = "QJY" + skippable.substr(3 + skipped);
    EXPECT_EQ(decodeFirstFrame(rest), goldenRecordStream() + std::string(2, '\0'));
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) {
        length = length << 8 | static_cast<unsigned char>(skippable[skippable.size() - 8 + i]);
    }
    EXPECT_EQ(length, skippable.size() - 8);
}

TEST(HostReader, RefusesWhatTheBootstrapWouldFailOn) {
    struct Case {
        const char* name;
        const char* problem;
    };
    for (const Case& c : {Case{"window28.bin", "cannot be decoded"},
                          Case{"corrupt-raw-block.bin", "cannot be decoded"},
                          Case{"no-terminator.bin", "without its terminator"}}) {
        std::string data = golden(c.name);
        class Ignore : public RecordVisitor {
            void record(const std::u16string&, uint64_t) override {}
            void content(const unsigned char*, size_t) override {}
        } visitor;
        try {
            AttachedData attached = locateAttachedData(bytes(data), data.size(), c.name);
            readRecords(attached, visitor);
            ADD_FAILURE() << c.name;
        } catch (const PackError& error) {
            EXPECT_NE(std::string(error.what()).find(c.problem), std::string::npos)
                << c.name << ": " << error.what();
        }
    }
}

TEST(HostReader, FindsAttachedDataPastBeginningsOfFramesThatRunIntoOneChainOfBlocks) {
    // 2000 beginnings of frames in an executable, each with a raw block that
    // ends where one chain of 20,000 empty blocks begins; sound attached data
    // after them.
    std::string file = "MZ" + std::string(62, '\0');
    const size_t beginnings = 2000, chain = 20000, beginningSize = 12;
    const size_t chainStart = file.size() + beginnings * beginningSize;
    for (size_t i = 0; i < beginnings; ++i) {
        const size_t skipped = chainStart - (file.size() + beginningSize);
        // The frame's magic, a header of no options and a 2 MiB window, and
        // the header of a raw block that is not the last.
        file += std::string("QJY\x28\xB5\x2F\xFD\x00\x58", 9);
        for (int byte = 0; byte < 3; ++byte) {
            file.push_back(static_cast<char>((skipped << 3) >> (8 * byte)));
        }
    }
    file.append(3 * chain, '\0');
    file += std::string("\x01\x00\x00", 3); // the last block
    const size_t soundAt = file.size();
    const std::string sound = readFile(std::string(ONEFILE_ARCHIVE_TEST_DATA) + "/roundtrip.bin");
    file += sound;

    uint64_t headersRead = 0;
    const AttachedData found =
        locateAttachedData(bytes(file), file.size(), "crafted.exe", &headersRead);
    EXPECT_EQ(found.offset, soundAt);
    EXPECT_EQ(found.length, sound.size());
    // The chain once, a few dozen headers more for each beginning that runs
    // into it, and the sound frame's: following it from each beginning would
    // read 40 million.
    const FrameInfo frame = inspectFrame(found.frame(), found.frameSize);
    const size_t soundBlocks = frame.rawBlocks + frame.rleBlocks + frame.compressedBlocks;
    EXPECT_LE(headersRead, chain + 64 * beginnings + soundBlocks);
}

TEST(HostReader, FindsAttachedDataWhoseBlocksABeginningBeforeItRanInto) {
    // One beginning of a frame whose blocks lead, 32 headers on, into the
    // first block of the sound attached data: the end of that chain, once
    // remembered there, is the sound frame's end too.
    const std::string sound = readFile(std::string(ONEFILE_ARCHIVE_TEST_DATA) + "/roundtrip.bin");
    const size_t soundHeader = ZSTD_frameHeaderSize(sound.data() + 3, sound.size() - 3);
    ASSERT_FALSE(ZSTD_isError(soundHeader));
    std::string file = "MZ" + std::string(62, '\0');
    file += std::string("QJY\x28\xB5\x2F\xFD\x00\x58", 9);
    file.append(3 * 31, '\0'); // empty raw blocks, not the last
    const size_t skipped = 3 + soundHeader;
    for (int byte = 0; byte < 3; ++byte) {
        file.push_back(static_cast<char>((skipped << 3) >> (8 * byte)));
    }
    const size_t soundAt = file.size();
    file += sound;
    const AttachedData found = locateAttachedData(bytes(file), file.size(), "crafted.exe");
    EXPECT_EQ(found.offset, soundAt);
    EXPECT_EQ(found.length, sound.size());
}

} // namespace

// The archive reader, driven through reader_probe over attached data that
// onefile-pack made at build time and over the golden damaged archives.
#include <gtest/gtest.h>

#include <sstream>

#include "archive/tests/test_data.h"
#include "tests/support/process.h"

namespace {

const char decodeFailure[] = "Error, couldn't decode attached data.\r\n";
const char headerFailure[] = "Error, couldn't find attached data header.\r\n";

// A Unix path of the build as Wine shows it.
std::wstring winePath(const std::string& unixPath) {
    std::wstring path = L"Z:" + fromUtf8(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::wstring packed(const wchar_t* name) {
    return winePath(ONEFILE_ARCHIVE_TEST_DATA) + L"\\" + name;
}
std::wstring golden(const wchar_t* name) {
    return winePath(ONEFILE_ARCHIVE_GOLDEN) + L"\\" + name;
}

ProcessResult probe(const std::vector<std::wstring>& arguments) {
    ProcessOptions options;
    options.timeoutMilliseconds = 30000; // a read that waited would end here
    return runProcess(siblingProgram(L"reader_probe.exe"), arguments, options);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out.push_back(line);
    }
    return out;
}

std::string hex(uint64_t value) {
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string recordLine(const std::wstring& name, const std::string& content) {
    return "record " + toUtf8(name) + " " + std::to_string(content.size()) + " " +
           hex(fnv1a64(content));
}

// Runs a read script; returns the probe's result and the bytes it read.
struct Reads {
    ProcessResult result;
    std::vector<std::string> lines;
    std::string bytes;
};
Reads readScript(const std::wstring& archive, const std::vector<size_t>& counts) {
    std::wstring directory = makeTemporaryDirectory(L"reader-test");
    std::wstring out = directory + L"\\read.bin";
    std::vector<std::wstring> arguments = {archive, L"reads", out};
    for (size_t count : counts) {
        arguments.push_back(std::to_wstring(count));
    }
    Reads reads;
    reads.result = probe(arguments);
    reads.lines = lines(reads.result.out);
    reads.bytes = pathExists(out) ? readFileBytes(out) : std::string();
    removeTree(directory);
    return reads;
}

TEST(ReaderRoundTrip, YieldsEveryRecordThePackerWroteInOrder) {
    // Records over 128 KiB, of 0 bytes (one right before the terminator),
    // and blocks of all three kinds (the host tests check the kinds).
    ProcessResult r = probe({packed(L"roundtrip.bin"), L"records"});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> expected;
    for (const TreeFile& file : roundTripTree()) {
        expected.push_back(
            recordLine(std::wstring(file.name.begin(), file.name.end()), treeFileContent(file)));
    }
    expected.push_back("end");
    expected.push_back("exit buffer=set decoder=set calls=1 yields=8192");
    std::vector<std::string> got = lines(r.out);
    // The last line depends on the last read; compare the records exactly.
    ASSERT_EQ(got.size(), expected.size()) << r.out;
    for (size_t i = 0; i + 1 < expected.size(); ++i) {
        EXPECT_EQ(got[i], expected[i]);
    }
}

TEST(ReaderRoundTrip, ReadsOfAnySizeYieldTheStreamExactly) {
    const std::string stream = roundTripRecordStream();
    // Odd sizes that cross every buffer boundary somewhere, then the rest.
    std::vector<size_t> counts = {1, 2, 3, 131071, 131073, 7, 65536, 300001};
    size_t total = 0;
    for (size_t count : counts) {
        total += count;
    }
    counts.push_back(stream.size() - total);
    Reads reads = readScript(packed(L"roundtrip.bin"), counts);
    EXPECT_EQ(reads.result.exitCode, 0u) << reads.result.out;
    EXPECT_TRUE(reads.bytes == stream) << reads.bytes.size() << " of " << stream.size();
}

TEST(ReaderReads, AReadSpanningTheBufferedBytesGetsOneRefillAndOneContiguousResult) {
    const std::string stream = roundTripRecordStream();
    Reads reads = readScript(packed(L"roundtrip.bin"), {131000, 200});
    ASSERT_EQ(reads.result.exitCode, 0u) << reads.result.out;
    ASSERT_GE(reads.lines.size(), 2u);
    // The first read fills the whole 128 KiB buffer once.
    EXPECT_EQ(reads.lines[0], "read 131000 calls=1 yields=131072");
    // 72 bytes from the buffer, one refill, 128 from the new fill.
    EXPECT_EQ(reads.lines[1], "read 200 calls=1 yields=131072");
    EXPECT_TRUE(reads.bytes == stream.substr(0, 131200));
}

TEST(ReaderReads, ATwoByteReadWithOneByteLeftTakesItRefillsAndTakesTheNext) {
    const std::string stream = roundTripRecordStream();
    Reads reads = readScript(packed(L"roundtrip.bin"), {131071, 2, 1});
    ASSERT_EQ(reads.result.exitCode, 0u) << reads.result.out;
    ASSERT_GE(reads.lines.size(), 3u);
    EXPECT_EQ(reads.lines[0], "read 131071 calls=1 yields=131072");
    EXPECT_EQ(reads.lines[1], "read 2 calls=1 yields=131072");
    EXPECT_EQ(reads.lines[2], "read 1 calls=0 yields=");
    EXPECT_TRUE(reads.bytes == stream.substr(0, 131074));
}

TEST(ReaderReads, ARefillThatYieldsNoByteWhileInputRemainsIsFollowedByAnother) {
    // A skippable frame first: the first decoder call consumes it and
    // produces nothing; the same read calls again and gets the records.
    const std::string stream = goldenRecordStream() + std::string(2, '\0');
    Reads reads = readScript(golden(L"skippable-prefix.bin"), {2, stream.size() - 2});
    ASSERT_EQ(reads.result.exitCode, 0u) << reads.result.out;
    ASSERT_GE(reads.lines.size(), 2u);
    EXPECT_EQ(reads.lines[0], "read 2 calls=2 yields=0," + std::to_string(stream.size()));
    EXPECT_TRUE(reads.bytes == stream);
}

TEST(ReaderReads, AReadPastTheEndOfTheStreamFailsAtOnce) {
    const std::string stream = roundTripRecordStream();
    // With the trailer: the decoder meets it as a frame header and fails
    // in the first refill.
    Reads reads = readScript(packed(L"roundtrip.bin"), {stream.size(), 1});
    EXPECT_EQ(reads.result.exitCode, 2u);
    ASSERT_EQ(reads.lines.size(), 3u) << reads.result.out;
    EXPECT_EQ(reads.lines[1] + "\r\n", decodeFailure);
    EXPECT_EQ(reads.lines[2].substr(0, 43), "exit buffer=set decoder=set calls=1 yields=");
    EXPECT_TRUE(reads.bytes == stream);

    // Also within one read that asks for one byte more than there is.
    reads = readScript(packed(L"roundtrip.bin"), {stream.size() + 1});
    EXPECT_EQ(reads.result.exitCode, 2u);
    ASSERT_EQ(reads.lines.size(), 2u) << reads.result.out;
    EXPECT_EQ(reads.lines[0] + "\r\n", decodeFailure);

    // Without the trailer all input is consumed with the frame: no byte can
    // come, and the read fails without calling the decoder again.
    const std::string golden = goldenRecordStream() + std::string(2, '\0');
    reads = readScript(::golden(L"no-trailer.bin"), {golden.size(), 1});
    EXPECT_EQ(reads.result.exitCode, 2u);
    ASSERT_EQ(reads.lines.size(), 3u) << reads.result.out;
    EXPECT_EQ(reads.lines[1] + "\r\n", decodeFailure);
    EXPECT_EQ(reads.lines[2], "exit buffer=set decoder=set calls=0 yields=");
}

TEST(ReaderMagic, AWrongFirstSecondOrThirdByteFailsBeforeAnyAllocation) {
    std::string archive = readFileBytes(packed(L"roundtrip.bin"));
    std::wstring directory = makeTemporaryDirectory(L"reader-magic");
    for (size_t i = 0; i < 3; ++i) {
        std::string damaged = archive;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x20); // "qJY", "QjY", "QJy"
        std::wstring path = directory + L"\\magic" + std::to_wstring(i) + L".bin";
        writeFileBytes(path, damaged);
        ProcessResult r = probe({path, L"records"});
        EXPECT_EQ(r.exitCode, 2u) << "byte " << i;
        EXPECT_EQ(r.out,
                  std::string(headerFailure) + "exit buffer=null decoder=null calls=0 yields=\r\n")
            << "byte " << i;
    }
    removeTree(directory);
    // The right magic: both are made.
    Reads reads = readScript(packed(L"roundtrip.bin"), {1});
    EXPECT_EQ(reads.lines.back().substr(0, 28), "exit buffer=set decoder=set ");
}

TEST(ReaderFrames, AWindowLogOf27Decodes) {
    ProcessResult r = probe({golden(L"window27.bin"), L"records"});
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    std::vector<std::string> got = lines(r.out);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], recordLine(L"entry.dll", goldenEntryContent()));
    EXPECT_EQ(got[1], "end");
}

TEST(ReaderFrames, AWindowLogOf28FailsWithTheDecodeMessage) {
    ProcessResult r = probe({golden(L"window28.bin"), L"records"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.out.substr(0, sizeof decodeFailure - 1), decodeFailure) << r.out;
}

TEST(ReaderFrames, ACorruptedFrameWithAChecksumFails) {
    // A flipped bit in a raw block decodes to wrong bytes that only the
    // checksum reveals; a damaged checksum fails alike.
    for (const wchar_t* name : {L"corrupt-raw-block.bin", L"corrupt-checksum.bin"}) {
        ProcessResult r = probe({golden(name), L"records"});
        EXPECT_EQ(r.exitCode, 2u) << toUtf8(name);
        EXPECT_EQ(r.out.substr(0, sizeof decodeFailure - 1), decodeFailure)
            << toUtf8(name) << ": " << r.out;
    }
}

TEST(ReaderFrames, AStreamWithoutItsTerminatorFails) {
    ProcessResult r = probe({golden(L"no-terminator.bin"), L"records"});
    EXPECT_EQ(r.exitCode, 2u);
    std::vector<std::string> got = lines(r.out);
    ASSERT_EQ(got.size(), 3u) << r.out;
    EXPECT_EQ(got[0], recordLine(L"entry.dll", goldenEntryContent()));
    EXPECT_EQ(got[1] + "\r\n", decodeFailure);
}

} // namespace

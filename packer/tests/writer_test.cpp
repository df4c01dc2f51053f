// The writer's pieces that the command line cannot reach directly.
#include <gtest/gtest.h>

#include "packer/payload/archive_writer.h"
#include "packer/error.h"
#include "archive/tests/test_data.h"
#include "packer/tests/support.h"

namespace fs = std::filesystem;

namespace {

class StringSink : public ByteSink {
  public:
    std::string bytes;
    void write(const void* data, size_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
};

TEST(WindowLog, IsTheSmallestFrom10ThatCoversTheContentAndAtMost27) {
    EXPECT_EQ(windowLogFor(0), 10u);
    EXPECT_EQ(windowLogFor(1024), 10u);
    EXPECT_EQ(windowLogFor(1025), 11u);
    EXPECT_EQ(windowLogFor(900000), 20u);
    EXPECT_EQ(windowLogFor(uint64_t{1} << 27), 27u);
    EXPECT_EQ(windowLogFor((uint64_t{1} << 27) + 1), 27u);
    EXPECT_EQ(windowLogFor(uint64_t{1} << 40), 27u);
}

TEST(Writer, FailsWhenAFileChangedSizeSinceTheScan) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", "twelve bytes");
    std::vector<InputFile> files = scanInputTree(scratch / "in", "app.dll");
    ASSERT_EQ(files.size(), 1u);
    for (uint64_t scannedSize : {uint64_t{11}, uint64_t{13}}) {
        files[0].size = scannedSize; // as if the file grew or shrank after the scan
        StringSink sink;
        try {
            writeAttachedData(files, CompressionSettings{3, 1}, sink);
            ADD_FAILURE() << "no failure for size " << scannedSize;
        } catch (const PackError& error) {
            std::string message = error.what();
            EXPECT_NE(message.find("app.dll"), std::string::npos) << message;
            EXPECT_NE(message.find(scannedSize < 12 ? "longer" : "shorter"), std::string::npos)
                << message;
        }
    }
}

TEST(Writer, StreamsPayloadsLargerThanItsBuffersInOrder) {
    // Files larger than the staging buffer, so pieces of one file go to zstd
    // in several calls; the record stream must still be exact.
    ScratchDirectory scratch;
    std::string big = noiseBytes(3 * (1 << 20) + 12345, 3);
    writeFile(scratch / "in" / "app.dll", big);
    writeFile(scratch / "in" / "z", "after");
    std::vector<InputFile> files = scanInputTree(scratch / "in", "app.dll");
    StringSink sink;
    AttachedDataSummary summary = writeAttachedData(files, CompressionSettings{1, 2}, sink);
    EXPECT_EQ(summary.contentSize, 2 * 8 + 8 + big.size() + 2 * 2 + 8 + 5 + 2);
    EXPECT_EQ(sink.bytes.size(), summary.totalSize);
    EXPECT_EQ(summary.totalSize, 13 + summary.frameSize);
    EXPECT_EQ(summary.windowLog, 22u);
}

struct ProgressReport {
    double done;      // the figure given
    uint64_t written; // frame bytes in the sink at that moment
};

// Packs `content` as the only file at level 9 and the default threads: the
// figures reported along the way; `frameBytes` is what was written in all.
std::vector<ProgressReport> progressOfPacking(const std::string& content, double* frameBytes) {
    ScratchDirectory scratch;
    writeFile(scratch / "in" / "app.dll", content);
    std::vector<InputFile> files = scanInputTree(scratch / "in", "app.dll");
    std::vector<ProgressReport> reports;
    StringSink sink;
    writeAttachedData(files, CompressionSettings{9, 0}, sink, [&](uint64_t done, uint64_t total) {
        reports.push_back({double(done) / total, sink.bytes.size()});
    });
    *frameBytes = double(sink.bytes.size());
    EXPECT_FALSE(reports.empty());
    if (!reports.empty()) {
        EXPECT_EQ(reports.back().done, 1.0);
    }
    return reports;
}

TEST(Progress, FollowsTheWorkCompressedNotTheBytesHandedToTheCompressor) {
    // Letters of a small alphabet compress evenly, so the output written so
    // far tells how much of the input has truly been compressed. At the
    // default threads the compressor takes this whole stream in as one job
    // within a fraction of a second and compresses it afterwards.
    std::string letters = noiseBytes(12 << 20, 5);
    for (char& c : letters) {
        c = static_cast<char>('a' + (c & 15));
    }
    double frame = 0;
    size_t along = 0;
    for (const ProgressReport& report : progressOfPacking(letters, &frame)) {
        // A chunk of compressed input may not be written yet: some slack.
        EXPECT_LE(report.done, report.written / frame + 0.1)
            << "reported " << report.done << " with " << report.written << " of " << frame
            << " bytes written";
        along += report.done > 0.2 && report.done < 0.8;
    }
    EXPECT_GE(along, 3u) << "the figure moves along the way";
}

TEST(Progress, MovesAlongAlsoWhenTheInputCompressesToLittle) {
    // Mostly one letter: the frame is a small fraction of the input, too
    // little to fill the writer's output buffer before the end.
    std::string sparse = noiseBytes(12 << 20, 7);
    for (char& c : sparse) {
        c = (c & 127) == 0 ? 'b' : 'a';
    }
    double frame = 0, last = 0, largestStep = 0;
    for (const ProgressReport& report : progressOfPacking(sparse, &frame)) {
        largestStep = std::max(largestStep, report.done - last);
        last = report.done;
    }
    EXPECT_LE(largestStep, 0.25) << "of a frame of " << frame << " bytes";
}

} // namespace

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

} // namespace

// The writer of executables, over the bootstrap images built into the
// packer: the images as the linker left them, and the constants and the
// attached data of any length read back from what the writer made. The PE
// rules of its output are checked with other readers in pe_rules_test.py.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "archive/layout.h"
#include "archive/tests/test_data.h"
#include "packer/error.h"
#include "packer/image/bootstrap_image.h"
#include "packer/image/executable_resources.h"
#include "packer/image/image_writer.h"
#include "packer/little_endian.h"
#include "packer/tests/support.h"

namespace {

const unsigned char* bytesOf(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

TEST(BootstrapImages, CarryTheChecksumAndDataSizeThatTheWriterComputesAsTheLinkerDid) {
    for (Subsystem subsystem : {Subsystem::gui, Subsystem::console}) {
        const BootstrapImage& image = bootstrapImage(subsystem);
        SCOPED_TRACE(subsystemName(image.headers.subsystem));
        EXPECT_EQ(image.headers.subsystem, static_cast<uint16_t>(subsystem));
        // The sum over the image as ld wrote it, its checksum field left out.
        const size_t field = image.headers.optionalHeaderOffset + pe::checksumField;
        PeChecksum checksum;
        checksum.add(0, image.bytes, field);
        checksum.add(field + 4, image.bytes + field + 4, image.size - field - 4);
        ASSERT_NE(image.headers.checksum, 0u);
        EXPECT_EQ(checksum.value(image.size), image.headers.checksum);
        // The same sections counted as the linker counts them.
        uint32_t initialised = 0;
        for (const PeSection& section : image.headers.sections) {
            initialised += section.characteristics & coff::initialisedData ? section.rawSize : 0;
        }
        EXPECT_EQ(initialised, image.headers.initialisedDataSize);
        // The table and the attached data close the read-only data, which
        // the relocations alone follow.
        const PeSection& readOnly = image.headers.sections[image.readOnlyData];
        EXPECT_EQ(image.attachedDataAddress, readOnly.virtualAddress + readOnly.virtualSize);
        EXPECT_EQ(image.relocations, std::optional<size_t>(image.headers.sections.size() - 1));
    }
}

// An executable written from the GUI image with `data` as its attached data.
std::string writeExecutable(const std::string& data, const std::vector<ConstantValue>& constants,
                            const ResourceSection& resources) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
    EXPECT_NE(file, nullptr);
    FILE* stream = file.get();
    ExecutableWriter writer(stream, "test.exe", bootstrapImage(Subsystem::gui));
    // In pieces of odd sizes, as the compressor hands them over.
    for (size_t at = 0; at < data.size(); at += 4097) {
        writer.write(data.data() + at, std::min<size_t>(4097, data.size() - at));
    }
    writer.finish(constants, resources);
    std::string bytes;
    std::rewind(stream);
    char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
        bytes.append(buffer, got);
    }
    return bytes;
}

// The constants and the attached data come back from executables whose
// read-only data ends anywhere on a page, in the file and in memory.
TEST(ExecutableWriter, WritesConstantsAndAttachedDataOfAnyLengthThatReadBack) {
    const BootstrapImage& image = bootstrapImage(Subsystem::gui);
    const uint32_t page = image.headers.sectionAlignment;
    const uint32_t block = image.headers.fileAlignment;
    const uint64_t offset = layOutExecutable(image, 0, 0).attachedDataOffset;
    const uint32_t pageRoom = page - image.attachedDataAddress % page;
    const uint32_t blockRoom = block - static_cast<uint32_t>(offset % block);
    BuildConstants constants = defaultBuildConstants("app.exe");
    const ResourceSection resources(executableResources(constants, defaultIconImages()));
    const CacheFacts facts{3, 99, u"bin\\app.dll"};
    const std::u16string id = u"0123456789abcdef";
    uint32_t options = 0;
    // Attached data is never empty: 13 bytes and a frame.
    for (size_t length :
         {size_t{1}, size_t{14}, size_t{blockRoom - 1}, size_t{blockRoom}, size_t{blockRoom + 1},
          size_t{pageRoom}, size_t{pageRoom + 1}, size_t{pageRoom + page}, size_t{3 << 20} + 7}) {
        SCOPED_TRACE("attached data of " + std::to_string(length) + " bytes");
        const bool cached = length % 2 == 1;
        constants.options = options++;
        const std::string data = noiseBytes(length, static_cast<unsigned>(length));
        const std::string exe = writeExecutable(
            data, constantValues(constants, length, cached ? &facts : nullptr, id), resources);
        ExecutableLayout layout = layOutExecutable(image, length, resources.size());
        ASSERT_EQ(exe.size(), layout.fileSize);
        EXPECT_EQ(exe.substr(layout.attachedDataOffset, length), data);
        std::string problem;
        std::optional<PeImage> written = readPeImage(bytesOf(exe), exe.size(), &problem);
        ASSERT_TRUE(written) << problem;
        EXPECT_EQ(written->imageSize, layout.imageSize);
        EXPECT_EQ(written->sections.size(), image.headers.sections.size() + 1);

        std::optional<ConstantsSection> read =
            readConstantsSection(bytesOf(exe), exe.size(), layout.attachedDataOffset, length);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->productName, u"app");
        EXPECT_EQ(read->versionString, u"0.0.0.0");
        EXPECT_EQ(read->targetDirectorySpec, defaultTargetDirectorySpec(TargetMode::perRun));
        EXPECT_EQ(read->options, constants.options);
        ASSERT_EQ(read->cache.has_value(), cached);
        if (cached) {
            EXPECT_EQ(read->cache->id, id);
            EXPECT_EQ(read->cache->records, 3u);
            EXPECT_EQ(read->cache->contentBytes, 99u);
            EXPECT_EQ(read->cache->entryName, u"bin\\app.dll");
        }
        // The table belongs to data of exactly this length.
        EXPECT_FALSE(
            readConstantsSection(bytesOf(exe), exe.size(), layout.attachedDataOffset, length + 1));
    }
}

TEST(ExecutableWriter, RefusesAConstantTooLongForItsSlotAndOneWithoutASlot) {
    const ResourceSection resources({{3, 1, {1, 2, 3}}});
    std::vector<ConstantValue> constants =
        constantValues(defaultBuildConstants("app.exe"), 0, nullptr, u"");
    for (ConstantValue& value : constants) {
        if (value.name == ONEFILE_SYMBOL_PRODUCT_NAME) {
            value.bytes.resize(2 * productTextCapacity + 2, 'x');
        }
    }
    try {
        writeExecutable("", constants, resources);
        ADD_FAILURE() << "a product name longer than its slot was written";
    } catch (const PackError& error) {
        EXPECT_NE(std::string(error.what()).find(ONEFILE_SYMBOL_PRODUCT_NAME), std::string::npos);
    }
    constants = constantValues(defaultBuildConstants("app.exe"), 0, nullptr, u"");
    constants.push_back({"onefileNoSuchConstant", {1}});
    EXPECT_THROW(writeExecutable("", constants, resources), std::logic_error);
}

} // namespace

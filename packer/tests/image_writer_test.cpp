// The writer of executables, over the bootstrap images built into the
// packer: the images as the linker left them, and the constants and the
// attached data of any length read back from what the writer made, the
// checksum, and the resource section. The PE rules of its output are checked
// with other readers in pe_rules_test.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "formats/archive_layout.h"
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

// The image checksum the slow way: each 16-bit word added with its carry
// folded straight back in, the four bytes at `field` (the checksum's own
// place) taken as zero, then the file's length.
uint32_t checksumOf(const std::string& file, size_t field = std::string::npos) {
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        uint32_t word = static_cast<unsigned char>(file[i]);
        if (i + 1 < file.size()) {
            word |= uint32_t{static_cast<unsigned char>(file[i + 1])} << 8;
        }
        if (field != std::string::npos && i >= field && i < field + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(file.size());
}

TEST(PeChecksum, PiecesAddedInAnyOrderAtOddOffsetsGiveTheSumOfTheWholeFile) {
    // Words of all ones sum to 0xFFFF, which folds to itself, never to 0.
    for (const std::string& file :
         {std::string(4, '\xFF'), std::string("\x01\x00\xFE\xFF", 4), noiseBytes(10001, 7)}) {
        PeChecksum checksum;
        // Odd pieces, the last first.
        for (size_t end = file.size(); end > 0;) {
            const size_t start = end > 777 ? end - 777 : 0;
            checksum.add(start, bytesOf(file) + start, end - start);
            end = start;
        }
        EXPECT_EQ(checksum.value(file.size()), checksumOf(file)) << file.size();
    }
}

// Keeps what it is given.
class StringSink : public ByteSink {
  public:
    void write(const void* data, size_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
    std::string bytes;
};

// A cached build's id names its directory: always sixteen hexadecimal
// digits, whatever the hash's leading digits, and the same however the data
// arrives.
TEST(CacheId, IsSixteenHexDigitsOfTheDataPassedOnWhateverItsPieces) {
    std::set<std::u16string> ids;
    for (unsigned seed = 0; seed < 256; ++seed) {
        const std::string data = noiseBytes(100 + seed, seed);
        StringSink whole, pieces;
        CacheIdSink wholeId(whole, u"Acme", u"Editor"), piecesId(pieces, u"Acme", u"Editor");
        wholeId.write(data.data(), data.size());
        for (size_t at = 0; at < data.size(); at += 7) {
            piecesId.write(data.data() + at, std::min<size_t>(7, data.size() - at));
        }
        EXPECT_EQ(pieces.bytes, data);
        const std::u16string id = wholeId.id();
        EXPECT_EQ(piecesId.id(), id);
        ASSERT_EQ(id.size(), cacheIdLength);
        EXPECT_EQ(id.find_first_not_of(u"0123456789abcdef"), std::u16string::npos) << seed;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 256u);
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

// An executable written from `image` (the GUI one unless said) with `data` as
// its attached data.
std::string writeExecutable(const std::string& data, const std::vector<ConstantValue>& constants,
                            const ResourceSection& resources,
                            const BootstrapImage& image = bootstrapImage(Subsystem::gui)) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
    EXPECT_NE(file, nullptr);
    FILE* stream = file.get();
    ExecutableWriter writer(stream, "test.exe", image);
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
        EXPECT_EQ(written->checksum,
                  checksumOf(exe, written->optionalHeaderOffset + pe::checksumField));
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

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The bytes of `image` with `extra` more zero bytes of raw data at the end of
// its section `name`, and the sections after it moved along in the file: the
// image as the linker would make it from code of another size.
std::vector<unsigned char> withLongerSection(const BootstrapImage& image, const std::string& name,
                                             uint32_t extra) {
    std::vector<unsigned char> bytes(image.bytes, image.bytes + image.size);
    const std::vector<PeSection>& sections = image.headers.sections;
    auto grown = std::find_if(sections.begin(), sections.end(),
                              [&](const PeSection& section) { return section.name == name; });
    EXPECT_NE(grown, sections.end()) << name;
    if (grown == sections.end()) {
        return bytes;
    }
    const uint32_t end = grown->rawOffset + grown->rawSize;
    bytes.insert(bytes.begin() + end, extra, 0);
    for (size_t i = 0; i < sections.size(); ++i) {
        PeSection section = sections[i];
        if (i == static_cast<size_t>(grown - sections.begin())) {
            section.rawSize += extra;
        } else if (section.rawSize != 0 && section.rawOffset >= end) {
            section.rawOffset += extra;
        }
        storeSectionHeader(&bytes[image.headers.sectionTableOffset + i * coff::sectionHeaderSize],
                           section);
    }
    return bytes;
}

// A loader may map the attached data straight from the file only when the
// read-only data starts on a page there (Wine reads the whole section in
// otherwise): it must, whatever the size of the sections before it. The
// padding belongs to the section before, so that a signature's hash covers
// it, as long as that section's last page leaves room; else it is a gap.
TEST(ExecutableWriter, StartsTheReadOnlyDataOnAPageInTheFileWhateverLiesBeforeIt) {
    const std::string data = noiseBytes(5000, 5);
    const BuildConstants constants = defaultBuildConstants("app.exe");
    const std::vector<ConstantValue> values = constantValues(constants, data.size(), nullptr, u"");
    const ResourceSection resourceSets[] = {
        ResourceSection({}), ResourceSection({{24, 1, {'m'}}}),
        ResourceSection(executableResources(constants, defaultIconImages()))};
    for (Subsystem subsystem : {Subsystem::gui, Subsystem::console}) {
        const BootstrapImage& original = bootstrapImage(subsystem);
        const uint32_t page = original.headers.sectionAlignment;
        const uint32_t block = original.headers.fileAlignment;
        const size_t previous = original.readOnlyData - 1;
        const PeSection& last = original.headers.sections[previous];
        ASSERT_NE(last.rawSize, 0u);
        for (bool lastPageFull : {false, true}) {
            // The section before the read-only data with raw data to the end
            // of its last page, or as the linker left it.
            const std::vector<unsigned char> filled = withLongerSection(
                original, last.name,
                lastPageFull ? alignUp(last.virtualSize, page) - last.rawSize : 0);
            const BootstrapImage base = readBootstrapImage(filled.data(), filled.size());
            // Code of every size modulo a page: .data longer by 0 to 7 blocks.
            for (uint32_t shift = 0; shift < page; shift += block) {
                SCOPED_TRACE(subsystemName(static_cast<uint16_t>(subsystem)) +
                             (lastPageFull ? ", its last page full, " : ", ") +
                             std::to_string(shift) + " more bytes of .data");
                const std::vector<unsigned char> bytes = withLongerSection(base, ".data", shift);
                const BootstrapImage image = readBootstrapImage(bytes.data(), bytes.size());
                const ResourceSection& resources = resourceSets[shift / block % 3];
                const std::string exe = writeExecutable(data, values, resources, image);

                std::string problem;
                std::optional<PeImage> written = readPeImage(bytesOf(exe), exe.size(), &problem);
                ASSERT_TRUE(written) << problem;
                const PeSection& readOnly = written->sections[image.readOnlyData];
                const PeSection& before = written->sections[previous];
                EXPECT_EQ(readOnly.rawOffset % page, 0u);
                EXPECT_EQ(readOnly.virtualAddress,
                          image.headers.sections[image.readOnlyData].virtualAddress);
                // What the section before holds, the same; its raw data
                // within its last page, and up to the read-only data when it
                // has room.
                const PeSection& from = image.headers.sections[previous];
                EXPECT_EQ(exe.compare(before.rawOffset, from.rawSize,
                                      reinterpret_cast<const char*>(bytes.data()) + from.rawOffset,
                                      from.rawSize),
                          0);
                EXPECT_LE(before.rawSize, alignUp(before.virtualSize, page));
                if (!lastPageFull) {
                    EXPECT_EQ(before.rawOffset + before.rawSize, readOnly.rawOffset);
                }
                const ExecutableLayout layout =
                    layOutExecutable(image, data.size(), resources.size());
                EXPECT_EQ(exe.substr(layout.attachedDataOffset, data.size()), data);
                // The constants, found through the sections as the file has them.
                std::optional<ConstantsSection> read = readConstantsSection(
                    bytesOf(exe), exe.size(), layout.attachedDataOffset, data.size());
                ASSERT_TRUE(read);
                EXPECT_EQ(read->productName, u"app");
            }
        }
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
    // A text as long as its slot leaves no room for the terminator that the
    // bootstrap reads up to.
    BuildConstants full = defaultBuildConstants("app.exe");
    full.productName = std::u16string(productTextCapacity, u'x');
    EXPECT_THROW(writeExecutable("", constantValues(full, 0, nullptr, u""), resources), PackError);
    constants = constantValues(defaultBuildConstants("app.exe"), 0, nullptr, u"");
    constants.push_back({"onefileNoSuchConstant", {1}});
    EXPECT_THROW(writeExecutable("", constants, resources), std::logic_error);
}

// The loader finds a resource by binary search, type then identifier, and
// its data by address: the directory must be sorted whatever order the
// resources come in.
TEST(ResourceSection, SortsItsDirectoryAndPointsAtEachResourcesDataByAddress) {
    const std::vector<Resource> resources = {
        {24, 1, {'m'}}, {3, 2, {2, 2}}, {14, 1, {1, 4, 1}}, {3, 1, {1, 1, 1, 1, 1}}};
    const ResourceSection section(resources);
    const uint32_t address = 0x7000;
    const std::vector<unsigned char> bytes = section.bytes(address);
    ASSERT_EQ(bytes.size(), section.size());
    // (identifier, offset) of each entry of the directory at `at`.
    auto entries = [&](uint32_t at) {
        std::vector<std::pair<uint32_t, uint32_t>> found;
        EXPECT_LE(at + 16, bytes.size());
        const uint32_t count = load16(&bytes[at + 12]) + load16(&bytes[at + 14]);
        for (uint32_t i = 0; i < count && at + 16 + 8 * i + 8 <= bytes.size(); ++i) {
            found.push_back({load32(&bytes[at + 16 + 8 * i]), load32(&bytes[at + 20 + 8 * i])});
        }
        return found;
    };
    std::vector<Resource> walked;
    for (const auto& [type, types] : entries(0)) {
        ASSERT_NE(types & 0x80000000, 0u);
        for (const auto& [id, ids] : entries(types & 0x7FFFFFFF)) {
            ASSERT_NE(ids & 0x80000000, 0u);
            const auto languages = entries(ids & 0x7FFFFFFF);
            ASSERT_EQ(languages.size(), 1u);
            EXPECT_EQ(languages[0].first, 0u); // language neutral
            const uint32_t entry = languages[0].second;
            ASSERT_LE(entry + 16, bytes.size());
            const uint32_t data = load32(&bytes[entry]), size = load32(&bytes[entry + 4]);
            ASSERT_GE(data, address);
            ASSERT_LE(data - address + size, bytes.size());
            walked.push_back({static_cast<uint16_t>(type),
                              static_cast<uint16_t>(id),
                              {&bytes[data - address], &bytes[data - address] + size}});
        }
    }
    const size_t order[] = {3, 1, 2, 0};
    ASSERT_EQ(walked.size(), std::size(order));
    for (size_t i = 0; i < walked.size(); ++i) {
        EXPECT_EQ(walked[i].type, resources[order[i]].type) << i;
        EXPECT_EQ(walked[i].id, resources[order[i]].id) << i;
        EXPECT_EQ(walked[i].data, resources[order[i]].data) << i;
    }
    EXPECT_THROW(ResourceSection({{3, 1, {1}}, {3, 1, {2}}}), std::logic_error);
}

} // namespace

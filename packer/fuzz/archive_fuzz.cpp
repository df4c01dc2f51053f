// libFuzzer target for the host side's readers of untrusted files: any
// bytes, as a file that might hold attached data or be a PE image, must be
// refused with a reason or read cleanly, never crash or read out of bounds.
// Covered: the attached-data locator, the frame parser, the record reader,
// the PE reader with the entry check and the certificate table, the reader
// of import, delay-load import and export tables (which the bootstrap
// shares), and the reader of the build constants before the attached data.
#include <cstddef>
#include <cstdint>
#include <string>

#include "packer/error.h"
#include "packer/image/constant_slots.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_file.h"
#include "packer/payload/archive_file.h"

namespace {

class Discard : public RecordVisitor {
  public:
    void record(const std::u16string&, uint64_t) override {}
    void content(const unsigned char*, size_t) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        AttachedData attached = locateAttachedData(data, size, "input");
        inspectFrame(attached.frame(), attached.frameSize);
        readConstantsSection(data, size, attached.offset, attached.length);
        Discard visitor;
        readRecords(attached, visitor);
    } catch (const PackError&) {
    }
    try {
        // The frame parser on its own, over bytes that need not be a frame.
        inspectFrame(data, size);
    } catch (const PackError&) {
    }
    // The PE reader, over bytes that need not be an image.
    entryLibraryProblem(data, size);
    std::string problem;
    if (std::optional<PeImage> image = readPeImage(data, size, &problem)) {
        certificateTable(*image, size);
    }
    readImageLinkage(data, size, &problem);
    // The constants reader at every place a small input offers.
    for (size_t offset = 0; offset <= size && offset < 4096; offset += 16) {
        readConstantsSection(data, size, offset, size - offset);
    }
    return 0;
}

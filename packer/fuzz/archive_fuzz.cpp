// libFuzzer target for the host-side archive reader: any bytes, as a file
// that might hold attached data, must be refused with a PackError or read
// cleanly, never crash or read out of bounds.
#include <cstddef>
#include <cstdint>

#include "packer/payload/archive_file.h"
#include "packer/error.h"

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
        Discard visitor;
        readRecords(attached, visitor);
    } catch (const PackError&) {
    }
    try {
        // The frame parser on its own, over bytes that need not be a frame.
        inspectFrame(data, size);
    } catch (const PackError&) {
    }
    return 0;
}

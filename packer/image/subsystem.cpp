#include "packer/image/subsystem.h"

#include <cstring>

#include "packer/error.h"
#include "packer/little_endian.h"
#include "packer/text.h"

namespace {

constexpr size_t dosHeaderSize = 64;
constexpr size_t peHeaderOffsetField = 0x3C; // in the DOS header
constexpr size_t signatureSize = 4;          // "PE\0\0"
constexpr size_t coffHeaderSize = 20;
constexpr size_t optionalHeaderSizeField = 16; // in the COFF header
// The same place in the optional headers of PE32 and PE32+ images.
constexpr size_t subsystemField = 68;

} // namespace

const char* driverOption(Subsystem subsystem) {
    return subsystem == Subsystem::console ? "-mconsole" : "-mwindows";
}

std::string subsystemName(uint16_t field) {
    switch (static_cast<Subsystem>(field)) {
    case Subsystem::gui:
        return "GUI";
    case Subsystem::console:
        return "console";
    }
    return "other (" + std::to_string(field) + ")";
}

uint16_t imageSubsystem(const unsigned char* bytes, size_t size, const std::string& name) {
    auto refuse = [&](const char* reason) {
        throw PackError(quoteForMessage(name) + " is not a Windows executable (" + reason + ")");
    };
    if (size < dosHeaderSize || bytes[0] != 'M' || bytes[1] != 'Z') {
        refuse("no DOS header");
    }
    size_t signature = load32(bytes + peHeaderOffsetField);
    if (signature > size || size - signature < signatureSize + coffHeaderSize ||
        std::memcmp(bytes + signature, "PE\0\0", signatureSize) != 0) {
        refuse("no PE header");
    }
    const unsigned char* coff = bytes + signature + signatureSize;
    size_t optionalSize = load16(coff + optionalHeaderSizeField);
    size_t optionalStart = signature + signatureSize + coffHeaderSize;
    if (optionalSize < subsystemField + 2 || size - optionalStart < subsystemField + 2) {
        refuse("the optional header ends before the subsystem");
    }
    return load16(bytes + optionalStart + subsystemField);
}

#include "packer/pe/subsystem.h"

#include "packer/error.h"
#include "packer/pe/pe_file.h"
#include "packer/text.h"

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
    std::string problem;
    std::optional<PeImage> image = readPeImage(bytes, size, &problem);
    if (!image) {
        throw PackError(quoteForMessage(name) + " is not a Windows executable: " + problem);
    }
    return image->subsystem;
}

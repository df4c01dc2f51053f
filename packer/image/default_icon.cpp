#include <iterator>
#include <stdexcept>

#include "packer/embedded_files.h"
#include "packer/image/icon.h"

std::vector<IconImage> defaultIconImages() {
    // Scaled and encoded when the packer is built, not at every pack, where
    // they would take most of a small pack's time.
    std::optional<std::vector<IconImage>> images =
        iconFileImages(embeddedDefaultIcon.data, embeddedDefaultIcon.size);
    if (!images || images->size() != std::size(iconSizes)) {
        throw std::logic_error("the default icon built into onefile-pack is damaged");
    }
    return *images;
}

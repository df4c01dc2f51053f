// libFuzzer target for the icon reader: any bytes given to --icon (a PNG,
// another image stb_image reads, or a Windows icon) and any bytes read as
// an icon file the packer wrote. What the reader takes gives the seven
// sizes, each a PNG image, and an icon file of them reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "packer/error.h"
#include "packer/image/icon.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "icon_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    iconFileImages(data, size);
    std::vector<IconImage> images;
    try {
        images = iconImagesFromBytes(data, size, "icon");
    } catch (const PackError&) {
        return 0;
    }
    if (images.size() != std::size(iconSizes)) {
        fail("not one image of each size");
    }
    for (size_t i = 0; i < images.size(); ++i) {
        if (images[i].size != iconSizes[i] || images[i].png.size() < 8 ||
            std::memcmp(images[i].png.data(), "\x89PNG", 4) != 0) {
            fail("an image of the wrong size, or not a PNG");
        }
    }
    const std::vector<unsigned char> file = iconFile(images);
    std::optional<std::vector<IconImage>> back = iconFileImages(file.data(), file.size());
    if (!back || back->size() != images.size()) {
        fail("the icon file does not read back");
    }
    for (size_t i = 0; i < images.size(); ++i) {
        if ((*back)[i].size != images[i].size || (*back)[i].png != images[i].png) {
            fail("the icon file reads back other images");
        }
    }
    return 0;
}

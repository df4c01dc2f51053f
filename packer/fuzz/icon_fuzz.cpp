// libFuzzer target for the icon reader: any bytes given to --icon (a PNG,
// another image stb_image reads, or a Windows icon) and any bytes read as
// an icon file the packer wrote. What the reader takes gives the seven
// sizes, each a PNG image, and an icon file of them reads back the same.
//
// Sources wider or taller than sourceLimit are left out: they take the same
// ways through the reader as smaller ones, but scaling a million pixels
// seven times, which the packer does in a fraction of a second, takes
// longer than a fuzz input may under the sanitizers.
#include <stb_image.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "packer/error.h"
#include "packer/image/icon.h"

namespace {

constexpr int sourceLimit = 512;

// Whether stb reads `bytes` as an image larger than sourceLimit a side.
bool largeImage(const uint8_t* bytes, size_t size) {
    int width = 0, height = 0, channels = 0;
    return stbi_info_from_memory(bytes, static_cast<int>(size), &width, &height, &channels) &&
           (width > sourceLimit || height > sourceLimit);
}

// The same, or a Windows icon one of whose images stb reads so.
bool tooLarge(const uint8_t* bytes, size_t size) {
    if (largeImage(bytes, size)) {
        return true;
    }
    if (size < 6 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1 || bytes[3] != 0) {
        return false;
    }
    const size_t count = bytes[4] | bytes[5] << 8;
    for (size_t i = 0; i < count && 6 + 16 * (i + 1) <= size; ++i) {
        const uint8_t* entry = bytes + 6 + 16 * i;
        const uint64_t length =
            entry[8] | entry[9] << 8 | entry[10] << 16 | uint64_t{entry[11]} << 24;
        const uint64_t offset =
            entry[12] | entry[13] << 8 | entry[14] << 16 | uint64_t{entry[15]} << 24;
        if (offset <= size && length <= size - offset && largeImage(bytes + offset, length)) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "icon_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    iconFileImages(data, size);
    if (size > INT32_MAX || tooLarge(data, size)) {
        return 0;
    }
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

// The product's icon: one source image made into the seven square PNG
// images, 16 to 256 pixels, of the executable's icon group.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

constexpr unsigned iconSizes[] = {16, 24, 32, 48, 64, 128, 256};
constexpr unsigned iconSourceLimit = 4096; // widest or tallest source image taken

struct IconImage {
    unsigned size = 0;              // pixels a side
    std::vector<unsigned char> png; // 32-bit RGBA, PNG-encoded
};

// The seven images from an image file: a PNG (or another format that
// stb_image reads, such as JPEG, BMP or GIF), or a Windows icon whose
// largest image is PNG-encoded. A source that is not square is centred on
// a transparent square. Each size is scaled from the whole source, with
// alpha-weighted filtering in sRGB; a size the source has already is taken
// pixel for pixel. Throws PackError naming `name` when the file cannot be
// read or decoded, or is larger than iconSourceLimit a side.
std::vector<IconImage> iconImagesFromFile(const std::filesystem::path& file);
std::vector<IconImage> iconImagesFromBytes(const unsigned char* bytes, size_t size,
                                           const std::string& name);

// The project's own icon, for builds without --icon: the images of
// resources/icon.png, made when the packer is built (default_icon.cpp).
std::vector<IconImage> defaultIconImages();

// A Windows icon file holding `images` as PNG images, and the images of such
// a file (nothing when it is not one).
std::vector<unsigned char> iconFile(const std::vector<IconImage>& images);
std::optional<std::vector<IconImage>> iconFileImages(const unsigned char* bytes, size_t size);

// The icon group resource for `images` in their order, whose icon
// resources have the identifiers firstId, firstId + 1, ...
std::vector<unsigned char> iconGroup(const std::vector<IconImage>& images, unsigned firstId);

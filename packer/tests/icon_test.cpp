// The icon images the packer makes from a source image: seven square RGBA
// PNGs, scaled with alpha-weighted filtering, non-square sources centred on
// transparency, Windows icons taken by their largest image.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "packer/error.h"
#include "packer/image/icon.h"
#include "archive/tests/test_data.h"
#include "packer/tests/support.h"

namespace {

struct Rgba {
    unsigned char r, g, b, a;
    bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

std::ostream& operator<<(std::ostream& out, const Rgba& p) {
    return out << "(" << int(p.r) << "," << int(p.g) << "," << int(p.b) << "," << int(p.a) << ")";
}

void append(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<unsigned char>*>(context);
    out->insert(out->end(), static_cast<unsigned char*>(data),
                static_cast<unsigned char*>(data) + size);
}

// A PNG of `channels` channels whose pixel (x, y) is `pixel(x, y)`.
std::vector<unsigned char> makePng(int width, int height,
                                   const std::function<Rgba(int, int)>& pixel, int channels = 4) {
    std::vector<unsigned char> pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Rgba p = pixel(x, y);
            const unsigned char all[4] = {p.r, p.g, p.b, p.a};
            pixels.insert(pixels.end(), all, all + channels);
        }
    }
    std::vector<unsigned char> png;
    EXPECT_TRUE(stbi_write_png_to_func(append, &png, width, height, channels, pixels.data(),
                                       width * channels));
    return png;
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<Rgba> pixels;
    Rgba at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Decodes a PNG the packer made; checks it is 8 bits per channel RGBA.
Decoded decodePng(const std::vector<unsigned char>& png) {
    Decoded out;
    EXPECT_GE(png.size(), 33u);
    // IHDR: bit depth 8, colour type 6 (RGBA).
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(png[24], 8);
    EXPECT_EQ(png[25], 6);
    int channels = 0;
    unsigned char* data = stbi_load_from_memory(png.data(), static_cast<int>(png.size()),
                                                &out.width, &out.height, &channels, 4);
    EXPECT_NE(data, nullptr) << stbi_failure_reason();
    if (data != nullptr) {
        out.pixels.resize(static_cast<size_t>(out.width) * out.height);
        std::memcpy(out.pixels.data(), data, out.pixels.size() * 4);
        stbi_image_free(data);
    }
    return out;
}

std::vector<IconImage> imagesOf(const std::vector<unsigned char>& bytes) {
    return iconImagesFromBytes(bytes.data(), bytes.size(), "test.png");
}

std::string refusal(const std::vector<unsigned char>& bytes, const std::string& name) {
    try {
        iconImagesFromBytes(bytes.data(), bytes.size(), name);
    } catch (const PackError& error) {
        return error.what();
    }
    return "(taken)";
}

// A Windows icon file holding `images` (each PNG or other bytes) with
// the sides given.
std::vector<unsigned char>
makeIco(const std::vector<std::pair<int, std::vector<unsigned char>>>& images) {
    std::vector<unsigned char> out = {0, 0, 1, 0, static_cast<unsigned char>(images.size()), 0};
    size_t offset = 6 + 16 * images.size();
    for (const auto& [side, bytes] : images) {
        unsigned char entry[16] = {static_cast<unsigned char>(side % 256),
                                   static_cast<unsigned char>(side % 256),
                                   0,
                                   0,
                                   1,
                                   0,
                                   32,
                                   0};
        for (int i = 0; i < 4; ++i) {
            entry[8 + i] = static_cast<unsigned char>(bytes.size() >> (8 * i));
            entry[12 + i] = static_cast<unsigned char>(offset >> (8 * i));
        }
        out.insert(out.end(), entry, entry + 16);
        offset += bytes.size();
    }
    for (const auto& image : images) {
        out.insert(out.end(), image.second.begin(), image.second.end());
    }
    return out;
}

Rgba opaque(unsigned char r, unsigned char g, unsigned char b) {
    return {r, g, b, 255};
}

TEST(Icon, SevenSquareRgbaPngsFrom16To256SameBytesEachTime) {
    std::vector<unsigned char> source = makePng(256, 256, [](int x, int y) {
        return opaque(static_cast<unsigned char>(x), static_cast<unsigned char>(y), 128);
    });
    std::vector<IconImage> images = imagesOf(source);
    ASSERT_EQ(images.size(), 7u);
    const unsigned sizes[] = {16, 24, 32, 48, 64, 128, 256};
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(images[i].size, sizes[i]);
        Decoded decoded = decodePng(images[i].png);
        EXPECT_EQ(decoded.width, static_cast<int>(sizes[i]));
        EXPECT_EQ(decoded.height, static_cast<int>(sizes[i]));
    }
    std::vector<IconImage> again = imagesOf(source);
    for (size_t i = 0; i < images.size(); ++i) {
        EXPECT_TRUE(images[i].png == again[i].png) << sizes[i];
    }
}

TEST(Icon, ASizeTheSourceHasIsTakenPixelForPixel) {
    for (int side : {256, 48}) {
        std::string noisy = noiseBytes(static_cast<size_t>(side) * side * 4, side);
        auto pixel = [&](int x, int y) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(noisy.data()) +
                                     (static_cast<size_t>(y) * side + x) * 4;
            return Rgba{p[0], p[1], p[2], p[3]};
        };
        std::vector<IconImage> images = imagesOf(makePng(side, side, pixel));
        for (const IconImage& image : images) {
            if (static_cast<int>(image.size) != side) {
                continue;
            }
            Decoded decoded = decodePng(image.png);
            ASSERT_EQ(decoded.width, side);
            int differences = 0;
            for (int y = 0; y < side; ++y) {
                for (int x = 0; x < side; ++x) {
                    differences += !(decoded.at(x, y) == pixel(x, y));
                }
            }
            EXPECT_EQ(differences, 0) << side;
        }
    }
}

TEST(Icon, ScalingWeighsColoursByTheirAlpha) {
    // Opaque red beside fully transparent green: the edge pixels of every
    // smaller size must stay red, only less opaque, never a red-green mix.
    std::vector<unsigned char> source = makePng(256, 256, [](int x, int) {
        return x < 128 ? opaque(255, 0, 0) : Rgba{0, 255, 0, 0};
    });
    for (const IconImage& image : imagesOf(source)) {
        Decoded decoded = decodePng(image.png);
        int partial = 0;
        for (int y = 0; y < decoded.height; ++y) {
            for (int x = 0; x < decoded.width; ++x) {
                Rgba p = decoded.at(x, y);
                if (p.a == 0) {
                    continue;
                }
                partial += p.a < 255;
                ASSERT_GE(p.r, 250) << image.size << " at " << x << "," << y << " " << p;
                ASSERT_LE(p.g, 2) << image.size << " at " << x << "," << y << " " << p;
            }
        }
        EXPECT_EQ(decoded.at(0, 0), opaque(255, 0, 0)) << image.size;
        EXPECT_EQ(decoded.at(decoded.width - 1, 0).a, 0) << image.size;
        if (image.size < 256) {
            EXPECT_GT(partial, 0) << image.size << ": the edge was filtered";
        }
    }
}

TEST(Icon, NonSquareSourcesAreCentredOnATransparentSquare) {
    // 200x100: bands of 50 source rows above and below, 64 of 256 rows.
    std::vector<IconImage> wide =
        imagesOf(makePng(200, 100, [](int, int) { return opaque(0, 0, 255); }));
    Decoded big = decodePng(wide.back().png);
    ASSERT_EQ(big.width, 256);
    EXPECT_EQ(big.at(128, 10).a, 0);
    EXPECT_EQ(big.at(128, 245).a, 0);
    EXPECT_EQ(big.at(128, 128), opaque(0, 0, 255));
    EXPECT_EQ(big.at(2, 128), opaque(0, 0, 255));
    EXPECT_EQ(big.at(253, 128), opaque(0, 0, 255));

    std::vector<IconImage> tall =
        imagesOf(makePng(100, 200, [](int, int) { return opaque(0, 255, 0); }));
    Decoded small = decodePng(tall.front().png);
    ASSERT_EQ(small.width, 16);
    EXPECT_EQ(small.at(0, 8).a, 0);
    EXPECT_EQ(small.at(15, 8).a, 0);
    EXPECT_EQ(small.at(8, 0), opaque(0, 255, 0));
    EXPECT_EQ(small.at(8, 15), opaque(0, 255, 0));
}

TEST(Icon, GreySourcesBecomeRgba) {
    std::vector<IconImage> images = imagesOf(makePng(
        64, 64, [](int, int) { return opaque(90, 0, 0); }, 1));
    Decoded decoded = decodePng(images[4].png);
    ASSERT_EQ(decoded.width, 64);
    EXPECT_EQ(decoded.at(30, 30), opaque(90, 90, 90));
}

TEST(Icon, AWindowsIconGivesItsLargestImage) {
    std::vector<unsigned char> red = makePng(32, 32, [](int, int) { return opaque(255, 0, 0); });
    std::vector<unsigned char> blue = makePng(256, 256, [](int, int) { return opaque(0, 0, 255); });
    for (bool largestFirst : {false, true}) {
        std::vector<unsigned char> ico =
            largestFirst ? makeIco({{256, blue}, {32, red}}) : makeIco({{32, red}, {256, blue}});
        std::vector<IconImage> images = imagesOf(ico);
        ASSERT_EQ(images.size(), 7u);
        EXPECT_EQ(decodePng(images[0].png).at(8, 8), opaque(0, 0, 255));
        EXPECT_EQ(decodePng(images[6].png).at(100, 100), opaque(0, 0, 255));
    }
}

TEST(Icon, TheBuiltInDefaultImagesAreThoseOfTheProjectsIconAndAnIconFileKeepsThem) {
    const std::vector<IconImage> made =
        iconImagesFromFile(std::string(ONEFILE_SOURCE_DIR) + "/resources/icon.png");
    const std::vector<IconImage> builtIn = defaultIconImages();
    ASSERT_EQ(builtIn.size(), made.size());
    for (size_t i = 0; i < made.size(); ++i) {
        EXPECT_EQ(builtIn[i].size, made[i].size);
        EXPECT_TRUE(builtIn[i].png == made[i].png) << made[i].size;
    }
    std::vector<unsigned char> file = iconFile(made);
    std::optional<std::vector<IconImage>> back = iconFileImages(file.data(), file.size());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), made.size());
    for (size_t i = 0; i < made.size(); ++i) {
        EXPECT_EQ((*back)[i].size, made[i].size);
        EXPECT_TRUE((*back)[i].png == made[i].png) << made[i].size;
    }
    // As a source, the file gives its largest image, scaled as before.
    EXPECT_TRUE(imagesOf(file)[3].png == made[3].png);
    file.pop_back();
    EXPECT_FALSE(iconFileImages(file.data(), file.size()));
}

TEST(Icon, AJpegIsTakenUnlessAHuffmanTableHoldsMoreCodesThanFit) {
    std::vector<unsigned char> pixels(8 * 8 * 3, 90);
    std::vector<unsigned char> jpeg;
    ASSERT_TRUE(stbi_write_jpg_to_func(append, &jpeg, 8, 8, 3, pixels.data(), 90));
    EXPECT_EQ(imagesOf(jpeg).size(), 7u);

    // A table of seventeen codes of each length, 272 in all, before the
    // encoder's own: a reader that trusts the counts writes past its table.
    std::vector<unsigned char> table = {0xFF, 0xC4, 0x01, 0x23, 0x00};
    table.insert(table.end(), 16, 17);
    table.insert(table.end(), 272, 0);
    std::vector<unsigned char> damaged = jpeg;
    damaged.insert(damaged.begin() + 2, table.begin(), table.end());
    EXPECT_NE(refusal(damaged, "a.jpg").find("'a.jpg' is a damaged JPEG"), std::string::npos)
        << refusal(damaged, "a.jpg");

    // As many codes as fit, 256 (255 of eight bits and one of nine): taken.
    std::vector<unsigned char> full = {0xFF, 0xC4, 0x01, 0x13, 0x00};
    full.insert(full.end(), 7, 0);
    full.insert(full.end(), {255, 1});
    full.insert(full.end(), 7, 0);
    full.insert(full.end(), 256, 0);
    std::vector<unsigned char> fitting = jpeg;
    fitting.insert(fitting.begin() + 2, full.begin(), full.end());
    EXPECT_EQ(imagesOf(fitting).size(), 7u);
}

TEST(Icon, RefusalsNameTheSource) {
    std::vector<unsigned char> png = makePng(32, 32, [](int, int) { return opaque(1, 2, 3); });
    std::string grain = noiseBytes(64 * 64 * 4, 5);
    std::vector<unsigned char> noisyPng = makePng(64, 64, [&](int x, int y) {
        const char* p = grain.data() + (y * 64 + x) * 4;
        return Rgba{static_cast<unsigned char>(p[0]), static_cast<unsigned char>(p[1]),
                    static_cast<unsigned char>(p[2]), 255};
    });
    std::vector<unsigned char> bitmap(40 + 32 * 32 * 4 * 2, 0); // a classic icon image
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        const char* problem;
    };
    std::vector<unsigned char> cutIco = makeIco({{32, png}});
    cutIco.resize(10);
    std::vector<unsigned char> shortIco = makeIco({{32, png}});
    shortIco.resize(shortIco.size() - 1);
    std::vector<Case> cases = {
        {"not an image", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, "cannot read"},
        {"empty", {}, "cannot read"},
        {"a PNG cut short", std::vector<unsigned char>(noisyPng.begin(), noisyPng.begin() + 1000),
         "decode"},
        {"an icon whose largest image is a bitmap", makeIco({{32, png}, {48, bitmap}}),
         "not PNG-encoded"},
        {"an icon whose directory is cut", cutIco, "damaged"},
        {"an icon whose image runs past its end", shortIco, "damaged"},
        {"an image wider than 4096", makePng(4097, 1, [](int, int) { return opaque(0, 0, 0); }),
         "at most 4096"},
    };
    for (const Case& c : cases) {
        std::string message = refusal(c.bytes, "some/icon.file");
        EXPECT_NE(message.find("'some/icon.file'"), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(c.problem), std::string::npos) << c.what << ": " << message;
    }
}

} // namespace

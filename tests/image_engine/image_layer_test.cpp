// Loading, resampling and writing images: the nine texture formats, hostile files, orientation,
// straight alpha, the Lanczos resampler and the shared pipeline's fit, write and metadata rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <stop_token>
#include <random>

#include "base/cancellation.h"
#include "image_engine/channel_packer.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/image_loader.h"
#include "image_engine/lanczos_resampler.h"
#include "image_engine/sprite_sheet_compiler.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::uint8_t> dropAlpha(const PackedTexture& texture) {
    std::vector<std::uint8_t> rgb;
    for (std::size_t i = 0; i < texture.rgba.size(); i += 4) {
        rgb.insert(rgb.end(), {texture.rgba[i], texture.rgba[i + 1], texture.rgba[i + 2]});
    }
    return rgb;
}

PackedTexture gradient(int width, int height) {
    PackedTexture texture;
    texture.width = width;
    texture.height = height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            texture.rgba.push_back(static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1)));
            texture.rgba.push_back(static_cast<std::uint8_t>(y * 255 / std::max(1, height - 1)));
            texture.rgba.push_back(static_cast<std::uint8_t>((x + y) * 2));
            texture.rgba.push_back(255);
        }
    }
    return texture;
}

int maxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    EXPECT_EQ(a.size(), b.size());
    int worst = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    }
    return worst;
}

// Writes a fixture of the extension: RGBA where the format keeps alpha, RGB elsewhere.
struct FormatCase {
    std::string extension;
    bool keepsAlpha;
    int tolerance;  // lossy formats
};

const std::vector<FormatCase>& formatCases() {
    static const std::vector<FormatCase> cases = {
        {"png", true, 0}, {"tga", true, 0},  {"tif", true, 0},  {"tiff", true, 0}, {"jpg", false, 12},
        {"jpeg", false, 12}, {"exr", true, 0}, {"bmp", false, 0}, {"psd", false, 0},
    };
    return cases;
}

fs::path writeFixture(const TempDir& dir, const std::string& name, const FormatCase& format,
                      const PackedTexture& texture) {
    const fs::path file = dir / (name + "." + format.extension);
    if (format.extension == "psd") {
        test::writePSD(file, texture);
    } else if (format.keepsAlpha) {
        test::writeImage(file, texture.width, texture.height, 4, texture.rgba);
    } else {
        test::writeImage(file, texture.width, texture.height, 3, dropAlpha(texture));
    }
    return file;
}

// ---- The nine extensions ---------------------------------------------------------------------

TEST(ImageFormats, EveryTextureExtensionDecodesToTheStoredPixels) {
    TempDir dir;
    for (const FormatCase& format : formatCases()) {
        SCOPED_TRACE(format.extension);
        // Lossy formats get a smooth image; the others noise with transparent pixels.
        PackedTexture texture = format.tolerance > 0 ? gradient(48, 40) : test::noiseTexture(9, 7, 5, format.keepsAlpha);
        const fs::path file = writeFixture(dir, "fixture", format, texture);
        EXPECT_EQ(ImageLoader::readSize(file), (PixelSize{texture.width, texture.height}));
        EXPECT_EQ(ChannelPacker::pixelSize(file), (PixelSize{texture.width, texture.height}));
        const PackedTexture loaded = ImageLoader::loadRGBA8(file);
        ASSERT_EQ(loaded.width, texture.width);
        ASSERT_EQ(loaded.height, texture.height);
        if (format.keepsAlpha) {
            EXPECT_EQ(maxDifference(loaded.rgba, texture.rgba), 0);
        } else {
            EXPECT_LE(maxDifference(dropAlpha(loaded), dropAlpha(texture)), format.tolerance);
            for (std::size_t i = 3; i < loaded.rgba.size(); i += 4) {
                ASSERT_EQ(loaded.rgba[i], 255);
            }
        }
    }
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void putBE32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}
void putLE32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
std::size_t find(const std::vector<std::uint8_t>& bytes, const std::string& needle, std::size_t from = 0) {
    const auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), needle.begin(), needle.end());
    return it == bytes.end() ? std::string::npos : static_cast<std::size_t>(it - bytes.begin());
}

// Rewrites the stored pixel size of a valid file to something enormous.
void inflateHeader(std::vector<std::uint8_t>& bytes, const std::string& extension) {
    if (extension == "png") {
        putBE32(bytes, 16, 100000);
        putBE32(bytes, 20, 100000);
        putBE32(bytes, 29, crc32(bytes.data() + 12, 17));
    } else if (extension == "tga") {
        bytes[12] = bytes[13] = bytes[14] = bytes[15] = 0xFF;
    } else if (extension == "bmp") {
        putLE32(bytes, 18, 100000);
        putLE32(bytes, 22, 100000);
    } else if (extension == "psd") {
        putBE32(bytes, 14, 30000);
        putBE32(bytes, 18, 30000);
    } else if (extension == "jpg" || extension == "jpeg") {
        for (std::size_t i = 2; i + 9 < bytes.size(); ++i) {
            if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
                // 20000 x 20000: within what the codec accepts, beyond our own limits.
                bytes[i + 5] = bytes[i + 7] = 0x4E;
                bytes[i + 6] = bytes[i + 8] = 0x20;
                break;
            }
        }
    } else if (extension == "exr") {
        const std::size_t at = find(bytes, std::string("dataWindow\0box2i\0", 17));
        ASSERT_NE(at, std::string::npos);
        putLE32(bytes, at + 17 + 4 + 8, 99999);   // xMax
        putLE32(bytes, at + 17 + 4 + 12, 99999);  // yMax
    } else {  // TIFF: ImageWidth (256) and ImageLength (257) in the first directory
        const bool little = bytes[0] == 'I';
        auto read16 = [&](std::size_t at) {
            return little ? unsigned(bytes[at] | bytes[at + 1] << 8) : unsigned(bytes[at] << 8 | bytes[at + 1]);
        };
        auto read32 = [&](std::size_t at) {
            return little ? (read16(at) | read16(at + 2) << 16) : (read16(at) << 16 | read16(at + 2));
        };
        const std::size_t ifd = read32(4);
        const unsigned entries = read16(ifd);
        for (unsigned e = 0; e < entries; ++e) {
            const std::size_t entry = ifd + 2 + e * 12;
            const unsigned tag = read16(entry);
            if (tag == 256 || tag == 257) {
                const unsigned type = read16(entry + 2);
                const std::size_t value = entry + 8;
                if (type == 3) {  // SHORT
                    bytes[value] = bytes[value + 1] = 0xFF;
                } else if (little) {
                    putLE32(bytes, value, 100000);
                } else {
                    putBE32(bytes, value, 100000);
                }
            }
        }
    }
}

TEST(ImageFormats, HostileFilesOfEveryExtensionGiveAClearError) {
    TempDir dir;
    std::mt19937 random(11);
    for (const FormatCase& format : formatCases()) {
        SCOPED_TRACE(format.extension);
        const fs::path good = writeFixture(dir, "good", format, test::noiseTexture(64, 64, 3, format.keepsAlpha));
        const std::vector<std::uint8_t> valid = test::readBytes(good);

        std::vector<std::uint8_t> noise(2048);
        for (auto& b : noise) b = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> truncated(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2));
        std::vector<std::uint8_t> headerOnly(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(valid.size(), 40)));
        std::vector<std::uint8_t> bomb = valid;
        inflateHeader(bomb, format.extension);

        const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
            {"empty", {}}, {"random", noise}, {"truncated", truncated}, {"headerOnly", headerOnly}, {"bomb", bomb}};
        for (const auto& [kind, bytes] : cases) {
            SCOPED_TRACE(kind);
            const fs::path file = dir / (kind + "." + format.extension);
            test::writeBytes(file, bytes);
            try {
                (void)ImageLoader::loadRGBA8(file);
                ADD_FAILURE() << "loaded without error";
            } catch (const ImageLoadError& error) {
                EXPECT_NE(std::string(error.what()).find(file.filename().string()), std::string::npos) << error.what();
                EXPECT_EQ(error.path(), file);
                // The EXR and BMP decoders refuse these headers themselves before we see a size.
                if (kind == "bomb" && format.extension != "exr" && format.extension != "bmp") {
                    EXPECT_NE(std::string(error.what()).find("too large"), std::string::npos) << error.what();
                }
            }
            EXPECT_FALSE(CoreImagePipeline::shared().loadImage(file).has_value());
            EXPECT_FALSE(ChannelPacker::loadGrayscale(file, 4, 4).has_value());
        }
    }
}

TEST(ImageFormats, MissingFilesAndFoldersAreErrorsNamingThePath) {
    TempDir dir;
    EXPECT_THROW((void)ImageLoader::loadRGBA8(dir / "absent.png"), ImageLoadError);
    EXPECT_THROW((void)ImageLoader::readSize(dir.path()), ImageLoadError);
    EXPECT_FALSE(ChannelPacker::pixelSize(dir / "absent.png").has_value());
}

// ---- Orientation and alpha ---------------------------------------------------------------------

TEST(ImageLoading, OrientationIsAppliedForPhotosAndNotForTextureMaps) {
    TempDir dir;
    // Stored 3 x 2: row 0 = 10 20 30, row 1 = 40 50 60 (grey values in R).
    const std::vector<std::uint8_t> stored = {10, 20, 30, 40, 50, 60};
    for (const std::string extension : {"tif", "jpg"}) {
        SCOPED_TRACE(extension);
        const fs::path file = dir / ("turned." + extension);
        std::vector<std::uint8_t> rgb;
        for (const std::uint8_t v : stored) rgb.insert(rgb.end(), {v, v, v});
        test::writeImage(file, 3, 2, 3, rgb, {{"Orientation", 6}});

        const PackedTexture upright = ImageLoader::loadRGBA8(file);
        ASSERT_EQ(upright.width, 2);
        ASSERT_EQ(upright.height, 3);
        // Orientation 6 shows the stored left column as the top row, read bottom to top.
        const int tolerance = extension == std::string("jpg") ? 6 : 0;
        EXPECT_NEAR(upright.rgba[0], 40, tolerance);
        EXPECT_NEAR(upright.rgba[4], 10, tolerance);
        EXPECT_NEAR(upright.rgba[(2 * 2 + 1) * 4], 30, tolerance);

        EXPECT_EQ(ImageLoader::readSize(file), (PixelSize{3, 2}));
        EXPECT_EQ(ImageLoader::load(file, false).pixels.width, 3);
    }
}

TEST(ImageLoading, ColourUnderTransparentPixelsSurvivesReadingAndWriting) {
    TempDir dir;
    const PackedTexture texture = test::noiseTexture(16, 8, 9, true);
    PackedTexture hidden = texture;
    hidden.rgba[3] = 0;  // first pixel fully transparent but coloured
    for (const std::string extension : {"png", "tga", "tif"}) {
        const fs::path file = dir / ("alpha." + extension);
        test::writeImage(file, hidden.width, hidden.height, 4, hidden.rgba);
        EXPECT_EQ(ImageLoader::loadRGBA8(file), hidden) << extension;
    }
    const fs::path written = dir / "written.png";
    PackedTexture::writePNG(hidden, written);
    EXPECT_EQ(ImageLoader::loadRGBA8(written), hidden);
    const test::RawImage raw = test::readRaw(written);
    EXPECT_EQ(raw.channels, 4);
    EXPECT_EQ(raw.bytes, hidden.rgba);
}

TEST(ImageLoading, GreyFilesAreSpreadToRGBAndMarkedMonochrome) {
    TempDir dir;
    const auto plane = test::noisePlane(5, 4, 2);
    test::writeGrey(dir / "grey.png", 5, 4, plane);
    const ImageLoader::Decoded decoded = ImageLoader::load(dir / "grey.png");
    EXPECT_TRUE(decoded.monochrome);
    for (std::size_t i = 0; i < plane.size(); ++i) {
        ASSERT_EQ(decoded.pixels.rgba[i * 4], plane[i]);
        ASSERT_EQ(decoded.pixels.rgba[i * 4 + 2], plane[i]);
        ASSERT_EQ(decoded.pixels.rgba[i * 4 + 3], 255);
    }
    // Grey with alpha: the grey spreads, the alpha stays, even over transparent pixels.
    std::vector<std::uint8_t> greyAlpha;
    for (std::size_t i = 0; i < plane.size(); ++i) greyAlpha.insert(greyAlpha.end(), {plane[i], static_cast<std::uint8_t>(i * 13)});
    test::writeImage(dir / "grey_alpha.png", 5, 4, 2, greyAlpha);
    const ImageLoader::Decoded withAlpha = ImageLoader::load(dir / "grey_alpha.png");
    EXPECT_TRUE(withAlpha.monochrome);
    for (std::size_t i = 0; i < plane.size(); ++i) {
        ASSERT_EQ(withAlpha.pixels.rgba[i * 4 + 1], plane[i]);
        ASSERT_EQ(withAlpha.pixels.rgba[i * 4 + 3], static_cast<std::uint8_t>(i * 13));
    }
    test::writeImage(dir / "rgb.png", 5, 4, 3, std::vector<std::uint8_t>(60, 7));
    EXPECT_FALSE(ImageLoader::load(dir / "rgb.png").monochrome);
}

// ---- Lanczos resampler ---------------------------------------------------------------------------

TEST(LanczosResampler, UniformImagesStayUniformWithoutFringes) {
    const PackedTexture solid = test::solidTexture(37, 23, 200, 30, 90, 140);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{18, 11}, {1, 1}, {100, 3}, {37, 60}, {5, 23}}) {
        const PackedTexture out = LanczosResampler::resample(solid, w, h);
        EXPECT_EQ(out, test::solidTexture(w, h, 200, 30, 90, 140)) << w << "x" << h;
    }
}

TEST(LanczosResampler, ChannelsAreFilteredIndependentlyInStraightAlpha) {
    // Red everywhere, alpha noise with zeros: the colour must come through untouched.
    PackedTexture texture = test::solidTexture(40, 40, 255, 0, 0);
    std::mt19937 random(4);
    for (std::size_t i = 3; i < texture.rgba.size(); i += 4) {
        texture.rgba[i] = (random() % 3 == 0) ? 0 : static_cast<std::uint8_t>(random());
    }
    const PackedTexture out = LanczosResampler::resample(texture, 13, 17);
    for (std::size_t i = 0; i < out.rgba.size(); i += 4) {
        ASSERT_EQ(out.rgba[i], 255);
        ASSERT_EQ(out.rgba[i + 1], 0);
        ASSERT_EQ(out.rgba[i + 2], 0);
    }
}

TEST(LanczosResampler, SameSizeIsIdentityAndBadSizesAreRefused) {
    const PackedTexture noise = test::noiseTexture(31, 17, 8, true);
    EXPECT_EQ(LanczosResampler::resample(noise, 31, 17), noise);
    EXPECT_THROW(LanczosResampler::resample(noise, 0, 5), std::invalid_argument);
    EXPECT_THROW(LanczosResampler::resample(noise, 5, -1), std::invalid_argument);
    EXPECT_THROW(LanczosResampler::resample(noise, 20000, 5), std::length_error);
    EXPECT_THROW(LanczosResampler::resample(PackedTexture{}, 5, 5), std::invalid_argument);
}

// The stages that run for seconds on large textures give up on a stop, whichever the stage.
TEST(LanczosResampler, LongTextureStagesStopWhenAsked) {
    TempDir dir;
    test::writeGrey(dir / "Rock_AO.png", 64, 64, test::noisePlane(64, 64, 1));
    test::writeGrey(dir / "Rock_Roughness.png", 64, 64, test::noisePlane(64, 64, 2));
    test::writeImage(dir / "walk_01.png", 16, 16, 4, test::noiseTexture(16, 16, 3).rgba);
    ChannelPacker::ChannelSources set;
    set.maps = {{ChannelPacker::Channel::ambientOcclusion, dir / "Rock_AO.png"},
                {ChannelPacker::Channel::roughness, dir / "Rock_Roughness.png"}};
    std::stop_source quit;
    quit.request_stop();
    const std::stop_token stop = quit.get_token();
    const PackedTexture large = test::noiseTexture(1024, 1024, 4);
    const std::vector<std::pair<const char*, std::function<void()>>> stages{
        {"resample", [&] { LanczosResampler::resample(large, 700, 300, stop); }},
        {"pack", [&] { ChannelPacker().pack(set, ChannelPacker::EngineProfile::unrealORM, 64, 64, stop); }},
        {"flip", [&] { ChannelPacker().flipNormalGreen(dir / "Rock_AO.png", 32, stop); }},
        {"sprite sheet",
         [&] { SpriteSheetCompiler().compileAtlas({dir / "walk_01.png"}, SpriteSheetCompiler::Options{}, true, {}, stop); }},
    };
    for (const auto& [name, stage] : stages) {
        EXPECT_THROW(stage(), OperationCancelled) << name;
    }
}

TEST(LanczosResampler, AgreesWithTheOracleOnSmoothImages) {
    TempDir dir;
    // A smooth colour field, downscaled and upscaled; the oracle is the command-line tool.
    PackedTexture texture;
    texture.width = 240;
    texture.height = 160;
    for (int y = 0; y < texture.height; ++y) {
        for (int x = 0; x < texture.width; ++x) {
            texture.rgba.push_back(static_cast<std::uint8_t>(127.5 + 120 * std::sin(x * 0.05) * std::cos(y * 0.03)));
            texture.rgba.push_back(static_cast<std::uint8_t>(x));
            texture.rgba.push_back(static_cast<std::uint8_t>(127.5 + 100 * std::cos((x + y) * 0.04)));
            texture.rgba.push_back(static_cast<std::uint8_t>(255 - y));
        }
    }
    const fs::path source = dir / "smooth.png";
    PackedTexture::writePNG(texture, source);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{120, 80}, {97, 61}, {480, 200}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const fs::path expected = dir / "oracle.png";
        ASSERT_EQ(test::run("oiiotool --iconfig oiio:UnassociatedAlpha 1 -i " + test::quote(source) +
                            " --resize:filter=lanczos3 " + std::to_string(w) + "x" + std::to_string(h) +
                            " --attrib oiio:UnassociatedAlpha 1 -d uint8 -o " + test::quote(expected)),
                  0);
        const test::RawImage oracle = test::readRaw(expected);
        const PackedTexture ours = LanczosResampler::resample(texture, w, h);
        // Interior pixels: edge handling differs between resamplers by design.
        int worst = 0;
        for (int y = 4; y < h - 4; ++y) {
            for (int x = 4; x < w - 4; ++x) {
                for (int c = 0; c < 4; ++c) {
                    const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4 + static_cast<std::size_t>(c);
                    worst = std::max(worst, std::abs(int{ours.rgba[at]} - int{oracle.bytes[at]}));
                }
            }
        }
        EXPECT_LE(worst, 2);
    }
}

// ---- Shared pipeline ------------------------------------------------------------------------------

PipelineImage imageOf(int width, int height) {
    return PipelineImage{test::solidTexture(width, height, 50, 100, 150), {}};
}

TEST(CoreImagePipeline, FittingReachesTheLimitExactlyAndRoundsHalvesAway) {
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    struct Case {
        int width, height;
        double limit;
        int expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {4000, 3000, 2048, 2048, 1536},
        {2048, 1000, 2048, 2048, 1000},   // exactly at the limit: unchanged
        {1122, 561, 1024, 1024, 512},     // the limit itself, never one short
        {1122, 600, 1024, 1024, 548},     // 547.58 rounds up
        {2001, 3, 1000.5, 1001, 2},       // 1000.5 rounds away from zero
        {300, 3000, 1000, 100, 1000},
        {5000, 1, 100, 100, 1},           // never below one pixel
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const PipelineImage out = pipeline.scaledToFit(imageOf(c.width, c.height), c.limit);
        EXPECT_EQ(out.width(), c.expectedWidth);
        EXPECT_EQ(out.height(), c.expectedHeight);
    }
    const PipelineImage fits = imageOf(20, 10);
    EXPECT_EQ(pipeline.scaledToFit(fits, 20), fits);
    for (const double bad : {0.0, -5.0, std::nan(""), static_cast<double>(INFINITY)}) {
        EXPECT_THROW(pipeline.scaledToFit(fits, bad), std::invalid_argument) << bad;
    }
}

TEST(CoreImagePipeline, WriteChoosesTheFormatByExtensionAndRefusesOthers) {
    TempDir dir;
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    const PipelineImage image{test::noiseTexture(24, 16, 1), {}};
    struct Case {
        std::string name;
        std::string magic;
        std::size_t offset;
    };
    const Case cases[] = {
        {"photo.PNG", "\x89PNG", 0}, {"photo.png", "\x89PNG", 0}, {"photo.TIF", "II*", 0},
        {"photo.tiff", "II*", 0},    {"photo.jpg", "\xFF\xD8\xFF", 0}, {"photo.JPEG", "\xFF\xD8\xFF", 0},
        {"photo.heic", "ftyp", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / "deep" / "nested" / c.name;
        pipeline.write(image, file, 0.92);
        const auto bytes = test::readBytes(file);
        ASSERT_GE(bytes.size(), c.offset + c.magic.size());
        EXPECT_EQ(std::memcmp(bytes.data() + c.offset, c.magic.data(), c.magic.size()), 0);
        const PackedTexture back = ImageLoader::loadRGBA8(file);
        EXPECT_EQ(back.width, 24);
        if (c.name.find("PNG") != std::string::npos || c.name.find("png") != std::string::npos ||
            c.name.find("TIF") != std::string::npos || c.name.find("tif") != std::string::npos) {
            EXPECT_EQ(back, image.pixels);
        }
    }
    for (const std::string name : {"photo.webp", "photo", "photo.gif"}) {
        EXPECT_THROW(pipeline.write(image, dir / name, 0.9), std::invalid_argument) << name;
        EXPECT_FALSE(fs::exists(dir / name));
    }
    // Nothing but the outputs is left in the folder: no temporary files.
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, std::size(cases));
}

TEST(CoreImagePipeline, MetadataIsWrittenUprightAndWithoutStaleSizesOrOptionalGPS) {
    TempDir dir;
    const fs::path source = dir / "shot.jpg";
    std::vector<std::uint8_t> rgb(6 * 4 * 3, 90);
    test::writeImage(source, 6, 4, 3, rgb);
    ASSERT_EQ(test::run("exiftool -overwrite_original -Orientation#=6 -XMP-tiff:Orientation#=6 "
                        "-ExifIFD:ExifImageWidth=6 -ExifIFD:ExifImageHeight=4 -GPSLatitude=47.5 "
                        "-GPSLatitudeRef=N -Make=Kadrel " + test::quote(source)),
              0);
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    const auto photo = pipeline.loadImage(source);
    ASSERT_TRUE(photo.has_value());
    EXPECT_EQ(photo->width(), 4);  // turned upright
    EXPECT_EQ(photo->properties.orientation(), 6);
    EXPECT_TRUE(photo->properties.hasGPS());

    const fs::path kept = dir / "out" / "kept.jpg";
    pipeline.write(*photo, kept, 0.98);
    const fs::path stripped = dir / "out" / "stripped.jpg";
    pipeline.write(*photo, stripped, 0.98, photo->properties.withoutGPS());
    for (const fs::path& file : {kept, stripped}) {
        SCOPED_TRACE(file.filename().string());
        const std::string tags = test::capture("exiftool -s -s -n -Orientation -XMP-tiff:Orientation "
                                               "-ExifImageWidth -Make -GPSLatitude " + test::quote(file));
        EXPECT_NE(tags.find("Orientation: 1"), std::string::npos) << tags;
        EXPECT_EQ(tags.find("Orientation: 6"), std::string::npos) << tags;
        EXPECT_EQ(tags.find("ExifImageWidth"), std::string::npos) << tags;
        EXPECT_NE(tags.find("Make: Kadrel"), std::string::npos) << tags;
        EXPECT_EQ(tags.find("GPSLatitude") != std::string::npos, file == kept) << tags;
        const auto again = pipeline.loadImage(file);
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->width(), 4);  // not turned a second time
        EXPECT_EQ(again->height(), 6);
    }

    const auto jpeg = pipeline.jpegData(*photo, 0.8);
    ASSERT_TRUE(jpeg.has_value());
    const fs::path encoded = dir / "memory.jpg";
    test::writeBytes(encoded, *jpeg);
    const std::string tags = test::capture("exiftool -s -s -n -Orientation -Make " + test::quote(encoded));
    EXPECT_NE(tags.find("Orientation: 1"), std::string::npos) << tags;
    EXPECT_NE(tags.find("Make: Kadrel"), std::string::npos) << tags;
    EXPECT_EQ(ImageLoader::loadRGBA8(encoded).width, 4);
}

TEST(CoreImagePipeline, UnreadableFilesYieldNothing) {
    TempDir dir;
    const fs::path text = dir.write("notes.png", "just some words, not an image");
    EXPECT_FALSE(CoreImagePipeline::shared().loadImage(text).has_value());
    EXPECT_FALSE(CoreImagePipeline::shared().loadImage(dir / "missing.jpg").has_value());
}

}  // namespace
}  // namespace morvale

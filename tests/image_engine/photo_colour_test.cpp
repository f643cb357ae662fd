// Photos with an embedded profile come out in sRGB: our conversion against ImageMagick's
// colour-managed one, as CIEDE2000, for the profiles listing photos arrive in.
#include <gtest/gtest.h>

#include <lcms2.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "image_engine/core_image_pipeline.h"
#include "image_engine/image_loader.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

const fs::path kProfiles = "/usr/share/color/icc/ghostscript";

// Display P3: the P3 primaries with the sRGB white and tone curve, as phones tag their photos.
void writeDisplayP3(const fs::path& file) {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    const double srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    ASSERT_NE(profile, nullptr);
    EXPECT_TRUE(cmsSaveProfileToFile(profile, file.c_str()));
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
}

// Saturated hues across the lightness range, where a wrong space shows most.
PackedTexture colourChart() {
    PackedTexture chart{96, 64, std::vector<std::uint8_t>(96 * 64 * 4, 255)};
    for (int y = 0; y < chart.height; ++y) {
        for (int x = 0; x < chart.width; ++x) {
            const double hue = x / 96.0 * 6.0;
            const double light = 0.15 + 0.8 * y / 63.0;
            std::uint8_t* px = chart.rgba.data() + (y * chart.width + x) * 4;
            for (int c = 0; c < 3; ++c) {
                const double k = std::fmod(hue + 4.0 - 2.0 * c + 6.0, 6.0);
                const double v = std::clamp(std::min(k, 4.0 - k), 0.0, 1.0);
                px[c] = static_cast<std::uint8_t>(std::lround(255.0 * (light * (0.25 + 0.75 * v))));
            }
        }
    }
    return chart;
}

double meanDeltaE2000(const PackedTexture& a, const PackedTexture& b) {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGBA_8, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    const std::size_t count = a.rgba.size() / 4;
    std::vector<cmsCIELab> labA(count), labB(count);
    cmsDoTransform(toLab, a.rgba.data(), labA.data(), static_cast<cmsUInt32Number>(count));
    cmsDoTransform(toLab, b.rgba.data(), labB.data(), static_cast<cmsUInt32Number>(count));
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += cmsCIE2000DeltaE(&labA[i], &labB[i], 1, 1, 1);
    return sum / static_cast<double>(count);
}

TEST(PhotoColour, ProfiledPhotosComeOutInSRGB) {
    test::TempDir dir;
    writeDisplayP3(dir / "DisplayP3.icc");
    const fs::path chart = dir / "chart.png";
    CoreImagePipeline::shared().write(PipelineImage{colourChart(), {}}, chart, 1.0);
    const fs::path srgb = kProfiles / "srgb.icc";
    ASSERT_TRUE(fs::exists(srgb)) << "libgs-common is not installed";

    // A photo already in sRGB (tagged so, as our own outputs are) keeps the decoder's pixels, on
    // the photo path's own JPEG reader too, orientation included.
    const fs::path tagged = dir / "tagged.jpg";
    CoreImagePipeline::shared().write(PipelineImage{colourChart(), {}}, tagged, 0.9);
    ASSERT_EQ(test::run("exiftool -q -q -overwrite_original -Orientation#=6 " + test::quote(tagged)), 0);
    EXPECT_EQ(ImageLoader::loadPhoto(tagged), ImageLoader::load(tagged).pixels);

    struct Case {
        std::string name;
        fs::path profile;
    };
    const Case cases[] = {
        {"Adobe RGB", kProfiles / "a98.icc"},
        {"Display P3", dir / "DisplayP3.icc"},
        {"CMYK (Adobe's inverted, SWOP profile)", kProfiles / "default_cmyk.icc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir / (c.name.substr(0, 4) + ".jpg");
        const fs::path reference = dir / (c.name.substr(0, 4) + "-reference.png");
        ASSERT_EQ(test::run("convert " + test::quote(chart) + " -profile " + test::quote(srgb) + " -profile " +
                            test::quote(c.profile) + " -quality 95 " + test::quote(source)),
                  0);
        ASSERT_EQ(test::run("convert " + test::quote(source) + " -profile " + test::quote(srgb) + " " +
                            test::quote(reference)),
                  0);

        const fs::path ours = dir / (c.name.substr(0, 4) + "-ours.jpg");
        const PipelineImage photo = CoreImagePipeline::shared().loadPhoto(source);
        CoreImagePipeline::shared().write(photo, ours, 0.98);
        const PackedTexture expected = ImageLoader::load(reference).pixels;
        const double ours2000 = meanDeltaE2000(ImageLoader::load(ours).pixels, expected);
        EXPECT_LT(ours2000, 2.0);
        // The texture path keeps the stored values: on these files that is visibly off.
        const double stored2000 = meanDeltaE2000(ImageLoader::load(source).pixels, expected);
        EXPECT_GT(stored2000, 2.0 + ours2000);
        std::printf("%s: mean CIEDE2000 %.2f converted, %.2f as stored\n", c.name.c_str(), ours2000, stored2000);
        EXPECT_NE(test::capture("exiftool -s3 -ICC_Profile:ProfileDescription " + test::quote(ours)).find("sRGB"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace morvale

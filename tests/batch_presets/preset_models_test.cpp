#include "batch_presets/preset_settings_codec.h"
#include "batch_presets/vertical.h"

#include "batch_core/preset_store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace morvale {
namespace {

using Mode = MorvalePreset::OperationalMode;
using Scale = PowerOfTwoScaler::ScaleMode;

TEST(MorvalePresetModel, TargetSize) {
    struct Case {
        bool pot;
        Scale mode;
        bool square;
        std::int64_t limit;
        int w, h;
        PixelSize expected;
    };
    const std::vector<Case> cases{
        {true, Scale::nearestPowerOfTwo(), false, 0, 1000, 600, {1024, 512}},
        {true, Scale::nearestPowerOfTwo(), false, 0, 768, 768, {1024, 1024}},
        {true, Scale::nearestPowerOfTwo(), true, 0, 1000, 600, {1024, 1024}},
        {false, Scale::nearestPowerOfTwo(), false, 512, 2048, 1024, {512, 256}},
        {false, Scale::nearestPowerOfTwo(), true, 0, 1000, 600, {1000, 600}},
        {false, Scale::nearestPowerOfTwo(), false, 1024, 1, 5000, {1, 1024}},
        {true, Scale::fixedTarget(256), false, 0, 3000, 17, {256, 256}},
        {true, Scale::roundDownPowerOfTwo(), false, 0, 1000, 600, {512, 512}},
        {true, Scale::roundUpPowerOfTwo(), false, 300, 1000, 600, {300, 300}},
        {false, Scale::nearestPowerOfTwo(), false, 1000, 3000, 2000, {1000, 667}},
        {false, Scale::nearestPowerOfTwo(), false, 2048, 2048, 100, {2048, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " limit " + std::to_string(c.limit));
        MorvalePreset preset(Mode::powerOfTwoEnforce, ChannelPacker::EngineProfile::gltfORM, c.pot, c.mode, c.square,
                             c.limit, false);
        EXPECT_EQ(preset.targetSize(c.w, c.h), c.expected);
    }
}

TEST(MorvalePresetModel, DefaultsModesAndErrors) {
    const MorvalePreset p(Mode::tilingCheck, ChannelPacker::EngineProfile::unityHDRPMaskMap, false,
                          Scale::roundUpPowerOfTwo(), true, 77, true);
    EXPECT_EQ(p.normalTarget, ChannelPacker::NormalConvention::openGL);
    EXPECT_TRUE(p.spriteTrim);
    EXPECT_EQ(p.spritePadding, 2);
    EXPECT_EQ(p.spriteExtrude, 1);
    EXPECT_FALSE(p.spriteHalfScale);
    EXPECT_EQ(p.spriteFormat, SpriteSheetCompiler::DataFormat::jsonHash);
    EXPECT_FALSE(p.spriteRotate);
    EXPECT_EQ(p.normalStrength, 2.0);
    EXPECT_FALSE(p.generateMissingNormal);

    const auto ext = p.supportedExtensions();
    EXPECT_EQ(ext.size(), 7u);
    EXPECT_FALSE(ext.contains("bmp"));
    EXPECT_FALSE(ext.contains("psd"));

    EXPECT_EQ(MorvalePreset::operationalModeFromRaw("Seamless Tiling Check"), Mode::tilingCheck);
    EXPECT_EQ(MorvalePreset::operationalModeFromRaw("seamless tiling check"), std::nullopt);
    EXPECT_EQ(MorvalePreset::rawValue(Mode::normalMapConvert).size(), 30u);
    for (auto m : MorvalePreset::allOperationalModes())
        EXPECT_EQ(MorvalePreset::operationalModeFromRaw(MorvalePreset::rawValue(m)), m);

    EXPECT_STREQ(MorvalePreset::TextureError::cannotOpenImage("/art/stone/rock.tga").what(),
                 "Failed to open texture image at rock.tga");
}

TEST(VarnholtPresetModel, PortalRuleRunsOnlyThroughTheSetter) {
    VarnholtPreset p("1 Main St", true, true, true, true, 4096, 500, std::nullopt, 0.85);
    EXPECT_EQ(p.portal(), VarnholtPreset::Portal::mls);
    EXPECT_EQ(p.maxWebDimension, 4096);  // the initializer does not apply the portal's sizes

    p.webAspect = VarnholtPreset::WebAspect::sixteenNine;
    p.maxWebDimension = 3000;
    p.setPortal(VarnholtPreset::Portal::zillow);
    EXPECT_EQ(p.maxWebDimension, 2048);
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);
    EXPECT_EQ(p.webAspect, VarnholtPreset::WebAspect::fourThree);

    p.setPortal(VarnholtPreset::Portal::custom);
    EXPECT_EQ(p.maxWebDimension, 2048);
    EXPECT_EQ(p.maxWebFileSizeKB, 10000);
    EXPECT_EQ(p.webAspect, VarnholtPreset::WebAspect::fourThree);

    p.setPortal(VarnholtPreset::Portal::mls);
    p.maxWebFileSizeKB = 123;
    p.setPortal(VarnholtPreset::Portal::mls);  // the same portal again still restores its set
    EXPECT_EQ(p.maxWebFileSizeKB, 2000);
    EXPECT_EQ(p.webAspect, VarnholtPreset::WebAspect::original);

    EXPECT_EQ(VarnholtPreset::webAspectFromRaw("16:9"), VarnholtPreset::WebAspect::sixteenNine);
    EXPECT_EQ(VarnholtPreset::webAspectFromRaw("16x9"), std::nullopt);
    EXPECT_EQ(VarnholtPreset::portalFromRaw("MLS"), std::nullopt);
    EXPECT_EQ(VarnholtPreset::folderName(VarnholtPreset::Portal::custom), "MLS_Web_Package");
    EXPECT_STREQ(VarnholtPreset::PresetError::cannotMeetSizeLimit(500).what(), "Could not get the web image under 500 KB");
    EXPECT_STREQ(VarnholtPreset::PresetError::cannotDecodeImage("/shoot/IMG_0001.CR3").what(),
                 "Could not decode architectural image at IMG_0001.CR3");
}

TEST(SkeldonPresetModel, StandardMatchingAndItsRule) {
    using S = SkeldonPreset::LoudnessStandard;
    const struct {
        double lufs;
        S standard;
    } rows[] = {{-14, S::spotify},         {-16.04, S::applePodcasts}, {-16.05, S::custom},
                {-20, S::custom},          {-23, S::ebuR128},          {-24.03, S::atsc},
                {std::nan(""), S::custom}, {-std::numeric_limits<double>::infinity(), S::custom}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.lufs);
        SkeldonPreset p("Show", "Host", 1, r.lufs, true, false, true, std::nullopt);
        EXPECT_EQ(p.loudnessStandard(), r.standard);
        if (!std::isnan(r.lufs)) {
            EXPECT_EQ(p.targetLUFS, r.lufs);  // the initializer keeps the given value
        }
    }

    SkeldonPreset p = defaultSkeldonPreset();
    EXPECT_EQ(p.loudnessStandard(), S::applePodcasts);
    EXPECT_EQ(p.targetLUFS, -16);

    p.setLoudnessStandard(S::acx);
    EXPECT_EQ(p.targetLUFS, -16);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-20, -3.5, 11, true}));
    EXPECT_EQ(p.effectiveCleanup().roomToneSeconds, 1.0);
    EXPECT_EQ(p.cleanup.roomToneSeconds, 0.3);

    p.setLoudnessStandard(S::atsc);
    EXPECT_EQ(p.targetLUFS, -24);
    EXPECT_EQ(p.loudnessTarget().truePeakDB, -2);
    p.setLoudnessStandard(S::custom);
    EXPECT_EQ(p.targetLUFS, -24);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-24, -1, 11, false}));

    p.setLoudnessStandard(S::applePodcasts);
    p.targetLUFS = -23;
    EXPECT_EQ(p.loudnessStandard(), S::applePodcasts);
    EXPECT_EQ(p.loudnessTarget(), (LoudnessNormalizer::LoudnessTarget{-23, -1, 11, false}));
    p.setLoudnessStandard(S::applePodcasts);  // assigning the same standard resets the target
    EXPECT_EQ(p.targetLUFS, -16);
    EXPECT_EQ(p.effectiveCleanup(), p.cleanup);

    EXPECT_EQ(SkeldonPreset::chapterModeFromRaw("Manual"), std::nullopt);
    EXPECT_EQ(SkeldonPreset::chapterModeFromRaw("manual"), SkeldonPreset::ChapterMode::manual);
}

TEST(SkeldonPresetModel, DefaultPodcastPreset) {
    const SkeldonPreset p = defaultSkeldonPreset();
    EXPECT_EQ(p.cleanup, (CleanupOptions{true, CleanupOptions::HumMode::autoDetect, false, true, true, 0.0}));
    EXPECT_EQ(p.cleanup.roomToneSeconds, 0.3);
    EXPECT_FALSE(p.introURL || p.outroURL || p.artworkURL);
    EXPECT_TRUE(p.generateMaster && p.generateRSSMaster && p.generateTranscripts && p.generateAudiogram &&
                p.captionAudiogram);
    EXPECT_FALSE(p.generateWhisperReference || p.removeFillerWords);
    EXPECT_EQ(p.audiogramAspect, AudiogramGenerator::AspectRatio::square);
    EXPECT_EQ(p.audiogramClip, AudioVideoPipeline::ClipChoice::automatic());
    EXPECT_EQ(p.audiogramSeconds, 45);
    EXPECT_EQ(p.chapterMode, SkeldonPreset::ChapterMode::off);
    EXPECT_EQ(p.chapterList, "");
}

TEST(VerticalRegistry, LookUps) {
    EXPECT_EQ(verticalNamed("Real-Estate"), Vertical::varnholt);
    EXPECT_EQ(verticalNamed(" podcast"), std::nullopt);
    EXPECT_EQ(verticalNamed("TEXTURE"), Vertical::morvale);
    EXPECT_EQ(verticalNamed("Game"), Vertical::morvale);
    EXPECT_EQ(verticalNamed("AUDIO"), Vertical::skeldon);
    EXPECT_EQ(verticalNamed("com.kadrel.varnholtpro"), Vertical::varnholt);
    EXPECT_EQ(verticalFromRaw("morvale"), std::nullopt);
    EXPECT_EQ(verticalFromRaw("texture"), Vertical::morvale);
    EXPECT_EQ(verticalForPresetID("COM.KADREL.MORVALE"), std::nullopt);
    EXPECT_EQ(verticalForPresetID("com.kadrel.skeldon"), Vertical::skeldon);
    for (Vertical v : allVerticals()) {
        EXPECT_EQ(presetID(v), defaultPreset(v)->id());
        EXPECT_EQ(verticalForPresetID(presetID(v)), v);
        EXPECT_EQ(verticalFromRaw(rawValue(v)), v);
    }
    EXPECT_EQ(presetID(Vertical::varnholt), "com.kadrel.varnholtpro");
    EXPECT_EQ(displayName(Vertical::skeldon), "Skeldon");
}

TEST(VerticalRegistry, ProcessingIsReportedAsUnavailable) {
    const BatchItem item(Uuid(), "/in/a.wav");
    const ProcessingContext context(Uuid(), BatchConfiguration::defaultConfiguration(), 1, 1);
    EXPECT_THROW((void)defaultPreset(Vertical::varnholt)->process(item, context), std::runtime_error);
    EXPECT_THROW((void)defaultPreset(Vertical::skeldon)->process(item, context), std::runtime_error);
}

TEST(PresetBundle, CarriesTheSettingsAndThePattern) {
    const auto before = std::chrono::system_clock::now();
    const auto preset = defaultVarnholtPreset();
    const auto bundle = PresetSettingsCodec::bundle("My set", preset, "{address}_{index}");
    EXPECT_EQ(bundle.version, "1.0");
    EXPECT_EQ(bundle.presetID, "com.kadrel.varnholtpro");
    EXPECT_EQ(bundle.presetName, "My set");
    EXPECT_EQ(bundle.verticalName, "Real Estate & Architecture");
    EXPECT_EQ(bundle.defaultNamingPattern, "{address}_{index:02}_{size}");
    EXPECT_GE(bundle.exportedAt, before);
    auto expected = PresetSettingsCodec::encode(preset);
    expected["namingPattern"] = "{address}_{index}";
    EXPECT_EQ(bundle.configuration, expected);

    // Written and read back, the bundle's map restores the same preset strictly.
    test::TempDir dir;
    PresetStore::shared().exportBundle(bundle, dir / "listing.json");
    const auto read = PresetStore::shared().importPreset(dir / "listing.json");
    auto restored = PresetSettingsCodec::makePreset(*verticalForPresetID(read.presetID), read.configuration, true);
    EXPECT_EQ(*dynamic_cast<const VarnholtPreset*>(restored.get()), preset);
}

}  // namespace
}  // namespace morvale

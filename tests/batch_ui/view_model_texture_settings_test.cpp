// The texture product's preset through the view model: restored leniently by the
// presets' settings codec, saved as its full settings map.
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

#include "batch_core/user_defaults.h"
#include "batch_presets/vertical.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/vertical_preset_slot.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

namespace morvale::test {
namespace {

class TextureSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ensureWidgetsApp(); }

    std::unique_ptr<StandaloneViewModel> makeModel(Vertical vertical = Vertical::morvale) {
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
        services.saveDelay = std::chrono::milliseconds(10);
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        return std::make_unique<StandaloneViewModel>(makeVerticalPresetSlot(defaultMorvalePreset(), vertical),
                                                     LicensedProduct::morvale, services);
    }
    const MorvalePreset& texture(const StandaloneViewModel& model) {
        const MorvalePreset* preset = model.presetAs<MorvalePreset>();
        if (preset == nullptr) throw std::logic_error("not the texture preset");
        return *preset;
    }

    TempDir dir;
};

TEST_F(TextureSettingsTest, StoredSettingsRestoreLenientlyAndUnknownKeysAreIgnored) {
    UserDefaults(dir / "defaults.json")
        .setStringMap("settings", {{"mode", "normal"}, {"profile", "gltf"}, {"padding", "lots"}, {"bogus", "1"},
                                   {"strength", "inf"}, {"namingPattern", "ignored here"}});
    auto model = makeModel();
    MorvalePreset expected = defaultMorvalePreset();
    expected.operationalMode = MorvalePreset::OperationalMode::normalMapConvert;
    expected.engineProfile = ChannelPacker::EngineProfile::gltfORM;
    EXPECT_TRUE(texture(*model) == expected);
    EXPECT_EQ(model->namingPattern(), "{name}_{profile}_{pot}");
}

TEST_F(TextureSettingsTest, ARestoreThatYieldsAnotherPresetTypeKeepsTheGivenOne) {
    UserDefaults(dir / "defaults.json").setStringMap("settings", {{"mode", "sprite"}});
    auto model = makeModel(Vertical::varnholt);
    EXPECT_TRUE(texture(*model) == defaultMorvalePreset());
}

TEST_F(TextureSettingsTest, SavedSettingsRoundTripThroughTheCodec) {
    {
        auto model = makeModel();
        QSignalSpy saved(model.get(), &StandaloneViewModel::settingsSaved);
        model->editPreset<MorvalePreset>([](MorvalePreset& p) {
            p.operationalMode = MorvalePreset::OperationalMode::spriteSheetAtlas;
            p.spritePadding = 5;
            p.normalStrength = 3.5;
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() == 1; }, test::hangGuardMilliseconds));
        const auto written = UserDefaults(dir / "defaults.json").stringMap("settings");
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(written->size(), 16u);
        EXPECT_EQ(written->at("mode"), "sprite");
        EXPECT_EQ(written->at("padding"), "5");
    }
    auto again = makeModel();
    EXPECT_EQ(texture(*again).operationalMode, MorvalePreset::OperationalMode::spriteSheetAtlas);
    EXPECT_EQ(texture(*again).spritePadding, 5);
    EXPECT_EQ(texture(*again).normalStrength, 3.5);
}

}  // namespace
}  // namespace morvale::test

#include "batch_ui/morvale_express_app.h"

#include "batch_core/user_defaults.h"
#include "batch_presets/preset_settings_codec.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/texture_option_form.h"
#include "support/temp_dir.h"
#include "window_test_app.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollArea>

#include <gtest/gtest.h>

namespace morvale {
namespace {

class AppEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureWidgetsApp();
        defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
    }

    std::unique_ptr<MorvaleExpressApp> makeApp() {
        StandaloneServices services;
        services.defaults = defaults;
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        StandaloneScenesSettings scenes;
        scenes.trayAllowed = false;
        return std::make_unique<MorvaleExpressApp>(services, scenes);
    }

    test::TempDir dir;
    std::shared_ptr<UserDefaults> defaults;
};

TEST_F(AppEntryTest, BrandingAndDefaultPresetOfTheTextureProduct) {
    const StandaloneBranding branding = MorvaleExpressApp::makeBranding();
    EXPECT_EQ(branding.title, "Morvale Express");
    EXPECT_EQ(branding.runLabel, "Process All");
    EXPECT_EQ(branding.itemNoun, "texture");
    EXPECT_EQ(branding.tokens, std::string(MorvaleOptions::tokens));  // the form's own list
    const MorvalePreset preset = MorvaleExpressApp::defaultPreset();
    EXPECT_EQ(preset.operationalMode, MorvalePreset::OperationalMode::channelPackingORM);
    EXPECT_EQ(preset.engineProfile, ChannelPacker::EngineProfile::unrealORM);
    EXPECT_TRUE(preset.enforcePOT);
    EXPECT_EQ(preset.potScaleMode, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo());
    EXPECT_FALSE(preset.forceSquare);
    EXPECT_EQ(preset.maxTextureSize, 0);
    EXPECT_FALSE(preset.generateMipmaps);
}

TEST_F(AppEntryTest, ViewModelIsMadeOnceAndResetAfterARestoreReturnsToTheDefaults) {
    MorvalePreset stored = MorvaleExpressApp::defaultPreset();
    stored.operationalMode = MorvalePreset::OperationalMode::spriteSheetAtlas;
    stored.maxTextureSize = 2048;
    defaults->setStringMap("settings", PresetSettingsCodec::encode(stored));
    defaults->setString("namingPattern", "");

    auto app = makeApp();
    StandaloneViewModel& model = app->model();
    EXPECT_EQ(&model, &app->model());
    EXPECT_EQ(&app->body(), &app->body());
    ASSERT_NE(model.presetAs<MorvalePreset>(), nullptr);
    EXPECT_EQ(model.presetAs<MorvalePreset>()->operationalMode, MorvalePreset::OperationalMode::spriteSheetAtlas);
    EXPECT_EQ(model.namingPattern(), "");

    // The form in the sidebar shows the restored mode and follows a reset.
    auto* form = app->body().window()->optionsSidebar()->findChild<MorvaleOptions*>();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->sectionTitles(), (QStringList{"What To Do", "Sprite Sheet Packing"}));
    app->body().resetAction()->trigger();
    EXPECT_TRUE(*model.presetAs<MorvalePreset>() == MorvaleExpressApp::defaultPreset());
    EXPECT_EQ(model.namingPattern(), "{name}_{profile}_{pot}");
    EXPECT_EQ(form->sectionTitles(),
              (QStringList{"What To Do", "Engine Channel Layout", "Recognised Map Names", "GPU Sizing"}));
    EXPECT_EQ(app->body().window()->namingSection()->field()->text(), QStringLiteral("{name}_{profile}_{pot}"));
}

TEST_F(AppEntryTest, FormEditsReachTheViewModelsPreset) {
    auto app = makeApp();
    auto* form = app->body().window()->optionsSidebar()->findChild<MorvaleOptions*>();
    ASSERT_NE(form, nullptr);
    QComboBox* operation = form->operationPicker();
    operation->setCurrentIndex(5);
    emit operation->activated(5);
    EXPECT_EQ(app->model().presetAs<MorvalePreset>()->operationalMode, MorvalePreset::OperationalMode::tilingCheck);
    EXPECT_EQ(form->sectionTitles(), (QStringList{"What To Do", "Seamless Tiling Check"}));
}

}  // namespace
}  // namespace morvale

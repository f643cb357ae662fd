#include "batch_ui/texture_option_form.h"

#include "window_test_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

namespace morvale {
namespace {

using Mode = MorvalePreset::OperationalMode;

MorvalePreset entryPreset() {
    return MorvalePreset(Mode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM, true,
                         PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
}

class TextureFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureWidgetsApp();
        form = std::make_unique<MorvaleOptions>(Binding<MorvalePreset>{[this] { return preset; },
                                                                       [this](const MorvalePreset& p) {
                                                                           preset = p;
                                                                           ++writes;
                                                                       }});
    }

    void choose(QComboBox* combo, int row) {
        ASSERT_NE(combo, nullptr);
        combo->setCurrentIndex(row);
        emit combo->activated(row);
    }

    QStringList rows(QComboBox* combo) const {
        QStringList list;
        for (int i = 0; i < combo->count(); ++i) {
            list << combo->itemText(i);
        }
        return list;
    }

    MorvalePreset preset = entryPreset();
    int writes = 0;
    std::unique_ptr<MorvaleOptions> form;
};

TEST_F(TextureFormTest, SectionsFollowTheOperationalMode) {
    struct Case {
        Mode mode;
        QStringList sections;
    };
    const Case cases[] = {
        {Mode::channelPackingORM, {"What To Do", "Engine Channel Layout", "Recognised Map Names", "GPU Sizing"}},
        {Mode::normalMapConvert, {"What To Do", "Normal Map Convention", "GPU Sizing"}},
        {Mode::normalFromHeight, {"What To Do", "Normal Map from Height", "GPU Sizing"}},
        {Mode::powerOfTwoEnforce, {"What To Do", "GPU Sizing"}},
        {Mode::spriteSheetAtlas, {"What To Do", "Sprite Sheet Packing"}},
        {Mode::tilingCheck, {"What To Do", "Seamless Tiling Check"}},
    };
    for (const Case& c : cases) {
        // Chosen through the Operation picker, as the user does.
        const int row = form->operationPicker()->findText(
            QString::fromUtf8(MorvalePreset::rawValue(c.mode).data(),
                              static_cast<qsizetype>(MorvalePreset::rawValue(c.mode).size())));
        ASSERT_GE(row, 0);
        choose(form->operationPicker(), row);
        EXPECT_EQ(preset.operationalMode, c.mode);
        EXPECT_EQ(form->sectionTitles(), c.sections) << row;
        EXPECT_EQ(form->operationPicker()->currentIndex(), row);
    }
    // Tiling check: no sizing controls at all.
    EXPECT_EQ(form->maxSizePicker(), nullptr);
    EXPECT_EQ(rows(form->operationPicker()),
              (QStringList{"Channel Packing (ORM / MaskMap)", QString::fromUtf8("Normal Map: DirectX ⇄ OpenGL"),
                           "Normal Map from Height Map", "Enforce Power-of-Two (POT)", "2D Sprite Sheet Compilation",
                           "Seamless Tiling Check"}));
}

TEST_F(TextureFormTest, NormalControlsAppearWithTheMissingNormalToggle) {
    EXPECT_EQ(form->conventionPicker(), nullptr);
    EXPECT_EQ(form->strengthSlider(), nullptr);
    EXPECT_EQ(rows(form->targetPicker()),
              (QStringList{"Unreal Engine (ORM)", "glTF / Godot (ORM)", "Unity HDRP Mask Map",
                           "Unity URP / Built-in (Metallic)"}));
    form->missingNormalToggle()->click();
    EXPECT_TRUE(preset.generateMissingNormal);
    ASSERT_NE(form->conventionPicker(), nullptr);
    ASSERT_NE(form->strengthSlider(), nullptr);
    EXPECT_EQ(form->strengthText()->text(), QStringLiteral("2.0"));
    // Convention and Convert to edit the same field.
    choose(form->conventionPicker(), 1);
    EXPECT_EQ(preset.normalTarget, ChannelPacker::NormalConvention::directX);
    preset.operationalMode = Mode::normalMapConvert;
    form->refresh();
    EXPECT_EQ(form->conventionPicker()->currentIndex(), 1);
    EXPECT_EQ(form->strengthSlider(), nullptr);  // converting has no strength
    // The toggle's value survives a trip through another mode.
    preset.operationalMode = Mode::channelPackingORM;
    form->refresh();
    EXPECT_TRUE(form->missingNormalToggle()->isChecked());
}

TEST_F(TextureFormTest, StrengthSliderWritesAndShowsOneDecimal) {
    preset.operationalMode = Mode::normalFromHeight;
    form->refresh();
    form->strengthSlider()->setValue(250);
    EXPECT_DOUBLE_EQ(preset.normalStrength, 2.5);
    EXPECT_EQ(form->strengthText()->text(), QStringLiteral("2.5"));
}

TEST_F(TextureFormTest, MaxSizeKeepsARestoredValueOutsideTheFixedRows) {
    preset.operationalMode = Mode::powerOfTwoEnforce;
    preset.maxTextureSize = 3000;
    form->refresh();
    EXPECT_EQ(rows(form->maxSizePicker()), (QStringList{"No limit", "1024 (mobile)", "2048", "4096", "8192", "3000"}));
    EXPECT_EQ(form->maxSizePicker()->currentText(), QStringLiteral("3000"));
    EXPECT_EQ(writes, 0);  // showing it doesn't write anything back
    choose(form->maxSizePicker(), 2);
    EXPECT_EQ(preset.maxTextureSize, 2048);
    EXPECT_EQ(form->maxSizePicker()->count(), 5);
    EXPECT_EQ(form->maxSizePicker()->currentText(), QStringLiteral("2048"));
}

TEST_F(TextureFormTest, RotateIsDisabledForFormatsWithoutRotationAndKeepsItsValue) {
    preset.operationalMode = Mode::spriteSheetAtlas;
    preset.spriteRotate = true;
    form->refresh();
    EXPECT_TRUE(form->rotateToggle()->isEnabled());
    choose(form->dataFormatPicker(), 3);  // Godot
    EXPECT_EQ(preset.spriteFormat, SpriteSheetCompiler::DataFormat::godot);
    EXPECT_FALSE(form->rotateToggle()->isEnabled());
    EXPECT_TRUE(form->rotateToggle()->isChecked());
    EXPECT_TRUE(preset.spriteRotate);
    choose(form->dataFormatPicker(), 2);  // Cocos
    EXPECT_TRUE(form->rotateToggle()->isEnabled());
    EXPECT_TRUE(form->rotateToggle()->isChecked());
}

TEST_F(TextureFormTest, SteppersStopAtTheirBoundsAndNeverWriteARestoredValueBack) {
    preset.operationalMode = Mode::spriteSheetAtlas;
    preset.spritePadding = 0;
    preset.spriteExtrude = 8;
    form->refresh();
    EXPECT_EQ(form->paddingStepper()->text(), QStringLiteral("Padding: 0 px"));
    EXPECT_FALSE(form->paddingStepper()->minusButton()->isEnabled());
    EXPECT_FALSE(form->extrudeStepper()->plusButton()->isEnabled());
    form->paddingStepper()->plusButton()->click();
    EXPECT_EQ(preset.spritePadding, 1);
    form->extrudeStepper()->minusButton()->click();
    EXPECT_EQ(preset.spriteExtrude, 7);

    // Out-of-range values from settings are shown as they are, and left alone.
    preset.spritePadding = 40;
    preset.normalStrength = 25.0;
    const int before = writes;
    form->refresh();
    EXPECT_EQ(form->paddingStepper()->text(), QStringLiteral("Padding: 40 px"));
    EXPECT_FALSE(form->paddingStepper()->plusButton()->isEnabled());
    preset.operationalMode = Mode::normalFromHeight;
    form->refresh();
    EXPECT_EQ(form->strengthText()->text(), QStringLiteral("25.0"));
    EXPECT_EQ(writes, before);
    EXPECT_EQ(preset.spritePadding, 40);
    EXPECT_DOUBLE_EQ(preset.normalStrength, 25.0);
}

TEST_F(TextureFormTest, LayoutDescriptionFollowsTheTarget) {
    choose(form->targetPicker(), 2);
    EXPECT_EQ(preset.engineProfile, ChannelPacker::EngineProfile::unityHDRPMaskMap);
    bool found = false;
    const std::string expected = ChannelPacker::layoutDescription(ChannelPacker::EngineProfile::unityHDRPMaskMap);
    for (QLabel* label : form->findChildren<QLabel*>()) {
        if (label->isVisibleTo(form.get()) && label->text() == QString::fromStdString(expected)) {
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST(TextureFormTokens, ListTheTextureTokens) {
    EXPECT_EQ(MorvaleOptions::tokens, "{name}, {profile}, {pot}, {index:02}, {ext}");
}

}  // namespace
}  // namespace morvale

#include "batch_ui/morvale_express_app.h"

#include "batch_core/user_defaults.h"
#include "batch_presets/preset_settings_codec.h"
#include "batch_ui/drop_zone.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/texture_option_form.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QUrl>

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

// At the default and the smallest window size, every row of every picker in the sidebar fits
// the picker's text field whole, whichever operation is chosen.
TEST_F(AppEntryTest, EveryPickerRowReadsWholeInTheSidebar) {
    auto app = makeApp();
    StandaloneWindow* window = app->body().window();
    window->show();
    auto* form = window->optionsSidebar()->findChild<MorvaleOptions*>();
    ASSERT_NE(form, nullptr);
    for (const QSize size : {QSize(1040, 720), QSize(860, 600)}) {
        window->resize(size);
        for (int mode = 0; mode < form->operationPicker()->count(); ++mode) {
            form->operationPicker()->setCurrentIndex(mode);
            emit form->operationPicker()->activated(mode);
            if (form->missingNormalToggle() != nullptr && !form->missingNormalToggle()->isChecked()) {
                form->missingNormalToggle()->click();  // brings in the convention picker
            }
            QApplication::processEvents();
            const auto pickers = window->optionsSidebar()->findChildren<QComboBox*>();
            ASSERT_FALSE(pickers.isEmpty());
            for (QComboBox* picker : pickers) {
                if (!picker->isVisible()) continue;
                QStyleOptionComboBox option;
                option.initFrom(picker);
                option.editable = picker->isEditable();
                const QRect field =
                    picker->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, picker);
                for (int row = 0; row < picker->count(); ++row) {
                    EXPECT_LE(picker->fontMetrics().horizontalAdvance(picker->itemText(row)), field.width())
                        << picker->itemText(row).toStdString() << " at " << size.width() << "x" << size.height();
                }
            }
        }
    }
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

// A person's whole job: drop a folder of texture sets on the window and press the run button.
TEST_F(AppEntryTest, DroppedMaterialFolderIsPackedWhenRunIsPressed) {
    const auto materials = dir / "materials";
    std::filesystem::create_directories(materials);
    for (const char* map : {"rock_AO", "rock_Roughness", "rock_Metallic", "moss_AO", "moss_Roughness"}) {
        QImage image(64, 48, QImage::Format_Grayscale8);
        image.fill(QColor(100, 100, 100));
        ASSERT_TRUE(image.save(toQString(materials / (std::string(map) + ".png"))));
    }
    auto app = makeApp();
    StandaloneViewModel& model = app->model();
    const auto output = dir / "packed";
    model.setOutputDirectory(output);
    StandaloneWindow* window = app->body().window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(toQString(materials))});
    // A real drag enters the zone before it drops.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window->dropZone(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window->dropZone(), &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.queueItems().size() == 5 && !model.isIngesting(); }, test::hangGuardMilliseconds));
    ASSERT_EQ(model.queueItems().size(), 5u);
    ASSERT_TRUE(window->runButton()->isEnabled());

    QSignalSpy finished(&model, &StandaloneViewModel::runFinished);
    window->runButton()->click();
    ASSERT_TRUE(finished.wait(test::hangGuardMilliseconds));
    int completed = 0;
    for (const BatchItem& item : model.queueItems()) {
        completed += item.status == ProcessingStatus::completed;
        EXPECT_TRUE(item.status == ProcessingStatus::completed || item.status == ProcessingStatus::skipped)
            << item.originalFileName << ": " << item.errorMessage.value_or("");
    }
    EXPECT_EQ(completed, 2);  // one packed texture per material; the sibling maps are skipped
    std::vector<std::filesystem::path> written;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(output, ec)) {
        if (entry.path().extension() == ".png") {
            written.push_back(entry.path());
        }
    }
    ASSERT_EQ(written.size(), 2u);
    for (const auto& file : written) {
        const QImage packed(toQString(file));
        EXPECT_EQ(packed.size(), QSize(64, 64)) << file;  // 48 is as near 32 as 64: the larger wins
        EXPECT_NE(file.filename().string().find("ORM"), std::string::npos) << file;
    }
    EXPECT_EQ(model.logLines().back().rfind("Done in ", 0), 0u);
}

}  // namespace
}  // namespace morvale

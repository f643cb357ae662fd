#include "batch_presets/vertical.h"
#include "batch_ui/drop_zone.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/main_menus.h"
#include "batch_ui/podcast_option_form.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/standalone_window.h"
#include "batch_ui/vertical_preset_slot.h"
#include "batch_core/user_defaults.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>

namespace morvale::test {
namespace {

namespace fs = std::filesystem;

// The podcast vertical in the generic window, as a podcast build would put it together: drop a
// recording, press Run, and the item lists what the export wrote.
TEST(PodcastWindow, DropRunAndTheOutputsAreListed) {
    ensureWidgetsApp();
    TempDir dir;
    const fs::path recording = dir / "in" / "harbour_talk.wav";
    fs::create_directories(recording.parent_path());
    ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 2 '" + recording.string() +
                           "' synth 6 pinknoise vol 0.2 fade 0.2 6 0.2").c_str()),
              0);

    SkeldonPreset preset = defaultSkeldonPreset();
    preset.generateTranscripts = false;
    preset.generateAudiogram = false;
    StandaloneServices services;
    services.defaults = std::make_shared<UserDefaults>(dir / "settings.json");
    std::vector<std::vector<fs::path>> revealed;
    services.revealInFileManager = [&](const std::vector<fs::path>& paths) { revealed.push_back(paths); };
    StandaloneViewModel model(makeVerticalPresetSlot(preset, Vertical::skeldon), LicensedProduct::skeldon, services);
    model.setOutputDirectory(dir / "out");
    model.setNamingPattern(preset.defaultNamingPattern());

    SkeldonOptions* form = nullptr;
    StandaloneScenesSettings settings;
    settings.trayAllowed = false;
    const StandaloneBranding branding{"Skeldon", "Podcast production", "skeldon", "Drop Episodes Here", "Hint",
                                      "Process All", "episode", std::string(SkeldonOptions::tokens)};
    StandaloneScenes scenes(
        model, branding, [] {},
        [&]() -> QWidget* {
            form = new SkeldonOptions(Binding<SkeldonPreset>{[&] {
                                                                 const auto* current = model.presetAs<SkeldonPreset>();
                                                                 return current ? *current : defaultSkeldonPreset();
                                                             },
                                                             [&](const SkeldonPreset& p) { model.setPreset(p); }});
            QObject::connect(&model, &StandaloneViewModel::presetChanged, form, &SkeldonOptions::refresh);
            return form;
        },
        settings);
    StandaloneWindow* window = scenes.window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_NE(form, nullptr);
    // An edit in the sidebar reaches the preset the run uses.
    form->whisperToggle()->click();
    const auto* edited = model.presetAs<SkeldonPreset>();
    ASSERT_NE(edited, nullptr);
    EXPECT_TRUE(edited->generateWhisperReference);

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(recording.string()))});
    DropZone* zone = window->dropZone();
    const QPoint centre = zone->rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(zone, &enter);
    QDropEvent drop(QPointF(centre), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(zone, &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.queueItems().size() == 1 && !model.isIngesting(); }, test::hangGuardMilliseconds));

    window->runButton()->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !model.logLines().empty() && model.logLines().back().rfind("Done in ", 0) == 0; }, test::hangGuardMilliseconds));
    const BatchItem& item = model.queueItems().front();
    EXPECT_EQ(item.status, ProcessingStatus::completed) << item.errorMessage.value_or("");

    std::unique_ptr<QMenu> menu(window->rowMenu(0));
    menu->actions()[0]->trigger();
    ASSERT_EQ(revealed.size(), 1u);
    std::vector<std::string> names;
    for (const auto& p : revealed[0]) names.push_back(p.filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"My Podcast_01_harbour_talk_Master_-16LUFS.wav",
                                               "My Podcast_01_harbour_talk_RSS_192k.mp3",
                                               "My Podcast_01_harbour_talk_WhisperRef_16k.wav"}));
    bool summary = false;
    for (const auto& line : model.logLines()) summary = summary || line.find("harbour_talk.wav: ") != std::string::npos;
    EXPECT_TRUE(summary);
    model.shutdown();
}

}  // namespace
}  // namespace morvale::test

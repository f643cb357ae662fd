#include "batch_ui/podcast_option_form.h"

#include "batch_presets/vertical.h"
#include "window_test_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdlib>

namespace morvale {
namespace {

using Standard = SkeldonPreset::LoudnessStandard;
using Clip = AudioVideoPipeline::ClipChoice;

class PodcastFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureWidgetsApp();
        make();
    }

    void make() {
        form = std::make_unique<SkeldonOptions>(
            Binding<SkeldonPreset>{[this] { return preset; },
                                   [this](const SkeldonPreset& p) {
                                       preset = p;
                                       ++writes;
                                   }},
            SkeldonOptions::Facts{[this] { return speech; }, [this] { return mp3; }});
    }

    static void choose(QComboBox* combo, int row) {
        ASSERT_NE(combo, nullptr);
        ASSERT_LT(row, combo->count());
        combo->setCurrentIndex(row);
        emit combo->activated(row);
    }
    static int rowOf(QComboBox* combo, const QString& text) { return combo->findText(text); }
    static QStringList rows(QComboBox* combo) {
        QStringList list;
        for (int i = 0; i < combo->count(); ++i) list << combo->itemText(i);
        return list;
    }
    void type(const QString& text) {
        QLineEdit* field = form->startField();
        ASSERT_NE(field, nullptr);
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    void finishTyping() { QTest::keyClick(form->startField(), Qt::Key_Return); }

    SkeldonPreset preset = defaultSkeldonPreset();
    bool speech = true;
    bool mp3 = true;
    int writes = 0;
    std::unique_ptr<SkeldonOptions> form;
};

TEST_F(PodcastFormTest, SectionsAndTheRowsThatFollowTheChoices) {
    const QStringList all{"Show", "Loudness Target", "Clean-Up", "Intro & Outro Music", "Exports", "Chapters",
                          "Social Audiogram"};
    EXPECT_EQ(form->sectionTitles(), all);
    EXPECT_EQ(form->loudnessSlider(), nullptr);
    EXPECT_EQ(form->chapterEditor(), nullptr);
    ASSERT_NE(form->clipPicker(), nullptr);
    EXPECT_EQ(form->startField(), nullptr);  // the default clip is automatic
    EXPECT_EQ(rows(form->chapterPicker()), (QStringList{"Off", "Automatic (from pauses)", "My list"}));
    EXPECT_EQ(rows(form->shapePicker()), (QStringList{"Square 1:1 (Instagram, X)", "Vertical 9:16 (Reels, TikTok, Shorts)",
                                                      "Wide 16:9 (YouTube)"}));

    choose(form->chapterPicker(), 2);
    ASSERT_NE(form->chapterEditor(), nullptr);
    form->chapterEditor()->setPlainText("0:00 Intro\n5:30 Interview");
    EXPECT_EQ(preset.chapterList, "0:00 Intro\n5:30 Interview");
    // Hiding a control keeps its value.
    choose(form->chapterPicker(), 0);
    EXPECT_EQ(form->chapterEditor(), nullptr);
    choose(form->chapterPicker(), 2);
    EXPECT_EQ(form->chapterEditor()->toPlainText(), "0:00 Intro\n5:30 Interview");

    choose(form->clipPicker(), 2);
    form->audiogramToggle()->click();
    EXPECT_FALSE(preset.generateAudiogram);
    EXPECT_EQ(form->clipPicker(), nullptr);
    EXPECT_EQ(form->coverRow()->chooseButton() != nullptr, true);  // cover art stays
    form->audiogramToggle()->click();
    EXPECT_EQ(preset.audiogramClip, Clip::at(60));
    EXPECT_EQ(form->startField()->text(), "01:00");
}

TEST_F(PodcastFormTest, LoudnessPickerSliderAndNote) {
    // Custom at -19, then Spotify, Custom, ACX, through the picker as the user does.
    choose(form->standardPicker(), rowOf(form->standardPicker(), "Custom"));
    ASSERT_NE(form->loudnessSlider(), nullptr);
    form->loudnessSlider()->setValue(-38);
    EXPECT_EQ(preset.targetLUFS, -19.0);
    EXPECT_EQ(form->loudnessText()->text(), "-19.0 LUFS");
    choose(form->standardPicker(), rowOf(form->standardPicker(), "Spotify (-14 LUFS)"));
    EXPECT_EQ(preset.targetLUFS, -14.0);
    EXPECT_EQ(form->loudnessSlider(), nullptr);
    choose(form->standardPicker(), rowOf(form->standardPicker(), "Custom"));
    EXPECT_EQ(form->loudnessText()->text(), "-14.0 LUFS");
    EXPECT_EQ(form->loudnessSlider()->value(), -28);
    form->loudnessSlider()->setValue(-47);
    EXPECT_EQ(preset.targetLUFS, -23.5);
    EXPECT_EQ(form->loudnessText()->text(), "-23.5 LUFS");
    EXPECT_EQ(form->loudnessSlider()->minimum(), -60);
    EXPECT_EQ(form->loudnessSlider()->maximum(), -20);
    choose(form->standardPicker(), rowOf(form->standardPicker(), "Audible / ACX audiobook"));
    EXPECT_EQ(preset.targetLUFS, -23.5);
    EXPECT_EQ(form->masterToggle()->text(), "24-bit WAV Master + ACX Check Report");

    const std::pair<Standard, QString> notes[] = {
        {Standard::applePodcasts, "Apple's recommended level for spoken word. Peaks stay under -1 dBTP."},
        {Standard::youtube, "Matches the platform's playback level, so it isn't turned down."},
        {Standard::ebuR128, "True peak ceiling -1 dBTP for broadcast delivery."},
        {Standard::atsc, "True peak ceiling -2 dBTP for broadcast delivery."},
        {Standard::acx, "RMS -23 to -18 dB, peaks under -3 dB, noise floor under -60 dB. A pass/fail report is written "
                        "next to the master."},
        {Standard::custom, "Try -19 LUFS for mono spoken word."},
    };
    for (const auto& [standard, note] : notes) {
        choose(form->standardPicker(), form->standardPicker()->findData(static_cast<int>(standard)));
        EXPECT_EQ(form->loudnessNote()->text(), note);
    }
    EXPECT_EQ(form->masterToggle()->text(), "24-bit WAV Loudness Master");
}

TEST_F(PodcastFormTest, RestoredValuesAreShownAsStoredAndNotWrittenBack) {
    preset.episodeNumber = 0;
    preset.setLoudnessStandard(Standard::custom);
    preset.targetLUFS = -35;
    preset.cleanup.maxPauseSeconds = 2.5;
    preset.audiogramSeconds = 20;
    preset.audiogramClip = Clip::at(90);
    make();
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(form->episodeStepper()->text(), "Starting Episode #: 0");
    EXPECT_EQ(form->loudnessText()->text(), "-35.0 LUFS");
    EXPECT_EQ(form->pausePicker()->count(), 5);
    EXPECT_EQ(form->pausePicker()->currentText(), "Longer than 2.5 s");
    EXPECT_EQ(form->lengthPicker()->count(), 6);
    EXPECT_EQ(form->lengthPicker()->currentText(), "20 seconds");
    EXPECT_EQ(form->startField()->text(), "01:30");
    form->refresh();
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(preset.episodeNumber, 0);
    EXPECT_EQ(preset.targetLUFS, -35);

    // Only a user action writes: the stepper steps into its range, a fixed row replaces the extra one.
    form->episodeStepper()->plusButton()->click();
    EXPECT_EQ(preset.episodeNumber, 1);
    choose(form->pausePicker(), 2);
    EXPECT_EQ(preset.cleanup.maxPauseSeconds, 2.0);
    EXPECT_EQ(form->pausePicker()->count(), 4);
    preset.episodeNumber = 9999;
    form->refresh();
    EXPECT_FALSE(form->episodeStepper()->plusButton()->isEnabled());
}

TEST_F(PodcastFormTest, StartTimeIsStoredWhenEditingFinishes) {
    choose(form->clipPicker(), 2);
    EXPECT_EQ(preset.audiogramClip, Clip::at(60));
    struct Case {
        QString typed;
        Clip stored;
        QString shown;
    };
    const Case cases[] = {
        {"1:30", Clip::at(90), "01:30"},     {"1:02:03", Clip::at(3723), "1:02:03"},
        {"letters", Clip::at(3723), "1:02:03"}, {"", Clip::at(3723), "1:02:03"},
        {"-5", Clip::at(-5), "00:00"},       {"1e300", Clip::at(-5), "00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        type(c.typed);
        if (!c.typed.isEmpty()) {
            // Half-typed text stores nothing.
            EXPECT_EQ(form->startField()->text(), c.typed);
        }
        finishTyping();
        EXPECT_EQ(preset.audiogramClip, c.stored);
        EXPECT_EQ(form->startField()->text(), c.shown);
    }
    type("1");
    EXPECT_EQ(preset.audiogramClip, Clip::at(-5));
    // Re-choosing "Starting at…" keeps the time.
    finishTyping();
    choose(form->clipPicker(), 2);
    EXPECT_EQ(preset.audiogramClip, Clip::at(1));
    choose(form->clipPicker(), 1);
    EXPECT_EQ(preset.audiogramClip, Clip::start());
}

// Closing the window while a start time is being typed: the field, losing the focus as it is destroyed,
// says its editing finished into a form that is already half gone.
TEST_F(PodcastFormTest, ClosingWhileTypingAStartTimeIsQuiet) {
    choose(form->clipPicker(), 2);
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    type("1:3");
    ASSERT_TRUE(form->startField()->hasFocus());
    const int before = writes;
    form.reset();
    EXPECT_EQ(writes, before);
    EXPECT_EQ(preset.audiogramClip, Clip::at(60));
}

TEST_F(PodcastFormTest, SpeechAndFFmpegFactsAreAskedOnEveryRedraw) {
    speech = false;
    mp3 = false;
    preset.removeFillerWords = true;
    form->refresh();
    for (QCheckBox* box : {form->fillerToggle(), form->transcriptToggle(), form->captionToggle()}) {
        EXPECT_FALSE(box->isEnabled()) << box->text().toStdString();
    }
    EXPECT_TRUE(form->fillerToggle()->isChecked());
    EXPECT_TRUE(form->transcriptToggle()->isChecked());
    EXPECT_EQ(form->fillerToggle()->toolTip(), "Needs the English speech model (pocketsphinx-en-us).");
    EXPECT_EQ(form->transcriptToggle()->toolTip(), "Needs the English speech model (pocketsphinx-en-us).");
    EXPECT_EQ(form->captionToggle()->toolTip(), "Word-by-word highlighted captions from the on-device transcript.");
    EXPECT_EQ(form->rssToggle()->text(), "RSS File (AAC .m4a + tags)");
    speech = mp3 = true;
    form->refresh();
    EXPECT_EQ(form->rssToggle()->text(), "192kbps MP3 RSS File (ID3 tags)");
    EXPECT_TRUE(form->transcriptToggle()->isEnabled());
    EXPECT_EQ(form->transcriptToggle()->toolTip(), "Made on this computer; nothing is uploaded.");
}

TEST_F(PodcastFormTest, TextFieldsTogglesAndFileRowsWriteTheirField) {
    QTest::keyClicks(form->showTitleField(), "!");
    EXPECT_EQ(preset.showTitle, "My Podcast!");
    QTest::keyClicks(form->hostNameField(), "?");
    EXPECT_EQ(preset.hostName, "Your Name?");
    form->gateToggle()->click();
    EXPECT_TRUE(preset.cleanup.noiseGate);
    choose(form->humPicker(), 3);
    EXPECT_EQ(preset.cleanup.humRemoval, CleanupOptions::HumMode::hz60);
    form->whisperToggle()->click();
    EXPECT_TRUE(preset.generateWhisperReference);
    choose(form->lengthPicker(), 4);
    EXPECT_EQ(preset.audiogramSeconds, 90);

    QStringList offered;
    form->setChooser([&](const QStringList& types) {
        offered = types;
        return std::optional<std::filesystem::path>("/music/theme.mp3");
    });
    form->introRow()->chooseButton()->click();
    EXPECT_EQ(preset.introURL, std::filesystem::path("/music/theme.mp3"));
    EXPECT_EQ(offered.size(), 5);
    ASSERT_NE(form->introRow()->removeButton(), nullptr);
    form->introRow()->removeButton()->click();
    EXPECT_FALSE(preset.introURL);
    form->coverRow()->chooseButton()->click();
    EXPECT_EQ(offered, QStringList{"PNG or JPEG image (*.png *.jpg *.jpeg)"});
}

// Pictures of three states, written where MORVALE_FORM_SNAPSHOTS points, for a person to look at.
TEST_F(PodcastFormTest, ThreeStatesRender) {
    const char* folder = std::getenv("MORVALE_FORM_SNAPSHOTS");
    const auto shoot = [&](const char* name) {
        form->setFixedWidth(460);
        form->adjustSize();
        const QPixmap picture = form->grab();
        EXPECT_GT(picture.height(), 400) << name;
        if (folder != nullptr) picture.save(QString::fromUtf8(folder) + "/" + name + ".png");
        return picture.height();
    };
    const int defaults = shoot("podcast-defaults");

    choose(form->standardPicker(), rowOf(form->standardPicker(), "Custom"));
    choose(form->chapterPicker(), 2);
    form->chapterEditor()->setPlainText("0:00 Intro\n5:30 Interview\n42:10 Wrap-up");
    choose(form->clipPicker(), 2);
    type("1:30");
    finishTyping();
    EXPECT_EQ(preset.audiogramClip, Clip::at(90));
    const int custom = shoot("podcast-custom");
    EXPECT_GT(custom, defaults);

    speech = mp3 = false;
    choose(form->standardPicker(), rowOf(form->standardPicker(), "Audible / ACX audiobook"));
    shoot("podcast-acx-no-model-no-ffmpeg");
}

}  // namespace
}  // namespace morvale

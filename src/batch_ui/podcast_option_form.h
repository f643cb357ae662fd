#pragma once

#include "batch_presets/skeldon_preset.h"
#include "batch_ui/form_rows.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSlider;
class QVBoxLayout;

namespace morvale {

// The podcast product's option form: seven sections in the order of the work on an episode (show,
// loudness, clean-up, music, exports, chapters, audiogram). It keeps no state of its own: everything
// shown is read from the bound preset, and every control writes straight into one field of it, only
// when the user acts on it. Values restored from settings that a control cannot hold (an episode 0, a
// -35 LUFS target, a 2.5 s pause) are shown as stored and left alone. Main thread only.
class SkeldonOptions : public QWidget {
    Q_OBJECT

public:
    // The naming tokens podcast patterns may use; the branding's help text is this list.
    static constexpr std::string_view tokens = "{show}, {ep:02}, {title}, {date}";

    // Two facts from outside the preset, asked afresh on every redraw.
    struct Facts {
        std::function<bool()> speechSupported;  // transcripts can be made
        std::function<bool()> producesMP3;      // an FFmpeg executable can be found
    };
    // The speech model's presence and the shared pipeline's FFmpeg search.
    static Facts systemFacts();

    explicit SkeldonOptions(Binding<SkeldonPreset> preset, Facts facts = systemFacts(), QWidget* parent = nullptr);
    ~SkeldonOptions() override;

    // Shows the bound preset again: rebuilds the sections when a row appears or goes, otherwise only
    // updates the controls' values and labels.
    void refresh();

    // Replaces the open dialog of the three file rows (tests drive them without a person).
    void setChooser(FilePickerRow::Chooser chooser);

    // Titles of the sections shown, top to bottom.
    QStringList sectionTitles() const;

    // The controls, for tests; null while hidden.
    QLineEdit* showTitleField() const { return showTitle_; }
    QLineEdit* hostNameField() const { return hostName_; }
    StepperRow* episodeStepper() const { return episode_; }
    QComboBox* standardPicker() const { return standard_; }
    QSlider* loudnessSlider() const { return loudness_; }
    QLabel* loudnessText() const { return loudnessText_; }
    QLabel* loudnessNote() const { return loudnessNote_; }
    QCheckBox* rumbleToggle() const { return rumble_; }
    QComboBox* humPicker() const { return hum_; }
    QCheckBox* levelerToggle() const { return leveler_; }
    QCheckBox* gateToggle() const { return gate_; }
    QCheckBox* trimToggle() const { return trim_; }
    QComboBox* pausePicker() const { return pause_; }
    QCheckBox* fillerToggle() const { return fillers_; }
    FilePickerRow* introRow() const { return intro_; }
    FilePickerRow* outroRow() const { return outro_; }
    QCheckBox* masterToggle() const { return master_; }
    QCheckBox* rssToggle() const { return rss_; }
    QCheckBox* transcriptToggle() const { return transcripts_; }
    QCheckBox* whisperToggle() const { return whisper_; }
    QComboBox* chapterPicker() const { return chapters_; }
    QPlainTextEdit* chapterEditor() const { return chapterList_; }
    QCheckBox* audiogramToggle() const { return audiogram_; }
    QComboBox* shapePicker() const { return shape_; }
    QComboBox* clipPicker() const { return clip_; }
    QLineEdit* startField() const { return start_; }
    QComboBox* lengthPicker() const { return length_; }
    QCheckBox* captionToggle() const { return captions_; }
    FilePickerRow* coverRow() const { return cover_; }

private:
    // What decides which rows exist.
    struct Layout {
        bool custom;
        std::optional<double> customPause;
        SkeldonPreset::ChapterMode chapterMode;
        bool audiogram;
        bool clipAt;
        std::optional<double> customLength;
        std::optional<std::filesystem::path> intro, outro, cover;
        bool operator==(const Layout&) const = default;
    };
    static Layout layoutOf(const SkeldonPreset& preset);

    void rebuild(const SkeldonPreset& preset);
    void sync(const SkeldonPreset& preset, bool speech, bool mp3);
    template <class F>
    void edit(F&& change);
    FormSection* addSection(QVBoxLayout* layout, const QString& title);
    QCheckBox* addToggle(FormSection* section, const QString& title, const QString& help,
                         std::function<void(SkeldonPreset&, bool)> store);
    void addShowSection(QVBoxLayout* layout);
    void addLoudnessSection(QVBoxLayout* layout, const SkeldonPreset& preset);
    void addCleanupSection(QVBoxLayout* layout, const SkeldonPreset& preset);
    void addMusicSection(QVBoxLayout* layout, const SkeldonPreset& preset);
    void addExportSection(QVBoxLayout* layout);
    void addChapterSection(QVBoxLayout* layout, const SkeldonPreset& preset);
    void addAudiogramSection(QVBoxLayout* layout, const SkeldonPreset& preset);
    FilePickerRow* fileRow(FormSection* section, const QString& label, const std::optional<std::filesystem::path>& url,
                           const QStringList& types,
                           std::function<void(SkeldonPreset&, const std::optional<std::filesystem::path>&)> store);
    void finishStartTime();

    Binding<SkeldonPreset> preset_;
    Facts facts_;
    FilePickerRow::Chooser chooser_;
    std::optional<Layout> layout_;
    QVBoxLayout* outer_ = nullptr;
    QPointer<QWidget> content_;
    QList<QPointer<FormSection>> sections_;

    QLineEdit* showTitle_ = nullptr;
    QLineEdit* hostName_ = nullptr;
    StepperRow* episode_ = nullptr;
    QComboBox* standard_ = nullptr;
    QSlider* loudness_ = nullptr;
    QLabel* loudnessText_ = nullptr;
    QLabel* loudnessNote_ = nullptr;
    QCheckBox* rumble_ = nullptr;
    QComboBox* hum_ = nullptr;
    QCheckBox* leveler_ = nullptr;
    QCheckBox* gate_ = nullptr;
    QCheckBox* trim_ = nullptr;
    QComboBox* pause_ = nullptr;
    QCheckBox* fillers_ = nullptr;
    FilePickerRow* intro_ = nullptr;
    FilePickerRow* outro_ = nullptr;
    QCheckBox* master_ = nullptr;
    QCheckBox* rss_ = nullptr;
    QCheckBox* transcripts_ = nullptr;
    QCheckBox* whisper_ = nullptr;
    QComboBox* chapters_ = nullptr;
    QPlainTextEdit* chapterList_ = nullptr;
    QCheckBox* audiogram_ = nullptr;
    QComboBox* shape_ = nullptr;
    QComboBox* clip_ = nullptr;
    QLineEdit* start_ = nullptr;
    QComboBox* length_ = nullptr;
    QCheckBox* captions_ = nullptr;
    FilePickerRow* cover_ = nullptr;
};

}  // namespace morvale

#include "batch_ui/podcast_option_form.h"

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/chapter_builder.h"
#include "av_engine/transcriber.h"
#include "base/c_format.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace morvale {

namespace {

using Standard = SkeldonPreset::LoudnessStandard;
using ChapterMode = SkeldonPreset::ChapterMode;
using Clip = AudioVideoPipeline::ClipChoice;

constexpr std::array<double, 4> kPauses{0.0, 1.5, 2.0, 3.0};
constexpr std::array<double, 5> kLengths{15, 30, 45, 60, 90};
// The slider moves in half-LUFS ticks over -30 ... -10.
constexpr int kTicksPerLU = 2;
constexpr double kQuietest = -30.0;
constexpr double kLoudest = -10.0;
// Starts past this many seconds (some 30 years) are taken for typing mistakes.
constexpr double kLongestStart = 1.0e9;

const QString kNoSpeech = QStringLiteral("Needs the English speech model (pocketsphinx-en-us).");

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
QString qs(const std::string& text) { return QString::fromStdString(text); }

QComboBox* makePicker(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(8);
    return combo;
}

// Selects the row whose data equals `value`, without telling anyone.
void selectData(QComboBox* combo, const QVariant& value) {
    if (combo == nullptr) return;
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(combo->findData(value));
}

void check(QCheckBox* box, bool on) {
    if (box == nullptr) return;
    const QSignalBlocker blocker(box);
    box->setChecked(on);
}

std::optional<double> outside(double value, const auto& fixed) {
    if (std::find(fixed.begin(), fixed.end(), value) != fixed.end()) return std::nullopt;
    return value;
}

int loudnessTicks(double lufs) {
    // The handle sits at the end for a value it can't show; the stored value is left as it is.
    if (!std::isfinite(lufs)) return static_cast<int>(-16 * kTicksPerLU);
    return static_cast<int>(std::lround(std::clamp(lufs, kQuietest, kLoudest) * kTicksPerLU));
}

QString loudnessNoteFor(Standard standard) {
    switch (standard) {
    case Standard::applePodcasts: return QStringLiteral("Apple's recommended level for spoken word. Peaks stay under -1 dBTP.");
    case Standard::spotify:
    case Standard::youtube: return QStringLiteral("Matches the platform's playback level, so it isn't turned down.");
    case Standard::ebuR128:
    case Standard::atsc:
        return qs(cformat("True peak ceiling %.0f dBTP for broadcast delivery.", SkeldonPreset::truePeak(standard)));
    case Standard::acx:
        return QStringLiteral("RMS -23 to -18 dB, peaks under -3 dB, noise floor under -60 dB. A pass/fail report is "
                              "written next to the master.");
    case Standard::custom: return QStringLiteral("Try -19 LUFS for mono spoken word.");
    }
    return {};
}

// Whole seconds for a length label, bounded so that any stored number has one.
long long wholeSeconds(double seconds) {
    if (!std::isfinite(seconds)) return 0;
    return static_cast<long long>(std::trunc(std::clamp(seconds, -1.0e15, 1.0e15)));
}

int clipKind(const Clip& clip) {
    switch (clip.kind()) {
    case Clip::Kind::automatic: return 0;
    case Clip::Kind::start: return 1;
    case Clip::Kind::at: return 2;
    }
    return 0;
}

const QStringList kMusicTypes{QStringLiteral("Audio (*.wav *.aif *.aiff *.mp3 *.m4a *.aac *.flac *.caf *.ogg *.opus)"),
                              QStringLiteral("MPEG-4 audio (*.m4a *.mp4 *.aac)"), QStringLiteral("MP3 (*.mp3)"),
                              QStringLiteral("WAV (*.wav)"), QStringLiteral("AIFF (*.aif *.aiff)")};
const QStringList kImageTypes{QStringLiteral("PNG or JPEG image (*.png *.jpg *.jpeg)")};

}  // namespace

SkeldonOptions::Facts SkeldonOptions::systemFacts() {
    return Facts{[] { return AudioVideoPipeline::shared().transcribes(); },
                 [] { return AudioVideoPipeline::shared().producesMP3(); }};
}

SkeldonOptions::SkeldonOptions(Binding<SkeldonPreset> preset, Facts facts, QWidget* parent)
    : QWidget(parent), preset_(std::move(preset)), facts_(std::move(facts)) {
    outer_ = new QVBoxLayout(this);
    outer_->setContentsMargins(0, 0, 0, 0);
    refresh();
}

SkeldonOptions::~SkeldonOptions() {
    // The rows are destroyed after this body, when the form's own members are already gone, and a
    // field that has the focus then says its editing finished: nothing of the rows may reach the
    // form any more.
    for (QObject* row : findChildren<QObject*>()) QObject::disconnect(row, nullptr, this, nullptr);
}

SkeldonOptions::Layout SkeldonOptions::layoutOf(const SkeldonPreset& p) {
    return Layout{p.loudnessStandard() == Standard::custom,
                  outside(p.cleanup.maxPauseSeconds, kPauses),
                  p.chapterMode,
                  p.generateAudiogram,
                  p.audiogramClip.kind() == Clip::Kind::at,
                  outside(p.audiogramSeconds, kLengths),
                  p.introURL,
                  p.outroURL,
                  p.artworkURL};
}

void SkeldonOptions::refresh() {
    const SkeldonPreset preset = preset_.get();
    const Layout layout = layoutOf(preset);
    if (!layout_ || !(*layout_ == layout)) {
        rebuild(preset);
        layout_ = layout;
    }
    sync(preset, facts_.speechSupported && facts_.speechSupported(), facts_.producesMP3 && facts_.producesMP3());
}

void SkeldonOptions::setChooser(FilePickerRow::Chooser chooser) {
    chooser_ = std::move(chooser);
    for (FilePickerRow* row : {intro_, outro_, cover_}) {
        if (row != nullptr) row->setChooser(chooser_);
    }
}

QStringList SkeldonOptions::sectionTitles() const {
    QStringList titles;
    for (const auto& section : sections_) {
        if (!section.isNull()) titles << section->title().replace(QStringLiteral("&&"), QStringLiteral("&"));
    }
    return titles;
}

template <class F>
void SkeldonOptions::edit(F&& change) {
    SkeldonPreset preset = preset_.get();
    change(preset);
    preset_.set(preset);
    refresh();
}

FormSection* SkeldonOptions::addSection(QVBoxLayout* layout, const QString& title) {
    // A group box reads "&" as a shortcut mark.
    auto* section = new FormSection(QString(title).replace(QLatin1Char('&'), QStringLiteral("&&")), content_);
    layout->addWidget(section);
    sections_.append(section);
    return section;
}

QCheckBox* SkeldonOptions::addToggle(FormSection* section, const QString& title, const QString& help,
                                     std::function<void(SkeldonPreset&, bool)> store) {
    auto* box = new QCheckBox(title, section);
    if (!help.isEmpty()) box->setToolTip(help);
    connect(box, &QCheckBox::toggled, this, [this, store = std::move(store)](bool on) {
        edit([&](SkeldonPreset& p) { store(p, on); });
    });
    section->addRow(box);
    return box;
}

FilePickerRow* SkeldonOptions::fileRow(
    FormSection* section, const QString& label, const std::optional<std::filesystem::path>& url,
    const QStringList& types, std::function<void(SkeldonPreset&, const std::optional<std::filesystem::path>&)> store) {
    auto* row = new FilePickerRow(label, url, types,
                                  [this, store = std::move(store)](const std::optional<std::filesystem::path>& chosen) {
                                      edit([&](SkeldonPreset& p) { store(p, chosen); });
                                  },
                                  section);
    if (chooser_) row->setChooser(chooser_);
    section->addRow(row);
    return row;
}

void SkeldonOptions::rebuild(const SkeldonPreset& preset) {
    // The old rows may be the sender of the edit that led here: hide them now, delete them later.
    if (!content_.isNull()) {
        content_->hide();
        outer_->removeWidget(content_);
        content_->deleteLater();
    }
    sections_.clear();
    showTitle_ = hostName_ = start_ = nullptr;
    episode_ = nullptr;
    standard_ = hum_ = pause_ = chapters_ = shape_ = clip_ = length_ = nullptr;
    loudness_ = nullptr;
    loudnessText_ = loudnessNote_ = nullptr;
    rumble_ = leveler_ = gate_ = trim_ = fillers_ = master_ = rss_ = transcripts_ = whisper_ = audiogram_ = captions_ =
        nullptr;
    intro_ = outro_ = cover_ = nullptr;
    chapterList_ = nullptr;

    content_ = new QWidget(this);
    auto* layout = new QVBoxLayout(content_);
    layout->setContentsMargins(0, 0, 0, 0);
    outer_->addWidget(content_);

    addShowSection(layout);
    addLoudnessSection(layout, preset);
    addCleanupSection(layout, preset);
    addMusicSection(layout, preset);
    addExportSection(layout);
    addChapterSection(layout, preset);
    addAudiogramSection(layout, preset);
    layout->addStretch(1);
}

void SkeldonOptions::addShowSection(QVBoxLayout* layout) {
    FormSection* section = addSection(layout, QStringLiteral("Show"));
    showTitle_ = new QLineEdit(section);
    connect(showTitle_, &QLineEdit::textEdited, this,
            [this](const QString& text) { edit([&](SkeldonPreset& p) { p.showTitle = text.toStdString(); }); });
    section->addRow(QStringLiteral("Show Title"), showTitle_);
    hostName_ = new QLineEdit(section);
    connect(hostName_, &QLineEdit::textEdited, this,
            [this](const QString& text) { edit([&](SkeldonPreset& p) { p.hostName = text.toStdString(); }); });
    section->addRow(QStringLiteral("Host / Artist Name"), hostName_);
    episode_ = new StepperRow(QStringLiteral("Starting Episode #: "), QString(), 1, 9999, section);
    connect(episode_, &StepperRow::stepped, this,
            [this](qint64 value) { edit([value](SkeldonPreset& p) { p.episodeNumber = value; }); });
    section->addRow(episode_);
}

void SkeldonOptions::addLoudnessSection(QVBoxLayout* layout, const SkeldonPreset& preset) {
    FormSection* section = addSection(layout, QStringLiteral("Loudness Target"));
    standard_ = makePicker(section);
    for (const Standard s : SkeldonPreset::allLoudnessStandards()) {
        standard_->addItem(qs(SkeldonPreset::displayName(s)), static_cast<int>(s));
    }
    connect(standard_, &QComboBox::activated, this, [this](int index) {
        const auto s = static_cast<Standard>(standard_->itemData(index).toInt());
        edit([s](SkeldonPreset& p) { p.setLoudnessStandard(s); });
    });
    section->addRow(QStringLiteral("Deliver for"), standard_);
    if (preset.loudnessStandard() == Standard::custom) {
        auto* row = new QWidget(section);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        loudness_ = new QSlider(Qt::Horizontal, row);
        loudness_->setRange(static_cast<int>(kQuietest * kTicksPerLU), static_cast<int>(kLoudest * kTicksPerLU));
        loudnessText_ = new QLabel(row);
        QFont font = monospacedFont(11);
        font.setBold(true);
        loudnessText_->setFont(font);
        // 80 points, and never narrower than the longest reading.
        loudnessText_->setFixedWidth(std::max(80 * loudnessText_->logicalDpiX() / 72,
                                              QFontMetrics(font).horizontalAdvance(QStringLiteral("-30.0 LUFS")) + 4));
        loudnessText_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        rowLayout->addWidget(loudness_, 1);
        rowLayout->addWidget(loudnessText_);
        connect(loudness_, &QSlider::valueChanged, this, [this](int ticks) {
            const double lufs = static_cast<double>(ticks) / kTicksPerLU;
            edit([lufs](SkeldonPreset& p) { p.targetLUFS = lufs; });
        });
        section->addRow(row);
    }
    loudnessNote_ = new OptionNote(QString(), section);
    section->addRow(loudnessNote_);
}

void SkeldonOptions::addCleanupSection(QVBoxLayout* layout, const SkeldonPreset& preset) {
    FormSection* section = addSection(layout, QStringLiteral("Clean-Up"));
    rumble_ = addToggle(section, QStringLiteral("Rumble Filter (80 Hz)"),
                        QStringLiteral("Removes desk thumps, traffic and mic-handling rumble."),
                        [](SkeldonPreset& p, bool on) { p.cleanup.rumbleFilter = on; });
    hum_ = makePicker(section);
    for (const auto mode : CleanupOptions::allCases()) {
        hum_->addItem(qs(CleanupOptions::displayName(mode)), static_cast<int>(mode));
    }
    connect(hum_, &QComboBox::activated, this, [this](int index) {
        const auto mode = static_cast<CleanupOptions::HumMode>(hum_->itemData(index).toInt());
        edit([mode](SkeldonPreset& p) { p.cleanup.humRemoval = mode; });
    });
    section->addRow(QStringLiteral("Hum Removal"), hum_);
    leveler_ = addToggle(section, QStringLiteral("Leveler (even out speakers)"),
                         QStringLiteral("Brings quiet guests up and loud moments down before loudness normalization."),
                         [](SkeldonPreset& p, bool on) { p.cleanup.leveler = on; });
    gate_ = addToggle(section, QStringLiteral("Noise Gate Between Phrases"),
                      QStringLiteral("Turns background noise down by 12 dB when nobody is talking."),
                      [](SkeldonPreset& p, bool on) { p.cleanup.noiseGate = on; });
    trim_ = addToggle(section, QStringLiteral("Trim Dead Air at Start and End"), QString(),
                      [](SkeldonPreset& p, bool on) { p.cleanup.trimSilence = on; });
    pause_ = makePicker(section);
    pause_->addItem(QStringLiteral("Off"), 0.0);
    pause_->addItem(QStringLiteral("Longer than 1.5 s"), 1.5);
    pause_->addItem(QStringLiteral("Longer than 2 s"), 2.0);
    pause_->addItem(QStringLiteral("Longer than 3 s"), 3.0);
    // A restored value outside the fixed list keeps a row of its own, so the selection shows it.
    if (const auto custom = outside(preset.cleanup.maxPauseSeconds, kPauses)) {
        pause_->addItem(qs(cformat("Longer than %.1f s", *custom)), *custom);
    }
    connect(pause_, &QComboBox::activated, this, [this](int index) {
        const double seconds = pause_->itemData(index).toDouble();
        edit([seconds](SkeldonPreset& p) { p.cleanup.maxPauseSeconds = seconds; });
    });
    section->addRow(QStringLiteral("Shorten Long Pauses"), pause_);
    fillers_ = addToggle(section, QStringLiteral("Remove Filler Words (um, uh, repeats)"), QString(),
                         [](SkeldonPreset& p, bool on) { p.removeFillerWords = on; });
}

void SkeldonOptions::addMusicSection(QVBoxLayout* layout, const SkeldonPreset& preset) {
    FormSection* section = addSection(layout, QStringLiteral("Intro & Outro Music"));
    intro_ = fileRow(section, QStringLiteral("Intro"), preset.introURL, kMusicTypes,
                     [](SkeldonPreset& p, const auto& url) { p.introURL = url; });
    outro_ = fileRow(section, QStringLiteral("Outro"), preset.outroURL, kMusicTypes,
                     [](SkeldonPreset& p, const auto& url) { p.outroURL = url; });
    section->addRow(new OptionNote(QStringLiteral("Loudness-matched to the episode and joined with short fades."), section));
}

void SkeldonOptions::addExportSection(QVBoxLayout* layout) {
    FormSection* section = addSection(layout, QStringLiteral("Exports"));
    master_ = addToggle(section, QString(), QString(), [](SkeldonPreset& p, bool on) { p.generateMaster = on; });
    rss_ = addToggle(section, QString(),
                     QStringLiteral("MP3 export uses FFmpeg when it's installed (apt install ffmpeg); otherwise an "
                                    "AAC .m4a is made."),
                     [](SkeldonPreset& p, bool on) { p.generateRSSMaster = on; });
    transcripts_ = addToggle(section, QStringLiteral("Transcript (.srt, .vtt, .txt)"), QString(),
                             [](SkeldonPreset& p, bool on) { p.generateTranscripts = on; });
    whisper_ = addToggle(section, QStringLiteral("16kHz Mono Whisper Reference WAV"), QString(),
                         [](SkeldonPreset& p, bool on) { p.generateWhisperReference = on; });
}

void SkeldonOptions::addChapterSection(QVBoxLayout* layout, const SkeldonPreset& preset) {
    FormSection* section = addSection(layout, QStringLiteral("Chapters"));
    chapters_ = makePicker(section);
    for (const ChapterMode mode : SkeldonPreset::allChapterModes()) {
        chapters_->addItem(qs(SkeldonPreset::displayName(mode)), static_cast<int>(mode));
    }
    connect(chapters_, &QComboBox::activated, this, [this](int index) {
        const auto mode = static_cast<ChapterMode>(chapters_->itemData(index).toInt());
        edit([mode](SkeldonPreset& p) { p.chapterMode = mode; });
    });
    section->addRow(QStringLiteral("Chapter Markers"), chapters_);
    if (preset.chapterMode == ChapterMode::manual) {
        chapterList_ = new QPlainTextEdit(section);
        chapterList_->setFont(monospacedFont(11));
        chapterList_->setFixedHeight(84);
        chapterList_->setStyleSheet(QStringLiteral("QPlainTextEdit { border: 1px solid rgba(128, 128, 128, 64); "
                                                   "border-radius: 5px; }"));
        connect(chapterList_, &QPlainTextEdit::textChanged, this, [this] {
            const std::string text = chapterList_->toPlainText().toStdString();
            edit([&](SkeldonPreset& p) { p.chapterList = text; });
        });
        section->addRow(chapterList_);
        section->addRow(new OptionNote(
            QStringLiteral("One per line, e.g.  0:00 Intro  ·  5:30 Interview  ·  42:10 Wrap-up"), section));
    }
    if (preset.chapterMode != ChapterMode::off) {
        section->addRow(new OptionNote(
            QStringLiteral("Saved as a Podcasting 2.0 chapters file (.json) for your host and a timestamp list (.txt) "
                           "for show notes. Also embedded in the MP3 when FFmpeg is installed."),
            section));
    }
}

void SkeldonOptions::addAudiogramSection(QVBoxLayout* layout, const SkeldonPreset& preset) {
    FormSection* section = addSection(layout, QStringLiteral("Social Audiogram"));
    audiogram_ = addToggle(section, QStringLiteral("Audiogram Video (MP4)"), QString(),
                           [](SkeldonPreset& p, bool on) { p.generateAudiogram = on; });
    if (preset.generateAudiogram) {
        shape_ = makePicker(section);
        for (const auto aspect : AudiogramGenerator::allAspectRatios) {
            shape_->addItem(qs(AudiogramGenerator::shortName(aspect)), static_cast<int>(aspect));
        }
        connect(shape_, &QComboBox::activated, this, [this](int index) {
            const auto aspect = static_cast<AudiogramGenerator::AspectRatio>(shape_->itemData(index).toInt());
            edit([aspect](SkeldonPreset& p) { p.audiogramAspect = aspect; });
        });
        section->addRow(QStringLiteral("Shape"), shape_);

        clip_ = makePicker(section);
        clip_->addItem(QStringLiteral("Liveliest part (automatic)"), 0);
        clip_->addItem(QStringLiteral("Start of episode"), 1);
        clip_->addItem(QStringLiteral("Starting at…"), 2);
        connect(clip_, &QComboBox::activated, this, [this](int index) {
            const int kind = clip_->itemData(index).toInt();
            edit([kind](SkeldonPreset& p) {
                if (kind == 0) {
                    p.audiogramClip = Clip::automatic();
                } else if (kind == 1) {
                    p.audiogramClip = Clip::start();
                } else if (p.audiogramClip.kind() != Clip::Kind::at) {
                    // Re-choosing "Starting at…" keeps the time already set.
                    p.audiogramClip = Clip::at(60);
                }
            });
        });
        section->addRow(QStringLiteral("Clip"), clip_);

        if (preset.audiogramClip.kind() == Clip::Kind::at) {
            auto* row = new QWidget(section);
            auto* rowLayout = new QHBoxLayout(row);
            rowLayout->setContentsMargins(0, 0, 0, 0);
            rowLayout->addWidget(new QLabel(QStringLiteral("Start time"), row));
            rowLayout->addStretch(1);
            start_ = new QLineEdit(row);
            start_->setPlaceholderText(QStringLiteral("m:ss"));
            start_->setAccessibleName(QStringLiteral("m:ss"));
            start_->setFont(monospacedFont(11));
            start_->setFixedWidth(80 * start_->logicalDpiX() / 72);
            // Stored when the user is done typing: "1" on the way to "1:30" is not a start of one second.
            connect(start_, &QLineEdit::editingFinished, this, &SkeldonOptions::finishStartTime);
            rowLayout->addWidget(start_);
            section->addRow(row);
        }

        length_ = makePicker(section);
        for (const double seconds : kLengths) {
            length_->addItem(qs(cformat("%lld seconds", wholeSeconds(seconds))), seconds);
        }
        if (const auto custom = outside(preset.audiogramSeconds, kLengths)) {
            length_->addItem(qs(cformat("%lld seconds", wholeSeconds(*custom))), *custom);
        }
        connect(length_, &QComboBox::activated, this, [this](int index) {
            const double seconds = length_->itemData(index).toDouble();
            edit([seconds](SkeldonPreset& p) { p.audiogramSeconds = seconds; });
        });
        section->addRow(QStringLiteral("Length"), length_);

        captions_ = addToggle(section, QStringLiteral("Burn In Captions"),
                              QStringLiteral("Word-by-word highlighted captions from the on-device transcript."),
                              [](SkeldonPreset& p, bool on) { p.captionAudiogram = on; });
    }
    cover_ = fileRow(section, QStringLiteral("Cover Art"), preset.artworkURL, kImageTypes,
                     [](SkeldonPreset& p, const auto& url) { p.artworkURL = url; });
}

void SkeldonOptions::finishStartTime() {
    if (start_ == nullptr) return;
    const std::optional<double> seconds = ChapterBuilder::seconds(start_->text().toStdString());
    start_->setModified(false);
    if (seconds && std::fabs(*seconds) <= kLongestStart) {
        const double s = *seconds;
        edit([s](SkeldonPreset& p) { p.audiogramClip = Clip::at(s); });
    } else {
        refresh();  // shows the stored start again
    }
}

void SkeldonOptions::sync(const SkeldonPreset& preset, bool speech, bool mp3) {
    const auto setText = [](QLineEdit* field, const QString& text) {
        if (field != nullptr && field->text() != text) {
            const QSignalBlocker blocker(field);
            field->setText(text);
        }
    };
    setText(showTitle_, qs(preset.showTitle));
    setText(hostName_, qs(preset.hostName));
    // A restored number outside 1 ... 9999 is shown as stored; only a press changes it.
    if (episode_ != nullptr) episode_->setValue(preset.episodeNumber);

    selectData(standard_, static_cast<int>(preset.loudnessStandard()));
    if (loudness_ != nullptr) {
        const QSignalBlocker blocker(loudness_);
        loudness_->setValue(loudnessTicks(preset.targetLUFS));
    }
    if (loudnessText_ != nullptr) loudnessText_->setText(qs(cformat("%.1f LUFS", preset.targetLUFS)));
    if (loudnessNote_ != nullptr) loudnessNote_->setText(loudnessNoteFor(preset.loudnessStandard()));

    check(rumble_, preset.cleanup.rumbleFilter);
    selectData(hum_, static_cast<int>(preset.cleanup.humRemoval));
    check(leveler_, preset.cleanup.leveler);
    check(gate_, preset.cleanup.noiseGate);
    check(trim_, preset.cleanup.trimSilence);
    selectData(pause_, preset.cleanup.maxPauseSeconds);
    check(fillers_, preset.removeFillerWords);
    if (fillers_ != nullptr) {
        fillers_->setEnabled(speech);
        fillers_->setToolTip(speech ? QStringLiteral("Finds them in the on-device transcript and cuts them from the audio.")
                                    : kNoSpeech);
    }

    if (master_ != nullptr) {
        master_->setText(preset.loudnessStandard() == Standard::acx ? QStringLiteral("24-bit WAV Master + ACX Check Report")
                                                                    : QStringLiteral("24-bit WAV Loudness Master"));
    }
    check(master_, preset.generateMaster);
    if (rss_ != nullptr) {
        rss_->setText(mp3 ? QStringLiteral("192kbps MP3 RSS File (ID3 tags)") : QStringLiteral("RSS File (AAC .m4a + tags)"));
    }
    check(rss_, preset.generateRSSMaster);
    check(transcripts_, preset.generateTranscripts);
    if (transcripts_ != nullptr) {
        transcripts_->setEnabled(speech);
        transcripts_->setToolTip(speech ? QStringLiteral("Made on this computer; nothing is uploaded.") : kNoSpeech);
    }
    check(whisper_, preset.generateWhisperReference);

    selectData(chapters_, static_cast<int>(preset.chapterMode));
    if (chapterList_ != nullptr && chapterList_->toPlainText() != qs(preset.chapterList)) {
        const QSignalBlocker blocker(chapterList_);
        chapterList_->setPlainText(qs(preset.chapterList));
    }

    check(audiogram_, preset.generateAudiogram);
    selectData(shape_, static_cast<int>(preset.audiogramAspect));
    selectData(clip_, clipKind(preset.audiogramClip));
    // What the user is typing stays until editing finishes.
    if (start_ != nullptr && !start_->isModified()) {
        setText(start_, qs(ChapterBuilder::clock(preset.audiogramClip.seconds(), false)));
    }
    selectData(length_, preset.audiogramSeconds);
    check(captions_, preset.captionAudiogram);
    if (captions_ != nullptr) captions_->setEnabled(speech);
}

}  // namespace morvale

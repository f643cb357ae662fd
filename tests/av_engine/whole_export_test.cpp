// Whole exports with given words and a given loudness result: every output and every log line is known
// in advance, so each is checked exactly rather than through what a recogniser happened to hear.

#include "av_engine/audio_video_pipeline.h"

#include "audio_fixtures.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Request = AudioVideoPipeline::MultiFormatExportRequest;
using Result = LoudnessNormalizer::Result;

// Hands back the words (or the failure) it was given, and notes what it was asked to hear.
class GivenWords final : public SpeechRecogniser {
public:
    GivenWords(bool supported, std::vector<CaptionWord> words, std::string failure = {})
        : supported_(supported), words_(std::move(words)), failure_(std::move(failure)) {}

    bool isSupported() const override { return supported_; }
    std::vector<CaptionWord> transcribe(const fs::path& file, const std::string&, const LogSink&,
                                        std::stop_token) const override {
        {
            const std::lock_guard lock(mutex_);
            heard_.push_back(file.filename().string());
        }
        if (!failure_.empty()) throw std::runtime_error(failure_);
        return words_;
    }
    std::vector<std::string> heard() const {
        const std::lock_guard lock(mutex_);
        return heard_;
    }

private:
    bool supported_;
    std::vector<CaptionWord> words_;
    std::string failure_;
    mutable std::mutex mutex_;
    mutable std::vector<std::string> heard_;
};

// Writes the real normaliser's audio, then reports the given measurements for the episode.
class GivenLoudness final : public LoudnessProcessor {
public:
    GivenLoudness(fs::path episode, Result result) : episode_(std::move(episode)), result_(std::move(result)) {}

    Result process(const fs::path& source, const fs::path& destination, const LoudnessNormalizer::LoudnessTarget& target,
                   const CleanupOptions& cleanup, const LogSink& log, std::stop_token stop) const override {
        Result real = LoudnessNormalizer().process(source, destination, target, cleanup, log, std::move(stop));
        return source == episode_ ? result_ : real;
    }

private:
    fs::path episode_;
    Result result_;
};

struct Said {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<double, std::string>> steps;

    LogSink log() {
        return [this](const std::string& line) {
            const std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    ProgressSink progress() {
        return [this](double fraction, const std::string& message) {
            const std::lock_guard lock(mutex);
            steps.emplace_back(fraction, message);
        };
    }
};

std::vector<std::string> names(const std::vector<fs::path>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.filename().string());
    return out;
}

// Sets a variable for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Speech of exactly `seconds` at 44.1 kHz mono, so the programme's length is known to the sample.
fs::path episodeOf(const fs::path& folder, double seconds) {
    const fs::path speech = test::makeSpeech(folder, seconds + 20, 44100);
    const fs::path episode = folder / "ep12.wav";
    if (!test::run("sox -q " + test::quoted(speech) + " " + test::quoted(episode) + " trim 0 " + std::to_string(seconds))) {
        throw std::runtime_error("cannot make the episode");
    }
    return episode;
}

Request requestFor(const fs::path& source, const fs::path& out) {
    ID3TagInjector::PodcastMetadata tags;
    tags.title = "Episode twelve";
    tags.artist = "Ann Host";
    tags.podcastName = "Tide Talk";
    tags.episodeNumber = 12;
    return Request(source, out, "ep12", tags, true, true, true, false, {-16, -1, 11, false});
}

// The WAVs the export writes are read by tools nobody here wrote: Python's wave module and sox agree on
// the format (channels, bytes per sample, rate) and the length, to within the sample a cut may round.
void expectOutsideReadersAgree(const fs::path& wav, const std::string& format, double seconds) {
    SCOPED_TRACE(wav.filename().string());
    const auto read = test::pythonReport(
        "import sys, wave\n"
        "w = wave.open(sys.argv[1])\n"
        "print('format', w.getnchannels(), w.getsampwidth(), w.getframerate(), sep='\\t')\n"
        "print('frames', w.getnframes(), sep='\\t')\n",
        wav);
    EXPECT_EQ(read.at("format"), format);
    const double rate = std::stod(format.substr(format.rfind('\t') + 1));
    EXPECT_NEAR(std::stod(read.at("frames")), seconds * rate, 1.0);
    EXPECT_EQ(test::capture("soxi -s " + test::quoted(wav)), read.at("frames") + "\n");
}

// Two chapters' worth of talk with a filler, a stutter and a swallowed "uh" at a sentence start; times on
// the episode's time line. No word runs long enough to hide a hesitation, so the cuts are the words' alone.
const std::vector<CaptionWord> kWords{
    {"Welcome", 1.00, 1.40},  {"to", 1.45, 1.60},      {"um", 1.70, 2.00},       {"the", 2.10, 2.25},
    {"the", 2.30, 2.45},      {"show.", 2.50, 2.90},   {"Today", 4.00, 4.30},    {"we", 4.35, 4.50},
    {"talk", 4.55, 4.80},     {"about", 4.85, 5.15},   {"tides.", 5.20, 5.60},   {"Uh,", 8.00, 8.30},
    {"waves", 8.40, 8.70},    {"matter.", 8.75, 9.10}, {"Our", 70.00, 70.20},    {"guest", 70.25, 70.55},
    {"studies", 70.60, 71.00}, {"harbours.", 71.05, 71.50}, {"Thanks", 75.00, 75.30}, {"for", 75.35, 75.50},
    {"listening.", 75.55, 76.10},
};

TEST(WholeExport, GivenWordsAndLoudnessDecideEveryOutputAndLine) {
    const test::TempDir dir;
    const fs::path episode = episodeOf(dir.path(), 110.5);
    const fs::path intro = dir / "intro.wav";
    const fs::path outro = dir / "outro.wav";
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 1 " + test::quoted(intro) + " synth 4 sine 440 fade 0.5 4 0.5"));
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 1 " + test::quoted(outro) + " synth 3 sine 330 fade 0.5 3 0.5"));

    Result measured;
    measured.input.integratedLUFS = -24.37;
    measured.output.integratedLUFS = -16.02;
    measured.gainDB = 8.36;
    measured.output.truePeakDBTP = -1.04;
    measured.limiterReductionDB = -0.62;
    measured.humRemovedHz = 60.4;
    measured.levelerRangeDB = std::pair{-3.3, 4.5};
    measured.secondsRemoved = 2.46;
    auto words = std::make_shared<GivenWords>(true, kWords);
    AudioVideoPipeline::Options options;
    options.recogniser = words;
    options.loudness = std::make_shared<GivenLoudness>(episode, measured);
    const AudioVideoPipeline pipeline(options);

    const fs::path out = dir / "out";
    Request r = requestFor(episode, out);
    r.cleanup = CleanupOptions{true, CleanupOptions::HumMode::off, true, false, false, 0.0};
    r.introURL = intro;
    r.outroURL = outro;
    r.removeFillers = r.generateTranscripts = r.generateAudiogram = r.captionAudiogram = true;
    r.chapters = AudioVideoPipeline::ChapterSetting::automatic();
    r.audiogramClip = AudioVideoPipeline::ClipChoice::at(60);
    r.audiogramSeconds = 15;
    Said said;
    std::vector<fs::path> outputs;
    {
        const ScopedVariable debugWords("ORBISK_DEBUG_WORDS", "");
        outputs = pipeline.processMultiFormat(r, said.progress(), said.log());
    }

    EXPECT_EQ(words->heard(), std::vector<std::string>{"episode.wav"});
    EXPECT_EQ(names(outputs), (std::vector<std::string>{"ep12_Master_-16LUFS.wav", "ep12_Chapters.json",
                                                         "ep12_Chapters.txt", "ep12_RSS_192k.mp3",
                                                         "ep12_WhisperRef_16k.wav", "ep12_Transcript.srt",
                                                         "ep12_Transcript.vtt", "ep12_Transcript.txt",
                                                         "ep12_Audiogram.mp4"}));
    EXPECT_EQ(said.lines,
              (std::vector<std::string>{
                  "ep12.wav: -24.4 LUFS -> -16.0 LUFS (gain +8.4 dB, true peak -1.0 dBTP, limiter -0.6 dB)",
                  "Clean-up: rumble filter, 60 Hz hum removed, noise gate, leveler -3.3 to +4.5 dB, 2.5 s of silence cut",
                  "Words: Welcome[1.00-1.40] to[1.45-1.60] um[1.70-2.00] the[2.10-2.25] the[2.30-2.45] show.[2.50-2.90] "
                  "Today[4.00-4.30] we[4.35-4.50] talk[4.55-4.80] about[4.85-5.15] tides.[5.20-5.60] Uh,[8.00-8.30] "
                  "waves[8.40-8.70] matter.[8.75-9.10] Our[70.00-70.20] guest[70.25-70.55] studies[70.60-71.00] "
                  "harbours.[71.05-71.50] Thanks[75.00-75.30] for[75.35-75.50] listening.[75.55-76.10]",
                  // um with the gap after it, the first "the" likewise, and "Uh," up to "waves": 0.6 + 0.4 s.
                  "Filler words: removed 3 (1 x repeated words, 1 x uh, 1 x um), 1.0 s shorter",
                  "Chapters: 4 (Intro · Welcome to the show · Our guest studies harbours · Outro)",
                  "Transcript: 18 words, 5 captions",
                  "Audiogram clip: 01:00 to 01:15",
              }));
    EXPECT_EQ(said.steps, (std::vector<std::pair<double, std::string>>{
                              {0.05, "Analysing and cleaning up audio..."},
                              {0.25, "Transcribing on this computer..."},
                              {0.32, "Removing filler words..."},
                              {0.3, "Adding intro / outro music..."},
                              {0.45, "Encoding 192kbps MP3 RSS Master with ID3 tags..."},
                              {0.6, "Generating 16kHz mono Whisper transcript reference..."},
                              {0.85, "Rendering social audiogram video snippet..."},
                              {1.0, "Export complete."},
                          }));

    // The programme is the 4 s intro, the episode less 1.0 s of fillers, and the 3 s outro. Chapters are
    // on its time line: the found ones move by the intro, the first to exactly its end, the outro's
    // begins where the episode ends; the second found chapter opens 0.3 s before "Our" (70.0 - 1.0 + 4).
    EXPECT_NEAR(std::stod(test::probe(outputs[0], "format=duration")), 116.5, 1.5 / 44100);
    EXPECT_EQ(test::readFile(outputs[2]),
              "00:00 Intro\n00:04 Welcome to the show\n01:12 Our guest studies harbours\n01:53 Outro\n");
    EXPECT_EQ(test::readFile(outputs[1]),
              "{\n  \"chapters\" : [\n"
              "    {\n      \"startTime\" : 0,\n      \"title\" : \"Intro\"\n    },\n"
              "    {\n      \"startTime\" : 4,\n      \"title\" : \"Welcome to the show\"\n    },\n"
              "    {\n      \"startTime\" : 72.7,\n      \"title\" : \"Our guest studies harbours\"\n    },\n"
              "    {\n      \"startTime\" : 113.5,\n      \"title\" : \"Outro\"\n    }\n"
              "  ],\n  \"version\" : \"1.2.0\"\n}");
    EXPECT_EQ(test::capture("ffprobe -v error -show_entries chapter=start_time,end_time:chapter_tags=title -of csv=p=0 " +
                            test::quoted(outputs[3])),
              "0.000000,4.000000,Intro\n4.000000,72.700000,Welcome to the show\n"
              "72.700000,113.500000,Our guest studies harbours\n113.500000,116.500000,Outro\n");

    // Captions: the re-timed words grouped into cues, every time moved by the intro.
    EXPECT_EQ(test::readFile(outputs[5]),
              "1\n00:00:05,000 --> 00:00:06,300\nWelcome to the show.\n\n"
              "2\n00:00:07,400 --> 00:00:09,000\nToday we talk about tides.\n\n"
              "3\n00:00:11,400 --> 00:00:12,100\nWaves matter.\n\n"
              "4\n00:01:13,000 --> 00:01:14,500\nOur guest studies harbours.\n\n"
              "5\n00:01:18,000 --> 00:01:19,100\nThanks for listening.\n");
    EXPECT_EQ(test::readFile(outputs[6]),
              "WEBVTT\n\n"
              "00:00:05.000 --> 00:00:06.300\nWelcome to the show.\n\n"
              "00:00:07.400 --> 00:00:09.000\nToday we talk about tides.\n\n"
              "00:00:11.400 --> 00:00:12.100\nWaves matter.\n\n"
              "00:01:13.000 --> 00:01:14.500\nOur guest studies harbours.\n\n"
              "00:01:18.000 --> 00:01:19.100\nThanks for listening.\n");
    EXPECT_EQ(test::readFile(outputs[7]),
              "[00:05] Welcome to the show. Today we talk about tides.\n\n[00:11] Waves matter.\n\n"
              "[01:13] Our guest studies harbours.\n\n[01:18] Thanks for listening.\n");
    EXPECT_EQ(test::probe(outputs[8], "stream=duration", "-select_streams v:0"), "15.000000");

    expectOutsideReadersAgree(outputs[0], "1\t3\t44100", 116.5);
    expectOutsideReadersAgree(outputs[4], "1\t2\t16000", 116.5);
}

// A recogniser that cannot work, or fails, leaves the words empty: every stage that needs them says so or
// is passed over, and the rest of the export goes on. The ACX summary and verdict come from the given
// measurement, which describes the master as written when nothing was cut or added.
TEST(WholeExport, WithoutWordsTheWordStagesStepAside) {
    const test::TempDir dir;
    const fs::path episode = episodeOf(dir.path(), 12);
    Result measured;
    measured.input.rmsDB = -27.26;
    measured.output.rmsDB = -17.5;
    measured.output.samplePeakDB = -3.6;
    measured.output.noiseFloorDB = -61.04;
    measured.acxReport = LoudnessNormalizer::ACXReport{-17.5, -3.6, -61.04, 44100};
    const struct {
        const char* name;
        bool supported;
        std::string failure;
        std::string skipped;
    } cases[] = {
        {"unsupported", false, "", "Transcript skipped: on-device transcription needs the English speech model (pocketsphinx-en-us)."},
        {"failing", true, "No speech was recognised.", "Transcript skipped: No speech was recognised."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioVideoPipeline::Options options;
        options.recogniser = std::make_shared<GivenWords>(c.supported, kWords, c.failure);
        options.loudness = std::make_shared<GivenLoudness>(episode, measured);
        const AudioVideoPipeline pipeline(options);
        const fs::path out = dir / c.name;
        Request r = requestFor(episode, out);
        r.targetLUFS = LoudnessNormalizer::LoudnessTarget::audibleACX();
        r.generateRSSMaster = false;
        r.removeFillers = r.generateTranscripts = true;
        r.chapters = AudioVideoPipeline::ChapterSetting::automatic();
        Said said;
        const ScopedVariable debugWords("ORBISK_DEBUG_WORDS", "1");
        const auto outputs = pipeline.processMultiFormat(r, said.progress(), said.log());
        EXPECT_EQ(names(outputs),
                  (std::vector<std::string>{"ep12_Master_ACX.wav", "ep12_ACX_Check.txt", "ep12_WhisperRef_16k.wav"}));
        EXPECT_EQ(said.lines, (std::vector<std::string>{
                                  "ep12.wav: RMS -27.3 dB -> -17.5 dB, peak -3.6 dB, noise floor -61.0 dB",
                                  c.skipped,
                                  "Words: ",
                                  "ACX check: does not pass yet, see ep12_ACX_Check.txt",
                                  "Chapters skipped: automatic chapters need the transcript",
                              }));
        EXPECT_EQ(test::readFile(outputs[1]), measured.acxReport->text());
        expectOutsideReadersAgree(outputs[0], "1\t3\t44100", 12);
        expectOutsideReadersAgree(outputs[2], "1\t2\t16000", 12);
        // The recogniser the reference is made for reads it: it takes the format from the canonical
        // header's fixed offsets and refuses any other layout.
        const std::string heard = test::capture("pocketsphinx_continuous -infile " + test::quoted(outputs[2]) +
                                                " -logfn /dev/null");
        EXPECT_GE(std::count(heard.begin(), heard.end(), ' '), 3) << heard;
    }
}

}  // namespace
}  // namespace morvale

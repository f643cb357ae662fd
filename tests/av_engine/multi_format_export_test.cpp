#include "av_engine/audio_video_pipeline.h"
#include "av_engine/ffmpeg_runner.h"
#include "av_engine/scratch_folder.h"
#include "base/cancellation.h"

#include "audio_fixtures.h"
#include "fake_ffmpeg.h"
#include "media_fixtures.h"
#include "support/owner_process.h"
#include "support/shell_command.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Request = AudioVideoPipeline::MultiFormatExportRequest;
using Target = LoudnessNormalizer::LoudnessTarget;

constexpr Target kApple{-16, -1, 11, false};
constexpr Target kACX{-20, -3.5, 11, true};

// What one export said, collected from whatever thread said it.
struct Transcript {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<double, std::string>> steps;
    std::vector<fs::path> scratchFolders;  // Skeldon-* seen while the export ran
    unsigned scratchMode = 0;

    LogSink log() {
        return [this](const std::string& l) {
            std::lock_guard lock(mutex);
            lines.push_back(l);
        };
    }
    ProgressSink progress(const fs::path& tmp) {
        return [this, tmp](double f, const std::string& m) {
            std::lock_guard lock(mutex);
            steps.emplace_back(f, m);
            for (const auto& e : fs::directory_iterator(tmp)) {
                if (e.path().filename().string().rfind("Skeldon-", 0) != 0) continue;
                if (std::find(scratchFolders.begin(), scratchFolders.end(), e.path()) == scratchFolders.end()) {
                    scratchFolders.push_back(e.path());
                }
                struct stat st{};
                if (::stat(e.path().c_str(), &st) == 0) scratchMode = st.st_mode & 07777;
            }
        };
    }
    // Index of the first line starting with `prefix`, or -1.
    int find(const std::string& prefix) const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    }
};

std::vector<std::string> names(const std::vector<fs::path>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.filename().string());
    return out;
}

std::vector<fs::path> leftovers(const fs::path& tmp) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(tmp)) {
        if (e.path().filename().string().rfind("Skeldon-", 0) == 0) out.push_back(e.path());
    }
    return out;
}

double number(const std::string& text) { return std::stod(text); }

// Points the process's temporary folder at a folder of the test, so scratch folders can be counted.
class ExportTest : public ::testing::Test {
protected:
    fs::path tmp() const { return dir / "tmp"; }
    fs::path out() const { return dir / "out"; }

    Request request(const fs::path& source, const Target& target = kApple) const {
        ID3TagInjector::PodcastMetadata tags;
        tags.title = "Episode twelve";
        tags.artist = "Ann Host";
        tags.podcastName = "Tide Talk";
        tags.episodeNumber = 12;
        return Request(source, out(), "ep12", tags, true, true, false, false, target);
    }

    test::TempDir dir;

private:
    test::ScopedTmpdir scopedTmp_{tmp()};
};

// A short noisy recording: speech over pink noise, as a stereo WAV at the given rate.
fs::path shortEpisode(const fs::path& folder, int rate, double seconds = 12) {
    const fs::path speech = test::makeSpeech(folder, seconds, rate);
    const fs::path noise = folder / "noise.wav";
    const fs::path noisy = folder / ("noisy_" + std::to_string(rate) + ".wav");
    const std::string r = std::to_string(rate);
    if (!test::run("sox -q -n -r " + r + " -c 1 " + test::quoted(noise) + " synth " + std::to_string(seconds) +
                   " pinknoise vol 0.003 && sox -q -m -v 1 " + test::quoted(speech) + " -v 1 " + test::quoted(noise) +
                   " -c 2 " + test::quoted(noisy))) {
        throw std::runtime_error("cannot make a short episode");
    }
    return noisy;
}

// A fake ffmpeg that keeps the arguments of its first call (the encode) and then runs the real one.
test::FakeFFmpeg recordingFFmpeg() {
    return test::FakeFFmpeg("d=$(dirname \"$0\")/..; [ -f \"$d/encode.txt\" ] || cp \"$d/argv.txt\" \"$d/encode.txt\"; "
                            "exec /usr/bin/ffmpeg \"$@\"");
}

std::vector<std::string> encodeArguments(const test::FakeFFmpeg& fake) {
    std::vector<std::string> out;
    std::istringstream in(test::readFile(fake.path().parent_path().parent_path() / "encode.txt"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// ---- The whole product on a generated five-minute episode, every stage on; one run, many checks.

// Sentences with 2.5 s pauses and hesitations, spoken by espeak-ng, over pink noise and 50 Hz hum;
// a stereo 48 kHz WAV of about five minutes.
fs::path makeEpisode(const fs::path& folder) {
    static const char* const topics[] = {"the harbour", "the tides", "the lighthouse", "the fishing fleet",
                                         "the old pier", "the storm season"};
    static const char* const frames[] = {
        "Today we talk about %s and why it matters to everyone who lives along this coast.",
        "Um, when I first saw %s, I could not believe how much it had changed over the years.",
        "Our guest has spent twenty years studying %s and has brought some wonderful stories.",
        "What surprised you most about %s when you started your research?",
        "Many listeners wrote in with questions about %s, so let us answer a few of them now.",
        "The history of %s goes back further than most people think, uh, at least three centuries.",
        "If you visit %s this summer, bring a warm coat, because the wind never really stops.",
    };
    std::string ssml = "<speak>";
    int n = 0;
    for (const char* topic : topics) {
        for (const char* frame : frames) {
            std::string sentence = frame;
            sentence.replace(sentence.find("%s"), 2, topic);
            ssml += sentence;
            ssml += ++n % 6 == 0 ? " <break time=\"2500ms\"/> " : " <break time=\"600ms\"/> ";
        }
    }
    ssml += "</speak>";
    const fs::path text = folder / "episode.ssml";
    std::ofstream(text) << ssml;
    const fs::path voice = folder / "voice.wav";
    const fs::path episode = folder / "ep12.wav";
    const std::string q = test::quoted(voice);
    if (!test::run("espeak-ng -m -v en-us -s 165 -w " + q + " -f " + test::quoted(text)) ||
        !test::run("sox -q " + q + " -r 48000 -c 2 " + test::quoted(folder / "voice48.wav")) ||
        !test::run("d=$(soxi -D " + test::quoted(folder / "voice48.wav") + ") && sox -q -n -r 48000 -c 2 " +
                   test::quoted(folder / "noise.wav") + " synth $d pinknoise vol 0.004 && sox -q -n -r 48000 -c 2 " +
                   test::quoted(folder / "hum.wav") + " synth $d sine 50 vol 0.01 && sox -q -m -v 1 " +
                   test::quoted(folder / "voice48.wav") + " -v 1 " + test::quoted(folder / "noise.wav") + " -v 1 " +
                   test::quoted(folder / "hum.wav") + " " + test::quoted(episode))) {
        throw std::runtime_error("cannot make the episode");
    }
    return episode;
}

TEST_F(ExportTest, FiveMinuteEpisodeEndToEnd) {
    const fs::path episode = makeEpisode(dir.path());
    const fs::path intro = dir / "intro.wav";
    const fs::path outro = dir / "outro.wav";
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 2 " + test::quoted(intro) + " synth 8 sine 440 sine 660 fade 0.5 8 0.5"));
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 2 " + test::quoted(outro) + " synth 6 sine 330 sine 495 fade 0.5 6 0.5"));
    const fs::path cover = dir / "cover.png";
    test::makePicture(cover, "png", 600, 600);

    Request r = request(episode);
    r.metadata.artworkURL = cover;
    r.generateWhisperReference = r.generateAudiogram = r.generateTranscripts = r.captionAudiogram = true;
    r.removeFillers = true;
    r.cleanup = CleanupOptions{true, CleanupOptions::HumMode::autoDetect, false, true, true, 0.0};
    r.introURL = intro;
    r.outroURL = outro;
    r.chapters = AudioVideoPipeline::ChapterSetting::automatic();
    r.audiogramClip = AudioVideoPipeline::ClipChoice::automatic();

    Transcript said;
    const auto outputs = AudioVideoPipeline().processMultiFormat(r, said.progress(tmp()), said.log());
    for (const auto& line : said.lines) std::cout << "log: " << line << "\n";

    EXPECT_EQ(names(outputs), (std::vector<std::string>{"ep12_Master_-16LUFS.wav", "ep12_Chapters.json",
                                                         "ep12_Chapters.txt", "ep12_RSS_192k.mp3",
                                                         "ep12_WhisperRef_16k.wav", "ep12_Transcript.srt",
                                                         "ep12_Transcript.vtt", "ep12_Transcript.txt",
                                                         "ep12_Audiogram.mp4"}));
    // The log in the order of the stages.
    int last = -1;
    for (const std::string prefix : {"ep12.wav: ", "Clean-up: rumble filter, 50 Hz hum removed", "Filler words: ",
                                     "Chapters: ", "Transcript: "}) {
        const int at = said.find(prefix);
        EXPECT_GT(at, last) << prefix;
        last = std::max(last, at);
    }
    // The liveliest passage may open the episode, which needs no excerpt.
    if (said.find("Audiogram clip: ") >= 0) {
        EXPECT_GT(said.find("Audiogram clip: "), last);
    }
    EXPECT_NE(said.lines[0].find(" LUFS (gain "), std::string::npos) << said.lines[0];
    std::vector<std::string> messages;
    for (const auto& [f, m] : said.steps) messages.push_back(m);
    const bool cut = said.find("Filler words: removed") >= 0;
    std::vector<std::string> expected{"Analysing and cleaning up audio...", "Transcribing on this computer..."};
    if (cut) expected.emplace_back("Removing filler words...");
    expected.insert(expected.end(), {"Adding intro / outro music...", "Encoding 192kbps MP3 RSS Master with ID3 tags...",
                                     "Generating 16kHz mono Whisper transcript reference...",
                                     "Rendering social audiogram video snippet...", "Export complete."});
    EXPECT_EQ(messages, expected);
    ASSERT_EQ(said.scratchFolders.size(), 1u);
    EXPECT_EQ(said.scratchMode, 0700u);
    EXPECT_TRUE(leftovers(tmp()).empty());

    // The master, read by libebur128.
    const fs::path master = outputs[0];
    const auto reading = test::referenceLoudnessOfFile(master);
    ASSERT_TRUE(reading.integratedLUFS);
    EXPECT_NEAR(*reading.integratedLUFS, -16.0, 0.3);
    EXPECT_LE(reading.truePeakDB, -1.0 + 0.1);
    const auto mp3 = test::referenceLoudnessOfFile(outputs[3]);
    std::cout << "master: " << *reading.integratedLUFS << " LUFS, true peak " << reading.truePeakDB
              << " dBTP; MP3 decoded: " << mp3.integratedLUFS.value_or(-99) << " LUFS, true peak " << mp3.truePeakDB
              << " dBTP\n";
    RecordProperty("mp3_true_peak_dbtp", std::to_string(mp3.truePeakDB));

    // Chapters in the MP3: Intro at 0, the first found chapter at the intro's end, Outro after the episode.
    const double D = number(test::probe(master, "format=duration"));
    const std::string chapters = test::capture("ffprobe -v error -show_chapters -of csv=p=0 " + test::quoted(outputs[3]));
    std::vector<std::pair<double, std::string>> marks;
    std::istringstream rows(chapters);
    for (std::string row; std::getline(rows, row);) {
        // id,time_base,start,start_time,end,end_time,title
        std::vector<std::string> cells;
        std::stringstream cellStream(row);
        for (std::string cell; std::getline(cellStream, cell, ',');) cells.push_back(cell);
        ASSERT_GE(cells.size(), 7u) << row;
        marks.emplace_back(number(cells[3]), cells[6]);
    }
    ASSERT_GE(marks.size(), 4u) << chapters;
    EXPECT_EQ(marks.front().second, "Intro");
    EXPECT_NEAR(marks.front().first, 0.0, 0.01);
    EXPECT_NEAR(marks[1].first, 8.0, 0.01);
    EXPECT_EQ(marks.back().second, "Outro");
    EXPECT_NEAR(marks.back().first, D - 6.0, 0.05);  // E + 8, with D = 8 + E + 6
    EXPECT_NE(test::readFile(outputs[1]).find("\"version\" : \"1.2.0\""), std::string::npos);
    EXPECT_EQ(test::probe(outputs[3], "stream=codec_name", "-select_streams v"), "png");

    // Captions start after the intro.
    const std::string srt = test::readFile(outputs[5]);
    const auto arrow = srt.find(" --> ");
    ASSERT_NE(arrow, std::string::npos);
    const std::string first = srt.substr(arrow - 12, 12);
    EXPECT_GE(first, "00:00:08,000") << first;

    // The reference keeps the music: 16 kHz mono 16-bit, as long as the master.
    EXPECT_EQ(test::probe(outputs[4], "stream=sample_rate,channels,codec_name"), "pcm_s16le\n16000\n1");
    EXPECT_NEAR(number(test::probe(outputs[4], "format=duration")), D, 0.05);
    EXPECT_NEAR(number(test::probe(outputs[8], "format=duration")), 45.0, 0.1);
}

// ---- Distribution master, ACX and the 32 kHz rule, on short recordings through a recording ffmpeg.

TEST_F(ExportTest, DistributionMasterArgumentsAndACXReport) {
    struct Case {
        const char* name;
        Target target;
        int rate;
        bool master;
        bool intro;
        std::vector<std::string> outputs;
        bool raisedRate;  // "-ar" "44100" before the output path
    };
    const Case cases[] = {
        {"acx", kACX, 44100, true, false, {"ep12_Master_ACX.wav", "ep12_ACX_Check.txt", "ep12_RSS_192k.mp3"}, true},
        {"acx, no master", kACX, 44100, false, false, {"ep12_ACX_Check.txt", "ep12_RSS_192k.mp3"}, true},
        {"acx with intro", kACX, 44100, true, true, {"ep12_Master_ACX.wav", "ep12_ACX_Check.txt", "ep12_RSS_192k.mp3"}, true},
        {"22.05 kHz", kApple, 22050, true, false, {"ep12_Master_-16LUFS.wav", "ep12_RSS_192k.mp3"}, true},
        {"44.1 kHz", kApple, 44100, true, false, {"ep12_Master_-16LUFS.wav", "ep12_RSS_192k.mp3"}, false},
    };
    const fs::path intro = dir / "intro.wav";
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 2 " + test::quoted(intro) + " synth 4 sine 440 vol 0.5"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out());
        const auto fake = recordingFFmpeg();
        AudioVideoPipeline::Options options;
        options.ffmpegSearchLocations = {fake.path()};
        const AudioVideoPipeline pipeline(options);
        Request r = request(shortEpisode(dir.path(), c.rate), c.target);
        r.generateMaster = c.master;
        if (c.intro) r.introURL = intro;
        Transcript said;
        const auto outputs = pipeline.processMultiFormat(r, {}, said.log());
        EXPECT_EQ(names(outputs), c.outputs);

        auto args = encodeArguments(fake);
        ASSERT_GE(args.size(), 3u);
        const std::vector<std::string> tail(args.end() - 3, args.end());
        EXPECT_EQ(tail[0] == "-ar" && tail[1] == "44100", c.raisedRate) << tail[0] << " " << tail[1];
        EXPECT_EQ(fs::path(tail[2]).filename(), "rss.mp3");
        const fs::path mp3 = out() / "ep12_RSS_192k.mp3";
        EXPECT_EQ(test::probe(mp3, "stream=sample_rate"), c.raisedRate ? "44100" : std::to_string(c.rate));
        EXPECT_EQ(test::probe(mp3, "stream=bit_rate"), "192000");

        if (c.target.acx) {
            const std::string report = test::readFile(out() / "ep12_ACX_Check.txt");
            const bool passes = report.find("PASSES") != std::string::npos;
            EXPECT_EQ(said.lines.back(), passes ? "ACX check: passes" : "ACX check: does not pass yet, see ep12_ACX_Check.txt");
            EXPECT_EQ(said.lines.front().rfind(r.sourceURL.filename().string() + ": RMS ", 0), 0u) << said.lines.front();
            // The report reads the master as written, intro included.
            if (c.master) {
                const auto m = pipeline.normalizer().measure(out() / "ep12_Master_ACX.wav");
                char rms[64];
                std::snprintf(rms, sizeof rms, "RMS level      %6.1f dB", m.rmsDB);
                EXPECT_NE(report.find(rms), std::string::npos) << report;
            }
        }
    }
}

// ---- No FFmpeg: the M4A, from the working file, without chapters, then the advice line.

TEST_F(ExportTest, WithoutFFmpegTheMasterIsAnM4AWithoutChapters) {
    AudioVideoPipeline::Options options;
    options.ffmpegSearchLocations = {};
    const AudioVideoPipeline pipeline(options);
    EXPECT_FALSE(pipeline.producesMP3());
    const fs::path intro = dir / "intro.wav";
    ASSERT_TRUE(test::run("sox -q -n -r 44100 -c 2 " + test::quoted(intro) + " synth 4 sine 440 vol 0.5"));
    Request r = request(shortEpisode(dir.path(), 44100));
    r.introURL = intro;
    r.outroURL = dir / "missing outro.wav";
    r.chapters = AudioVideoPipeline::ChapterSetting::manual("0:00 Start\n0:05 Talk");
    Transcript said;
    const auto outputs = pipeline.processMultiFormat(r, said.progress(tmp()), said.log());
    EXPECT_EQ(names(outputs), (std::vector<std::string>{"ep12_Master_-16LUFS.wav", "ep12_Chapters.json",
                                                         "ep12_Chapters.txt", "ep12_RSS.m4a"}));
    const fs::path m4a = out() / "ep12_RSS.m4a";
    EXPECT_EQ(test::capture("ffprobe -v error -show_chapters -of csv=p=0 " + test::quoted(m4a)), "");
    EXPECT_NEAR(number(test::probe(m4a, "format=duration")), number(test::probe(outputs[0], "format=duration")), 0.1);
    EXPECT_GT(said.find("RSS master written as AAC (.m4a). Install FFmpeg (apt install ffmpeg) to get MP3 instead."),
              said.find("Chapters: 2 (Start · Talk)"));
    EXPECT_GE(said.find("Outro music not found: " + (dir / "missing outro.wav").string()), 0);
    EXPECT_EQ(said.steps[1].second, "Adding intro / outro music...");
    EXPECT_EQ(said.steps[2].second, "Encoding AAC RSS Master with tags...");
    EXPECT_TRUE(leftovers(tmp()).empty());
}

// ---- Failures: each names its cause, keeps what was written before it (and logs each kept file), and
// leaves no scratch folder.

TEST_F(ExportTest, FailuresKeepEarlierOutputsAndRemoveTheScratchFolder) {
    const fs::path good = shortEpisode(dir.path(), 44100, 6);
    const fs::path halfSecond = shortEpisode(dir.path(), 48000, 0.5);
    const fs::path garbage = dir.write("garbage.wav", std::string(4096, 'x'));
    const test::FakeFFmpeg failing("echo 'no encoder here' >&2; exit 1");
    // Fail or are stopped after the reference and the audiogram, which run beside the encode, were written.
    const test::FakeFFmpeg failingLate("sleep 2; echo 'no encoder here' >&2; exit 1");
    const test::FakeFFmpeg slow("sleep 2; exec /usr/bin/ffmpeg \"$@\"");
    struct Case {
        const char* name;
        fs::path source;
        std::vector<fs::path> ffmpeg;
        const char* stopAt;  // progress message on which the export is stopped
        std::string error;  // start of what()
        std::vector<std::string> kept;
        bool sideOutputs = false;  // reference and audiogram requested too
        bool intro = true;         // a (missing) intro: without one the encode is fed while the master renders
    };
    const Case cases[] = {
        {"unreadable source", garbage, {}, "", "Could not read audio from garbage.wav", {}},
        {"missing source", dir / "nothing.wav", {}, "", "Could not read audio from nothing.wav", {}},
        {"ffmpeg exits 1", good, {failing.path()}, "", "FFmpeg failed (exit 1): no encoder here", {"ep12_Master_-16LUFS.wav"}},
        {"ffmpeg exits 1 after the side stages", good, {failingLate.path()}, "", "FFmpeg failed (exit 1): no encoder here",
         {"ep12_Master_-16LUFS.wav"}, true},
        {"ffmpeg exits 1 while fed by the render", good, {failing.path()}, "", "FFmpeg failed (exit 1): no encoder here",
         {"ep12_Master_-16LUFS.wav"}, true, false},
        {"audiogram of a half-second episode", halfSecond, {}, "", "Audio is too short for an audiogram.",
         {"ep12_Master_-16LUFS.wav", "ep12_RSS.m4a", "ep12_WhisperRef_16k.wav"}, true},
        {"stopped", good, {}, "Adding intro / outro music...", "Cancelled", {}},
        // A stop removes what the export already wrote: no master is left without its MP3.
        {"stopped while encoding, after the side stages", good, {slow.path()},
         "Encoding 192kbps MP3 RSS Master with ID3 tags...", "Cancelled", {}, true},
        {"stopped while the render feeds a slow encoder", good, {slow.path()}, "Encoding 192kbps MP3 RSS Master with ID3 tags...",
         "Cancelled", {}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out());
        AudioVideoPipeline::Options options;
        options.ffmpegSearchLocations = c.ffmpeg;
        const AudioVideoPipeline pipeline(options);
        Request r = request(c.source);
        if (c.intro) r.introURL = dir / "no intro.wav";
        r.generateWhisperReference = r.generateAudiogram = c.sideOutputs;
        std::stop_source stop;
        const ProgressSink progress = [&](double, const std::string& m) {
            if (m == c.stopAt) stop.request_stop();
        };
        std::vector<std::string> keptLines;
        const LogSink log = [&](const std::string& line) {
            if (line.starts_with("kept ")) keptLines.push_back(line);
        };
        try {
            pipeline.processMultiFormat(r, progress, log, stop.get_token());
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
        }
        std::vector<std::string> present;
        if (fs::exists(out())) {
            for (const auto& e : fs::directory_iterator(out())) present.push_back(e.path().filename().string());
        }
        std::sort(present.begin(), present.end());
        EXPECT_EQ(present, c.kept);
        std::vector<std::string> said;
        for (const std::string& name : c.kept) said.push_back("kept " + (out() / name).string());
        EXPECT_EQ(keptLines, said);
        EXPECT_TRUE(leftovers(tmp()).empty());
    }
}

TEST_F(ExportTest, EverySwitchOffStillMeasuresAndReturnsNothing) {
    Request r = request(shortEpisode(dir.path(), 44100, 6));
    r.generateMaster = r.generateRSSMaster = false;
    Transcript said;
    EXPECT_TRUE(AudioVideoPipeline().processMultiFormat(r, said.progress(tmp()), said.log()).empty());
    ASSERT_EQ(said.lines.size(), 1u);
    EXPECT_EQ(said.steps.front().second, "Measuring loudness (ITU-R BS.1770)...");
    EXPECT_EQ(said.steps.back(), (std::pair<double, std::string>{1.0, "Export complete."}));
    EXPECT_TRUE(fs::is_directory(out()));
    EXPECT_TRUE(leftovers(tmp()).empty());
}

// A killed export's scratch folder (its episode copy can be gigabytes) goes when the next export
// starts, with a log line; one of an export still running stays.
TEST_F(ExportTest, AnExportRemovesTheScratchFolderOfAKilledExport) {
    const auto exporter = [this] {
        return test::OwnerProcess([this] { return (new ScratchFolder(tmp()))->path().string(); });
    };
    test::OwnerProcess running = exporter();
    test::OwnerProcess killed = exporter();
    killed.kill();
    ASSERT_TRUE(fs::is_directory(killed.made()));

    Request r = request(shortEpisode(dir.path(), 44100, 6));
    r.generateMaster = r.generateRSSMaster = false;
    Transcript said;
    AudioVideoPipeline().processMultiFormat(r, {}, said.log());
    ASSERT_FALSE(said.lines.empty());
    EXPECT_EQ(said.lines.front(), "Removed scratch folder " + killed.made() + " left by an earlier run");
    EXPECT_FALSE(fs::exists(killed.made()));
    EXPECT_EQ(leftovers(tmp()), std::vector<fs::path>{running.made()});
}

}  // namespace
}  // namespace morvale

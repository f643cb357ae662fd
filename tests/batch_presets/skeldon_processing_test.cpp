#include "batch_presets/skeldon_preset.h"
#include "batch_presets/vertical.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Request = AudioVideoPipeline::MultiFormatExportRequest;
using Standard = SkeldonPreset::LoudnessStandard;

// Stands in for the pipeline: keeps every request, says one progress step and one log line, and
// returns the request's master path.
struct FakePipeline {
    std::mutex mutex;
    std::vector<Request> requests;
    std::function<void()> during;  // runs inside the export, e.g. to wait for other items

    SkeldonPreset::Exporter exporter() {
        return [this](const Request& r, const ProgressSink& progress, const LogSink& log, std::stop_token) {
            {
                std::lock_guard lock(mutex);
                requests.push_back(r);
            }
            if (during) during();
            progress(0.45, "Encoding...");
            log("Chapters: 1 (Start)");
            return std::vector<fs::path>{r.destinationDirectory / (r.baseFileName + "_Master.wav")};
        };
    }
};

struct Said {
    std::mutex mutex;
    std::vector<std::pair<double, std::string>> progress;
    std::vector<std::string> lines;
};

ProcessingContext contextFor(std::int64_t index, std::int64_t total, const std::string& pattern, Said& said,
                             std::shared_ptr<RunLedger> ledger = {}) {
    BatchConfiguration config("/out", true, pattern, false, 2, false, false);
    return ProcessingContext(
        Uuid::random(), config, index, total,
        [&said](double f, const std::string& m) {
            std::lock_guard lock(said.mutex);
            said.progress.emplace_back(f, m);
        },
        [&said](const std::string& l) {
            std::lock_guard lock(said.mutex);
            said.lines.push_back(l);
        },
        std::move(ledger));
}

BatchItem item(const std::string& path) { return BatchItem(Uuid::random(), path); }

std::int64_t thisYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

TEST(SkeldonProcessing, RequestCarriesTheItemAndEveryOption) {
    struct Case {
        const char* name;
        std::function<void(SkeldonPreset&)> setUp;
        std::int64_t index;
        std::string pattern;
        std::string file;
        std::function<void(const Request&)> check;
    };
    const Case cases[] = {
        {"episode 12 at index 3", [](SkeldonPreset& p) { p.episodeNumber = 12; }, 3, "{show}_{ep:02}_{title}",
         "/in/intro_take_2.wav",
         [](const Request& r) {
             EXPECT_EQ(r.baseFileName, "Tide Talk_14_intro_take_2");
             EXPECT_EQ(r.metadata.episodeNumber, 14);
             EXPECT_EQ(r.metadata.title, "intro take 2");
             EXPECT_EQ(r.metadata.artist, "Ann Host");
             EXPECT_EQ(r.metadata.podcastName, "Tide Talk");
             EXPECT_FALSE(r.metadata.seasonNumber);
             EXPECT_EQ(r.metadata.releaseYear, thisYear());
             EXPECT_EQ(r.metadata.showNotes, "Exported with Skeldon. Loudness normalized to -16 LUFS.");
             EXPECT_EQ(r.sourceURL, fs::path("/in/intro_take_2.wav"));
             EXPECT_EQ(r.destinationDirectory, fs::path("/out"));
             EXPECT_EQ(r.targetLUFS, (LoudnessNormalizer::LoudnessTarget{-16, -1, 11, false}));
             EXPECT_EQ(r.chapters, AudioVideoPipeline::ChapterSetting::off());
         }},
        {"episode 0 pads to 00", [](SkeldonPreset& p) { p.episodeNumber = 0; }, 1, "{ep:02}", "/in/a.wav",
         [](const Request& r) { EXPECT_EQ(r.baseFileName, "00"); }},
        {"acx ignores the target", [](SkeldonPreset& p) { p.setLoudnessStandard(Standard::acx); }, 1, "x",
         "/in/a.wav",
         [](const Request& r) {
             EXPECT_EQ(r.targetLUFS, (LoudnessNormalizer::LoudnessTarget{-20, -3.5, 11, true}));
             EXPECT_EQ(r.cleanup.roomToneSeconds, 1.0);
             EXPECT_EQ(r.metadata.showNotes, "Exported with Skeldon for Audible / ACX.");
         }},
        {"atsc ceiling", [](SkeldonPreset& p) { p.setLoudnessStandard(Standard::atsc); }, 1, "x", "/in/a.wav",
         [](const Request& r) {
             EXPECT_EQ(r.targetLUFS, (LoudnessNormalizer::LoudnessTarget{-24, -2, 11, false}));
             EXPECT_EQ(r.metadata.showNotes, "Exported with Skeldon. Loudness normalized to -24 LUFS.");
         }},
        {"every option mapped",
         [](SkeldonPreset& p) {
             p.introURL = "/m/in.wav";
             p.outroURL = "/m/out.wav";
             p.artworkURL = "/m/cover.png";
             p.generateMaster = false;
             p.generateWhisperReference = true;
             p.generateTranscripts = false;
             p.captionAudiogram = false;
             p.audiogramAspect = AudiogramGenerator::AspectRatio::vertical;
             p.audiogramClip = AudioVideoPipeline::ClipChoice::at(90);
             p.audiogramSeconds = 30;
             p.removeFillerWords = true;
             p.chapterMode = SkeldonPreset::ChapterMode::manual;
             p.chapterList = "";
             p.cleanup.noiseGate = true;
         },
         1, "x", "/in/a.wav",
         [](const Request& r) {
             EXPECT_EQ(r.introURL, fs::path("/m/in.wav"));
             EXPECT_EQ(r.outroURL, fs::path("/m/out.wav"));
             EXPECT_EQ(r.metadata.artworkURL, fs::path("/m/cover.png"));
             EXPECT_FALSE(r.generateMaster || r.generateTranscripts || r.captionAudiogram);
             EXPECT_TRUE(r.generateRSSMaster && r.generateWhisperReference && r.generateAudiogram && r.removeFillers);
             EXPECT_EQ(r.audiogramAspect, AudiogramGenerator::AspectRatio::vertical);
             EXPECT_EQ(r.audiogramClip, AudioVideoPipeline::ClipChoice::at(90));
             EXPECT_EQ(r.audiogramSeconds, 30);
             EXPECT_EQ(r.chapters, AudioVideoPipeline::ChapterSetting::manual(""));
             EXPECT_TRUE(r.cleanup.noiseGate && r.cleanup.rumbleFilter);
             EXPECT_EQ(r.cleanup.roomToneSeconds, 0.3);
             EXPECT_EQ(r.transcriptLocale, AudioVideoPipeline::currentLocaleIdentifier());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SkeldonPreset preset("Tide Talk", "Ann Host", 1, -16, true, false, true, std::nullopt);
        c.setUp(preset);
        FakePipeline fake;
        Said said;
        const auto outputs = preset.processWith(item(c.file), contextFor(c.index, 3, c.pattern, said), fake.exporter());
        ASSERT_EQ(fake.requests.size(), 1u);
        c.check(fake.requests[0]);
        // The engine's outputs, progress and lines come back unchanged.
        EXPECT_EQ(outputs, std::vector<fs::path>{fs::path("/out") / (fake.requests[0].baseFileName + "_Master.wav")});
        EXPECT_EQ(said.progress, (std::vector<std::pair<double, std::string>>{{0.45, "Encoding..."}}));
        EXPECT_EQ(said.lines, std::vector<std::string>{"Chapters: 1 (Start)"});
    }
}

TEST(SkeldonProcessing, RefusedBeforeAnyWork) {
    struct Case {
        const char* name;
        std::function<void(SkeldonPreset&)> setUp;
        std::string pattern;
        std::string file;
        std::string error;
    };
    const Case cases[] = {
        {"NaN target", [](SkeldonPreset& p) { p.targetLUFS = std::nan(""); }, "{title}", "/in/a.wav",
         "Invalid loudness target"},
        {"infinite target", [](SkeldonPreset& p) { p.targetLUFS = -INFINITY; }, "{title}", "/in/a.wav",
         "Invalid loudness target"},
        // The master's name would be the item's own source.
        {"output is the source", [](SkeldonPreset&) {}, "ep", "/out/ep_Master_-16LUFS.wav",
         "Won't overwrite /out/ep_Master_-16LUFS.wav: this item reads it."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SkeldonPreset preset = defaultSkeldonPreset();
        c.setUp(preset);
        FakePipeline fake;
        Said said;
        try {
            preset.processWith(item(c.file), contextFor(1, 1, c.pattern, said), fake.exporter());
            ADD_FAILURE() << "not refused";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
        }
        EXPECT_TRUE(fake.requests.empty());
    }
}

TEST(SkeldonProcessing, OutputEqualToAJobSourceIsRefused) {
    // The second item's master name is the first item's source file.
    auto ledger = std::make_shared<RunLedger>(
        std::vector<fs::path>{"/out/x_Master_-16LUFS.wav", "/in/x.wav"});
    SkeldonPreset preset = defaultSkeldonPreset();
    FakePipeline fake;
    Said said;
    EXPECT_THROW(preset.processWith(item("/in/x.wav"), contextFor(2, 2, "{title}", said, ledger), fake.exporter()),
                 OutputConflict);
    EXPECT_TRUE(fake.requests.empty());
}

TEST(SkeldonProcessing, ItemsOfOneBaseNameDoNotReplaceEachOther) {
    // "{show}" alone gives both items one base name: the second fails naming both sources.
    auto ledger = std::make_shared<RunLedger>(std::vector<fs::path>{"/in/one.wav", "/in/two.wav"});
    SkeldonPreset preset = defaultSkeldonPreset();
    FakePipeline fake;
    Said said;
    preset.processWith(item("/in/one.wav"), contextFor(1, 2, "{show}", said, ledger), fake.exporter());
    try {
        preset.processWith(item("/in/two.wav"), contextFor(2, 2, "{show}", said, ledger), fake.exporter());
        ADD_FAILURE() << "second item not refused";
    } catch (const OutputConflict& e) {
        EXPECT_EQ(std::string(e.what()), "Won't overwrite My Podcast_Master_-16LUFS.wav: it is already the output of "
                                         "/in/one.wav in this run, and /in/two.wav would write it too. Add {index} or {name} "
                                         "to the naming pattern.");
    }
    EXPECT_EQ(fake.requests.size(), 1u);
}

TEST(SkeldonProcessing, ThreeItemsAtOnce) {
    auto ledger = std::make_shared<RunLedger>(std::vector<fs::path>{"/in/a.wav", "/in/b.wav", "/in/c.wav"});
    SkeldonPreset preset = defaultSkeldonPreset();
    preset.episodeNumber = 7;
    FakePipeline fake;
    std::barrier together(3);
    // Every export waits for the other two, so all three run at the same time.
    fake.during = [&] { together.arrive_and_wait(); };
    Said said;
    std::vector<std::vector<fs::path>> outputs(3);
    {
        std::vector<std::jthread> workers;
        const char* files[] = {"/in/a.wav", "/in/b.wav", "/in/c.wav"};
        for (int i = 0; i < 3; ++i) {
            workers.emplace_back([&, i] {
                outputs[static_cast<std::size_t>(i)] = preset.processWith(
                    item(files[i]), contextFor(i + 1, 3, preset.defaultNamingPattern(), said, ledger), fake.exporter());
            });
        }
    }
    EXPECT_EQ(outputs[0], std::vector<fs::path>{"/out/My Podcast_07_a_Master.wav"});
    EXPECT_EQ(outputs[1], std::vector<fs::path>{"/out/My Podcast_08_b_Master.wav"});
    EXPECT_EQ(outputs[2], std::vector<fs::path>{"/out/My Podcast_09_c_Master.wav"});
    EXPECT_EQ(said.lines.size(), 3u);
    // Their names are the run's: a fourth item with one of them fails.
    Said more;
    EXPECT_THROW(preset.processWith(item("/in/b.wav"), contextFor(2, 3, preset.defaultNamingPattern(), more, ledger),
                                    fake.exporter()),
                 OutputConflict);
}

}  // namespace
}  // namespace morvale

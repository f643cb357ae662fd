// The export's heavy stages take their working memory from a memory budget shared with other work, so
// that items started together wait for each other instead of together taking more than the machine has.

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/export_memory.h"
#include "base/cancellation.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Request = AudioVideoPipeline::MultiFormatExportRequest;

constexpr std::uint64_t kGB = std::uint64_t{1} << 30;
constexpr std::uint64_t kRecogniserBytes = std::uint64_t{300} << 20;

// Says two words and what the budget held while it ran.
class BudgetWatchingRecogniser final : public SpeechRecogniser {
public:
    explicit BudgetWatchingRecogniser(const MemoryBudget& budget) : budget_(budget) {}
    bool isSupported() const override { return true; }
    std::vector<CaptionWord> transcribe(const fs::path&, const std::string&, const LogSink&,
                                        std::stop_token) const override {
        heldWhileTranscribing = budget_.inUse();
        return {{"hello", 0.1, 0.4}, {"there", 0.5, 0.9}};
    }
    std::uint64_t workingMemory(double) const override { return bytes; }

    std::uint64_t bytes = kRecogniserBytes;
    mutable std::atomic<std::uint64_t> heldWhileTranscribing{0};

private:
    const MemoryBudget& budget_;
};

class ExportMemoryBudget : public ::testing::Test {
protected:
    void SetUp() override { test::makeTone(tone, 2.0); }
    AudioVideoPipeline pipeline(MemoryBudget& from) {
        return AudioVideoPipeline(AudioVideoPipeline::Options{{}, {}, 1, recogniser, {}, &from});
    }
    fs::path master() const {
        return dir / "out" / ("ep" + AudioVideoPipeline::masterSuffix(LoudnessNormalizer::LoudnessTarget{}));
    }
    Request request() const {
        Request r(tone, dir / "out", "ep", {}, true, false, false, false, LoudnessNormalizer::LoudnessTarget{});
        r.generateTranscripts = true;
        return r;
    }

    test::TempDir dir;
    fs::path tone = dir / "tone.wav";
    MemoryBudget budget{4 * kGB};
    std::shared_ptr<BudgetWatchingRecogniser> recogniser = std::make_shared<BudgetWatchingRecogniser>(budget);
};

TEST_F(ExportMemoryBudget, EachHeavyStageHoldsItsShareWhileItRunsAndGivesItBack) {
    Request r = request();
    r.generateAudiogram = true;
    std::uint64_t heldWhileMeasuring = 0;
    const auto written = pipeline(budget).processMultiFormat(r, {}, [&](const std::string& line) {
        if (line.starts_with("tone.wav: ")) heldWhileMeasuring = budget.inUse();  // the loudness summary
    });
    EXPECT_EQ(written.size(), 5u);  // master, three transcripts, audiogram
    EXPECT_GE(heldWhileMeasuring, ExportMemory::decoding(tone));
    EXPECT_GE(recogniser->heldWhileTranscribing.load(), kRecogniserBytes);
    EXPECT_EQ(budget.inUse(), 0u);
}

TEST_F(ExportMemoryBudget, AnExportWaitsWhileOtherWorkHoldsTheMemoryAndAStopEndsTheWait) {
    for (const bool stopWaiting : {false, true}) {
        SCOPED_TRACE(stopWaiting);
        fs::remove_all(dir / "out");
        std::optional<MemoryBudget::Reservation> otherItem = budget.reserve(budget.capacity());
        std::stop_source stop;
        const AudioVideoPipeline exporter = pipeline(budget);
        auto run = std::async(std::launch::async,
                              [&] { return exporter.processMultiFormat(request(), {}, {}, stop.get_token()); });
        // Nothing can happen while the budget is full: the export is still waiting after a while.
        EXPECT_EQ(run.wait_for(300ms), std::future_status::timeout);
        EXPECT_FALSE(fs::exists(master()));
        if (stopWaiting) {
            stop.request_stop();
            EXPECT_THROW(run.get(), OperationCancelled);
            EXPECT_FALSE(fs::exists(master()));
        } else {
            otherItem.reset();
            EXPECT_EQ(run.get().size(), 4u);
        }
        otherItem.reset();
        EXPECT_EQ(budget.inUse(), 0u);
    }
}

TEST_F(ExportMemoryBudget, AStageLargerThanTheWholeBudgetFailsTheItemSayingSo) {
    const std::uint64_t decoding = ExportMemory::decoding(tone);
    const std::uint64_t audiogram = ExportMemory::audiogram(AudiogramGenerator::AspectRatio::square, 2.0);
    struct Case {
        std::uint64_t capacity;
        bool audiogram;
        std::uint64_t failingStage;
    };
    std::vector<Case> cases{{std::uint64_t{1} << 20, false, decoding}};
    // The audiogram's share grows with the processors (x264's threads); on a machine of few it is less
    // than the loudness stage's, and no budget lets one through but not the other.
    if (audiogram > decoding) cases.push_back({audiogram - 1, true, audiogram});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        fs::remove_all(dir / "out");
        MemoryBudget small(c.capacity);
        recogniser->bytes = c.capacity + 1;
        Request r = request();
        r.generateAudiogram = c.audiogram;
        std::vector<std::string> skipped;
        try {
            pipeline(small).processMultiFormat(r, {}, [&](const std::string& line) {
                if (line.starts_with("Transcript skipped")) skipped.push_back(line);
            });
            ADD_FAILURE() << "exported";
        } catch (const MemoryBudgetExceeded& error) {
            EXPECT_STREQ(error.what(), MemoryBudgetExceeded(c.failingStage, c.capacity).what());
        }
        // A transcription that does not fit is passed over like any other that cannot be made.
        if (c.audiogram) {
            EXPECT_EQ(skipped, std::vector<std::string>{std::string("Transcript skipped: ") +
                                                         MemoryBudgetExceeded(c.capacity + 1, c.capacity).what()});
        }
        EXPECT_FALSE(fs::exists(dir / "out" / "ep_Audiogram.mp4"));
    }
}

}  // namespace
}  // namespace morvale

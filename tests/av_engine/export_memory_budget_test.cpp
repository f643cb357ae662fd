// The export's heavy stages take their working memory from a memory budget shared with other work, so
// that items started together wait for each other instead of together taking more than the machine has.

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/export_memory.h"
#include "base/cancellation.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Request = AudioVideoPipeline::MultiFormatExportRequest;

// Says two words, after noting what the budget held meanwhile.
struct BudgetWatchingRecogniser final : SpeechRecogniser {
    explicit BudgetWatchingRecogniser(const MemoryBudget& watched) : budget(watched) {}
    bool isSupported() const override { return true; }
    std::vector<CaptionWord> transcribe(const fs::path&, const std::string&, const LogSink&,
                                        std::stop_token) const override {
        held = budget.inUse();
        return {{"hello", 0.1, 0.4}, {"there", 0.5, 0.9}};
    }
    std::uint64_t workingMemory(double) const override { return bytes; }

    const MemoryBudget& budget;
    std::uint64_t bytes = std::uint64_t{300} << 20;
    mutable std::atomic<std::uint64_t> held{0};
};

class ExportMemoryBudget : public ::testing::Test {
protected:
    void SetUp() override { test::makeTone(tone, 2.0); }
    std::vector<fs::path> run(MemoryBudget& budget, bool audiogram, const LogSink& log = {},
                              std::stop_token stop = {}) {
        auto recogniser = std::make_shared<BudgetWatchingRecogniser>(budget);
        recogniser->bytes = recogniserBytes;
        const AudioVideoPipeline pipeline(AudioVideoPipeline::Options{{}, {}, 1, recogniser, {}, &budget});
        Request r(tone, dir / "out", "ep", {}, true, false, false, audiogram, LoudnessNormalizer::LoudnessTarget{});
        r.generateTranscripts = true;
        const auto written = pipeline.processMultiFormat(r, {}, log, std::move(stop));
        heldWhileTranscribing = recogniser->held;
        return written;
    }

    test::TempDir dir;
    fs::path tone = dir / "tone.wav";
    std::uint64_t recogniserBytes = std::uint64_t{300} << 20;
    std::uint64_t heldWhileTranscribing = 0;
};

TEST_F(ExportMemoryBudget, EachHeavyStageHoldsItsShareWhileItRunsOrFailsWhenItCanNeverFit) {
    MemoryBudget budget(std::uint64_t{4} << 30);
    std::uint64_t heldWhileMeasuring = 0;
    EXPECT_EQ(run(budget, true, [&](const std::string& line) {
                  if (line.starts_with("tone.wav: ")) heldWhileMeasuring = budget.inUse();  // the loudness summary
              }).size(), 5u);
    EXPECT_GE(heldWhileMeasuring, ExportMemory::decoding(tone));
    EXPECT_GE(heldWhileTranscribing, recogniserBytes);
    EXPECT_EQ(budget.inUse(), 0u);

    // Too small for the loudness stage; then for the audiogram only, where x264's threads make it the
    // larger (a transcription that can never fit is passed over like any other that cannot be made).
    const std::uint64_t decoding = ExportMemory::decoding(tone);
    const std::uint64_t audiogram = ExportMemory::audiogram(AudiogramGenerator::AspectRatio::square, 2.0);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> capacityAndFailing{{1 << 20, decoding}};
    if (audiogram > decoding) capacityAndFailing.emplace_back(audiogram - 1, audiogram);
    for (const auto& [capacity, failing] : capacityAndFailing) {
        MemoryBudget small(capacity);
        recogniserBytes = capacity + 1;
        std::vector<std::string> skipped;
        try {
            run(small, true, [&](const std::string& line) {
                if (line.starts_with("Transcript skipped")) skipped.push_back(line);
            });
            ADD_FAILURE() << "exported";
        } catch (const MemoryBudgetExceeded& error) {
            EXPECT_STREQ(error.what(), MemoryBudgetExceeded(failing, capacity).what());
        }
        if (failing == audiogram) {
            const std::string line =
                std::string("Transcript skipped: ") + MemoryBudgetExceeded(capacity + 1, capacity).what();
            EXPECT_EQ(skipped, std::vector<std::string>{line});
        }
    }
}

TEST_F(ExportMemoryBudget, AnExportWaitsWhileOtherWorkHoldsTheMemoryAndAStopEndsTheWait) {
    MemoryBudget budget(std::uint64_t{4} << 30);
    const fs::path master = dir / "out" / ("ep" + AudioVideoPipeline::masterSuffix({}));
    for (const bool stopWaiting : {false, true}) {
        SCOPED_TRACE(stopWaiting);
        fs::remove_all(dir / "out");
        std::optional<MemoryBudget::Reservation> otherItem = budget.reserve(budget.capacity());
        std::stop_source stop;
        auto exported = std::async(std::launch::async, [&] { return run(budget, false, {}, stop.get_token()); });
        // Nothing can happen while the budget is full: the export queues for its share and waits.
        ASSERT_TRUE(test::waitUntil([&] { return budget.waiting() == 1; }));
        EXPECT_EQ(exported.wait_for(0ms), std::future_status::timeout);
        EXPECT_FALSE(fs::exists(master));
        if (stopWaiting) {
            stop.request_stop();
            EXPECT_THROW(exported.get(), OperationCancelled);
            otherItem.reset();
        } else {
            otherItem.reset();
            EXPECT_EQ(exported.get().size(), 4u);
        }
        EXPECT_EQ(fs::exists(master), !stopWaiting);
        EXPECT_EQ(budget.inUse(), 0u);
    }
}

}  // namespace
}  // namespace morvale

#include "batch_core/run_ledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

// One read or claim by item A (source a.png) or B (source b.png) of a run that queued both;
// `expected` is the whole refusal, with @ standing for the test folder, or empty for success.
struct Step {
    char op;  // 'r' note a read, 'c' claim with the pattern remedy, 'f' claim with the fixed-name remedy
    char item;
    std::string path;
    std::string expected;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

const std::string readFix = "Add {index} or {name} to the naming pattern or choose another output folder.";
const std::string patternFix = "Add {index} or {name} to the naming pattern.";
const std::string fixedFix = "Rename one of the source files or process them in separate runs.";
const std::string ownFix = "Change the naming pattern so that each output of an item gets a name of its own.";

std::string expand(std::string text, const std::string& folder) {
    for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + folder.size())) {
        text.replace(at, 1, folder);
    }
    return text;
}

TEST(RunLedgerTest, RefusesEveryWriteThatWouldDestroyAFileOfTheRun) {
    const std::vector<Case> cases = {
        {"two items claim one path",
         {{'c', 'A', "out/x.png", ""},
          {'c', 'B', "out/x.png", "Won't overwrite x.png: it is already the output of @/a.png in this run, and @/b.png would write it too. " + patternFix}}},
        {"two items, fixed names",
         {{'f', 'A', "out/x.png", ""},
          {'f', 'B', "out/x.png", "Won't overwrite x.png: it is already the output of @/a.png in this run, and @/b.png would write it too. " + fixedFix}}},
        {"one item claims one path twice",
         {{'f', 'A', "out/x.png", ""},
          {'f', 'A', "out/x.png", "Won't overwrite x.png: it is already the output of @/a.png in this run. " + ownFix}}},
        {"an output onto a later item's source",
         {{'c', 'A', "b.png", "Won't overwrite @/b.png: @/b.png reads it in this run. " + readFix}}},
        {"an output onto the item's own source",
         {{'c', 'A', "sub/../a.png", "Won't overwrite @/sub/../a.png: this item reads it. " + readFix}}},
        {"an output onto a file another item reads",
         {{'r', 'A', "maps/Rock_Height.png", ""},
          {'c', 'B', "maps/Rock_Height.png", "Won't overwrite @/maps/Rock_Height.png: @/a.png reads it in this run. " + readFix},
          {'c', 'A', "maps/Rock_Height.png", "Won't overwrite @/maps/Rock_Height.png: this item reads it. " + readFix}}},
        {"reading another item's output",
         {{'c', 'B', "out/y.png", ""},
          {'r', 'A', "out/y.png", "Won't read @/out/y.png: @/b.png replaced it earlier in this run. " + readFix},
          {'r', 'B', "out/y.png", ""}}},
        {"paths compared after resolving links and dots",
         {{'c', 'A', "real/z.png", ""},
          {'c', 'B', "link/./z.png", "Won't overwrite z.png: it is already the output of @/a.png in this run, and @/b.png would write it too. " + patternFix}}},
    };

    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TempDir dir;
        fs::create_directories(dir / "real");
        fs::create_directory_symlink(dir / "real", dir / "link");
        const BatchItem a(Uuid::random(), dir / "a.png");
        const BatchItem b(Uuid::random(), dir / "b.png");
        RunLedger ledger({a.sourceURL, b.sourceURL});
        for (const auto& step : testCase.steps) {
            const BatchItem& item = step.item == 'A' ? a : b;
            std::string refused;
            try {
                if (step.op == 'r') {
                    ledger.noteReads(item, {dir / step.path});
                } else {
                    ledger.claimOutput(item, dir / step.path,
                                       step.op == 'f' ? RunLedger::fixedNameRemedy : RunLedger::patternRemedy);
                }
            } catch (const OutputConflict& conflict) {
                refused = conflict.what();
            }
            EXPECT_EQ(refused, expand(step.expected, dir.path().string())) << step.op << " " << step.path;
        }
    }
}

// The advice names only what would help under the run's pattern. Two items meet only when neither
// {index} nor {name} tells them apart, or where an index runs into digits beside it; an output on a
// file the run reads always goes away in another output folder.
TEST(RunLedgerTest, AdviceFitsTheNamingPattern) {
    const std::string separate = "Put a separator such as _ between {index} and the text beside it in the naming pattern.";
    const struct {
        std::optional<std::string> pattern;
        std::string twoItems;
        std::string onASource;
    } cases[] = {
        {std::nullopt, patternFix, readFix},
        {"photo_{date}", patternFix, readFix},
        {"{name}", "Add {index} to the naming pattern.",
         "Add {index} to the naming pattern or choose another output folder."},
        {"{index:}_{name}", "Add {index} to the naming pattern.",  // "{index:}" is no index token
         "Add {index} to the naming pattern or choose another output folder."},
        {"shot_{index:03}", separate, "Add {name} to the naming pattern or choose another output folder."},
        {"{name}{index}", separate, "Choose another output folder."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern.value_or("no pattern"));
        test::TempDir dir;
        const BatchItem a(Uuid::random(), dir / "in/a.png");
        const BatchItem b(Uuid::random(), dir / "other/a.png");
        RunLedger ledger({a.sourceURL, b.sourceURL}, c.pattern);
        const auto refusal = [&](const BatchItem& item, const fs::path& output, std::string_view remedy) {
            try {
                ledger.claimOutput(item, output, remedy);
            } catch (const OutputConflict& conflict) {
                const std::string what = conflict.what();
                return what.substr(what.find(". ") + 2);
            }
            return std::string("claimed");
        };
        EXPECT_EQ(refusal(a, dir / "out/a.png", RunLedger::patternRemedy), "claimed");
        EXPECT_EQ(refusal(b, dir / "out/a.png", RunLedger::patternRemedy), c.twoItems);
        EXPECT_EQ(refusal(b, dir / "out/a.png", RunLedger::fixedNameRemedy), fixedFix);
        EXPECT_EQ(refusal(a, dir / "out/a.png", RunLedger::patternRemedy), ownFix);
        EXPECT_EQ(refusal(a, b.sourceURL, RunLedger::patternRemedy), c.onASource);
    }
}

TEST(RunLedgerTest, KnowsTheRunsSourcesInAnySpelling) {
    test::TempDir dir;
    fs::create_directories(dir / "in");
    fs::create_directory_symlink(dir / "in", dir / "link");
    RunLedger ledger({dir / "in/a.png", dir / "in/b.png"});
    EXPECT_EQ(ledger.sources(), (std::vector<fs::path>{dir / "in/a.png", dir / "in/b.png"}));
    EXPECT_TRUE(ledger.isSource(dir / "link/../in/./b.png"));
    EXPECT_TRUE(ledger.isSource(dir / "link/a.png"));
    EXPECT_FALSE(ledger.isSource(dir / "in/c.png"));
    EXPECT_FALSE(RunLedger().isSource(dir / "in/a.png"));
    EXPECT_EQ(RunLedger::pathForm(dir / "link/x/../a.png"), RunLedger::pathForm(dir / "in/a.png"));
}

TEST(RunLedgerTest, ConcurrentClaimsOfOnePathHaveExactlyOneWinner) {
    test::TempDir dir;
    RunLedger ledger;
    std::atomic<int> winners = 0;
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                try {
                    ledger.claimOutput(BatchItem(Uuid::random(), dir / "in.png"), dir / "same.png");
                    ++winners;
                } catch (const OutputConflict&) {
                }
            });
        }
    }
    EXPECT_EQ(winners.load(), 1);
}

// Eight items ask at once: one decides, the others wait for it, all see the same value; a
// failed decision fails every caller and is not retried.
TEST(RunLedgerTest, DecidesOnceForEightThreads) {
    RunLedger ledger;
    std::atomic<int> decided = 0;
    std::atomic<int> failed = 0;
    std::atomic<int> failedDecisions = 0;
    std::vector<const std::vector<int>*> seen(8);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                seen[static_cast<std::size_t>(i)] = &ledger.decideOnce<std::vector<int>>("set", [&] {
                    ++decided;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the others arrive
                    return std::vector<int>{i, 42};
                });
                try {
                    ledger.decideOnce<int>("broken", [&]() -> int {
                        ++failedDecisions;
                        throw std::runtime_error("unreadable folder");
                    });
                } catch (const std::runtime_error& error) {
                    if (std::string(error.what()) == "unreadable folder") ++failed;
                }
            });
        }
    }
    EXPECT_EQ(decided.load(), 1);
    EXPECT_EQ(std::set<const std::vector<int>*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen.front()->at(1), 42);
    EXPECT_EQ(failedDecisions.load(), 1);
    EXPECT_EQ(failed.load(), 8);
    EXPECT_THROW(ledger.decideOnce<double>("set", [] { return 1.0; }), std::logic_error);
}

}  // namespace
}  // namespace morvale

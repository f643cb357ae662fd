#include "batch_presets/texture_run_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

using Item = TextureRunRegistry::Item;

std::string conflictOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const TextureOutputConflict& conflict) {
        return conflict.what();
    }
    return {};
}

TEST(TextureRunRegistryTest, SecondItemOfARunCannotTakeAnotherItemsOutput) {
    test::TempDir dir;
    TextureRunRegistry registry;
    const Item hero{"A", dir / "hero/Body_AO.png"};
    const Item enemy{"B", dir / "enemy/Body_AO.png"};
    const fs::path output = dir / "out/Body_ORM_64x64.png";

    registry.claimOutput("run1", hero, output);
    const std::string message = conflictOf([&] { registry.claimOutput("run1", enemy, output); });
    EXPECT_NE(message.find("Body_ORM_64x64.png"), std::string::npos) << message;
    EXPECT_NE(message.find((dir / "hero/Body_AO.png").string()), std::string::npos) << message;
    EXPECT_NE(message.find("{index}"), std::string::npos) << message;
    EXPECT_NE(message.find("{name}"), std::string::npos) << message;

    // The same item may claim again (a job submitted twice); another run may replace the file.
    EXPECT_NO_THROW(registry.claimOutput("run1", hero, output));
    EXPECT_NO_THROW(registry.claimOutput("run2", enemy, output));
}

TEST(TextureRunRegistryTest, OutputsNeverReplaceFilesThatTheRunReads) {
    test::TempDir dir;
    TextureRunRegistry registry;
    const Item reader{"A", dir / "Rock_AO.png"};
    const Item writer{"B", dir / "Other.png"};
    registry.noteReads("run", reader, {dir / "Rock_AO.png", dir / "Rock_Height.png"});

    // Another item, and the reader itself, are refused; the message names the reader's file.
    const std::string other = conflictOf([&] { registry.claimOutput("run", writer, dir / "Rock_Height.png"); });
    EXPECT_NE(other.find((dir / "Rock_AO.png").string()), std::string::npos) << other;
    const std::string own = conflictOf([&] { registry.claimOutput("run", reader, dir / "sub/../Rock_AO.png"); });
    EXPECT_NE(own.find("this item reads it"), std::string::npos) << own;

    // A file written earlier in the run may not be read as an input afterwards.
    registry.claimOutput("run", writer, dir / "Out.png");
    const std::string late = conflictOf([&] { registry.noteReads("run", reader, {dir / "Out.png"}); });
    EXPECT_NE(late.find((dir / "Other.png").string()), std::string::npos) << late;
    EXPECT_NO_THROW(registry.noteReads("run", writer, {dir / "Out.png"}));
}

TEST(TextureRunRegistryTest, PathsAreComparedAfterResolvingLinksAndDots) {
    test::TempDir dir;
    fs::create_directories(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    TextureRunRegistry registry;
    registry.claimOutput("run", {"A", dir / "a.png"}, dir / "real/x.png");
    EXPECT_FALSE(conflictOf([&] { registry.claimOutput("run", {"B", dir / "b.png"}, dir / "link/./x.png"); }).empty());
}

TEST(TextureRunRegistryTest, ConcurrentClaimsOfOnePathHaveExactlyOneWinner) {
    test::TempDir dir;
    TextureRunRegistry registry;
    std::atomic<int> winners = 0;
    std::atomic<int> losers = 0;
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                try {
                    registry.claimOutput("run", {std::to_string(i), dir / "in.png"}, dir / "same.png");
                    ++winners;
                } catch (const TextureOutputConflict&) {
                    ++losers;
                }
            });
        }
    }
    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(losers.load(), 7);
}

}  // namespace
}  // namespace morvale

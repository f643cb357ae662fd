// Stopping and failing texture items: a stop reaches every long stage of a large texture with its
// mip chain, and an item that ends without finishing leaves none of its outputs behind.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "image_engine/png_writer.h"
#include "support/temp_dir.h"
#include "texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;

constexpr const char* pattern = "{name}_{profile}_{pot}";

PackedTexture noise(int width, int height) {
    std::mt19937 random(7);
    return test::makeTexture(width, height, [&](int, int) {
        const auto v = static_cast<std::uint8_t>(random());
        return test::Rgba{v, static_cast<std::uint8_t>(v ^ 0x5a), static_cast<std::uint8_t>(random()), 255};
    });
}

// Pieces the PNG encoder compresses for an RGBA image.
std::uint64_t piecesOf(int width, int height) {
    const std::size_t rows = std::max<std::size_t>(1, PngWriter::pieceBytes / (static_cast<std::size_t>(width) * 4 + 1));
    return (static_cast<std::size_t>(height) + rows - 1) / rows;
}

// Stops the run once the encoder has compressed `pieces` pieces in it, the way Quit does; the
// pieces compressed after the stop are the work the item did after it was asked to end. Work is
// counted, not time, so a slow or busy machine changes nothing.
TEST(TextureStop, StopInTheBaseMapOrItsMipChainEndsTheItemWithinAPieceAndLeavesNothing) {
    test::TempDir dir;
    const int width = 1024, height = 2048;
    const fs::path pot = dir / "in/Huge.png";
    const fs::path ao = dir / "in/Rock_AO.png";
    PackedTexture::writePNG(noise(width, height), pot);
    PackedTexture::writePNG(noise(width, height), ao);
    const std::uint64_t basePieces = piecesOf(width, height);

    const struct {
        Mode mode;
        fs::path source;
        std::uint64_t stopAfter;
        const char* where;
    } cases[] = {{Mode::powerOfTwoEnforce, pot, 1, "base map"},
                 {Mode::powerOfTwoEnforce, pot, basePieces + 1, "first mip level"},
                 {Mode::channelPackingORM, ao, 1, "packed map"},
                 {Mode::channelPackingORM, ao, basePieces + 1, "packed map's first mip level"}};
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        MorvalePreset preset = test::texturePreset(c.mode);
        preset.generateMipmaps = true;
        const fs::path out = dir / ("out" + std::to_string(index++));
        BatchItem item(Uuid::random(), c.source);
        BatchConfiguration configuration(out, true, pattern, false, 1, false, true);
        ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), {item}, configuration);
        BatchQueueManager queue;

        const std::uint64_t start = PngWriter::piecesCompressed();
        std::atomic<std::uint64_t> atStop{0};
        std::jthread stopper([&](std::stop_token runEnded) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
            while (!runEnded.stop_requested() && PngWriter::piecesCompressed() - start < c.stopAfter &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (runEnded.stop_requested()) return;
            queue.stopAll();
            atStop = PngWriter::piecesCompressed();
        });
        const ExecutionReport report = queue.submitAndStart(job, preset);
        stopper.request_stop();
        stopper.join();

        ASSERT_NE(atStop.load(), 0u) << "the run ended before it was stopped";
        EXPECT_LE(PngWriter::piecesCompressed() - atStop, 1u) << "pieces compressed after the stop";
        EXPECT_EQ(queue.activeJob(job.id)->items.front().status, ProcessingStatus::cancelled);
        EXPECT_EQ(report.successCount, 0);
        EXPECT_TRUE(report.outputFiles.empty());
        EXPECT_EQ(test::fileNames(out), std::vector<std::string>{}) << "no output, partial or temporary file";
    }
}

// A mip level that cannot be written (here a folder stands where it goes) fails the item, and the
// base map already written goes with it: no report lists it, so it must not stay looking finished.
TEST(TextureStop, FailedMipLevelRemovesTheItemsOtherOutputs) {
    test::TempDir dir;
    const fs::path tile = test::writeGrey(dir / "in/Tile.png", 40, 24, 90);
    const fs::path ao = test::writeGrey(dir / "in/Rock_AO.png", 40, 24, 60);
    for (const auto& [mode, source] : {std::pair{Mode::powerOfTwoEnforce, tile}, std::pair{Mode::channelPackingORM, ao}}) {
        SCOPED_TRACE(source.filename().string());
        MorvalePreset preset = test::texturePreset(mode);
        preset.generateMipmaps = true;
        const fs::path probe = dir / ("probe" + source.stem().string());
        const auto names = test::runTextureJob(preset, {source}, probe, pattern).items.front().outputs;
        ASSERT_GE(names.size(), 2u);

        const fs::path out = dir / ("out" + source.stem().string());
        fs::create_directories(out / names[1]);
        const auto run = test::runTextureJob(preset, {source}, out, pattern);
        EXPECT_EQ(run.items.front().status, ProcessingStatus::failed);
        EXPECT_TRUE(run.items.front().outputs.empty());
        EXPECT_EQ(test::fileNames(out), std::vector<std::string>{names[1]}) << "only the folder in the way is left";
        EXPECT_EQ(run.logText().find("kept "), std::string::npos) << run.logText();
    }
}

}  // namespace
}  // namespace morvale

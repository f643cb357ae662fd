// How long a texture item takes to end once the queue is asked to stop (stopAll(), as Quit does):
// a power-of-two item with mipmaps on a 16384 x 16384 gradient, stored as a small zip TIFF, is
// stopped at several moments into its run. Each line gives the moment, the time from the stop
// to the end of the run, the item's final status and the files left in the output folder.
//
//   bench_texture_stop [work folder] [seconds into the run ...]   (default: 2 5 9)

#include <OpenImageIO/imageio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_presets/morvale_preset.h"

namespace fs = std::filesystem;
using namespace morvale;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int side = 16384;

void writeSource(const fs::path& file) {
    OIIO::ImageSpec spec(side, side, 3, OIIO::TypeDesc::UINT8);
    spec.attribute("compression", "zip");
    spec.attribute("tiff:RowsPerStrip", 64);
    auto out = OIIO::ImageOutput::create("tiff");
    if (!out || !out->open(file.string(), spec)) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        std::exit(1);
    }
    std::vector<std::uint8_t> row(static_cast<std::size_t>(side) * 3);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            row[static_cast<std::size_t>(x) * 3] = static_cast<std::uint8_t>(x * 255 / (side - 1));
            row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<std::uint8_t>(y * 255 / (side - 1));
            row[static_cast<std::size_t>(x) * 3 + 2] = 128;
        }
        out->write_scanline(y, 0, OIIO::TypeDesc::UINT8, row.data());
    }
    out->close();
}

const char* statusName(ProcessingStatus status) {
    switch (status) {
        case ProcessingStatus::completed: return "completed";
        case ProcessingStatus::failed: return "failed";
        case ProcessingStatus::skipped: return "skipped";
        case ProcessingStatus::cancelled: return "cancelled";
        default: return "other";
    }
}

// Runs the item, stopping it `stopAfter` seconds in (never when negative).
void run(const fs::path& source, const fs::path& output, double stopAfter) {
    std::error_code ec;
    fs::remove_all(output, ec);
    MorvalePreset preset(MorvalePreset::OperationalMode::powerOfTwoEnforce, ChannelPacker::EngineProfile::unrealORM,
                         true, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
    preset.generateMipmaps = true;
    BatchItem item(Uuid::random(), source);
    BatchConfiguration configuration(output, true, "{name}_{pot}", false, 1, false, true);
    ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), {item}, configuration);

    BatchQueueManager queue;
    const auto start = Clock::now();
    Clock::time_point stoppedAt{};
    std::jthread stopper;
    if (stopAfter >= 0) {
        stopper = std::jthread([&](std::stop_token cancel) {
            const auto due = start + std::chrono::duration<double>(stopAfter);
            while (!cancel.stop_requested() && Clock::now() < due) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (cancel.stop_requested()) return;
            stoppedAt = Clock::now();
            queue.stopAll();
        });
    }
    queue.submitAndStart(job, preset);
    const auto end = Clock::now();
    stopper.request_stop();
    if (stopper.joinable()) stopper.join();

    const auto finished = queue.activeJob(job.id);
    const ProcessingStatus status = finished ? finished->items.front().status : ProcessingStatus::pending;
    int left = 0;
    for (const auto& entry : fs::directory_iterator(output, ec)) {
        (void)entry;
        ++left;
    }
    const double total = std::chrono::duration<double>(end - start).count();
    if (stoppedAt == Clock::time_point{}) {
        std::printf("no stop        run %6.2f s  %-9s  %d files\n", total, statusName(status), left);
    } else {
        const double latency = std::chrono::duration<double>(end - stoppedAt).count();
        std::printf("stop at %5.1f s  ended %6.3f s later  %-9s  %d files left\n", stopAfter, latency,
                    statusName(status), left);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "morvale_texture_stop";
    std::vector<double> moments;
    for (int i = 2; i < argc; ++i) moments.push_back(std::strtod(argv[i], nullptr));
    if (moments.empty()) moments = {2, 5, 9};

    fs::create_directories(work);
    const fs::path source = work / "Huge.tif";
    if (!fs::exists(source)) writeSource(source);
    std::printf("source %s, %ju bytes\n", source.c_str(), static_cast<std::uintmax_t>(fs::file_size(source)));
    run(source, work / "out", -1);
    for (const double moment : moments) run(source, work / "out", moment);
    fs::remove_all(work / "out");
    return 0;
}

// One podcast export of a long episode through the podcast preset, measured: wall time, peak memory of
// this process and of its FFmpeg children, and the peak size of the export's scratch folder.
// Usage: bench_podcast EPISODE OUTPUT_FOLDER [--transcripts] [--decoders N]
// The scratch folder is looked for under $TMPDIR, which the calling script points at a folder of its own.

#include "batch_presets/skeldon_preset.h"
#include "batch_presets/vertical.h"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace morvale;

namespace {

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const auto size = it->file_size(sizeError);
            if (!sizeError) total += size;
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_podcast EPISODE OUTPUT_FOLDER [--transcripts] [--decoders N]\n";
        return 2;
    }
    const fs::path episode = argv[1];
    const fs::path output = argv[2];
    bool transcripts = false;
    std::size_t decoders = 0;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--transcripts") transcripts = true;
        if (arg == "--decoders" && i + 1 < argc) decoders = std::stoul(argv[++i]);
    }

    SkeldonPreset preset = defaultSkeldonPreset();
    preset.generateWhisperReference = true;
    preset.generateTranscripts = transcripts;
    preset.captionAudiogram = transcripts;
    preset.audiogramClip = transcripts ? AudioVideoPipeline::ClipChoice::automatic() : AudioVideoPipeline::ClipChoice::start();
    preset.chapterMode = transcripts ? SkeldonPreset::ChapterMode::automatic : SkeldonPreset::ChapterMode::off;

    AudioVideoPipeline::Options options;
    options.decoders = decoders;
    const AudioVideoPipeline pipeline(options);

    const fs::path tmp = fs::temp_directory_path();
    std::atomic<bool> done{false};
    std::atomic<std::uintmax_t> peakScratch{0};
    std::jthread sampler([&] {
        while (!done) {
            std::uintmax_t now = 0;
            for (const auto& entry : fs::directory_iterator(tmp)) {
                if (entry.path().filename().string().rfind("Skeldon-", 0) == 0) now += folderBytes(entry.path());
            }
            if (now > peakScratch) peakScratch = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });

    BatchConfiguration config(output, true, preset.defaultNamingPattern(), false, 1, false, false);
    const BatchItem item(Uuid::random(), episode);
    const ProcessingContext context(
        Uuid::random(), config, 1, 1, [](double f, const std::string& m) { std::cerr << f << " " << m << "\n"; },
        [](const std::string& line) { std::cerr << "log: " << line.substr(0, 200) << "\n"; });

    const auto start = std::chrono::steady_clock::now();
    std::vector<fs::path> outputs;
    try {
        outputs = preset.processWith(item, context,
                                     [&](const AudioVideoPipeline::MultiFormatExportRequest& request,
                                         const ProgressSink& progress, const LogSink& log, std::stop_token stop) {
                                         return pipeline.processMultiFormat(request, progress, log, std::move(stop));
                                     });
    } catch (const std::exception& e) {
        std::cerr << "export failed: " << e.what() << "\n";
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    sampler.join();

    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("wall_s=%.1f peak_rss_mb=%.0f child_peak_rss_mb=%.0f peak_scratch_mb=%.0f\n", seconds,
                static_cast<double>(self.ru_maxrss) / 1024.0, static_cast<double>(children.ru_maxrss) / 1024.0,
                static_cast<double>(peakScratch.load()) / 1048576.0);
    for (const auto& file : outputs) std::printf("output=%s\n", file.string().c_str());
    return 0;
}

// One podcast export of a long episode through the podcast preset, measured: wall time, processor time
// (this process and its FFmpeg children), peak memory of each, the peak size of the export's scratch
// folder, and the stage profile: when each stage's progress line came, so the time between two lines is
// what the export waited for at that point (side stages started earlier show as short waits).
// Usage: bench_podcast EPISODE OUTPUT_FOLDER [--transcripts] [--decoders N] [--cover IMAGE] [--chapters FILE]
// The scratch folder is looked for under $TMPDIR, which the calling script points at a folder of its own.

#include "batch_presets/skeldon_preset.h"
#include "batch_presets/vertical.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace morvale;

namespace {

// Disk space the folder's files take (allocated blocks: the encoder's spool gives back what was read).
std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            total += static_cast<std::uintmax_t>(st.st_blocks) * 512u;
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
    std::optional<fs::path> cover;
    std::string chapterList;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--transcripts") transcripts = true;
        if (arg == "--decoders" && i + 1 < argc) decoders = std::stoul(argv[++i]);
        if (arg == "--cover" && i + 1 < argc) cover = fs::path(argv[++i]);
        if (arg == "--chapters" && i + 1 < argc) {
            std::ostringstream text;
            text << std::ifstream(argv[++i]).rdbuf();
            chapterList = text.str();
        }
    }

    SkeldonPreset preset = defaultSkeldonPreset();
    preset.generateWhisperReference = true;
    preset.generateTranscripts = transcripts;
    preset.captionAudiogram = transcripts;
    preset.audiogramClip = transcripts ? AudioVideoPipeline::ClipChoice::automatic() : AudioVideoPipeline::ClipChoice::start();
    preset.chapterMode = transcripts ? SkeldonPreset::ChapterMode::automatic : SkeldonPreset::ChapterMode::off;
    if (!transcripts && !chapterList.empty()) {
        preset.chapterMode = SkeldonPreset::ChapterMode::manual;
        preset.chapterList = chapterList;
    }
    preset.artworkURL = cover;

    AudioVideoPipeline::Options options;
    options.decoders = decoders;
    const AudioVideoPipeline pipeline(options);

    const fs::path tmp = fs::temp_directory_path();
    std::atomic<bool> done{false};
    std::atomic<std::uintmax_t> peakScratch{0};
    // Also ends when the export throws: the jthread asks its stop on the way out.
    std::jthread sampler([&](std::stop_token stop) {
        while (!done && !stop.stop_requested()) {
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
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::mutex profileMutex;
    std::vector<std::pair<double, std::string>> profile;
    const ProcessingContext context(
        Uuid::random(), config, 1, 1,
        [&](double f, const std::string& m) {
            std::lock_guard lock(profileMutex);
            // The transcriber's own progress repeats one message; the profile keeps each stage's first.
            if (profile.empty() || profile.back().second != m) profile.emplace_back(elapsed(), m);
            std::cerr << f << " " << m << "\n";
        },
        [](const std::string& line) { std::cerr << "log: " << line.substr(0, 200) << "\n"; });

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
    const auto cpu = [](const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    std::printf("wall_s=%.1f cpu_s=%.1f child_cpu_s=%.1f peak_rss_mb=%.0f child_peak_rss_mb=%.0f peak_scratch_mb=%.0f\n",
                seconds, cpu(self), cpu(children), static_cast<double>(self.ru_maxrss) / 1024.0,
                static_cast<double>(children.ru_maxrss) / 1024.0, static_cast<double>(peakScratch.load()) / 1048576.0);
    profile.emplace_back(seconds, "(end)");
    for (std::size_t i = 0; i + 1 < profile.size(); ++i) {
        std::printf("stage: %6.1f s .. %6.1f s  %5.1f s  %s\n", profile[i].first, profile[i + 1].first,
                    profile[i + 1].first - profile[i].first, profile[i].second.c_str());
    }
    for (const auto& file : outputs) std::printf("output=%s\n", file.string().c_str());
    return 0;
}

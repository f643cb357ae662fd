// One hour of stereo 48 kHz speech with noise and hum, mastered to -16 LUFS / -1.5 dBTP by our normaliser
// and by ffmpeg's two-pass loudnorm, side by side: wall time and peak memory of each stage (each runs in a
// child process so its peak resident size is its own), and each master's loudness as libebur128 reads it.
//
// Usage: bench_loudness_normalizer [--minutes=60] [--workdir=/tmp/morvale-bench] [google benchmark flags]
// The generated episode is kept in the work folder and reused by later runs.

#include "av_engine/loudness_normalizer.h"

#include <benchmark/benchmark.h>
#include <ebur128.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
    double seconds = 0.0;
    double peakMiB = 0.0;
    int status = -1;
    std::string output;
};

// Runs argv as a child process; captures its standard output and error when `capture` is given.
ChildRun runChild(const std::vector<std::string>& args, const fs::path& capture = {}) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!capture.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    ChildRun run;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!capture.empty()) {
        std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(capture.c_str(), "r"), std::fclose);
        if (in) {
            char buffer[4096];
            std::size_t got;
            while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) run.output.append(buffer, got);
        }
    }
    return run;
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Integrated loudness and true peak by libebur128, the file decoded to float by the ffmpeg tool.
std::pair<double, double> referenceReading(const fs::path& file) {
    const std::string command = "ffmpeg -v error -i " + quoted(file) + " -f f32le -ac 2 -acodec pcm_f32le -";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
        ebur128_init(2, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK), [](ebur128_state* s) { ebur128_destroy(&s); });
    std::vector<float> buffer(2 * 48000);
    std::size_t got;
    while ((got = std::fread(buffer.data(), sizeof(float), buffer.size(), pipe.get())) > 0) {
        ebur128_add_frames_float(state.get(), buffer.data(), got / 2);
    }
    double loudness = 0.0;
    ebur128_loudness_global(state.get(), &loudness);
    double peak = 0.0;
    for (unsigned c = 0; c < 2; ++c) {
        double p = 0.0;
        ebur128_true_peak(state.get(), c, &p);
        peak = std::max(peak, p);
    }
    return {loudness, 20.0 * std::log10(std::max(1e-10, peak))};
}

fs::path makeEpisode(const fs::path& folder, int minutes) {
    const fs::path episode = folder / ("episode_" + std::to_string(minutes) + "min.wav");
    if (fs::exists(episode)) return episode;
    fs::create_directories(folder);
    const std::string text =
        "Welcome back to the show. Today we are talking about small harbours, long winters and the people who keep "
        "the lights on when the ferries stop running. Our guest has spent twenty years repairing boats. "
        "So tell me, how did it all start? Well, it started with my grandfather, who never threw anything away. "
        "He had a shed full of engines, and every one of them had a story. Some of them even worked! "
        "We would spend whole weekends taking them apart and putting them back together again. "
        "That sounds wonderful. It was. Quiet, patient work. You learn to listen to a machine. ";
    const fs::path raw = folder / "speech_raw.wav";
    const fs::path slow = folder / "speech_slow.wav";
    if (!shell("espeak-ng -s 165 -w " + quoted(raw) + " \"" + text + "\"") ||
        !shell("espeak-ng -s 140 -p 30 -w " + quoted(slow) + " \"" + text + "\"")) {
        return {};
    }
    const fs::path block = folder / "speech_block.wav";
    const fs::path loop = folder / "speech_loop.wav";
    const std::string seconds = std::to_string(minutes * 60);
    const fs::path tmp = folder / "episode.tmp.wav";
    // Two voices at different levels with pauses between turns, looped to length, then noise and hum.
    if (!shell("sox " + quoted(raw) + " " + quoted(slow) + " -r 48000 -c 1 " + quoted(block) + " pad 0 0.8") ||
        !shell("sox " + quoted(block) + " " + quoted(loop) + " repeat " + std::to_string(minutes * 60 / 20 + 1) +
               " trim 0 " + seconds) ||
        !shell("sox -m -v 0.5 " + quoted(loop) + " -v 1 \"|sox -n -r 48000 -c 1 -p synth " + seconds +
               " pinknoise vol 0.004\" -v 1 \"|sox -n -r 48000 -c 1 -p synth " + seconds +
               " sine 50 vol 0.003\" -b 16 " + quoted(tmp) + " remix 1v0.95 1v0.85")) {
        return {};
    }
    fs::rename(tmp, episode);
    return episode;
}

struct Row {
    double seconds = 0.0;
    double peakMiB = 0.0;
    std::optional<std::pair<double, double>> reading;
};

std::optional<std::string> jsonValue(const std::string& text, const std::string& key) {
    const auto at = text.find("\"" + key + "\"");
    if (at == std::string::npos) return std::nullopt;
    const auto open = text.find('"', text.find(':', at) + 1);
    const auto close = text.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

int childMain(const std::string& mode, const fs::path& source, const fs::path& destination) {
    const morvale::LoudnessNormalizer normalizer;
    if (mode == "measure") {
        const auto m = normalizer.measure(source);
        std::printf("measured %.2f LUFS, %.2f dBTP\n", m.integratedLUFS, m.truePeakDBTP);
    } else {
        const auto r = normalizer.normalize(source, destination, morvale::LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
                                            [](const std::string& line) { std::printf("%s\n", line.c_str()); });
        std::printf("master %.2f LUFS, %.2f dBTP\n", r.output.integratedLUFS, r.output.truePeakDBTP);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") return childMain(argv[2], argv[3], argv[4]);

    int minutes = 60;
    fs::path workdir = fs::temp_directory_path() / "morvale-bench";
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--minutes=", 0) == 0) {
            minutes = std::max(1, std::atoi(arg.c_str() + 10));
        } else if (arg.rfind("--workdir=", 0) == 0) {
            workdir = arg.substr(10);
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::printf("Generating or reusing the %d-minute episode in %s ...\n", minutes, workdir.c_str());
    const fs::path episode = makeEpisode(workdir, minutes);
    if (episode.empty()) {
        std::fprintf(stderr, "could not generate the episode (espeak-ng and sox are needed)\n");
        return 1;
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const fs::path ourMaster = workdir / "ours_master.wav";
    const fs::path theirMaster = workdir / "loudnorm_master.wav";
    std::map<std::string, Row> rows;

    std::map<std::string, std::string> logs;
    auto child = [&](benchmark::State& state, const std::vector<std::string>& args, const std::string& name) {
        Row& row = rows[name];
        for (auto _ : state) {
            const ChildRun run = runChild(args, workdir / (name + ".log"));
            if (run.status != 0) state.SkipWithError(("child failed: " + run.output).c_str());
            state.SetIterationTime(run.seconds);
            row.seconds = run.seconds;
            row.peakMiB = run.peakMiB;
            logs[name] = run.output;
        }
        state.counters["peak_MiB"] = row.peakMiB;
    };
    auto readMaster = [&](benchmark::State& state, const std::string& name, const fs::path& master) {
        Row& row = rows[name];
        row.reading = referenceReading(master);
        state.counters["ebur128_LUFS"] = row.reading->first;
        state.counters["ebur128_dBTP"] = row.reading->second;
    };

    benchmark::RegisterBenchmark("ours/decode+measure", [&](benchmark::State& state) {
        child(state, {self, "--child", "measure", episode.string(), "-"}, "ours_measure");
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("ours/normalise", [&](benchmark::State& state) {
        child(state, {self, "--child", "normalise", episode.string(), ourMaster.string()}, "ours_normalise");
        readMaster(state, "ours_normalise", ourMaster);
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("loudnorm/pass1_decode+measure", [&](benchmark::State& state) {
        child(state,
              {"ffmpeg", "-hide_banner", "-nostats", "-i", episode.string(), "-af",
               "loudnorm=I=-16:TP=-1.5:LRA=11:print_format=json", "-f", "null", "-"},
              "loudnorm_pass1");
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("loudnorm/pass2_render", [&](benchmark::State& state) {
        const std::string& first = logs["loudnorm_pass1"];
        const auto i = jsonValue(first, "input_i");
        const auto tp = jsonValue(first, "input_tp");
        const auto lra = jsonValue(first, "input_lra");
        const auto thresh = jsonValue(first, "input_thresh");
        const auto offset = jsonValue(first, "target_offset");
        if (!i || !tp || !lra || !thresh || !offset) {
            state.SkipWithError("pass 1 gave no measurement");
            for (auto _ : state) {
            }
            return;
        }
        child(state,
              {"ffmpeg", "-hide_banner", "-nostats", "-y", "-i", episode.string(), "-af",
               "loudnorm=I=-16:TP=-1.5:LRA=11:measured_I=" + *i + ":measured_TP=" + *tp + ":measured_LRA=" + *lra +
                   ":measured_thresh=" + *thresh + ":offset=" + *offset + ":linear=true:print_format=json",
               "-ar", "48000", "-c:a", "pcm_s24le", theirMaster.string()},
              "loudnorm_pass2");
        readMaster(state, "loudnorm_pass2", theirMaster);
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

    int benchArgc = static_cast<int>(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const Row& ourMeasure = rows["ours_measure"];
    const Row& ourNormalise = rows["ours_normalise"];
    const Row& pass1 = rows["loudnorm_pass1"];
    const Row& pass2 = rows["loudnorm_pass2"];
    const std::string mode = jsonValue(logs["loudnorm_pass2"], "normalization_type").value_or("?");
    auto reading = [](const Row& row) {
        char text[64] = "n/a";
        if (row.reading) std::snprintf(text, sizeof text, "%.2f LUFS, %.2f dBTP", row.reading->first, row.reading->second);
        return std::string(text);
    };
    std::printf("\n%d-minute stereo 48 kHz episode, target -16 LUFS / -1.5 dBTP\n\n", minutes);
    std::printf("| | decode + measure | peak memory | full normalisation | peak memory | master read by libebur128 |\n");
    std::printf("|---|---|---|---|---|---|\n");
    std::printf("| ours | %.1f s | %.0f MiB | %.1f s | %.0f MiB | %s |\n", ourMeasure.seconds, ourMeasure.peakMiB,
                ourNormalise.seconds, ourNormalise.peakMiB, reading(ourNormalise).c_str());
    std::printf("| ffmpeg loudnorm, two passes (%s) | %.1f s | %.0f MiB | %.1f s | %.0f MiB | %s |\n", mode.c_str(),
                pass1.seconds, pass1.peakMiB, pass1.seconds + pass2.seconds, std::max(pass1.peakMiB, pass2.peakMiB),
                reading(pass2).c_str());
    return 0;
}

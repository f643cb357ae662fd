// The audio engine's media writers beside the ffmpeg tool doing the same jobs, each run once as a child
// process pinned to three processors (taskset -c 0-2), so wall time and peak memory are its own:
//   - a 45 s square audiogram: ours with cover, title and captions, and plain; ffmpeg's showwaves plain,
//     and with the cover dimmed behind it and a drawtext title (libx264 at 4 Mbit/s, AAC 192 kbit/s);
//   - tagging a 60-minute 192 kbit/s MP3 (about 86 MB) with cover and chapters: ours adds the COMM frame;
//   - a 60-minute M4A master: ours (native AAC, fast coder) beside ffmpeg -c:a aac (default coder) and
//     ffmpeg with the fast coder.
// Figures are printed as ratios to ffmpeg.
//
// Usage: bench_media [--workdir=/tmp/morvale-media-bench] [--minutes=60] [google benchmark flags]
// Generated inputs are kept in the work folder and reused; the outputs stay there to be looked at.

#include "av_engine/audiogram_generator.h"
#include "av_engine/chapter_builder.h"
#include "av_engine/ffmpeg_runner.h"
#include "av_engine/id3_tag_injector.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
    double seconds = 0.0;
    double peakMB = 0.0;
    int status = -1;
};

ChildRun runChild(std::vector<std::string> args) {
    args.insert(args.begin(), {"taskset", "-c", "0-2"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    ChildRun run;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakMB = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }
std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct Inputs {
    fs::path clip;      // 45 s of speech, 44.1 kHz stereo
    fs::path episode;   // the long episode as WAV
    fs::path mp3;       // the same at 192 kbit/s
    fs::path cover;     // 3000 x 3000 JPEG
    fs::path chapters;  // FFmpeg metadata chapters
};

Inputs makeInputs(const fs::path& folder, int minutes) {
    fs::create_directories(folder);
    Inputs in{folder / "clip45.wav", folder / ("episode" + std::to_string(minutes) + ".wav"),
              folder / ("episode" + std::to_string(minutes) + ".mp3"), folder / "cover.jpg", folder / "chapters.txt"};
    const fs::path speech = folder / "speech.wav";
    if (!fs::exists(speech)) {
        const std::string text =
            "Welcome back to the show. Today we are talking about small harbours, long winters and the people who "
            "keep the lights on when the ferries stop running. So tell me, how did it all start? Well, it started "
            "with my grandfather, who never threw anything away. He had a shed full of engines! ";
        if (!shell("espeak-ng -s 165 -w " + quoted(speech) + " \"" + text + "\"")) return {};
    }
    const auto loop = [&](const fs::path& out, int seconds, const std::string& extra) {
        return fs::exists(out) || shell("ffmpeg -v error -y -stream_loop -1 -i " + quoted(speech) + " -t " +
                                        std::to_string(seconds) + " -ar 44100 -ac 2 " + extra + " " + quoted(out));
    };
    if (!loop(in.clip, 45, "-c:a pcm_s16le") || !loop(in.episode, minutes * 60, "-c:a pcm_s16le") ||
        !(fs::exists(in.mp3) || shell("ffmpeg -v error -y -i " + quoted(in.episode) + " -c:a libmp3lame -b:a 192k " + quoted(in.mp3))) ||
        !(fs::exists(in.cover) || shell("ffmpeg -v error -y -f lavfi -i 'testsrc2=size=3000x3000' -frames:v 1 -q:v 3 " +
                                         quoted(in.cover)))) {
        return {};
    }
    std::vector<morvale::Chapter> chapters;
    for (int m = 0; m < minutes; m += 5) chapters.push_back({m * 60.0, "Part " + std::to_string(m / 5 + 1) + ": Q&A = fun #2"});
    std::ofstream(in.chapters) << morvale::ChapterBuilder::ffmetadata(chapters, minutes * 60.0);
    return in;
}

std::vector<morvale::CaptionWord> captionWords(double seconds) {
    static const char* const text[] = {"Welcome", "back", "to", "the", "show.", "Today", "we", "talk", "about", "harbours,",
                                       "winters", "and", "the", "people", "who", "keep", "the", "lights", "on!"};
    std::vector<morvale::CaptionWord> words;
    std::size_t i = 0;
    for (double t = 0.2; t + 0.3 < seconds; t += 0.38, ++i) words.push_back({text[i % std::size(text)], t, t + 0.3});
    return words;
}

int childMain(int argc, char** argv) {
    const std::string mode = argv[2];
    const fs::path source = argv[3];
    const fs::path destination = argv[4];
    if (mode == "audiogram" || mode == "audiogram-plain") {
        morvale::AudiogramGenerator::AudiogramConfig config;
        config.maxDurationSeconds = 45;
        if (mode == "audiogram") {
            config.backgroundImageURL = argv[5];
            config.title = "Tom & Jerry <3";
            config.captions = captionWords(45);
        }
        morvale::AudiogramGenerator().generate(source, destination, config);
    } else {
        morvale::ID3TagInjector::PodcastMetadata tags{"Episode 12: Harbours", "Ann Host", "Tide Talk", 12, 3,
                                                      "Show notes about harbours, winters and ferries.", 2024, fs::path(argv[5])};
        const morvale::FFmpegRunner none(std::vector<fs::path>{});
        const morvale::ID3TagInjector injector = mode == "tag-mp3" ? morvale::ID3TagInjector() : morvale::ID3TagInjector(none);
        injector.inject(tags, source, destination, argc > 6 ? std::optional<fs::path>(argv[6]) : std::nullopt);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::string(argv[1]) == "--child") return childMain(argc, argv);

    int minutes = 60;
    fs::path workdir = fs::temp_directory_path() / "morvale-media-bench";
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
    std::printf("Generating or reusing inputs in %s ...\n", workdir.c_str());
    const Inputs in = makeInputs(workdir, minutes);
    if (in.clip.empty()) {
        std::fprintf(stderr, "could not make the inputs (espeak-ng and ffmpeg are needed)\n");
        return 1;
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const fs::path out = workdir / "out";
    fs::create_directories(out);
    std::map<std::string, ChildRun> rows;

    const auto add = [&](const std::string& name, std::vector<std::string> args) {
        benchmark::RegisterBenchmark(name.c_str(), [&rows, name, args](benchmark::State& state) {
            for (auto _ : state) {
                const ChildRun run = runChild(args);
                if (run.status != 0) state.SkipWithError("child failed");
                state.SetIterationTime(run.seconds);
                rows[name] = run;
            }
            state.counters["peak_MB"] = rows[name].peakMB;
        })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    };
    const std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    const std::string x264 = "-c:v libx264 -b:v 4M -pix_fmt yuv420p -c:a aac -b:a 192k -ar 44100 -ac 2 -movflags +faststart";
    const auto ffmpeg = [&](const std::string& tail) {
        std::vector<std::string> args{"/bin/sh", "-c", "exec ffmpeg -v error -y " + tail};
        return args;
    };

    add("audiogram/ours_cover_title_captions",
        {self, "--child", "audiogram", in.clip.string(), (out / "ours_full.mp4").string(), in.cover.string()});
    add("audiogram/ours_plain", {self, "--child", "audiogram-plain", in.clip.string(), (out / "ours_plain.mp4").string(), "-"});
    add("audiogram/ffmpeg_showwaves_plain",
        ffmpeg("-i " + quoted(in.clip) + " -filter_complex '[0:a]showwaves=s=1080x1080:mode=cline:rate=30,fps=30[v]' -map '[v]' -map 0:a " +
               x264 + " " + quoted(out / "ffmpeg_plain.mp4")));
    add("audiogram/ffmpeg_showwaves_cover_title",
        ffmpeg("-i " + quoted(in.clip) + " -loop 1 -framerate 30 -i " + quoted(in.cover) +
               " -filter_complex '[1:v]scale=1080:1080,eq=brightness=-0.3[bg];"
               "[0:a]showwaves=s=1080x1080:mode=cline:rate=30:colors=0x3B82F6,fps=30,format=rgba,colorkey=black[w];"
               "[bg][w]overlay=shortest=1,drawtext=fontfile=" + font +
               ":text=Tide Talk:fontcolor=white:fontsize=54:x=(w-text_w)/2:y=h*0.14[v]' -map '[v]' -map 0:a -t 45 " + x264 + " " +
               quoted(out / "ffmpeg_full.mp4")));
    add("tag_mp3/ours_with_COMM",
        {self, "--child", "tag-mp3", in.mp3.string(), (out / "ours_RSS_192k.mp3").string(), in.cover.string(), in.chapters.string()});
    std::vector<std::string> peerTag{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error"};
    {
        const auto args = morvale::ID3TagInjector::ffmpegArguments(
            {"Episode 12: Harbours", "Ann Host", "Tide Talk", 12, 3, "Show notes about harbours, winters and ferries.", 2024, {}},
            in.mp3, out / "ffmpeg_RSS_192k.mp3", in.cover, in.chapters);
        peerTag.insert(peerTag.end(), args.begin(), args.end());
    }
    add("tag_mp3/ffmpeg", peerTag);
    add("m4a/ours_fast_coder", {self, "--child", "m4a", in.episode.string(), (out / "ours_RSS.m4a").string(), in.cover.string()});
    add("m4a/ffmpeg_aac_default_coder",
        ffmpeg("-i " + quoted(in.episode) + " -c:a aac -b:a 192k " + quoted(out / "ffmpeg_default.m4a")));
    add("m4a/ffmpeg_aac_fast_coder",
        ffmpeg("-i " + quoted(in.episode) + " -c:a aac -aac_coder fast -b:a 192k " + quoted(out / "ffmpeg_fast.m4a")));

    int benchArgc = static_cast<int>(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const auto line = [&](const char* label, const std::string& ours, const std::string& peer) {
        if (!rows.count(ours) || !rows.count(peer)) return;
        const ChildRun& a = rows[ours];
        const ChildRun& b = rows[peer];
        std::printf("| %s | %.2f s | %.0f MB | %.2f s | %.0f MB | %.2f | %.2f |\n", label, a.seconds, a.peakMB, b.seconds,
                    b.peakMB, a.seconds / b.seconds, a.peakMB / b.peakMB);
    };
    std::printf("\n3 processors; ratios are ours / ffmpeg\n\n");
    std::printf("| job | ours | ours peak | ffmpeg | ffmpeg peak | time ratio | memory ratio |\n|---|---|---|---|---|---|---|\n");
    line("audiogram 45 s, ours full vs showwaves + cover + title", "audiogram/ours_cover_title_captions",
         "audiogram/ffmpeg_showwaves_cover_title");
    line("audiogram 45 s, ours full vs showwaves plain", "audiogram/ours_cover_title_captions", "audiogram/ffmpeg_showwaves_plain");
    line("audiogram 45 s, both plain", "audiogram/ours_plain", "audiogram/ffmpeg_showwaves_plain");
    line("tag 60-min MP3 with cover + chapters (ours adds COMM)", "tag_mp3/ours_with_COMM", "tag_mp3/ffmpeg");
    line("60-min M4A, ours fast coder vs ffmpeg default coder", "m4a/ours_fast_coder", "m4a/ffmpeg_aac_default_coder");
    line("60-min M4A, both fast coder", "m4a/ours_fast_coder", "m4a/ffmpeg_aac_fast_coder");
    return 0;
}

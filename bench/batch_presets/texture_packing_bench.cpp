// Channel packing of many 2048 x 2048 texture sets (AO, Roughness, Metallic, Height, Unreal
// profile) through the batch queue at concurrency 8, side by side with the same packing done by
// ImageMagick and by oiiotool, eight processes at a time. Every set has maps of its own (the same
// noise, shifted differently per set and map), so no contender profits from reading one file many
// times. Each contender runs in child processes, timed alike from their start to their exit, so that
// its peak memory can be read from the kernel; every output of every contender, ours included, is
// decoded by OpenImageIO and compared pixel by pixel with the packing the bench computes itself.
//
//   bench_texture_packing [--sets N] [--dir FOLDER] [benchmark flags]
//
// ImageMagick's leg runs only where ImageMagick is installed.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_presets/morvale_preset.h"

extern char** environ;

namespace {

using namespace morvale;
namespace fs = std::filesystem;

constexpr int side = 2048;
constexpr int parallel = 8;
const char* const mapNames[] = {"AO", "Roughness", "Metallic", "Height"};

struct ChildResult {
    int status = -1;
    long maxRssKiB = 0;
};

std::optional<pid_t> spawn(const std::vector<std::string>& args, const fs::path& quietLog) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, quietLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return std::nullopt;
    return pid;
}

ChildResult waitFor(pid_t pid) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

// Runs the commands `parallel` at a time; returns wall seconds, the largest single peak and
// whether all succeeded.
struct PoolResult {
    double seconds = 0;
    long maxRssKiB = 0;
    bool ok = true;
};

PoolResult runPool(const std::vector<std::vector<std::string>>& commands, const fs::path& log) {
    PoolResult result;
    const auto start = std::chrono::steady_clock::now();
    std::size_t next = 0;
    int running = 0;
    while (next < commands.size() || running > 0) {
        while (running < parallel && next < commands.size()) {
            if (!spawn(commands[next++], log)) {
                result.ok = false;
                continue;
            }
            ++running;
        }
        if (running == 0) break;
        int status = 0;
        rusage usage{};
        const pid_t done = wait4(-1, &status, 0, &usage);
        if (done <= 0) break;
        --running;
        result.maxRssKiB = std::max(result.maxRssKiB, usage.ru_maxrss);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result.ok = false;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

// Tileable value noise, for maps with the texture of real ones (and PNG sizes to match).
double lattice(int x, int y, int period, int seed) {
    x = ((x % period) + period) % period;
    y = ((y % period) + period) % period;
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<double>((h ^ (h >> 16)) & 0xffffu) / 65535.0;
}

double fbm(int x, int y, int seed) {
    double sum = 0, amplitude = 0.5, total = 0;
    for (int octave = 0; octave < 4; ++octave) {
        const int period = 8 << octave;
        const double u = x * period / static_cast<double>(side), v = y * period / static_cast<double>(side);
        const int x0 = static_cast<int>(u), y0 = static_cast<int>(v);
        const double fx = u - x0, fy = v - y0;
        const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
        const double a = lattice(x0, y0, period, seed + octave) * (1 - sx) + lattice(x0 + 1, y0, period, seed + octave) * sx;
        const double b = lattice(x0, y0 + 1, period, seed + octave) * (1 - sx) + lattice(x0 + 1, y0 + 1, period, seed + octave) * sx;
        sum += amplitude * (a * (1 - sy) + b * sy);
        total += amplitude;
        amplitude *= 0.5;
    }
    return sum / total;
}

// The four grey maps every set is cut from, side x side bytes each.
using Grey = std::vector<std::uint8_t>;

std::vector<Grey> baseMaps() {
    std::vector<Grey> maps(4, Grey(static_cast<std::size_t>(side) * side));
    for (int map = 0; map < 4; ++map) {
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                const double n = fbm(x, y, 10 * map + 1);
                double v = n;
                if (map == 0) v = 0.35 + 0.65 * std::sqrt(n);
                if (map == 1) v = 0.55 + 0.45 * fbm(x, y, 77);
                if (map == 2) v = n > 0.62 ? 1.0 : 0.0;
                maps[static_cast<std::size_t>(map)][static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)] =
                    static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
            }
        }
    }
    return maps;
}

// Map `map` of set `set` is the base map shifted cyclically (the noise tiles, so it stays seamless);
// the shifts differ for every set and map.
std::uint8_t setValue(const std::vector<Grey>& base, int set, int map, int x, int y) {
    const int dx = (set * 389 + map * 131) % side, dy = (set * 211 + map * 577) % side;
    return base[static_cast<std::size_t>(map)]
               [static_cast<std::size_t>((y + dy) % side) * side + static_cast<std::size_t>((x + dx) % side)];
}

void writeGreyPNG(const fs::path& file, const Grey& pixels) {
    auto out = OIIO::ImageOutput::create(file.string());
    const OIIO::ImageSpec spec(side, side, 1, OIIO::TypeDesc::UINT8);
    if (!out || !out->open(file.string(), spec) || !out->write_image(OIIO::TypeDesc::UINT8, pixels.data()) ||
        !out->close()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// Runs body(0 ... count - 1) on `parallel` threads.
void forEachParallel(int count, const std::function<void(int)>& body) {
    std::atomic<int> next{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < parallel; ++t) {
        threads.emplace_back([&] {
            for (int i = next++; i < count; i = next++) body(i);
        });
    }
}

fs::path mapFile(const fs::path& in, int set, int map) {
    char name[64];
    std::snprintf(name, sizeof name, "Set%03d_%s.png", set, mapNames[map]);
    return in / name;
}

fs::path packedFile(const fs::path& out, int set) {
    char name[64];
    std::snprintf(name, sizeof name, "Set%03d_ORM_%dx%d.png", set, side, side);
    return out / name;
}

// Child mode: the whole folder of maps through the queue, as a user would drop it.
int packChild(const fs::path& in, const fs::path& out) {
    std::vector<BatchItem> items;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(in)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);
    BatchConfiguration configuration(out, true, "{name}_{profile}_{pot}", false, parallel, false, false);
    configuration.maxConcurrentTasks = parallel;
    const MorvalePreset preset(MorvalePreset::OperationalMode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM,
                               true, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
    const ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), items, configuration);
    BatchQueueManager queue;
    const ExecutionReport report = queue.submitAndStart(job, preset);
    return report.failureCount == 0 ? 0 : 1;
}

struct Contender {
    std::string name;
    double seconds = 0;
    long maxRssKiB = 0;
    bool peakIsPerProcess = true;
    std::uintmax_t bytes = 0;
    int identicalSets = 0;
    bool ran = false;
};

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) total += entry.file_size(ec);
    return total;
}

// Whether the file holds exactly the RGBA packing of the set: R AO, G Roughness, B Metallic, A Height,
// alpha kept unassociated.
bool packedAsExpected(const fs::path& file, const std::vector<Grey>& base, int set) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file.string(), &config);
    if (!in) return false;
    const OIIO::ImageSpec& spec = in->spec();
    if (spec.width != side || spec.height != side || spec.nchannels != 4) return false;
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side) * side * 4);
    if (!in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, rgba.data())) return false;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)) * 4;
            for (int map = 0; map < 4; ++map) {
                if (rgba[i + static_cast<std::size_t>(map)] != setValue(base, set, map, x, y)) return false;
            }
        }
    }
    return true;
}

// ImageMagick's own convert: Debian's copy when present, else the first one on the PATH.
std::string convertProgram() { return fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert"; }

bool realImageMagick(const fs::path& log) {
    const fs::path probe = log.parent_path() / "convert-version.txt";
    const auto pid = spawn({convertProgram(), "-version"}, probe);
    if (!pid || waitFor(*pid).status != 0) return false;
    std::ifstream in(probe);
    std::string first;
    std::getline(in, first);
    return first.rfind("Version: ImageMagick", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--pack-child") == 0) return packChild(argv[2], argv[3]);

    int sets = 100;
    fs::path root = fs::temp_directory_path() / ("morvale-texture-bench-" + std::to_string(::getpid()));
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sets") == 0 && i + 1 < argc) {
            sets = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    const fs::path in = root / "in", log = root / "tools.log";
    fs::create_directories(in);
    const std::vector<Grey> base = baseMaps();
    forEachParallel(sets * 4, [&](int file) {
        const int set = file / 4, map = file % 4;
        Grey pixels(static_cast<std::size_t>(side) * side);
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                pixels[static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)] = setValue(base, set, map, x, y);
            }
        }
        writeGreyPNG(mapFile(in, set, map), pixels);
    });

    // Every contender: its commands run `parallel` at a time, timed from the first start to the last
    // exit; then each set's output is checked and the folder removed.
    std::vector<Contender> contenders;
    const auto contend = [&](const std::string& name, const std::vector<std::vector<std::string>>& commands,
                             bool peakIsPerProcess) {
        Contender c{name};
        c.peakIsPerProcess = peakIsPerProcess;
        const fs::path out = root / ("out-" + name);
        fs::create_directories(out);
        const PoolResult pool = runPool(commands, log);
        c.seconds = pool.seconds;
        c.maxRssKiB = pool.maxRssKiB;
        c.ran = pool.ok;
        c.bytes = folderBytes(out);
        std::atomic<int> identical{0};
        forEachParallel(sets, [&](int set) { identical += packedAsExpected(packedFile(out, set), base, set); });
        c.identicalSets = identical;
        fs::remove_all(out);
        contenders.push_back(c);
    };
    const auto perSet = [&](const std::string& name,
                            const std::function<std::vector<std::string>(int, const fs::path&)>& command) {
        std::vector<std::vector<std::string>> commands;
        for (int set = 0; set < sets; ++set) commands.push_back(command(set, packedFile(root / ("out-" + name), set)));
        return commands;
    };
    const auto maps = [&](int set) {
        std::vector<std::string> files;
        for (int map = 0; map < 4; ++map) files.push_back(mapFile(in, set, map).string());
        return files;
    };

    // Ours: one process, the queue's eight workers, the whole folder as one run.
    contend("queue", {{fs::read_symlink("/proc/self/exe").string(), "--pack-child", in.string(), (root / "out-queue").string()}},
            false);
    if (realImageMagick(log)) {
        contend("imagemagick", perSet("imagemagick", [&](int set, const fs::path& out) {
                    auto args = maps(set);
                    args.insert(args.begin(), convertProgram());
                    for (const char* extra : {"-channel", "RGBA", "-combine"}) args.emplace_back(extra);
                    args.push_back("PNG32:" + out.string());
                    return args;
                }),
                true);
    } else {
        std::cout << "ImageMagick is not installed here: its leg is left out.\n";
    }
    contend("oiiotool", perSet("oiiotool", [&](int set, const fs::path& out) {
                const auto m = maps(set);
                return std::vector<std::string>{"oiiotool", m[0], m[1], "--chappend", m[2], "--chappend", m[3],
                                                "--chappend", "--chnames", "R,G,B,A", "--attrib",
                                                "oiio:UnassociatedAlpha", "1", "-o", out.string()};
            }),
            true);

    for (const auto& c : contenders) {
        benchmark::RegisterBenchmark(("pack_2048_sets/" + c.name).c_str(), [c, sets](benchmark::State& state) {
            for (auto _ : state) state.SetIterationTime(c.seconds);
            state.counters["sets_per_s"] = c.seconds > 0 ? sets / c.seconds : 0;
            state.counters["peak_MiB"] = static_cast<double>(c.maxRssKiB) / 1024.0;
            state.counters["peak_is_per_process"] = c.peakIsPerProcess ? 1 : 0;
            state.counters["MB_per_png"] = static_cast<double>(c.bytes) / sets / 1e6;
            state.counters["identical_sets"] = c.identicalSets;
            state.counters["all_ok"] = c.ran ? 1 : 0;
        })->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& c : contenders) {
        if (c.name == "queue" || c.seconds <= 0) continue;
        std::printf("queue vs %s: %.2fx the sets per second, %.2fx the PNG bytes\n", c.name.c_str(),
                    c.seconds / contenders.front().seconds,
                    static_cast<double>(contenders.front().bytes) / static_cast<double>(std::max<std::uintmax_t>(1, c.bytes)));
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}

// Speech and file-edit figures beside the peer tools, in one run:
//   recognition: ours with 1 decoder on one core, 3 decoders on three cores and one decoder per core,
//     beside pocketsphinx_continuous pinned to one core and three of it on thirds of the file;
//     wall time, real-time factor, peak RSS, word error rate and sentence-onset error;
//   file edits on a 60-minute 48 kHz stereo 24-bit master beside sox: cut of 300 ranges, join of
//     clip + episode + clip, a 45 s excerpt at 55:00, and the level curve and speech frames alone.
// Run through speech_bench.sh, which installs the peer tools. Pass --episode to add a 60-minute
// recognition with one decoder per core (about a minute and a half of every core).
#include "speech_corpus.h"

#include "av_engine/loudness_normalizer.h"
#include "av_engine/transcriber.h"
#include "base/system_limits.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace morvale;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void pin(const std::vector<int>& cores) {
    if (cores.empty()) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cores) CPU_SET(c, &set);
    sched_setaffinity(0, sizeof set, &set);
}

struct Run {
    double wall = 0.0;
    double peakMB = 0.0;  // largest child
    std::vector<CaptionWord> words;
};

struct Child {
    pid_t pid;
    int out;
};

// Starts `work` in a child pinned to `cores`; what it writes to the descriptor comes back as text.
Child spawn(const std::vector<int>& cores, const std::function<void(int)>& work) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        pin(cores);
        work(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

std::string collect(const Child& child, double& peakMB) {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(child.out, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(child.out);
    int status = 0;
    rusage usage{};
    wait4(child.pid, &status, 0, &usage);
    peakMB = std::max(peakMB, static_cast<double>(usage.ru_maxrss) / 1024.0);
    return text;
}

void writeAll(int fd, const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

// "word start end" lines, ours and the CLI's (which adds a probability and prints its own tokens).
std::vector<CaptionWord> parseWords(const std::string& text, double offset) {
    std::vector<CaptionWord> words;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word;
        double start = 0.0;
        double end = 0.0;
        if (!(fields >> word >> start >> end)) continue;
        if (word.empty() || word[0] == '<' || word[0] == '[' || word[0] == '+') continue;
        if (const auto open = word.find('('); open != std::string::npos && open > 0) word.resize(open);
        words.push_back({word, start + offset, end + offset});
    }
    return words;
}

Run ours(const fs::path& file, std::size_t decoders, const std::vector<int>& cores) {
    Run run;
    const auto start = Clock::now();
    const Child child = spawn(cores, [&](int fd) {
        Transcriber::Options options;
        options.decodersPerFile = decoders;
        options.pool = std::make_shared<DecoderPool>(decoders);
        std::string text;
        for (const auto& w : Transcriber(options).transcribe(file, "en-US")) {
            char line[256];
            std::snprintf(line, sizeof line, "%s %.3f %.3f\n", w.text.c_str(), w.start, w.end);
            text += line;
        }
        writeAll(fd, text);
    });
    run.words = parseWords(collect(child, run.peakMB), 0.0);
    run.wall = since(start);
    return run;
}

// pocketsphinx_continuous on each part at once, part i pinned to core i.
Run cli(const std::vector<fs::path>& parts, const std::vector<double>& offsets) {
    Run run;
    const auto start = Clock::now();
    std::vector<Child> children;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string path = parts[i].string();
        children.push_back(spawn({static_cast<int>(i)}, [&](int fd) {
            dup2(fd, 1);
            execlp("pocketsphinx_continuous", "pocketsphinx_continuous", "-infile", path.c_str(), "-time", "yes", "-logfn",
                   "/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }));
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto words = parseWords(collect(children[i], run.peakMB), offsets[i]);
        run.words.insert(run.words.end(), words.begin(), words.end());
    }
    run.wall = since(start);
    return run;
}

std::vector<std::string> lowered(const std::vector<CaptionWord>& words) {
    std::vector<std::string> out;
    for (const auto& w : words) {
        std::string t;
        for (char c : w.text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.push_back(t);
    }
    return out;
}

// For each sentence, the distance from its first sound to the first word recognised near it.
std::pair<double, double> onsetError(const std::vector<CaptionWord>& words, const std::vector<double>& onsets) {
    std::vector<double> errors;
    for (std::size_t s = 0; s < onsets.size(); ++s) {
        const double next = s + 1 < onsets.size() ? onsets[s + 1] : 1e300;
        for (const auto& w : words) {
            if (w.start >= onsets[s] - 0.5 && w.start < next - 0.5) {
                errors.push_back(std::fabs(w.start - onsets[s]));
                break;
            }
        }
    }
    if (errors.empty()) return {0.0, 0.0};
    std::sort(errors.begin(), errors.end());
    return {errors[errors.size() / 2], errors.back()};
}

struct Material {
    std::string name;
    fs::path file;    // 16 kHz mono 16-bit, as the CLI takes it
    double seconds;
    std::vector<std::string> reference;
    std::vector<double> onsets;
};

void report(const char* who, const Material& m, const Run& run, double baseline) {
    const auto [median, worst] = onsetError(run.words, m.onsets);
    std::printf("%-34s %-10s %7.1f s  RTF %.3f  %6.0f MB  WER %5.1f %%  onset %.3f / %.3f s  (%.2fx the CLI's time)\n", who,
                m.name.c_str(), run.wall, run.wall / m.seconds, run.peakMB, 100.0 * test::wordErrorRate(m.reference, lowered(run.words)),
                median, worst, baseline > 0 ? run.wall / baseline : 1.0);
    std::fflush(stdout);
}

bool sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

double timed(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return since(start);
}

Material repeated(const fs::path& folder, const test::SpeechCorpus& corpus, const fs::path& c16, int times, const std::string& name) {
    Material m{name, folder / (name + ".wav"), 0.0, {}, {}};
    std::string inputs;
    for (int i = 0; i < times; ++i) inputs += " " + test::quoted(c16);
    if (!sh("sox" + inputs + " " + test::quoted(m.file))) throw std::runtime_error("sox failed");
    const double length = static_cast<double>(std::llround(corpus.seconds * 16000)) / 16000.0;
    for (int i = 0; i < times; ++i) {
        for (std::size_t s = 0; s < corpus.sentences.size(); ++s) m.onsets.push_back(corpus.onsets[s] + i * length);
        const auto words = test::referenceWords(corpus.sentences);
        m.reference.insert(m.reference.end(), words.begin(), words.end());
    }
    m.seconds = length * times;
    return m;
}

void speech(const fs::path& folder, bool episode) {
    const test::SpeechCorpus corpus = test::makeSpeechCorpus(folder);
    const fs::path c16 = folder / "corpus16.wav";
    sh("sox " + test::quoted(corpus.file) + " -r 16000 -b 16 " + test::quoted(c16));
    std::vector<Material> materials = {repeated(folder, corpus, c16, 1, "corpus"), repeated(folder, corpus, c16, 5, "10-minute")};
    std::printf("corpus: %zu sentences, %.1f s; 10-minute file: %.1f s\n", corpus.sentences.size(), corpus.seconds,
                materials[1].seconds);
    const auto cores = static_cast<std::size_t>(allowedProcessorCount());
    for (const Material& m : materials) {
        const Run reference = cli({m.file}, {0.0});
        report("pocketsphinx_continuous, 1 core", m, reference, 0.0);
        std::vector<fs::path> thirds;
        std::vector<double> offsets;
        for (int i = 0; i < 3; ++i) {
            thirds.push_back(folder / ("third" + std::to_string(i) + ".wav"));
            offsets.push_back(m.seconds * i / 3.0);
            char trim[96];
            std::snprintf(trim, sizeof trim, " trim %.3f %.3f", offsets.back(), m.seconds / 3.0);
            sh("sox " + test::quoted(m.file) + " " + test::quoted(thirds.back()) + trim);
        }
        report("pocketsphinx_continuous x3, thirds", m, cli(thirds, offsets), reference.wall);
        report("ours, 1 decoder, 1 core", m, ours(m.file, 1, {0}), reference.wall);
        report("ours, 3 decoders, 3 cores", m, ours(m.file, 3, {0, 1, 2}), reference.wall);
        report(("ours, " + std::to_string(cores) + " decoders (one per core)").c_str(), m, ours(m.file, cores, {}), reference.wall);
    }

    // No pause over 0.15 s for twelve minutes: only the forced 30 s cuts end segments.
    const fs::path tight = folder / "tight.wav";
    const fs::path tight12 = folder / "tight12.wav";
    sh("sox " + test::quoted(c16) + " " + test::quoted(tight) + " silence -l 1 0.1 1% -1 0.15 1%");
    sh("sox " + test::quoted(tight) + " " + test::quoted(tight12) + " repeat 7");
    const Material t{"12-minute", tight12, 0.0, {}, {}};
    const Run run = ours(tight12, 1, {0});
    double tightSeconds = 0.0;
    if (!run.words.empty()) tightSeconds = run.words.back().end;
    std::printf("%-34s %-10s %7.1f s  %6.0f MB peak (1 decoder), %zu words up to %.1f s\n", "ours, no pause over 0.15 s",
                t.name.c_str(), run.wall, run.peakMB, run.words.size(), tightSeconds);

    if (episode) {
        const Material hour = repeated(folder, corpus, c16, 28, "60-minute");
        report(("ours, " + std::to_string(cores) + " decoders (one per core)").c_str(), hour, ours(hour.file, cores, {}), 0.0);
    }
}

void edits(const fs::path& folder) {
    const fs::path master = folder / "master.wav";
    const fs::path clip = folder / "clip.wav";
    const fs::path out = folder / "out.wav";
    sh("sox -n -r 48000 -c 2 -b 24 " + test::quoted(master) + " synth 3600 pinknoise vol 0.3");
    sh("sox -n -r 48000 -c 2 -b 24 " + test::quoted(clip) + " synth 20 pinknoise vol 0.3");
    std::vector<TimeRange> ranges;
    std::string positions = " trim 0";
    for (int i = 0; i < 300; ++i) {
        const double at = 10.0 + i * 11.9;
        ranges.push_back({at, at + 0.4});
        char p[64];
        std::snprintf(p, sizeof p, " =%.3f =%.3f", at, at + 0.4);
        positions += p;
    }
    LoudnessNormalizer normalizer;
    auto row = [&](const char* what, double soxSeconds, double oursSeconds) {
        std::printf("%-40s sox %6.2f s   ours %6.2f s   %.2fx sox\n", what, soxSeconds, oursSeconds, oursSeconds / soxSeconds);
        std::fflush(stdout);
        fs::remove(out);
    };
    row("cut of 300 ranges", timed([&] { sh("sox " + test::quoted(master) + " " + test::quoted(out) + positions); }),
        timed([&] { normalizer.cut(master, out, ranges); }));
    row("concatenate clip + episode + clip",
        timed([&] { sh("sox " + test::quoted(clip) + " " + test::quoted(master) + " " + test::quoted(clip) + " " + test::quoted(out)); }),
        timed([&] { normalizer.concatenate({clip, master, clip}, out, 48000, 2); }));
    row("excerpt of 45 s at 55:00", timed([&] { sh("sox " + test::quoted(master) + " " + test::quoted(out) + " trim 3300 45"); }),
        timed([&] { normalizer.excerpt(master, out, 3300, 45); }));
    std::printf("%-40s ours %6.2f s\n", "levels (0.5 s steps)", timed([&] { normalizer.levels(master, 0.5); }));
    std::printf("%-40s ours %6.2f s\n", "speech frames (20 ms)", timed([&] { normalizer.speechFrames(master); }));
}

}  // namespace

int main(int argc, char** argv) {
    bool episode = false;
    bool onlyEdits = false;
    bool onlySpeech = false;
    for (int i = 1; i < argc; ++i) {
        episode = episode || std::strcmp(argv[i], "--episode") == 0;
        onlyEdits = onlyEdits || std::strcmp(argv[i], "--edits") == 0;
        onlySpeech = onlySpeech || std::strcmp(argv[i], "--speech") == 0;
    }
    char pattern[] = "/tmp/speech_bench.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) return 1;
    const fs::path folder = made;
    try {
        if (!onlyEdits) speech(folder, episode);
        if (!onlySpeech) edits(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "speech_bench: %s\n", e.what());
        fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}

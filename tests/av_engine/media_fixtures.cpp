#include "media_fixtures.h"

#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>

namespace morvale::test {

std::string capture(const std::string& commandLine) {
    FILE* pipe = popen((commandLine + " 2>/dev/null").c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + commandLine);
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("failed: " + commandLine);
    return out;
}

std::map<std::string, std::string> pythonReport(const std::string& script, const std::filesystem::path& file) {
    const TempDir dir;
    const auto path = dir.write("oracle.py", script);
    std::map<std::string, std::string> report;
    std::istringstream lines(capture("/usr/bin/python3 " + quoted(path) + " " + quoted(file)));
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) report[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return report;
}

void makeTone(const std::filesystem::path& wav, double seconds) {
    if (!run("ffmpeg -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds) +
             "' -ac 2 -c:a pcm_s16le " + quoted(wav))) {
        throw std::runtime_error("cannot make a tone");
    }
}

void makeNoise(const std::filesystem::path& wav, double seconds) {
    if (!run("ffmpeg -v error -y -f lavfi -i 'anoisesrc=color=pink:sample_rate=44100:amplitude=0.3:duration=" +
             std::to_string(seconds) + "' -ac 2 -c:a pcm_s16le " + quoted(wav))) {
        throw std::runtime_error("cannot make noise");
    }
}

void makeMP3(const std::filesystem::path& wav, const std::filesystem::path& mp3) {
    if (!run("ffmpeg -v error -y -i " + quoted(wav) + " -c:a libmp3lame -b:a 192k " + quoted(mp3))) {
        throw std::runtime_error("cannot make an MP3");
    }
}

void makePicture(const std::filesystem::path& file, const std::string& codec, int width, int height) {
    if (!run("ffmpeg -v error -y -f lavfi -i 'testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
             "' -frames:v 1 -c:v " + codec + " -f image2 " + quoted(file))) {
        throw std::runtime_error("cannot make a " + codec + " picture");
    }
}

void makeEncodedTone(const std::filesystem::path& file, const std::string& arguments, std::size_t commentBytes) {
    std::string metadata;
    if (commentBytes > 0) {
        // Through a metadata file: a comment this long does not fit on a command line.
        const std::filesystem::path tags = file.string() + ".ffmeta";
        std::ofstream(tags, std::ios::binary) << ";FFMETADATA1\ncomment=" << std::string(commentBytes, 'x') << "\n";
        metadata = " -i " + quoted(tags) + " -map_metadata 1";
    }
    if (!run("ffmpeg -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=44100:duration=1'" + metadata + " " +
             arguments + " " + quoted(file))) {
        throw std::runtime_error("cannot encode a tone with " + arguments);
    }
    if (commentBytes > 0) std::filesystem::remove(file.string() + ".ffmeta");
}

void makeGreyPNG(const std::filesystem::path& file, int width, int height) {
    const std::string script =
        "import sys, zlib, struct\n"
        "w, h = int(sys.argv[2]), int(sys.argv[3])\n"
        "def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))\n"
        "raw = b''.join(b'\\0' + b'\\x80' * w for _ in range(h))\n"
        "png = b'\\x89PNG\\r\\n\\x1a\\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 0, 0, 0, 0))\n"
        "png += chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b'')\n"
        "open(sys.argv[1], 'wb').write(png)\n";
    const TempDir dir;
    const auto path = dir.write("png.py", script);
    capture("/usr/bin/python3 " + quoted(path) + " " + quoted(file) + " " + std::to_string(width) + " " + std::to_string(height));
}

std::string probe(const std::filesystem::path& file, const std::string& entries, const std::string& extra) {
    std::string out = capture("ffprobe -v error " + extra + " -show_entries " + entries + " -of default=nw=1:nk=1 " + quoted(file));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace morvale::test

#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace morvale::test {

// Standard output of a shell command line (standard error dropped); throws when it exits non-zero.
std::string capture(const std::string& commandLine);

// Runs a Python oracle script on `file` with the system Python (where the Debian oracle modules live); the script prints "key<TAB>value" lines.
std::map<std::string, std::string> pythonReport(const std::string& script, const std::filesystem::path& file);

// Files made with ffmpeg's own generators: a stereo tone, the same as a 192 kbit/s MP3, and small
// PNG, JPEG and WebP pictures.
void makeTone(const std::filesystem::path& wav, double seconds);
// Stereo pink noise at 44.1 kHz: keeps an encoder at its full bit rate, unlike a tone.
void makeNoise(const std::filesystem::path& wav, double seconds);
void makeMP3(const std::filesystem::path& wav, const std::filesystem::path& mp3);
void makePicture(const std::filesystem::path& file, const std::string& codec, int width = 64, int height = 64);
// A second of tone encoded by ffmpeg with `arguments` (codec and container, e.g. "-c:a libvorbis -f ogg"),
// carrying a comment tag of `commentBytes` bytes when that is not 0.
void makeEncodedTone(const std::filesystem::path& file, const std::string& arguments, std::size_t commentBytes = 0);

// A grey PNG of any size, written by Python's zlib (FFmpeg's generators stop at 16384 pixels a side).
void makeGreyPNG(const std::filesystem::path& file, int width, int height);

// ffprobe's value of one entry, e.g. probe(file, "format=duration").
std::string probe(const std::filesystem::path& file, const std::string& entries, const std::string& extra = {});

}  // namespace morvale::test

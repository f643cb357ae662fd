// What a user is told when a recording, intro or outro cannot be read: the reason in their terms, after
// the "Could not read audio from <name>: " the messages share, whichever role the file has.

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/pcm_stream.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Request = AudioVideoPipeline::MultiFormatExportRequest;

std::string le16(std::uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string le32(std::uint32_t v) { return le16(v) + le16(v >> 16); }

// A 16-bit PCM WAV header with `channels` and `rate` as written, over 100 frames of silence.
std::string wav(std::uint32_t channels, std::uint32_t rate) {
    const std::string fmt =
        le16(1) + le16(channels) + le32(rate) + le32(rate * 2 * channels) + le16(2 * channels) + le16(16);
    const std::string data(200 * channels, '\0');
    const std::string body =
        "WAVEfmt " + le32(16) + fmt + "data" + le32(static_cast<std::uint32_t>(data.size())) + data;
    return "RIFF" + le32(static_cast<std::uint32_t>(body.size())) + body;
}

std::string be16(std::uint32_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string be32(std::uint32_t v) { return be16(v >> 16) + be16(v); }

// A 16-bit 44.1 kHz AIFF whose COMM chunk says `channels`, over 100 frames of silence.
std::string aiff(std::uint32_t channels) {
    const std::string rate("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10);  // 44100 as an 80-bit float
    const std::string data(200 * channels, '\0');
    const std::string body = "AIFFCOMM" + be32(18) + be16(channels) + be32(100) + be16(16) + rate + "SSND" +
                             be32(static_cast<std::uint32_t>(data.size() + 8)) + be32(0) + be32(0) + data;
    return "FORM" + be32(static_cast<std::uint32_t>(body.size())) + body;
}

TEST(AudioInputReasons, EachBadInputSaysWhatIsWrongAsEpisodeIntroAndOutro) {
    test::TempDir dir;
    test::makeTone(dir / "tone.wav", 1.0);
    test::makePicture(dir / "picture.png", "png");
    const auto encoded = [&](const char* name, const std::string& arguments, std::size_t commentBytes = 0) {
        test::makeEncodedTone(dir / name, arguments, commentBytes);
        return dir / name;
    };
    const auto renamed = [&](const fs::path& file, const char* name) {
        fs::copy_file(file, dir / name);
        return dir / name;
    };
    const std::size_t tooMuch = std::size_t{17} << 20;
    const fs::path w64 = encoded("tone.w64", "-f w64");
    const fs::path mka = encoded("tone.mka", "-c:a flac -f matroska");
    const struct {
        fs::path file;
        const char* reason;  // nullptr: the file is read
    } cases[] = {
        {dir.write("empty.wav"), "the file is empty"},
        {dir.write("many.wav", wav(1000, 44100)), "1000 channels (at most 32 are supported)"},
        {dir.write("most.wav", wav(65535, 44100)), "65535 channels (at most 32 are supported)"},
        {dir.write("over.wav", wav(33, 44100)), "33 channels (at most 32 are supported)"},
        {dir.write("nine.wav", wav(9, 44100)), nullptr},  // no usual layout: mixed all the same
        {dir.write("none.wav", wav(0, 44100)), "0 channels"},
        {dir.write("none.aiff", aiff(0)), "0 channels"},
        {dir.write("two.aiff", aiff(2)), nullptr},
        {dir.write("zero.wav", wav(2, 0)), "a sample rate of 0 Hz"},
        {dir.write("huge.wav", wav(2, 0xFFFFFFFFu)),
         "a sample rate of 4294967295 Hz (at most 768000 Hz are supported)"},
        {renamed(dir / "picture.png", "picture.mp3"), "not an audio file"},
        {dir.write("noise.wav", std::string(5000, 'Z')), "not an audio file"},
        {w64, "W64 recordings are not supported"},
        {renamed(w64, "w64.wav"), "W64 recordings are not supported"},
        {mka, "Matroska recordings are not supported"},
        {encoded("video.mkv", "-f matroska"), "Matroska recordings are not supported"},
        {renamed(mka, "matroska.wav"), "Matroska recordings are not supported"},
        {encoded("vorbis.wav", "-c:a libvorbis -f ogg", tooMuch), "too much metadata (a comment of more than 16 MB)"},
        {encoded("tagged.mp3", "-c:a libmp3lame", tooMuch), "too much metadata (an ID3 tag of more than 16 MB)"},
        {encoded("listed.wav", "-c:a pcm_s16le", tooMuch), "too much metadata (the 'LIST' chunk of more than 16 MB)"},
        {encoded("commented.ogg", "-c:a libvorbis -f ogg", std::size_t{1} << 20), nullptr},
    };
    const auto outcome = [](const std::function<void()>& attempt) -> std::string {
        try {
            attempt();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "read";
    };
    const AudioVideoPipeline pipeline(AudioVideoPipeline::Options{{}, {}, 1, {}, {}, {}});
    for (const auto& c : cases) {
        const std::string name = c.file.filename().string();
        SCOPED_TRACE(name);
        const std::string expected = c.reason ? "Could not read audio from " + name + ": " + c.reason : "read";
        EXPECT_EQ(outcome([&] { PCMStream::read(c.file, {}, {}, {}, [](std::span<const float>, std::int64_t) {}); }),
                  expected);
        if (c.reason == nullptr) continue;
        for (int role = 0; role < 3; ++role) {  // the episode, the intro, the outro
            Request r(dir / "tone.wav", dir / "out", "ep", {}, true, false, false, false, {});
            (role == 0 ? r.sourceURL : role == 1 ? r.introURL.emplace() : r.outroURL.emplace()) = c.file;
            EXPECT_EQ(outcome([&] { pipeline.processMultiFormat(r); }), expected);
        }
    }
}

}  // namespace
}  // namespace morvale

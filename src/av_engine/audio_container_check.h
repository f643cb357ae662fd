#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace morvale {

// Reads the length fields of an audio file's container before FFmpeg sees them. FFmpeg trusts a
// chunk's or box's declared size when it allocates (a 4 KB WAV whose LIST chunk claims 2.7 GB makes it
// allocate 1.8 GB), so every length that would size an allocation must fit inside the file: RIFF, RF64,
// AIFF and CAF chunks (only the sample data may run past the end, as in a cut recording), ID3v2 tags,
// FLAC metadata blocks, MP4 boxes with their sample tables, and Ogg pages. Metadata that does fit is
// still bounded: FFmpeg keeps several copies of every tag, comment and picture it reads (a 64 MB Ogg
// comment costs over 350 MB), and the export uses none of them, so a tag, comment or metadata chunk
// over maxMetadataBytes is refused. A WAV header's channel count and sample rate, and an AIFF header's
// channel count, are checked too, since FFmpeg's own refusal of them says only "Invalid data".
// Stateless; any thread.
class AudioContainerCheck {
public:
    // The largest tag, comment or metadata chunk read: FLAC's own limit for a metadata block, room for
    // any cover picture.
    static constexpr std::uint64_t maxMetadataBytes = std::uint64_t{16} << 20;
    // The most channels read (and mixed to stereo): multitrack recorders write up to 32, and FFmpeg's
    // resampler mixes no more than 63.
    static constexpr int maxChannels = 32;
    // Beyond any real recording; keeps a forged header from asking for absurd buffers.
    static constexpr double maxSampleRate = 768000.0;

    // The reasons for a channel count or sample rate out of range, in the user's terms: "1000 channels
    // (at most 32 are supported)", "0 channels", "a sample rate of 0 Hz".
    static std::string channelsProblem(std::uint64_t channels);
    static std::string sampleRateProblem(std::uint64_t hertz);

    struct Result {
        // Why the file is refused, for "Could not read audio from <name>: <problem>"; empty when it passes.
        std::string problem;
        // The length the header declares for its sample data (WAV and RF64), so a decode that falls
        // short can say so even where FFmpeg trims its duration to what the file holds.
        std::optional<double> declaredSeconds;
    };

    // Reads `fd` with pread (its offset is left alone). Work grows with the number of chunks or boxes,
    // never with their claimed sizes; `stop` is checked every few thousand of them (OperationCancelled).
    static Result inspect(int fd, std::uint64_t fileSize, const std::stop_token& stop = {});
};

}  // namespace morvale

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
// FLAC metadata blocks, and MP4 boxes with their sample tables. Other formats pass unchecked (the
// demuxers AudioInputFile allows bound their reads by the data). Stateless; any thread.
class AudioContainerCheck {
public:
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

#pragma once

#include "av_engine/ffmpeg_runner.h"
#include "base/callbacks.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {

// Writes episode tags into the distribution master. With an FFmpeg executable the MP3 stream is copied
// into a new MP3 with ID3v2.3 tags (a COMM comment among them), a front cover and chapters; without one
// the source is encoded as AAC into an M4A with the same tags (no chapters) through libavformat. Either
// way the destination is replaced only by a complete file. Stateless apart from the runner it asks, so
// one injector serves any number of calls at once.
class ID3TagInjector {
public:
    // The episode's tags.
    struct PodcastMetadata {
        std::string title;
        std::string artist;
        std::string podcastName;
        std::optional<std::int64_t> episodeNumber;
        std::optional<std::int64_t> seasonNumber;  // carried, never written
        std::string showNotes;
        std::optional<std::int64_t> releaseYear;
        std::optional<std::filesystem::path> artworkURL;

        friend bool operator==(const PodcastMetadata&, const PodcastMetadata&) = default;
    };

    // what() is the message:
    //   exportSessionUnavailable  "The M4A writer (libavformat with the AAC encoder) is not available for metadata injection."
    //   taggingFailed             "Failed to inject metadata tags into audio container."
    class TagError : public std::runtime_error {
    public:
        enum class Kind { exportSessionUnavailable, taggingFailed };
        explicit TagError(Kind kind);
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    enum class CoverType { png, jpeg };

    // Cover files larger than this are left out.
    static constexpr std::uintmax_t maxCoverBytes = 32u << 20;
    // How long the FFmpeg tag run may take.
    static constexpr std::chrono::seconds ffmpegTimeLimit{120};

    explicit ID3TagInjector(const FFmpegRunner& runner = FFmpegRunner::shared()) : runner_(&runner) {}

    // The type of a usable cover: a regular file no larger than maxCoverBytes whose first bytes say PNG or
    // JPEG, whatever its name. Anything else (missing, a folder or pipe, WebP, ...) has none.
    static std::optional<CoverType> coverType(const std::filesystem::path& file);

    // Tags `source` into `destination`: the FFmpeg path when the runner finds FFmpeg at the moment of the
    // call, else the M4A path, which ignores `chaptersFile`. An artwork file that is not a usable cover is
    // left out with a line to `onLog`. Throws the runner's errors (FFmpeg path), TagError, PCMStream's
    // errors (M4A path), AtomicWriteError, or OperationCancelled after removing its temporary files.
    void inject(const PodcastMetadata& metadata, const std::filesystem::path& source,
                const std::filesystem::path& destination, const std::optional<std::filesystem::path>& chaptersFile,
                const LogSink& onLog = {}, std::stop_token stop = {}) const;

    // FFmpeg's arguments (after the runner's leading ones) for tagging `source` into `output`.
    static std::vector<std::string> ffmpegArguments(const PodcastMetadata& metadata, const std::filesystem::path& source,
                                                    const std::filesystem::path& output,
                                                    const std::optional<std::filesystem::path>& cover,
                                                    const std::optional<std::filesystem::path>& chaptersFile);

private:
    void injectWithFFmpeg(const PodcastMetadata& metadata, const std::optional<std::filesystem::path>& cover,
                          const std::filesystem::path& source, const std::filesystem::path& destination,
                          const std::optional<std::filesystem::path>& chaptersFile, std::stop_token stop) const;
    static void injectAsM4A(const PodcastMetadata& metadata, const std::optional<std::filesystem::path>& cover,
                            const std::filesystem::path& source, const std::filesystem::path& destination,
                            const LogSink& onLog, std::stop_token stop);

    const FFmpegRunner* runner_;
};

}  // namespace morvale

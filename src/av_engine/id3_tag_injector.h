#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace morvale {

// The tags of one episode, as an export request carries them. Writing them into the distribution
// master is not built yet.
class ID3TagInjector {
public:
    // The episode's tags.
    struct PodcastMetadata {
        std::string title;
        std::string artist;
        std::string podcastName;
        std::optional<std::int64_t> episodeNumber;
        std::optional<std::int64_t> seasonNumber;
        std::string showNotes;
        std::optional<std::int64_t> releaseYear;
        std::optional<std::filesystem::path> artworkURL;

        friend bool operator==(const PodcastMetadata&, const PodcastMetadata&) = default;
    };
};

}  // namespace morvale

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace morvale {

// Writes episode tags into the distribution master.
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

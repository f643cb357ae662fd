// Recognising texture maps by name and gathering the maps of one material set.
#include <algorithm>

#include "base/ascii.h"
#include "image_engine/channel_packer.h"
#include "image_engine/image_loader.h"
#include "image_engine/texture_map_names.h"

namespace morvale {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;

namespace texture_map_names {

std::optional<std::string> stemBefore(const std::string& base, std::string_view suffix) {
    if (base.size() <= suffix.size()) {
        return std::nullopt;
    }
    if (!ascii::endsWithIgnoringCase(base, suffix)) {
        return std::nullopt;
    }
    return base.substr(0, base.size() - suffix.size());
}

}  // namespace texture_map_names

namespace {

using ascii::lowered;

// The (channel, suffix) pairs, longest suffix first; equal lengths keep declaration order.
const std::vector<std::pair<Channel, std::string_view>>& channelCandidates() {
    static const auto candidates = [] {
        std::vector<std::pair<Channel, std::string_view>> list;
        for (const Channel channel : ChannelPacker::allChannels()) {
            for (const std::string_view suffix : ChannelPacker::suffixes(channel)) {
                list.emplace_back(channel, suffix);
            }
        }
        std::stable_sort(list.begin(), list.end(),
                         [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
        return list;
    }();
    return candidates;
}

const std::vector<std::string_view>& normalCandidates() {
    static const auto candidates = [] {
        std::vector<std::string_view> list = ChannelPacker::normalSuffixes();
        std::stable_sort(list.begin(), list.end(),
                         [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
        return list;
    }();
    return candidates;
}

bool endsWith(std::string_view text, std::string_view ending) {
    return text.size() >= ending.size() && text.substr(text.size() - ending.size()) == ending;
}

}  // namespace

const std::set<std::string>& ChannelPacker::imageExtensions() {
    static const std::set<std::string> extensions = {"png", "tga", "tif", "tiff", "jpg",
                                                     "jpeg", "exr", "bmp", "psd"};
    return extensions;
}

std::optional<ChannelPacker::IdentifiedMap> ChannelPacker::identify(const fs::path& file) const {
    const std::string base = file.stem().string();
    for (const auto& [channel, suffix] : channelCandidates()) {
        if (auto stem = texture_map_names::stemBefore(base, suffix)) {
            return IdentifiedMap{std::move(*stem), channel};
        }
    }
    return std::nullopt;
}

std::optional<ChannelPacker::IdentifiedNormal> ChannelPacker::identifyNormal(const fs::path& file) const {
    const std::string base = file.stem().string();
    for (const std::string_view suffix : normalCandidates()) {
        if (auto stem = texture_map_names::stemBefore(base, suffix)) {
            const std::string lower = lowered(suffix);
            std::optional<NormalConvention> convention;
            if (endsWith(lower, "gl")) {
                convention = NormalConvention::openGL;
            } else if (endsWith(lower, "dx") || endsWith(lower, "directx")) {
                convention = NormalConvention::directX;
            }
            return IdentifiedNormal{std::move(*stem), convention};
        }
    }
    return std::nullopt;
}

std::optional<ChannelPacker::ChannelSources> ChannelPacker::discoverChannels(const fs::path& file) const {
    return discoverChannels(file, FolderListing::read(file.parent_path()));
}

std::optional<ChannelPacker::ChannelSources> ChannelPacker::discoverChannels(const fs::path& file,
                                                                             const FolderListing& folder) const {
    const auto own = identify(file);
    if (!own) {
        return std::nullopt;
    }
    // Every map of the stem is named the stem followed by its suffix; the listing keeps byte
    // order, in which upper-case letters sort before lower-case ones.
    std::vector<fs::path> candidates;
    if (folder.readable()) {
        for (const FolderListing::Entry* entry : folder.startingWithIgnoringCase(own->stem)) {
            if (!entry->hidden()) {
                candidates.push_back(entry->path);
            }
        }
    } else {
        candidates = {file};
    }

    const std::string ownName = file.filename().string();
    ChannelSources sources;
    for (const fs::path& candidate : candidates) {
        std::string extension = lowered(candidate.extension().string());
        if (!extension.empty()) {
            extension.erase(0, 1);
        }
        if (imageExtensions().count(extension) == 0) {
            continue;
        }
        const auto found = identify(candidate);
        if (!found || !ascii::equalsIgnoringCase(found->stem, own->stem)) {
            continue;
        }
        const bool isGivenFile = candidate.filename().string() == ownName;
        if (sources.maps.count(found->channel) == 0 || isGivenFile) {
            sources.maps[found->channel] = isGivenFile ? file : candidate;
        }
    }
    return sources;
}

std::vector<fs::path> ChannelPacker::ChannelSources::all() const {
    std::vector<fs::path> files;
    for (const auto& entry : maps) {  // std::map keeps channel order
        files.push_back(entry.second);
    }
    return files;
}

std::optional<fs::path> ChannelPacker::ChannelSources::primaryURL() const {
    if (maps.empty()) {
        return std::nullopt;
    }
    return maps.begin()->second;
}

PixelSize ChannelPacker::sourceSize(const ChannelSources& sources) const {
    const auto primary = sources.primaryURL();
    if (!primary) {
        throw PackingError::noSourceImagesFound();
    }
    try {
        return ImageLoader::readSize(*primary);
    } catch (const ImageLoadError& error) {
        // The map that sets the size is named, with why it cannot be read.
        if (error.systemError()) throw PackingError::cannotRead(*primary, error.systemError());
        throw PackingError::cannotRead(*primary, error.reason());
    }
}

std::optional<PixelSize> ChannelPacker::pixelSize(const fs::path& file) {
    try {
        return ImageLoader::readSize(file);
    } catch (const ImageLoadError& error) {
        if (error.systemError()) throw PackingError::cannotRead(file, error.systemError());
        return std::nullopt;
    }
}

}  // namespace morvale

#include "batch_presets/texture_processor.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

#include "base/ascii.h"
#include "base/utf8.h"
#include "batch_presets/texture_files.h"

namespace morvale {

namespace fs = std::filesystem;

using DataFormat = SpriteSheetCompiler::DataFormat;

TextureProcessor::FrameName TextureProcessor::splitFrameName(const fs::path& file) {
    const std::string base = file.stem().string();
    std::size_t start = base.size();
    while (start > 0 && ascii::isDigit(base[start - 1])) --start;
    FrameName result{base.substr(0, start), std::nullopt};
    if (start == base.size()) return result;
    std::int64_t number = 0;
    const char* first = base.data() + start;
    const char* last = base.data() + base.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error == std::errc() && end == last) result.number = number;
    return result;
}

std::optional<fs::path> TextureProcessor::leadingFrame(const FrameSequence& sequence, const Queued& queued) {
    for (const auto& frame : sequence.frames) {
        if (!queued || queued(frame)) return frame;
    }
    return std::nullopt;
}

TextureProcessor::FrameSequence TextureProcessor::frameSequence(const fs::path& file,
                                                                const std::set<std::string>& extensions) {
    const FrameName given = splitFrameName(file);
    if (!given.number) return {file.stem().string(), {file}};

    return frameSequenceIn(file, FolderListing::read(file.parent_path()), extensions);
}

TextureProcessor::FrameSequence TextureProcessor::frameSequenceIn(const fs::path& file, const FolderListing& folder,
                                                                  const std::set<std::string>& extensions) {
    const FrameName given = splitFrameName(file);
    if (!given.number) return {file.stem().string(), {file}};
    if (!folder.readable()) return frameSequenceAmong(file, {file}, extensions);
    // Every frame's name starts with the prefix.
    return frameSequenceAmong(file, TextureFiles::files(folder.startingWith(given.prefix)), extensions);
}

TextureProcessor::FrameSequence TextureProcessor::frameSequenceAmong(const fs::path& file,
                                                                     const std::vector<fs::path>& candidates,
                                                                     const std::set<std::string>& extensions) {
    const FrameName given = splitFrameName(file);
    if (!given.number) return {file.stem().string(), {file}};
    const std::string extension = TextureFiles::lowerExtension(file);

    struct Numbered {
        std::int64_t number;
        std::string name;
        fs::path path;
    };
    std::vector<Numbered> frames;
    if (extensions.contains(extension)) {
        for (const auto& candidate : candidates) {
            if (TextureFiles::lowerExtension(candidate) != extension) continue;
            const FrameName split = splitFrameName(candidate);
            if (!split.number || split.prefix != given.prefix) continue;
            frames.push_back({*split.number, candidate.filename().string(), candidate});
        }
    }
    // Equal numbers (walk1, walk01) are ordered by name so that every run packs the same order.
    std::sort(frames.begin(), frames.end(), [](const Numbered& a, const Numbered& b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });

    std::string name = given.prefix;
    while (!name.empty() && (name.back() == '_' || name.back() == '-' || name.back() == ' ' ||
                             name.back() == '.')) {
        name.pop_back();
    }
    if (name.empty()) name = "Sprite";

    FrameSequence sequence{std::move(name), {}};
    sequence.frames.reserve(frames.size());
    for (auto& frame : frames) sequence.frames.push_back(std::move(frame.path));
    if (sequence.frames.empty()) sequence.frames.push_back(file);
    return sequence;
}

namespace {

// The sheet's file names are written into its data files, which are UTF-8 text and cannot carry
// control characters as such: the name on disk is the one the data files can give, with every
// byte that is not UTF-8 as U+FFFD and every control character as "_".
std::string writableName(const std::string& sequence) {
    std::string out;
    utf8::forEachCodePoint(sequence, [&out](char32_t cp) {
        if (cp < 0x20 || cp == 0x7F || cp == 0xFFFE || cp == 0xFFFF) out += '_';
        else utf8::append(out, cp);
    });
    return out;
}

}  // namespace

TextureProcessor::SpriteFileNames TextureProcessor::spriteFileNames(const std::string& rawSequence,
                                                                    const std::string& suffix, int pages,
                                                                    DataFormat format) {
    const std::string sequence = writableName(rawSequence);
    SpriteFileNames names;
    if (pages > 1) {
        for (int page = 0; page < pages; ++page) {
            names.images.push_back(sequence + "_Atlas-" + std::to_string(page) + suffix + ".png");
        }
    } else {
        names.images.push_back(sequence + "_Atlas" + suffix + ".png");
    }
    if (format == DataFormat::godot) {
        names.data.push_back(sequence + "_Atlas" + suffix + ".tres");
        return names;
    }
    for (const auto& image : names.images) {
        const std::string stem = image.substr(0, image.size() - 4);  // without ".png"
        switch (format) {
            case DataFormat::jsonHash:
            case DataFormat::jsonArray: names.data.push_back(stem + ".json"); break;
            case DataFormat::cocos: names.data.push_back(stem + ".plist"); break;
            case DataFormat::unity: names.data.push_back(image + ".meta"); break;
            case DataFormat::godot: break;
        }
    }
    return names;
}

}  // namespace morvale

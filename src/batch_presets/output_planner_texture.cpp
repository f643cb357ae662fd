// The texture branch of the output planner: what MorvalePreset's run would write for one item.

#include <algorithm>
#include <cmath>
#include <exception>
#include <system_error>
#include <unordered_set>

#include "base/ascii.h"
#include "batch_core/run_ledger.h"
#include "batch_presets/internal/output_plan.h"
#include "batch_presets/texture_files.h"
#include "batch_presets/texture_processor.h"
#include "image_engine/channel_packer.h"
#include "image_engine/image_loader.h"
#include "image_engine/normal_map_generator.h"
#include "image_engine/tiling_checker.h"

namespace morvale::output_plan {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using Resolve = TextureOutputNames::Resolve;

namespace {

constexpr std::string_view couldNotRead = "Could not read the image";

std::optional<PixelSize> storedSize(const fs::path& file) { return ChannelPacker::pixelSize(file); }

std::optional<PixelSize> uprightSize(const fs::path& file) {
    try {
        return ImageLoader::readUprightSize(file);
    } catch (const ImageLoadError&) {
        return std::nullopt;
    }
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::string_view normalTag(ChannelPacker::NormalConvention convention) { return ChannelPacker::tag(convention); }

}  // namespace

// What the plan knows of one folder, each part made on first use: the listing the run's set and
// sequence lookups make, grouped by set stem and by frame prefix, and the stems of the folder's
// normal maps as the run's missing-normal test sees them.
struct TexturePlanner::Folder {
    fs::path path;
    std::optional<std::vector<fs::path>> listing;
    bool listed = false;
    std::optional<std::unordered_map<std::string, std::vector<fs::path>>> sets;
    std::optional<std::unordered_map<std::string, std::vector<fs::path>>> sequences;
    // Sequences already made, by frame prefix and extension.
    std::unordered_map<std::string, TextureProcessor::FrameSequence> madeSequences;
    std::optional<std::unordered_set<std::string>> normalStems;

    const std::optional<std::vector<fs::path>>& files() {
        if (!listed) {
            listing = TextureFiles::listFiles(path);
            listed = true;
        }
        return listing;
    }

    // The files the run's set lookup would look at for this file: its folder's maps of its stem.
    std::vector<fs::path> setCandidates(const fs::path& file, const std::string& stem) {
        if (!files()) return {file};
        if (!sets) {
            sets.emplace();
            const ChannelPacker packer;
            const auto& imageExtensions = ChannelPacker::imageExtensions();
            for (const auto& candidate : *listing) {
                if (!imageExtensions.contains(TextureFiles::lowerExtension(candidate))) continue;
                if (const auto map = packer.identify(candidate)) (*sets)[ascii::lowered(map->stem)].push_back(candidate);
            }
        }
        const auto found = sets->find(ascii::lowered(stem));
        return found == sets->end() ? std::vector<fs::path>{} : found->second;
    }

    std::vector<fs::path> sequenceCandidates(const fs::path& file, const std::string& prefix) {
        if (!files()) return {file};
        if (!sequences) {
            sequences.emplace();
            for (const auto& candidate : *listing) {
                const auto split = TextureProcessor::splitFrameName(candidate);
                if (split.number) (*sequences)[split.prefix].push_back(candidate);
            }
        }
        const auto found = sequences->find(prefix);
        return found == sequences->end() ? std::vector<fs::path>{} : found->second;
    }

    // NormalMapGenerator::hasNormalMap's view: every entry with an image extension, hidden or not.
    bool hasNormalMap(const std::string& stem) {
        if (!normalStems) {
            normalStems.emplace();
            const ChannelPacker packer;
            std::error_code error;
            fs::directory_iterator it(path, error);
            for (; !error && it != fs::directory_iterator(); it.increment(error)) {
                if (!ChannelPacker::imageExtensions().contains(TextureFiles::lowerExtension(it->path()))) continue;
                if (const auto normal = packer.identifyNormal(it->path())) normalStems->insert(ascii::lowered(normal->stem));
            }
        }
        return normalStems->contains(ascii::lowered(stem));
    }
};

TexturePlanner::TexturePlanner(const MorvalePreset& preset, const std::vector<BatchItem>& items,
                               bool usesDefaultPattern)
    : preset_(preset), items_(items), usesDefaultPattern_(usesDefaultPattern),
      extensions_(preset.supportedExtensions()) {}

TexturePlanner::~TexturePlanner() = default;

TexturePlanner::Folder& TexturePlanner::folderOf(const BatchItem& item) {
    const fs::path parent = item.sourceURL.parent_path();
    auto& slot = folders_[parent.string()];
    if (!slot) {
        slot = std::make_unique<Folder>();
        slot->path = parent.empty() ? fs::path(".") : parent;
    }
    return *slot;
}

bool TexturePlanner::same(const fs::path& a, const fs::path& b) { return forms_.form(a) == forms_.form(b); }

const TextureProcessor::Queued& TexturePlanner::queued() {
    if (!sources_) {
        sources_.emplace();
        for (const auto& item : items_) sources_->insert(forms_.form(item.sourceURL).string());
        queued_ = [this](const fs::path& file) { return sources_->contains(forms_.form(file).string()); };
    }
    return queued_;
}

void TexturePlanner::plan(const BatchItem& item, const Resolve& resolve, PlannedItem& out) {
    switch (preset_.operationalMode) {
        case Mode::channelPackingORM: packing(item, resolve, out); break;
        case Mode::normalMapConvert: normalConversion(item, resolve, out); break;
        case Mode::normalFromHeight: normalFromHeight(item, resolve, out); break;
        case Mode::powerOfTwoEnforce: powerOfTwo(item, resolve, out); break;
        case Mode::spriteSheetAtlas: spriteSheet(item, out); break;
        case Mode::tilingCheck: tiling(item, out); break;
    }
}

void TexturePlanner::packing(const BatchItem& item, const Resolve& resolve, PlannedItem& out) {
    auto& names = out.report.projectedFileNames;
    auto& warnings = out.report.warnings;
    const ChannelPacker packer;
    const auto identified = packer.identify(item.sourceURL);
    if (!identified) {
        warnings.emplace_back("Skipped: not an AO / Roughness / Smoothness / Metallic / Height map");
        return;
    }
    const std::string& setName = identified->stem;
    Folder& folder = folderOf(item);
    const auto found =
        TextureProcessor::textureSetAmong(item.sourceURL, folder.setCandidates(item.sourceURL, setName), extensions_,
                                          queued());
    const TextureProcessor::TextureSet set = found ? *found : TextureProcessor::TextureSet{};
    const auto own = set.sources.maps.find(identified->channel);
    if (own != set.sources.maps.end() && !same(own->second, item.sourceURL)) {
        warnings.push_back("Skipped: its set takes " + own->second.filename().string() + " as its " +
                           std::string(ChannelPacker::displayName(identified->channel)) + " map");
        return;
    }
    if (!set.primary || !same(*set.primary, item.sourceURL)) {
        warnings.push_back("Skipped: packed together with " +
                           (set.primary ? set.primary->filename().string() : std::string("its set")));
        return;
    }

    // The run measures the primary, the item itself, and reads every map of the set.
    std::optional<PixelSize> target;
    std::string potText = "0x0";
    if (const auto source = storedSize(item.sourceURL)) {
        try {
            target = preset_.targetSize(source->width, source->height);
            potText = TextureOutputNames::sizeText(*target);
        } catch (const std::exception& error) {
            warnings.push_back(std::string("Could not size the output: ") + error.what());
        }
    } else {
        warnings.emplace_back(couldNotRead);
    }
    for (const auto& member : set.sources.all()) {
        if (!same(member, item.sourceURL) && !storedSize(member)) {
            warnings.push_back("Could not read " + member.filename().string());
        }
    }

    const std::string stem = TextureOutputNames::packedStem(resolve, setName, potText, preset_.engineProfile);
    names.push_back(stem + ".png");
    if (preset_.generateMipmaps) {
        if (target) {
            for (const auto& level : TextureOutputNames::mipLevels(*target)) {
                names.push_back(TextureOutputNames::mipName(stem, level));
            }
        } else {
            names.push_back(stem + "_mip1\u2026 (mipmap chain)");
        }
    }

    const auto missing = set.sources.missingInputs(preset_.engineProfile);
    if (!missing.empty()) {
        warnings.push_back("No " + joined(missing, "/") + " map found; " +
                           std::string(ChannelPacker::displayName(preset_.engineProfile)) + " defaults will be used");
    }
    if (preset_.generateMissingNormal && set.sources.maps.contains(ChannelPacker::Channel::height) &&
        !folder.hasNormalMap(setName)) {
        // The run claims the name first and makes no normal map where it already wrote that name.
        const std::string normal = TextureOutputNames::setNormalName(setName, preset_.normalTarget);
        if (std::find(names.begin(), names.end(), normal) == names.end()) {
            names.push_back(normal);
        } else {
            warnings.push_back("No normal map will be made: " + normal + " is already the packed map's name");
        }
    }
}

void TexturePlanner::normalConversion(const BatchItem& item, const Resolve& resolve, PlannedItem& out) {
    const ChannelPacker packer;
    const auto identified = packer.identifyNormal(item.sourceURL);
    if (!identified) {
        out.report.warnings.emplace_back("Skipped: not named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
        return;
    }
    if (identified->convention && *identified->convention == preset_.normalTarget) {
        out.report.warnings.push_back("Skipped: already " + std::string(normalTag(preset_.normalTarget)));
        return;
    }
    std::string potText(unknownSize);
    if (const auto stored = storedSize(item.sourceURL)) {
        potText = TextureOutputNames::sizeText(
            ChannelPacker::normalMapSize(*stored, TextureOutputNames::engineSize(preset_.maxTextureSize)));
    } else {
        out.report.warnings.emplace_back(couldNotRead);
    }
    out.report.projectedFileNames.push_back(
        TextureOutputNames::normalName(usesDefaultPattern_, resolve, identified->stem, preset_.normalTarget, potText));
}

void TexturePlanner::normalFromHeight(const BatchItem& item, const Resolve& resolve, PlannedItem& out) {
    const auto stem = NormalMapGenerator::stem(item.sourceURL);
    std::string potText(unknownSize);
    const auto stored = storedSize(item.sourceURL);
    if (stored) {
        potText = TextureOutputNames::sizeText(
            ChannelPacker::normalMapSize(*stored, TextureOutputNames::engineSize(preset_.maxTextureSize)));
    }
    out.report.projectedFileNames.push_back(
        TextureOutputNames::normalName(usesDefaultPattern_, resolve, stem.stem, preset_.normalTarget, potText));
    if (!stored) out.report.warnings.emplace_back(couldNotRead);
    if (!stem.isNamedHeight) {
        out.report.warnings.emplace_back("Not named like a height map (_Height, _Disp, _Bump); it will be treated as one");
    }
}

void TexturePlanner::powerOfTwo(const BatchItem& item, const Resolve& resolve, PlannedItem& out) {
    auto& warnings = out.report.warnings;
    // The run loads the picture upright, so a quarter-turned photo's sides are swapped.
    const auto source = uprightSize(item.sourceURL);
    std::optional<PixelSize> target;
    std::string potText(unknownSize);
    if (source) {
        try {
            target = preset_.targetSize(source->width, source->height);
            potText = TextureOutputNames::sizeText(*target);
        } catch (const std::exception& error) {
            warnings.push_back(std::string("Could not size the output: ") + error.what());
        }
    } else {
        warnings.emplace_back(couldNotRead);
    }
    // Squaring only happens under the power-of-two rule.
    if (source && preset_.enforcePOT && preset_.forceSquare && source->width != source->height) {
        warnings.push_back("Will be stretched from " + TextureOutputNames::sizeText(*source) + " to square");
    }
    const std::string stem = TextureOutputNames::powerOfTwoStem(resolve, potText);
    out.report.projectedFileNames.push_back(stem + ".png");
    if (preset_.generateMipmaps) {
        if (target) {
            for (const auto& level : TextureOutputNames::mipLevels(*target)) {
                out.report.projectedFileNames.push_back(TextureOutputNames::mipName(stem, level));
            }
        } else {
            out.report.projectedFileNames.push_back(stem + "_mip1\u2026 (mipmap chain)");
        }
    }
}

void TexturePlanner::spriteSheet(const BatchItem& item, PlannedItem& out) {
    auto& warnings = out.report.warnings;
    Folder& folder = folderOf(item);
    const auto split = TextureProcessor::splitFrameName(item.sourceURL);
    TextureProcessor::FrameSequence single;
    const TextureProcessor::FrameSequence* found = &single;
    if (!split.number) {
        single = TextureProcessor::frameSequenceAmong(item.sourceURL, {}, extensions_);
    } else {
        // Every frame of a sequence shares it: made once, from the folder's frames of that prefix.
        const std::string key = split.prefix + "\n" + TextureFiles::lowerExtension(item.sourceURL);
        auto made = folder.madeSequences.find(key);
        if (made == folder.madeSequences.end()) {
            made = folder.madeSequences
                       .emplace(key, TextureProcessor::frameSequenceAmong(
                                         item.sourceURL, folder.sequenceCandidates(item.sourceURL, split.prefix),
                                         extensions_))
                       .first;
        }
        found = &made->second;
    }
    const TextureProcessor::FrameSequence& sequence = *found;
    const auto leader = TextureProcessor::leadingFrame(sequence, queued());
    if (!leader || !same(*leader, item.sourceURL)) {
        warnings.push_back("Skipped: frame of the " + sequence.name + " sprite sheet");
        return;
    }
    const auto format = preset_.spriteFormat;

    std::vector<PixelSize> sizes;
    std::vector<std::string> unreadable;
    sizes.reserve(sequence.frames.size());
    for (const auto& frame : sequence.frames) {
        if (const auto size = uprightSize(frame)) {
            sizes.push_back(*size);
        } else {
            unreadable.push_back(frame.filename().string());
        }
    }

    bool mayTakeSeveral = false;
    for (const auto& variant : TextureProcessor::spriteVariants(preset_)) {
        const auto one = TextureProcessor::spriteFileNames(sequence.name, variant.suffix, 1, format);
        out.report.projectedFileNames.insert(out.report.projectedFileNames.end(), one.images.begin(), one.images.end());
        out.report.projectedFileNames.insert(out.report.projectedFileNames.end(), one.data.begin(), one.data.end());

        // Untrimmed slots, as the packer would place them before trimming shrinks anything.
        const auto options = TextureProcessor::spriteOptions(preset_, variant.scale);
        const double gap = 2.0 * std::max(0, options.extrude) + std::max(0, options.padding);
        double area = 0;
        for (const auto& size : sizes) {
            const double w = std::max(1.0, std::round(size.width * variant.scale)) + gap;
            const double h = std::max(1.0, std::round(size.height * variant.scale)) + gap;
            area += w * h;
        }
        const double side = std::clamp(options.maxSheetSize, 1, RGBAImage::maxSide);
        if (sizes.size() > 1 && area > side * side) {
            mayTakeSeveral = true;
            // Every page name the run could write: at most one page per frame.
            const auto pages = TextureProcessor::spriteFileNames(sequence.name, variant.suffix,
                                                                 static_cast<int>(sizes.size()), format);
            out.alsoPossible.insert(out.alsoPossible.end(), pages.images.begin(), pages.images.end());
            out.alsoPossible.insert(out.alsoPossible.end(), pages.data.begin(), pages.data.end());
        }
    }

    if (preset_.spriteRotate && !SpriteSheetCompiler::supportsRotation(format)) {
        warnings.push_back(std::string(SpriteSheetCompiler::displayName(format)) +
                           " can't use rotated frames; rotation is off for this format");
    }
    if (sequence.frames.size() == 1) warnings.emplace_back("Only one frame found for this sheet");
    if (sizes.empty()) {
        warnings.emplace_back(couldNotRead);
    } else {
        for (const auto& name : unreadable) warnings.push_back("Could not read " + name + "; the sheet leaves it out");
    }
    if (mayTakeSeveral) {
        const auto limit = std::to_string(std::clamp(TextureProcessor::spriteOptions(preset_, 1.0).maxSheetSize, 1,
                                                     RGBAImage::maxSide));
        warnings.push_back("The frames may not fit one " + limit + "x" + limit +
                           " sheet; the sheet may take several pages (" + sequence.name + "_Atlas-0.png, ...)");
    }
}

void TexturePlanner::tiling(const BatchItem& item, PlannedItem& out) {
    TilingChecker::Result result;
    try {
        result = TilingChecker::check(item.sourceURL);
    } catch (const std::exception&) {
        out.report.warnings.emplace_back(couldNotRead);
        return;
    }
    if (result.horizontalRatio > 3.0 || result.verticalRatio > 3.0) {
        out.report.projectedFileNames.push_back(TextureOutputNames::tilingPreviewName(item.originalFileName));
        out.report.warnings.push_back(result.summary());
    }
}

}  // namespace morvale::output_plan

#include "batch_presets/texture_processor.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/ascii.h"
#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "batch_core/batch_item.h"
#include "batch_core/batch_skip.h"
#include "batch_core/processing_context.h"
#include "batch_core/run_ledger.h"
#include "batch_core/token_renamer.h"
#include "batch_core/uuid.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/texture_files.h"
#include "batch_presets/texture_output_names.h"
#include "image_engine/channel_packer.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/image_loader.h"
#include "image_engine/normal_map_generator.h"
#include "image_engine/packed_texture.h"
#include "image_engine/power_of_two_scaler.h"
#include "image_engine/tiling_checker.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

using DataFormat = SpriteSheetCompiler::DataFormat;

constexpr std::string_view finishedMessage = "Texture processing finished.";

std::string sizeText(int width, int height) { return TextureOutputNames::sizeText({width, height}); }

// Settings hold 64-bit sizes; the engines take int. Anything beyond int's range is no limit the
// engines could honour anyway, so it is held at the largest int.
int clampToInt(std::int64_t value) { return TextureOutputNames::engineSize(value); }

bool samePath(const fs::path& a, const fs::path& b) {
    return RunLedger::pathForm(a) == RunLedger::pathForm(b);
}

std::string asText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One call of the processing step: the item, its run and the outputs written so far.
class Job {
public:
    Job(const MorvalePreset& preset, const BatchItem& item, const ProcessingContext& context)
        : preset_(preset),
          item_(item),
          context_(context),
          ledger_(*context.ledger),
          extensions_(preset.supportedExtensions()),
          defaultPattern_(preset.defaultNamingPattern()),
          pattern_(context.configuration.namingPattern.empty() ? defaultPattern_
                                                               : context.configuration.namingPattern) {}

    std::vector<fs::path> run() {
        try {
            switch (preset_.operationalMode) {
                case MorvalePreset::OperationalMode::channelPackingORM: packChannels(); break;
                case MorvalePreset::OperationalMode::normalMapConvert: convertNormal(); break;
                case MorvalePreset::OperationalMode::normalFromHeight: normalFromHeight(); break;
                case MorvalePreset::OperationalMode::powerOfTwoEnforce: powerOfTwo(); break;
                case MorvalePreset::OperationalMode::spriteSheetAtlas: spriteSheet(); break;
                case MorvalePreset::OperationalMode::tilingCheck: tilingCheck(); break;
            }
        } catch (const OperationCancelled&) {
            throw;  // the queue removes what a stopped item wrote
        } catch (...) {
            if (!keepOutputsOnFailure_) discardOutputs();
            throw;
        }
        progress(1.0, std::string(finishedMessage));
        return std::move(outputs_);
    }

private:
    const std::string& file() const { return item_.originalFileName; }
    fs::path outputFolder() const { return context_.configuration.outputDirectory; }

    void progress(double fraction, const std::string& message) const {
        if (context_.onProgressUpdate) context_.onProgressUpdate(fraction, message);
    }
    void log(const std::string& message) const {
        if (context_.log) context_.log(message);
    }

    std::string resolve(const std::map<std::string, std::string>& variables) const {
        return TokenRenamer().resolve(pattern_, item_, context_.itemIndex, context_.totalItems,
                                      variables);
    }
    TextureOutputNames::Resolve resolver() const {
        return [this](const std::map<std::string, std::string>& variables) { return resolve(variables); };
    }

    void reads(const std::vector<fs::path>& files) { ledger_.noteReads(item_, files); }

    // A failed item's outputs are reported nowhere, so none stays behind looking finished (a base
    // map without its mip chain, a sheet without its data file); one that cannot be removed is
    // named in the log.
    void discardOutputs() {
        const std::vector<fs::path> removed = ledger_.removeOutputsOf(item_.id);
        for (const auto& output : outputs_) {
            std::error_code error;
            if (std::find(removed.begin(), removed.end(), output) == removed.end() && fs::exists(output, error)) {
                log("kept " + output.string());
            }
        }
    }

    // The run's queued files; unknown for a ledger of no job, where every file counts as queued.
    TextureProcessor::Queued queued() const { return TextureProcessor::queuedIn(ledger_); }

    // Claims the path in the run's ledger; throws OutputConflict when the run already has it.
    fs::path claim(const std::string& fileName, std::string_view remedy) {
        throwIfStopRequested(context_.stopToken);
        const fs::path destination = outputFolder() / fileName;
        ledger_.claimOutput(item_, destination, remedy);
        return destination;
    }

    // Writes a claimed path through `writer` and records it as an output.
    template <typename Write>
    fs::path write(const fs::path& destination, Write&& writer) {
        throwIfStopRequested(context_.stopToken);
        writer(destination);
        outputs_.push_back(destination);
        return destination;
    }

    template <typename Write>
    fs::path emit(const std::string& fileName, std::string_view remedy, Write&& writer) {
        return write(claim(fileName, remedy), std::forward<Write>(writer));
    }

    fs::path writeTexture(const fs::path& destination, const PackedTexture& texture) {
        if (!texture.isValid()) throw ChannelPacker::PackingError::compositionFailed();
        return write(destination,
                     [&](const fs::path& path) { PackedTexture::writePNG(texture, path, context_.stopToken); });
    }

    fs::path emitTexture(const std::string& fileName, const PackedTexture& texture,
                         std::string_view remedy) {
        return writeTexture(claim(fileName, remedy), texture);
    }

    // -- Channel packing -----------------------------------------------------------------------

    void packChannels() {
        progress(0.2, "Discovering texture channels...");
        const ChannelPacker packer;
        const auto identified = packer.identify(item_.sourceURL);
        if (!identified) {
            throw BatchSkip(file() + " isn't an AO / Roughness / Smoothness / Metallic / Height map");
        }
        // A queued file that cannot be reached (a symlink loop, a dangling link) would otherwise
        // not be recognised as a member of its set and be skipped as packed with it.
        std::error_code unreachable;
        (void)fs::status(item_.sourceURL, unreachable);
        if (unreachable) throw ChannelPacker::PackingError::cannotRead(item_.sourceURL, unreachable);
        const std::string& setName = identified->stem;
        // Decided once per run, so that every member of a set sees the same choice even while
        // outputs land in the set's folder.
        const auto& decided = TextureProcessor::runTextureSet(ledger_, item_.sourceURL, extensions_);
        const TextureProcessor::TextureSet set = decided.value_or(TextureProcessor::TextureSet{});
        const ChannelPacker::ChannelSources& sources = set.sources;

        const auto own = sources.maps.find(identified->channel);
        if (own != sources.maps.end() && !samePath(own->second, item_.sourceURL)) {
            throw BatchSkip(file() + " isn't used: its set takes " + own->second.filename().string() +
                            " as its " + std::string(ChannelPacker::displayName(identified->channel)) +
                            " map");
        }
        const auto& primary = set.primary;
        if (!primary || !samePath(*primary, item_.sourceURL)) {
            throw BatchSkip(file() + " is packed together with " +
                            (primary ? primary->filename().string() : std::string("its set")));
        }

        const std::vector<fs::path> members = sources.all();
        reads(members);

        const std::string label(ChannelPacker::displayName(preset_.engineProfile));
        std::string memberNames;
        for (const auto& member : members) {
            if (!memberNames.empty()) memberNames += ", ";
            memberNames += member.filename().string();
        }
        log("Packing " + setName + " for " + label + ": " + memberNames);

        const auto missing = sources.missingInputs(preset_.engineProfile);
        if (!missing.empty()) {
            std::string joined;
            for (const auto& name : missing) {
                if (!joined.empty()) joined += "/";
                joined += name;
            }
            log(setName + ": no " + joined + " map, using engine defaults");
        }

        // The primary is a queued file, so measure it rather than the first map in channel order,
        // which may be a .bmp or .psd sibling.
        ChannelPacker::ChannelSources measured;
        if (auto channel = packer.identify(*primary)) measured.maps.emplace(channel->channel, *primary);
        const PixelSize source = packer.sourceSize(measured);
        const auto target = preset_.targetSize(source.width, source.height);
        const int width = target.width;
        const int height = target.height;

        progress(0.5, "Compositing " + label + " channels...");
        PackedTexture packed = packer.pack(sources, preset_.engineProfile, width, height, context_.stopToken);
        const std::string baseName = TextureOutputNames::packedStem(
            resolver(), setName, sizeText(packed.width, packed.height), preset_.engineProfile);
        emitTexture(baseName + ".png", packed, RunLedger::patternRemedy);

        if (preset_.generateMipmaps) {
            progress(0.85, "Generating mipmap chain...");
            PackedTexture level = std::move(packed);
            for (const auto& mip : TextureOutputNames::mipLevels({level.width, level.height})) {
                level = level.halved(context_.stopToken);
                emitTexture(TextureOutputNames::mipName(baseName, mip), level, RunLedger::patternRemedy);
            }
        }

        const auto heightMap = sources.maps.find(ChannelPacker::Channel::height);
        if (preset_.generateMissingNormal && heightMap != sources.maps.end() &&
            !NormalMapGenerator::hasNormalMap(setName,
                                              TextureProcessor::runListing(ledger_, item_.sourceURL.parent_path()))) {
            // The normal map is an extra: the packed map is already written, so a failure here is
            // reported and the item still completes with what it wrote. Its fixed name may be one
            // the run already has (the pattern {name}_NormalGL names the packed map so): then it
            // is not made at all, and the log says why.
            const std::string name = TextureOutputNames::setNormalName(setName, preset_.normalTarget);
            fs::path destination;
            try {
                destination = claim(name, RunLedger::fixedNameRemedy);
            } catch (const OutputConflict& refused) {
                log(setName + ": no normal map made from the height map. " + refused.what());
                return;
            }
            try {
                progress(0.9, "Making normal map from height...");
                const PackedTexture normal = NormalMapGenerator::fromHeight(
                    heightMap->second, preset_.normalStrength, preset_.normalTarget,
                    std::max(width, height), true, context_.stopToken);
                writeTexture(destination, normal);
                log(setName + ": no normal map found, made " + name + " from the height map");
            } catch (const OperationCancelled&) {
                throw;
            } catch (const std::exception& error) {
                log(setName + ": could not make a normal map from the height map: " + error.what());
            }
        }
    }

    // -- Normal maps ---------------------------------------------------------------------------

    void emitNormal(const std::string& stem, const PackedTexture& texture) {
        const std::string fileName = TextureOutputNames::normalName(
            pattern_ == defaultPattern_, resolver(), stem, preset_.normalTarget, sizeText(texture.width, texture.height));
        emitTexture(fileName, texture, RunLedger::patternRemedy);
    }

    void convertNormal() {
        const ChannelPacker packer;
        const auto identified = packer.identifyNormal(item_.sourceURL);
        if (!identified) {
            throw BatchSkip(file() +
                            " isn't named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
        }
        if (identified->convention && *identified->convention == preset_.normalTarget) {
            throw BatchSkip(file() + " is already " + std::string(ChannelPacker::tag(preset_.normalTarget)));
        }
        reads({item_.sourceURL});
        progress(0.4, "Flipping green channel...");
        const PackedTexture converted =
            packer.flipNormalGreen(item_.sourceURL, clampToInt(preset_.maxTextureSize), context_.stopToken);
        emitNormal(identified->stem, converted);
    }

    void normalFromHeight() {
        const auto stem = NormalMapGenerator::stem(item_.sourceURL);
        reads({item_.sourceURL});
        progress(0.4, "Building normal map...");
        const PackedTexture normal =
            NormalMapGenerator::fromHeight(item_.sourceURL, preset_.normalStrength, preset_.normalTarget,
                                           clampToInt(preset_.maxTextureSize), true, context_.stopToken);
        emitNormal(stem.stem, normal);
    }

    // -- Power of two --------------------------------------------------------------------------

    void powerOfTwo() {
        progress(0.3, "Rescaling to Power-of-Two...");
        reads({item_.sourceURL});
        const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
        std::optional<PipelineImage> image;
        try {
            image = pipeline.load(item_.sourceURL, context_.stopToken);
        } catch (const ImageLoadError& error) {
            throw MorvalePreset::TextureError::cannotOpenImage(item_.sourceURL, error.systemError());
        }

        const auto target = preset_.targetSize(image->width(), image->height());
        const PowerOfTwoScaler scaler;
        // A map already at its size is used as loaded: a copy of a 16384² raster costs a gigabyte.
        PipelineImage scaled = target.width == image->width() && target.height == image->height()
                                   ? std::move(*image)
                                   : scaler.scale(*image, target.width, target.height, context_.stopToken);
        image.reset();
        const std::string baseName =
            TextureOutputNames::powerOfTwoStem(resolver(), sizeText(scaled.width(), scaled.height()));
        const auto writeImage = [&](const PipelineImage& picture) {
            return [this, &pipeline, &picture](const fs::path& destination) {
                pipeline.write(picture, destination, 0.92, std::nullopt, context_.stopToken);
            };
        };
        emit(baseName + ".png", RunLedger::patternRemedy, writeImage(scaled));

        if (preset_.generateMipmaps) {
            for (const auto& level : scaler.generateMipmaps(std::move(scaled), 16, context_.stopToken)) {
                if (level.level == 0) continue;
                emit(TextureOutputNames::mipName(baseName, {level.level, level.dimension}),
                     RunLedger::patternRemedy, writeImage(level.image));
            }
        }
    }

    // -- Tiling check --------------------------------------------------------------------------

    void tilingCheck() {
        progress(0.4, "Comparing edges...");
        reads({item_.sourceURL});
        const TilingChecker::Result result = TilingChecker::check(item_.sourceURL, context_.stopToken);
        if (result.horizontalRatio <= 3.0 && result.verticalRatio <= 3.0) {
            log(file() + ": tiles seamlessly");
            return;
        }
        const PackedTexture preview = TilingChecker::tiledPreview(item_.sourceURL, 1024, context_.stopToken);
        const fs::path written =
            emitTexture(TextureOutputNames::tilingPreviewName(file()), preview, RunLedger::fixedNameRemedy);
        // The preview stays on disk although the item fails: it is what the user looks at.
        keepOutputsOnFailure_ = true;
        throw MorvalePreset::TextureError::notSeamless(result.summary() + ". Preview: " +
                                                       written.filename().string());
    }

    // -- Sprite sheets -------------------------------------------------------------------------

    void spriteSheet() {
        const auto& sequence = TextureProcessor::runFrameSequence(ledger_, item_.sourceURL, extensions_);
        const auto leader = TextureProcessor::leadingFrame(sequence, queued());
        if (!leader || !samePath(*leader, item_.sourceURL)) {
            throw BatchSkip(file() + " is part of the " + sequence.name + " sprite sheet");
        }
        reads(sequence.frames);
        progress(0.4, "Packing " + std::to_string(sequence.frames.size()) + " frames...");

        const auto variants = TextureProcessor::spriteVariants(preset_);

        const DataFormat format = preset_.spriteFormat;
        const SpriteSheetCompiler compiler;
        for (const auto& variant : variants) {
            const SpriteSheetCompiler::Options options = TextureProcessor::spriteOptions(preset_, variant.scale);

            SpriteSheetCompiler::Atlas atlas =
                compiler.compileAtlas(sequence.frames, options, true, context_.log, context_.stopToken);
            const int pageCount = static_cast<int>(atlas.pages.size());
            const auto names = TextureProcessor::spriteFileNames(sequence.name, variant.suffix, pageCount, format);

            std::string summary;
            int rotated = 0;
            for (const auto& page : atlas.pages) {
                if (!summary.empty()) summary += " + ";
                summary += sizeText(page.sheetWidth, page.sheetHeight);
                rotated += static_cast<int>(std::count_if(page.frames.begin(), page.frames.end(),
                                                          [](const auto& frame) { return frame.rotated; }));
            }
            const int frameCount = atlas.frameCount();
            const int duplicates = atlas.duplicateCount();

            for (std::size_t i = 0; i < atlas.pages.size(); ++i) {
                auto& page = atlas.pages[i];
                emitTexture(names.images[i], page.image, RunLedger::fixedNameRemedy);
                page.image = PackedTexture{};  // the page's pixels are no longer needed
                if (format == DataFormat::godot) continue;

                std::vector<std::string> related;
                for (std::size_t j = 1; i == 0 && j < names.data.size(); ++j) related.push_back(names.data[j]);
                std::string data;
                switch (format) {
                    case DataFormat::jsonHash: {
                        const std::optional<std::string> animation =
                            pageCount == 1 ? std::optional<std::string>(sequence.name) : std::nullopt;
                        data = asText(page.jsonHash(names.images[i], animation, related));
                        break;
                    }
                    case DataFormat::jsonArray: data = asText(page.jsonArray(names.images[i], related)); break;
                    case DataFormat::cocos: data = asText(page.cocosPlist(names.images[i])); break;
                    case DataFormat::unity: data = page.unityMeta(names.images[i], 100); break;
                    case DataFormat::godot: break;
                }
                emit(names.data[i], RunLedger::fixedNameRemedy,
                     [&](const fs::path& destination) { AtomicFileWriter::writeFile(destination, data); });
            }
            if (format == DataFormat::godot) {
                std::vector<std::string> order;
                order.reserve(sequence.frames.size());
                for (const auto& frame : sequence.frames) order.push_back(frame.filename().string());
                const std::string resource =
                    atlas.godotSpriteFrames(names.images, sequence.name, order, 12.0);
                emit(names.data.front(), RunLedger::fixedNameRemedy,
                     [&](const fs::path& destination) { AtomicFileWriter::writeFile(destination, resource); });
            }

            if (variant.scale == 1.0) {
                std::string line = sequence.name + ": " + std::to_string(frameCount) + " frames on " + summary;
                if (pageCount > 1) line += " (" + std::to_string(pageCount) + " sheets)";
                if (duplicates > 0) line += ", " + std::to_string(duplicates) + " duplicate frames reused";
                if (rotated > 0) line += ", " + std::to_string(rotated) + " rotated";
                log(line);
            }
        }
    }

    const MorvalePreset& preset_;
    const BatchItem& item_;
    const ProcessingContext& context_;
    RunLedger& ledger_;
    std::set<std::string> extensions_;
    std::string defaultPattern_;
    std::string pattern_;
    std::vector<fs::path> outputs_;
    bool keepOutputsOnFailure_ = false;
};

}  // namespace

std::vector<fs::path> TextureProcessor::process(const MorvalePreset& preset, const BatchItem& item,
                                                const ProcessingContext& context) {
    return Job(preset, item, context).run();
}

TextureProcessor::PrimaryChoice TextureProcessor::queueablePrimary(const ChannelPacker::ChannelSources& sources,
                                                                   const std::set<std::string>& queueable,
                                                                   const Queued& queued) {
    for (const auto& file : sources.all()) {
        if (queueable.contains(TextureFiles::lowerExtension(file)) && (!queued || queued(file))) return file;
    }
    return std::nullopt;
}

std::optional<TextureProcessor::TextureSet> TextureProcessor::textureSet(const fs::path& file,
                                                                         const std::set<std::string>& queueable,
                                                                         const Queued& queued) {
    if (!ChannelPacker().identify(file)) return std::nullopt;  // no folder to list
    return textureSetIn(file, FolderListing::read(file.parent_path()), queueable, queued);
}

std::optional<TextureProcessor::TextureSet> TextureProcessor::textureSetIn(const fs::path& file,
                                                                           const FolderListing& folder,
                                                                           const std::set<std::string>& queueable,
                                                                           const Queued& queued) {
    const auto identified = ChannelPacker().identify(file);
    if (!identified) return std::nullopt;
    if (!folder.readable()) return textureSetAmong(file, {file}, queueable, queued);
    // Every map of the set is named its stem followed by a suffix.
    std::vector<fs::path> candidates;
    for (const FolderListing::Entry* entry : folder.startingWithIgnoringCase(identified->stem)) {
        if (!entry->hidden() && entry->regularFile) candidates.push_back(entry->path);
    }
    return textureSetAmong(file, candidates, queueable, queued);
}

namespace {

// A ledger key of the parts: file names may hold any byte but NUL.
std::string runKey(std::initializer_list<std::string_view> parts) {
    std::string key;
    for (const std::string_view part : parts) {
        key += part;
        key += '\0';
    }
    return key;
}

std::string folderKey(const fs::path& folder) {
    return RunLedger::pathForm(folder.empty() ? fs::path(".") : folder).string();
}

}  // namespace

// An item sees its folder as the run first listed it: the first item of the run that needs the
// folder lists it, and every item of the run there, every set and every sequence decided there,
// uses that one listing. So the items of one set or one sequence all see the same members, and
// which files an item sees no longer depends on the order in which the queue happened to start
// the items:
// - A file that appears in the folder later is no member of anything in this run (the next run
//   sees it): a map or frame the user adds while the run goes on, and the run's own outputs when
//   the output folder is the input folder, which could otherwise join a set or sequence that
//   other items of it have already decided without them (a pattern such as {name}_Height names a
//   packed map like a height map).
// - A file removed after the listing stays a member: the item that packs its set or sequence
//   fails naming the file it cannot read, as it would had the file gone a moment after being read.
// - A folder first listed after another folder's items wrote into it (output folder = one of the
//   input folders) holds those outputs; the ledger refuses to read one of them as an input, and
//   the item that would names it.
const FolderListing& TextureProcessor::runListing(RunLedger& ledger, const fs::path& folder) {
    return ledger.decideOnce<FolderListing>(runKey({"folder", folderKey(folder)}),
                                            [&] { return FolderListing::read(folder); });
}

TextureProcessor::Queued TextureProcessor::queuedIn(const RunLedger& ledger) {
    if (ledger.sources().empty()) return {};
    return [&ledger](const fs::path& file) { return ledger.isSource(file); };
}

const std::optional<TextureProcessor::TextureSet>& TextureProcessor::runTextureSet(
    RunLedger& ledger, const fs::path& file, const std::set<std::string>& queueable) {
    static const std::optional<TextureSet> none;
    const auto identified = ChannelPacker().identify(file);
    if (!identified) return none;
    const std::string key = runKey({"set", folderKey(file.parent_path()), ascii::lowered(identified->stem)});
    return ledger.decideOnce<std::optional<TextureSet>>(key, [&] {
        return textureSetIn(file, runListing(ledger, file.parent_path()), queueable, queuedIn(ledger));
    });
}

const TextureProcessor::FrameSequence& TextureProcessor::runFrameSequence(RunLedger& ledger, const fs::path& file,
                                                                          const std::set<std::string>& extensions) {
    const FrameName split = splitFrameName(file);
    // A file without a frame number is a sequence of its own.
    const std::string folder = folderKey(file.parent_path());
    const std::string key = split.number
                                ? runKey({"frames", folder, split.prefix, TextureFiles::lowerExtension(file)})
                                : runKey({"frame", folder, file.filename().string()});
    return ledger.decideOnce<FrameSequence>(key, [&] {
        return frameSequenceIn(file, runListing(ledger, file.parent_path()), extensions);
    });
}

std::optional<TextureProcessor::TextureSet> TextureProcessor::textureSetAmong(const fs::path& file,
                                                                              const std::vector<fs::path>& files,
                                                                              const std::set<std::string>& queueable,
                                                                              const Queued& queued) {
    const ChannelPacker packer;
    const auto identified = packer.identify(file);
    if (!identified) return std::nullopt;
    const std::string stem = ascii::lowered(identified->stem);
    const auto& imageExtensions = ChannelPacker::imageExtensions();

    TextureSet set;
    for (const auto& candidate : files) {
        const std::string extension = TextureFiles::lowerExtension(candidate);
        if (!imageExtensions.contains(extension)) continue;
        const auto map = packer.identify(candidate);
        if (!map || ascii::lowered(map->stem) != stem) continue;
        auto [slot, added] = set.sources.maps.emplace(map->channel, candidate);
        if (!added && queueable.contains(extension) &&
            !queueable.contains(TextureFiles::lowerExtension(slot->second))) {
            slot->second = candidate;
        }
    }
    set.primary = queueablePrimary(set.sources, queueable, queued);
    return set;
}

std::vector<TextureProcessor::SpriteVariant> TextureProcessor::spriteVariants(const MorvalePreset& preset) {
    std::vector<SpriteVariant> variants{{"", 1.0}};
    if (preset.spriteHalfScale) variants.push_back({"@1x", 0.5});
    return variants;
}

SpriteSheetCompiler::Options TextureProcessor::spriteOptions(const MorvalePreset& preset, double scale) {
    SpriteSheetCompiler::Options options;
    options.trim = preset.spriteTrim;
    options.padding = clampToInt(preset.spritePadding);
    options.extrude = clampToInt(preset.spriteExtrude);
    options.maxSheetSize = preset.maxTextureSize > 0 ? clampToInt(preset.maxTextureSize) : 8192;
    options.scale = scale;
    options.allowRotation = preset.spriteRotate && SpriteSheetCompiler::supportsRotation(preset.spriteFormat);
    return options;
}

}  // namespace morvale

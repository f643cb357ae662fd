#include "batch_presets/listing_processor.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <charconv>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "batch_core/batch_item.h"
#include "batch_core/batch_skip.h"
#include "batch_core/exif_stripper.h"
#include "batch_core/processing_context.h"
#include "batch_core/run_ledger.h"
#include "batch_core/token_renamer.h"
#include "image_engine/architectural_straightener.h"
#include "image_engine/bracket_merger.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/image_loader.h"
#include "image_engine/merge_gate.h"
#include "image_engine/watermark_renderer.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

using PresetError = VarnholtPreset::PresetError;

constexpr double kPrintQuality = 0.98;
constexpr double kStripQuality = 0.92;
constexpr double kQualities[] = {0.85, 0.78, 0.70, 0.62, 0.55};
constexpr int kRounds = 6;
constexpr double kShrink = 0.85;
constexpr std::int64_t kMaxCapKB = std::numeric_limits<std::int64_t>::max() / 1024;

// Halves away from zero, as the crop arithmetic wants; callers pass sizes well within int.
int roundHalfAway(double value) { return static_cast<int>(std::round(value)); }

PackedTexture cropPixels(const PackedTexture& source, int x, int y, int width, int height) {
    PackedTexture out{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4)};
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* from =
            source.rgba.data() + (static_cast<std::size_t>(y + row) * static_cast<std::size_t>(source.width) + static_cast<std::size_t>(x)) * 4;
        std::copy_n(from, rowBytes, out.rgba.data() + static_cast<std::size_t>(row) * rowBytes);
    }
    return out;
}

// What the user can act on: the system's answer, a size above the limits, else the decoder's reason.
std::string causeOf(const ImageLoadError& error) {
    if (error.systemError()) return error.systemError().message();
    if (const auto& size = error.refusedSize()) {
        return std::to_string(size->width) + " × " + std::to_string(size->height) + " is too large";
    }
    return error.reason();
}

// The stripper says that it could not write, not why. Ask the file system the question its write
// asked: can a file of that size be written in this folder now? No answer when it can.
std::error_code spaceFor(const fs::path& file, std::uintmax_t bytes) {
    try {
        AtomicFileWriter probe(file, {.createFolders = false, .durable = false});
        const int result = ::posix_fallocate(probe.fd(), 0, static_cast<off_t>(bytes));
        return result == 0 ? std::error_code() : std::error_code(result, std::generic_category());
    } catch (const AtomicWriteError& error) {
        return error.code();
    }
}

}  // namespace

void ListingProcessor::checkWebFields(const VarnholtPreset& preset) {
    if (!std::isfinite(preset.maxWebDimension) || preset.maxWebDimension < 1.0) {
        throw std::invalid_argument("The web image's longest side must be a number of at least 1 pixel (it is " +
                                    ListingProcessor::fixed(preset.maxWebDimension, 1) + ").");
    }
    if (preset.maxWebFileSizeKB < 1 || preset.maxWebFileSizeKB > kMaxCapKB) {
        throw std::invalid_argument("The web file-size cap must be from 1 to " + std::to_string(kMaxCapKB) +
                                    " KB (it is " + std::to_string(preset.maxWebFileSizeKB) + " KB).");
    }
}

std::vector<std::string> ListingProcessor::packageNames(const VarnholtPreset& preset, const Resolve& resolve) {
    std::vector<std::string> names;
    if (preset.exportPrintPackage) {
        names.push_back("Print_Package/" + resolve({{"address", preset.propertyAddress}, {"size", "Print"}}) + ".jpg");
    }
    if (preset.exportWebPackage) {
        names.push_back(std::string(VarnholtPreset::folderName(preset.portal())) + "/" +
                        resolve({{"address", preset.propertyAddress}, {"size", "Web"}}) + ".jpg");
    }
    return names;
}

std::vector<fs::path> ListingProcessor::bracketAmong(const fs::path& photo, const VarnholtPreset& preset,
                                                     BracketMerger::FolderCache& cache,
                                                     const std::function<bool(const fs::path&)>& queued) {
    const std::vector<fs::path> bracket = BracketMerger::brackets(photo, preset.supportedExtensions(), cache);
    const fs::path own = RunLedger::pathForm(photo);
    std::vector<fs::path> members;
    for (const fs::path& shot : bracket) {
        if (RunLedger::pathForm(shot) == own || queued(shot)) members.push_back(shot);
    }
    return members;
}

namespace {

// One call of the processing step.
class Job {
public:
    Job(const VarnholtPreset& preset, const BatchItem& item, const ProcessingContext& context)
        : preset_(preset),
          item_(item),
          context_(context),
          ledger_(*context.ledger),
          pipeline_(CoreImagePipeline::shared()) {}

    std::vector<fs::path> run() {
        if (preset_.exportWebPackage) ListingProcessor::checkWebFields(preset_);
        PipelineImage photo = loadPhoto(item_.sourceURL);
        if (preset_.mergeBrackets) photo = mergeBracket(std::move(photo));
        stopPoint();

        progress(0.15, "Analyzing architectural lines...");
        if (preset_.autoStraightenVerticals) photo = straighten(photo);
        const PipelineImage* logo = preset_.watermarkURL ? &watermark(*preset_.watermarkURL) : nullptr;

        return writePackages(std::move(photo), logo);
    }

private:
    const std::string& file() const { return item_.originalFileName; }
    void progress(double fraction, const std::string& message) const { context_.onProgressUpdate(fraction, message); }
    void log(const std::string& message) const { context_.log(message); }
    void stopPoint() const { throwIfStopRequested(context_.stopToken); }

    // Photos arrive in sRGB, whatever profile they were shot in, before any tool sees them.
    PipelineImage loadPhoto(const fs::path& file) const {
        try {
            return pipeline_.loadPhoto(file);
        } catch (const ImageLoadError& error) {
            throw PresetError::cannotDecodeImage(file, causeOf(error));
        }
    }

    // -- Bracket ---------------------------------------------------------------------------------

    // The photo's bracket among the files of this run (a shot that is no item of the run neither
    // leads nor joins), decided from one folder cache per run.
    std::vector<fs::path> bracketInRun() const {
        using Cache = std::shared_ptr<BracketMerger::FolderCache>;
        const Cache& cache = ledger_.decideOnce<Cache>(
            "listing.bracketCache", [] { return std::make_shared<BracketMerger::FolderCache>(); });
        return ListingProcessor::bracketAmong(item_.sourceURL, preset_, *cache,
                                              [this](const fs::path& shot) { return ledger_.isSource(shot); });
    }

    PipelineImage mergeBracket(PipelineImage lead) {
        const std::vector<fs::path> bracket = bracketInRun();
        if (bracket.size() < 2) return lead;
        if (RunLedger::pathForm(bracket.front()) != RunLedger::pathForm(item_.sourceURL)) {
            throw BatchSkip(file() + " is merged into " + bracket.front().filename().string() + "'s bracket");
        }
        const std::size_t count = bracket.size();
        progress(0.05, "Merging " + std::to_string(count) + " exposures...");
        ledger_.noteReads(item_, bracket);

        // Shots are decoded inside the gate, one at a time, so that leads waiting their turn hold
        // one photo each rather than a whole bracket.
        const std::size_t middle = count / 2;
        ImageProperties metadata;
        const auto load = [&](std::size_t index) -> PackedTexture {
            if (index == 0) {
                if (middle == 0) metadata = lead.properties;
                return std::move(lead.pixels);
            }
            PipelineImage shot = loadPhoto(bracket[index]);
            if (index == middle) metadata = std::move(shot.properties);
            return std::move(shot.pixels);
        };
        PipelineImage fused = MergeGate::shared().run(
            [&] { return BracketMerger().fuse(count, load, true, context_.stopToken); }, context_.stopToken);
        fused.properties = std::move(metadata);

        std::string names;
        for (const fs::path& shot : bracket) {
            if (!names.empty()) names += ", ";
            names += shot.filename().string();
        }
        log(file() + ": merged " + std::to_string(count) + " exposures (" + names + ")");
        return fused;
    }

    // -- Straighten and watermark ----------------------------------------------------------------

    PipelineImage straighten(const PipelineImage& photo) const {
        const ArchitecturalStraightener straightener;
        const auto parameters = straightener.analyze(photo);
        stopPoint();
        PipelineImage out = straightener.straighten(photo, parameters, context_.stopToken);
        if (std::abs(parameters.verticalKeystoneCorrection) < 0.0001 &&
            std::abs(parameters.rotationAngleRadians) < 0.0001) {
            log(file() + ": verticals already straight (" + std::to_string(parameters.linesDetected) +
                " lines checked)");
        } else {
            log(file() + ": corrected " +
                ListingProcessor::fixed(parameters.rotationAngleRadians * -180.0 / std::numbers::pi, 2) + "° roll, " +
                ListingProcessor::fixed(parameters.verticalKeystoneCorrection * 100.0, 1) + "% keystone (" +
                std::to_string(parameters.linesDetected) + " lines)");
        }
        return out;
    }

    // The logo is decoded once per run; a logo that cannot be read fails every item alike, before
    // any file is written.
    const PipelineImage& watermark(const fs::path& logoFile) {
        ledger_.noteReads(item_, {logoFile});
        const PipelineImage& logo =
            ledger_.decideOnce<PipelineImage>("listing.watermark\n" + RunLedger::pathForm(logoFile).string(), [&] {
                try {
                    return pipeline_.loadPhoto(logoFile);
                } catch (const ImageLoadError&) {
                    throw PresetError::cannotDecodeWatermark(logoFile);
                }
            });
        stopPoint();
        progress(0.35, "Applying watermark...");
        return logo;
    }

    // Each package's frame gets its own logo, placed by the same rule, so that a web crop never
    // cuts into it.
    PipelineImage stamped(PipelineImage frame, const PipelineImage* logo) const {
        if (logo == nullptr) return frame;
        WatermarkRenderer::WatermarkOptions options;
        options.opacity = preset_.watermarkOpacity;
        options.scaleFraction = 0.18;
        options.marginFraction = 0.03;
        options.position = WatermarkRenderer::WatermarkPosition::bottomRight;
        return WatermarkRenderer().applyWatermark(std::move(frame), *logo, options);
    }

    // -- Packages --------------------------------------------------------------------------------

    std::string pattern() const {
        return context_.configuration.namingPattern.empty() ? preset_.defaultNamingPattern()
                                                            : context_.configuration.namingPattern;
    }


    ImageProperties packageMetadata(const PipelineImage& photo) const {
        return preset_.stripGPSMetadata ? photo.properties.withoutGPS() : photo.properties;
    }

    std::vector<fs::path> writePackages(PipelineImage photo, const PipelineImage* logo) {
        const fs::path root = context_.configuration.outputDirectory;
        const auto now = std::chrono::system_clock::now();
        const auto names = ListingProcessor::packageNames(preset_, [&](const std::map<std::string, std::string>& variables) {
            return TokenRenamer().resolve(pattern(), item_, context_.itemIndex, context_.totalItems, variables, now);
        });
        std::optional<fs::path> printFile;
        std::optional<fs::path> webFile;
        std::size_t next = 0;
        // Both paths are claimed before either is written, so a clash with another item (or with a
        // file the run reads) fails this item before it leaves anything behind.
        if (preset_.exportPrintPackage) {
            printFile = root / names[next++];
            ledger_.claimOutput(item_, *printFile);
        }
        if (preset_.exportWebPackage) {
            webFile = root / names[next++];
            ledger_.claimOutput(item_, *webFile);
        }
        stopPoint();

        // The web frame is cut before the print's logo is drawn; a web file of the print's own frame
        // shares its pixels.
        std::optional<PipelineImage> webFrame;
        if (webFile && ListingProcessor::cropFrame(photo.width(), photo.height(), preset_.webAspect)) {
            webFrame = stamped(ListingProcessor::cropped(photo, preset_.webAspect), logo);
        }
        photo = stamped(std::move(photo), logo);

        std::vector<fs::path> outputs;
        const EXIFStripper stripper;
        if (printFile) {
            progress(0.55, "Rendering Full-Res Print Package...");
            fs::create_directories(printFile->parent_path());
            std::optional<std::vector<std::uint8_t>> jpeg = pipeline_.jpegData(photo, kPrintQuality, packageMetadata(photo));
            if (!jpeg) throw PresetError::encodingFailed();
            writeOutput(*printFile, *jpeg, EXIFStripper::StripOption::stripGPSOnly, stripper);
            outputs.push_back(*printFile);
        }
        if (webFile) {
            try {
                writeWeb(webFrame ? *webFrame : photo, *webFile, stripper);
            } catch (...) {
                if (printFile) log("kept " + printFile->string());
                throw;
            }
            outputs.push_back(*webFile);
        }
        progress(1.0, "Exported " + std::to_string(outputs.size()) + " package variations.");
        return outputs;
    }

    void writeWeb(const PipelineImage& frame, const fs::path& webFile, const EXIFStripper& stripper) const {
        progress(0.8, "Optimizing Web MLS Package (< " + std::to_string(preset_.maxWebFileSizeKB / 1000) + "MB)...");
        stopPoint();
        fs::create_directories(webFile.parent_path());
        const ListingProcessor::CappedJpeg jpeg =
            ListingProcessor::encodeUnderSizeCap(frame, packageMetadata(frame), preset_.maxWebDimension,
                                                 preset_.maxWebFileSizeKB, context_.stopToken);
        if (jpeg.bytes.empty()) throw PresetError::cannotMeetSizeLimit(preset_.maxWebFileSizeKB);
        writeOutput(webFile, jpeg.bytes, EXIFStripper::StripOption::stripAllExifExceptOrientation, stripper);
    }

    // The file appears under its name only complete and, when location is to go, already stripped:
    // the bytes go to a temporary file beside it, the stripper rewrites that file, and only then is
    // it renamed into place. A failure leaves nothing behind.
    void writeOutput(const fs::path& file, const std::vector<std::uint8_t>& bytes, EXIFStripper::StripOption option,
                     const EXIFStripper& stripper) const {
        const EXIFStripper::EXIFError failed(EXIFStripper::EXIFError::Kind::failedToWriteImage, file);
        try {
            AtomicFileWriter output(file);
            output.write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            if (preset_.stripGPSMetadata) {
                try {
                    stripper.stripMetadata(output.temporaryPath(), output.temporaryPath(), option, kStripQuality);
                } catch (const EXIFStripper::EXIFError&) {
                    // Asked while the encoded file still takes its room, as it did for the stripper.
                    const std::error_code reason = spaceFor(file, bytes.size());
                    output.discard();
                    if (reason) throw std::system_error(reason, failed.what());
                    throw failed;
                }
            }
            output.commit();
        } catch (const AtomicWriteError& error) {
            // One message for an output that could not be put in place, whichever step the system
            // refused, with the system's reason.
            throw std::system_error(error.code(), failed.what());
        }
    }

    const VarnholtPreset& preset_;
    const BatchItem& item_;
    const ProcessingContext& context_;
    RunLedger& ledger_;
    const CoreImagePipeline& pipeline_;
};

}  // namespace

std::vector<fs::path> ListingProcessor::process(const VarnholtPreset& preset, const BatchItem& item,
                                                const ProcessingContext& context) {
    return Job(preset, item, context).run();
}

std::optional<ListingProcessor::Frame> ListingProcessor::cropFrame(int width, int height,
                                                                   VarnholtPreset::WebAspect aspect) {
    const std::optional<double> ratio = VarnholtPreset::ratio(aspect);
    if (!ratio || width <= height) return std::nullopt;
    const double w = width;
    const double h = height;
    int newWidth = width;
    int newHeight = height;
    if (w / h > *ratio) {
        newWidth = roundHalfAway(*ratio * h);
    } else {
        newHeight = roundHalfAway(w / *ratio);
    }
    if (std::abs(newWidth - width) < 1 && std::abs(newHeight - height) < 1) return std::nullopt;
    newWidth = std::clamp(newWidth, 1, width);
    newHeight = std::clamp(newHeight, 1, height);
    const int x = roundHalfAway((w - newWidth) * 0.5);
    const int y = roundHalfAway((h - newHeight) * 0.5);
    return Frame{std::min(x, width - newWidth), std::min(y, height - newHeight), newWidth, newHeight};
}

PipelineImage ListingProcessor::cropped(const PipelineImage& image, VarnholtPreset::WebAspect aspect) {
    const std::optional<Frame> frame = cropFrame(image.width(), image.height(), aspect);
    if (!frame) return image;
    return PipelineImage{cropPixels(image.pixels, frame->x, frame->y, frame->width, frame->height), image.properties};
}

ListingProcessor::CappedJpeg ListingProcessor::encodeUnderSizeCap(const PipelineImage& image,
                                                                  const ImageProperties& properties,
                                                                  double maxDimension, std::int64_t maxKB,
                                                                  std::stop_token stop) {
    if (maxKB < 1 || maxKB > kMaxCapKB) return {};
    const std::size_t cap = static_cast<std::size_t>(maxKB) * 1024;
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    CappedJpeg result;
    double limit = maxDimension;
    std::optional<std::pair<int, int>> lastSize;
    for (int round = 0; round < kRounds; ++round, limit *= kShrink) {
        throwIfStopRequested(stop);
        if (limit < 1.0) break;
        const PipelineImage scaled = pipeline.scaledToFit(image, limit);
        const std::pair<int, int> size{scaled.width(), scaled.height()};
        // The same pixels at the same qualities give the same bytes: nothing new to try.
        if (lastSize == size) continue;
        lastSize = size;
        for (const double quality : kQualities) {
            throwIfStopRequested(stop);
            std::optional<std::vector<std::uint8_t>> bytes = pipeline.jpegData(scaled, quality, properties);
            ++result.encodings;
            if (!bytes) throw PresetError::encodingFailed();
            if (bytes->size() <= cap) {
                result.bytes = std::move(*bytes);
                return result;
            }
        }
    }
    return result;
}

std::string ListingProcessor::fixed(double value, int decimals) {
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ec == std::errc() ? result.ptr : buffer);
    if (!text.empty() && text.front() == '-' && text.find_first_not_of("0.", 1) == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
}

}  // namespace morvale

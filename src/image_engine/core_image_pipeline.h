#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "image_engine/image_properties.h"
#include "image_engine/pipeline_image.h"

namespace morvale {

// The shared image loader, scaler and writer, used by the texture preset. Immutable after creation;
// every operation may run from many threads at once.
class CoreImagePipeline {
public:
    // The one instance of the process, created on first use.
    static const CoreImagePipeline& shared();

    // The file's image 0 with its orientation applied and its metadata attached; nothing when the
    // file cannot be read, decoded, or is larger than the loader's limits.
    // Both stop with OperationCancelled when `stop` is asked.
    std::optional<PipelineImage> loadImage(const std::filesystem::path& file, std::stop_token stop = {}) const;
    // The same, throwing the loader's ImageLoadError with its reason instead of giving nothing.
    PipelineImage load(const std::filesystem::path& file, std::stop_token stop = {}) const;
    // A photo for the photo tools: as load(), and converted from its embedded ICC profile to sRGB
    // (see ImageLoader::loadPhoto). Textures keep their stored values and never come here.
    PipelineImage loadPhoto(const std::filesystem::path& file, std::stop_token stop = {}) const;

    // The image scaled down (Lanczos-3) so that its longer side equals maxDimension, the other
    // side rounded half away from zero (at least 1); unchanged when it already fits.
    // Throws std::invalid_argument for a limit that is not a number or below 1.
    PipelineImage scaledToFit(const PipelineImage& image, double maxDimension) const;

    // JPEG bytes at quality 0 ... 1, with the given metadata (or the image's own) made upright and
    // an sRGB profile; nothing when encoding fails.
    std::optional<std::vector<std::uint8_t>> jpegData(
        const PipelineImage& image, double quality,
        const std::optional<ImageProperties>& properties = std::nullopt) const;

    // Writes the image in the format of the destination's lower-case extension: "png"; "heic" or
    // "heif" (with the quality); "tif" or "tiff"; "jpg" or "jpeg" (with the quality). Any other
    // extension throws std::invalid_argument. The metadata (given, or the image's own) is written
    // upright; JPEG, TIFF and HEIF files carry an sRGB profile, PNG files an sRGB chunk. Parent folders are created (std::filesystem::filesystem_error on failure); the file
    // is written beside the destination under a temporary name and renamed into place; an encoder
    // failure throws std::runtime_error. A stop requested on `stop` ends a PNG encode within a
    // piece, and any format before and after encoding, with OperationCancelled and no file.
    void write(const PipelineImage& image, const std::filesystem::path& destination, double quality,
               const std::optional<ImageProperties>& properties = std::nullopt, std::stop_token stop = {}) const;

    static ImageProperties uprightProperties(const ImageProperties& properties);

    CoreImagePipeline(const CoreImagePipeline&) = delete;
    CoreImagePipeline& operator=(const CoreImagePipeline&) = delete;

private:
    CoreImagePipeline();
};

}  // namespace morvale

#pragma once

#include "recording_preset.h"

// Listing photos for the tests and the sample run: generated pixels written as JPEG, tagged by
// exiftool; and a run of the listing preset through the batch queue, recorded as a user sees it.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "batch_presets/varnholt_preset.h"
#include "image_engine/core_image_pipeline.h"
#include "texture_test_support.h"

namespace morvale::test {

inline std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
inline std::string shellQuote(const std::filesystem::path& path) { return shellQuote(path.string()); }

inline int run(const std::string& command) { return std::system(command.c_str()); }

// What the command prints on standard output.
inline std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

inline PipelineImage picture(int width, int height, const std::function<Rgba(int, int)>& pixel) {
    return PipelineImage{makeTexture(width, height, pixel), {}};
}

// Smooth colour ramps: compresses well, so any cap of a few KB per megapixel is reachable.
inline Rgba ramp(int x, int y) {
    return Rgba{static_cast<std::uint8_t>(x % 256), static_cast<std::uint8_t>(y % 256),
                static_cast<std::uint8_t>((x + y) / 8 % 256), 255};
}

// Noise that no JPEG quality compresses much.
inline Rgba noise(int x, int y) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return Rgba{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h >> 16),
                255};
}

// Light bars on a dark wall, every bar leaning by `leanDegrees`: an interior shot with a roll.
inline std::function<Rgba(int, int)> leaningWall(int width, int height, double leanDegrees) {
    const double slope = std::tan(leanDegrees * 3.14159265358979323846 / 180.0);
    return [=](int x, int y) {
        const double yc = y + 0.5 - 0.5 * height;
        int inside = 0;
        for (int bar = 1; bar < 8; ++bar) {
            const double centre = width * (bar / 8.0 + 0.013 * (bar % 3)) + slope * yc;
            inside += std::abs(x + 0.5 - centre) < 0.006 * width ? 1 : 0;
        }
        const auto v = static_cast<std::uint8_t>(inside > 0 ? 225 : 45);
        return Rgba{v, v, static_cast<std::uint8_t>(v - 5), 255};
    };
}

inline std::filesystem::path writeJpeg(const std::filesystem::path& file, const PipelineImage& image,
                                       double quality = 0.9) {
    CoreImagePipeline::shared().write(image, file, quality);
    return file;
}

// Tags the files in one exiftool call, each with its own tags (exiftool's own syntax).
inline bool tag(const std::vector<std::pair<std::filesystem::path, std::string>>& files) {
    std::string command = "exiftool -q -q";
    for (const auto& [file, tags] : files) command += " " + tags + " " + shellQuote(file) + " -execute";
    command += " -common_args -overwrite_original >/dev/null";
    return run(command) == 0;
}

// Camera, capture time, a sideways orientation and the seller's location, in EXIF and XMP.
inline const std::string cameraTags =
    "-Make=Kadrel -Model='Halden K7' '-DateTimeOriginal=2024:05:06 07:08:09' -Orientation#=6 "
    "-GPSLatitude=48.8584 -GPSLatitudeRef=N -GPSLongitude=2.2945 -GPSLongitudeRef=E "
    "'-XMP-exif:GPSLatitude=48.8584 N' '-XMP-exif:GPSLongitude=2.2945 E'";

// A photo that shows width x height once turned upright: stored sideways, tagged with the camera
// tags above and an IFD1 thumbnail of itself.
inline std::filesystem::path taggedPhoto(const std::filesystem::path& file, int width, int height,
                                         const std::function<Rgba(int, int)>& pixel = ramp, double quality = 0.9) {
    // Orientation 6 shows the stored picture turned a quarter clockwise.
    writeJpeg(file, picture(height, width, [&](int sx, int sy) { return pixel(width - 1 - sy, sx); }), quality);
    const std::filesystem::path thumb = file.string() + ".thumb.jpg";
    writeJpeg(thumb, picture(160, 120, ramp));
    const bool tagged = tag({{file, cameraTags + " " + shellQuote("-ThumbnailImage<=" + thumb.string())}});
    std::filesystem::remove(thumb);
    return tagged ? file : std::filesystem::path();
}

inline std::string exiftool(const std::string& arguments, const std::filesystem::path& file) {
    return capture("exiftool " + arguments + " " + shellQuote(file) + " 2>/dev/null");
}

// The listing preset of the registry's defaults: 1042_Maple_Lane, straighten, strip, both sets.
inline VarnholtPreset listingPreset() {
    return VarnholtPreset("1042_Maple_Lane", true, true, true, true, 2048, 2000, std::nullopt, 0.85);
}

using RecordingListingPreset = RecordingPreset<VarnholtPreset>;

inline RunResult runListingJob(const VarnholtPreset& preset, const std::vector<std::filesystem::path>& files,
                               const std::filesystem::path& outputFolder, const std::string& pattern = "",
                               std::int64_t concurrency = 3) {
    RecordingListingPreset recording(preset);
    std::vector<BatchItem> items;
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);
    BatchConfiguration configuration(outputFolder, true, pattern.empty() ? preset.defaultNamingPattern() : pattern,
                                     false, concurrency, false, true);
    ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), items, configuration);

    BatchQueueManager queue;
    RunResult result;
    std::mutex mutex;
    std::map<Uuid, std::vector<std::string>> outputs;
    queue.addLogListener([&](const std::string& line) {
        std::lock_guard lock(mutex);
        const auto close = line.find("] ");
        result.log.push_back(close == std::string::npos ? line : line.substr(close + 2));
    });
    queue.addOutputListener([&](const Uuid& id, const std::vector<std::filesystem::path>& written) {
        std::lock_guard lock(mutex);
        for (const auto& file : written) {
            outputs[id].push_back(file.lexically_relative(outputFolder).generic_string());
        }
    });
    result.report = queue.submitAndStart(job, recording);

    const auto finished = queue.activeJob(job.id);
    for (const auto& item : items) {
        ItemOutcome outcome;
        outcome.source = item.sourceURL;
        if (finished) {
            for (const auto& done : finished->items) {
                if (done.id != item.id) continue;
                outcome.status = done.status;
                outcome.progress = done.progress;
                outcome.message = done.errorMessage.value_or("");
            }
        }
        outcome.outputs = outputs[item.id];
        outcome.reports = recording.progressOf(item.id);
        result.items.push_back(std::move(outcome));
    }
    return result;
}

// Every file below the folder, relative to it, sorted.
inline std::vector<std::string> filesBelow(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file()) names.push_back(it->path().lexically_relative(folder).generic_string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace morvale::test

#pragma once

#include "recording_preset.h"

// Runs texture items through the batch queue and keeps what a user would see of the run: each
// item's final status, message, outputs and progress reports, and the log.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/batch_preset.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_core/uuid.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/texture_processor.h"
#include "image_engine/image_loader.h"
#include "image_engine/packed_texture.h"

namespace morvale::test {

// Fills a texture from a function of (x, y) giving R, G, B, A.
struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
};

inline PackedTexture makeTexture(int width, int height, const std::function<Rgba(int, int)>& pixel) {
    PackedTexture texture{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width * height) * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba p = pixel(x, y);
            const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                   static_cast<std::size_t>(x)) * 4;
            texture.rgba[i] = p.r;
            texture.rgba[i + 1] = p.g;
            texture.rgba[i + 2] = p.b;
            texture.rgba[i + 3] = p.a;
        }
    }
    return texture;
}

inline std::filesystem::path writeGrey(const std::filesystem::path& file, int width, int height,
                                       std::uint8_t value) {
    PackedTexture::writePNG(makeTexture(width, height, [&](int, int) { return Rgba{value, value, value, 255}; }),
                            file);
    return file;
}

inline Rgba pixelAt(const PackedTexture& texture, int x, int y) {
    const std::size_t i =
        (static_cast<std::size_t>(y) * static_cast<std::size_t>(texture.width) + static_cast<std::size_t>(x)) * 4;
    return {texture.rgba[i], texture.rgba[i + 1], texture.rgba[i + 2], texture.rgba[i + 3]};
}

using RecordingTexturePreset = RecordingPreset<MorvalePreset>;

struct ItemOutcome {
    std::filesystem::path source;
    ProcessingStatus status = ProcessingStatus::pending;
    double progress = 0;
    std::string message;
    std::vector<std::string> outputs;  // file names, as returned
    std::vector<std::pair<double, std::string>> reports;
};

struct RunResult {
    ExecutionReport report;
    std::vector<ItemOutcome> items;  // in queue order
    std::vector<std::string> log;    // messages without the time stamp

    const ItemOutcome& item(const std::string& fileName) const {
        for (const auto& outcome : items) {
            if (outcome.source.filename() == fileName) return outcome;
        }
        throw std::out_of_range("no item " + fileName);
    }
    bool logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
    std::string logText() const {
        std::string text;
        for (const auto& line : log) text += line + "\n";
        return text;
    }
};

inline RunResult runTextureJob(const MorvalePreset& preset, const std::vector<std::filesystem::path>& files,
                               const std::filesystem::path& outputFolder, const std::string& pattern,
                               std::int64_t concurrency = 4) {
    RecordingTexturePreset recording(preset);
    std::vector<BatchItem> items;
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);
    BatchConfiguration configuration(outputFolder, true, pattern, false, concurrency, false, true);
    ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), items, configuration);

    BatchQueueManager queue;
    RunResult result;
    std::mutex mutex;
    std::map<Uuid, std::vector<std::string>> outputs;
    queue.addLogListener([&](const std::string& line) {
        std::lock_guard lock(mutex);
        // "[HH:MM:SS] message"
        const auto close = line.find("] ");
        result.log.push_back(close == std::string::npos ? line : line.substr(close + 2));
    });
    queue.addOutputListener([&](const Uuid& id, const std::vector<std::filesystem::path>& written) {
        std::lock_guard lock(mutex);
        for (const auto& file : written) outputs[id].push_back(file.filename().string());
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

inline MorvalePreset texturePreset(MorvalePreset::OperationalMode mode) {
    return MorvalePreset(mode, ChannelPacker::EngineProfile::unrealORM, true,
                         PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
}

inline std::vector<std::string> fileNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace morvale::test

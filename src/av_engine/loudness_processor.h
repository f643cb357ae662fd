#pragma once

#include "av_engine/cleanup_options.h"
#include "av_engine/loudness_normalizer.h"
#include "base/callbacks.h"

#include <filesystem>
#include <stop_token>
#include <utility>

namespace morvale {

// How the podcast export cleans an episode (and its music) and matches its loudness: the pipeline's
// LoudnessNormalizer unless it is given another. The export logs its summary and clean-up lines from
// the returned result alone, so a given result pins those lines down. Thread-safe: one serves every
// export of a pipeline at once.
class LoudnessProcessor {
public:
    virtual ~LoudnessProcessor() = default;

    // Writes the processed 24-bit WAV at `destination` and describes what was done, as
    // LoudnessNormalizer::process does.
    virtual LoudnessNormalizer::Result process(const std::filesystem::path& source,
                                               const std::filesystem::path& destination,
                                               const LoudnessNormalizer::LoudnessTarget& target,
                                               const CleanupOptions& cleanup, const LogSink& log,
                                               std::stop_token stop) const = 0;

    // The same, telling `listener` about the render while it is written so an encode can follow it. A
    // processor that renders otherwise need not: the export then encodes from the finished file.
    virtual LoudnessNormalizer::Result processFollowed(const std::filesystem::path& source,
                                                       const std::filesystem::path& destination,
                                                       const LoudnessNormalizer::LoudnessTarget& target,
                                                       const CleanupOptions& cleanup, const LogSink& log,
                                                       std::stop_token stop,
                                                       LoudnessNormalizer::RenderListener& /*listener*/) const {
        return process(source, destination, target, cleanup, log, std::move(stop));
    }
};

}  // namespace morvale

#pragma once

#include "batch_core/preset_bundle.h"

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace morvale {

// Writes preset bundles to JSON files and reads them back.
//
// The file is one pretty-printed JSON object with the keys "version", "presetID", "presetName",
// "verticalName", "defaultNamingPattern", "configuration" (an object of texts) and "exportedAt"
// (seconds since 2001-01-01 00:00:00 UTC, as a number).
class PresetStore {
public:
    // A bundle file that is too large, not JSON, or not shaped like a bundle.
    class DecodeError : public std::runtime_error {
    public:
        explicit DecodeError(const std::string& message) : std::runtime_error(message) {}
    };

    // Bundles are a few kilobytes; anything far larger is not one and is refused before reading.
    static constexpr std::uintmax_t maxFileBytes = 4u << 20;

    static PresetStore& shared();

    // Writes to a temporary file beside `file` and renames it into place, so an existing bundle is
    // either replaced whole or left as it was; the folder must exist. Throws AtomicWriteError (a
    // std::filesystem::filesystem_error).
    void exportBundle(const ExportablePresetBundle& bundle, const std::filesystem::path& file) const;

    // Throws std::filesystem::filesystem_error when the file cannot be read, DecodeError when its
    // contents are not a bundle.
    ExportablePresetBundle importPreset(const std::filesystem::path& file) const;

    // The JSON text of a bundle, and its reading.
    static std::string encode(const ExportablePresetBundle& bundle);
    static ExportablePresetBundle decode(const std::string& text);
};

}  // namespace morvale

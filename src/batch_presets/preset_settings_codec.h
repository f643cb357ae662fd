#pragma once

#include "batch_core/batch_preset.h"
#include "batch_core/preset_bundle.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/skeldon_preset.h"
#include "batch_presets/varnholt_preset.h"
#include "batch_presets/vertical.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// Turns a preset into a flat map of texts and back. The same map shape is stored in the user's
// settings, in preset bundles and in a batch configuration's custom settings.
class PresetSettingsCodec {
public:
    PresetSettingsCodec() = delete;

    using Settings = std::map<std::string, std::string>;

    // The naming pattern may ride in the same map under this key; encode() never writes it and
    // reading skips it.
    static constexpr std::string_view namingPatternKey = "namingPattern";

    struct Option {
        std::string_view key;
        std::string_view help;
    };

    class CodecError : public std::runtime_error {
    public:
        enum class Kind { unknownKey, invalidValue };

        // "Unknown option '<key>'. Options: <allowed, joined with ", ">"
        static CodecError unknownKey(const std::string& key, std::vector<std::string> allowed);
        // "Invalid value '<value>' for '<key>' (expected <expected>)"; value as it stood in the map.
        static CodecError invalidValue(const std::string& key, const std::string& value, const std::string& expected);

        Kind kind() const { return kind_; }
        const std::string& key() const { return key_; }
        const std::string& value() const { return value_; }
        const std::string& expected() const { return expected_; }
        const std::vector<std::string>& allowed() const { return allowed_; }

        friend bool operator==(const CodecError& a, const CodecError& b) {
            return a.kind_ == b.kind_ && a.key_ == b.key_ && a.value_ == b.value_ && a.expected_ == b.expected_ &&
                   a.allowed_ == b.allowed_;
        }

    private:
        CodecError(Kind kind, const std::string& message, std::string key, std::string value, std::string expected,
                   std::vector<std::string> allowed);
        Kind kind_;
        std::string key_;
        std::string value_;
        std::string expected_;
        std::vector<std::string> allowed_;
    };

    // The vertical's keys with their help texts, in their fixed order.
    static const std::vector<Option>& options(Vertical vertical);

    // Every option key of the preset's vertical with its canonical value; empty for other presets.
    static Settings encode(const BatchPreset& preset);

    // Strict: the first bad entry throws CodecError (entries visited before it stay written).
    // Lenient: bad entries are skipped and the call never throws. Entries are visited in a fixed
    // order: "portal" (listing) or "standard" (podcast) first, then by key in code-point order.
    static void apply(const Settings& values, VarnholtPreset& preset, bool strict);
    static void apply(const Settings& values, MorvalePreset& preset, bool strict);
    static void apply(const Settings& values, SkeldonPreset& preset, bool strict);

    // The vertical's default preset with `values` applied.
    static std::unique_ptr<BatchPreset> makePreset(Vertical vertical, const Settings& values, bool strict);

    // A portable record of the preset's settings with the naming pattern added under namingPatternKey.
    static ExportablePresetBundle bundle(const std::string& name, const BatchPreset& preset,
                                         const std::string& namingPattern);

    // The canonical text of a double: shortest round-trip form, ".0" on whole values.
    static std::string doubleText(double value);
};

}  // namespace morvale

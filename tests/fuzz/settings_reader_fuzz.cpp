// libFuzzer target: the settings reader of all three verticals, strict and lenient.
//
// Whatever the map holds, a lenient read never throws, a strict read throws nothing but a codec
// error, and what a lenient read produced is written back as a map that reads strictly without
// error and writes back the same map.
#include "av_engine/chapter_builder.h"
#include "batch_presets/preset_settings_codec.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using morvale::PresetSettingsCodec;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto vertical = morvale::allVerticals()[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
    const auto& options = PresetSettingsCodec::options(vertical);

    PresetSettingsCodec::Settings values;
    const auto entries = in.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < entries && in.remaining_bytes() > 0; ++i) {
        std::string key;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: key = in.ConsumeRandomLengthString(24); break;
        case 1: key = std::string(PresetSettingsCodec::namingPatternKey); break;
        default: key = std::string(options[in.ConsumeIntegralInRange<std::size_t>(0, options.size() - 1)].key);
        }
        values[key] = in.ConsumeRandomLengthString(64);
    }

    const auto lenient = PresetSettingsCodec::makePreset(vertical, values, false);
    try {
        (void)PresetSettingsCodec::makePreset(vertical, values, true);
    } catch (const PresetSettingsCodec::CodecError&) {
    }

    const auto written = PresetSettingsCodec::encode(*lenient);
    if (written.size() != options.size()) std::abort();
    std::unique_ptr<morvale::BatchPreset> again;
    try {
        again = PresetSettingsCodec::makePreset(vertical, written, true);
    } catch (const PresetSettingsCodec::CodecError&) {
        std::abort();
    }
    // A clip start under a second is written as "00:00", which reads back as the episode start;
    // clip starts beyond 2^53 seconds come back only to the precision of a double.
    auto expected = written;
    auto rewritten = PresetSettingsCodec::encode(*again);
    if (auto clip = expected.find("clip"); clip != expected.end()) {
        if (clip->second == "00:00") clip->second = "start";
        const auto a = morvale::ChapterBuilder::seconds(clip->second);
        const auto b = morvale::ChapterBuilder::seconds(rewritten.at("clip"));
        if (a && b && std::fabs(*a - *b) <= 1e-9 * std::fabs(*a)) clip->second = rewritten.at("clip");
    }
    if (rewritten != expected) std::abort();
    return 0;
}

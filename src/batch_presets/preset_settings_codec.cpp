#include "batch_presets/preset_settings_codec.h"

#include "av_engine/chapter_builder.h"
#include "base/ascii.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <limits>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace morvale {
namespace {

using Settings = PresetSettingsCodec::Settings;
using CodecError = PresetSettingsCodec::CodecError;
using Option = PresetSettingsCodec::Option;

const std::vector<Option>& varnholtOptions() {
    static const std::vector<Option> table{
        {"address", "Property address used by the {address} token"},
        {"straighten", "Auto-straighten verticals (true/false)"},
        {"stripGPS", "Remove GPS and private metadata (true/false)"},
        {"web", "Export the MLS web set (true/false)"},
        {"print", "Export the full-resolution print set (true/false)"},
        {"portal", "Web set for: mls | zillow | airbnb | custom (sets size, shape and file-size cap)"},
        {"aspect", "Web image shape: original | 4:3 | 3:2 | 16:9"},
        {"brackets", "Merge exposure brackets into one photo (true/false)"},
        {"webMaxPixels", "Longest side of web images, e.g. 2048"},
        {"webMaxKB", "File-size cap for web images in KB, e.g. 2000"},
        {"watermark", "Path to a PNG/JPEG logo (empty for none)"},
        {"watermarkOpacity", "Watermark opacity 0.1-1.0"},
    };
    return table;
}

const std::vector<Option>& morvaleOptions() {
    static const std::vector<Option> table{
        {"mode", "channel | normal | height | pot | sprite | tiling"},
        {"profile", "Channel layout: unreal | gltf | hdrp | urp"},
        {"normal", "Normal map target: gl (OpenGL: Unity, Blender, Godot) | dx (DirectX: Unreal)"},
        {"pot", "Enforce power-of-two sizes (true/false)"},
        {"potMode", "nearest | up | down | a fixed size like 2048"},
        {"square", "Force square textures (true/false)"},
        {"maxSize", "Longest side limit in pixels, 0 for none (e.g. 2048 for mobile)"},
        {"mipmaps", "Export a mipmap chain (true/false)"},
        {"trim", "Sprite sheets: trim transparent edges (true/false)"},
        {"padding", "Sprite sheets: pixels between frames, 0-16"},
        {"extrude", "Sprite sheets: repeat edge pixels to stop bleeding, 0-8"},
        {"halfScale", "Sprite sheets: also write an @1x half-size sheet (true/false)"},
        {"format", "Sprite sheets: data file json | json-array | cocos | godot | unity"},
        {"rotate", "Sprite sheets: rotate frames to pack tighter (json and cocos formats; true/false)"},
        {"strength", "Normal from height: relief strength 0.5-10"},
        {"makeNormal", "Channel packing: make a normal map from the height map when none exists (true/false)"},
    };
    return table;
}

const std::vector<Option>& skeldonOptions() {
    static const std::vector<Option> table{
        {"show", "Podcast / show title"},
        {"host", "Host or artist name"},
        {"episode", "Episode number of the first file"},
        {"standard", "Loudness standard: apple | spotify | youtube | ebu | atsc | acx | custom"},
        {"lufs", "Custom target loudness, e.g. -19 for mono spoken word"},
        {"rumble", "Clean-up: 80 Hz rumble filter (true/false)"},
        {"hum", "Clean-up: hum removal off | auto | 50 | 60"},
        {"gate", "Clean-up: noise gate between phrases (true/false)"},
        {"leveler", "Clean-up: even out loud and quiet speakers (true/false)"},
        {"trimSilence", "Clean-up: cut dead air at the start and end (true/false)"},
        {"maxPause", "Clean-up: shorten pauses longer than this many seconds, 0 for off"},
        {"intro", "Path to intro music (empty for none)"},
        {"outro", "Path to outro music (empty for none)"},
        {"master", "Export the 24-bit WAV master (true/false)"},
        {"rss", "Export the RSS file (true/false)"},
        {"whisper", "Export the 16 kHz Whisper reference (true/false)"},
        {"transcript", "On-device transcript as .srt, .vtt and .txt (true/false, macOS 26)"},
        {"audiogram", "Export the audiogram video (true/false)"},
        {"captions", "Burn captions into the audiogram (true/false, macOS 26)"},
        {"aspect", "Audiogram shape: square | vertical | wide"},
        {"clip", "Audiogram clip: auto (liveliest part) | start | a start time like 12:30"},
        {"clipLength", "Audiogram length in seconds, 10-120"},
        {"fillers", "Cut um, uh and stuttered words (true/false, macOS 26)"},
        {"chapters", "Chapter markers: off | auto | manual"},
        {"chapterList", "Chapters for manual mode, e.g. \"0:00 Intro; 5:30 Interview\""},
        {"artwork", "Path to cover art (empty for none)"},
    };
    return table;
}

std::vector<std::string> keysOf(Vertical vertical) {
    std::vector<std::string> keys;
    for (const auto& o : PresetSettingsCodec::options(vertical)) keys.emplace_back(o.key);
    return keys;
}

// ---- canonical texts -------------------------------------------------------------------------

std::string boolText(bool b) { return b ? "true" : "false"; }

std::string intText(std::int64_t v) { return std::to_string(v); }

// Whole pixels of a graphics size, the fraction dropped. Values no integer can hold are written as
// the nearest end of the range (NaN as 0); the reader refuses them all, so nothing bogus comes back.
std::string wholeText(double v) {
    if (std::isnan(v)) return "0";
    if (v >= 9.2e18) return intText(std::numeric_limits<std::int64_t>::max());
    if (v <= -9.2e18) return intText(std::numeric_limits<std::int64_t>::min());
    return intText(static_cast<std::int64_t>(std::trunc(v)));
}

std::string pathText(const std::optional<std::filesystem::path>& p) { return p ? p->string() : std::string(); }

// ---- value readers ---------------------------------------------------------------------------

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// ASCII only: no listed word has a letter outside it, and the process locale must not matter.
using ascii::lowered;

[[noreturn]] void invalid(const std::string& key, const std::string& value, const std::string& expected) {
    throw CodecError::invalidValue(key, value, expected);
}

bool readBool(const std::string& key, const std::string& value) {
    const std::string v = lowered(trimBlanks(value));
    if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
    if (v == "false" || v == "no" || v == "off" || v == "0") return false;
    invalid(key, value, "true or false");
}

// A decimal integer with an optional sign and nothing else; nothing when it is not one or does not
// fit 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view t) {
    if (!t.empty() && t.front() == '+') {
        t.remove_prefix(1);
        if (t.empty() || t.front() == '-') return std::nullopt;
    }
    std::int64_t v = 0;
    const char* end = t.data() + t.size();
    auto [ptr, ec] = std::from_chars(t.data(), end, v, 10);
    if (t.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return v;
}

std::int64_t readInt(const std::string& key, const std::string& value, std::int64_t low, std::int64_t high) {
    auto v = parseInteger(trimBlanks(value));
    if (!v || *v < low || *v > high)
        invalid(key, value, "a whole number " + std::to_string(low) + "-" + std::to_string(high));
    return *v;
}

// Refuses what is not a finite number: "inf", "nan" and overflowing forms such as "1e400".
double readDouble(const std::string& key, const std::string& value, double low, double high) {
    std::string_view t = trimBlanks(value);
    bool ok = !t.empty();
    if (ok && t.front() == '+') {
        t.remove_prefix(1);
        ok = !t.empty() && t.front() != '-' && t.front() != '+';
    }
    double v = 0;
    if (ok) {
        const char* end = t.data() + t.size();
        auto [ptr, ec] = std::from_chars(t.data(), end, v, std::chars_format::general);
        ok = ec == std::errc() && ptr == end && std::isfinite(v) && v >= low && v <= high;
    }
    if (!ok)
        invalid(key, value,
                "a number " + PresetSettingsCodec::doubleText(low) + " to " + PresetSettingsCodec::doubleText(high));
    return v;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// "~" and "~/…" stand for the user's home folder, "~name/…" for that user's; an unknown user or
// an unknown home leaves the text as it is.
std::string expandTilde(const std::string& path) {
    if (path.empty() || path.front() != '~') return path;
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home;
    if (user.empty()) {
        home = homeFolder();
    } else {
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) return path;
    const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (home.size() > 1 && home.back() == '/' && !rest.empty()) home.pop_back();
    return home + rest;
}

std::optional<std::filesystem::path> readFileURL(const std::string& value) {
    const std::string t(trimBlanks(value));
    if (t.empty()) return std::nullopt;
    return std::filesystem::path(expandTilde(t));
}

template <typename T>
T readWord(const std::string& key, const std::string& value, std::initializer_list<std::pair<std::string_view, T>> words,
           const std::string& expected) {
    const std::string v = lowered(value);
    for (const auto& [word, result] : words) {
        if (v == word) return result;
    }
    invalid(key, value, expected);
}

std::optional<MorvalePreset::OperationalMode> modeNamed(const std::string& value) {
    using M = MorvalePreset::OperationalMode;
    static const std::vector<std::pair<std::string_view, M>> names{
        {"channel", M::channelPackingORM}, {"orm", M::channelPackingORM},
        {"pack", M::channelPackingORM},    {"channelpacking", M::channelPackingORM},
        {"normal", M::normalMapConvert},   {"normals", M::normalMapConvert},
        {"normalmap", M::normalMapConvert}, {"height", M::normalFromHeight},
        {"bump", M::normalFromHeight},     {"normalfromheight", M::normalFromHeight},
        {"heighttonormal", M::normalFromHeight}, {"pot", M::powerOfTwoEnforce},
        {"poweroftwo", M::powerOfTwoEnforce}, {"resize", M::powerOfTwoEnforce},
        {"sprite", M::spriteSheetAtlas},   {"spritesheet", M::spriteSheetAtlas},
        {"atlas", M::spriteSheetAtlas},    {"tiling", M::tilingCheck},
        {"tile", M::tilingCheck},          {"seamless", M::tilingCheck},
        {"seam", M::tilingCheck},
    };
    const std::string v = lowered(value);
    for (const auto& [name, mode] : names) {
        if (v == name) return mode;
    }
    return MorvalePreset::operationalModeFromRaw(value);
}

std::optional<PowerOfTwoScaler::ScaleMode> scaleModeNamed(const std::string& value) {
    using S = PowerOfTwoScaler::ScaleMode;
    const std::string v = lowered(value);
    if (v == "nearest") return S::nearestPowerOfTwo();
    if (v == "up" || v == "roundup") return S::roundUpPowerOfTwo();
    if (v == "down" || v == "rounddown") return S::roundDownPowerOfTwo();
    auto n = parseInteger(v);
    if (n && *n >= 1 && *n <= 16384 && (*n & (*n - 1)) == 0) return S::fixedTarget(static_cast<int>(*n));
    return std::nullopt;
}

std::optional<AudioVideoPipeline::ClipChoice> clipNamed(const std::string& value) {
    using C = AudioVideoPipeline::ClipChoice;
    const std::string_view trimmed = trimBlanks(value);
    const std::string v = lowered(trimmed);
    if (v == "start" || v == "0" || v == "0:00" || v == "00:00") return C::start();
    if (v == "auto" || v == "best" || v == "liveliest") return C::automatic();
    if (auto s = ChapterBuilder::seconds(trimmed)) return C::at(*s);
    return std::nullopt;
}

std::string clipText(const AudioVideoPipeline::ClipChoice& clip) {
    switch (clip.kind()) {
    case AudioVideoPipeline::ClipChoice::Kind::automatic: return "auto";
    case AudioVideoPipeline::ClipChoice::Kind::start: return "start";
    case AudioVideoPipeline::ClipChoice::Kind::at: return ChapterBuilder::clock(clip.seconds(), false);
    }
    return "auto";
}

std::string scaleModeText(const PowerOfTwoScaler::ScaleMode& mode) {
    using K = PowerOfTwoScaler::ScaleMode::Kind;
    switch (mode.kind()) {
    case K::nearestPowerOfTwo: return "nearest";
    case K::roundUpPowerOfTwo: return "up";
    case K::roundDownPowerOfTwo: return "down";
    case K::fixedTarget: return std::to_string(mode.target());
    }
    return "nearest";
}

std::string_view modeKey(MorvalePreset::OperationalMode mode) {
    using M = MorvalePreset::OperationalMode;
    switch (mode) {
    case M::channelPackingORM: return "channel";
    case M::normalMapConvert: return "normal";
    case M::normalFromHeight: return "height";
    case M::powerOfTwoEnforce: return "pot";
    case M::spriteSheetAtlas: return "sprite";
    case M::tilingCheck: return "tiling";
    }
    return "channel";
}

std::string_view profileKey(ChannelPacker::EngineProfile p) {
    using P = ChannelPacker::EngineProfile;
    switch (p) {
    case P::unrealORM: return "unreal";
    case P::gltfORM: return "gltf";
    case P::unityHDRPMaskMap: return "hdrp";
    case P::unityMetallicSmoothness: return "urp";
    }
    return "unreal";
}

std::string_view formatKey(SpriteSheetCompiler::DataFormat f) {
    using F = SpriteSheetCompiler::DataFormat;
    switch (f) {
    case F::jsonHash: return "json";
    case F::jsonArray: return "json-array";
    case F::cocos: return "cocos";
    case F::godot: return "godot";
    case F::unity: return "unity";
    }
    return "json";
}

std::string_view humKey(CleanupOptions::HumMode h) {
    using H = CleanupOptions::HumMode;
    switch (h) {
    case H::off: return "off";
    case H::autoDetect: return "auto";
    case H::hz50: return "50";
    case H::hz60: return "60";
    }
    return "off";
}

// Visits every entry once in a fixed order (`first` key, if present, then the rest in code-point
// order, which is the map's own order), handing bad entries to strict or lenient handling.
void visit(const Settings& values, std::string_view first, bool strict,
           const std::function<void(const std::string&, const std::string&)>& handle) {
    auto run = [&](const std::string& key, const std::string& value) {
        try {
            handle(key, value);
        } catch (const CodecError&) {
            if (strict) throw;
        }
    };
    auto lead = first.empty() ? values.end() : values.find(std::string(first));
    if (lead != values.end()) run(lead->first, lead->second);
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it != lead) run(it->first, it->second);
    }
}

}  // namespace

// ---- errors ----------------------------------------------------------------------------------

PresetSettingsCodec::CodecError::CodecError(Kind kind, const std::string& message, std::string key,
                                            std::string value, std::string expected, std::vector<std::string> allowed)
    : std::runtime_error(message),
      kind_(kind),
      key_(std::move(key)),
      value_(std::move(value)),
      expected_(std::move(expected)),
      allowed_(std::move(allowed)) {}

PresetSettingsCodec::CodecError PresetSettingsCodec::CodecError::unknownKey(const std::string& key,
                                                                            std::vector<std::string> allowed) {
    std::string message = "Unknown option '" + key + "'. Options: ";
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        if (i) message += ", ";
        message += allowed[i];
    }
    return CodecError(Kind::unknownKey, message, key, {}, {}, std::move(allowed));
}

PresetSettingsCodec::CodecError PresetSettingsCodec::CodecError::invalidValue(const std::string& key,
                                                                              const std::string& value,
                                                                              const std::string& expected) {
    return CodecError(Kind::invalidValue, "Invalid value '" + value + "' for '" + key + "' (expected " + expected + ")",
                      key, value, expected, {});
}

// ---- vocabulary and encoding -----------------------------------------------------------------

const std::vector<Option>& PresetSettingsCodec::options(Vertical vertical) {
    switch (vertical) {
    case Vertical::varnholt: return varnholtOptions();
    case Vertical::morvale: return morvaleOptions();
    case Vertical::skeldon: return skeldonOptions();
    }
    return morvaleOptions();
}

std::string PresetSettingsCodec::doubleText(double value) {
    char buf[64];
    auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) return "0.0";
    std::string text(buf, ptr);
    if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
    return text;
}

PresetSettingsCodec::Settings PresetSettingsCodec::encode(const BatchPreset& preset) {
    if (const auto* p = dynamic_cast<const VarnholtPreset*>(&preset)) {
        return {
            {"address", p->propertyAddress},
            {"straighten", boolText(p->autoStraightenVerticals)},
            {"stripGPS", boolText(p->stripGPSMetadata)},
            {"web", boolText(p->exportWebPackage)},
            {"print", boolText(p->exportPrintPackage)},
            {"portal", std::string(VarnholtPreset::rawValue(p->portal()))},
            {"aspect", std::string(VarnholtPreset::rawValue(p->webAspect))},
            {"brackets", boolText(p->mergeBrackets)},
            {"webMaxPixels", wholeText(p->maxWebDimension)},
            {"webMaxKB", intText(p->maxWebFileSizeKB)},
            {"watermark", pathText(p->watermarkURL)},
            {"watermarkOpacity", doubleText(p->watermarkOpacity)},
        };
    }
    if (const auto* p = dynamic_cast<const MorvalePreset*>(&preset)) {
        return {
            {"mode", std::string(modeKey(p->operationalMode))},
            {"profile", std::string(profileKey(p->engineProfile))},
            {"normal", p->normalTarget == ChannelPacker::NormalConvention::directX ? "dx" : "gl"},
            {"pot", boolText(p->enforcePOT)},
            {"potMode", scaleModeText(p->potScaleMode)},
            {"square", boolText(p->forceSquare)},
            {"maxSize", intText(p->maxTextureSize)},
            {"mipmaps", boolText(p->generateMipmaps)},
            {"trim", boolText(p->spriteTrim)},
            {"padding", intText(p->spritePadding)},
            {"extrude", intText(p->spriteExtrude)},
            {"halfScale", boolText(p->spriteHalfScale)},
            {"format", std::string(formatKey(p->spriteFormat))},
            {"rotate", boolText(p->spriteRotate)},
            {"strength", doubleText(p->normalStrength)},
            {"makeNormal", boolText(p->generateMissingNormal)},
        };
    }
    if (const auto* p = dynamic_cast<const SkeldonPreset*>(&preset)) {
        return {
            {"show", p->showTitle},
            {"host", p->hostName},
            {"episode", intText(p->episodeNumber)},
            {"standard", std::string(SkeldonPreset::rawValue(p->loudnessStandard()))},
            {"lufs", doubleText(p->targetLUFS)},
            {"rumble", boolText(p->cleanup.rumbleFilter)},
            {"hum", std::string(humKey(p->cleanup.humRemoval))},
            {"gate", boolText(p->cleanup.noiseGate)},
            {"leveler", boolText(p->cleanup.leveler)},
            {"trimSilence", boolText(p->cleanup.trimSilence)},
            {"maxPause", doubleText(p->cleanup.maxPauseSeconds)},
            {"intro", pathText(p->introURL)},
            {"outro", pathText(p->outroURL)},
            {"master", boolText(p->generateMaster)},
            {"rss", boolText(p->generateRSSMaster)},
            {"whisper", boolText(p->generateWhisperReference)},
            {"transcript", boolText(p->generateTranscripts)},
            {"audiogram", boolText(p->generateAudiogram)},
            {"captions", boolText(p->captionAudiogram)},
            {"aspect", std::string(AudiogramGenerator::key(p->audiogramAspect))},
            {"clip", clipText(p->audiogramClip)},
            {"clipLength", doubleText(p->audiogramSeconds)},
            {"fillers", boolText(p->removeFillerWords)},
            {"chapters", std::string(SkeldonPreset::rawValue(p->chapterMode))},
            {"chapterList", p->chapterList},
            {"artwork", pathText(p->artworkURL)},
        };
    }
    return {};
}

// ---- reading ---------------------------------------------------------------------------------

void PresetSettingsCodec::apply(const Settings& values, VarnholtPreset& preset, bool strict) {
    using P = VarnholtPreset::Portal;
    using A = VarnholtPreset::WebAspect;
    // Sizes or a shape without a portal describe the user's own web set.
    if (!values.contains("portal") &&
        (values.contains("webMaxPixels") || values.contains("webMaxKB") || values.contains("aspect")))
        preset.setPortal(P::custom);

    visit(values, "portal", strict, [&preset](const std::string& key, const std::string& value) {
        if (key == namingPatternKey) return;
        if (key == "address") {
            preset.propertyAddress = value;
        } else if (key == "straighten") {
            preset.autoStraightenVerticals = readBool(key, value);
        } else if (key == "stripGPS") {
            preset.stripGPSMetadata = readBool(key, value);
        } else if (key == "web") {
            preset.exportWebPackage = readBool(key, value);
        } else if (key == "print") {
            preset.exportPrintPackage = readBool(key, value);
        } else if (key == "brackets") {
            preset.mergeBrackets = readBool(key, value);
        } else if (key == "portal") {
            preset.setPortal(readWord<P>(key, value,
                                         {{"mls", P::mls}, {"zillow", P::zillow}, {"airbnb", P::airbnb},
                                          {"custom", P::custom}},
                                         "mls, zillow, airbnb or custom"));
        } else if (key == "aspect") {
            preset.webAspect = readWord<A>(
                key, value, {{"original", A::original}, {"4:3", A::fourThree}, {"3:2", A::threeTwo}, {"16:9", A::sixteenNine}},
                "original, 4:3, 3:2 or 16:9");
        } else if (key == "webMaxPixels") {
            preset.maxWebDimension = static_cast<double>(readInt(key, value, 256, 16384));
        } else if (key == "webMaxKB") {
            preset.maxWebFileSizeKB = readInt(key, value, 50, 100000);
        } else if (key == "watermark") {
            preset.watermarkURL = readFileURL(value);
        } else if (key == "watermarkOpacity") {
            preset.watermarkOpacity = readDouble(key, value, 0.05, 1.0);
        } else {
            throw CodecError::unknownKey(key, keysOf(Vertical::varnholt));
        }
    });
}

void PresetSettingsCodec::apply(const Settings& values, MorvalePreset& preset, bool strict) {
    using E = ChannelPacker::EngineProfile;
    using N = ChannelPacker::NormalConvention;
    using F = SpriteSheetCompiler::DataFormat;
    visit(values, {}, strict, [&preset](const std::string& key, const std::string& value) {
        if (key == namingPatternKey || key == "columns") return;
        if (key == "mode") {
            auto mode = modeNamed(value);
            if (!mode) invalid(key, value, "channel, normal, height, pot, sprite or tiling");
            preset.operationalMode = *mode;
        } else if (key == "profile") {
            preset.engineProfile = readWord<E>(key, value,
                                               {{"unreal", E::unrealORM}, {"gltf", E::gltfORM},
                                                {"hdrp", E::unityHDRPMaskMap}, {"urp", E::unityMetallicSmoothness}},
                                               "unreal, gltf, hdrp or urp");
        } else if (key == "normal") {
            preset.normalTarget = readWord<N>(key, value, {{"gl", N::openGL}, {"dx", N::directX}}, "gl or dx");
        } else if (key == "pot") {
            preset.enforcePOT = readBool(key, value);
        } else if (key == "square") {
            preset.forceSquare = readBool(key, value);
        } else if (key == "mipmaps") {
            preset.generateMipmaps = readBool(key, value);
        } else if (key == "trim") {
            preset.spriteTrim = readBool(key, value);
        } else if (key == "halfScale") {
            preset.spriteHalfScale = readBool(key, value);
        } else if (key == "rotate") {
            preset.spriteRotate = readBool(key, value);
        } else if (key == "makeNormal") {
            preset.generateMissingNormal = readBool(key, value);
        } else if (key == "potMode") {
            auto mode = scaleModeNamed(value);
            if (!mode) invalid(key, value, "nearest, up, down or a power of two");
            preset.potScaleMode = *mode;
        } else if (key == "maxSize") {
            preset.maxTextureSize = readInt(key, value, 0, 16384);
        } else if (key == "padding") {
            preset.spritePadding = readInt(key, value, 0, 16);
        } else if (key == "extrude") {
            preset.spriteExtrude = readInt(key, value, 0, 8);
        } else if (key == "format") {
            preset.spriteFormat = readWord<F>(key, value,
                                              {{"json", F::jsonHash}, {"json-array", F::jsonArray},
                                               {"cocos", F::cocos}, {"godot", F::godot}, {"unity", F::unity}},
                                              "json, json-array, cocos, godot or unity");
        } else if (key == "strength") {
            preset.normalStrength = readDouble(key, value, 0.5, 10);
        } else {
            throw CodecError::unknownKey(key, keysOf(Vertical::morvale));
        }
    });
}

void PresetSettingsCodec::apply(const Settings& values, SkeldonPreset& preset, bool strict) {
    using S = SkeldonPreset::LoudnessStandard;
    using H = CleanupOptions::HumMode;
    using M = SkeldonPreset::ChapterMode;
    const bool hasStandard = values.contains("standard");
    visit(values, "standard", strict, [&preset, hasStandard](const std::string& key, const std::string& value) {
        if (key == namingPatternKey) return;
        if (key == "show") {
            preset.showTitle = value;
        } else if (key == "host") {
            preset.hostName = value;
        } else if (key == "chapterList") {
            preset.chapterList = value;
        } else if (key == "episode") {
            preset.episodeNumber = readInt(key, value, 0, 99999);
        } else if (key == "standard") {
            preset.setLoudnessStandard(readWord<S>(key, value,
                                                   {{"apple", S::applePodcasts}, {"spotify", S::spotify},
                                                    {"youtube", S::youtube}, {"ebu", S::ebuR128}, {"atsc", S::atsc},
                                                    {"acx", S::acx}, {"custom", S::custom}},
                                                   "apple, spotify, youtube, ebu, atsc, acx, custom"));
        } else if (key == "lufs") {
            preset.targetLUFS = readDouble(key, value, -40, -5);
            // A loudness alone names its standard, snapping to that standard's exact value.
            if (!hasStandard) preset.setLoudnessStandard(SkeldonPreset::matching(preset.targetLUFS).value_or(S::custom));
        } else if (key == "rumble") {
            preset.cleanup.rumbleFilter = readBool(key, value);
        } else if (key == "gate") {
            preset.cleanup.noiseGate = readBool(key, value);
        } else if (key == "leveler") {
            preset.cleanup.leveler = readBool(key, value);
        } else if (key == "trimSilence") {
            preset.cleanup.trimSilence = readBool(key, value);
        } else if (key == "hum") {
            std::string v = lowered(value);
            for (std::size_t at = v.find("hz"); at != std::string::npos; at = v.find("hz")) v.erase(at, 2);
            if (v == "off") preset.cleanup.humRemoval = H::off;
            else if (v == "auto") preset.cleanup.humRemoval = H::autoDetect;
            else if (v == "50") preset.cleanup.humRemoval = H::hz50;
            else if (v == "60") preset.cleanup.humRemoval = H::hz60;
            else invalid(key, value, "off, auto, 50 or 60");
        } else if (key == "maxPause") {
            preset.cleanup.maxPauseSeconds = readDouble(key, value, 0, 30);
        } else if (key == "intro") {
            preset.introURL = readFileURL(value);
        } else if (key == "outro") {
            preset.outroURL = readFileURL(value);
        } else if (key == "artwork") {
            preset.artworkURL = readFileURL(value);
        } else if (key == "master") {
            preset.generateMaster = readBool(key, value);
        } else if (key == "rss") {
            preset.generateRSSMaster = readBool(key, value);
        } else if (key == "whisper") {
            preset.generateWhisperReference = readBool(key, value);
        } else if (key == "transcript") {
            preset.generateTranscripts = readBool(key, value);
        } else if (key == "audiogram") {
            preset.generateAudiogram = readBool(key, value);
        } else if (key == "captions") {
            preset.captionAudiogram = readBool(key, value);
        } else if (key == "fillers") {
            preset.removeFillerWords = readBool(key, value);
        } else if (key == "aspect") {
            auto aspect = AudiogramGenerator::aspectRatio(value);
            if (!aspect) invalid(key, value, "square, vertical or wide");
            preset.audiogramAspect = *aspect;
        } else if (key == "clip") {
            auto clip = clipNamed(value);
            if (!clip) invalid(key, value, "auto, start or a time like 12:30");
            preset.audiogramClip = *clip;
        } else if (key == "clipLength") {
            preset.audiogramSeconds = readDouble(key, value, 10, 120);
        } else if (key == "chapters") {
            preset.chapterMode = readWord<M>(
                key, value, {{"off", M::off}, {"auto", M::automatic}, {"manual", M::manual}}, "off, auto or manual");
        } else {
            throw CodecError::unknownKey(key, keysOf(Vertical::skeldon));
        }
    });
}

std::unique_ptr<BatchPreset> PresetSettingsCodec::makePreset(Vertical vertical, const Settings& values, bool strict) {
    switch (vertical) {
    case Vertical::varnholt: {
        auto preset = std::make_unique<VarnholtPreset>(defaultVarnholtPreset());
        apply(values, *preset, strict);
        return preset;
    }
    case Vertical::morvale: {
        auto preset = std::make_unique<MorvalePreset>(defaultMorvalePreset());
        apply(values, *preset, strict);
        return preset;
    }
    case Vertical::skeldon: {
        auto preset = std::make_unique<SkeldonPreset>(defaultSkeldonPreset());
        apply(values, *preset, strict);
        return preset;
    }
    }
    return defaultPreset(vertical);
}

ExportablePresetBundle PresetSettingsCodec::bundle(const std::string& name, const BatchPreset& preset,
                                                   const std::string& namingPattern) {
    ExportablePresetBundle b;
    b.version = "1.0";
    b.presetID = preset.id();
    b.presetName = name;
    b.verticalName = preset.verticalName();
    b.defaultNamingPattern = preset.defaultNamingPattern();
    b.configuration = encode(preset);
    b.configuration[std::string(namingPatternKey)] = namingPattern;
    b.exportedAt = std::chrono::system_clock::now();
    return b;
}

}  // namespace morvale

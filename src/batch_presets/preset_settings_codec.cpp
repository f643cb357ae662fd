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
#include <optional>
#include <pwd.h>
#include <system_error>
#include <type_traits>
#include <unistd.h>
#include <utility>

namespace morvale {
namespace {

using Settings = PresetSettingsCodec::Settings;
using CodecError = PresetSettingsCodec::CodecError;
using Option = PresetSettingsCodec::Option;

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

// ---- option rows ---------------------------------------------------------------------------

// One entry of a map being read. `values` is the whole map, for the rows whose effect depends on
// which other keys are present.
struct Entry {
    const std::string& key;
    const std::string& value;
    const Settings& values;
};

// One option of a vertical: its key and help, how its value is read onto the preset, and the
// canonical text of the preset's value.
template <typename P>
struct Row {
    std::string_view key;
    std::string_view help;
    std::function<void(P&, const Entry&)> read;
    std::function<std::string(const P&)> write;
};

// "a, b or c" (or "a, b, c" with ", " as the last separator).
std::string listed(const std::vector<std::string_view>& words, std::string_view lastSeparator = " or ") {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out += i + 1 == words.size() ? lastSeparator : std::string_view(", ");
        out += words[i];
    }
    return out;
}

template <typename Cases, typename Word>
std::vector<std::string_view> wordsOf(const Cases& cases, Word word) {
    std::vector<std::string_view> words;
    for (const auto& c : cases) words.push_back(word(c));
    return words;
}

// The words of an enumeration, from its own table: read after lower-casing (no trimming) and
// matched exactly; a miss names them all.
template <typename T>
struct Choice {
    std::vector<std::pair<std::string_view, T>> words;
    std::string expected;

    template <typename Cases, typename Word>
    Choice(const Cases& cases, Word word, std::string_view lastSeparator = " or ")
        : expected(listed(wordsOf(cases, word), lastSeparator)) {
        for (const T& c : cases) words.emplace_back(word(c), c);
    }

    T read(const Entry& e) const {
        const std::string v = lowered(e.value);
        for (const auto& [w, result] : words) {
            if (v == w) return result;
        }
        invalid(e.key, e.value, expected);
    }
};

// Rows of the common kinds. `field` is a member pointer or a function from the preset to the
// field (std::invoke takes either).

template <typename P, typename Field>
Row<P> textRow(std::string_view key, std::string_view help, Field field) {
    return {key, help, [field](P& p, const Entry& e) { std::invoke(field, p) = e.value; },
            [field](const P& p) { return std::string(std::invoke(field, p)); }};
}

template <typename P, typename Field>
Row<P> flagRow(std::string_view key, std::string_view help, Field field) {
    return {key, help, [field](P& p, const Entry& e) { std::invoke(field, p) = readBool(e.key, e.value); },
            [field](const P& p) { return boolText(std::invoke(field, p)); }};
}

template <typename P, typename Field>
Row<P> wholeRow(std::string_view key, std::string_view help, Field field, std::int64_t low, std::int64_t high) {
    return {key, help,
            [field, low, high](P& p, const Entry& e) { std::invoke(field, p) = readInt(e.key, e.value, low, high); },
            [field](const P& p) { return intText(std::invoke(field, p)); }};
}

template <typename P, typename Field>
Row<P> numberRow(std::string_view key, std::string_view help, Field field, double low, double high) {
    return {key, help,
            [field, low, high](P& p, const Entry& e) {
                std::invoke(field, p) = readDouble(e.key, e.value, low, high);
            },
            [field](const P& p) { return PresetSettingsCodec::doubleText(std::invoke(field, p)); }};
}

template <typename P, typename Field>
Row<P> pathRow(std::string_view key, std::string_view help, Field field) {
    return {key, help, [field](P& p, const Entry& e) { std::invoke(field, p) = readFileURL(e.value); },
            [field](const P& p) { return pathText(std::invoke(field, p)); }};
}

template <typename P, typename Field, typename Cases, typename Word>
Row<P> choiceRow(std::string_view key, std::string_view help, Field field, const Cases& cases, Word word) {
    using T = std::remove_cvref_t<decltype(std::invoke(field, std::declval<P&>()))>;
    Choice<T> choice(cases, word);
    return {key, help, [field, choice](P& p, const Entry& e) { std::invoke(field, p) = choice.read(e); },
            [field, word](const P& p) { return std::string(word(std::invoke(field, p))); }};
}

// A value read by `parse` (nothing when the text names no value, which fails with `expected`)
// and written as `text` of it.
template <typename P, typename Field, typename Parse, typename Text>
Row<P> parsedRow(std::string_view key, std::string_view help, Field field, Parse parse, std::string expected,
                 Text text) {
    return {key, help,
            [field, parse, expected](P& p, const Entry& e) {
                auto parsed = parse(e.value);
                if (!parsed) invalid(e.key, e.value, expected);
                std::invoke(field, p) = *parsed;
            },
            [field, text](const P& p) { return std::string(text(std::invoke(field, p))); }};
}

// The vocabularies, in option-table order.

const std::vector<Row<VarnholtPreset>>& varnholtRows() {
    using P = VarnholtPreset;
    constexpr auto raw = [](auto v) { return P::rawValue(v); };
    static const Choice<P::Portal> portals(P::allPortals(), raw);
    static const std::vector<Row<P>> rows{
        textRow<P>("address", "Property address used by the {address} token", &P::propertyAddress),
        flagRow<P>("straighten", "Auto-straighten verticals (true/false)", &P::autoStraightenVerticals),
        flagRow<P>("stripGPS", "Remove GPS and private metadata (true/false)", &P::stripGPSMetadata),
        flagRow<P>("web", "Export the MLS web set (true/false)", &P::exportWebPackage),
        flagRow<P>("print", "Export the full-resolution print set (true/false)", &P::exportPrintPackage),
        {"portal", "Web set for: mls | zillow | airbnb | custom (sets size, shape and file-size cap)",
         [](P& p, const Entry& e) { p.setPortal(portals.read(e)); },
         [](const P& p) { return std::string(P::rawValue(p.portal())); }},
        choiceRow<P>("aspect", "Web image shape: original | 4:3 | 3:2 | 16:9", &P::webAspect, P::allWebAspects(), raw),
        flagRow<P>("brackets", "Merge exposure brackets into one photo (true/false)", &P::mergeBrackets),
        {"webMaxPixels", "Longest side of web images, e.g. 2048",
         [](P& p, const Entry& e) { p.maxWebDimension = static_cast<double>(readInt(e.key, e.value, 256, 16384)); },
         [](const P& p) { return wholeText(p.maxWebDimension); }},
        wholeRow<P>("webMaxKB", "File-size cap for web images in KB, e.g. 2000", &P::maxWebFileSizeKB, 50, 100000),
        pathRow<P>("watermark", "Path to a PNG/JPEG logo (empty for none)", &P::watermarkURL),
        numberRow<P>("watermarkOpacity", "Watermark opacity 0.1-1.0", &P::watermarkOpacity, 0.05, 1.0),
    };
    return rows;
}

const std::vector<Row<MorvalePreset>>& morvaleRows() {
    using P = MorvalePreset;
    using ScaleMode = PowerOfTwoScaler::ScaleMode;
    constexpr auto packerRaw = [](auto v) { return ChannelPacker::rawValue(v); };
    static const std::string modes = listed(wordsOf(P::allOperationalModes(), [](auto m) { return P::key(m); }));
    static const std::string scaleModes = [] {
        auto words = wordsOf(ScaleMode::roundingKinds, [](auto k) { return ScaleMode::key(k); });
        words.emplace_back("a power of two");
        return listed(words);
    }();
    static const std::vector<Row<P>> rows{
        parsedRow<P>("mode", "channel | normal | height | pot | sprite | tiling", &P::operationalMode,
                     P::operationalModeNamed, modes, P::key),
        choiceRow<P>("profile", "Channel layout: unreal | gltf | hdrp | urp", &P::engineProfile,
                     ChannelPacker::allEngineProfiles(), packerRaw),
        choiceRow<P>("normal", "Normal map target: gl (OpenGL: Unity, Blender, Godot) | dx (DirectX: Unreal)",
                     &P::normalTarget, ChannelPacker::allNormalConventions(), packerRaw),
        flagRow<P>("pot", "Enforce power-of-two sizes (true/false)", &P::enforcePOT),
        parsedRow<P>(
            "potMode", "nearest | up | down | a fixed size like 2048", &P::potScaleMode,
            [](const std::string& value) -> std::optional<ScaleMode> {
                const std::string v = lowered(value);
                if (auto named = ScaleMode::fromKey(v)) return named;
                auto n = parseInteger(v);
                if (!n || *n < 1 || *n > 16384 || (*n & (*n - 1)) != 0) return std::nullopt;
                return ScaleMode::fixedTarget(static_cast<int>(*n));
            },
            scaleModes,
            [](const ScaleMode& mode) {
                if (mode.kind() == ScaleMode::Kind::fixedTarget) return std::to_string(mode.target());
                return std::string(ScaleMode::key(mode.kind()));
            }),
        flagRow<P>("square", "Force square textures (true/false)", &P::forceSquare),
        wholeRow<P>("maxSize", "Longest side limit in pixels, 0 for none (e.g. 2048 for mobile)", &P::maxTextureSize, 0,
                    16384),
        flagRow<P>("mipmaps", "Export a mipmap chain (true/false)", &P::generateMipmaps),
        flagRow<P>("trim", "Sprite sheets: trim transparent edges (true/false)", &P::spriteTrim),
        wholeRow<P>("padding", "Sprite sheets: pixels between frames, 0-16", &P::spritePadding, 0, 16),
        wholeRow<P>("extrude", "Sprite sheets: repeat edge pixels to stop bleeding, 0-8", &P::spriteExtrude, 0, 8),
        flagRow<P>("halfScale", "Sprite sheets: also write an @1x half-size sheet (true/false)", &P::spriteHalfScale),
        choiceRow<P>("format", "Sprite sheets: data file json | json-array | cocos | godot | unity", &P::spriteFormat,
                     SpriteSheetCompiler::allDataFormats, [](auto f) { return SpriteSheetCompiler::rawValue(f); }),
        flagRow<P>("rotate", "Sprite sheets: rotate frames to pack tighter (json and cocos formats; true/false)",
                   &P::spriteRotate),
        numberRow<P>("strength", "Normal from height: relief strength 0.5-10", &P::normalStrength, 0.5, 10),
        flagRow<P>("makeNormal", "Channel packing: make a normal map from the height map when none exists (true/false)",
                   &P::generateMissingNormal),
    };
    return rows;
}

const std::vector<Row<SkeldonPreset>>& skeldonRows() {
    using P = SkeldonPreset;
    using Clip = AudioVideoPipeline::ClipChoice;
    constexpr auto raw = [](auto v) { return P::rawValue(v); };
    // The message names every standard, joined without an "or".
    static const Choice<P::LoudnessStandard> standards(P::allLoudnessStandards(), raw, ", ");
    static const std::string humModes =
        listed(wordsOf(CleanupOptions::allCases(), [](auto h) { return CleanupOptions::rawValue(h); }));
    static const std::string aspects =
        listed(wordsOf(AudiogramGenerator::allAspectRatios, [](auto a) { return AudiogramGenerator::key(a); }));
    static const std::string clips = [] {
        auto words = wordsOf(Clip::namedKinds, [](auto k) { return Clip::key(k); });
        words.emplace_back("a time like 12:30");
        return listed(words);
    }();
    constexpr auto cleanup = [](auto member) { return [member](auto& p) -> auto& { return p.cleanup.*member; }; };
    static const std::vector<Row<P>> rows{
        textRow<P>("show", "Podcast / show title", &P::showTitle),
        textRow<P>("host", "Host or artist name", &P::hostName),
        wholeRow<P>("episode", "Episode number of the first file", &P::episodeNumber, 0, 99999),
        {"standard", "Loudness standard: apple | spotify | youtube | ebu | atsc | acx | custom",
         [](P& p, const Entry& e) { p.setLoudnessStandard(standards.read(e)); },
         [](const P& p) { return std::string(P::rawValue(p.loudnessStandard())); }},
        {"lufs", "Custom target loudness, e.g. -19 for mono spoken word",
         [](P& p, const Entry& e) {
             p.targetLUFS = readDouble(e.key, e.value, -40, -5);
             // A loudness alone names its standard, snapping to that standard's exact value.
             if (!e.values.contains("standard"))
                 p.setLoudnessStandard(P::matching(p.targetLUFS).value_or(P::LoudnessStandard::custom));
         },
         [](const P& p) { return PresetSettingsCodec::doubleText(p.targetLUFS); }},
        flagRow<P>("rumble", "Clean-up: 80 Hz rumble filter (true/false)", cleanup(&CleanupOptions::rumbleFilter)),
        parsedRow<P>(
            "hum", "Clean-up: hum removal off | auto | 50 | 60", cleanup(&CleanupOptions::humRemoval),
            [](const std::string& value) {
                std::string v = lowered(value);
                for (std::size_t at = v.find("hz"); at != std::string::npos; at = v.find("hz")) v.erase(at, 2);
                return CleanupOptions::fromRaw(v);
            },
            humModes, CleanupOptions::rawValue),
        flagRow<P>("gate", "Clean-up: noise gate between phrases (true/false)", cleanup(&CleanupOptions::noiseGate)),
        flagRow<P>("leveler", "Clean-up: even out loud and quiet speakers (true/false)",
                   cleanup(&CleanupOptions::leveler)),
        flagRow<P>("trimSilence", "Clean-up: cut dead air at the start and end (true/false)",
                   cleanup(&CleanupOptions::trimSilence)),
        numberRow<P>("maxPause", "Clean-up: shorten pauses longer than this many seconds, 0 for off",
                     cleanup(&CleanupOptions::maxPauseSeconds), 0, 30),
        pathRow<P>("intro", "Path to intro music (empty for none)", &P::introURL),
        pathRow<P>("outro", "Path to outro music (empty for none)", &P::outroURL),
        flagRow<P>("master", "Export the 24-bit WAV master (true/false)", &P::generateMaster),
        flagRow<P>("rss", "Export the RSS file (true/false)", &P::generateRSSMaster),
        flagRow<P>("whisper", "Export the 16 kHz Whisper reference (true/false)", &P::generateWhisperReference),
        flagRow<P>("transcript",
                   "On-device transcript as .srt, .vtt and .txt (true/false, needs the English speech model "
                   "pocketsphinx-en-us)",
                   &P::generateTranscripts),
        flagRow<P>("audiogram", "Export the audiogram video (true/false)", &P::generateAudiogram),
        flagRow<P>("captions",
                   "Burn captions into the audiogram (true/false, needs the English speech model pocketsphinx-en-us)",
                   &P::captionAudiogram),
        parsedRow<P>("aspect", "Audiogram shape: square | vertical | wide", &P::audiogramAspect,
                     AudiogramGenerator::aspectRatio, aspects, AudiogramGenerator::key),
        parsedRow<P>(
            "clip", "Audiogram clip: auto (liveliest part) | start | a start time like 12:30", &P::audiogramClip,
            [](const std::string& value) -> std::optional<Clip> {
                const std::string_view trimmed = trimBlanks(value);
                if (auto named = Clip::fromKey(lowered(trimmed))) return named;
                if (auto seconds = ChapterBuilder::seconds(trimmed)) return Clip::at(*seconds);
                return std::nullopt;
            },
            clips,
            [](const Clip& clip) {
                if (clip.kind() == Clip::Kind::at) return ChapterBuilder::clock(clip.seconds(), false);
                return std::string(Clip::key(clip.kind()));
            }),
        numberRow<P>("clipLength", "Audiogram length in seconds, 10-120", &P::audiogramSeconds, 10, 120),
        flagRow<P>("fillers",
                   "Cut um, uh and stuttered words (true/false, needs the English speech model pocketsphinx-en-us)",
                   &P::removeFillerWords),
        choiceRow<P>("chapters", "Chapter markers: off | auto | manual", &P::chapterMode, P::allChapterModes(), raw),
        textRow<P>("chapterList", "Chapters for manual mode, e.g. \"0:00 Intro; 5:30 Interview\"", &P::chapterList),
        pathRow<P>("artwork", "Path to cover art (empty for none)", &P::artworkURL),
    };
    return rows;
}

// The keys and help texts of a vertical's rows, made once per vertical.
template <typename P>
const std::vector<Option>& optionsOf(const std::vector<Row<P>>& rows) {
    static const std::vector<Option> options = [&rows] {
        std::vector<Option> out;
        for (const Row<P>& row : rows) out.push_back({row.key, row.help});
        return out;
    }();
    return options;
}

std::vector<std::string> keysOf(Vertical vertical) {
    std::vector<std::string> keys;
    for (const auto& o : PresetSettingsCodec::options(vertical)) keys.emplace_back(o.key);
    return keys;
}

template <typename P>
Settings encodeRows(const std::vector<Row<P>>& rows, const P& preset) {
    Settings settings;
    for (const Row<P>& row : rows) settings.emplace(row.key, row.write(preset));
    return settings;
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


// Reads every entry of `values` onto the preset through its row; `skipped` keys (besides the
// naming pattern) are passed over, any other key outside the rows is refused.
template <typename P>
void applyRows(const std::vector<Row<P>>& rows, Vertical vertical, const Settings& values, std::string_view first,
               std::initializer_list<std::string_view> skipped, bool strict, P& preset) {
    visit(values, first, strict, [&](const std::string& key, const std::string& value) {
        if (key == PresetSettingsCodec::namingPatternKey) return;
        if (std::find(skipped.begin(), skipped.end(), key) != skipped.end()) return;
        const auto row = std::find_if(rows.begin(), rows.end(), [&key](const Row<P>& r) { return r.key == key; });
        if (row == rows.end()) throw CodecError::unknownKey(key, keysOf(vertical));
        row->read(preset, Entry{key, value, values});
    });
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
    case Vertical::varnholt: return optionsOf(varnholtRows());
    case Vertical::morvale: return optionsOf(morvaleRows());
    case Vertical::skeldon: return optionsOf(skeldonRows());
    }
    return optionsOf(morvaleRows());
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
    if (const auto* p = dynamic_cast<const VarnholtPreset*>(&preset)) return encodeRows(varnholtRows(), *p);
    if (const auto* p = dynamic_cast<const MorvalePreset*>(&preset)) return encodeRows(morvaleRows(), *p);
    if (const auto* p = dynamic_cast<const SkeldonPreset*>(&preset)) return encodeRows(skeldonRows(), *p);
    return {};
}

// ---- reading ---------------------------------------------------------------------------------

void PresetSettingsCodec::apply(const Settings& values, VarnholtPreset& preset, bool strict) {
    // Sizes or a shape without a portal describe the user's own web set.
    if (!values.contains("portal") &&
        (values.contains("webMaxPixels") || values.contains("webMaxKB") || values.contains("aspect")))
        preset.setPortal(VarnholtPreset::Portal::custom);
    applyRows(varnholtRows(), Vertical::varnholt, values, "portal", {}, strict, preset);
}

void PresetSettingsCodec::apply(const Settings& values, MorvalePreset& preset, bool strict) {
    applyRows(morvaleRows(), Vertical::morvale, values, {}, {"columns"}, strict, preset);
}

void PresetSettingsCodec::apply(const Settings& values, SkeldonPreset& preset, bool strict) {
    applyRows(skeldonRows(), Vertical::skeldon, values, "standard", {}, strict, preset);
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

#include "batch_presets/preset_settings_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace morvale {
namespace {

using Settings = PresetSettingsCodec::Settings;

Settings encodeDefault(Vertical v) { return PresetSettingsCodec::encode(*defaultPreset(v)); }

// Reads `input` onto the vertical's default preset and returns the preset written back as a map.
Settings readBack(Vertical v, const Settings& input, bool strict) {
    return PresetSettingsCodec::encode(*PresetSettingsCodec::makePreset(v, input, strict));
}

std::string vname(Vertical v) { return std::string(rawValue(v)); }

// ---- writing ---------------------------------------------------------------------------------

TEST(SettingsEncode, DefaultPresetsGiveTheirCanonicalMaps) {
    EXPECT_EQ(encodeDefault(Vertical::morvale),
              (Settings{{"mode", "channel"}, {"profile", "unreal"}, {"normal", "gl"}, {"pot", "true"},
                        {"potMode", "nearest"}, {"square", "false"}, {"maxSize", "0"}, {"mipmaps", "false"},
                        {"trim", "true"}, {"padding", "2"}, {"extrude", "1"}, {"halfScale", "false"},
                        {"format", "json"}, {"rotate", "false"}, {"strength", "2.0"}, {"makeNormal", "false"}}));
    EXPECT_EQ(encodeDefault(Vertical::varnholt),
              (Settings{{"address", "1042_Maple_Lane"}, {"straighten", "true"}, {"stripGPS", "true"},
                        {"web", "true"}, {"print", "true"}, {"portal", "mls"}, {"aspect", "original"},
                        {"brackets", "false"}, {"webMaxPixels", "2048"}, {"webMaxKB", "2000"}, {"watermark", ""},
                        {"watermarkOpacity", "0.85"}}));
    const Settings podcast = encodeDefault(Vertical::skeldon);
    const Settings expectedSubset{{"episode", "1"},      {"standard", "apple"}, {"lufs", "-16.0"},
                                  {"rumble", "true"},    {"hum", "auto"},       {"gate", "false"},
                                  {"leveler", "true"},   {"trimSilence", "true"}, {"maxPause", "0.0"},
                                  {"intro", ""},         {"outro", ""},         {"master", "true"},
                                  {"rss", "true"},       {"whisper", "false"},  {"transcript", "true"},
                                  {"audiogram", "true"}, {"captions", "true"},  {"aspect", "square"},
                                  {"clip", "auto"},      {"clipLength", "45.0"}, {"fillers", "false"},
                                  {"chapters", "off"},   {"chapterList", ""},   {"artwork", ""}};
    for (const auto& [k, v] : expectedSubset) EXPECT_EQ(podcast.at(k), v) << k;
}

TEST(SettingsEncode, EveryVerticalWritesExactlyItsOwnKeys) {
    for (Vertical v : allVerticals()) {
        const Settings map = encodeDefault(v);
        const auto& options = PresetSettingsCodec::options(v);
        EXPECT_EQ(map.size(), options.size()) << vname(v);
        for (const auto& o : options) {
            EXPECT_TRUE(map.contains(std::string(o.key))) << o.key;
            // Help texts name what a feature needs on this system, not on another.
            EXPECT_EQ(std::string(o.help).find("macOS"), std::string::npos) << o.key;
        }
        EXPECT_FALSE(map.contains("namingPattern"));
    }
    EXPECT_EQ(PresetSettingsCodec::options(Vertical::varnholt).size(), 12u);
    EXPECT_EQ(PresetSettingsCodec::options(Vertical::morvale).size(), 16u);
    EXPECT_EQ(PresetSettingsCodec::options(Vertical::skeldon).size(), 26u);
}

TEST(SettingsEncode, ValueTexts) {
    auto podcast = defaultSkeldonPreset();
    const struct {
        AudioVideoPipeline::ClipChoice clip;
        const char* text;
    } clips[] = {{AudioVideoPipeline::ClipChoice::at(59.9), "00:59"},
                 {AudioVideoPipeline::ClipChoice::at(3600), "1:00:00"},
                 {AudioVideoPipeline::ClipChoice::at(750), "12:30"},
                 {AudioVideoPipeline::ClipChoice::at(3725), "1:02:05"},
                 {AudioVideoPipeline::ClipChoice::at(-4), "00:00"},
                 {AudioVideoPipeline::ClipChoice::start(), "start"}};
    for (const auto& c : clips) {
        podcast.audiogramClip = c.clip;
        EXPECT_EQ(PresetSettingsCodec::encode(podcast).at("clip"), c.text);
    }
    podcast.chapterMode = SkeldonPreset::ChapterMode::automatic;
    podcast.cleanup.humRemoval = CleanupOptions::HumMode::hz60;
    podcast.introURL = "/music/in tro.wav";
    EXPECT_EQ(PresetSettingsCodec::encode(podcast).at("chapters"), "auto");
    EXPECT_EQ(PresetSettingsCodec::encode(podcast).at("hum"), "60");
    EXPECT_EQ(PresetSettingsCodec::encode(podcast).at("intro"), "/music/in tro.wav");

    auto texture = defaultMorvalePreset();
    texture.potScaleMode = PowerOfTwoScaler::ScaleMode::fixedTarget(1024);
    texture.normalStrength = 0.1 + 0.2;
    EXPECT_EQ(PresetSettingsCodec::encode(texture).at("potMode"), "1024");
    EXPECT_EQ(PresetSettingsCodec::encode(texture).at("strength"), "0.30000000000000004");

    auto listing = defaultVarnholtPreset();
    for (const auto& [value, text] : std::vector<std::pair<double, std::string>>{
             {2048.9, "2048"}, {-3.7, "-3"}, {std::nan(""), "0"}, {1e300, "9223372036854775807"}}) {
        listing.maxWebDimension = value;
        EXPECT_EQ(PresetSettingsCodec::encode(listing).at("webMaxPixels"), text);
    }

    EXPECT_EQ(PresetSettingsCodec::doubleText(-16), "-16.0");
    EXPECT_EQ(PresetSettingsCodec::doubleText(0.85), "0.85");
    EXPECT_EQ(PresetSettingsCodec::doubleText(45), "45.0");
    EXPECT_EQ(PresetSettingsCodec::doubleText(-0.0), "-0.0");
}

// ---- reading: every key, accepted forms ------------------------------------------------------

struct ReadRow {
    Vertical vertical;
    Settings input;
    Settings expected;  // entries the written-back map must hold
};

void checkReads(const std::vector<ReadRow>& rows) {
    for (const auto& row : rows) {
        std::string label = vname(row.vertical) + ":";
        for (const auto& [k, v] : row.input) label += " " + k + "=[" + v + "]";
        SCOPED_TRACE(label);
        for (bool strict : {true, false}) {
            Settings out;
            ASSERT_NO_THROW(out = readBack(row.vertical, row.input, strict));
            for (const auto& [k, v] : row.expected) EXPECT_EQ(out.at(k), v) << k << (strict ? " strict" : " lenient");
        }
    }
}

TEST(SettingsRead, ListingKeys) {
    const auto L = Vertical::varnholt;
    checkReads({
        {L, {{"address", "  12 Elm St "}}, {{"address", "  12 Elm St "}}},
        {L, {{"straighten", "no"}}, {{"straighten", "false"}}},
        {L, {{"stripGPS", " OFF\t"}}, {{"stripGPS", "false"}}},
        {L, {{"web", "0"}}, {{"web", "false"}}},
        {L, {{"print", "False"}}, {{"print", "false"}}},
        {L, {{"brackets", " YES "}}, {{"brackets", "true"}}},
        {L, {{"brackets", "1"}}, {{"brackets", "true"}}},
        {L, {{"brackets", "on"}}, {{"brackets", "true"}}},
        {L, {{"portal", "ZILLOW"}}, {{"portal", "zillow"}, {"webMaxPixels", "2048"}, {"webMaxKB", "10000"}, {"aspect", "4:3"}}},
        {L, {{"portal", "airbnb"}}, {{"portal", "airbnb"}, {"webMaxPixels", "3000"}, {"webMaxKB", "10000"}, {"aspect", "3:2"}}},
        {L, {{"portal", "mls"}}, {{"portal", "mls"}, {"webMaxPixels", "2048"}, {"webMaxKB", "2000"}, {"aspect", "original"}}},
        {L, {{"portal", "custom"}}, {{"portal", "custom"}, {"webMaxPixels", "2048"}, {"webMaxKB", "2000"}}},
        {L, {{"portal", "zillow"}, {"webMaxPixels", "4000"}},
         {{"portal", "zillow"}, {"webMaxPixels", "4000"}, {"webMaxKB", "10000"}, {"aspect", "4:3"}}},
        {L, {{"portal", "airbnb"}, {"aspect", "16:9"}, {"webMaxKB", "+50"}},
         {{"portal", "airbnb"}, {"aspect", "16:9"}, {"webMaxKB", "50"}, {"webMaxPixels", "3000"}}},
        {L, {{"aspect", "16:9"}}, {{"aspect", "16:9"}, {"portal", "custom"}}},
        {L, {{"aspect", "Original"}}, {{"aspect", "original"}, {"portal", "custom"}}},
        {L, {{"webMaxKB", "500"}}, {{"portal", "custom"}, {"webMaxKB", "500"}, {"webMaxPixels", "2048"}, {"aspect", "original"}}},
        {L, {{"webMaxPixels", " 16384 "}}, {{"webMaxPixels", "16384"}, {"portal", "custom"}}},
        {L, {{"webMaxPixels", "256"}}, {{"webMaxPixels", "256"}}},
        {L, {{"webMaxKB", "100000"}}, {{"webMaxKB", "100000"}}},
        {L, {{"watermark", " /logos/mark.png\t"}}, {{"watermark", "/logos/mark.png"}}},
        {L, {{"watermark", "   "}}, {{"watermark", ""}}},
        {L, {{"watermarkOpacity", "0.05"}}, {{"watermarkOpacity", "0.05"}}},
        {L, {{"watermarkOpacity", " 1 "}}, {{"watermarkOpacity", "1.0"}}},
        {L, {{"watermarkOpacity", "5e-1"}}, {{"watermarkOpacity", "0.5"}}},
        {L, {{"namingPattern", "{address}"}}, {{"address", "1042_Maple_Lane"}}},
    });
}

TEST(SettingsRead, TextureKeys) {
    const auto T = Vertical::morvale;
    checkReads({
        {T, {{"mode", "Bump"}}, {{"mode", "height"}}},
        {T, {{"mode", "orm"}}, {{"mode", "channel"}}},
        {T, {{"mode", "NormalMap"}}, {{"mode", "normal"}}},
        {T, {{"mode", "resize"}}, {{"mode", "pot"}}},
        {T, {{"mode", "atlas"}}, {{"mode", "sprite"}}},
        {T, {{"mode", "SEAMLESS"}}, {{"mode", "tiling"}}},
        {T, {{"mode", "seam"}}, {{"mode", "tiling"}}},
        {T, {{"mode", "Seamless Tiling Check"}}, {{"mode", "tiling"}}},
        {T, {{"mode", "Normal Map: DirectX \xE2\x87\x84 OpenGL"}}, {{"mode", "normal"}}},
        {T, {{"profile", "HDRP"}}, {{"profile", "hdrp"}}},
        {T, {{"profile", "urp"}}, {{"profile", "urp"}}},
        {T, {{"profile", "gltf"}}, {{"profile", "gltf"}}},
        {T, {{"normal", "DX"}}, {{"normal", "dx"}}},
        {T, {{"pot", "no"}}, {{"pot", "false"}}},
        {T, {{"potMode", "RoundUp"}}, {{"potMode", "up"}}},
        {T, {{"potMode", "down"}}, {{"potMode", "down"}}},
        {T, {{"potMode", "rounddown"}}, {{"potMode", "down"}}},
        {T, {{"potMode", "2048"}}, {{"potMode", "2048"}}},
        {T, {{"potMode", "1"}}, {{"potMode", "1"}}},
        {T, {{"potMode", "16384"}}, {{"potMode", "16384"}}},
        {T, {{"potMode", "+0512"}}, {{"potMode", "512"}}},
        {T, {{"square", "true"}}, {{"square", "true"}}},
        {T, {{"maxSize", "16384"}}, {{"maxSize", "16384"}}},
        {T, {{"maxSize", "-0"}}, {{"maxSize", "0"}}},
        {T, {{"mipmaps", "yes"}}, {{"mipmaps", "true"}}},
        {T, {{"trim", "off"}}, {{"trim", "false"}}},
        {T, {{"padding", "16"}}, {{"padding", "16"}}},
        {T, {{"extrude", "0"}}, {{"extrude", "0"}}},
        {T, {{"halfScale", "TRUE"}}, {{"halfScale", "true"}}},
        {T, {{"format", "JSON-Array"}}, {{"format", "json-array"}}},
        {T, {{"format", "cocos"}}, {{"format", "cocos"}}},
        {T, {{"format", "godot"}}, {{"format", "godot"}}},
        {T, {{"format", "unity"}}, {{"format", "unity"}}},
        {T, {{"rotate", "1"}}, {{"rotate", "true"}}},
        {T, {{"strength", "10"}}, {{"strength", "10.0"}}},
        {T, {{"strength", " .5"}}, {{"strength", "0.5"}}},
        {T, {{"makeNormal", "on"}}, {{"makeNormal", "true"}}},
        {T, {{"columns", "whatever"}, {"namingPattern", "{name}"}}, encodeDefault(T)},
    });
}

TEST(SettingsRead, PodcastKeys) {
    const auto P = Vertical::skeldon;
    checkReads({
        {P, {{"show", " The Show "}}, {{"show", " The Show "}}},
        {P, {{"host", "Ann"}}, {{"host", "Ann"}}},
        {P, {{"chapterList", "0:00 Intro\r\n5:30 Talk"}}, {{"chapterList", "0:00 Intro\r\n5:30 Talk"}}},
        {P, {{"episode", "99999"}}, {{"episode", "99999"}}},
        {P, {{"episode", " 0 "}}, {{"episode", "0"}}},
        {P, {{"standard", "spotify"}}, {{"standard", "spotify"}, {"lufs", "-14.0"}}},
        {P, {{"standard", "youtube"}}, {{"standard", "youtube"}, {"lufs", "-14.0"}}},
        {P, {{"standard", "EBU"}}, {{"standard", "ebu"}, {"lufs", "-23.0"}}},
        {P, {{"standard", "atsc"}}, {{"standard", "atsc"}, {"lufs", "-24.0"}}},
        {P, {{"standard", "ACX"}}, {{"standard", "acx"}, {"lufs", "-16.0"}}},
        {P, {{"standard", "custom"}}, {{"standard", "custom"}, {"lufs", "-16.0"}}},
        {P, {{"standard", "apple"}, {"lufs", "-19"}}, {{"standard", "apple"}, {"lufs", "-19.0"}}},
        {P, {{"standard", "atsc"}, {"lufs", "-14"}}, {{"standard", "atsc"}, {"lufs", "-14.0"}}},
        {P, {{"lufs", "-14.02"}}, {{"standard", "spotify"}, {"lufs", "-14.0"}}},
        {P, {{"lufs", "-23.04"}}, {{"standard", "ebu"}, {"lufs", "-23.0"}}},
        {P, {{"lufs", "-24"}}, {{"standard", "atsc"}, {"lufs", "-24.0"}}},
        {P, {{"lufs", "-19"}}, {{"standard", "custom"}, {"lufs", "-19.0"}}},
        {P, {{"lufs", "-16.05"}}, {{"standard", "custom"}, {"lufs", "-16.05"}}},
        {P, {{"lufs", "-40"}}, {{"lufs", "-40.0"}}},
        {P, {{"lufs", "-5"}}, {{"lufs", "-5.0"}}},
        {P, {{"rumble", "false"}}, {{"rumble", "false"}}},
        {P, {{"gate", "true"}}, {{"gate", "true"}}},
        {P, {{"leveler", "no"}}, {{"leveler", "false"}}},
        {P, {{"trimSilence", "0"}}, {{"trimSilence", "false"}}},
        {P, {{"hum", "60Hz"}}, {{"hum", "60"}}},
        {P, {{"hum", "50HZ"}}, {{"hum", "50"}}},
        {P, {{"hum", "OFF"}}, {{"hum", "off"}}},
        {P, {{"hum", "AuHzto"}}, {{"hum", "auto"}}},
        {P, {{"maxPause", "30"}}, {{"maxPause", "30.0"}}},
        {P, {{"maxPause", "1.25"}}, {{"maxPause", "1.25"}}},
        {P, {{"intro", "/a/in.wav"}}, {{"intro", "/a/in.wav"}}},
        {P, {{"outro", "\t/a/out.wav "}}, {{"outro", "/a/out.wav"}}},
        {P, {{"artwork", ""}}, {{"artwork", ""}}},
        {P, {{"master", "false"}}, {{"master", "false"}}},
        {P, {{"rss", "no"}}, {{"rss", "false"}}},
        {P, {{"whisper", "yes"}}, {{"whisper", "true"}}},
        {P, {{"transcript", "off"}}, {{"transcript", "false"}}},
        {P, {{"audiogram", "0"}}, {{"audiogram", "false"}}},
        {P, {{"captions", "false"}}, {{"captions", "false"}}},
        {P, {{"fillers", "true"}}, {{"fillers", "true"}}},
        {P, {{"aspect", "Reel"}}, {{"aspect", "vertical"}}},
        {P, {{"aspect", "16x9"}}, {{"aspect", "wide"}}},
        {P, {{"aspect", "1:1"}}, {{"aspect", "square"}}},
        {P, {{"clip", "12:30"}}, {{"clip", "12:30"}}},
        {P, {{"clip", "00:00"}}, {{"clip", "start"}}},
        {P, {{"clip", " Start "}}, {{"clip", "start"}}},
        {P, {{"clip", "0"}}, {{"clip", "start"}}},
        {P, {{"clip", "90"}}, {{"clip", "01:30"}}},
        {P, {{"clip", "1:00:00"}}, {{"clip", "1:00:00"}}},
        {P, {{"clip", "Liveliest"}}, {{"clip", "auto"}}},
        {P, {{"clip", "best"}}, {{"clip", "auto"}}},
        {P, {{"clipLength", "10"}}, {{"clipLength", "10.0"}}},
        {P, {{"clipLength", "120"}}, {{"clipLength", "120.0"}}},
        {P, {{"chapters", "Manual"}}, {{"chapters", "manual"}}},
        {P, {{"chapters", "auto"}}, {{"chapters", "auto"}}},
    });
}

TEST(SettingsRead, ClipTimesAndTildePaths) {
    auto preset = defaultSkeldonPreset();
    PresetSettingsCodec::apply({{"clip", "12:30"}}, preset, true);
    EXPECT_EQ(preset.audiogramClip, AudioVideoPipeline::ClipChoice::at(750));
    PresetSettingsCodec::apply({{"clip", "90.5"}}, preset, true);
    EXPECT_EQ(preset.audiogramClip, AudioVideoPipeline::ClipChoice::at(90.5));

    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    PresetSettingsCodec::apply({{"artwork", " ~/art/cover.png"}, {"intro", "~"}}, preset, true);
    EXPECT_EQ(preset.artworkURL, std::filesystem::path(std::string(home) + "/art/cover.png"));
    EXPECT_EQ(preset.introURL, std::filesystem::path(home));
    PresetSettingsCodec::apply({{"outro", "~no-such-user-here/x.wav"}}, preset, true);
    EXPECT_EQ(preset.outroURL, std::filesystem::path("~no-such-user-here/x.wav"));
}

// ---- reading: refused values, exact messages -------------------------------------------------

struct BadRow {
    Vertical vertical;
    std::string key;
    std::string value;
    std::string message;
};

void checkRefusals(const std::vector<BadRow>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(vname(row.vertical) + ": " + row.key + "=[" + row.value + "]");
        const Settings input{{row.key, row.value}};
        try {
            (void)PresetSettingsCodec::makePreset(row.vertical, input, true);
            ADD_FAILURE() << "strict read accepted the entry";
        } catch (const PresetSettingsCodec::CodecError& e) {
            EXPECT_EQ(std::string(e.what()), row.message);
            EXPECT_EQ(e.kind(), PresetSettingsCodec::CodecError::Kind::invalidValue);
            EXPECT_EQ(e.value(), row.value);
        }
        // Lenient: the entry is skipped and the field keeps its default. A listing size or shape
        // entry still marks the web set as the user's own, bad or not.
        Settings expected = encodeDefault(row.vertical);
        if (row.vertical == Vertical::varnholt &&
            (row.key == "webMaxPixels" || row.key == "webMaxKB" || row.key == "aspect"))
            expected["portal"] = "custom";
        EXPECT_EQ(readBack(row.vertical, input, false), expected);
    }
}

TEST(SettingsRead, ListingRefusals) {
    const auto L = Vertical::varnholt;
    checkRefusals({
        {L, "webMaxPixels", "100", "Invalid value '100' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {L, "webMaxPixels", "16385", "Invalid value '16385' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {L, "webMaxPixels", "2048.0", "Invalid value '2048.0' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {L, "webMaxPixels", "99999999999999999999999", "Invalid value '99999999999999999999999' for 'webMaxPixels' (expected a whole number 256-16384)"},
        {L, "webMaxKB", "49", "Invalid value '49' for 'webMaxKB' (expected a whole number 50-100000)"},
        {L, "webMaxKB", "", "Invalid value '' for 'webMaxKB' (expected a whole number 50-100000)"},
        {L, "webMaxKB", "+-60", "Invalid value '+-60' for 'webMaxKB' (expected a whole number 50-100000)"},
        {L, "watermarkOpacity", "0.04", "Invalid value '0.04' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {L, "watermarkOpacity", "0,5", "Invalid value '0,5' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {L, "watermarkOpacity", "nan", "Invalid value 'nan' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {L, "watermarkOpacity", "inf", "Invalid value 'inf' for 'watermarkOpacity' (expected a number 0.05 to 1.0)"},
        {L, "straighten", "enabled", "Invalid value 'enabled' for 'straighten' (expected true or false)"},
        {L, "stripGPS", "true\n", "Invalid value 'true\n' for 'stripGPS' (expected true or false)"},
        {L, "web", "2", "Invalid value '2' for 'web' (expected true or false)"},
        {L, "print", "", "Invalid value '' for 'print' (expected true or false)"},
        {L, "brackets", "y", "Invalid value 'y' for 'brackets' (expected true or false)"},
        {L, "portal", "MLS ", "Invalid value 'MLS ' for 'portal' (expected mls, zillow, airbnb or custom)"},
        {L, "portal", "vrbo", "Invalid value 'vrbo' for 'portal' (expected mls, zillow, airbnb or custom)"},
        {L, "aspect", "16x9", "Invalid value '16x9' for 'aspect' (expected original, 4:3, 3:2 or 16:9)"},
        {L, "aspect", " 4:3", "Invalid value ' 4:3' for 'aspect' (expected original, 4:3, 3:2 or 16:9)"},
    });
}

TEST(SettingsRead, TextureRefusals) {
    const auto T = Vertical::morvale;
    checkRefusals({
        {T, "mode", " pot", "Invalid value ' pot' for 'mode' (expected channel, normal, height, pot, sprite or tiling)"},
        {T, "mode", "seamless tiling check", "Invalid value 'seamless tiling check' for 'mode' (expected channel, normal, height, pot, sprite or tiling)"},
        {T, "profile", "unity", "Invalid value 'unity' for 'profile' (expected unreal, gltf, hdrp or urp)"},
        {T, "normal", "opengl", "Invalid value 'opengl' for 'normal' (expected gl or dx)"},
        {T, "pot", "maybe", "Invalid value 'maybe' for 'pot' (expected true or false)"},
        {T, "square", "t", "Invalid value 't' for 'square' (expected true or false)"},
        {T, "mipmaps", "none", "Invalid value 'none' for 'mipmaps' (expected true or false)"},
        {T, "trim", "-1", "Invalid value '-1' for 'trim' (expected true or false)"},
        {T, "halfScale", "half", "Invalid value 'half' for 'halfScale' (expected true or false)"},
        {T, "rotate", "90", "Invalid value '90' for 'rotate' (expected true or false)"},
        {T, "makeNormal", "\ntrue", "Invalid value '\ntrue' for 'makeNormal' (expected true or false)"},
        {T, "potMode", "0", "Invalid value '0' for 'potMode' (expected nearest, up, down or a power of two)"},
        {T, "potMode", "3000", "Invalid value '3000' for 'potMode' (expected nearest, up, down or a power of two)"},
        {T, "potMode", "32768", "Invalid value '32768' for 'potMode' (expected nearest, up, down or a power of two)"},
        {T, "potMode", "2k", "Invalid value '2k' for 'potMode' (expected nearest, up, down or a power of two)"},
        {T, "potMode", " up", "Invalid value ' up' for 'potMode' (expected nearest, up, down or a power of two)"},
        {T, "maxSize", "16385", "Invalid value '16385' for 'maxSize' (expected a whole number 0-16384)"},
        {T, "maxSize", "-1", "Invalid value '-1' for 'maxSize' (expected a whole number 0-16384)"},
        {T, "padding", "17", "Invalid value '17' for 'padding' (expected a whole number 0-16)"},
        {T, "extrude", "9", "Invalid value '9' for 'extrude' (expected a whole number 0-8)"},
        {T, "extrude", "1.5", "Invalid value '1.5' for 'extrude' (expected a whole number 0-8)"},
        {T, "format", "plist", "Invalid value 'plist' for 'format' (expected json, json-array, cocos, godot or unity)"},
        {T, "strength", "0.49", "Invalid value '0.49' for 'strength' (expected a number 0.5 to 10.0)"},
        {T, "strength", "1e300", "Invalid value '1e300' for 'strength' (expected a number 0.5 to 10.0)"},
        {T, "strength", "1e400", "Invalid value '1e400' for 'strength' (expected a number 0.5 to 10.0)"},
        {T, "strength", "-inf", "Invalid value '-inf' for 'strength' (expected a number 0.5 to 10.0)"},
        {T, "strength", "0x1p1", "Invalid value '0x1p1' for 'strength' (expected a number 0.5 to 10.0)"},
    });
}

TEST(SettingsRead, PodcastRefusals) {
    const auto P = Vertical::skeldon;
    checkRefusals({
        {P, "episode", "abc", "Invalid value 'abc' for 'episode' (expected a whole number 0-99999)"},
        {P, "episode", "100000", "Invalid value '100000' for 'episode' (expected a whole number 0-99999)"},
        {P, "standard", "loud", "Invalid value 'loud' for 'standard' (expected apple, spotify, youtube, ebu, atsc, acx, custom)"},
        {P, "lufs", "-41", "Invalid value '-41' for 'lufs' (expected a number -40.0 to -5.0)"},
        {P, "lufs", "-4.9", "Invalid value '-4.9' for 'lufs' (expected a number -40.0 to -5.0)"},
        {P, "lufs", "nan", "Invalid value 'nan' for 'lufs' (expected a number -40.0 to -5.0)"},
        {P, "lufs", "-1e400", "Invalid value '-1e400' for 'lufs' (expected a number -40.0 to -5.0)"},
        {P, "rumble", "?", "Invalid value '?' for 'rumble' (expected true or false)"},
        {P, "gate", "closed", "Invalid value 'closed' for 'gate' (expected true or false)"},
        {P, "leveler", "", "Invalid value '' for 'leveler' (expected true or false)"},
        {P, "trimSilence", "si", "Invalid value 'si' for 'trimSilence' (expected true or false)"},
        {P, "hum", "50 hz", "Invalid value '50 hz' for 'hum' (expected off, auto, 50 or 60)"},
        {P, "hum", "55", "Invalid value '55' for 'hum' (expected off, auto, 50 or 60)"},
        {P, "maxPause", "30.01", "Invalid value '30.01' for 'maxPause' (expected a number 0.0 to 30.0)"},
        {P, "maxPause", "-0.1", "Invalid value '-0.1' for 'maxPause' (expected a number 0.0 to 30.0)"},
        {P, "master", "wav", "Invalid value 'wav' for 'master' (expected true or false)"},
        {P, "rss", "mp3", "Invalid value 'mp3' for 'rss' (expected true or false)"},
        {P, "whisper", "quiet", "Invalid value 'quiet' for 'whisper' (expected true or false)"},
        {P, "transcript", "srt", "Invalid value 'srt' for 'transcript' (expected true or false)"},
        {P, "audiogram", "video", "Invalid value 'video' for 'audiogram' (expected true or false)"},
        {P, "captions", "2", "Invalid value '2' for 'captions' (expected true or false)"},
        {P, "fillers", "um", "Invalid value 'um' for 'fillers' (expected true or false)"},
        {P, "aspect", "portrait", "Invalid value 'portrait' for 'aspect' (expected square, vertical or wide)"},
        {P, "aspect", " square", "Invalid value ' square' for 'aspect' (expected square, vertical or wide)"},
        {P, "clip", "soon", "Invalid value 'soon' for 'clip' (expected auto, start or a time like 12:30)"},
        {P, "clip", "inf", "Invalid value 'inf' for 'clip' (expected auto, start or a time like 12:30)"},
        {P, "clip", "1e308:1e308:1e308", "Invalid value '1e308:1e308:1e308' for 'clip' (expected auto, start or a time like 12:30)"},
        {P, "clipLength", "9.99", "Invalid value '9.99' for 'clipLength' (expected a number 10.0 to 120.0)"},
        {P, "clipLength", "121", "Invalid value '121' for 'clipLength' (expected a number 10.0 to 120.0)"},
        {P, "chapters", "on", "Invalid value 'on' for 'chapters' (expected off, auto or manual)"},
    });
}

TEST(SettingsRead, UnknownKeysNameTheVocabulary) {
    const struct {
        Vertical vertical;
        const char* message;
    } rows[] = {
        {Vertical::morvale,
         "Unknown option 'colour'. Options: mode, profile, normal, pot, potMode, square, maxSize, mipmaps, trim, "
         "padding, extrude, halfScale, format, rotate, strength, makeNormal"},
        {Vertical::varnholt,
         "Unknown option 'colour'. Options: address, straighten, stripGPS, web, print, portal, aspect, brackets, "
         "webMaxPixels, webMaxKB, watermark, watermarkOpacity"},
        {Vertical::skeldon,
         "Unknown option 'colour'. Options: show, host, episode, standard, lufs, rumble, hum, gate, leveler, "
         "trimSilence, maxPause, intro, outro, master, rss, whisper, transcript, audiogram, captions, aspect, clip, "
         "clipLength, fillers, chapters, chapterList, artwork"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(vname(row.vertical));
        try {
            (void)PresetSettingsCodec::makePreset(row.vertical, {{"colour", "red"}}, true);
            ADD_FAILURE();
        } catch (const PresetSettingsCodec::CodecError& e) {
            EXPECT_STREQ(e.what(), row.message);
            EXPECT_EQ(e.kind(), PresetSettingsCodec::CodecError::Kind::unknownKey);
            EXPECT_EQ(e.key(), "colour");
            EXPECT_EQ(e.allowed().size(), PresetSettingsCodec::options(row.vertical).size());
        }
        EXPECT_EQ(readBack(row.vertical, {{"colour", "red"}}, false), encodeDefault(row.vertical));
        // "columns" is only the texture reader's to skip.
        if (row.vertical != Vertical::morvale) {
            EXPECT_THROW((void)PresetSettingsCodec::makePreset(row.vertical, {{"columns", "4"}}, true),
                         PresetSettingsCodec::CodecError);
        }
    }
}

// ---- order and partial application -----------------------------------------------------------

std::string firstError(Vertical v, const Settings& input) {
    try {
        (void)PresetSettingsCodec::makePreset(v, input, true);
    } catch (const PresetSettingsCodec::CodecError& e) {
        return e.key();
    }
    return {};
}

TEST(SettingsRead, StrictReportsTheSameFirstErrorInAFixedOrder) {
    // Several bad entries: the leading key first, then code-point order (capitals before small letters).
    EXPECT_EQ(firstError(Vertical::morvale, {{"padding", "99"}, {"extrude", "99"}, {"strength", "0"}}), "extrude");
    EXPECT_EQ(firstError(Vertical::morvale, {{"mode", "x"}, {"Mode", "x"}}), "Mode");
    EXPECT_EQ(firstError(Vertical::varnholt, {{"address", "ok"}, {"aspect", "x"}, {"portal", "x"}}), "portal");
    EXPECT_EQ(firstError(Vertical::skeldon, {{"aspect", "x"}, {"standard", "x"}, {"episode", "x"}}), "standard");
    EXPECT_EQ(firstError(Vertical::skeldon, {{"aspect", "x"}, {"episode", "x"}}), "aspect");
}

TEST(SettingsRead, StrictKeepsEarlierEntriesAndLenientGoesOn) {
    auto texture = defaultMorvalePreset();
    EXPECT_THROW(PresetSettingsCodec::apply({{"extrude", "5"}, {"format", "bad"}, {"padding", "9"}}, texture, true),
                 PresetSettingsCodec::CodecError);
    EXPECT_EQ(texture.spriteExtrude, 5);  // visited before the failure
    EXPECT_EQ(texture.spritePadding, 2);  // never visited

    auto podcast = defaultSkeldonPreset();
    PresetSettingsCodec::apply({{"episode", "abc"}, {"show", "Night Talk"}}, podcast, false);
    EXPECT_EQ(podcast.showTitle, "Night Talk");
    EXPECT_EQ(podcast.episodeNumber, 1);

    // A bad standard is skipped, and its presence still turns off matching the loudness.
    podcast = defaultSkeldonPreset();
    PresetSettingsCodec::apply({{"standard", "loud"}, {"lufs", "-14"}}, podcast, false);
    EXPECT_EQ(podcast.loudnessStandard(), SkeldonPreset::LoudnessStandard::applePodcasts);
    EXPECT_EQ(podcast.targetLUFS, -14.0);

    EXPECT_NO_THROW((void)PresetSettingsCodec::makePreset(
        Vertical::skeldon, {{"episode", "x"}, {"clip", "inf"}, {"lufs", "nan"}, {"zzz", ""}}, false));
}

TEST(SettingsRead, EmptyStrictMapGivesTheDefaultPreset) {
    for (Vertical v : allVerticals()) {
        EXPECT_EQ(readBack(v, {}, true), encodeDefault(v)) << vname(v);
    }
    auto made = PresetSettingsCodec::makePreset(Vertical::skeldon, {}, true);
    const auto* podcast = dynamic_cast<const SkeldonPreset*>(made.get());
    ASSERT_NE(podcast, nullptr);
    EXPECT_EQ(*podcast, defaultSkeldonPreset());
}

// ---- round trips -----------------------------------------------------------------------------

template <typename Preset>
Preset roundTrip(const Preset& preset, Vertical v) {
    auto made = PresetSettingsCodec::makePreset(v, PresetSettingsCodec::encode(preset), true);
    const auto* typed = dynamic_cast<const Preset*>(made.get());
    if (!typed) throw std::logic_error("wrong preset type");
    return *typed;
}

TEST(SettingsRoundTrip, DefaultPresets) {
    EXPECT_EQ(roundTrip(defaultVarnholtPreset(), Vertical::varnholt), defaultVarnholtPreset());
    EXPECT_EQ(roundTrip(defaultMorvalePreset(), Vertical::morvale), defaultMorvalePreset());
    EXPECT_EQ(roundTrip(defaultSkeldonPreset(), Vertical::skeldon), defaultSkeldonPreset());
}

class Randomiser {
public:
    explicit Randomiser(unsigned seed) : rng_(seed) {}

    bool flip() { return std::uniform_int_distribution<int>(0, 1)(rng_) == 1; }
    std::int64_t integer(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    template <typename T, std::size_t N>
    T pick(const std::array<T, N>& all) {
        return all[static_cast<std::size_t>(integer(0, static_cast<std::int64_t>(N) - 1))];
    }
    // Free text: any bytes, including blanks, quotes, separators and line breaks.
    std::string text() {
        static const std::string alphabet = "abcXYZ 019_-;:'\"\t\r\n{}~/\\\xC3\xA9\xE2\x87\x84";
        std::string s;
        const auto n = integer(0, 24);
        for (std::int64_t i = 0; i < n; ++i) s += alphabet[static_cast<std::size_t>(integer(0, static_cast<std::int64_t>(alphabet.size()) - 1))];
        return s;
    }
    // Paths the reader gives back as written: no surrounding blanks, no leading tilde.
    std::optional<std::filesystem::path> path() {
        if (flip()) return std::nullopt;
        return std::filesystem::path("/media/" + std::to_string(integer(0, 999)) + " take/file.wav");
    }

private:
    std::mt19937_64 rng_;
};

TEST(SettingsRoundTrip, RandomPresets) {
    Randomiser r(20261209);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        auto listing = defaultVarnholtPreset();
        listing.setPortal(r.pick(VarnholtPreset::allPortals()));
        listing.propertyAddress = r.text();
        listing.autoStraightenVerticals = r.flip();
        listing.stripGPSMetadata = r.flip();
        listing.exportWebPackage = r.flip();
        listing.exportPrintPackage = r.flip();
        listing.mergeBrackets = r.flip();
        listing.webAspect = r.pick(VarnholtPreset::allWebAspects());
        listing.maxWebDimension = static_cast<double>(r.integer(256, 16384));
        listing.maxWebFileSizeKB = r.integer(50, 100000);
        listing.watermarkURL = r.path();
        listing.watermarkOpacity = r.real(0.05, 1.0);
        EXPECT_EQ(roundTrip(listing, Vertical::varnholt), listing);

        auto texture = defaultMorvalePreset();
        texture.operationalMode = r.pick(MorvalePreset::allOperationalModes());
        texture.engineProfile = r.pick(ChannelPacker::allEngineProfiles());
        texture.normalTarget = r.pick(ChannelPacker::allNormalConventions());
        texture.enforcePOT = r.flip();
        const std::array<PowerOfTwoScaler::ScaleMode, 4> modes{
            PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), PowerOfTwoScaler::ScaleMode::roundUpPowerOfTwo(),
            PowerOfTwoScaler::ScaleMode::roundDownPowerOfTwo(),
            PowerOfTwoScaler::ScaleMode::fixedTarget(1 << r.integer(0, 14))};
        texture.potScaleMode = r.pick(modes);
        texture.forceSquare = r.flip();
        texture.maxTextureSize = r.integer(0, 16384);
        texture.generateMipmaps = r.flip();
        texture.spriteTrim = r.flip();
        texture.spritePadding = r.integer(0, 16);
        texture.spriteExtrude = r.integer(0, 8);
        texture.spriteHalfScale = r.flip();
        texture.spriteFormat = r.pick(SpriteSheetCompiler::allDataFormats);
        texture.spriteRotate = r.flip();
        texture.normalStrength = r.real(0.5, 10);
        texture.generateMissingNormal = r.flip();
        EXPECT_EQ(roundTrip(texture, Vertical::morvale), texture);

        auto podcast = defaultSkeldonPreset();
        podcast.showTitle = r.text();
        podcast.hostName = r.text();
        podcast.episodeNumber = r.integer(0, 99999);
        podcast.targetLUFS = r.real(-40, -5);
        podcast.setLoudnessStandard(r.pick(SkeldonPreset::allLoudnessStandards()));
        podcast.cleanup.rumbleFilter = r.flip();
        podcast.cleanup.humRemoval = r.pick(std::array<CleanupOptions::HumMode, 4>{
            CleanupOptions::HumMode::off, CleanupOptions::HumMode::autoDetect, CleanupOptions::HumMode::hz50,
            CleanupOptions::HumMode::hz60});
        podcast.cleanup.noiseGate = r.flip();
        podcast.cleanup.leveler = r.flip();
        podcast.cleanup.trimSilence = r.flip();
        podcast.cleanup.maxPauseSeconds = r.real(0, 30);
        podcast.introURL = r.path();
        podcast.outroURL = r.path();
        podcast.artworkURL = r.path();
        podcast.generateMaster = r.flip();
        podcast.generateRSSMaster = r.flip();
        podcast.generateWhisperReference = r.flip();
        podcast.generateTranscripts = r.flip();
        podcast.generateAudiogram = r.flip();
        podcast.captionAudiogram = r.flip();
        podcast.audiogramAspect = r.pick(AudiogramGenerator::allAspectRatios);
        const std::array<AudioVideoPipeline::ClipChoice, 3> clips{
            AudioVideoPipeline::ClipChoice::automatic(), AudioVideoPipeline::ClipChoice::start(),
            AudioVideoPipeline::ClipChoice::at(static_cast<double>(r.integer(1, 20000)))};
        podcast.audiogramClip = r.pick(clips);
        podcast.audiogramSeconds = r.real(10, 120);
        podcast.removeFillerWords = r.flip();
        podcast.chapterMode = r.pick(SkeldonPreset::allChapterModes());
        podcast.chapterList = r.text();
        EXPECT_EQ(roundTrip(podcast, Vertical::skeldon), podcast);
    }
}

TEST(SettingsRoundTrip, ClipStartsComeBackInWholeSeconds) {
    auto podcast = defaultSkeldonPreset();
    podcast.audiogramClip = AudioVideoPipeline::ClipChoice::at(75.9);
    EXPECT_EQ(roundTrip(podcast, Vertical::skeldon).audiogramClip, AudioVideoPipeline::ClipChoice::at(75));
    podcast.audiogramClip = AudioVideoPipeline::ClipChoice::at(0.7);
    EXPECT_EQ(roundTrip(podcast, Vertical::skeldon).audiogramClip, AudioVideoPipeline::ClipChoice::start());
}

}  // namespace
}  // namespace morvale

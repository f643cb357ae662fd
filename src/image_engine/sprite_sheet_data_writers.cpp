// The five data files that describe sprite-sheet pages for game engines.

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "base/ascii.h"
#include "base/hex.h"
#include "base/utf8.h"
#include "image_engine/sprite_sheet_compiler.h"

namespace morvale {

namespace {

using Json = nlohmann::json;

long long trunc(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<long long>(std::clamp(v, -9.0e18, 9.0e18));
}

std::string decimal(long long v) { return std::to_string(v); }

std::string fixed(double v, int digits) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, digits);
    return std::string(buffer, result.ptr);
}

std::string hex4(char32_t cp) {
    std::string s = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) s += hexDigit(static_cast<unsigned>(cp >> shift), true);
    return s;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// ---- JSON ----

Json rectObject(const PackRect& r) {
    return Json{{"x", trunc(r.x)}, {"y", trunc(r.y)}, {"w", trunc(r.width)}, {"h", trunc(r.height)}};
}

Json frameEntry(const SpriteSheetCompiler::Frame& f) {
    return Json{{"frame", rectObject(f.frame)},
                {"rotated", f.rotated},
                {"trimmed", f.trimmed},
                {"spriteSourceSize", rectObject(f.spriteSourceSize)},
                {"sourceSize", Json{{"w", trunc(f.sourceSize.width)}, {"h", trunc(f.sourceSize.height)}}}};
}

Json metaObject(const SpriteSheetCompiler::AtlasResult& page, const std::string& imageName,
                const std::vector<std::string>& relatedPacks) {
    Json meta{{"app", "Orbisk"},
              {"version", "1.0"},
              {"image", utf8::sanitized(imageName)},
              {"format", "RGBA8888"},
              {"size", Json{{"w", page.sheetWidth}, {"h", page.sheetHeight}}},
              {"scale", "1"}};
    if (!relatedPacks.empty()) {
        Json related = Json::array();
        for (const std::string& name : relatedPacks) related.push_back(utf8::sanitized(name));
        meta["related_multi_packs"] = std::move(related);
    }
    return meta;
}

// Objects keep their keys sorted (byte order of the UTF-8 text), slashes stay unescaped and
// every name has already been made valid UTF-8 (bad bytes become U+FFFD), so a file name made of
// arbitrary bytes still yields a well-formed document.
std::vector<std::uint8_t> serialise(const Json& document) {
    std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
    text += '\n';
    return bytesOf(text);
}

// ---- Property list ----

std::string xmlText(const std::string& text) {
    std::string out;
    utf8::forEachCodePoint(text, [&](char32_t cp) {
        switch (cp) {
            case '&': out += "&amp;"; return;
            case '<': out += "&lt;"; return;
            case '>': out += "&gt;"; return;
            default: break;
        }
        // Characters XML 1.0 cannot carry at all, not even escaped.
        const bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                             (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000;
        utf8::append(out, allowed ? cp : char32_t{0xFFFD});
    });
    return out;
}

std::string cocosNumber(double v) {
    const double rounded = std::round(v);
    if (v == rounded) return decimal(trunc(rounded));
    return fixed(v, 1);
}

// ---- YAML ----

// A frame name as a YAML scalar: plain when it can only read back as that same string,
// double-quoted with escapes otherwise.
std::string yamlScalar(const std::string& text) {
    bool plain = !text.empty() && (ascii::isAlpha(text[0]) || text[0] == '_');
    for (char c : text) {
        if (!(ascii::isAlnum(c) || c == '_' || c == '.' || c == '-')) plain = false;
    }
    if (plain) {
        const std::string lower = ascii::lowered(text);
        static const char* const reserved[] = {"true", "false", "yes", "no", "on", "off",
                                               "null", "y", "n"};
        for (const char* word : reserved) {
            if (lower == word) plain = false;
        }
    }
    if (plain) return text;
    std::string out = "\"";
    utf8::forEachCodePoint(text, [&](char32_t cp) {
        if (cp == '"') out += "\\\"";
        else if (cp == '\\') out += "\\\\";
        else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || cp == 0xFEFF)
            out += hex4(cp);
        else utf8::append(out, cp);
    });
    out += '"';
    return out;
}

// ---- Godot text resources ----

std::string godotString(const std::string& text) {
    std::string out;
    utf8::forEachCodePoint(text, [&](char32_t cp) {
        switch (cp) {
            case '"': out += "\\\""; return;
            case '\\': out += "\\\\"; return;
            case '\n': out += "\\n"; return;
            case '\t': out += "\\t"; return;
            case '\r': out += "\\r"; return;
            default: break;
        }
        if (cp < 0x20 || cp == 0x7F) out += hex4(cp);
        else utf8::append(out, cp);
    });
    return out;
}

// The shortest text that reads back as the same double, always with a fractional part.
std::string godotReal(double v) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, result.ptr);
    if (std::isfinite(v) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string stemOf(const std::string& name) {
    // Like removing a path extension: the last dot, unless it starts the name.
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

std::string sha256Prefix(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length < 16) {
        throw std::runtime_error("SHA-256 is not available.");
    }
    return hexEncoded(std::string_view(reinterpret_cast<const char*>(digest), 16));
}

}  // namespace

std::vector<std::uint8_t> SpriteSheetCompiler::AtlasResult::jsonHash(
    const std::string& imageName, const std::optional<std::string>& animationName,
    const std::vector<std::string>& relatedPacks) const {
    Json framesObject = Json::object();
    for (const Frame& f : frames) framesObject[utf8::sanitized(f.name)] = frameEntry(f);
    Json document{{"frames", std::move(framesObject)},
                  {"meta", metaObject(*this, imageName, relatedPacks)}};
    if (animationName) {
        Json names = Json::array();
        for (const Frame& f : frames) names.push_back(utf8::sanitized(f.name));
        document["animations"] = Json{{utf8::sanitized(*animationName), std::move(names)}};
    }
    return serialise(document);
}

std::vector<std::uint8_t> SpriteSheetCompiler::AtlasResult::jsonArray(
    const std::string& imageName, const std::vector<std::string>& relatedPacks) const {
    Json list = Json::array();
    for (const Frame& f : frames) {
        Json entry = frameEntry(f);
        entry["filename"] = utf8::sanitized(f.name);
        list.push_back(std::move(entry));
    }
    return serialise(Json{{"frames", std::move(list)},
                          {"meta", metaObject(*this, imageName, relatedPacks)}});
}

std::vector<std::uint8_t> SpriteSheetCompiler::AtlasResult::cocosPlist(
    const std::string& imageName) const {
    // Keyed by the escaped name so that a later frame of the same name replaces the earlier one
    // and the keys come out sorted.
    std::map<std::string, std::string> entries;
    for (const Frame& f : frames) {
        const double ox = (f.spriteSourceSize.x + f.spriteSourceSize.width * 0.5) -
                          f.sourceSize.width * 0.5;
        const double oy = f.sourceSize.height * 0.5 -
                          (f.spriteSourceSize.y + f.spriteSourceSize.height * 0.5);
        std::string d;
        d += "\t\t\t<key>aliases</key>\n\t\t\t<array/>\n";
        d += "\t\t\t<key>spriteOffset</key>\n\t\t\t<string>{" + cocosNumber(ox) + "," +
             cocosNumber(oy) + "}</string>\n";
        d += "\t\t\t<key>spriteSize</key>\n\t\t\t<string>{" + decimal(trunc(f.frame.width)) + "," +
             decimal(trunc(f.frame.height)) + "}</string>\n";
        d += "\t\t\t<key>spriteSourceSize</key>\n\t\t\t<string>{" +
             decimal(trunc(f.sourceSize.width)) + "," + decimal(trunc(f.sourceSize.height)) +
             "}</string>\n";
        d += "\t\t\t<key>textureRect</key>\n\t\t\t<string>{{" + decimal(trunc(f.frame.x)) + "," +
             decimal(trunc(f.frame.y)) + "},{" + decimal(trunc(f.frame.width)) + "," +
             decimal(trunc(f.frame.height)) + "}}</string>\n";
        d += std::string("\t\t\t<key>textureRotated</key>\n\t\t\t<") +
             (f.rotated ? "true" : "false") + "/>\n";
        entries[xmlText(f.name)] = std::move(d);
    }

    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n\t<key>frames</key>\n";
    if (entries.empty()) {
        out += "\t<dict/>\n";
    } else {
        out += "\t<dict>\n";
        for (const auto& [key, body] : entries) {
            out += "\t\t<key>" + key + "</key>\n\t\t<dict>\n" + body + "\t\t</dict>\n";
        }
        out += "\t</dict>\n";
    }
    const std::string imageText = xmlText(imageName);
    out += "\t<key>metadata</key>\n\t<dict>\n";
    out += "\t\t<key>format</key>\n\t\t<integer>3</integer>\n";
    out += "\t\t<key>pixelFormat</key>\n\t\t<string>RGBA8888</string>\n";
    out += "\t\t<key>premultiplyAlpha</key>\n\t\t<false/>\n";
    out += "\t\t<key>realTextureFileName</key>\n\t\t<string>" + imageText + "</string>\n";
    out += "\t\t<key>size</key>\n\t\t<string>{" + decimal(sheetWidth) + "," +
           decimal(sheetHeight) + "}</string>\n";
    out += "\t\t<key>textureFileName</key>\n\t\t<string>" + imageText + "</string>\n";
    out += "\t</dict>\n</dict>\n</plist>\n";
    return bytesOf(out);
}

std::string SpriteSheetCompiler::AtlasResult::unityMeta(const std::string& imageName,
                                                        int pixelsPerUnit) const {
    std::string out = "fileFormatVersion: 2\nguid: " + sha256Prefix(imageName) +
                      "\nTextureImporter:\n  serializedVersion: 11\n  mipmaps:\n"
                      "    enableMipMap: 0\n  textureType: 8\n  spriteMode: 2\n"
                      "  spritePixelsToUnits: " +
                      decimal(pixelsPerUnit) +
                      "\n  alphaIsTransparency: 1\n  filterMode: 1\n  spriteSheet:\n"
                      "    serializedVersion: 2\n    sprites:\n";
    for (const Frame& f : frames) {
        const double px = (f.sourceSize.width * 0.5 - f.spriteSourceSize.x) /
                          std::max(1.0, f.frame.width);
        const double py = (f.sourceSize.height * 0.5 -
                           (f.sourceSize.height - (f.spriteSourceSize.y + f.spriteSourceSize.height))) /
                          std::max(1.0, f.frame.height);
        out += "    - serializedVersion: 2\n      name: " + yamlScalar(stemOf(f.name));
        out += "\n      rect:\n        serializedVersion: 2\n        x: " + decimal(trunc(f.frame.x));
        out += "\n        y: " + decimal(sheetHeight - trunc(f.frame.y + f.frame.height));
        out += "\n        width: " + decimal(trunc(f.frame.width));
        out += "\n        height: " + decimal(trunc(f.frame.height));
        out += "\n      alignment: 9\n      pivot: {x: " + fixed(px, 4) + ", y: " + fixed(py, 4) +
               "}\n      border: {x: 0, y: 0, z: 0, w: 0}\n";
    }
    return out;
}

std::string SpriteSheetCompiler::Atlas::godotSpriteFrames(const std::vector<std::string>& imageNames,
                                                          const std::string& animationName,
                                                          const std::vector<std::string>& order,
                                                          double fps) const {
    std::map<std::string, std::pair<std::size_t, const Frame*>> index;
    for (std::size_t k = 0; k < pages.size(); ++k) {
        for (const Frame& f : pages[k].frames) index[f.name] = {k, &f};
    }
    std::vector<std::pair<std::size_t, const Frame*>> entries;
    for (const std::string& name : order) {
        const auto it = index.find(name);
        if (it != index.end()) entries.push_back(it->second);
    }

    std::string out = "[gd_resource type=\"SpriteFrames\" load_steps=" +
                      std::to_string(imageNames.size() + entries.size() + 1) + " format=3]\n\n";
    for (std::size_t i = 0; i < imageNames.size(); ++i) {
        out += "[ext_resource type=\"Texture2D\" path=\"" + godotString(imageNames[i]) +
               "\" id=\"" + std::to_string(i + 1) + "\"]\n";
    }
    out += "\n";
    for (std::size_t n = 0; n < entries.size(); ++n) {
        const auto& [page, f] = entries[n];
        out += "[sub_resource type=\"AtlasTexture\" id=\"AtlasTexture_" + std::to_string(n) +
               "\"]\n";
        out += "atlas = ExtResource(\"" + std::to_string(page + 1) + "\")\n";
        out += "region = Rect2(" + decimal(trunc(f->frame.x)) + ", " + decimal(trunc(f->frame.y)) +
               ", " + decimal(trunc(f->frame.width)) + ", " + decimal(trunc(f->frame.height)) +
               ")\n";
        if (f->trimmed) {
            out += "margin = Rect2(" + decimal(trunc(f->spriteSourceSize.x)) + ", " +
                   decimal(trunc(f->spriteSourceSize.y)) + ", " +
                   decimal(trunc(f->sourceSize.width - f->frame.width)) + ", " +
                   decimal(trunc(f->sourceSize.height - f->frame.height)) + ")\n";
        }
        out += "\n";
    }
    out += "[resource]\nanimations = [{\n\"frames\": [";
    for (std::size_t n = 0; n < entries.size(); ++n) {
        if (n > 0) out += ", ";
        out += "{\n\"duration\": 1.0,\n\"texture\": SubResource(\"AtlasTexture_" +
               std::to_string(n) + "\")\n}";
    }
    out += "],\n\"loop\": true,\n\"name\": &\"" + godotString(animationName) +
           "\",\n\"speed\": " + godotReal(fps) + "\n}]\n";
    return out;
}

}  // namespace morvale

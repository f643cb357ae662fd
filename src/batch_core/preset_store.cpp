#include "batch_core/preset_store.h"

#include "base/atomic_file_writer.h"
#include "base/json_quote.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace morvale {
namespace {

namespace fs = std::filesystem;

// Seconds between 1970-01-01 and 2001-01-01, the bundle's reference date.
constexpr double referenceOffsetSeconds = 978307200.0;

std::string numberText(double value) {
    char buf[64];
    auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) return "0";
    return std::string(buf, ptr);
}

double secondsSinceReference(std::chrono::system_clock::time_point t) {
    const std::chrono::duration<double> since1970 = t.time_since_epoch();
    return since1970.count() - referenceOffsetSeconds;
}

std::chrono::system_clock::time_point timeFromReference(double seconds) {
    const double since1970 = seconds + referenceOffsetSeconds;
    // The clock's tick count must hold the value; an absurd date is a broken file, not a crash.
    const double limit = std::chrono::duration<double>(std::chrono::system_clock::duration::max()).count() * 0.99;
    if (!std::isfinite(since1970) || std::fabs(since1970) > limit)
        throw PresetStore::DecodeError("The preset bundle's export date is out of range.");
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(since1970)));
}

std::string requireString(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw PresetStore::DecodeError(std::string("The preset bundle has no \"") + key + "\".");
    if (!it->is_string())
        throw PresetStore::DecodeError(std::string("The preset bundle's \"") + key + "\" is not text.");
    return it->get<std::string>();
}

}  // namespace

PresetStore& PresetStore::shared() {
    static PresetStore store;
    return store;
}

std::string PresetStore::encode(const ExportablePresetBundle& bundle) {
    std::string out = "{\n";
    auto field = [&out](const char* key, const std::string& value) {
        out += "  \"";
        out += key;
        out += "\" : ";
        appendJSONQuoted(out, value);
        out += ",\n";
    };
    field("version", bundle.version);
    field("presetID", bundle.presetID);
    field("presetName", bundle.presetName);
    field("verticalName", bundle.verticalName);
    field("defaultNamingPattern", bundle.defaultNamingPattern);
    out += "  \"configuration\" : {";
    if (bundle.configuration.empty()) {
        out += "\n\n  },\n";
    } else {
        out += '\n';
        std::size_t i = 0;
        for (const auto& [key, value] : bundle.configuration) {
            out += "    ";
            appendJSONQuoted(out, key);
            out += " : ";
            appendJSONQuoted(out, value);
            out += ++i < bundle.configuration.size() ? ",\n" : "\n";
        }
        out += "  },\n";
    }
    out += "  \"exportedAt\" : ";
    out += numberText(secondsSinceReference(bundle.exportedAt));
    out += "\n}";
    return out;
}

ExportablePresetBundle PresetStore::decode(const std::string& text) {
    nlohmann::json root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) throw DecodeError("The preset bundle is not valid JSON.");
    if (!root.is_object()) throw DecodeError("The preset bundle is not a JSON object.");

    ExportablePresetBundle bundle;
    bundle.version = requireString(root, "version");
    bundle.presetID = requireString(root, "presetID");
    bundle.presetName = requireString(root, "presetName");
    bundle.verticalName = requireString(root, "verticalName");
    bundle.defaultNamingPattern = requireString(root, "defaultNamingPattern");

    auto config = root.find("configuration");
    if (config == root.end()) throw DecodeError("The preset bundle has no \"configuration\".");
    if (!config->is_object()) throw DecodeError("The preset bundle's \"configuration\" is not an object.");
    for (auto it = config->begin(); it != config->end(); ++it) {
        if (!it.value().is_string())
            throw DecodeError("The preset bundle's setting \"" + it.key() + "\" is not text.");
        bundle.configuration.emplace(it.key(), it.value().get<std::string>());
    }

    auto date = root.find("exportedAt");
    if (date == root.end()) throw DecodeError("The preset bundle has no \"exportedAt\".");
    if (!date->is_number()) throw DecodeError("The preset bundle's \"exportedAt\" is not a number.");
    bundle.exportedAt = timeFromReference(date->get<double>());
    return bundle;
}

void PresetStore::exportBundle(const ExportablePresetBundle& bundle, const fs::path& file) const {
    AtomicFileWriter::writeFile(file, encode(bundle), {.createFolders = false, .durable = true});
}

ExportablePresetBundle PresetStore::importPreset(const fs::path& file) const {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (ec) throw fs::filesystem_error("Cannot read preset bundle", file, ec);
    if (!fs::is_regular_file(status))
        throw fs::filesystem_error("Cannot read preset bundle", file, std::make_error_code(std::errc::invalid_argument));

    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) throw fs::filesystem_error("Cannot read preset bundle", file, std::error_code(errno, std::generic_category()));
    std::string text;
    char buf[65536];
    std::size_t n = 0;
    // The cap is applied to what is read, not to the size reported beforehand, so a file that
    // grows while it is read cannot slip past it.
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (text.size() + n > maxFileBytes) {
            std::fclose(f);
            throw DecodeError("The preset bundle is larger than 4 MB.");
        }
        text.append(buf, n);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw fs::filesystem_error("Cannot read preset bundle", file, std::make_error_code(std::errc::io_error));
    return decode(text);
}

}  // namespace morvale

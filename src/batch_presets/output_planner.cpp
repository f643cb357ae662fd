#include "batch_presets/output_planner.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "batch_core/run_ledger.h"
#include "batch_core/token_renamer.h"
#include "batch_presets/internal/output_plan.h"
#include "batch_presets/morvale_preset.h"

namespace morvale {

namespace fs = std::filesystem;
using output_plan::PlannedItem;

namespace {

std::string replaceAll(const std::string& text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t done = 0;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, done)) {
        out.append(text, done, at - done);
        out.append(to);
        done = at + from.size();
    }
    out.append(text, done, std::string::npos);
    return out;
}
bool endsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// A sheet's page name with its page number taken out ("walk_Atlas-3@1x.json" -> "walk_Atlas@1x.json"),
// which is the one-page name the report projects.
std::string onePageName(const std::string& name) {
    constexpr std::string_view atlas = "_Atlas-";
    const auto at = name.rfind(atlas);
    if (at == std::string::npos) return name;
    auto end = at + atlas.size();
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    if (end == at + atlas.size()) return name;
    return name.substr(0, at) + "_Atlas" + name.substr(end);
}

}  // namespace

namespace output_plan {

const fs::path& PathForms::form(const fs::path& path) {
    auto [known, fresh] = paths_.try_emplace(path.native());
    if (!fresh) return known->second;
    const fs::path parent = path.parent_path();
    auto [slot, added] = folders_.try_emplace(parent.native());
    if (added) slot->second = RunLedger::pathForm(parent.empty() ? fs::path(".") : parent);
    fs::path formed = slot->second / path.filename();
    // The ledger follows a link at the name itself too.
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(formed, error))) formed = RunLedger::pathForm(formed);
    known->second = std::move(formed);
    return known->second;
}

void flagConflicts(std::vector<PlannedItem>& items, bool checkExisting) {
    PathForms forms;
    struct Name {
        std::string text;
        std::string key;
        fs::path path;
        bool possible;
    };
    std::vector<std::vector<Name>> names(items.size());
    std::unordered_map<std::string, std::vector<std::size_t>> index;
    std::unordered_map<std::string, const fs::path*> sources;

    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& report = items[i].report;
        sources.try_emplace(forms.form(report.sourceURL).string(), &report.sourceURL);
        const std::unordered_set<std::string> projected(report.projectedFileNames.begin(),
                                                        report.projectedFileNames.end());
        auto add = [&](const std::string& name, bool possible) {
            const fs::path path = report.projectedDirectory / name;
            std::string key = forms.form(path).string();
            index[key].push_back(i);
            names[i].push_back({name, std::move(key), path, possible});
        };
        for (const auto& name : report.projectedFileNames) add(name, false);
        for (const auto& name : items[i].alsoPossible) {
            if (!projected.contains(name)) add(name, true);
        }
    }

    for (std::size_t i = 0; i < items.size(); ++i) {
        auto& report = items[i].report;
        std::unordered_set<std::string> seen;
        for (const auto& name : names[i]) {
            const auto& writers = index[name.key];
            std::optional<std::size_t> other;
            for (const auto writer : writers) {
                if (writer != i) {
                    other = writer;
                    break;
                }
            }
            const bool again = !seen.insert(name.key).second;
            if (other) {
                report.warnings.push_back(name.text + std::string(alsoWrittenBy) +
                                          items[*other].report.sourceURL.filename().string() +
                                          std::string(collisionRemedy));
            } else if (again) {
                report.warnings.push_back(name.text + std::string(writtenTwice));
            }
            if (const auto source = sources.find(name.key); source != sources.end()) {
                report.warnings.push_back(name.text + std::string(wouldOverwrite) + source->second->string() +
                                          std::string(whichRunReads));
            } else if (checkExisting && !other && !again && !name.possible) {
                std::error_code error;
                if (fs::exists(fs::symlink_status(name.path, error))) {
                    report.warnings.push_back(name.text + std::string(alreadyExists));
                }
            }
        }
    }
}

}  // namespace output_plan

std::vector<SimulatedItemReport> OutputPlanner::plan(const BatchPreset& preset, const std::vector<BatchItem>& items,
                                                     const BatchConfiguration& configuration,
                                                     bool checkExistingFiles) {
    const std::string pattern =
        configuration.namingPattern.empty() ? preset.defaultNamingPattern() : configuration.namingPattern;
    const bool usesDefaultPattern = pattern == preset.defaultNamingPattern();
    const auto now = std::chrono::system_clock::now();
    const TokenRenamer renamer;
    const auto total = static_cast<std::int64_t>(items.size());

    // The branch by the preset's type, in this order.
    std::unique_ptr<output_plan::ListingPlanner> listing;
    std::unique_ptr<output_plan::TexturePlanner> texture;
    const auto* skeldon = dynamic_cast<const SkeldonPreset*>(&preset);
    if (const auto* varnholt = dynamic_cast<const VarnholtPreset*>(&preset)) {
        listing = std::make_unique<output_plan::ListingPlanner>(*varnholt, items);
    } else if (const auto* morvale = dynamic_cast<const MorvalePreset*>(&preset)) {
        texture = std::make_unique<output_plan::TexturePlanner>(*morvale, items, usesDefaultPattern);
    }

    std::vector<PlannedItem> planned(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const BatchItem& item = items[i];
        PlannedItem& out = planned[i];
        out.report.id = item.id;
        out.report.sourceURL = item.sourceURL;
        out.report.projectedDirectory = configuration.outputDirectory;
        const auto index = static_cast<std::int64_t>(i) + 1;
        const TextureOutputNames::Resolve resolve = [&](const std::map<std::string, std::string>& variables) {
            return replaceAll(renamer.resolve(pattern, item, index, total, variables, now),
                              output_plan::unknownSize, "?");
        };
        try {
            if (listing) {
                listing->plan(item, resolve, out);
            } else if (texture) {
                texture->plan(item, resolve, out);
            } else if (skeldon) {
                output_plan::planPodcast(*skeldon, item, index, resolve, out);
            }
        } catch (const std::exception& error) {
            // The plan never throws: whatever a branch could not work out is said in a warning.
            out.report.warnings.push_back(std::string("Could not plan this item: ") + error.what());
        }
    }
    output_plan::flagConflicts(planned, checkExistingFiles);

    std::vector<SimulatedItemReport> reports;
    reports.reserve(planned.size());
    for (auto& item : planned) reports.push_back(std::move(item.report));
    return reports;
}

bool OutputPlanner::hasCollisions(const std::vector<SimulatedItemReport>& reports) {
    for (const auto& report : reports) {
        const std::unordered_set<std::string> names(report.projectedFileNames.begin(), report.projectedFileNames.end());
        auto named = [&](std::string_view name) {
            const std::string text(name);
            return names.contains(text) || names.contains(onePageName(text));
        };
        for (const auto& warning : report.warnings) {
            if (endsWith(warning, output_plan::writtenTwice) &&
                named(std::string_view(warning).substr(0, warning.size() - output_plan::writtenTwice.size()))) {
                return true;
            }
            if (endsWith(warning, output_plan::collisionRemedy)) {
                for (auto at = warning.find(output_plan::alsoWrittenBy); at != std::string::npos;
                     at = warning.find(output_plan::alsoWrittenBy, at + 1)) {
                    if (named(std::string_view(warning).substr(0, at))) return true;
                }
            }
            if (endsWith(warning, output_plan::whichRunReads)) {
                for (auto at = warning.find(output_plan::wouldOverwrite); at != std::string::npos;
                     at = warning.find(output_plan::wouldOverwrite, at + 1)) {
                    if (named(std::string_view(warning).substr(0, at))) return true;
                }
            }
        }
    }
    return false;
}

}  // namespace morvale

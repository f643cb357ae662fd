#include "batch_presets/texture_run_registry.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace morvale {

namespace fs = std::filesystem;

namespace {

std::string display(const fs::path& path) { return path.string(); }

}  // namespace

TextureRunRegistry& TextureRunRegistry::shared() {
    static TextureRunRegistry registry;
    return registry;
}

fs::path TextureRunRegistry::normalized(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) absolute = path;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    if (ec) return absolute.lexically_normal();
    return canonical.lexically_normal();
}

TextureRunRegistry::Run& TextureRunRegistry::runLocked(const std::string& run) {
    auto found = runs_.find(run);
    if (found == runs_.end()) {
        if (runs_.size() >= keptRuns) {
            auto oldest = std::min_element(runs_.begin(), runs_.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            runs_.erase(oldest);
        }
        found = runs_.emplace(run, Run{}).first;
    }
    found->second.lastUse = ++clock_;
    return found->second;
}

void TextureRunRegistry::noteReads(const std::string& run, const Item& item,
                                   const std::vector<fs::path>& files) {
    std::vector<fs::path> keys;
    keys.reserve(files.size());
    for (const auto& file : files) keys.push_back(normalized(file));

    std::lock_guard lock(mutex_);
    Run& state = runLocked(run);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto written = state.outputs.find(keys[i]);
        if (written != state.outputs.end() && written->second.id != item.id) {
            throw TextureOutputConflict("Won't read " + display(files[i]) + ": " +
                                        display(written->second.source) +
                                        " replaced it earlier in this run. Add {index} or {name} "
                                        "to the naming pattern or choose another output folder.");
        }
    }
    for (const auto& key : keys) {
        auto& readers = state.reads[key];
        const bool known = std::any_of(readers.begin(), readers.end(),
                                       [&](const Item& reader) { return reader.id == item.id; });
        if (!known) readers.push_back(item);
    }
}

void TextureRunRegistry::noteRunSources(const std::string& run, const std::vector<fs::path>& sources) {
    {
        std::lock_guard lock(mutex_);
        if (runLocked(run).sourcesNoted) return;
    }
    std::vector<fs::path> keys;
    keys.reserve(sources.size());
    for (const auto& source : sources) keys.push_back(normalized(source));

    std::lock_guard lock(mutex_);
    Run& state = runLocked(run);
    if (state.sourcesNoted) return;
    state.sourcesNoted = true;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        // Readers are told apart by id; a source read by no item yet reads as the queued file itself.
        const Item reader{"queued\n" + keys[i].string(), sources[i]};
        auto& readers = state.reads[keys[i]];
        const bool known = std::any_of(readers.begin(), readers.end(),
                                       [&](const Item& existing) { return existing.id == reader.id; });
        if (!known) readers.push_back(reader);
    }
}

void TextureRunRegistry::claimOutput(const std::string& run, const Item& item, const fs::path& output,
                                     std::string_view remedy) {
    const fs::path key = normalized(output);
    const std::string name = output.filename().string();
    const bool ownSource = normalized(item.source) == key;

    std::lock_guard lock(mutex_);
    Run& state = runLocked(run);
    auto written = state.outputs.find(key);
    if (written != state.outputs.end()) {
        if (written->second.id == item.id) return;
        throw TextureOutputConflict("Won't overwrite " + name + ": it is already the output of " +
                                    display(written->second.source) + " in this run. " +
                                    std::string(remedy));
    }
    auto readers = state.reads.find(key);
    if (readers != state.reads.end() && !readers->second.empty()) {
        const Item& reader = readers->second.front();
        const std::string who = ownSource || reader.id == item.id
                                    ? std::string("this item reads it")
                                    : display(reader.source) + " reads it in this run";
        throw TextureOutputConflict("Won't overwrite " + display(output) + ": " + who +
                                    ". Add {index} or {name} to the naming pattern or choose "
                                    "another output folder.");
    }
    state.outputs.emplace(key, item);
}

TextureRunRegistry::Decision TextureRunRegistry::decideOnce(const std::string& run,
                                                            const std::string& key,
                                                            const std::function<Decision()>& decide) {
    {
        std::lock_guard lock(mutex_);
        Run& state = runLocked(run);
        auto found = state.decisions.find(key);
        if (found != state.decisions.end()) return found->second;
    }
    // Deciding may list a folder: do it outside the lock; if another item decided meanwhile, its
    // decision stands.
    Decision decision = decide();
    std::lock_guard lock(mutex_);
    Run& state = runLocked(run);
    return state.decisions.emplace(key, std::move(decision)).first->second;
}

}  // namespace morvale

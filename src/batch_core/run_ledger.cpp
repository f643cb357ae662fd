#include "batch_core/run_ledger.h"

#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <system_error>

namespace morvale {

namespace fs = std::filesystem;

namespace {

std::string display(const fs::path& path) { return path.string(); }

// Which of the two tokens that tell items apart the pattern holds; both when it is unknown, so
// that the advice names both.
struct Missing {
    bool index = true;
    bool name = true;
};

Missing missingFrom(const std::optional<std::string>& pattern) {
    if (!pattern) return {};
    static const std::regex indexToken(R"(\{index(?::\d+)?\})");
    return {!std::regex_search(*pattern, indexToken), pattern->find("{name}") == std::string::npos};
}

std::string tokensToAdd(Missing missing) {
    if (missing.index && missing.name) return "{index} or {name}";
    return missing.index ? "{index}" : "{name}";
}

}  // namespace

RunLedger::RunLedger(std::vector<fs::path> sources, std::optional<std::string> namingPattern)
    : sources_(std::move(sources)), namingPattern_(std::move(namingPattern)) {
    for (const auto& source : sources_) sourceForms_.emplace(pathForm(source), source);
}

std::string RunLedger::itemsRemedy() const {
    const Missing missing = missingFrom(namingPattern_);
    // Each item has an index of its own; with {index} in the pattern two names meet only where the
    // index runs into digits beside it ("{name}{index}": a1 at 1 and a at 11 both give a11).
    if (!missing.index) {
        return "Put a separator such as _ between {index} and the text beside it in the naming pattern.";
    }
    return "Add " + tokensToAdd(missing) + " to the naming pattern.";
}

std::string RunLedger::readRemedy() const {
    const Missing missing = missingFrom(namingPattern_);
    if (!missing.index && !missing.name) return "Choose another output folder.";
    return "Add " + tokensToAdd(missing) + " to the naming pattern or choose another output folder.";
}

fs::path RunLedger::pathForm(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) absolute = path;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    if (ec) return absolute.lexically_normal();
    return canonical.lexically_normal();
}

bool RunLedger::isSource(const fs::path& file) const { return sourceForms_.contains(pathForm(file)); }

void RunLedger::noteReads(const BatchItem& item, const std::vector<fs::path>& files) {
    std::vector<fs::path> keys;
    keys.reserve(files.size());
    for (const auto& file : files) keys.push_back(pathForm(file));

    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto written = outputs_.find(keys[i]);
        if (written != outputs_.end() && written->second.item != item.id) {
            throw OutputConflict("Won't read " + display(files[i]) + ": " + display(written->second.source) +
                                 " replaced it earlier in this run. " + readRemedy());
        }
    }
    for (const auto& key : keys) {
        auto& readers = reads_[key];
        const bool known = std::any_of(readers.begin(), readers.end(),
                                       [&](const Reader& reader) { return reader.item == item.id; });
        if (!known) readers.push_back({item.id, item.sourceURL});
    }
}

void RunLedger::claimOutput(const BatchItem& item, const fs::path& output, std::string_view remedy) {
    const fs::path key = pathForm(output);
    const std::string name = output.filename().string();
    const bool ownSource = pathForm(item.sourceURL) == key;

    std::lock_guard lock(mutex_);
    const auto written = outputs_.find(key);
    if (written != outputs_.end()) {
        // Two outputs of one item on one path come from its naming pattern, whatever the remedy
        // the caller had in mind for a clash between items.
        const bool own = written->second.item == item.id;
        const std::string fix = own                       ? std::string(ownOutputsRemedy)
                                : remedy == patternRemedy ? itemsRemedy()
                                                          : std::string(remedy);
        // Both sources: the user has to find the two files whose names meet, not just the first.
        const std::string also = own ? "" : ", and " + display(item.sourceURL) + " would write it too";
        throw OutputConflict("Won't overwrite " + name + ": it is already the output of " +
                             display(written->second.source) + " in this run" + also + ". " + fix);
    }
    // A source of the run counts as read by its own item before any item writes.
    std::optional<Reader> reader;
    if (const auto source = sourceForms_.find(key); source != sourceForms_.end()) {
        reader = Reader{Uuid(), source->second};
    } else if (const auto readers = reads_.find(key); readers != reads_.end() && !readers->second.empty()) {
        reader = readers->second.front();
    }
    if (reader) {
        const std::string who = ownSource || reader->item == item.id
                                    ? std::string("this item reads it")
                                    : display(reader->source) + " reads it in this run";
        throw OutputConflict("Won't overwrite " + display(output) + ": " + who + ". " + readRemedy());
    }
    outputs_.emplace(key, Writer{item.id, item.sourceURL, fileIdentity(key)});
}

std::optional<RunLedger::FileIdentity> RunLedger::fileIdentity(const fs::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
                        static_cast<std::int64_t>(info.st_size)};
}

std::vector<fs::path> RunLedger::removeOutputsOf(const Uuid& item) {
    std::vector<std::pair<fs::path, std::optional<FileIdentity>>> claimed;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [path, writer] : outputs_) {
            if (writer.item == item) claimed.emplace_back(path, writer.before);
        }
    }
    std::vector<fs::path> removed;
    for (const auto& [path, before] : claimed) {
        const auto now = fileIdentity(path);
        // A file still as it was when claimed is an earlier run's, never written by this item.
        if (!now || now == before) continue;
        std::error_code error;
        if (fs::remove(path, error)) removed.push_back(path);
    }
    return removed;
}

std::pair<std::shared_ptr<RunLedger::Decision>, bool> RunLedger::decisionFor(const std::string& key,
                                                                             std::type_index type) {
    std::lock_guard lock(mutex_);
    auto& slot = decisions_[key];
    if (!slot) {
        slot = std::make_shared<Decision>(type);
        return {slot, true};
    }
    if (slot->type != type) throw std::logic_error("Run decision '" + key + "' asked for two types");
    return {slot, false};
}

void RunLedger::settle(Decision& decision, std::shared_ptr<const void> value, std::exception_ptr error) {
    {
        std::lock_guard lock(mutex_);
        decision.value = std::move(value);
        decision.error = std::move(error);
        decision.settled = true;
    }
    settledChanged_.notify_all();
}

std::shared_ptr<const void> RunLedger::await(Decision& decision) {
    std::unique_lock lock(mutex_);
    settledChanged_.wait(lock, [&] { return decision.settled; });
    if (decision.error) std::rethrow_exception(decision.error);
    return decision.value;
}

}  // namespace morvale

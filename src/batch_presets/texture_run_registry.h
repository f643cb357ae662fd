#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// An output that would destroy a file of the same run: another item's output, or a file that an
// item of the run reads. what() names both files and says how to avoid the clash.
class TextureOutputConflict : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the items of one batch run have read and written, so that no run loses a file: the queue
// runs items concurrently and knows nothing of texture sets, so the preset keeps this ledger
// itself, keyed by the run's job id. Outputs left by earlier runs are not recorded and may be
// replaced. The few most recent runs are kept; older ledgers are dropped.
class TextureRunRegistry {
public:
    // One item of a run: its id (only the same item may claim a path twice, as when a job is
    // submitted again) and its source file (named in messages).
    struct Item {
        std::string id;
        std::filesystem::path source;
    };

    // Remedies offered in conflict messages.
    static constexpr std::string_view patternRemedy =
        "Add {index} or {name} to the naming pattern.";
    static constexpr std::string_view fixedNameRemedy =
        "Rename one of the source files or process them in separate runs.";

    static constexpr std::size_t keptRuns = 32;

    // The registry that texture processing uses for every run of the process.
    static TextureRunRegistry& shared();

    // Records the files an item is about to read. Throws TextureOutputConflict when another item
    // of the run has already claimed one of them as its output.
    void noteReads(const std::string& run, const Item& item,
                   const std::vector<std::filesystem::path>& files);

    // Records the source file of every item of the run as read, before any item writes, so that
    // no output replaces a file that an item of the run has yet to read. Only the first call of a
    // run does anything.
    void noteRunSources(const std::string& run, const std::vector<std::filesystem::path>& sources);

    // Claims an output path before it is written. Throws TextureOutputConflict when another item
    // of the run claimed the same path, or when any item of the run (this one included) reads it.
    // `remedy` ends the message of a clash between two outputs.
    void claimOutput(const std::string& run, const Item& item, const std::filesystem::path& output,
                     std::string_view remedy = patternRemedy);

    // A choice that every item of a run must share (which files form a texture set): the first
    // caller's `decide` result is kept under `key` and returned to every later caller of the run.
    using Decision = std::vector<std::filesystem::path>;
    Decision decideOnce(const std::string& run, const std::string& key,
                        const std::function<Decision()>& decide);

    // The form in which paths are compared: absolute, with symbolic links and ".." resolved as far
    // as the file system allows.
    static std::filesystem::path normalized(const std::filesystem::path& path);

private:
    struct Run {
        std::map<std::filesystem::path, Item> outputs;
        std::map<std::filesystem::path, std::vector<Item>> reads;
        std::map<std::string, Decision> decisions;
        bool sourcesNoted = false;
        std::uint64_t lastUse = 0;
    };

    Run& runLocked(const std::string& run);

    std::mutex mutex_;
    std::map<std::string, Run> runs_;
    std::uint64_t clock_ = 0;
};

}  // namespace morvale

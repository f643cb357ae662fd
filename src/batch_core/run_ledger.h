#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <vector>

#include "batch_core/batch_item.h"
#include "batch_core/uuid.h"

namespace morvale {

// An output that would destroy a file of the same run: another item's output (or one this item
// already wrote), or a file that an item of the run reads. what() names both files and says how
// to avoid the clash:
//   "Won't overwrite <name>: it is already the output of <source> in this run, and <other source>
//    would write it too. <remedy>"  (two items)
//   "Won't overwrite <name>: it is already the output of <source> in this run. <ownOutputsRemedy>"
//   "Won't overwrite <path>: this item reads it. <read remedy>"
//   "Won't overwrite <path>: <source> reads it in this run. <read remedy>"
//   "Won't read <path>: <source> replaced it earlier in this run. <read remedy>"
// The remedies that concern the naming pattern name only the tokens that would help, so they
// depend on the run's pattern (see claimOutput and noteReads); when the ledger knows no pattern,
// or the pattern has neither {index} nor {name}, they are "Add {index} or {name} to the naming
// pattern." and "Add {index} or {name} to the naming pattern or choose another output folder."
class OutputConflict : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the items of one batch run share, so that no run loses a file and every item of the run
// sees the same shared choices. The batch queue makes one per run and hands it to every item;
// it goes away with the run, so nothing of one run leaks into the next. Outputs left by earlier
// runs are not recorded and may be replaced.
//
// Thread rules: every operation may be called from any number of item threads at once.
class RunLedger {
public:
    // Remedies offered when the outputs of two items clash. patternRemedy stands for the advice
    // fitted to the run's naming pattern (this text when the ledger knows none).
    static constexpr std::string_view patternRemedy = "Add {index} or {name} to the naming pattern.";
    static constexpr std::string_view fixedNameRemedy =
        "Rename one of the source files or process them in separate runs.";
    // One item's two outputs on one path: its index and name are the same for both, so only what
    // tells its outputs apart can help.
    static constexpr std::string_view ownOutputsRemedy =
        "Change the naming pattern so that each output of an item gets a name of its own.";

    // A ledger of no job (tests, one-off calls): nothing is a source of the run.
    RunLedger() = default;
    // The job's source files, in job order. Each counts as read by the run before any item writes,
    // so that no output replaces a file that an item of the run has yet to read. `namingPattern`,
    // the pattern the run's items are named by, fits the advice to it.
    explicit RunLedger(std::vector<std::filesystem::path> sources,
                       std::optional<std::string> namingPattern = std::nullopt);

    RunLedger(const RunLedger&) = delete;
    RunLedger& operator=(const RunLedger&) = delete;

    // The form in which paths are compared: absolute, lexically normal, with symbolic links
    // resolved as far as the path exists.
    static std::filesystem::path pathForm(const std::filesystem::path& path);

    // The files the run queued, in job order, as given.
    const std::vector<std::filesystem::path>& sources() const { return sources_; }
    // Whether the file (in any spelling of its path) is the source of an item of this run.
    bool isSource(const std::filesystem::path& file) const;

    // Records the files an item is about to read. Throws OutputConflict when another item of the
    // run has already claimed one of them as its output.
    void noteReads(const BatchItem& item, const std::vector<std::filesystem::path>& files);

    // Claims an output path before it is written. Throws OutputConflict when the path is already
    // an output of the run (another item's, or this item's own: an item never writes two outputs
    // to one path), a source of the run, or a file any item of the run has read. `remedy` ends
    // the message of a clash with another item's output; patternRemedy becomes the advice for the
    // run's pattern: add what it lacks of {index} and {name} (two items meet only when neither
    // tells them apart); with {index} in it, set {index} apart from the text beside it, as two
    // items' names can meet only where an index runs into digits beside it.
    void claimOutput(const BatchItem& item, const std::filesystem::path& output,
                     std::string_view remedy = patternRemedy);

    // For an item stopped part-way: removes the outputs it claimed and has since written (a file
    // that is new, or replaced since the claim), so that no half set of outputs is left looking
    // finished. A file left unchanged since the claim (an earlier run's) stays. Returns what was
    // removed.
    std::vector<std::filesystem::path> removeOutputsOf(const Uuid& item);

    // A choice every item of the run must share (the texture set of a stem, a bracket, a decoded
    // watermark): the first caller under `key` runs `decide`; callers arriving meanwhile wait for
    // it, and every caller gets the same value, kept for the life of the ledger. When `decide`
    // throws, the error is kept as the decision and rethrown to every caller of that key, so all
    // items of the run fail alike rather than one deciding differently on a retry. `decide` must
    // not ask for its own key. Asking one key for two types throws std::logic_error.
    template <class T, class Decide>
    const T& decideOnce(const std::string& key, Decide&& decide) {
        const auto [decision, mine] = decisionFor(key, typeid(T));
        if (mine) {
            try {
                settle(*decision, std::make_shared<const T>(std::forward<Decide>(decide)()), nullptr);
            } catch (...) {
                settle(*decision, nullptr, std::current_exception());
            }
        }
        return *static_cast<const T*>(await(*decision).get());
    }

private:
    struct Reader {
        Uuid item;
        std::filesystem::path source;
    };
    // Tells a file written since a moment from the one that was there then.
    struct FileIdentity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t modifiedNanoseconds = 0;
        std::int64_t size = 0;
        friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    };
    static std::optional<FileIdentity> fileIdentity(const std::filesystem::path& file);

    struct Writer {
        Uuid item;
        std::filesystem::path source;
        std::optional<FileIdentity> before;  // the file at the path when it was claimed, if any
    };
    struct Decision {
        std::type_index type;
        bool settled = false;
        std::shared_ptr<const void> value;
        std::exception_ptr error;
        explicit Decision(std::type_index t) : type(t) {}
    };

    // The decision under `key`, made when missing; true when the caller made it and must decide.
    std::pair<std::shared_ptr<Decision>, bool> decisionFor(const std::string& key, std::type_index type);
    void settle(Decision& decision, std::shared_ptr<const void> value, std::exception_ptr error);
    std::shared_ptr<const void> await(Decision& decision);

    // Advice fitted to the run's pattern: for two items writing one path, and for an output on a
    // file the run reads (where another output folder always helps).
    std::string itemsRemedy() const;
    std::string readRemedy() const;

    std::vector<std::filesystem::path> sources_;
    std::map<std::filesystem::path, std::filesystem::path> sourceForms_;  // path form -> as given
    std::optional<std::string> namingPattern_;

    std::mutex mutex_;
    std::condition_variable settledChanged_;
    std::map<std::filesystem::path, Writer> outputs_;
    std::map<std::filesystem::path, std::vector<Reader>> reads_;
    std::map<std::string, std::shared_ptr<Decision>> decisions_;
};

}  // namespace morvale

#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <QObject>
#include <QString>

#include "batch_core/batch_item.h"
#include "batch_core/licensed_product.h"
#include "batch_core/uuid.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/update_checker.h"

class QTimer;

namespace morvale {

class BatchQueueManager;
class IngestWorker;
struct ExecutionReport;
class UserDefaults;

// Platform seams of the view model; tests replace them.
struct StandaloneServices {
    std::shared_ptr<UserDefaults> defaults;  // null: the user's own store
    UpdateChecker::Environment updates;      // its store defaults to `defaults`
    // Shows and selects paths in the desktop's file manager. Null: the desktop's file
    // manager over D-Bus, falling back to opening the folder; a folder nothing could open
    // is reported in the log.
    std::function<void(const std::vector<std::filesystem::path>&)> revealInFileManager;
    std::chrono::milliseconds saveDelay{400};
    // Concurrency of a run; 0 means one item per processor.
    int maxConcurrentTasks = 0;
};

// The application's brain, one per process, living on the GUI thread: the queue the
// user sees, the current preset with its options, the naming pattern and output
// folder (restored at creation, saved 0.4 s after the last change), the log, the
// overall progress and the batch queue manager that runs jobs. The window and the
// menus read its state, call its operations and follow its signals.
//
// Work never blocks the GUI thread: folder expansion runs on a worker thread, a run
// runs on its own thread, and the queue's listeners reach this object as queued calls.
class StandaloneViewModel : public QObject {
    Q_OBJECT

public:
    using Services = StandaloneServices;

    static constexpr std::size_t maxLogLines = 500;

    // Restores the preset (leniently), the naming pattern and the output folder,
    // wires the queue's listeners and starts the background update check (which runs
    // only when `services.updates.backgroundChecksAllowed`). Restoring never saves.
    StandaloneViewModel(std::unique_ptr<PresetSlot> preset, LicensedProduct product, Services services = {},
                        QObject* parent = nullptr);
    // Same as shutdown().
    ~StandaloneViewModel() override;

    // Quitting: writes a pending settings save now, cancels a run and asks its running
    // items to stop (they end within about 100 ms of work, leaving no partial file), then
    // waits for them. Safe to call more than once.
    void shutdown();

    // ---- persisted settings; every assignment schedules one debounced save ----
    const BatchPreset& preset() const { return preset_->preset(); }
    const PresetSlot& presetSlot() const { return *preset_; }
    // The current preset as its concrete type, or null for another type.
    template <class P>
    const P* presetAs() const {
        auto* slot = dynamic_cast<const TypedPresetSlot<P>*>(preset_.get());
        return slot ? &slot->value() : nullptr;
    }
    // Replaces the preset (ignored when P is not the slot's type).
    template <class P>
    void setPreset(P preset) {
        if (auto* slot = dynamic_cast<TypedPresetSlot<P>*>(preset_.get())) {
            slot->value() = std::move(preset);
            presetAssigned();
        }
    }
    // Edits the preset in place, as the option forms do field by field.
    template <class P, class Edit>
    void editPreset(Edit&& edit) {
        if (auto* slot = dynamic_cast<TypedPresetSlot<P>*>(preset_.get())) {
            std::forward<Edit>(edit)(slot->value());
            presetAssigned();
        }
    }

    const std::string& namingPattern() const { return namingPattern_; }
    void setNamingPattern(std::string pattern);
    const std::filesystem::path& outputDirectory() const { return outputDirectory_; }
    void setOutputDirectory(std::filesystem::path folder);

    // "Reset All Settings": the given preset and its default naming pattern; the
    // output folder, the queue and the log stay. One save follows.
    template <class P>
    void resetSettings(P preset) {
        std::string pattern = preset.defaultNamingPattern();
        setPreset(std::move(preset));
        setNamingPattern(std::move(pattern));
    }

    // ---- state shown by the window ----
    // A deque: appending never moves the items already queued, however long the queue.
    const std::deque<BatchItem>& queueItems() const { return queueItems_; }
    // Row of the item with this id, or -1.
    int rowOf(const Uuid& id) const;
    const std::set<Uuid>& selection() const { return selection_; }
    void setSelection(std::set<Uuid> selection);
    // True from a run's start until the run ends or a cancel is accepted.
    bool isProcessing() const { return isProcessing_; }
    // Mean progress over the current run's started items; 0 when a run starts.
    double overallProgress() const { return overallProgress_; }
    bool isDropTargeted() const { return isDropTargeted_; }
    void setDropTargeted(bool targeted);
    const std::deque<std::string>& logLines() const { return logLines_; }
    bool showLog() const { return showLog_; }
    void setShowLog(bool show);
    const std::unordered_map<Uuid, std::vector<std::filesystem::path>>& itemOutputs() const { return itemOutputs_; }
    // Pending and failed items.
    int runnableCount() const;
    // Whether any item is completed or skipped (what clearFinished() removes).
    bool hasFinishedItems() const { return finishedCount_ > 0; }
    // Whether start() would start a run now: not processing, no earlier run still
    // draining after a cancel, and something runnable.
    bool canStart() const;
    // True while dropped paths are being expanded.
    bool isIngesting() const { return pendingIngests_ > 0; }

    UpdateChecker& updates() { return *updates_; }

    // Appends one line (no prefix added), keeping the last 500.
    void log(const std::string& line);

    // ---- operations ----
    // Queues the files of one drop or one open-panel choice: folders are expanded on a
    // worker thread, files the preset can't take or already queued are dropped
    // silently. Allowed during a run. itemsAppended() then ingestFinished() follow.
    void ingest(const std::vector<std::filesystem::path>& paths);
    // Runs the pending and failed items with a copy of the current preset. Refused
    // silently while processing or while a cancelled run is still draining.
    void start();
    // Stops starting items; running items finish. Any time. A cancel made right after
    // start(), before the run has started any item, still stops the whole run.
    void cancel();
    // Creates the output folder if needed and shows it in the file manager.
    void revealOutput();
    // Shows the item's outputs that still exist, else its source file.
    void reveal(const BatchItem& item);
    // Refused while processing.
    void remove(const std::set<Uuid>& ids);
    // Drops completed and skipped items. Any time.
    void clearFinished();

signals:
    void presetChanged();
    void namingPatternChanged();
    void outputDirectoryChanged();
    // Rows [first, first + count) were appended to queueItems().
    void itemsAppended(int first, int count);
    // Rows were removed: `runs` holds each run of adjacent removed rows as [first, last] in the
    // numbering from before the removal, in ascending order. Emitted once queueItems() has
    // dropped them all, so a follower removes the runs from the last one to the first.
    void rowsRemoved(const std::vector<std::pair<int, int>>& runs);
    // Rows were removed or reordered: re-read queueItems().
    void queueReset();
    // The item at `row` changed its status, progress or message.
    void itemChanged(int row);
    // Items in rows [first, last] may have changed at once (a run's start resets its items): one
    // signal for them all, so a large queue is not walked once per item.
    void rowsChanged(int first, int last);
    void selectionChanged();
    void processingChanged(bool processing);
    void overallProgressChanged(double progress);
    void dropTargetedChanged(bool targeted);
    // One line was appended to logLines() (older lines may have been dropped).
    void logLineAppended(const QString& line);
    void showLogChanged(bool shown);
    void itemOutputsChanged(const morvale::Uuid& id);
    // One ingest() call has been applied.
    void ingestFinished();
    // A run's thread has returned and its summary line is logged.
    void runFinished();
    // The debounced save wrote the settings.
    void settingsSaved();

private:
    void restoreSettings();
    void wireListeners();
    void presetAssigned();
    void saveSoon();
    void saveNow();
    // Applies the next few thousand items of the oldest delivered drop, and posts itself again
    // while items wait.
    void drainIngestMailbox();
    void applyIngest(std::vector<BatchItem> items, bool dropComplete);
    struct PendingRun;
    // Copies the next items of a started run into its job, and hands the job to the queue once
    // they are all in.
    void collectRun(const std::shared_ptr<PendingRun>& run);
    void launchRun(const std::shared_ptr<PendingRun>& run);
    void applyStatus(const Uuid& id, ProcessingStatus status, double progress, std::optional<std::string> message);
    // Applies the oldest few hundred status updates the run's threads delivered, and posts itself
    // again while updates wait.
    void drainStatusMailbox();
    void applyOutputs(const Uuid& id, std::vector<std::filesystem::path> outputs);
    void finishRun(const ExecutionReport& report);
    void publishProgress();
    void setProcessing(bool processing);
    // Drops the given rows (ascending, no repeats) in one pass and tells the followers.
    void eraseRows(const std::vector<std::size_t>& rows);
    struct Discarded;
    void discard(Discarded discarded);
    // Frees the next slice of what large removals dropped, and posts itself again while any is left.
    void freeDiscarded();
    void revealPaths(const std::vector<std::filesystem::path>& paths);

    std::unique_ptr<PresetSlot> preset_;
    std::string namingPattern_;
    std::filesystem::path outputDirectory_;
    std::deque<BatchItem> queueItems_;
    std::set<Uuid> selection_;
    bool isProcessing_ = false;
    double overallProgress_ = 0.0;
    bool isDropTargeted_ = false;
    std::deque<std::string> logLines_;
    bool showLog_ = false;
    std::unordered_map<Uuid, std::vector<std::filesystem::path>> itemOutputs_;

    Services services_;
    std::unique_ptr<UpdateChecker> updates_;
    std::unique_ptr<BatchQueueManager> queueManager_;
    QTimer* saveTimer_ = nullptr;

    // Lasting index of the queue: row by id, and the queued source paths, so a drop
    // is checked against the queue without a rescan.
    std::unordered_map<Uuid, std::size_t> rowById_;
    std::unordered_set<std::string> queuedPaths_;
    // Per row, beside queueItems_: whether the item belongs to the current (or last) run, which
    // alone the overall progress counts, and what it adds to that progress once started.
    struct RunMark {
        bool inRun = false;
        bool started = false;
        double share = 0.0;
    };
    std::vector<RunMark> runMarks_;
    int runStarted_ = 0;  // run items counted in the overall progress
    double runProgressSum_ = 0.0;
    // What large removals dropped, waiting to be freed.
    struct Discarded {
        std::deque<BatchItem> items;
        std::unordered_map<Uuid, std::size_t> rowById;
        std::unordered_set<std::string> queuedPaths;
        std::set<Uuid> selection;
    };
    std::deque<Discarded> discarded_;
    // While the view model tells its followers about removed rows, the list's own selection
    // follows the removal; the selection kept here is already what it should be.
    bool removingRows_ = false;
    int runnableCount_ = 0;  // pending and failed items, kept up to date per change
    int finishedCount_ = 0;  // completed and skipped items, likewise
    int pendingIngests_ = 0;
    bool runActive_ = false;
    bool shutDown_ = false;

    // Cancels the current (or last) run; made anew by each start() and handed to the queue
    // with the job, so a cancel reaches its run at any moment after start().
    std::stop_source cancelSource_;

    struct StatusUpdate {
        Uuid id;
        ProcessingStatus status;
        double progress;
        std::optional<std::string> message;
    };
    std::mutex statusMailboxMutex_;
    std::deque<StatusUpdate> statusMailbox_;  // filled by the run's threads, emptied on the GUI thread

    std::mutex ingestMailboxMutex_;
    std::deque<std::vector<BatchItem>> ingestMailbox_;  // filled by the ingest worker, emptied on the GUI thread
    std::size_t ingestTaken_ = 0;  // items of the mailbox's first drop already applied
    std::unique_ptr<IngestWorker> ingestWorker_;
    std::jthread runThread_;
};

}  // namespace morvale

#include "batch_ui/standalone_view_model.h"

#include <algorithm>
#include <exception>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/execution_report.h"
#include "batch_core/platform.h"
#include "batch_core/processing_job.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/file_manager_reveal.h"
#include "batch_ui/ingest_worker.h"

namespace morvale {

namespace {

constexpr const char* kSettingsKey = "settings";
constexpr const char* kNamingPatternKey = "namingPattern";
constexpr const char* kOutputDirectoryKey = "outputDirectory";

// Ingest hands over lexically normal paths, so the text itself tells two queued files apart.
const std::string& pathKey(const std::filesystem::path& path) { return path.native(); }

// Items of one drop applied per turn of the event loop: a drop of tens of thousands of files then
// arrives over several turns, and the window repaints and answers in between.
constexpr std::size_t kIngestChunk = 2048;

// Items of a started run copied into its job per turn of the event loop.
constexpr std::size_t kJobChunk = 2048;
// Status updates applied in one turn of the event loop.
constexpr std::size_t kStatusChunk = 512;

// Items of a large removal freed per turn of the event loop.
constexpr std::size_t kFreeChunk = 4096;

// Up to this many runs of adjacent rows, a change or removal is told run by run; past it, as one
// span or one reset.
constexpr std::size_t kRangesSignalled = 16;

bool isFinished(ProcessingStatus status) { return isTerminal(status); }

bool isRunnable(ProcessingStatus status) {
    return status == ProcessingStatus::pending || status == ProcessingStatus::failed;
}

// What clearFinished() removes.
bool isCleared(ProcessingStatus status) {
    return status == ProcessingStatus::completed || status == ProcessingStatus::skipped;
}

// A run counts an item once it has started: it left pending, or reported progress.
bool hasStarted(const BatchItem& item) { return item.status != ProcessingStatus::pending || item.progress > 0.0; }

double contributionOf(const BatchItem& item) { return isFinished(item.status) ? 1.0 : item.progress; }

std::string summaryLine(const ExecutionReport& report) {
    return "Done in " + formatFixed(report.durationSeconds, 1) + "s: " + std::to_string(report.successCount) +
           " finished, " + std::to_string(report.failureCount) + " failed, " + std::to_string(report.skippedCount) +
           " skipped.";
}

}  // namespace

StandaloneViewModel::StandaloneViewModel(std::unique_ptr<PresetSlot> preset, LicensedProduct product,
                                         Services services, QObject* parent)
    : QObject(parent), preset_(std::move(preset)), services_(std::move(services)) {
    if (!services_.defaults) {
        services_.defaults = std::make_shared<UserDefaults>(UserDefaults::defaultFilePath(std::string(rawValue(product))));
    }
    if (!services_.updates.defaults) services_.updates.defaults = services_.defaults;
    if (!services_.revealInFileManager) {
        // The answer may come after this object is gone (the file manager is asked over D-Bus).
        services_.revealInFileManager = [self = QPointer<StandaloneViewModel>(this)](
                                            const std::vector<std::filesystem::path>& paths) {
            morvale::revealInFileManager(paths, [self](const std::string& line) {
                if (!self.isNull()) self->log(line);
            });
        };
    }

    updates_ = std::make_unique<UpdateChecker>(product, services_.updates);
    queueManager_ = std::make_unique<BatchQueueManager>();

    saveTimer_ = new QTimer(this);
    saveTimer_->setSingleShot(true);
    saveTimer_->setInterval(services_.saveDelay);
    connect(saveTimer_, &QTimer::timeout, this, &StandaloneViewModel::saveNow);

    // The items travel through a mailbox under our own mutex rather than inside the queued call, so the
    // hand-off from the worker to the GUI thread is ordered where every tool (and reader) can see it.
    ingestWorker_ = std::make_unique<IngestWorker>([this](std::vector<BatchItem> items) {
        {
            std::lock_guard lock(ingestMailboxMutex_);
            ingestMailbox_.push_back(std::move(items));
        }
        QMetaObject::invokeMethod(this, [this] { drainIngestMailbox(); }, Qt::QueuedConnection);
    });

    restoreSettings();
    wireListeners();
    updates_->checkInBackground();
}

StandaloneViewModel::~StandaloneViewModel() {
    shutdown();
    // The checker's worker must be joined before the members it posts to go away.
    updates_.reset();
}

void StandaloneViewModel::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (saveTimer_->isActive()) {
        saveTimer_->stop();
        saveNow();
    }
    if (runActive_) {
        // Long items stop within about 100 ms of work and remove their partial files.
        cancelSource_.request_stop();
        queueManager_->stopAll();
    }
    if (runThread_.joinable()) runThread_.join();
    runActive_ = false;
    if (isProcessing_) setProcessing(false);
    ingestWorker_->stop();
}

// ---- settings ----

void StandaloneViewModel::restoreSettings() {
    const std::string givenDefaultPattern = preset_->preset().defaultNamingPattern();
    UserDefaults& store = *services_.defaults;

    // Only a map whose every value is text is offered to the preset; anything else
    // leaves the given preset in place.
    if (const auto stored = store.value(kSettingsKey); stored && stored->is_object()) {
        PresetSettings settings;
        bool allText = true;
        for (const auto& [key, value] : stored->items()) {
            if (!value.is_string()) {
                allText = false;
                break;
            }
            settings.emplace(key, value.get<std::string>());
        }
        if (allText) {
            try {
                preset_->restore(settings);
            } catch (const std::exception&) {
                // a settings map the codec cannot read keeps the given preset
            }
        }
    }

    if (const auto pattern = store.string(kNamingPatternKey)) {
        namingPattern_ = *pattern;
    } else {
        namingPattern_ = givenDefaultPattern;
    }

    if (const auto folder = store.string(kOutputDirectoryKey); folder && !folder->empty()) {
        outputDirectory_ = std::filesystem::path(*folder);
    } else {
        outputDirectory_ = BatchConfiguration::defaultConfiguration().outputDirectory;
    }
}

void StandaloneViewModel::wireListeners() {
    queueManager_->addStatusListener(BatchQueueManager::ItemStatusListener(
        [this](const Uuid& id, ProcessingStatus status, double progress, const std::optional<std::string>& message) {
            // Through a mailbox, drained a slice per turn of the event loop: items that end at once
            // report faster than the window takes them, and one queued call each would pile up into
            // one turn that answers nothing for seconds.
            bool first = false;
            {
                std::lock_guard lock(statusMailboxMutex_);
                first = statusMailbox_.empty();
                statusMailbox_.push_back(StatusUpdate{id, status, progress, message});
            }
            if (first) QMetaObject::invokeMethod(this, [this] { drainStatusMailbox(); }, Qt::QueuedConnection);
        }));
    queueManager_->addLogListener(BatchQueueManager::LogListener([this](const std::string& line) {
        QMetaObject::invokeMethod(this, [this, line] { log(line); }, Qt::QueuedConnection);
    }));
    queueManager_->addOutputListener(BatchQueueManager::OutputListener(
        [this](const Uuid& id, const std::vector<std::filesystem::path>& outputs) {
            QMetaObject::invokeMethod(
                this, [this, id, outputs] { applyOutputs(id, outputs); }, Qt::QueuedConnection);
        }));
}

void StandaloneViewModel::presetAssigned() {
    emit presetChanged();
    saveSoon();
}

void StandaloneViewModel::setNamingPattern(std::string pattern) {
    namingPattern_ = std::move(pattern);
    emit namingPatternChanged();
    saveSoon();
}

void StandaloneViewModel::setOutputDirectory(std::filesystem::path folder) {
    outputDirectory_ = std::move(folder);
    emit outputDirectoryChanged();
    saveSoon();
}

void StandaloneViewModel::saveSoon() {
    if (shutDown_) {
        saveNow();
        return;
    }
    saveTimer_->start();  // restarting replaces the pending save
}

void StandaloneViewModel::saveNow() {
    UserDefaults& store = *services_.defaults;
    store.setStringMap(kSettingsKey, preset_->encode());
    store.setString(kNamingPatternKey, namingPattern_);
    store.setString(kOutputDirectoryKey, outputDirectory_.string());
    emit settingsSaved();
}

// ---- plain state ----

int StandaloneViewModel::rowOf(const Uuid& id) const {
    const auto found = rowById_.find(id);
    return found == rowById_.end() ? -1 : static_cast<int>(found->second);
}

void StandaloneViewModel::setSelection(std::set<Uuid> selection) {
    if (removingRows_) return;
    selection_ = std::move(selection);
    emit selectionChanged();
}

void StandaloneViewModel::setDropTargeted(bool targeted) {
    isDropTargeted_ = targeted;
    emit dropTargetedChanged(targeted);
}

void StandaloneViewModel::setShowLog(bool show) {
    showLog_ = show;
    emit showLogChanged(show);
}

int StandaloneViewModel::runnableCount() const { return runnableCount_; }

bool StandaloneViewModel::canStart() const {
    return !isProcessing_ && !runActive_ && !shutDown_ && runnableCount() > 0;
}

void StandaloneViewModel::log(const std::string& line) {
    logLines_.push_back(line);
    while (logLines_.size() > maxLogLines) logLines_.pop_front();
    emit logLineAppended(QString::fromStdString(line));
}

void StandaloneViewModel::setProcessing(bool processing) {
    isProcessing_ = processing;
    emit processingChanged(processing);
}

// ---- ingest ----

void StandaloneViewModel::ingest(const std::vector<std::filesystem::path>& paths) {
    if (shutDown_) return;
    ++pendingIngests_;
    ingestWorker_->enqueue(paths, preset_->preset().supportedExtensions());
}

void StandaloneViewModel::drainIngestMailbox() {
    std::vector<BatchItem> chunk;
    bool dropComplete = false;
    bool more = false;
    {
        std::lock_guard lock(ingestMailboxMutex_);
        if (ingestMailbox_.empty()) return;
        std::vector<BatchItem>& front = ingestMailbox_.front();
        const std::size_t end = std::min(front.size(), ingestTaken_ + kIngestChunk);
        chunk.assign(std::make_move_iterator(front.begin() + static_cast<std::ptrdiff_t>(ingestTaken_)),
                     std::make_move_iterator(front.begin() + static_cast<std::ptrdiff_t>(end)));
        ingestTaken_ = end;
        if (ingestTaken_ >= front.size()) {
            ingestMailbox_.pop_front();
            ingestTaken_ = 0;
            dropComplete = true;
        }
        more = !ingestMailbox_.empty();
    }
    if (more) QMetaObject::invokeMethod(this, [this] { drainIngestMailbox(); }, Qt::QueuedConnection);
    applyIngest(std::move(chunk), dropComplete);
}

void StandaloneViewModel::applyIngest(std::vector<BatchItem> items, bool dropComplete) {
    const std::size_t first = queueItems_.size();
    for (auto& item : items) {
        // Checked against the queue as it is now, not as it was when the drop began.
        if (!queuedPaths_.insert(pathKey(item.sourceURL)).second) continue;
        rowById_.emplace(item.id, queueItems_.size());
        if (isRunnable(item.status)) ++runnableCount_;
        if (isCleared(item.status)) ++finishedCount_;
        queueItems_.push_back(std::move(item));
        runMarks_.emplace_back();
    }
    const std::size_t added = queueItems_.size() - first;
    if (added > 0) emit itemsAppended(static_cast<int>(first), static_cast<int>(added));
    if (!dropComplete) return;
    if (pendingIngests_ > 0) --pendingIngests_;
    emit ingestFinished();
}

// ---- run and cancel ----

// A started run while its job is being put together: the items are copied a slice per turn of the
// event loop, so that a run of tens of thousands of items never holds the window for long.
struct StandaloneViewModel::PendingRun {
    Uuid jobID;
    std::string presetID;
    std::string presetName;
    BatchConfiguration configuration;
    std::shared_ptr<const BatchPreset> preset;
    std::vector<Uuid> order;  // the run's items, in queue order
    std::size_t next = 0;     // first of `order` not yet copied
    std::vector<BatchItem> items;
    std::stop_token cancelled;
};

void StandaloneViewModel::start() {
    // A cancelled run that is still finishing its items keeps the next one waiting, so
    // two jobs never work on the same items.
    if (isProcessing_ || runActive_ || shutDown_) return;

    if (runnableCount_ == 0) return;

    // One pass over the statuses; only rows whose display changes (failed ones, or pending ones
    // that had progress or a message) are reported, a run of adjacent rows at a time.
    std::vector<Uuid> order;
    order.reserve(static_cast<std::size_t>(runnableCount_));
    std::vector<std::pair<int, int>> changed;
    for (std::size_t row = 0; row < queueItems_.size(); ++row) {
        BatchItem& item = queueItems_[row];
        RunMark& mark = runMarks_[row];
        mark = RunMark{};
        if (!isRunnable(item.status)) continue;
        const bool shownDifferently =
            item.status != ProcessingStatus::pending || item.progress != 0.0 || item.errorMessage.has_value();
        item.status = ProcessingStatus::pending;
        item.progress = 0.0;
        item.errorMessage.reset();
        mark.inRun = true;
        order.push_back(item.id);
        if (!shownDifferently) continue;
        const int at = static_cast<int>(row);
        if (!changed.empty() && changed.back().second + 1 == at) {
            changed.back().second = at;
        } else {
            changed.emplace_back(at, at);
        }
    }
    if (order.empty()) return;
    if (changed.size() <= kRangesSignalled) {
        for (const auto& [first, last] : changed) emit rowsChanged(first, last);
    } else {
        emit rowsChanged(changed.front().first, changed.back().second);
    }
    runStarted_ = 0;
    runProgressSum_ = 0.0;
    overallProgress_ = 0.0;
    emit overallProgressChanged(overallProgress_);
    setProcessing(true);

    const BatchPreset& current = preset_->preset();
    std::string pattern = namingPattern_.empty() ? current.defaultNamingPattern() : namingPattern_;
    const std::int64_t concurrency =
        services_.maxConcurrentTasks > 0 ? services_.maxConcurrentTasks : activeProcessorCount();
    auto run = std::make_shared<PendingRun>(PendingRun{
        Uuid::random(), current.id(), current.displayName(),
        BatchConfiguration(outputDirectory_, true, std::move(pattern), false, concurrency, false, true, {}),
        preset_->snapshot(), std::move(order), 0, {}, {}});
    run->items.reserve(run->order.size());

    if (runThread_.joinable()) runThread_.join();
    runActive_ = true;
    // The run's own cancel, handed to the queue with the job: a cancel() at any moment from here
    // on reaches this run, also before the queue has seen the job.
    cancelSource_ = std::stop_source();
    run->cancelled = cancelSource_.get_token();
    // The job is put together from the next turn of the event loop on, so that a cancel in the
    // same turn as the start stops the run before any item starts.
    QMetaObject::invokeMethod(this, [this, run] { collectRun(run); }, Qt::QueuedConnection);
}

void StandaloneViewModel::collectRun(const std::shared_ptr<PendingRun>& run) {
    if (run->cancelled.stop_requested() || shutDown_) {
        ExecutionReport report;
        report.presetID = run->presetID;
        report.presetName = run->presetName;
        // Queued, so that the summary follows the cancel's own log line.
        QMetaObject::invokeMethod(this, [this, report] { finishRun(report); }, Qt::QueuedConnection);
        return;
    }
    // Until the run is cancelled nothing removes its items (they are pending, and removing is
    // refused while processing); clearing finished items may move them, hence the look-up by id.
    const std::size_t end = std::min(run->order.size(), run->next + kJobChunk);
    for (; run->next < end; ++run->next) {
        const int row = rowOf(run->order[run->next]);
        if (row >= 0) run->items.push_back(queueItems_[static_cast<std::size_t>(row)]);
    }
    if (run->next < run->order.size()) {
        QMetaObject::invokeMethod(this, [this, run] { collectRun(run); }, Qt::QueuedConnection);
        return;
    }
    launchRun(run);
}

void StandaloneViewModel::launchRun(const std::shared_ptr<PendingRun>& run) {
    auto job = std::make_shared<ProcessingJob>(run->jobID, run->presetID, run->presetName, std::move(run->items),
                                               std::move(run->configuration));
    std::shared_ptr<const BatchPreset> snapshot = run->preset;
    if (runThread_.joinable()) runThread_.join();
    runThread_ = std::jthread([this, job = std::move(job), snapshot = std::move(snapshot),
                               cancelled = run->cancelled]() mutable {
        ExecutionReport report;
        report.presetID = job->presetID;
        report.presetName = job->presetName;
        try {
            report = queueManager_->submitAndStart(*job, *snapshot, cancelled);
        } catch (...) {
            // the queue does not throw; should it ever, the window must still leave the run
        }
        job.reset();
        snapshot.reset();
#ifdef __GLIBC__
        // A run of large maps leaves hundreds of megabytes in the allocator's free lists; an idle
        // window should not hold them. Trimmed here rather than on the GUI thread, where walking a
        // heap that holds a large queue took longer than a frame.
        malloc_trim(0);
#endif
        QMetaObject::invokeMethod(this, [this, report] { finishRun(report); }, Qt::QueuedConnection);
    });
}

void StandaloneViewModel::drainStatusMailbox() {
    std::vector<StatusUpdate> taken;
    bool more = false;
    {
        std::lock_guard lock(statusMailboxMutex_);
        const std::size_t count = std::min(kStatusChunk, statusMailbox_.size());
        taken.assign(std::make_move_iterator(statusMailbox_.begin()),
                     std::make_move_iterator(statusMailbox_.begin() + static_cast<std::ptrdiff_t>(count)));
        statusMailbox_.erase(statusMailbox_.begin(), statusMailbox_.begin() + static_cast<std::ptrdiff_t>(count));
        more = !statusMailbox_.empty();
    }
    for (StatusUpdate& update : taken) {
        applyStatus(update.id, update.status, update.progress, std::move(update.message));
    }
    if (more) QMetaObject::invokeMethod(this, [this] { drainStatusMailbox(); }, Qt::QueuedConnection);
}

void StandaloneViewModel::finishRun(const ExecutionReport& report) {
    {
        // Every status of the run is in before its end is told, a slice per turn as ever.
        std::lock_guard lock(statusMailboxMutex_);
        if (!statusMailbox_.empty() && !shutDown_) {
            QMetaObject::invokeMethod(this, [this, report] { finishRun(report); }, Qt::QueuedConnection);
            return;
        }
    }
    if (runThread_.joinable()) runThread_.join();
    runActive_ = false;
    setProcessing(false);
    log(summaryLine(report));
    emit runFinished();
}

void StandaloneViewModel::cancel() {
    // The queue's line first, so that a run ending on the cancel logs its summary after it.
    queueManager_->cancel();
    cancelSource_.request_stop();
    setProcessing(false);
}

void StandaloneViewModel::applyStatus(const Uuid& id, ProcessingStatus status, double progress,
                                      std::optional<std::string> message) {
    const int row = rowOf(id);
    if (row < 0) return;
    BatchItem& item = queueItems_[static_cast<std::size_t>(row)];
    runnableCount_ += (isRunnable(status) ? 1 : 0) - (isRunnable(item.status) ? 1 : 0);
    finishedCount_ += (isCleared(status) ? 1 : 0) - (isCleared(item.status) ? 1 : 0);
    item.status = status;
    item.progress = progress;
    item.errorMessage = std::move(message);
    emit itemChanged(row);
    RunMark& mark = runMarks_[static_cast<std::size_t>(row)];
    if (!mark.inRun) return;

    if (mark.started) {
        runProgressSum_ -= mark.share;
        --runStarted_;
    }
    mark.started = hasStarted(item);
    if (mark.started) {
        mark.share = contributionOf(item);
        runProgressSum_ += mark.share;
        ++runStarted_;
    }
    publishProgress();
}

void StandaloneViewModel::applyOutputs(const Uuid& id, std::vector<std::filesystem::path> outputs) {
    itemOutputs_[id] = std::move(outputs);
    emit itemOutputsChanged(id);
}

void StandaloneViewModel::publishProgress() {
    // A sum kept by adding and taking away drifts; with nothing counted it is exactly 0 again.
    if (runStarted_ == 0) runProgressSum_ = 0.0;
    const double mean = runStarted_ == 0 ? 0.0 : runProgressSum_ / static_cast<double>(runStarted_);
    overallProgress_ = std::clamp(mean, 0.0, 1.0);
    emit overallProgressChanged(overallProgress_);
}

// ---- queue edits ----

void StandaloneViewModel::eraseRows(const std::vector<std::size_t>& rows) {
    if (rows.empty()) return;
    for (const std::size_t row : rows) {
        const BatchItem& item = queueItems_[row];
        if (isRunnable(item.status)) --runnableCount_;
        if (isCleared(item.status)) --finishedCount_;
        if (runMarks_[row].started) {
            runProgressSum_ -= runMarks_[row].share;
            --runStarted_;
        }
    }
    if (rows.size() > queueItems_.size() - rows.size()) {
        // Most of the queue goes: the few rows that stay make a new queue and index, and the old
        // ones are freed a slice per turn of the event loop, as freeing tens of thousands of items
        // at once holds the window as long as making them did.
        Discarded discarded;
        std::deque<BatchItem> kept;
        std::vector<RunMark> keptMarks;
        keptMarks.reserve(queueItems_.size() - rows.size());
        std::unordered_map<Uuid, std::size_t> rowById;
        std::unordered_set<std::string> queuedPaths;
        rowById.reserve(queueItems_.size() - rows.size());
        queuedPaths.reserve(queueItems_.size() - rows.size());
        std::size_t skip = 0;
        for (std::size_t row = 0; row < queueItems_.size(); ++row) {
            if (skip < rows.size() && rows[skip] == row) {
                ++skip;
                continue;
            }
            rowById.emplace(queueItems_[row].id, kept.size());
            queuedPaths.insert(pathKey(queueItems_[row].sourceURL));
            kept.push_back(std::move(queueItems_[row]));
            keptMarks.push_back(runMarks_[row]);
        }
        discarded.items = std::exchange(queueItems_, std::move(kept));
        discarded.rowById = std::exchange(rowById_, std::move(rowById));
        discarded.queuedPaths = std::exchange(queuedPaths_, std::move(queuedPaths));
        runMarks_ = std::move(keptMarks);
        discard(std::move(discarded));
    } else {
        for (const std::size_t row : rows) {
            rowById_.erase(queueItems_[row].id);
            queuedPaths_.erase(pathKey(queueItems_[row].sourceURL));
        }
        // One pass from the first removed row: the rows after it move up, and only they get a new
        // row number in the index.
        std::size_t write = rows.front();
        std::size_t skip = 0;
        for (std::size_t read = rows.front(); read < queueItems_.size(); ++read) {
            if (skip < rows.size() && rows[skip] == read) {
                ++skip;
                continue;
            }
            queueItems_[write] = std::move(queueItems_[read]);
            runMarks_[write] = runMarks_[read];
            rowById_[queueItems_[write].id] = write;
            ++write;
        }
        queueItems_.erase(queueItems_.begin() + static_cast<std::ptrdiff_t>(write), queueItems_.end());
        runMarks_.resize(write);
    }

    std::vector<std::pair<int, int>> runs;
    for (const std::size_t row : rows) {
        const int at = static_cast<int>(row);
        if (!runs.empty() && runs.back().second + 1 == at) {
            runs.back().second = at;
        } else {
            runs.emplace_back(at, at);
        }
    }
    removingRows_ = true;
    if (runs.size() <= kRangesSignalled) {
        emit rowsRemoved(runs);
    } else {
        // Past a few runs, one reset costs the list less than a removal per run.
        emit queueReset();
    }
    removingRows_ = false;
    publishProgress();
}

void StandaloneViewModel::discard(Discarded discarded) {
    discarded_.push_back(std::move(discarded));
    if (discarded_.size() == 1) QMetaObject::invokeMethod(this, [this] { freeDiscarded(); }, Qt::QueuedConnection);
}

void StandaloneViewModel::freeDiscarded() {
    if (discarded_.empty()) return;
    Discarded& oldest = discarded_.front();
    for (std::size_t freed = 0; freed < kFreeChunk && !oldest.items.empty(); ++freed) oldest.items.pop_back();
    for (std::size_t freed = 0; freed < kFreeChunk && !oldest.rowById.empty(); ++freed) {
        oldest.rowById.erase(oldest.rowById.begin());
    }
    for (std::size_t freed = 0; freed < kFreeChunk && !oldest.queuedPaths.empty(); ++freed) {
        oldest.queuedPaths.erase(oldest.queuedPaths.begin());
    }
    for (std::size_t freed = 0; freed < kFreeChunk && !oldest.selection.empty(); ++freed) {
        oldest.selection.erase(oldest.selection.begin());
    }
    if (oldest.items.empty() && oldest.rowById.empty() && oldest.queuedPaths.empty() && oldest.selection.empty()) {
        discarded_.pop_front();
    }
    if (!discarded_.empty()) QMetaObject::invokeMethod(this, [this] { freeDiscarded(); }, Qt::QueuedConnection);
}

void StandaloneViewModel::remove(const std::set<Uuid>& requested) {
    if (isProcessing_) return;
    std::vector<std::size_t> rows;
    rows.reserve(std::min(requested.size(), queueItems_.size()));
    for (const Uuid& id : requested) {
        if (const int row = rowOf(id); row >= 0) rows.push_back(static_cast<std::size_t>(row));
    }
    std::sort(rows.begin(), rows.end());

    // The caller may pass the selection itself.
    bool selectionTouched = false;
    if (&requested == &selection_) {
        selectionTouched = !selection_.empty();
        Discarded discarded;
        discarded.selection = std::exchange(selection_, {});
        discard(std::move(discarded));
    } else if (requested.size() * 16 < selection_.size()) {
        for (const Uuid& id : requested) selectionTouched |= selection_.erase(id) > 0;
    } else {
        // Both sets are ordered alike: one walk through the two keeps the rest of the selection,
        // and the old set is freed later with the removed items.
        std::set<Uuid> kept;
        auto gone = requested.begin();
        for (const Uuid& id : selection_) {
            while (gone != requested.end() && *gone < id) ++gone;
            if (gone != requested.end() && *gone == id) {
                selectionTouched = true;
            } else {
                kept.emplace_hint(kept.end(), id);
            }
        }
        if (selectionTouched) {
            Discarded discarded;
            discarded.selection = std::exchange(selection_, std::move(kept));
            discard(std::move(discarded));
        }
    }

    eraseRows(rows);
    if (selectionTouched) emit selectionChanged();
}

void StandaloneViewModel::clearFinished() {
    if (finishedCount_ == 0) return;
    std::vector<std::size_t> rows;
    rows.reserve(static_cast<std::size_t>(finishedCount_));
    for (std::size_t row = 0; row < queueItems_.size(); ++row) {
        if (isCleared(queueItems_[row].status)) rows.push_back(row);
    }
    eraseRows(rows);
}

// ---- revealing ----

void StandaloneViewModel::revealOutput() {
    std::error_code ec;
    std::filesystem::create_directories(outputDirectory_, ec);  // shown anyway if this fails
    revealPaths({outputDirectory_});
}

void StandaloneViewModel::reveal(const BatchItem& item) {
    std::vector<std::filesystem::path> existing;
    if (const auto outputs = itemOutputs_.find(item.id); outputs != itemOutputs_.end()) {
        for (const auto& path : outputs->second) {
            std::error_code ec;
            if (std::filesystem::exists(path, ec)) existing.push_back(path);
        }
    }
    if (existing.empty()) existing.push_back(item.sourceURL);
    revealPaths(existing);
}

void StandaloneViewModel::revealPaths(const std::vector<std::filesystem::path>& paths) {
    services_.revealInFileManager(paths);
}

}  // namespace morvale

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
constexpr std::size_t kIngestChunk = 4096;

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
            QMetaObject::invokeMethod(
                this, [this, id, status, progress, message] { applyStatus(id, status, progress, message); },
                Qt::QueuedConnection);
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

void StandaloneViewModel::rebuildIndex() {
    rowById_.clear();
    queuedPaths_.clear();
    runnableCount_ = 0;
    finishedCount_ = 0;
    rowById_.reserve(queueItems_.size());
    queuedPaths_.reserve(queueItems_.size());
    for (std::size_t row = 0; row < queueItems_.size(); ++row) {
        rowById_.emplace(queueItems_[row].id, row);
        queuedPaths_.insert(pathKey(queueItems_[row].sourceURL));
        if (isRunnable(queueItems_[row].status)) ++runnableCount_;
        if (isCleared(queueItems_[row].status)) ++finishedCount_;
    }
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
    }
    const std::size_t added = queueItems_.size() - first;
    if (added > 0) emit itemsAppended(static_cast<int>(first), static_cast<int>(added));
    if (!dropComplete) return;
    if (pendingIngests_ > 0) --pendingIngests_;
    emit ingestFinished();
}

// ---- run and cancel ----

void StandaloneViewModel::start() {
    // A cancelled run that is still finishing its items keeps the next one waiting, so
    // two jobs never work on the same items.
    if (isProcessing_ || runActive_ || shutDown_) return;

    if (runnableCount_ == 0) return;

    // One pass, and one change signal for the rows it touched: with tens of thousands of items a
    // signal per item kept the window busy for seconds before the run began.
    std::vector<BatchItem> jobItems;
    jobItems.reserve(static_cast<std::size_t>(runnableCount_));
    runItems_.clear();
    runItems_.reserve(static_cast<std::size_t>(runnableCount_));
    std::size_t firstRow = queueItems_.size();
    std::size_t lastRow = 0;
    for (std::size_t row = 0; row < queueItems_.size(); ++row) {
        BatchItem& item = queueItems_[row];
        if (!isRunnable(item.status)) continue;
        item.status = ProcessingStatus::pending;
        item.progress = 0.0;
        item.errorMessage.reset();
        jobItems.push_back(item);
        runItems_.insert(item.id);
        firstRow = std::min(firstRow, row);
        lastRow = row;
    }
    if (jobItems.empty()) return;
    emit rowsChanged(static_cast<int>(firstRow), static_cast<int>(lastRow));
    runContribution_.clear();
    runProgressSum_ = 0.0;
    overallProgress_ = 0.0;
    emit overallProgressChanged(overallProgress_);
    setProcessing(true);

    const BatchPreset& current = preset_->preset();
    std::string pattern = namingPattern_.empty() ? current.defaultNamingPattern() : namingPattern_;
    const std::int64_t concurrency =
        services_.maxConcurrentTasks > 0 ? services_.maxConcurrentTasks : activeProcessorCount();
    BatchConfiguration configuration(outputDirectory_, true, std::move(pattern), false, concurrency, false, true, {});
    // Shared rather than copied into each hand-over: a job holds a copy of every item it runs.
    auto job = std::make_shared<const ProcessingJob>(Uuid::random(), current.id(), current.displayName(),
                                                     std::move(jobItems), std::move(configuration));
    std::shared_ptr<const BatchPreset> snapshot = preset_->snapshot();

    if (runThread_.joinable()) runThread_.join();
    runActive_ = true;
    // The run's own cancel, handed to the queue with the job: a cancel() at any moment from here
    // on reaches this run, also before the queue has seen the job.
    cancelSource_ = std::stop_source();
    // The run begins on the next turn of the event loop, so that a cancel in the same turn as the
    // start stops it before any item starts.
    QMetaObject::invokeMethod(
        this,
        [this, job, snapshot, cancelled = cancelSource_.get_token()] {
            if (cancelled.stop_requested() || shutDown_) {
                ExecutionReport report;
                report.presetID = job->presetID;
                report.presetName = job->presetName;
                // Queued, so that the summary follows the cancel's own log line.
                QMetaObject::invokeMethod(this, [this, report] { finishRun(report); }, Qt::QueuedConnection);
                return;
            }
            if (runThread_.joinable()) runThread_.join();
            runThread_ = std::jthread([this, job, snapshot, cancelled] {
                ExecutionReport report;
                report.presetID = job->presetID;
                report.presetName = job->presetName;
                try {
                    report = queueManager_->submitAndStart(*job, *snapshot, cancelled);
                } catch (...) {
                    // the queue does not throw; should it ever, the window must still leave the run
                }
                QMetaObject::invokeMethod(this, [this, report] { finishRun(report); }, Qt::QueuedConnection);
            });
        },
        Qt::QueuedConnection);
}

void StandaloneViewModel::finishRun(const ExecutionReport& report) {
    if (runThread_.joinable()) runThread_.join();
    runActive_ = false;
    setProcessing(false);
    log(summaryLine(report));
    emit runFinished();
#ifdef __GLIBC__
    // A run of large maps leaves hundreds of megabytes in the allocator's free lists; an idle
    // window should not hold them.
    malloc_trim(0);
#endif
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
    if (runItems_.count(id) == 0) return;

    if (const auto previous = runContribution_.find(id); previous != runContribution_.end()) {
        runProgressSum_ -= previous->second;
        runContribution_.erase(previous);
    }
    if (hasStarted(item)) {
        const double value = contributionOf(item);
        runContribution_.emplace(id, value);
        runProgressSum_ += value;
    }
    const double mean = runContribution_.empty() ? 0.0 : runProgressSum_ / static_cast<double>(runContribution_.size());
    overallProgress_ = std::clamp(mean, 0.0, 1.0);
    emit overallProgressChanged(overallProgress_);
}

void StandaloneViewModel::applyOutputs(const Uuid& id, std::vector<std::filesystem::path> outputs) {
    itemOutputs_[id] = std::move(outputs);
    emit itemOutputsChanged(id);
}

void StandaloneViewModel::updateProgress() {
    runContribution_.clear();
    runProgressSum_ = 0.0;
    for (const auto& item : queueItems_) {
        if (runItems_.count(item.id) == 0 || !hasStarted(item)) continue;
        const double value = contributionOf(item);
        runContribution_.emplace(item.id, value);
        runProgressSum_ += value;
    }
    const double mean = runContribution_.empty() ? 0.0 : runProgressSum_ / static_cast<double>(runContribution_.size());
    overallProgress_ = std::clamp(mean, 0.0, 1.0);
    emit overallProgressChanged(overallProgress_);
}

// ---- queue edits ----

void StandaloneViewModel::remove(const std::set<Uuid>& requested) {
    if (isProcessing_) return;
    // The caller may pass the selection itself, which this function edits.
    const std::set<Uuid> ids = requested;
    const auto oldSize = queueItems_.size();
    std::erase_if(queueItems_, [&ids](const BatchItem& item) { return ids.count(item.id) > 0; });
    bool selectionTouched = false;
    for (const auto& id : ids) selectionTouched |= selection_.erase(id) > 0;
    if (queueItems_.size() != oldSize) {
        rebuildIndex();
        emit queueReset();
        updateProgress();
    }
    if (selectionTouched) emit selectionChanged();
}

void StandaloneViewModel::clearFinished() {
    const auto oldSize = queueItems_.size();
    if (finishedCount_ == 0) return;
    std::erase_if(queueItems_, [](const BatchItem& item) { return isCleared(item.status); });
    if (queueItems_.size() == oldSize) return;
    rebuildIndex();
    emit queueReset();
    updateProgress();
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

// The window's responsiveness with a large queue: the view model behind the real window (menus
// and list included, offscreen), and the longest stretch the GUI thread spends on one task (one
// event delivered, or one operation called as a click would call it) while N files are added,
// run, cleared, added again and removed. A task much over 100 ms is a freeze the user sees.
//
//   bench_queue_tasks [--benchmark_filter=...]
//
// Counters, all in milliseconds: ingest (longest task while the files arrive), start (the
// start() call with what it triggers at once), run (longest task during the run: status updates,
// relayouts, repaints), clear (clearFinished() and its aftermath), remove (the longer of selecting
// every row of the full queue and removing the selection), stall (the longest the window answered
// nothing through all of these, measured by a timer every 20 ms as its own lateness: a burst of
// small tasks delivered in one turn of the event loop stalls the window as one long task does), and
// the same per phase (stall_ingest: the first ingest; stall_run: start and run; stall_clear;
// stall_remove: the second ingest, select all and remove).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QListView>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch_core/batch_preset.h"
#include "batch_core/processing_context.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/main_menus.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/standalone_window.h"
#include "stall_meter.h"

namespace morvale {
namespace {

// Times every event the GUI thread delivers from its event loop (nested deliveries count within
// their outer one).
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        if (depth_++ > 0) {
            const bool handled = QApplication::notify(receiver, event);
            --depth_;
            return handled;
        }
        QElapsedTimer timer;
        timer.start();
        const bool handled = QApplication::notify(receiver, event);
        longest_ = std::max(longest_, timer.nsecsElapsed());
        --depth_;
        return handled;
    }

    void resetLongest() { longest_ = 0; }
    double longestMs() const { return static_cast<double>(longest_) / 1e6; }

private:
    int depth_ = 0;
    qint64 longest_ = 0;
};

TimingApplication* timingApp() { return static_cast<TimingApplication*>(QCoreApplication::instance()); }

// Every tenth file fails with a message long enough for two lines; the rest finish at once after
// reporting progress with a message, as the texture preset does.
class QuickPreset final : public BatchPreset {
public:
    std::string id() const override { return "bench.quick"; }
    std::string displayName() const override { return "Quick"; }
    std::string verticalName() const override { return "Bench"; }
    std::string description() const override { return "Finishes at once."; }
    std::string systemIconName() const override { return "bench"; }
    std::set<std::string> supportedExtensions() const override { return {"png"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        context.onProgressUpdate(0.5, "Packing channels");
        if (item.originalFileName.find("bad") != std::string::npos) {
            throw std::runtime_error("The roughness map " + item.originalFileName +
                                     "_Roughness.png is 1024 x 1024 but the ambient occlusion map is 2048 x 2048; "
                                     "resize one of them so that the set can be packed.");
        }
        return {};
    }
};

std::filesystem::path makeFiles(int files) {
    const auto root = std::filesystem::temp_directory_path() / ("morvale-bench-queue-" + std::to_string(files));
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    for (int i = 0; i < files; ++i) {
        const auto folder = root / ("set" + std::to_string(i / 1000));
        if (i % 1000 == 0) std::filesystem::create_directories(folder);
        std::ofstream(folder / ((i % 10 == 3 ? "bad_" : "tex_") + std::to_string(i) + ".png")) << "x";
    }
    return root;
}

// Runs the event loop until `done`, measuring the longest task; returns it in milliseconds.
template <class Done>
double longestUntil(Done done) {
    timingApp()->resetLongest();
    while (!done()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    for (int i = 0; i < 20; ++i) QApplication::processEvents();  // layouts and repaints that follow
    return timingApp()->longestMs();
}

// One call as a click makes it, then whatever it set off: the longer of the call and any task after.
template <class Call>
double callThenSettle(Call call) {
    QElapsedTimer timer;
    timer.start();
    call();
    const double callMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    return std::max(callMs, longestUntil([] { return true; }));
}

void BM_QueueTasks(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const auto root = makeFiles(files);
    const auto settings = std::filesystem::temp_directory_path() / "morvale-bench-queue-defaults.json";
    const auto output = std::filesystem::temp_directory_path() / "morvale-bench-queue-out";
    for (auto _ : state) {
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(settings);
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        StandaloneViewModel model(
            std::make_unique<TypedPresetSlot<QuickPreset>>(
                QuickPreset{}, [](const QuickPreset&) { return PresetSettings{}; },
                [](const PresetSettings&) { return std::optional<QuickPreset>(); }),
            LicensedProduct::morvale, services);
        model.setOutputDirectory(output);
        StandaloneScenesSettings sceneSettings;
        sceneSettings.trayAllowed = false;
        StandaloneScenes scenes(model, StandaloneBranding{"Morvale Express", "Subtitle", "cube", "Drop", "Hint",
                                                          "Process All", "texture", "{name}"},
                                [] {}, [] { return nullptr; }, sceneSettings);
        StandaloneWindow* window = scenes.window();
        window->resize(1040, 720);
        window->show();
        longestUntil([] { return true; });

        morvale::bench::StallMeter lateness;
        const double ingest = [&] {
            timingApp()->resetLongest();
            model.ingest({root});
            return longestUntil([&] { return !model.isIngesting(); });
        }();
        if (static_cast<int>(model.queueItems().size()) != files) {
            state.SkipWithError("not every file was queued");
            break;
        }
        const double ingestStall = lateness.take().longest;
        const double start = callThenSettle([&] { model.start(); });
        const double run = longestUntil([&] {
            return !model.isProcessing() && !model.logLines().empty() &&
                   model.logLines().back().rfind("Done in ", 0) == 0;
        });
        const double runStall = lateness.take().longest;
        const double clear = callThenSettle([&] { model.clearFinished(); });
        const double clearStall = lateness.take().longest;
        // The cleared files again, so that the whole queue is selected and removed.
        model.ingest({root});
        longestUntil([&] { return !model.isIngesting(); });
        if (static_cast<int>(model.queueItems().size()) != files) {
            state.SkipWithError("not every file was queued again");
            break;
        }
        // Two keys, two tasks: select all, then Delete (which removes a copy of the selection).
        const double selectAll = callThenSettle([&] { window->queueList()->selectAll(); });
        const double remove = std::max(selectAll, callThenSettle([&] {
                                           const std::set<Uuid> selected = model.selection();
                                           model.remove(selected);
                                       }));
        const double removeStall = lateness.take().longest;
        if (!model.queueItems().empty()) {
            state.SkipWithError("the queue was not emptied");
            break;
        }
        state.counters["ingest_ms"] = ingest;
        state.counters["start_ms"] = start;
        state.counters["run_ms"] = run;
        state.counters["clear_ms"] = clear;
        state.counters["remove_ms"] = remove;
        state.counters["stall_ingest_ms"] = ingestStall;
        state.counters["stall_run_ms"] = runStall;
        state.counters["stall_clear_ms"] = clearStall;
        state.counters["stall_remove_ms"] = removeStall;
        state.counters["stall_ms"] = lateness.total().longest;
        state.SetIterationTime(std::max({ingest, start, run, clear, remove, lateness.total().longest}) / 1000.0);
    }
    state.counters["files"] = static_cast<double>(files);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::remove_all(output, ec);
    std::filesystem::remove(settings, ec);
    std::filesystem::remove(settings.string() + ".lock", ec);
}
BENCHMARK(BM_QueueTasks)
    ->ArgNames({"files"})
    ->Arg(10000)
    ->Arg(50000)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace morvale

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    morvale::TimingApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

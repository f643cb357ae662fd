// One drop of 10,000 files, as one folder or as 10,000 selected files: from the ingest
// call until every file is a pending row of the window's queue list.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "batch_core/user_defaults.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/queue_list_model.h"
#include "batch_ui/standalone_view_model.h"

namespace morvale {
namespace {

class PngPreset final : public BatchPreset {
public:
    std::string id() const override { return "bench.png"; }
    std::string displayName() const override { return "PNG"; }
    std::string verticalName() const override { return "Bench"; }
    std::string description() const override { return "Takes PNG files."; }
    std::string systemIconName() const override { return "bench"; }
    std::set<std::string> supportedExtensions() const override { return {"png"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<std::filesystem::path> process(const BatchItem&, const ProcessingContext&) const override { return {}; }
};

// 100 folders of 100 files each, plus a few files the preset does not take.
std::filesystem::path makeDropFolder(int files) {
    const auto root = std::filesystem::temp_directory_path() / ("morvale-bench-drop-" + std::to_string(files));
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    for (int i = 0; i < files; ++i) {
        const auto folder = root / ("shot" + std::to_string(i / 100));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / ("frame" + std::to_string(i) + ".png")) << "x";
        if (i % 100 == 0) std::ofstream(folder / "notes.txt") << "x";
    }
    return root;
}

void BM_DropTenThousandFiles(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    const bool asFolder = state.range(1) != 0;
    const auto root = makeDropFolder(files);
    std::vector<std::filesystem::path> dropped;
    if (asFolder) {
        dropped.push_back(root);
    } else {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) dropped.push_back(entry.path());
        }
    }
    const auto settings = std::filesystem::temp_directory_path() / "morvale-bench-defaults.json";
    for (auto _ : state) {
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(settings);
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        StandaloneViewModel model(
            std::make_unique<TypedPresetSlot<PngPreset>>(
                PngPreset{}, [](const PngPreset&) { return PresetSettings{}; },
                [](const PresetSettings&) { return std::optional<PngPreset>(); }),
            LicensedProduct::morvale, services);
        QueueListModel rows(model);
        QListView list;
        list.setUniformItemSizes(true);
        list.setModel(&rows);
        list.resize(600, 400);
        list.show();
        QApplication::processEvents();

        QElapsedTimer timer;
        timer.start();
        model.ingest(dropped);
        while (model.isIngesting()) QApplication::processEvents(QEventLoop::AllEvents, 5);
        QApplication::processEvents();  // the list lays out its new rows
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);

        if (rows.rowCount() != files || model.runnableCount() != files) {
            state.SkipWithError("not every file was queued as pending");
            break;
        }
    }
    state.counters["files"] = static_cast<double>(files);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::remove(settings, ec);
}
BENCHMARK(BM_DropTenThousandFiles)
    ->ArgNames({"files", "asFolder"})
    ->Args({10000, 1})
    ->Args({10000, 0})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace morvale

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// How long the real texture window stops answering through one large run: the application's own
// window (offscreen), 500 folders of 100 small AO maps added at once, "Process All", "Clear
// Finished", the same files added again, select all and remove. A timer every 20 ms measures its own
// lateness; a late tick is a stretch in which the window answered nothing (no input, no paint).
//
//   bench_window_stall [folders] [files per folder] [same]
//
// With "same", every folder holds the same file names, so that all but the first folder's items
// fail (their outputs would overwrite the first's) with a message of two lines.
//
// Prints, per phase and in all: the longest stall and the sum of the stalls over 100 ms.
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QListView>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "batch_core/user_defaults.h"
#include "batch_ui/morvale_express_app.h"
#include "batch_ui/standalone_window.h"
#include "stall_meter.h"

namespace {

using morvale::bench::StallMeter;
using morvale::bench::Stalls;

template <class Done>
void runUntil(Done done) {
    while (!done()) QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 300) QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

void report(const char* phase, const Stalls& stalls, qint64 ms) {
    std::printf("%-8s %8lld ms   longest stall %8.1f ms   stalls over 100 ms %9.1f ms\n", phase,
                static_cast<long long>(ms), stalls.longest, stalls.over100);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int folders = argc > 1 ? std::atoi(argv[1]) : 500;
    const int perFolder = argc > 2 ? std::atoi(argv[2]) : 100;
    const bool sameNames = argc > 3 && std::string(argv[3]) == "same";
    QApplication application(argc, argv);

    const auto root = std::filesystem::temp_directory_path() / "morvale-bench-stall";
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    // The maps are kept for the next run of the same shape: writing 50,000 files takes longer than
    // the run itself.
    const auto maps = std::filesystem::temp_directory_path() /
                      ("morvale-bench-stall-maps-" + std::to_string(folders) + "x" + std::to_string(perFolder) +
                       (sameNames ? "-same" : ""));
    QImage pixels(4, 4, QImage::Format_Grayscale8);
    pixels.fill(200);
    for (int folder = 0; folder < folders; ++folder) {
        const auto dir = maps / ("Set" + std::to_string(folder));
        std::filesystem::create_directories(dir);
        for (int file = 0; file < perFolder; ++file) {
            const auto path = dir / ("Rock" + (sameNames ? std::string() : std::to_string(folder) + "x") +
                                     std::to_string(file) + "_AO.png");
            if (!std::filesystem::exists(path)) pixels.save(QString::fromStdString(path.string()));
        }
    }

    morvale::StandaloneServices services;
    services.defaults = std::make_shared<morvale::UserDefaults>(root / "defaults.json");
    services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
    morvale::StandaloneScenesSettings scenes;
    scenes.trayAllowed = false;
    auto app = std::make_unique<morvale::MorvaleExpressApp>(services, scenes);
    morvale::StandaloneViewModel& model = app->model();
    model.setOutputDirectory(root / "out");
    morvale::StandaloneWindow* window = app->body().window();
    window->resize(1040, 720);
    app->body().show();
    runUntil([] { return true; });

    const auto files = static_cast<std::size_t>(folders) * static_cast<std::size_t>(perFolder);
    StallMeter meter;
    QElapsedTimer phase;
    phase.start();
    model.ingest({maps});
    runUntil([&] { return !model.isIngesting(); });
    report("ingest", meter.take(), phase.restart());
    if (model.queueItems().size() != files) std::printf("queued %zu of %zu\n", model.queueItems().size(), files);

    model.start();
    runUntil([&] {
        return !model.isProcessing() && !model.logLines().empty() && model.logLines().back().rfind("Done in ", 0) == 0;
    });
    report("run", meter.take(), phase.restart());
    std::printf("         %s\n", model.logLines().back().c_str());
    for (const auto& item : model.queueItems()) {
        if (item.errorMessage) {
            std::printf("         e.g. %s\n", item.errorMessage->c_str());
            break;
        }
    }

    model.clearFinished();
    runUntil([] { return true; });
    report("clear", meter.take(), phase.restart());

    model.ingest({maps});
    runUntil([&] { return !model.isIngesting(); });
    report("re-add", meter.take(), phase.restart());
    window->queueList()->selectAll();
    runUntil([] { return true; });
    const std::set<morvale::Uuid> selected = model.selection();
    model.remove(selected);
    runUntil([] { return true; });
    report("remove", meter.take(), phase.restart());
    report("all", meter.total(), 0);

    model.shutdown();
    app.reset();
    std::filesystem::remove_all(root, ec);
    return 0;
}

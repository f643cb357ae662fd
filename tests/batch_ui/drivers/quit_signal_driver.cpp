// Runs one batch the way the application does (view model, queue, the application's signal
// handling and its way out after the event loop), for tests that signal it mid-run.
//
//   quit_signal_driver KIND SETTINGS OUTPUT INPUT...
//     KIND      texture-mipmaps (power of two with a mipmap chain), listing or podcast: the
//               vertical's default preset, the texture one switched to that mode
//     SETTINGS  the user-defaults file to use
//   Prints "running" once the first item is processing, and at the end "completed N" with the
//   number of items that completed; exits as the application does.
#include <QApplication>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "batch_core/user_defaults.h"
#include "batch_presets/vertical.h"
#include "batch_ui/quit_signals.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/vertical_preset_slot.h"

using namespace morvale;

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s texture-mipmaps|listing|podcast SETTINGS OUTPUT INPUT...\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    const QuitSignals quitSignals;
    const std::string kind = argv[1];
    std::unique_ptr<PresetSlot> slot;
    if (kind == "texture-mipmaps") {
        MorvalePreset preset = defaultMorvalePreset();
        preset.operationalMode = MorvalePreset::OperationalMode::powerOfTwoEnforce;
        preset.generateMipmaps = true;
        slot = makeVerticalPresetSlot(preset, Vertical::morvale);
    } else if (kind == "listing") {
        slot = makeVerticalPresetSlot(defaultVarnholtPreset(), Vertical::varnholt);
    } else {
        slot = makeVerticalPresetSlot(defaultSkeldonPreset(), Vertical::skeldon);
    }
    StandaloneServices services;
    services.defaults = std::make_shared<UserDefaults>(argv[2]);
    services.updates.backgroundChecksAllowed = false;
    services.maxConcurrentTasks = 2;
    StandaloneViewModel model(std::move(slot), LicensedProduct::morvale, services);
    model.setOutputDirectory(argv[3]);
    std::vector<std::filesystem::path> inputs(argv + 4, argv + argc);
    bool announced = false;
    QObject::connect(&model, &StandaloneViewModel::itemChanged, [&](int row) {
        if (announced || model.queueItems()[static_cast<std::size_t>(row)].status != ProcessingStatus::processing) return;
        announced = true;
        std::printf("running\n");
        std::fflush(stdout);
    });
    QObject::connect(&model, &StandaloneViewModel::ingestFinished, [&] { model.start(); });
    QObject::connect(&model, &StandaloneViewModel::runFinished, [] { QCoreApplication::quit(); });
    model.ingest(inputs);
    const int status = QApplication::exec();
    model.shutdown();
    // The last status changes are still on their way to the GUI thread.
    QCoreApplication::sendPostedEvents();
    std::size_t completed = 0;
    for (const auto& item : model.queueItems()) completed += item.status == ProcessingStatus::completed ? 1 : 0;
    std::printf("completed %zu\n", completed);
    return quitSignals.exitStatus(status);
}

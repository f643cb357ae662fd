#include "batch_ui/morvale_express_app.h"

#include "batch_presets/vertical.h"
#include "batch_ui/quit_signals.h"
#include "batch_ui/standalone_window.h"
#include "batch_ui/texture_option_form.h"
#include "batch_ui/update_checker.h"
#include "batch_ui/vertical_preset_slot.h"
#include "batch_ui/window_snapshot.h"

#include <QApplication>

#include <string>
#include <utility>

namespace morvale {

MorvaleExpressApp::MorvaleExpressApp(StandaloneServices services, StandaloneScenesSettings scenes)
    : services_(std::move(services)), sceneSettings_(std::move(scenes)), branding_(makeBranding()) {}

MorvaleExpressApp::~MorvaleExpressApp() {
    scenes_.reset();
    if (model_) {
        model_->shutdown();
    }
}

MorvalePreset MorvaleExpressApp::defaultPreset() {
    return MorvalePreset(MorvalePreset::OperationalMode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM,
                         true, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
}

StandaloneBranding MorvaleExpressApp::makeBranding() {
    return StandaloneBranding{
        "Morvale Express",
        "Channel packing, normal maps, sprite sheets and GPU-ready sizes",
        "morvale-express",
        "Drop Texture Maps, Frames or Material Folders Here",
        "Packs maps for Unreal, Unity and Godot, converts and builds normal maps, compiles sprite sheets, and "
        "checks tiling.",
        "Process All",
        "texture",
        std::string(MorvaleOptions::tokens),
    };
}

StandaloneViewModel& MorvaleExpressApp::model() {
    if (!model_) {
        model_ = std::make_unique<StandaloneViewModel>(makeVerticalPresetSlot(defaultPreset(), Vertical::morvale),
                                                       LicensedProduct::morvale, services_);
    }
    return *model_;
}

StandaloneScenes& MorvaleExpressApp::body() {
    if (!scenes_) {
        StandaloneViewModel& vm = model();
        auto options = [&vm]() -> QWidget* {
            auto* form = new MorvaleOptions(Binding<MorvalePreset>{
                [&vm] {
                    const MorvalePreset* current = vm.presetAs<MorvalePreset>();
                    return current != nullptr ? *current : defaultPreset();
                },
                [&vm](const MorvalePreset& preset) { vm.setPreset(preset); }});
            QObject::connect(&vm, &StandaloneViewModel::presetChanged, form, &MorvaleOptions::refresh);
            return form;
        };
        scenes_ = std::make_unique<StandaloneScenes>(
            vm, branding_, [&vm] { vm.resetSettings(defaultPreset()); }, options, sceneSettings_);
    }
    return *scenes_;
}

int MorvaleExpressApp::main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morvale Express"));
    QApplication::setDesktopFileName(QStringLiteral("morvale-express"));
    QApplication::setWindowIcon(productIcon(makeBranding().icon));

    StandaloneServices services;
    // A picture-taking run must not go on the network or speak up with an update offer.
    const bool snapshot = WindowSnapshot::parse(QCoreApplication::arguments()).has_value();
    services.updates.backgroundChecksAllowed = !snapshot && UpdateChecker::runsFromInstalledLocation();
    StandaloneScenesSettings scenes;
    scenes.trayAllowed = !snapshot;

    // Before anything can start a run, so that a run never meets a signal without it.
    const QuitSignals quitSignals;
    MorvaleExpressApp app(std::move(services), std::move(scenes));
    app.body().show();
    const int status = QApplication::exec();
    app.model().shutdown();
    return quitSignals.exitStatus(status);
}

}  // namespace morvale

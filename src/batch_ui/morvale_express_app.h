#pragma once

#include "batch_presets/morvale_preset.h"
#include "batch_ui/main_menus.h"
#include "batch_ui/standalone_branding.h"
#include "batch_ui/standalone_view_model.h"

#include <memory>

namespace morvale {

// The application entry of the texture product: the only product-specific code of the shell. It
// fixes the branding, the texture preset with this build's default options and the texture option
// form; the window, menus, tray item, queue, settings and update check are the generic shell's.
class MorvaleExpressApp {
public:
    MorvaleExpressApp(StandaloneServices services = {}, StandaloneScenesSettings scenes = {});
    ~MorvaleExpressApp();
    MorvaleExpressApp(const MorvaleExpressApp&) = delete;
    MorvaleExpressApp& operator=(const MorvaleExpressApp&) = delete;

    // Channel packing for Unreal, power-of-two on with the nearest power, no forced square, no size
    // limit, no mipmaps; "Reset All Settings" returns to it.
    static MorvalePreset defaultPreset();
    static StandaloneBranding makeBranding();

    const StandaloneBranding& branding() const { return branding_; }
    // Made the first time it is needed, then the same one for the life of the process.
    StandaloneViewModel& model();
    // The scenes: the main window with its menus and the tray item; made once.
    StandaloneScenes& body();

    // The program's entry: runs the application until it quits and returns 0 on a normal end. SIGTERM,
    // SIGINT and SIGHUP quit it as "Quit" does, and it then returns 128 + the signal's number.
    static int main(int argc, char** argv);

private:
    StandaloneServices services_;
    StandaloneScenesSettings sceneSettings_;
    StandaloneBranding branding_;
    std::unique_ptr<StandaloneViewModel> model_;
    std::unique_ptr<StandaloneScenes> scenes_;
};

}  // namespace morvale

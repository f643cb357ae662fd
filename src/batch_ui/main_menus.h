#pragma once

#include "batch_ui/standalone_branding.h"
#include "batch_ui/standalone_window.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace morvale {

class StandaloneViewModel;

struct StandaloneScenesSettings {
    StandalonePanels panels = StandalonePanels::dialogs();
    // The tray item is left out where no tray exists, and may be turned off.
    bool trayAllowed = true;
};

// The application's scenes: the main window with its menus (File, Batch, Help) and, where the
// desktop has a system tray, a tray item showing the batch state with the main commands. Every
// command is a call on the view model; enabled states follow its signals.
class StandaloneScenes : public QObject {
    Q_OBJECT

public:
    using OptionsBuilder = std::function<QWidget*()>;

    using Settings = StandaloneScenesSettings;

    // `resetSettings` is "Reset All Settings": it gives the view model the vertical's default preset.
    StandaloneScenes(StandaloneViewModel& model, StandaloneBranding branding, std::function<void()> resetSettings,
                     const OptionsBuilder& options, Settings settings = {}, QObject* parent = nullptr);
    ~StandaloneScenes() override;

    void show();

    StandaloneWindow* window() const { return window_.get(); }

    // "Morvale Express: 42%" while a run is in progress, else "Morvale Express: 3 waiting".
    static QString statusLine(const std::string& title, bool processing, double progress, long long runnable);

    // File menu.
    QAction* addFilesAction() const { return addFiles_; }
    QAction* addFolderAction() const { return addFolder_; }
    QAction* quitAction() const { return quit_; }
    // Batch menu.
    QMenu* batchMenu() const { return batchMenu_; }
    QAction* runAction() const { return run_; }
    QAction* cancelAction() const { return cancel_; }
    QAction* clearFinishedAction() const { return clearFinished_; }
    QAction* showOutputAction() const { return showOutput_; }
    QAction* resetAction() const { return reset_; }
    QAction* checkForUpdatesAction() const { return checkUpdates_; }
    // Tray item (the menu exists even where the tray icon does not).
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_.get(); }
    QAction* trayStatusAction() const { return trayStatus_; }
    QAction* trayRunAction() const { return trayRun_; }

    // Recomputes the enabled states and the tray's status line.
    void refresh();

private:
    void buildMenus(const std::function<void()>& resetSettings);
    void buildTray(bool allowed);
    void bringToFront();

    StandaloneViewModel& model_;
    StandaloneBranding branding_;
    std::unique_ptr<StandaloneWindow> window_;
    QMenu* batchMenu_ = nullptr;
    QAction* addFiles_ = nullptr;
    QAction* addFolder_ = nullptr;
    QAction* quit_ = nullptr;
    QAction* run_ = nullptr;
    QAction* cancel_ = nullptr;
    QAction* clearFinished_ = nullptr;
    QAction* showOutput_ = nullptr;
    QAction* reset_ = nullptr;
    QAction* checkUpdates_ = nullptr;
    std::unique_ptr<QMenu> trayMenu_;
    QSystemTrayIcon* tray_ = nullptr;
    QAction* trayStatus_ = nullptr;
    QAction* trayRun_ = nullptr;
};

}  // namespace morvale

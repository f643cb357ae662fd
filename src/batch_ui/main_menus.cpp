#include "batch_ui/main_menus.h"

#include "batch_ui/standalone_view_model.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>

#include <cmath>
#include <cstdio>
#include <utility>

namespace morvale {

StandaloneScenes::StandaloneScenes(StandaloneViewModel& model, StandaloneBranding branding,
                                   std::function<void()> resetSettings, const OptionsBuilder& options,
                                   Settings settings, QObject* parent)
    : QObject(parent), model_(model), branding_(std::move(branding)) {
    window_ = std::make_unique<StandaloneWindow>(model_, branding_, options ? options() : nullptr,
                                                 std::move(settings.panels));
    buildMenus(resetSettings);
    buildTray(settings.trayAllowed);

    for (auto signal : {&StandaloneViewModel::queueReset, &StandaloneViewModel::runFinished,
                        &StandaloneViewModel::ingestFinished}) {
        connect(&model_, signal, this, &StandaloneScenes::refresh);
    }
    connect(&model_, &StandaloneViewModel::itemsAppended, this, &StandaloneScenes::refresh);
    connect(&model_, &StandaloneViewModel::rowsRemoved, this, &StandaloneScenes::refresh);
    connect(&model_, &StandaloneViewModel::itemChanged, this, &StandaloneScenes::refresh);
    connect(&model_, &StandaloneViewModel::rowsChanged, this, &StandaloneScenes::refresh);
    connect(&model_, &StandaloneViewModel::processingChanged, this, &StandaloneScenes::refresh);
    connect(&model_, &StandaloneViewModel::overallProgressChanged, this, &StandaloneScenes::refresh);
    refresh();
}

StandaloneScenes::~StandaloneScenes() {
    if (tray_ != nullptr) {
        tray_->hide();
    }
}

void StandaloneScenes::buildMenus(const std::function<void()>& resetSettings) {
    QMenuBar* bar = window_->menuBar();

    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    addFiles_ = file->addAction(QStringLiteral("Add Files…"), window_.get(), &StandaloneWindow::addFiles);
    addFiles_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    addFolder_ = file->addAction(QStringLiteral("Add Folder…"), window_.get(), &StandaloneWindow::addFolder);
    file->addSeparator();
    quit_ = file->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    batchMenu_ = bar->addMenu(QStringLiteral("&Batch"));
    run_ = batchMenu_->addAction(QString::fromStdString(branding_.runLabel), this, [this] { model_.start(); });
    cancel_ = batchMenu_->addAction(QStringLiteral("Cancel"), this, [this] { model_.cancel(); });
    cancel_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    batchMenu_->addSeparator();
    clearFinished_ = batchMenu_->addAction(QStringLiteral("Clear Finished"), this, [this] { model_.clearFinished(); });
    showOutput_ = batchMenu_->addAction(QStringLiteral("Show Output Folder"), this, [this] { model_.revealOutput(); });
    showOutput_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    batchMenu_->addSeparator();
    reset_ = batchMenu_->addAction(QStringLiteral("Reset All Settings"), this, [resetSettings] {
        if (resetSettings) {
            resetSettings();
        }
    });

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    checkUpdates_ = help->addAction(QStringLiteral("Check for Updates…"), this, [this] { model_.updates().checkNow(); });
}

void StandaloneScenes::buildTray(bool allowed) {
    trayMenu_ = std::make_unique<QMenu>();
    trayStatus_ = trayMenu_->addAction(QString());
    trayStatus_->setEnabled(false);  // a status line, not a command
    trayMenu_->addSeparator();
    trayMenu_->addAction(QStringLiteral("Open ") + QString::fromStdString(branding_.title), this,
                         &StandaloneScenes::bringToFront);
    trayRun_ = trayMenu_->addAction(QString::fromStdString(branding_.runLabel), this, [this] { model_.start(); });
    trayMenu_->addAction(QStringLiteral("Show Output Folder"), this, [this] { model_.revealOutput(); });
    trayMenu_->addSeparator();
    trayMenu_->addAction(QStringLiteral("Quit"), qApp, &QCoreApplication::quit);

    if (allowed && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(productIcon(branding_.icon), this);
        tray_->setToolTip(QString::fromStdString(branding_.title));
        tray_->setContextMenu(trayMenu_.get());
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) {
                bringToFront();
            }
        });
    }
}

void StandaloneScenes::bringToFront() {
    // The window is never destroyed while the application runs (closing it quits), so bringing it
    // back is showing, raising and activating it.
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

void StandaloneScenes::show() {
    window_->show();
    if (tray_ != nullptr) {
        tray_->show();
    }
}

QString StandaloneScenes::statusLine(const std::string& title, bool processing, double progress, long long runnable) {
    char text[64];
    if (processing) {
        const double percent = std::isfinite(progress) ? std::trunc(progress * 100.0) : 0.0;
        const long long whole = percent < 0 ? 0 : (percent > 100 ? 100 : static_cast<long long>(percent));
        std::snprintf(text, sizeof text, ": %lld%%", whole);
    } else {
        std::snprintf(text, sizeof text, ": %lld waiting", runnable);
    }
    return QString::fromStdString(title) + QString::fromLatin1(text);
}

void StandaloneScenes::refresh() {
    const bool processing = model_.isProcessing();
    const bool canRun = model_.canStart();
    run_->setEnabled(canRun);
    trayRun_->setEnabled(canRun);
    cancel_->setEnabled(processing);
    trayStatus_->setText(statusLine(branding_.title, processing, model_.overallProgress(), model_.runnableCount()));
    if (tray_ != nullptr) {
        tray_->setToolTip(trayStatus_->text());
    }
}

}  // namespace morvale

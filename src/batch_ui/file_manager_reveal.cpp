#include "batch_ui/file_manager_reveal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QObject>
#include <QStringList>
#include <QUrl>

namespace morvale {

namespace {

QUrl urlOf(const std::filesystem::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path.string())); }

void openContainingFolder(const std::filesystem::path& path) {
    std::error_code ec;
    const bool isFolder = std::filesystem::is_directory(path, ec);
    QDesktopServices::openUrl(urlOf(isFolder ? path : path.parent_path()));
}

}  // namespace

void revealInFileManager(const std::vector<std::filesystem::path>& paths) {
    if (paths.empty()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(paths.front());
        return;
    }
    QStringList uris;
    for (const auto& path : paths) uris << urlOf(path).toString(QUrl::FullyEncoded);
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << uris << QString();
    // Asynchronous, so a slow or absent file manager never stalls the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    const std::filesystem::path first = paths.front();
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [first](QDBusPendingCallWatcher* done) {
        if (done->isError()) openContainingFolder(first);
        done->deleteLater();
    });
}

}  // namespace morvale

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

void openContainingFolder(const std::filesystem::path& path, const RevealFailure& onFailure) {
    std::error_code ec;
    const bool isFolder = std::filesystem::is_directory(path, ec);
    const std::filesystem::path folder = isFolder ? path : path.parent_path();
    // Qt says why only on standard error, which a desktop user never sees.
    if (!QDesktopServices::openUrl(urlOf(folder)) && onFailure) onFailure(revealFailureLine(folder));
}

}  // namespace

std::string revealFailureLine(const std::filesystem::path& folder) {
    return "Could not open the folder " + folder.string() + ": no file manager or launcher answered.";
}

void revealInFileManager(const std::vector<std::filesystem::path>& paths, RevealFailure onFailure) {
    if (paths.empty()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openContainingFolder(paths.front(), onFailure);
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
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [first, onFailure = std::move(onFailure)](QDBusPendingCallWatcher* done) {
        if (done->isError()) openContainingFolder(first, onFailure);
        done->deleteLater();
    });
}

}  // namespace morvale

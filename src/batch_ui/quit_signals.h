#pragma once

#include <QObject>

class QSocketNotifier;

namespace morvale {

// Treats SIGTERM, SIGINT and SIGHUP (a logout or shutdown, `kill`, Ctrl+C in a terminal) as
// "Quit": the first one ends the event loop, so the application stops its items, which remove
// their temporary files, scratch folders and the outputs of unfinished items, and then exits as
// it does after Quit. A second signal ends the process at once.
//
// The handler only writes a byte to a pipe; a socket notifier reads it on the GUI thread, where
// quitting is safe. One per process, made on the GUI thread before the event loop runs; the
// signals go back to their default actions when it is destroyed.
class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // The first signal received, or 0.
    int received() const;
    // What the process returns: `normal` when no signal came, else 128 + the signal's number, as
    // a shell reports a process its signal ended.
    int exitStatus(int normal) const;

private:
    void onReadable();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace morvale

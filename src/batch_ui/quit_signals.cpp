#include "batch_ui/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>

namespace morvale {

namespace {

constexpr int quitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A signal handler reaches nothing but statics: these are the only ones, written by the handler
// and by the one QuitSignals object of the process.
std::atomic<int> pipeWriteEnd{-1};
std::atomic<int> signalsSeen{0};
std::atomic<int> firstSignal{0};

static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

extern "C" void onQuitSignal(int number) {
    if (signalsSeen.fetch_add(1) > 0) ::_exit(128 + number);  // asked twice: no more waiting
    firstSignal.store(number);
    const int saved = errno;
    const char byte = 1;
    const int fd = pipeWriteEnd.load();
    // A full pipe already holds a byte that says the same.
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) errno = saved;
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalsSeen.store(0);
    firstSignal.store(0);
    pipeWriteEnd.store(pipe_[1]);
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::onReadable);
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : quitSignals) ::sigaction(number, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    for (const int number : quitSignals) ::signal(number, SIG_DFL);
    pipeWriteEnd.store(-1);
    delete notifier_;
    for (const int fd : pipe_) {
        if (fd >= 0) ::close(fd);
    }
}

int QuitSignals::received() const { return firstSignal.load(); }

int QuitSignals::exitStatus(int normal) const {
    const int number = received();
    return number == 0 ? normal : 128 + number;
}

void QuitSignals::onReadable() {
    char bytes[16];
    while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
    QCoreApplication::quit();
}

}  // namespace morvale

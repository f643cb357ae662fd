#include "batch_ui/update_checker.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <system_error>

#include <QDesktopServices>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QUrl>

#include "batch_core/curl_http_client.h"
#include "batch_core/http_client.h"
#include "batch_core/user_defaults.h"

#ifndef MORVALE_VERSION
#define MORVALE_VERSION "0"
#endif
#ifndef MORVALE_BUILD_NUMBER
#define MORVALE_BUILD_NUMBER "0"
#endif
#ifndef MORVALE_INSTALL_BINDIR
#define MORVALE_INSTALL_BINDIR ""
#endif

namespace morvale {

namespace {

constexpr double kSecondsPerDay = 86400.0;

// Modal message boxes, and the desktop's browser for downloads.
class MessageBoxPresenter final : public UpdateChecker::Presenter {
public:
    void showCheckFailed(const std::string& message, const std::string& informative) override {
        show(message, informative);
    }
    void showUpToDate(const std::string& message, const std::string& informative) override {
        show(message, informative);
    }
    bool offerUpdate(const std::string& message, const std::string& informative) override {
        QMessageBox box;
        box.setIcon(QMessageBox::Information);
        box.setText(QString::fromStdString(message));
        box.setInformativeText(QString::fromStdString(informative));
        QPushButton* download = box.addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box.setDefaultButton(download);
        box.exec();
        return box.clickedButton() == download;
    }
    void openURL(const std::string& url) override {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url), QUrl::StrictMode));
    }

private:
    static void show(const std::string& message, const std::string& informative) {
        QMessageBox box;
        box.setIcon(QMessageBox::Information);
        box.setText(QString::fromStdString(message));
        box.setInformativeText(QString::fromStdString(informative));
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    }
};

}  // namespace

std::int64_t parseBuildNumber(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return 0;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) return magnitude <= maxPositive ? static_cast<std::int64_t>(magnitude) : 0;
    if (magnitude <= maxPositive) return -static_cast<std::int64_t>(magnitude);
    return magnitude == maxPositive + 1 ? std::numeric_limits<std::int64_t>::min() : 0;
}

UpdateChecker::UpdateChecker(LicensedProduct product, Environment environment, QObject* parent)
    : QObject(parent), product_(product), env_(std::move(environment)) {
    if (!env_.http) env_.http = std::make_shared<CurlHttpClient>();
    if (!env_.presenter) env_.presenter = std::make_shared<MessageBoxPresenter>();
    if (!env_.defaults) {
        env_.defaults = std::make_shared<UserDefaults>(UserDefaults::defaultFilePath(std::string(rawValue(product))));
    }
    currentVersion_ = env_.currentVersion.empty() ? buildVersion() : env_.currentVersion;
    if (currentVersion_.empty()) currentVersion_ = "0";
    currentBuild_ = parseBuildNumber(env_.currentBuild.value_or(buildNumberText()));
}

UpdateChecker::~UpdateChecker() {
    if (worker_.joinable()) {
        worker_.request_stop();  // aborts a transfer in progress
        worker_.join();
    }
}

std::string UpdateChecker::buildVersion() { return MORVALE_VERSION; }
std::string UpdateChecker::buildNumberText() { return MORVALE_BUILD_NUMBER; }

bool UpdateChecker::runsFromInstalledLocation() {
    const std::filesystem::path installedBin = MORVALE_INSTALL_BINDIR;
    if (installedBin.empty()) return false;
    std::error_code ec;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return false;
    return executable.parent_path().lexically_normal() == installedBin.lexically_normal();
}

std::string UpdateChecker::lastCheckKey() const { return "updates.lastCheck." + std::string(rawValue(product_)); }

double UpdateChecker::now() const {
    if (env_.now) return env_.now();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void UpdateChecker::checkInBackground() {
    if (!env_.backgroundChecksAllowed) return;
    if (isChecking()) return;
    const double last = env_.defaults->number(lastCheckKey()).value_or(0.0);
    const double current = now();
    // A stored time ahead of the clock (clock set back, copied settings) must not
    // silence the check for good.
    const bool due = !std::isfinite(last) || last > current || current - last > kSecondsPerDay;
    if (!due) return;
    startFetch(false);
}

void UpdateChecker::checkNow() {
    if (isChecking()) {
        manualPending_ = true;  // the check in flight reports as a manual one
        return;
    }
    startFetch(true);
}

void UpdateChecker::startFetch(bool manual) {
    if (worker_.joinable()) worker_.join();  // the previous fetch has already delivered
    manualPending_ = manual;
    finished_ = false;
    worker_ = std::jthread([this, http = env_.http, product = product_](std::stop_token stop) {
        std::optional<UpdateInfo> entry;
        try {
            entry = UpdateInfo::fetch(product, *http, stop);
        } catch (...) {
            // any failure is a failed check
        }
        if (stop.stop_requested()) return;
        QMetaObject::invokeMethod(
            this, [this, entry] { finishFetch(entry, manualPending_); }, Qt::QueuedConnection);
    });
}

void UpdateChecker::finishFetch(std::optional<UpdateInfo> entry, bool manual) {
    finished_ = true;
    manualPending_ = false;
    const bool newer = entry && entry->isNewer(currentVersion_, currentBuild_);
    // A newer entry pointing anywhere but our own download site is a feed we cannot
    // trust: a failed check, not "up to date".
    if (!entry || (newer && !entry->isTrustedDownload())) {
        if (manual) {
            env_.presenter->showCheckFailed(
                "Couldn't check for updates",
                "The update server didn't answer. Check your internet connection and try again.");
        }
        emit checkFinished();
        return;
    }
    env_.defaults->setNumber(lastCheckKey(), now());
    if (newer) {
        available_ = entry;
        emit availableChanged();
        present(*entry);
    } else if (manual) {
        env_.presenter->showUpToDate("You're up to date", std::string(displayName(product_)) + " " +
                                                              currentVersion_ + " is the newest version.");
    }
    emit checkFinished();
}

void UpdateChecker::present(const UpdateInfo& entry) {
    const std::string message = std::string(displayName(product_)) + " " + entry.version + " is available";
    std::string informative;
    if (entry.notes) informative = *entry.notes + "\n\n";
    informative += "You have " + currentVersion_ +
                   ". The download opens in your browser; install it in place of this version.";
    if (env_.presenter->offerUpdate(message, informative)) env_.presenter->openURL(entry.url);
}

}  // namespace morvale

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <QObject>

#include "batch_core/licensed_product.h"
#include "batch_core/update_info.h"

namespace morvale {

class HttpClient;
class UserDefaults;

// Finds out whether a newer build of the running product is published and offers it.
// A silent background check runs at start-up at most once a day (installed builds
// only); the manual check reports every outcome. Lives on the GUI thread; the fetch
// runs on a worker thread and its result comes back as a queued call.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    // What the user sees. The shipped presenter shows modal message boxes and opens
    // the browser; tests record the calls.
    class Presenter {
    public:
        virtual ~Presenter() = default;
        virtual void showCheckFailed(const std::string& message, const std::string& informative) = 0;
        virtual void showUpToDate(const std::string& message, const std::string& informative) = 0;
        // Returns true when the user chose "Download".
        virtual bool offerUpdate(const std::string& message, const std::string& informative) = 0;
        virtual void openURL(const std::string& url) = 0;
    };

    struct Environment {
        std::shared_ptr<HttpClient> http;          // null: the libcurl client
        std::shared_ptr<UserDefaults> defaults;    // where the last-check time is kept
        std::shared_ptr<Presenter> presenter;      // null: message boxes
        std::string currentVersion;                // empty: this build's version
        std::optional<std::string> currentBuild;   // unset: this build's build number text
        // Whether start-up checks may run at all (installed build, not a test, not a snapshot).
        bool backgroundChecksAllowed = false;
        // Seconds since 1970; null: the system clock.
        std::function<double()> now;
    };

    UpdateChecker(LicensedProduct product, Environment environment, QObject* parent = nullptr);
    ~UpdateChecker() override;

    LicensedProduct product() const { return product_; }
    // The entry last offered to the user; never cleared.
    const std::optional<UpdateInfo>& available() const { return available_; }
    bool isChecking() const { return worker_.joinable() && !finished_; }

    // Start-up check: returns at once; fetches only when allowed and more than a day
    // has passed since the last successful fetch (a stored time in the future counts
    // as due), and only speaks up to offer an update.
    void checkInBackground();
    // "Check for Updates…": returns at once; reports every outcome. While another
    // check is in flight it adopts that check instead of starting a second one.
    void checkNow();

    // "updates.lastCheck." followed by the product's raw value.
    std::string lastCheckKey() const;
    const std::string& currentVersion() const { return currentVersion_; }
    std::int64_t currentBuild() const { return currentBuild_; }

    // The running build's version and whether it runs from its installed location.
    static std::string buildVersion();
    static std::string buildNumberText();
    static bool runsFromInstalledLocation();

signals:
    void availableChanged();
    void checkFinished();

private:
    void startFetch(bool manual);
    void finishFetch(std::optional<UpdateInfo> entry, bool manual);
    void present(const UpdateInfo& entry);
    double now() const;

    LicensedProduct product_;
    Environment env_;
    std::string currentVersion_;
    std::int64_t currentBuild_ = 0;
    std::optional<UpdateInfo> available_;
    bool manualPending_ = false;
    bool finished_ = true;
    std::jthread worker_;
};

// Parses a build number as a decimal integer with an optional sign; anything else is 0.
std::int64_t parseBuildNumber(const std::string& text);

}  // namespace morvale

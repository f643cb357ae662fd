// When the update checker fetches, what it stores and what the user is shown, with a
// stand-in HTTP client, clock and presenter.
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "batch_core/http_client.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/update_checker.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

namespace morvale::test {
namespace {

class FakeClient final : public HttpClient {
public:
    HttpResponse get(const std::string&, std::chrono::milliseconds, std::size_t, std::stop_token stop) override {
        std::unique_lock lock(mutex);
        ++calls;
        gateOpen.wait(lock, stop, [this] { return !held; });
        if (failWith) throw HttpError(*failWith);
        return response;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            held = false;
        }
        gateOpen.notify_all();
    }

    std::mutex mutex;
    std::condition_variable_any gateOpen;
    bool held = false;
    std::atomic<int> calls{0};
    HttpResponse response{200, ""};
    std::optional<std::string> failWith;
};

class RecordingPresenter final : public UpdateChecker::Presenter {
public:
    struct Alert {
        std::string kind;
        std::string message;
        std::string informative;
    };
    void showCheckFailed(const std::string& m, const std::string& i) override { alerts.push_back({"failed", m, i}); }
    void showUpToDate(const std::string& m, const std::string& i) override { alerts.push_back({"upToDate", m, i}); }
    bool offerUpdate(const std::string& m, const std::string& i) override {
        alerts.push_back({"offer", m, i});
        return answerDownload;
    }
    void openURL(const std::string& url) override { opened.push_back(url); }

    std::vector<Alert> alerts;
    std::vector<std::string> opened;
    bool answerDownload = false;
};

std::string feed(const std::string& version, long long build, const std::string& url, const char* notes = nullptr) {
    std::string body = R"({"version":")" + version + R"(","build":)" + std::to_string(build) + R"(,"url":")" + url + '"';
    if (notes) body += std::string(R"(,"notes":")") + notes + '"';
    return body + "}";
}

constexpr double kNow = 1'800'000'000.0;
constexpr const char* kKey = "updates.lastCheck.morvale";

class UpdateCheckerTest : public ::testing::Test {
protected:
    void SetUp() override { ensureWidgetsApp(); }

    std::unique_ptr<UpdateChecker> makeChecker(bool allowBackground = true) {
        UpdateChecker::Environment env;
        env.http = client;
        env.defaults = defaults;
        env.presenter = presenter;
        env.currentVersion = "1.4";
        env.currentBuild = "42";
        env.backgroundChecksAllowed = allowBackground;
        env.now = [] { return kNow; };
        return std::make_unique<UpdateChecker>(LicensedProduct::morvale, env);
    }

    // Runs one check and waits for its outcome; false at once when the call started none. (A started
    // check cannot end before this returns to the event loop: its result arrives as a queued call.)
    bool finish(UpdateChecker& checker, bool manual) {
        QSignalSpy done(&checker, &UpdateChecker::checkFinished);
        manual ? checker.checkNow() : checker.checkInBackground();
        if (!checker.isChecking()) return false;
        return QTest::qWaitFor([&] { return done.count() == 1; }, test::hangGuardMilliseconds);
    }

    TempDir dir;
    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
    std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
};

TEST_F(UpdateCheckerTest, BackgroundCheckRunsOnlyWhenAllowedAndDue) {
    struct Row {
        const char* name;
        std::optional<double> lastCheck;
        bool allowed;
        bool fetches;
    };
    const std::vector<Row> rows = {
        {"never checked", std::nullopt, true, true},
        {"exactly one day ago", kNow - 86400.0, true, false},
        {"a day and half a second ago", kNow - 86400.5, true, true},
        {"an hour ago", kNow - 3600.0, true, false},
        {"stored time in the future", kNow + 10.0, true, true},
        {"not an installed build", std::nullopt, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        client = std::make_shared<FakeClient>();
        client->response = {200, feed("1.4", 42, "https://kadrel.com/x")};
        defaults->removeValue(kKey);
        if (row.lastCheck) defaults->setNumber(kKey, *row.lastCheck);
        auto checker = makeChecker(row.allowed);
        const bool ran = finish(*checker, false);
        EXPECT_EQ(ran, row.fetches);
        EXPECT_EQ(client->calls, row.fetches ? 1 : 0);
        if (row.fetches) {
            EXPECT_EQ(defaults->number(kKey), kNow);
        }
    }
    EXPECT_TRUE(presenter->alerts.empty()) << "nothing new: the background check stays silent";
}

TEST_F(UpdateCheckerTest, OutcomesOfAManualCheck) {
    struct Row {
        const char* name;
        HttpResponse response;
        const char* kind;
        const char* message;
        const char* informative;
        bool stored;
    };
    const std::vector<Row> rows = {
        {"same version and build", {200, feed("1.4", 42, "https://kadrel.com/x")}, "upToDate", "You're up to date",
         "Morvale Express 1.4 is the newest version.", true},
        {"older version", {200, feed("1.3.9", 99, "https://kadrel.com/x")}, "upToDate", "You're up to date",
         "Morvale Express 1.4 is the newest version.", true},
        {"newer build", {200, feed("1.4", 43, "https://kadrel.com/x")}, "offer", "Morvale Express 1.4 is available",
         "You have 1.4. The download opens in your browser; install it in place of this version.", true},
        {"newer version with notes", {200, feed("1.10", 1, "https://www.kadrel.com/x", "Faster.")}, "offer",
         "Morvale Express 1.10 is available",
         "Faster.\n\nYou have 1.4. The download opens in your browser; install it in place of this version.", true},
        {"not found", {404, feed("9.0", 1, "https://kadrel.com/x")}, "failed", "Couldn't check for updates",
         "The update server didn't answer. Check your internet connection and try again.", false},
        {"newer but served from elsewhere", {200, feed("9.0", 1, "https://kadrel.com@evil.com/x")}, "failed",
         "Couldn't check for updates",
         "The update server didn't answer. Check your internet connection and try again.", false},
        {"older and served from elsewhere", {200, feed("1.0", 1, "http://kadrel.com/x")}, "upToDate",
         "You're up to date", "Morvale Express 1.4 is the newest version.", true},
        {"garbage body", {200, "<html>"}, "failed", "Couldn't check for updates",
         "The update server didn't answer. Check your internet connection and try again.", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        client->response = row.response;
        presenter->alerts.clear();
        defaults->removeValue(kKey);
        auto checker = makeChecker(false);
        ASSERT_TRUE(finish(*checker, true));
        ASSERT_EQ(presenter->alerts.size(), 1u);
        EXPECT_EQ(presenter->alerts[0].kind, row.kind);
        EXPECT_EQ(presenter->alerts[0].message, row.message);
        EXPECT_EQ(presenter->alerts[0].informative, row.informative);
        EXPECT_EQ(defaults->number(kKey).has_value(), row.stored);
        EXPECT_EQ(checker->available().has_value(), std::string(row.kind) == "offer");
    }
}

TEST_F(UpdateCheckerTest, DownloadOpensTheEntryAndLaterDoesNot) {
    client->response = {200, feed("2.0", 1, "https://kadrel.com/d/MorvaleExpress-2.0.tar.gz")};
    auto checker = makeChecker();
    presenter->answerDownload = false;
    ASSERT_TRUE(finish(*checker, true));
    EXPECT_TRUE(presenter->opened.empty());
    EXPECT_TRUE(checker->available().has_value());

    presenter->answerDownload = true;
    EXPECT_FALSE(finish(*checker, false));  // background: checked a moment ago, so not due
    EXPECT_EQ(client->calls, 1);
    ASSERT_TRUE(finish(*checker, true));
    EXPECT_EQ(presenter->opened, std::vector<std::string>{"https://kadrel.com/d/MorvaleExpress-2.0.tar.gz"});
    EXPECT_EQ(client->calls, 2);
}

TEST_F(UpdateCheckerTest, FailedBackgroundCheckIsSilentAndRetriedNextTime) {
    client->failWith = "offline";
    auto checker = makeChecker();
    ASSERT_TRUE(finish(*checker, false));
    EXPECT_TRUE(presenter->alerts.empty());
    EXPECT_FALSE(defaults->number(kKey).has_value());

    client->failWith.reset();
    client->response = {200, feed("1.5", 1, "https://kadrel.com/x")};
    ASSERT_TRUE(finish(*checker, false));
    ASSERT_EQ(presenter->alerts.size(), 1u);
    EXPECT_EQ(presenter->alerts[0].kind, "offer");
}

TEST_F(UpdateCheckerTest, OnlyOneCheckInFlightAndAManualRequestAdoptsIt) {
    client->held = true;
    client->response = {200, feed("1.4", 42, "https://kadrel.com/x")};
    auto checker = makeChecker();
    QSignalSpy done(checker.get(), &UpdateChecker::checkFinished);
    checker->checkInBackground();
    ASSERT_TRUE(QTest::qWaitFor([&] { return checker->isChecking(); }, test::hangGuardMilliseconds));
    checker->checkNow();
    checker->checkInBackground();
    client->release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 1; }, test::hangGuardMilliseconds));
    QTest::qWait(50);
    EXPECT_EQ(client->calls, 1);
    EXPECT_EQ(done.count(), 1);
    ASSERT_EQ(presenter->alerts.size(), 1u) << "the adopted check reports like a manual one";
    EXPECT_EQ(presenter->alerts[0].kind, "upToDate");
}

TEST_F(UpdateCheckerTest, DestroyingTheCheckerStopsAFetchInFlight) {
    client->held = true;
    auto checker = makeChecker();
    checker->checkNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->calls == 1; }, test::hangGuardMilliseconds));
    checker.reset();  // would hang here if the fetch were not stopped
    EXPECT_TRUE(presenter->alerts.empty());
}

TEST(UpdateCheckerBuildNumberTest, ParsesSignedDecimalOrGivesZero) {
    const std::vector<std::pair<std::string, std::int64_t>> rows = {
        {"42", 42},   {"+42", 42}, {"-7", -7}, {"", 0},  {"4 2", 0}, {"42a", 0},
        {"0x10", 0},  {"+", 0},    {" 42", 0}, {"1.5", 0}, {"99999999999999999999", 0},
        {"-9223372036854775808", INT64_MIN}, {"9223372036854775807", INT64_MAX},
    };
    for (const auto& [text, value] : rows) EXPECT_EQ(parseBuildNumber(text), value) << text;
}

}  // namespace
}  // namespace morvale::test

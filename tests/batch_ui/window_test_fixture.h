#pragma once

#include "batch_core/batch_preset.h"
#include "batch_core/batch_skip.h"
#include "batch_core/processing_context.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/main_menus.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/standalone_window.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace morvale::test {

// Holds items in process() until the test opens it, so a run can be watched mid-way.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Takes .png and .tga; names holding "bad" fail, "skip" are skipped, the rest succeed.
class GatedPreset final : public BatchPreset {
public:
    explicit GatedPreset(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}

    std::string id() const override { return "test.gated"; }
    std::string displayName() const override { return "Gated"; }
    std::string verticalName() const override { return "Tests"; }
    std::string description() const override { return "Waits for the test."; }
    std::string systemIconName() const override { return "test"; }
    std::set<std::string> supportedExtensions() const override { return {"png", "tga"}; }
    std::string defaultNamingPattern() const override { return "{name}_out"; }

    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        context.onProgressUpdate(0.5, "Working...");
        gate_->wait();
        if (item.originalFileName.find("bad") != std::string::npos) {
            throw std::runtime_error("broken file");
        }
        if (item.originalFileName.find("skip") != std::string::npos) {
            throw BatchSkip(item.originalFileName + " is not an input");
        }
        return {};
    }

private:
    std::shared_ptr<Gate> gate_;
};

inline StandaloneBranding testBranding() {
    return {"Morvale Express", "Subtitle", "cube", "Drop Here", "Hint", "Process All", "texture", "{name}, {ext}"};
}

// A view model over the gated preset, with its own settings file and no desktop services.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ensureWidgetsApp();
        gate = std::make_shared<Gate>();
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(dir / "settings.json");
        services.revealInFileManager = [this](const std::vector<std::filesystem::path>& paths) {
            revealed.push_back(paths);
        };
        services.maxConcurrentTasks = 2;
        model = std::make_unique<StandaloneViewModel>(
            std::make_unique<TypedPresetSlot<GatedPreset>>(
                GatedPreset(gate), [](const GatedPreset&) { return PresetSettings{}; },
                [this](const PresetSettings&) { return std::optional<GatedPreset>(GatedPreset(gate)); }),
            LicensedProduct::morvale, services);
        outputDir = dir / "out";
        model->setOutputDirectory(outputDir);
        StandaloneScenesSettings settings;
        settings.trayAllowed = false;
        settings.panels.chooseFiles = [this](QWidget*) { return chosenFiles; };
        settings.panels.chooseFolder = [](QWidget*) { return std::optional<std::filesystem::path>(); };
        settings.panels.chooseOutputFolder = [](QWidget*, const std::filesystem::path&) {
            return std::optional<std::filesystem::path>();
        };
        scenes = std::make_unique<StandaloneScenes>(
            *model, testBranding(), [this] { ++resets; }, [] { return nullptr; }, settings);
        window = scenes->window();
    }

    void TearDown() override {
        gate->open();
        scenes.reset();
        if (model) {
            model->shutdown();
        }
        model.reset();
    }

    void showWindow() {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }

    // Queues files through ingest and waits until they are in.
    void queue(const std::vector<std::string>& names) {
        std::vector<std::filesystem::path> paths;
        for (const auto& name : names) {
            paths.push_back(dir.write("in/" + name, "data"));
        }
        const std::size_t before = model->queueItems().size();
        model->ingest(paths);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isIngesting(); }, test::hangGuardMilliseconds));
        ASSERT_EQ(model->queueItems().size(), before + names.size());
    }

    // Opens the gate and waits for the run's summary line.
    bool finishRun() {
        gate->open();
        return QTest::qWaitFor([&] { return !model->logLines().empty() && model->logLines().back().rfind("Done in ", 0) == 0; },
                               test::hangGuardMilliseconds) &&
               QTest::qWaitFor([&] { return !model->isProcessing(); }, test::hangGuardMilliseconds);
    }

    TempDir dir;
    std::filesystem::path outputDir;
    std::shared_ptr<Gate> gate;
    std::unique_ptr<StandaloneViewModel> model;
    std::unique_ptr<StandaloneScenes> scenes;
    StandaloneWindow* window = nullptr;
    std::vector<std::vector<std::filesystem::path>> revealed;
    std::vector<std::filesystem::path> chosenFiles;
    int resets = 0;
};

}  // namespace morvale::test

// Restoring and saving the user's settings through the view model, with a stand-in
// preset whose settings codec the test controls.
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <charconv>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "batch_core/batch_configuration.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/standalone_view_model.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

namespace morvale::test {
namespace {

// A preset with two options, "level" (a whole number) and "label".
class KnobPreset final : public BatchPreset {
public:
    int level = 3;
    std::string label = "plain";

    std::string id() const override { return "test.knob"; }
    std::string displayName() const override { return "Knob"; }
    std::string verticalName() const override { return "Tests"; }
    std::string description() const override { return "Two options."; }
    std::string systemIconName() const override { return "test"; }
    std::set<std::string> supportedExtensions() const override { return {"png"}; }
    std::string defaultNamingPattern() const override { return "{name}_knob"; }
    std::vector<std::filesystem::path> process(const BatchItem&, const ProcessingContext&) const override { return {}; }
};

PresetSettings encodeKnob(const KnobPreset& preset) {
    return {{"level", std::to_string(preset.level)}, {"label", preset.label}};
}

// Lenient like the real codec: unreadable values and unknown keys are passed over. A
// map holding "broken" stands for one the codec refuses as a whole.
std::optional<KnobPreset> decodeKnob(const PresetSettings& settings) {
    if (settings.count("broken") > 0) return std::nullopt;
    KnobPreset preset;
    if (const auto level = settings.find("level"); level != settings.end()) {
        int value = 0;
        const auto& text = level->second;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size()) preset.level = value;
    }
    if (const auto label = settings.find("label"); label != settings.end()) preset.label = label->second;
    return preset;
}

// The model's preset; throws when it is not a KnobPreset.
const KnobPreset& knobOf(const StandaloneViewModel& model) {
    const KnobPreset* preset = model.presetAs<KnobPreset>();
    if (preset == nullptr) throw std::logic_error("the preset is not a KnobPreset");
    return *preset;
}

std::unique_ptr<PresetSlot> knobSlot(int level = 3) {
    KnobPreset preset;
    preset.level = level;
    return std::make_unique<TypedPresetSlot<KnobPreset>>(preset, encodeKnob, decodeKnob);
}

class ViewModelSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ensureWidgetsApp(); }

    std::shared_ptr<UserDefaults> store() { return std::make_shared<UserDefaults>(dir / "defaults.json"); }

    std::unique_ptr<StandaloneViewModel> makeModel(std::chrono::milliseconds delay = std::chrono::milliseconds(400)) {
        StandaloneServices services;
        services.defaults = store();
        services.saveDelay = delay;
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        return std::make_unique<StandaloneViewModel>(knobSlot(), LicensedProduct::morvale, services);
    }

    // What another process reading the settings file would see.
    std::shared_ptr<UserDefaults> reread() { return store(); }

    TempDir dir;
};

TEST_F(ViewModelSettingsTest, RestoresEachSettingOrFallsBackOnItsOwn) {
    const std::filesystem::path defaultFolder = BatchConfiguration::defaultConfiguration().outputDirectory;
    struct Case {
        const char* name;
        std::optional<nlohmann::json> settings;
        std::optional<nlohmann::json> pattern;
        std::optional<nlohmann::json> folder;
        int level;
        std::string label;
        std::string expectedPattern;
        std::filesystem::path expectedFolder;
    };
    const std::vector<Case> cases = {
        {"nothing stored", {}, {}, {}, 3, "plain", "{name}_knob", defaultFolder},
        {"all three stored", nlohmann::json{{"level", "7"}, {"label", "bold"}}, "{name}_x", "/tmp/out", 7, "bold",
         "{name}_x", "/tmp/out"},
        {"one non-text value spoils the whole map", nlohmann::json{{"level", 7}, {"label", "bold"}}, "p", "/o", 3,
         "plain", "p", "/o"},
        {"a map the codec refuses keeps the given preset", nlohmann::json{{"broken", "yes"}, {"level", "9"}}, "p",
         "/o", 3, "plain", "p", "/o"},
        {"lenient: a bad value is passed over, the rest applies", nlohmann::json{{"level", "lots"}, {"label", "x"}},
         {}, {}, 3, "x", "{name}_knob", defaultFolder},
        {"settings that are not a map", nlohmann::json("level=7"), {}, {}, 3, "plain", "{name}_knob", defaultFolder},
        {"empty pattern is kept, empty folder is the default", {}, "", "", 3, "plain", "", defaultFolder},
        {"pattern of another type is not a pattern", {}, 42, {}, 3, "plain", "{name}_knob", defaultFolder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir / "defaults.json");
        {
            auto defaults = store();
            if (c.settings) defaults->setValue("settings", *c.settings);
            if (c.pattern) defaults->setValue("namingPattern", *c.pattern);
            if (c.folder) defaults->setValue("outputDirectory", *c.folder);
        }
        auto model = makeModel();
        EXPECT_EQ(knobOf(*model).level, c.level);
        EXPECT_EQ(knobOf(*model).label, c.label);
        EXPECT_EQ(model->namingPattern(), c.expectedPattern);
        EXPECT_EQ(model->outputDirectory(), c.expectedFolder);
    }
}

TEST_F(ViewModelSettingsTest, RestoringNeverSaves) {
    store()->setValue("namingPattern", "{name}");
    auto model = makeModel(std::chrono::milliseconds(20));
    QSignalSpy saved(model.get(), &StandaloneViewModel::settingsSaved);
    QTest::qWait(150);
    EXPECT_EQ(saved.count(), 0);
    EXPECT_FALSE(reread()->value("settings").has_value());
}

TEST_F(ViewModelSettingsTest, EditsWithinTheDelayGiveOneWriteOfAllThreeKeys) {
    auto model = makeModel();
    QSignalSpy saved(model.get(), &StandaloneViewModel::settingsSaved);
    model->editPreset<KnobPreset>([](KnobPreset& p) { p.level = 11; });
    model->setNamingPattern("{name}_{index}");
    EXPECT_FALSE(reread()->value("settings").has_value()) << "written before the delay ran out";

    ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() > 0; }, test::hangGuardMilliseconds));
    QTest::qWait(500);  // a second write would have come by now
    EXPECT_EQ(saved.count(), 1);
    auto written = reread();
    EXPECT_EQ(written->stringMap("settings"), (std::map<std::string, std::string>{{"label", "plain"}, {"level", "11"}}));
    EXPECT_EQ(written->string("namingPattern"), "{name}_{index}");
    EXPECT_EQ(written->string("outputDirectory"), model->outputDirectory().string());

    // A later edit writes again, with the values current when the timer fires.
    model->setOutputDirectory(dir / "elsewhere");
    model->setOutputDirectory(dir / "final");
    ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() == 2; }, test::hangGuardMilliseconds));
    EXPECT_EQ(reread()->string("outputDirectory"), (dir / "final").string());
}

TEST_F(ViewModelSettingsTest, ResetRestoresPresetAndPatternButKeepsFolderAndQueue) {
    store()->setValue("outputDirectory", (dir / "kept").string());
    auto model = makeModel(std::chrono::milliseconds(10));
    model->setNamingPattern("custom");
    model->editPreset<KnobPreset>([](KnobPreset& p) { p.label = "edited"; });
    model->log("a line");
    QSignalSpy saved(model.get(), &StandaloneViewModel::settingsSaved);

    KnobPreset fresh;
    model->resetSettings(fresh);
    ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() > 0; }, test::hangGuardMilliseconds));
    QTest::qWait(100);
    EXPECT_EQ(saved.count(), 1);
    EXPECT_EQ(knobOf(*model).label, "plain");
    EXPECT_EQ(model->namingPattern(), "{name}_knob");
    EXPECT_EQ(model->outputDirectory(), dir / "kept");
    EXPECT_EQ(model->logLines().size(), 1u);
    EXPECT_EQ(reread()->string("namingPattern"), "{name}_knob");
}

TEST_F(ViewModelSettingsTest, QuittingWritesAPendingSave) {
    auto model = makeModel(std::chrono::hours(1));
    model->setNamingPattern("before quit");
    model->shutdown();
    EXPECT_EQ(reread()->string("namingPattern"), "before quit");
}

TEST_F(ViewModelSettingsTest, LogKeepsTheLastFiveHundredLines) {
    auto model = makeModel();
    for (int i = 1; i <= 600; ++i) model->log("line " + std::to_string(i));
    ASSERT_EQ(model->logLines().size(), 500u);
    EXPECT_EQ(model->logLines().front(), "line 101");
    EXPECT_EQ(model->logLines().back(), "line 600");
}

}  // namespace
}  // namespace morvale::test

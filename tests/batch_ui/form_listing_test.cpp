#include "batch_ui/listing_option_form.h"

#include "batch_core/user_defaults.h"
#include "batch_presets/vertical.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/standalone_window.h"
#include "batch_ui/vertical_preset_slot.h"
#include "batch_ui/window_snapshot.h"
#include "support/temp_dir.h"
#include "window_test_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace morvale {
namespace {

using Portal = VarnholtPreset::Portal;

class ListingFormTest : public ::testing::Test {
protected:
    void SetUp() override { test::ensureWidgetsApp(); }

    void build() {
        form = std::make_unique<VarnholtOptions>(Binding<VarnholtPreset>{[this] { return preset; },
                                                                        [this](const VarnholtPreset& p) {
                                                                            preset = p;
                                                                            ++writes;
                                                                        }});
    }
    void choose(QComboBox* combo, const QString& row) {
        ASSERT_NE(combo, nullptr);
        const int index = combo->findText(row);
        ASSERT_GE(index, 0) << row.toStdString();
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    static QStringList rows(const QComboBox* combo) {
        QStringList list;
        for (int i = 0; combo != nullptr && i < combo->count(); ++i) list << combo->itemText(i);
        return list;
    }

    VarnholtPreset preset = defaultVarnholtPreset();
    int writes = 0;
    std::unique_ptr<VarnholtOptions> form;
};

TEST_F(ListingFormTest, RowsFollowTheSwitchesAndThePortal) {
    const QString zillowNote = QStringLiteral("2048 px, cropped to 4:3 (the shape Zillow shows), under 10 MB.");
    const QString customNote = QStringLiteral("Set your own size and file-size cap.");
    struct Case {
        const char* name;
        std::function<void(VarnholtPreset&)> state;
        QStringList webRows;
        QStringList fixRows;
        QStringList markRows;
    };
    const QStringList plainFixes{"Merge Exposure Brackets", "Auto-Straighten Vertical Lines", "Remove GPS & Private Metadata"};
    const Case cases[] = {
        {"web off", [](VarnholtPreset& p) { p.exportWebPackage = false; }, {"Export Web Set"}, plainFixes, {"Logo"}},
        {"zillow", [](VarnholtPreset& p) { p.setPortal(Portal::zillow); }, {"Export Web Set", "Made for", zillowNote},
         plainFixes, {"Logo"}},
        {"custom, brackets, logo",
         [](VarnholtPreset& p) {
             p.setPortal(Portal::custom);
             p.mergeBrackets = true;
             p.watermarkURL = "/nowhere/logo.png";
         },
         {"Export Web Set", "Made for", customNote, "Longest Side", "File Size Limit", "Shape"},
         {"Merge Exposure Brackets",
          "Shots taken seconds apart at different exposures become one natural-looking photo (windows and interiors "
          "both visible). Use a tripod or hold steady.",
          "Auto-Straighten Vertical Lines", "Remove GPS & Private Metadata"},
         {"Logo", "Opacity 85%"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        preset = defaultVarnholtPreset();
        c.state(preset);
        build();
        EXPECT_EQ(form->sectionTitles(), (QStringList{"Listing", "Photo Fixes", "Web Set", "Print Set", "Watermark"}));
        EXPECT_EQ(form->rowTexts("Web Set"), c.webRows);
        EXPECT_EQ(form->rowTexts("Photo Fixes"), c.fixRows);
        EXPECT_EQ(form->rowTexts("Watermark"), c.markRows);
        EXPECT_EQ(form->rowTexts("Listing"), (QStringList{"Property Address", "Used for the {address} part of file names."}));
        EXPECT_EQ(writes, 0);
    }
    EXPECT_EQ(rows(form->portalPicker()), (QStringList{"MLS", "Zillow", "Airbnb / Vrbo", "Custom"}));
    EXPECT_EQ(rows(form->shapePicker()), (QStringList{"As shot", "4:3", "3:2", "16:9"}));
    EXPECT_EQ(form->sizePicker()->currentText(), QStringLiteral("2 MB"));
}

TEST_F(ListingFormTest, ChoicesSortRestoredValuesIn) {
    const struct {
        double dimension;
        QStringList dimensionRows;
        std::int64_t kb;
        QStringList sizeRows;
    } cases[] = {
        {1800, {"1024 px", "1536 px", "1800 px", "2048 px", "2560 px", "3000 px", "4096 px"},
         1500, {"500 KB", "1 MB", "1.5 MB", "2 MB", "3 MB", "5 MB", "10 MB"}},
        {2048, {"1024 px", "1536 px", "2048 px", "2560 px", "3000 px", "4096 px"},
         999, {"500 KB", "999 KB", "1 MB", "2 MB", "3 MB", "5 MB", "10 MB"}},
        {4000.7, {"1024 px", "1536 px", "2048 px", "2560 px", "3000 px", "4000 px", "4096 px"},
         7500, {"500 KB", "1 MB", "2 MB", "3 MB", "5 MB", "7.5 MB", "10 MB"}},
    };
    for (const auto& c : cases) {
        preset.setPortal(Portal::custom);
        preset.maxWebDimension = c.dimension;
        preset.maxWebFileSizeKB = c.kb;
        build();
        EXPECT_EQ(rows(form->dimensionPicker()), c.dimensionRows) << c.dimension;
        EXPECT_EQ(rows(form->sizePicker()), c.sizeRows) << c.kb;
        EXPECT_EQ(form->dimensionPicker()->currentText(), VarnholtOptions::dimensionText(c.dimension));
        EXPECT_EQ(form->sizePicker()->currentText(), VarnholtOptions::sizeText(c.kb));
    }
    // A value that is not a number has no row to sort.
    EXPECT_EQ(VarnholtOptions::dimensionChoices(std::nan("")).size(), 6u);
}

// Builds a de_DE locale into a folder of the test's own (the machine need not have it installed)
// and makes it the process locale, as Qt does with the user's locale.
class GermanLocale {
public:
    GermanLocale() {
        const std::string folder = dir_.path().string();
        if (std::system(("localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1").c_str()) != 0) return;
        ::setenv("LOCPATH", folder.c_str(), 1);
        active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    ~GermanLocale() {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
        QLocale::setDefault(QLocale::c());
    }
    bool active() const { return active_; }

private:
    test::TempDir dir_;
    bool active_ = false;
};

TEST_F(ListingFormTest, LabelsReadTheSameUnderAGermanLocale) {
    const auto labels = [] {
        return QStringList{VarnholtOptions::sizeText(1500), VarnholtOptions::sizeText(999),
                           VarnholtOptions::sizeText(1000), VarnholtOptions::sizeText(2500),
                           VarnholtOptions::dimensionText(1800.9), VarnholtOptions::opacityText(0.85)};
    };
    const QStringList expected{"1.5 MB", "999 KB", "1 MB", "2.5 MB", "1800 px", "Opacity 85%"};
    EXPECT_EQ(labels(), expected);
    const GermanLocale german;
    if (!german.active()) GTEST_SKIP() << "localedef could not build de_DE";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5");  // the locale is really in force
    EXPECT_EQ(labels(), expected);
}

TEST_F(ListingFormTest, OpacityShowsWholePercentsAndKeepsRestoredValues) {
    const struct {
        double opacity;
        const char* label;
        int tick;
    } cases[] = {{0.29, "Opacity 29%", 290}, {0.57, "Opacity 57%", 570}, {0.58, "Opacity 58%", 580},
                 {0.85, "Opacity 85%", 850}, {0.1, "Opacity 10%", 100},  {0.05, "Opacity 5%", 100},
                 {1.0, "Opacity 100%", 1000}};
    preset.watermarkURL = "/nowhere/logo.png";
    for (const auto& c : cases) {
        preset.watermarkOpacity = c.opacity;
        build();
        form->refresh();
        EXPECT_EQ(form->opacityLabel()->text(), QString::fromLatin1(c.label));
        EXPECT_EQ(form->opacitySlider()->value(), c.tick) << c.opacity;
        EXPECT_EQ(preset.watermarkOpacity, c.opacity);
    }
    EXPECT_EQ(writes, 0);
    form->opacitySlider()->setValue(420);  // as a drag does
    EXPECT_DOUBLE_EQ(preset.watermarkOpacity, 0.42);
    EXPECT_EQ(form->opacityLabel()->text(), QStringLiteral("Opacity 42%"));
}

TEST_F(ListingFormTest, RestoredPortalSizesStayUntilThePortalIsChosen) {
    preset.setPortal(Portal::zillow);
    preset.maxWebDimension = 4000;  // as the codec restores "portal zillow, webMaxPixels 4000"
    build();
    form->refresh();
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(preset.maxWebDimension, 4000);
    EXPECT_EQ(form->portalPicker()->currentText(), QStringLiteral("Zillow"));

    // Custom keeps the values it finds; another portal brings its own.
    choose(form->portalPicker(), QStringLiteral("Custom"));
    EXPECT_EQ(preset.portal(), Portal::custom);
    EXPECT_EQ(form->dimensionPicker()->currentText(), QStringLiteral("4000 px"));
    EXPECT_EQ(form->shapePicker()->currentText(), QStringLiteral("4:3"));
    choose(form->shapePicker(), QStringLiteral("16:9"));
    choose(form->sizePicker(), QStringLiteral("500 KB"));
    EXPECT_EQ(preset.webAspect, VarnholtPreset::WebAspect::sixteenNine);
    EXPECT_EQ(preset.maxWebFileSizeKB, 500);
    choose(form->portalPicker(), QStringLiteral("Airbnb / Vrbo"));
    EXPECT_EQ(preset.maxWebDimension, 3000);
    EXPECT_EQ(form->dimensionPicker(), nullptr);
    EXPECT_EQ(writes, 4);
}

TEST_F(ListingFormTest, UserEditsWriteTheirOwnField) {
    build();
    QTest::keyClicks(form->addressField(), QStringLiteral("_B"));
    EXPECT_EQ(preset.propertyAddress, "1042_Maple_Lane_B");
    for (QCheckBox* box : {form->bracketsToggle(), form->straightenToggle(), form->stripToggle(), form->printToggle()}) {
        const VarnholtPreset before = preset;
        box->click();
        EXPECT_FALSE(preset == before) << box->text().toStdString();
    }
    EXPECT_TRUE(preset.mergeBrackets);
    EXPECT_FALSE(preset.autoStraightenVerticals || preset.stripGPSMetadata || preset.exportPrintPackage);
    form->webToggle()->click();
    EXPECT_FALSE(preset.exportWebPackage);
    EXPECT_EQ(form->portalPicker(), nullptr);

    form->logoRow()->setChooser([](const QStringList& types) {
        EXPECT_EQ(types, QStringList{"Images (*.png *.jpg *.jpeg)"});
        return std::optional<std::filesystem::path>("/shoot/logo.png");
    });
    form->logoRow()->chooseButton()->click();
    EXPECT_EQ(preset.watermarkURL, std::optional<std::filesystem::path>("/shoot/logo.png"));
    ASSERT_NE(form->opacitySlider(), nullptr);
    form->logoRow()->removeButton()->click();
    EXPECT_FALSE(preset.watermarkURL);
    EXPECT_EQ(form->opacitySlider(), nullptr);
    EXPECT_EQ(preset.watermarkOpacity, 0.85);
}

// The window as a listing build shows it. With MORVALE_LISTING_SNAPSHOT set the picture is kept
// there for people to look at.
TEST(ListingWindow, ShowsTheListingFormInTheSidebar) {
    test::ensureWidgetsApp();
    test::TempDir dir;
    StandaloneServices services;
    services.defaults = std::make_shared<UserDefaults>(dir / "settings.json");
    services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
    VarnholtPreset preset = defaultVarnholtPreset();
    preset.setPortal(Portal::custom);
    preset.mergeBrackets = true;
    preset.watermarkURL = dir.write("logo.png", "x");
    StandaloneViewModel model(makeVerticalPresetSlot(preset, Vertical::varnholt), LicensedProduct::varnholt, services);
    auto* form = new VarnholtOptions(Binding<VarnholtPreset>{
        [&model] {
            const VarnholtPreset* current = model.presetAs<VarnholtPreset>();
            return current != nullptr ? *current : defaultVarnholtPreset();
        },
        [&model](const VarnholtPreset& p) { model.setPreset(p); }});
    const StandaloneBranding branding{"Varnholt Pro", "Listing photos, straightened, private and portal-ready",
                                      "varnholt", "Drop Listing Photos or Shoot Folders Here",
                                      "Merges brackets, straightens verticals, removes GPS and exports web and print sets.",
                                      "Process All", "photo", std::string(VarnholtOptions::tokens)};
    StandaloneWindow window(model, branding, form, StandalonePanels::dialogs());
    window.resize(1040, 900);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const char* keep = std::getenv("MORVALE_LISTING_SNAPSHOT");
    const std::filesystem::path shot = keep != nullptr ? std::filesystem::path(keep) : dir / "listing.png";
    EXPECT_EQ(WindowSnapshot::capture(&window, shot), 2);
    const QImage image(toQString(WindowSnapshot::optionsPath(shot)));
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.height(), 500);
    model.shutdown();
}

}  // namespace
}  // namespace morvale

// The window as a newcomer sees it, at the smallest, the default and a large size, at scale
// factors 1, 1.5 and 2, and as it opens on small logical screens (a laptop at scale 2): no control
// overlaps another or is cut where nothing scrolls to it, every row of the queue shows its status and
// progress bar inside the list, two rows at least fit it, rows are as tall as their text, a failure
// keeps its reason in view, and every text of the window reads whole.
//
// MORVALE_LAYOUT_SNAPSHOTS=<folder> also writes a picture of each window checked to that folder.
#include "batch_core/batch_skip.h"
#include "batch_core/processing_context.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/main_menus.h"
#include "batch_ui/morvale_express_app.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/queue_list_model.h"
#include "batch_ui/queue_row_delegate.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/standalone_window.h"
#include "batch_ui/texture_option_form.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_fixture.h"

#include <QAbstractButton>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvale {
namespace {

// Reasons a texture map cannot be read, the longest the texture product gives among them, each
// after a long file name: "Could not read texture map <name><map> <reason>".
struct Unreadable {
    const char* kind;  // in the item's name
    const char* map;
    std::string reason;
};
const std::vector<Unreadable> kUnreadable{
    {"empty", "_Roughness.png", "(the file is empty)."},
    {"nested", "_Metallic.png", "(cannot decode it (IHDR: width 0 is not allowed))."},
    {"chunks", "_Height.png", "(not a readable image (the PNG has more chunks than any image could need))."},
    {"nokind", "_Height.png", "(not a readable image (its content is no image of a kind this program reads))."},
    {"huge", "_AO.png", "(the image is too large (16385x16385; at most 16384 pixels per side and 268435456 in all))."},
    {"bomb", "_Height.png", "(not a readable image (the file is larger than any PNG image of 16384x16384 could be))."},
    {"layers", "_Height.png", "(not a readable image (a Photoshop image has fewer channels than its colour mode))."},
    {"filter", "_Height.png", "(the PNG image data is damaged (row 16383 has the unknown filter type 255))."},
};

// Names holding "bad" fail and "skip" are skipped, each with a message of two lines; those holding
// an unreadable kind fail naming a long file and giving that reason in parentheses; "hold" stay in
// processing until the gate opens; the rest finish at once.
class LayoutPreset final : public BatchPreset {
public:
    explicit LayoutPreset(std::shared_ptr<test::Gate> gate) : gate_(std::move(gate)) {}
    std::string id() const override { return "test.layout"; }
    std::string displayName() const override { return "Layout"; }
    std::string verticalName() const override { return "Tests"; }
    std::string description() const override { return "Leaves rows in every state."; }
    std::string systemIconName() const override { return "test"; }
    std::set<std::string> supportedExtensions() const override { return {"png"}; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        const std::string& name = item.originalFileName;
        for (const Unreadable& unreadable : kUnreadable) {
            if (name.find(unreadable.kind) != std::string::npos) {
                throw std::runtime_error("Could not read texture map Basalt_Cliff_Face_Weathered_Chipped_" + name +
                                         unreadable.map + " " + unreadable.reason);
            }
        }
        if (name.find("bad") != std::string::npos) {
            throw std::runtime_error("The roughness map " + name + "_Roughness.png is 1024 x 1024 but the ambient "
                                     "occlusion map is 2048 x 2048; resize one of them so that the set can be packed.");
        }
        if (name.find("skip") != std::string::npos) {
            throw BatchSkip(name + " is a detail mask without the base maps of its set (_AO, _Roughness and "
                                   "_Metallic); add them to the drop to pack it");
        }
        if (name.find("hold") != std::string::npos) {
            context.onProgressUpdate(0.4, "Packing channels");
            gate_->wait();
        }
        return {};
    }

private:
    std::shared_ptr<test::Gate> gate_;
};

// A window over the layout preset with the product's texts and option form, its queue holding
// `count` items: finished, failed, skipped, two processing and the rest pending.
class LayoutScene {
public:
    explicit LayoutScene(int count, QSize screen = {1920, 1200}) {
        try {
            build(count, screen);
        } catch (...) {
            gate_->open();  // the run's held items must end before the view model can
            throw;
        }
    }

    ~LayoutScene() {
        gate_->open();
        scenes_.reset();
        model_->shutdown();
    }

    StandaloneWindow* window() const { return window_; }

private:
    void build(int count, QSize screen) {
        test::ensureWidgetsApp(screen.width(), screen.height());
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(dir_ / "settings.json");
        services.revealInFileManager = [](const std::vector<std::filesystem::path>&) {};
        services.maxConcurrentTasks = 2;
        model_ = std::make_unique<StandaloneViewModel>(
            std::make_unique<TypedPresetSlot<LayoutPreset>>(
                LayoutPreset(gate_), [](const LayoutPreset&) { return PresetSettings{}; },
                [this](const PresetSettings&) { return std::optional<LayoutPreset>(LayoutPreset(gate_)); }),
            LicensedProduct::morvale, services);
        model_->setOutputDirectory(dir_ / "a rather long output folder name" / "for the textures of this project");
        StandaloneScenesSettings settings;
        settings.trayAllowed = false;
        scenes_ = std::make_unique<StandaloneScenes>(
            *model_, MorvaleExpressApp::makeBranding(), [] {},
            [] {
                return new MorvaleOptions(Binding<MorvalePreset>{[] { return MorvaleExpressApp::defaultPreset(); },
                                                                 [](const MorvalePreset&) {}});
            },
            settings);
        window_ = scenes_->window();
        window_->show();
        if (!QTest::qWaitForWindowExposed(window_)) throw std::runtime_error("the window was not shown");

        // Queue order is path order: finished, failed, skipped, processing, pending.
        std::vector<std::filesystem::path> paths;
        const int finished = count / 5, failed = count / 5, skipped = count / 10, held = 2;
        for (int i = 0; i < count; ++i) {
            char name[64];
            if (i < finished) std::snprintf(name, sizeof name, "a%02d_ball_%02d_Tiled2x2.png", i, i);
            else if (i < finished + failed) {
                const int kind = i % static_cast<int>(kUnreadable.size() + 1);
                std::snprintf(name, sizeof name, "b%02d_%s_Rock_gy.png", i,
                              kind == 0 ? "bad" : kUnreadable[static_cast<std::size_t>(kind - 1)].kind);
            }
            else if (i < finished + failed + skipped) std::snprintf(name, sizeof name, "c%02d_skip_DetailMask.png", i);
            else if (i < finished + failed + skipped + held) std::snprintf(name, sizeof name, "d%02d_hold_Brick_AO.png", i);
            else std::snprintf(name, sizeof name, "e%02d_Plate_Height_yg.png", i);
            paths.push_back(dir_.write(std::string("in/") + name, "x"));
        }
        model_->ingest(paths);
        if (!QTest::qWaitFor([&] { return !model_->isIngesting(); }, test::hangGuardMilliseconds)) throw std::runtime_error("no ingest");
        model_->start();
        const auto settled = [&] {
            int processing = 0, done = 0;
            for (const auto& item : model_->queueItems()) {
                if (item.status == ProcessingStatus::processing) ++processing;
                if (isTerminal(item.status)) ++done;
            }
            return processing == held && done == finished + failed + skipped;
        };
        if (!QTest::qWaitFor(settled, test::hangGuardMilliseconds)) {
            std::string states;
            for (const auto& item : model_->queueItems()) {
                states += " " + item.originalFileName + ":" + std::string(rawValue(item.status)) +
                          (item.errorMessage ? "+message" : "");
            }
            throw std::runtime_error("the run did not reach its held items:" + states);
        }
    }

    test::TempDir dir_;
    std::shared_ptr<test::Gate> gate_ = std::make_shared<test::Gate>();
    std::unique_ptr<StandaloneViewModel> model_;
    std::unique_ptr<StandaloneScenes> scenes_;
    StandaloneWindow* window_ = nullptr;
};

std::string describe(const QRect& r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height());
}

// Everything that is not whole, or not inside the list, as one line each.
std::vector<std::string> rowProblems(QListView* list, bool twoRows) {
    std::vector<std::string> problems;
    if (list->horizontalScrollBar()->isVisible()) problems.push_back("the queue scrolls sideways");
    const auto* rows = dynamic_cast<const QueueRowDelegate*>(list->itemDelegate());
    if (rows == nullptr) return {"the queue has no row delegate"};
    const QRect viewport = list->viewport()->rect();
    const QFontMetrics nameMetrics(QueueRowDelegate::nameFont());
    const QFontMetrics messageMetrics(QueueRowDelegate::messageFont());
    const QFontMetrics statusMetrics(QueueRowDelegate::statusFont());
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        const QModelIndex index = list->model()->index(row, 0);
        const QRect rect = list->visualRect(index);
        if (!rect.intersects(viewport)) continue;
        const std::string where = "row " + std::to_string(row) + " (" + index.data().toString().toStdString() + "): ";
        if (rect.left() < viewport.left() || rect.right() > viewport.right()) {
            problems.push_back(where + "wider than the list " + describe(rect) + " in " + describe(viewport));
        }
        if (rect.height() != rows->rowHeight(index)) {
            problems.push_back(where + "laid out " + std::to_string(rect.height()) + " high, its text needs " +
                               std::to_string(rows->rowHeight(index)));
        }
        const QueueRowDelegate::RowLayout layout = rows->layoutRow(rect, index);
        // A row cut by the list's top or bottom edge is scrolled, not clipped: there only the sides count.
        const bool wholeRow = viewport.contains(rect);
        const auto shown = [&](const QRect& part) {
            return wholeRow ? viewport.contains(part) : part.left() >= viewport.left() && part.right() <= viewport.right();
        };
        const QString status = index.data(QueueListModel::StatusTextRole).toString();
        if (!shown(layout.status) || statusMetrics.horizontalAdvance(status) > layout.status.width()) {
            problems.push_back(where + "status \"" + status.toStdString() + "\" not whole in the list at " +
                               describe(layout.status));
        }
        if (index.data(QueueListModel::ProgressRole).isValid() &&
            (layout.progress.isEmpty() || !shown(layout.progress) || layout.progress.intersects(layout.status) ||
             layout.progress.intersects(layout.name))) {
            problems.push_back(where + "progress bar out of place at " + describe(layout.progress));
        }
        if (layout.name.height() < nameMetrics.height() || layout.name.bottom() > rect.bottom()) {
            problems.push_back(where + "name line clipped at " + describe(layout.name));
        }
        if (index.data(QueueListModel::MessageRole).isValid()) {
            const auto lines = static_cast<int>(layout.messageLines.size());
            const bool failed = index.data(QueueListModel::StatusRole).toInt() == static_cast<int>(ProcessingStatus::failed);
            if (lines < 1 || lines > (failed ? 3 : 2) || layout.message.height() < lines * messageMetrics.lineSpacing() ||
                layout.message.bottom() > rect.bottom() || layout.message.top() <= layout.name.bottom()) {
                problems.push_back(where + "message of " + std::to_string(lines) + " lines clipped at " +
                                   describe(layout.message) + " in " + describe(rect));
            }
            QString drawn;
            for (const QString& line : layout.messageLines) {
                if (messageMetrics.horizontalAdvance(line) > layout.message.width()) {
                    problems.push_back(where + "message line wider than its place: " + line.toStdString());
                }
                drawn += line;
            }
            // Compared without blanks: the lines may break inside the reason.
            const auto solid = [](QString text) { return text.remove(QLatin1Char(' ')); };
            const QString message = index.data(QueueListModel::MessageRole).toString();
            for (const Unreadable& unreadable : kUnreadable) {
                const QString whole = QString::fromStdString(unreadable.reason);
                if (message.endsWith(whole) && !solid(drawn).contains(solid(whole))) {
                    problems.push_back(where + "the reason " + unreadable.reason + " is not drawn whole: " +
                                       drawn.toStdString());
                }
            }
            if (!index.data(Qt::ToolTipRole).toString().contains(message)) {
                problems.push_back(where + "the tooltip lacks the whole message");
            }
        }
    }
    // Two rows of the tallest kind fit the list, whichever are scrolled into view.
    std::vector<int> heights;
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        heights.push_back(rows->rowHeight(list->model()->index(row, 0)));
    }
    std::sort(heights.begin(), heights.end(), std::greater<>());
    if (twoRows && heights.size() >= 2 && heights[0] + heights[1] > viewport.height()) {
        problems.push_back("the list is " + std::to_string(viewport.height()) + " high, two rows need " +
                           std::to_string(heights[0] + heights[1]));
    }
    return problems;
}

// What the user sees and works: texts, buttons, fields and the panes that hold rows and lines.
bool isControl(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return !label->text().isEmpty() || !label->pixmap().isNull();
    }
    return widget->inherits("QAbstractButton") || widget->inherits("QComboBox") || widget->inherits("QLineEdit") ||
           widget->inherits("QAbstractSlider") || widget->inherits("QAbstractSpinBox") ||
           widget->inherits("QProgressBar") || widget->inherits("QListView") || widget->inherits("QPlainTextEdit") ||
           widget->objectName() == QStringLiteral("dropZone");
}

std::string nameOf(const QWidget* widget) {
    QString text = widget->objectName();
    if (const auto* label = qobject_cast<const QLabel*>(widget)) text = label->text().left(40);
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) text = button->text();
    return std::string(widget->metaObject()->className()) + " \"" + text.toStdString() + "\"";
}

// Controls that overlap another, or are cut by what holds them where no scroll area reaches the
// rest. A control inside a scroll area counts only with its part in view.
std::vector<std::string> controlProblems(StandaloneWindow* window) {
    struct Shown {
        const QWidget* widget;
        QRect rect;  // in the window, the part in view
    };
    std::vector<Shown> shown;
    std::vector<std::string> problems;
    for (const QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(window) || !isControl(widget) || widget->isWindow()) continue;
        QRect rect(widget->mapTo(window, QPoint(0, 0)), widget->size());
        QRect inView = rect;
        bool cut = false;
        for (const QWidget* holder = widget->parentWidget(); holder != nullptr && holder != window;
             holder = holder->parentWidget()) {
            const QRect area(holder->mapTo(window, QPoint(0, 0)), holder->size());
            const auto* scroller = qobject_cast<const QAbstractScrollArea*>(holder->parentWidget());
            if (scroller != nullptr && scroller->viewport() == holder) {
                // Scrolled, not cut, along the direction its scroll bar is there for.
                inView = inView.intersected(area);
                if (!scroller->horizontalScrollBar()->isVisible() &&
                    (rect.left() < area.left() || rect.right() > area.right())) {
                    cut = true;
                }
                rect = inView;
                continue;
            }
            if (!rect.isEmpty() && !area.contains(rect)) cut = true;
            inView = inView.intersected(area);
        }
        if (!inView.isEmpty() && !QRect(QPoint(0, 0), window->size()).contains(inView)) cut = true;
        if (cut) problems.push_back(nameOf(widget) + " cut at " + describe(rect));
        if (!inView.isEmpty()) shown.push_back({widget, inView});
    }
    for (std::size_t a = 0; a < shown.size(); ++a) {
        for (std::size_t b = a + 1; b < shown.size(); ++b) {
            const QWidget* first = shown[a].widget;
            const QWidget* second = shown[b].widget;
            if (first->isAncestorOf(second) || second->isAncestorOf(first)) continue;
            if (shown[a].rect.intersects(shown[b].rect)) {
                problems.push_back(nameOf(first) + " at " + describe(shown[a].rect) + " overlaps " + nameOf(second) +
                                   " at " + describe(shown[b].rect));
            }
        }
    }
    return problems;
}

// Labels and buttons whose text does not fit the rectangle they have, at their font.
std::vector<std::string> textProblems(StandaloneWindow* window) {
    std::vector<std::string> problems;
    const QScrollArea* sidebar = window->optionsSidebar();
    const auto clippedBySidebar = [&](const QWidget* widget) {
        if (!sidebar->isAncestorOf(widget)) return false;
        const QRect inViewport(widget->mapTo(sidebar->viewport(), QPoint(0, 0)), widget->size());
        return inViewport.left() < 0 || inViewport.right() > sidebar->viewport()->width() - 1;
    };
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(window) || label->text().isEmpty()) continue;
        // The output folder is shortened in the middle by design, and shown whole in its tooltip.
        if (label->objectName() == QStringLiteral("outputFolder")) continue;
        const QString text = label->text();
        const QRect inside = label->contentsRect();
        const QFontMetrics metrics = label->fontMetrics();
        bool whole = true;
        if (label->wordWrap()) {
            whole = label->heightForWidth(label->width()) <= label->height();
            for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                whole = whole && metrics.horizontalAdvance(word) <= inside.width();
            }
        } else {
            whole = metrics.horizontalAdvance(text) <= inside.width() && metrics.height() <= inside.height();
        }
        if (!whole || clippedBySidebar(label)) {
            problems.push_back("label \"" + text.toStdString() + "\" clipped in " + describe(inside));
        }
    }
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        if (!button->isVisibleTo(window) || button->text().isEmpty()) continue;
        if (button->width() < button->sizeHint().width() || button->height() < button->fontMetrics().height() ||
            clippedBySidebar(button)) {
            problems.push_back("button \"" + button->text().toStdString() + "\" clipped: " +
                               std::to_string(button->width()) + " wide, needs " +
                               std::to_string(button->sizeHint().width()));
        }
    }
    return problems;
}

// A screen, in device pixels, at a scale factor, and the window sizes checked there in turn; none
// means the size the window opens at.
struct Screen {
    const char* scale;
    QSize screen;
    std::vector<QSize> sizes;
};

// Larger, then the smallest, then back: rows laid out at one width must fit the next.
const std::vector<QSize> kSizes{{1040, 720}, {1600, 1000}, {860, 600}, {1040, 720}};

const std::vector<Screen> kScaledScreens{
    {"1.5", {3840, 2160}, kSizes},
    {"2", {3840, 2160}, kSizes},
    {"2", {1366, 768}, {}},   // a laptop: 683 x 384 logical
    {"1.5", {1366, 768}, {}},
    {"2", {1280, 720}, {}},   // 640 x 360 logical, the smallest screen served
    {"1.5", {1280, 720}, {}},
    {"3", {1920, 1080}, {}},  // 640 x 360 logical
    {"1.25", {1280, 750}, {}},  // 1024 x 600 logical
};

std::string sizeText(const QSize& size) { return std::to_string(size.width()) + "x" + std::to_string(size.height()); }

std::vector<std::string> checkWindowAt(int count, const Screen& screen) {
    std::vector<std::string> problems;
    LayoutScene scene(count, screen.screen);
    StandaloneWindow* window = scene.window();
    const QSize available = window->screen()->availableGeometry().size();
    std::vector<QSize> sizes = screen.sizes;
    if (sizes.empty()) {
        sizes.push_back(window->size());
        const QSize framed = window->size() + StandaloneWindow::kFrameAllowance;
        if (framed.width() > available.width() || framed.height() > available.height()) {
            problems.push_back("the window opens at " + sizeText(window->size()) + " on a screen of " +
                               sizeText(available));
        }
        const QSize usual(StandaloneWindow::kMinimumWidth, StandaloneWindow::kMinimumHeight);
        if (window->minimumSize() != window->size().boundedTo(usual)) {
            problems.push_back("the window's minimum " + sizeText(window->minimumSize()) + " does not fit " +
                               sizeText(available));
        }
    }
    for (const QSize& size : sizes) {
        window->resize(size);
        // The list lays rows out again a moment after a resize.
        QTest::qWait(400);
        const std::string at = std::to_string(count) + " items at " + sizeText(size) + ", scale " + screen.scale;
        if (window->size() != size) problems.push_back(at + ": the window did not take the size");
        // A narrow window shows its options in place of the queue, and the log pane takes room from
        // the queue: those views are checked as well, all but the rows' share of the list.
        enum class View { queue, options, log };
        for (const View view : {View::queue, View::options, View::log}) {
            if (view == View::options && !window->optionsToggle()->isVisible()) continue;
            window->optionsToggle()->setChecked(view == View::options);
            window->model().setShowLog(view == View::log);
            QTest::qWait(view == View::log ? 400 : 50);
            const char* const names[] = {"", "-options", "-log"};
            const char* name = names[static_cast<int>(view)];
            const std::string where = at + name + ": ";
            if (view != View::options) {
                for (const auto& problem : rowProblems(window->queueList(), view == View::queue)) {
                    problems.push_back(where + problem);
                }
            }
            if (view == View::queue) {
                // Each failed row in view in turn, so that every reason is checked.
                QListView* list = window->queueList();
                for (int row = count / 5; row < 2 * count / 5; ++row) {
                    list->scrollTo(list->model()->index(row, 0), QAbstractItemView::PositionAtTop);
                    for (const auto& problem : rowProblems(list, false)) problems.push_back(where + problem);
                }
                list->scrollToTop();
            }
            const bool foldable = window->optionsToggle()->isVisible();
            if (!window->optionsSidebar()->isVisibleTo(window) && (view == View::options || !foldable)) {
                problems.push_back(where + "the options are out of reach");
            }
            for (const auto& problem : textProblems(window)) problems.push_back(where + problem);
            for (const auto& problem : controlProblems(window)) problems.push_back(where + problem);
            if (view == View::options) {
                // Showing the log brings the queue back, or the log would open out of sight.
                window->logToggle()->click();
                if (window->optionsToggle()->isChecked() || !window->queueList()->isVisibleTo(window)) {
                    problems.push_back(where + "showing the log leaves the queue hidden");
                }
            }
            if (const char* folder = std::getenv("MORVALE_LAYOUT_SNAPSHOTS")) {
                const std::string file = std::string(folder) + "/window-" + std::to_string(count) + "-" + sizeText(size) +
                                         "-scale" + screen.scale + name + ".png";
                window->grab().save(QString::fromStdString(file));
                if (view == View::queue) {
                    // And with the failed rows in view.
                    QListView* list = window->queueList();
                    list->scrollTo(list->model()->index(count / 5, 0), QAbstractItemView::PositionAtTop);
                    window->grab().save(QString::fromStdString(file).replace(QStringLiteral(".png"), QStringLiteral("-failed.png")));
                    list->scrollToTop();
                }
            }
        }
        window->optionsToggle()->setChecked(false);
        window->model().setShowLog(false);
    }
    return problems;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

TEST(WindowLayout, ControlsRowsAndTextsReadWholeAtEverySizeAtScaleOne) {
    for (const int count : {5, 40}) {
        const auto problems = checkWindowAt(count, {"1", {1920, 1200}, kSizes});
        EXPECT_TRUE(problems.empty()) << joined(problems);
    }
}

// In a fresh process each, since the screen and the scale factor are read once, when the
// application starts.
void checkScreenAndExit(const Screen& screen) {
    std::vector<std::string> problems;
    for (const int count : {5, 40}) {
        const auto found = checkWindowAt(count, screen);
        problems.insert(problems.end(), found.begin(), found.end());
    }
    std::fputs(joined(problems).c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(problems.empty() ? 0 : 1);
}

TEST(WindowLayoutDeathTest, ControlsRowsAndTextsReadWholeOnScaledAndSmallScreens) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const Screen& screen : kScaledScreens) {
        SCOPED_TRACE(sizeText(screen.screen) + " at scale " + screen.scale);
        ::setenv("QT_SCALE_FACTOR", screen.scale, 1);
        EXPECT_EXIT(checkScreenAndExit(screen), ::testing::ExitedWithCode(0), "");
        ::unsetenv("QT_SCALE_FACTOR");
    }
}

TEST(WindowOpeningSize, DefaultWhereItFitsElseTheLargestThatFits) {
    struct Case {
        QSize available;
        QSize expected;
        QSize minimum;
    };
    const std::vector<Case> cases{
        {{1904, 1004}, {1040, 720}, {860, 600}},  // 1920 x 1080 at scale 1
        {{1264, 664}, {1040, 664}, {860, 600}},   // 1920 x 1080 at scale 1.5, less a panel: the bottom would be cut
        {{784, 452}, {784, 452}, {784, 452}},     // 1600 x 1000 at scale 2: smaller than the minimum, the screen wins
        {{900, 2000}, {900, 720}, {860, 600}},
        {{624, 312}, {624, 312}, {624, 312}},     // 1280 x 720 at scale 2
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StandaloneWindow::openingSize(c.available), c.expected) << c.available.width() << "x"
                                                                          << c.available.height();
        EXPECT_EQ(StandaloneWindow::minimumSizeFor(c.available), c.minimum) << c.available.width() << "x"
                                                                            << c.available.height();
    }
}

}  // namespace
}  // namespace morvale

#include "image_engine/views/comparison_diff_view.h"

#include <QApplication>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

namespace morvale {
namespace {

void ensureApp() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "image_views_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives until the process ends
    }
}

QImage solid(int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

class ComparisonDiffViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApp();
        view = std::make_unique<ComparisonDiffView>(solid(200, 100, Qt::red), solid(200, 100, Qt::blue));
        view->resize(500, 400);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    void drag(QPoint from, QPoint to) {
        QTest::mousePress(view.get(), Qt::LeftButton, {}, from);
        QTest::mouseMove(view.get(), to);
        QTest::mouseRelease(view.get(), Qt::LeftButton, {}, to);
    }

    std::unique_ptr<ComparisonDiffView> view;
};

TEST_F(ComparisonDiffViewTest, StartsInTheMiddleAndHasItsMinimumSize) {
    EXPECT_DOUBLE_EQ(view->splitFraction(), 0.5);
    EXPECT_FALSE(view->isDragging());
    EXPECT_GE(view->minimumWidth(), 400);
    EXPECT_GE(view->minimumHeight(), 300);
}

TEST_F(ComparisonDiffViewTest, DragMovesTheSplitAndClampsAtTheEdges) {
    struct Case {
        int toX;
        double expected;
    };
    for (const Case c : {Case{125, 0.25}, Case{-80, 0.02}, Case{2, 0.02}, Case{499, 0.98}, Case{900, 0.98},
                         Case{400, 0.8}}) {
        drag({250, 200}, {c.toX, 200});
        EXPECT_NEAR(view->splitFraction(), c.expected, 1e-9) << "to x=" << c.toX;
        EXPECT_FALSE(view->isDragging());
    }
}

TEST_F(ComparisonDiffViewTest, ShortMovementsAndTapsDoNotMoveTheSplit) {
    QTest::mouseClick(view.get(), Qt::LeftButton, {}, {50, 200});
    EXPECT_DOUBLE_EQ(view->splitFraction(), 0.5);
    drag({100, 200}, {106, 206});  // under 10 points of travel
    EXPECT_DOUBLE_EQ(view->splitFraction(), 0.5);
    // Once past the threshold, small further moves count.
    QTest::mousePress(view.get(), Qt::LeftButton, {}, {100, 200});
    QTest::mouseMove(view.get(), {120, 200});
    EXPECT_TRUE(view->isDragging());
    QTest::mouseMove(view.get(), {115, 200});
    QTest::mouseRelease(view.get(), Qt::LeftButton, {}, {115, 200});
    EXPECT_NEAR(view->splitFraction(), 115.0 / 500.0, 1e-9);
}

TEST_F(ComparisonDiffViewTest, ResizeKeepsTheFractionAndLetterboxesBothImagesAlike) {
    drag({250, 200}, {150, 200});
    view->resize(800, 400);
    QApplication::processEvents();
    EXPECT_NEAR(view->splitFraction(), 0.3, 1e-9);
    const QRectF fitted = view->fittedRect({200, 100});
    EXPECT_DOUBLE_EQ(fitted.width(), 800);
    EXPECT_DOUBLE_EQ(fitted.height(), 400);
    view->resize(400, 400);
    QApplication::processEvents();
    const QRectF wide = view->fittedRect({200, 100});
    EXPECT_DOUBLE_EQ(wide.width(), 400);
    EXPECT_DOUBLE_EQ(wide.height(), 200);
    EXPECT_DOUBLE_EQ(wide.top(), 100);
}

TEST_F(ComparisonDiffViewTest, PaintsOriginalLeftOfTheSplitAndProcessedRight) {
    drag({250, 200}, {150, 200});  // split at 0.3 of 500 = 150
    const QImage shot = view->grab().toImage();
    const double ratio = shot.width() / 500.0;  // device pixel ratio of the grab
    auto at = [&](int x, int y) { return shot.pixelColor(static_cast<int>(x * ratio), static_cast<int>(y * ratio)); };
    EXPECT_EQ(at(80, 300), QColor(Qt::red));    // left of the split, inside the image, below the badges
    EXPECT_EQ(at(300, 300), QColor(Qt::blue));  // right of it
    EXPECT_EQ(at(300, 40), QColor(Qt::black));  // letterbox band above the image
}

TEST(ComparisonDiffViewImages, NullImagesPaintWithoutCrashing) {
    ensureApp();
    ComparisonDiffView view{QImage(), QImage()};
    view.resize(400, 300);
    const QImage shot = view.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(view.fittedRect({0, 10}).isNull());
}

}  // namespace
}  // namespace morvale

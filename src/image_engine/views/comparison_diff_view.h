#pragma once

#include <QImage>
#include <QPoint>
#include <QRectF>
#include <QWidget>

namespace morvale {

// Shows an original and a processed image of the same scene on top of each other, split by a
// vertical line the user drags: the original left of the line, the processed result right of it.
class ComparisonDiffView : public QWidget {
    Q_OBJECT

public:
    static constexpr double kMinSplit = 0.02;
    static constexpr double kMaxSplit = 0.98;
    static constexpr int kDragThreshold = 10;

    ComparisonDiffView(QImage originalImage, QImage processedImage, QWidget* parent = nullptr);

    const QImage& originalImage() const { return originalImage_; }
    const QImage& processedImage() const { return processedImage_; }
    double splitFraction() const { return splitFraction_; }
    bool isDragging() const { return isDragging_; }

    // Where an image of the given size is drawn: scaled to fit the widget, aspect kept, centred.
    // Both images go through this, so they stay aligned under the split line.
    QRectF fittedRect(QSize imageSize) const;

    QSize minimumSizeHint() const override { return {400, 300}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void drawBadge(class QPainter& painter, const QString& text, const QColor& background, bool leading) const;
    void drawHandle(class QPainter& painter) const;

    QImage originalImage_;
    QImage processedImage_;
    double splitFraction_ = 0.5;
    // A drag only moves the split once it has travelled the threshold, so clicks don't jump it.
    bool isDragging_ = false;
    bool pressed_ = false;
    QPoint pressPosition_;
};

}  // namespace morvale

#include "image_engine/views/comparison_diff_view.h"

#include <QFont>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <utility>

namespace morvale {

ComparisonDiffView::ComparisonDiffView(QImage originalImage, QImage processedImage, QWidget* parent)
    : QWidget(parent), originalImage_(std::move(originalImage)), processedImage_(std::move(processedImage)) {
    setMinimumSize(400, 300);
    setAutoFillBackground(false);
    setMouseTracking(false);
}

QRectF ComparisonDiffView::fittedRect(QSize imageSize) const {
    const double w = width();
    const double h = height();
    if (imageSize.width() <= 0 || imageSize.height() <= 0 || w <= 0 || h <= 0) {
        return {};
    }
    const double scale = std::min(w / imageSize.width(), h / imageSize.height());
    const double fw = imageSize.width() * scale;
    const double fh = imageSize.height() * scale;
    return {(w - fw) / 2.0, (h - fh) / 2.0, fw, fh};
}

void ComparisonDiffView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.fillRect(rect(), Qt::black);

    const double w = width();
    const double h = height();
    if (!processedImage_.isNull()) {
        painter.drawImage(fittedRect(processedImage_.size()), processedImage_);
    }
    if (!originalImage_.isNull()) {
        painter.save();
        painter.setClipRect(QRectF(0, 0, std::max(0.0, splitFraction_ * w), h));
        painter.drawImage(fittedRect(originalImage_.size()), originalImage_);
        painter.restore();
    }
    drawHandle(painter);
    drawBadge(painter, QStringLiteral("BEFORE (Original)"), QColor(0, 0, 0, 179), true);
    QColor accent = palette().color(QPalette::Highlight);
    accent.setAlphaF(0.85f);
    drawBadge(painter, QStringLiteral("AFTER (Processed)"), accent, false);
}

void ComparisonDiffView::drawHandle(QPainter& painter) const {
    const double x = width() * splitFraction_;
    const double h = height();
    painter.save();
    // Soft shadows first, then the white line and knob over them.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 60));
    painter.drawRect(QRectF(x - 3, 0, 6, h));
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(x - 1, 0, 2, h));
    const QPointF centre(x, h * 0.5);
    painter.setBrush(QColor(0, 0, 0, 50));
    painter.drawEllipse(centre, 17, 17);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, 14, 14);
    // A double-headed arrow on the knob.
    painter.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawLine(QPointF(x - 7, centre.y()), QPointF(x + 7, centre.y()));
    painter.drawLine(QPointF(x - 7, centre.y()), QPointF(x - 4, centre.y() - 3));
    painter.drawLine(QPointF(x - 7, centre.y()), QPointF(x - 4, centre.y() + 3));
    painter.drawLine(QPointF(x + 7, centre.y()), QPointF(x + 4, centre.y() - 3));
    painter.drawLine(QPointF(x + 7, centre.y()), QPointF(x + 4, centre.y() + 3));
    painter.restore();
}

void ComparisonDiffView::drawBadge(QPainter& painter, const QString& text, const QColor& background,
                                   bool leading) const {
    painter.save();
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(10);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const double bw = metrics.horizontalAdvance(text) + 16.0;
    const double bh = metrics.height() + 8.0;
    const double x = leading ? 12.0 : width() - 12.0 - bw;
    const QRectF box(x, 12.0, bw, bh);
    QPainterPath path;
    path.addRoundedRect(box, 4, 4);
    painter.fillPath(path, background);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
    painter.restore();
}

void ComparisonDiffView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = true;
    isDragging_ = false;
    pressPosition_ = event->position().toPoint();
}

void ComparisonDiffView::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPointF position = event->position();
    if (!isDragging_) {
        const QPointF travel = position - QPointF(pressPosition_);
        if (std::hypot(travel.x(), travel.y()) < kDragThreshold) {
            return;
        }
        isDragging_ = true;
        setCursor(Qt::SizeHorCursor);
    }
    const double w = width();
    if (w <= 0 || !std::isfinite(position.x())) {
        return;
    }
    splitFraction_ = std::clamp(position.x() / w, kMinSplit, kMaxSplit);
    update();
}

void ComparisonDiffView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = false;
        if (isDragging_) {
            isDragging_ = false;
            unsetCursor();
        }
    }
    QWidget::mouseReleaseEvent(event);
}

}  // namespace morvale

#include "batch_ui/drop_zone.h"

#include "batch_ui/form_rows.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QResizeEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace morvale {

DropZone::DropZone(const QString& title, const QString& hint, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("dropZone"));
    setAcceptDrops(true);
    setFixedHeight(kEmptyHeight);
    auto* column = new QVBoxLayout(this);
    column_ = column;
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(6);
    column->addStretch(1);
    auto* titleLabel = new QLabel(title, this);
    title_ = titleLabel;
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setAlignment(Qt::AlignCenter);
    // Both texts wrap rather than lose words at the window's narrowest.
    titleLabel->setWordWrap(true);
    titleLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    column->addWidget(titleLabel);
    auto* hintLabel = new QLabel(hint, this);
    hint_ = hintLabel;
    hintLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    hintLabel->setTextFormat(Qt::PlainText);
    hintLabel->setFont(systemFont(11));
    hintLabel->setWordWrap(true);
    hintLabel->setAlignment(Qt::AlignCenter);
    applySecondaryColor(hintLabel);
    column->addWidget(hintLabel);
    // A Linux open dialog picks files or folders, not both at once, so there is one button for each.
    auto* buttons = new QHBoxLayout;
    buttons_ = buttons;
    leading_ = new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum);
    trailing_ = new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum);
    buttons->addItem(leading_);
    addFiles_ = new QPushButton(QStringLiteral("Add Files…"), this);
    addFolder_ = new QPushButton(QStringLiteral("Add Folder…"), this);
    buttons->addWidget(addFiles_);
    buttons->addWidget(addFolder_);
    buttons->addItem(trailing_);
    column->addLayout(buttons);
    column->addStretch(1);
    setStrip(false);
}

void DropZone::setStrip(bool strip) {
    const bool changed = strip != strip_;
    strip_ = strip;
    QFont titleFont = systemFont(strip ? 10 : 14);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    hint_->setVisible(!strip);
    if (changed) {
        // The title moves between its own line above the hint and the buttons' row.
        if (strip) {
            column_->removeWidget(title_);
            buttons_->insertWidget(1, title_, 1);
            title_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        } else {
            buttons_->removeWidget(title_);
            column_->insertWidget(1, title_);
            title_->setAlignment(Qt::AlignCenter);
        }
        const QSizePolicy::Policy side = strip ? QSizePolicy::Fixed : QSizePolicy::Expanding;
        leading_->changeSize(0, 0, side, QSizePolicy::Minimum);
        trailing_->changeSize(0, 0, side, QSizePolicy::Minimum);
        buttons_->invalidate();
    }
    setCompact(compact_);
}

void DropZone::setTargeted(bool targeted) {
    if (targeted_ == targeted) {
        return;
    }
    targeted_ = targeted;
    update();
    emit targetedChanged(targeted);
}

void DropZone::setCompact(bool compact) {
    compact_ = compact;
    const int edge = strip_ ? 6 : compact ? 6 : 16;
    column_->setContentsMargins(strip_ ? 12 : 16, edge, strip_ ? 12 : 16, edge);
    column_->setSpacing(compact || strip_ ? 4 : 6);
    fitHeight();
}

void DropZone::fitHeight() {
    const int base = strip_ ? 0 : compact_ ? kCompactHeight : kEmptyHeight;
    const int needed = column_->hasHeightForWidth() ? column_->totalHeightForWidth(width()) : column_->totalSizeHint().height();
    setFixedHeight(std::max(base, needed));
}

void DropZone::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The texts wrap to the width: a narrower zone may need more lines.
    if (event->size().width() != event->oldSize().width()) fitHeight();
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(box, 12, 12);
    painter.fillPath(path, palette().color(QPalette::Base));
    QColor border;
    if (targeted_) {
        border = palette().color(QPalette::Highlight);
    } else {
        border = palette().color(QPalette::WindowText);
        border.setAlphaF(0.3f);
    }
    QPen pen(border, 2);
    pen.setDashPattern({3, 3});  // in units of the pen width: 6-point dashes and gaps
    painter.setPen(pen);
    painter.drawPath(path);
}

void DropZone::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        setTargeted(true);
    } else {
        event->ignore();
    }
}

void DropZone::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void DropZone::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void DropZone::dropEvent(QDropEvent* event) {
    setTargeted(false);
    const QList<QUrl> urls = event->mimeData()->urls();
    event->acceptProposedAction();
    std::vector<std::filesystem::path> paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) paths.push_back(toPath(url.toLocalFile()));  // anything else is not a file to queue
    }
    if (paths.empty()) return;
    // Emitted after the drop returns, so the drag source is not kept waiting while the queue grows.
    QPointer<DropZone> self(this);
    QTimer::singleShot(0, this, [self, paths = std::move(paths)] {
        if (!self.isNull()) emit self->pathsDropped(paths);
    });
}

}  // namespace morvale

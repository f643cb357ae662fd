#include "batch_ui/queue_row_delegate.h"

#include "batch_core/processing_status.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/queue_list_model.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyleOptionProgressBar>

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

constexpr int kPadding = 6;
constexpr int kProgressWidth = 60;

QColor toneColour(QueueListModel::Tone tone, const QStyleOptionViewItem& option) {
    switch (tone) {
        case QueueListModel::Tone::green:
            return QColor(0x1e, 0x9e, 0x3e);
        case QueueListModel::Tone::red:
            return QColor(0xd7, 0x26, 0x26);
        case QueueListModel::Tone::secondary:
            break;
    }
    QColor colour = option.palette.color(QPalette::Text);
    colour.setAlphaF(0.6f);
    return colour;
}

QFont statusFont() {
    QFont font = systemFont(10);
    font.setWeight(QFont::DemiBold);
    return font;
}

}  // namespace

QSize QueueRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QFontMetrics nameMetrics(monospacedFont(11));
    int height = nameMetrics.height() + 2 * kPadding;
    if (index.data(QueueListModel::MessageRole).isValid()) {
        const QFontMetrics messageMetrics(systemFont(10));
        const int width = std::max(100, option.rect.width() - 200);
        const QRect bounds = messageMetrics.boundingRect(QRect(0, 0, width, 1000), Qt::TextWordWrap,
                                                         index.data(QueueListModel::MessageRole).toString());
        height += 2 + std::min(bounds.height(), 2 * messageMetrics.lineSpacing());
    }
    return {option.rect.width(), height};
}

void QueueRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, option.widget);

    const auto status = static_cast<ProcessingStatus>(index.data(QueueListModel::StatusRole).toInt());
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QColor primary = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QRect area = option.rect.adjusted(kPadding * 2, kPadding, -kPadding * 2, -kPadding);

    painter->save();
    // Status text at the trailing edge.
    const QString statusText = index.data(QueueListModel::StatusTextRole).toString();
    painter->setFont(statusFont());
    const QFontMetrics statusMetrics(painter->font());
    const int statusWidth = statusMetrics.horizontalAdvance(statusText);
    const QRect statusRect(area.right() - statusWidth, area.top(), statusWidth, area.height());
    painter->setPen(selected ? primary : toneColour(QueueListModel::statusTone(status), option));
    painter->drawText(statusRect, Qt::AlignVCenter | Qt::AlignRight, statusText);
    int trailing = statusRect.left() - kPadding * 2;

    const QVariant progress = index.data(QueueListModel::ProgressRole);
    if (progress.isValid()) {
        QStyleOptionProgressBar bar;
        bar.rect = QRect(trailing - kProgressWidth, area.center().y() - 4, kProgressWidth, 8);
        bar.minimum = 0;
        bar.maximum = 1000;
        const double fraction = progress.toDouble();
        bar.progress = std::isfinite(fraction) ? static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)) : 0;
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        bar.palette = option.palette;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
        trailing = bar.rect.left() - kPadding * 2;
    }

    // File name, and under it the message line.
    const QRect textArea(area.left(), area.top(), std::max(0, trailing - area.left()), area.height());
    painter->setFont(monospacedFont(11));
    const QFontMetrics nameMetrics(painter->font());
    const QString message = index.data(QueueListModel::MessageRole).toString();
    const bool hasMessage = index.data(QueueListModel::MessageRole).isValid();
    QRect nameRect = textArea;
    if (hasMessage) {
        nameRect.setHeight(nameMetrics.height());
    }
    painter->setPen(primary);
    painter->drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft,
                      nameMetrics.elidedText(index.data(QueueListModel::FileNameRole).toString(), Qt::ElideRight,
                                             nameRect.width()));
    if (hasMessage) {
        painter->setFont(systemFont(10));
        const QFontMetrics messageMetrics(painter->font());
        const QRect messageRect(textArea.left(), nameRect.bottom() + 2, textArea.width(),
                                std::min(textArea.bottom() - nameRect.bottom() - 2, 2 * messageMetrics.lineSpacing()));
        painter->setPen(selected ? primary : toneColour(QueueListModel::messageTone(status), option));
        painter->setClipRect(messageRect);
        painter->drawText(messageRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, message);
    }
    painter->restore();
}

}  // namespace morvale

#pragma once

#include <QStyledItemDelegate>

namespace morvale {

// Draws one queue row: the file name with its message line below, a progress bar while the item
// is processed, and the status text in the status's colour.
class QueueRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace morvale

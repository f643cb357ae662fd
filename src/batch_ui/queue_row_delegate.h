#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>
#include <QStyledItemDelegate>

#include <array>
#include <string_view>
#include <vector>

class QAbstractItemView;

namespace morvale {

// Draws one queue row: the file name with its message line below, a progress bar while the item
// is processed, and the status text in the status's colour. GUI thread only.
//
// A row is as wide as the list's viewport, whatever width it was laid out at: the status and the
// progress bar stand in a trailing column of fixed width, and the name and message take what is
// left. Its height is what its text needs at the current fonts: the name line, and under it the
// message in one line, or more when it does not fit one line of the viewport's width (the list lays
// rows out again when that width changes): two at most, three for a failure, whose reason is what
// the user has to read, where two such rows fit the list's height. A longer message keeps its reason, the parenthesised part at its end, whole
// and loses characters from the middle of the file name before it, then, where that is not enough,
// the words before the reason from their end; one without such a reason ends in an ellipsis.
class QueueRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // Where one row's parts go, in the coordinates of the row rectangle given.
    struct RowLayout {
        QRect name;
        QRect message;             // empty when the row shows no message
        QStringList messageLines;  // one to three, shortened as the class comment says
        QRect progress;            // empty unless the item is being processed
        QRect status;
    };

    explicit QueueRowDelegate(QAbstractItemView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The narrowest row that still shows its status, by the height the row's text needs; the
    // list stretches rows to its viewport, so a stale width never pushes the status out of view.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The height of the row at the viewport's current width.
    int rowHeight(const QModelIndex& index) const;
    // The height the list last laid the row out with, or -1 when it has not asked since.
    int laidOutHeight(int row) const;
    RowLayout layoutRow(const QRect& row, const QModelIndex& index) const;
    // The most message lines a failed row takes: three, where the list is tall enough for two such rows.
    int failureLines() const;

    static QFont nameFont();
    static QFont messageFont();
    static QFont statusFont();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Metrics {
        QFont base;  // the application font the others were made from
        int nameHeight = 0;
        int messageLineSpacing = 0;
        int statusHeight = 0;
        int statusColumn = 0;  // the widest status text
        std::array<qreal, 256> messageAdvance{};  // per Latin-1 character
        qreal messageMaxAdvance = 0;
    };
    const Metrics& metrics() const;
    int textWidth(int rowWidth) const;
    // The fewest lines, up to `most`, that the message surely fits in at `width`. Counted from the
    // UTF-8 text's character widths without shaping, which never gives less than the shaped width:
    // a relayout asks for every row of the queue, and shaping (or even converting) tens of thousands
    // of messages would stall the window.
    int messageLineCount(std::string_view message, int width, int most) const;
    int messageLineCount(const QModelIndex& index, int width) const;
    // The message in `count` lines of `width`, shortened when it does not fit.
    static QStringList messageLines(const QString& message, int width, int count);

    QAbstractItemView* view_;
    mutable Metrics metrics_;
    mutable bool metricsValid_ = false;
    mutable std::vector<int> laidOut_;
};

}  // namespace morvale

#include "batch_ui/queue_row_delegate.h"

#include "batch_core/processing_status.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/queue_list_model.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QStyleOptionProgressBar>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <optional>

namespace morvale {

namespace {

constexpr int kSidePadding = 12;
constexpr int kTopPadding = 6;
constexpr int kGap = 12;
constexpr int kLineGap = 2;
constexpr int kProgressWidth = 60;
constexpr int kProgressHeight = 8;
constexpr int kMessageLines = 2;
constexpr int kFailureLines = 3;

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

}  // namespace

QueueRowDelegate::QueueRowDelegate(QAbstractItemView* view) : QStyledItemDelegate(view), view_(view) {
    if (view_ != nullptr) view_->installEventFilter(this);
}

bool QueueRowDelegate::eventFilter(QObject* watched, QEvent* event) {
    // The fonts are made from the application's: measured again when it or the style changes, not
    // compared on every row of a relayout.
    const QEvent::Type type = event->type();
    if (type == QEvent::FontChange || type == QEvent::ApplicationFontChange || type == QEvent::StyleChange) {
        metricsValid_ = false;
    }
    return QStyledItemDelegate::eventFilter(watched, event);
}

QFont QueueRowDelegate::nameFont() { return monospacedFont(11); }

QFont QueueRowDelegate::messageFont() { return systemFont(10); }

QFont QueueRowDelegate::statusFont() {
    QFont font = systemFont(10);
    font.setWeight(QFont::DemiBold);
    return font;
}

const QueueRowDelegate::Metrics& QueueRowDelegate::metrics() const {
    if (metricsValid_ && (view_ != nullptr || QApplication::font() == metrics_.base)) return metrics_;
    metrics_.base = QApplication::font();
    metrics_.nameHeight = QFontMetrics(nameFont()).height();
    metrics_.messageLineSpacing = QFontMetrics(messageFont()).lineSpacing();
    const QFontMetricsF message(messageFont());
    for (int code = 0; code < 256; ++code) {
        metrics_.messageAdvance[static_cast<std::size_t>(code)] = message.horizontalAdvance(QChar(code));
    }
    metrics_.messageMaxAdvance = std::max(message.maxWidth(), message.horizontalAdvance(QChar(0x2014)));
    const QFontMetrics status(statusFont());
    metrics_.statusHeight = status.height();
    metrics_.statusColumn = 0;
    for (const ProcessingStatus value : allProcessingStatuses) {
        const auto text = rawValue(value);
        metrics_.statusColumn = std::max(
            metrics_.statusColumn,
            status.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))));
    }
    metricsValid_ = true;
    return metrics_;
}

int QueueRowDelegate::textWidth(int rowWidth) const {
    return std::max(0, rowWidth - 2 * kSidePadding - metrics().statusColumn - kGap - kProgressWidth - kGap);
}

int QueueRowDelegate::messageLineCount(std::string_view message, int width, int most) const {
    const Metrics& m = metrics();
    // Kerning and ligatures only narrow a line; the pixel of margin covers the rounding of the sum.
    // A character outside Latin-1 counts as the widest one, once for its lead byte.
    qreal total = 1, word = 0, longestWord = 0;
    for (const char byte : message) {
        const auto code = static_cast<unsigned char>(byte);
        if ((code & 0xC0) == 0x80) continue;
        const qreal advance = code < 0x80 ? m.messageAdvance[code] : m.messageMaxAdvance;
        total += advance;
        if (code == ' ' || code == '\n' || code == '\t') {
            longestWord = std::max(longestWord, word);
            word = 0;
        } else {
            word += advance;
        }
    }
    longestWord = std::max(longestWord, word);
    // A line broken at a word ends less than the next word's width short of the full width.
    const qreal lost = std::min<qreal>(longestWord, width);
    for (int lines = 1; lines < most; ++lines) {
        if (total <= lines * width - (lines - 1) * lost) return lines;
    }
    return most;
}

int QueueRowDelegate::messageLineCount(const QModelIndex& index, int width) const {
    const auto* queue = dynamic_cast<const QueueListModel*>(index.model());
    if (queue == nullptr) return 0;
    // Kept with the width and the failures' lines it was counted at: a count at others is counted again.
    const int failure = failureLines();
    const int key = (width * 4 + failure) * 4;
    const int kept = queue->measure(index.row());
    if (kept >= 0 && kept / 4 * 4 == key) return kept % 4;
    const BatchItem* item = queue->itemAt(index.row());
    int lines = 0;
    if (item != nullptr && item->errorMessage && QueueListModel::showsMessage(item->status)) {
        lines = messageLineCount(*item->errorMessage, width,
                                 item->status == ProcessingStatus::failed ? failure : kMessageLines);
    }
    queue->setMeasure(index.row(), key + lines);
    return lines;
}

int QueueRowDelegate::failureLines() const {
    if (view_ == nullptr) return kFailureLines;
    // Two rows of the tallest kind stay in view together; on a list too short for that a failure
    // keeps to the lines of any other message.
    const Metrics& m = metrics();
    const int tallest =
        2 * kTopPadding + std::max(m.nameHeight + kLineGap + kFailureLines * m.messageLineSpacing, m.statusHeight);
    return 2 * tallest <= view_->viewport()->height() ? kFailureLines : kMessageLines;
}

namespace {

// `text` broken into at most `count` lines of `width` as the row draws them; returns where the
// text left over starts (its size when it all fits).
qsizetype breakLines(const QString& text, const QFont& font, int width, int count, QStringList& lines) {
    lines.clear();
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qsizetype end = 0;
    while (lines.size() < count) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(std::max(1, width));
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
        end = line.textStart() + line.textLength();
    }
    layout.endLayout();
    return end;
}

bool fits(const QString& text, const QFont& font, int width, int count, QStringList& lines) {
    return breakLines(text, font, width, count, lines) >= text.size();
}

// Where the reason of a message such as "Could not read texture map <name> (the file is empty)."
// starts: at the last parenthesis of the top level, which may hold parentheses of its own; -1 when
// the message gives no reason that way.
qsizetype reasonStart(const QString& text) {
    int depth = 0;
    for (qsizetype at = text.lastIndexOf(QLatin1Char(')')); at > 0; --at) {
        if (text[at] == QLatin1Char(')')) {
            ++depth;
        } else if (text[at] == QLatin1Char('(') && --depth == 0) {
            return at;
        }
    }
    return -1;
}

// The lines of make(n) for the largest n in [low, high] whose text fits, found by halving (a larger
// n keeps more of the text, so fitting only gets harder as n grows); none when even make(low) does
// not fit.
template <typename Size, typename Make>
std::optional<QStringList> largestFitting(Size low, Size high, const Make& make, const QFont& font, int width,
                                          int count) {
    QStringList best;
    if (!fits(make(low), font, width, count, best)) return std::nullopt;
    while (low < high) {
        const Size middle = low + (high - low + 1) / 2;
        QStringList candidate;
        if (fits(make(middle), font, width, count, candidate)) {
            low = middle;
            best = std::move(candidate);
        } else {
            high = middle - 1;
        }
    }
    return best;
}

}  // namespace

QStringList QueueRowDelegate::messageLines(const QString& message, int width, int count) {
    // One paragraph: line breaks inside a message would otherwise take lines of their own.
    const QString text = message.simplified();
    const QFont font = messageFont();
    const QFontMetrics metrics(font);
    QStringList lines;
    if (fits(text, font, width, count, lines)) return lines;

    // Too long: the reason is what the user needs, so the file's name before it (the longest word
    // there) loses characters from its middle until the whole reason fits. A message that gives no
    // reason in parentheses is its own reason ("<name> is 1024 x 1024 but …"): its name gives way
    // the same way before the end is cut.
    const qsizetype reason = reasonStart(text);
    const qsizetype nameEnd = reason > 0 ? reason : text.size();
    QString shortest = text;
    {
        qsizetype nameAt = 0, nameLength = 0;
        for (qsizetype at = 0; at < nameEnd;) {
            const qsizetype blank = text.indexOf(QLatin1Char(' '), at);
            const qsizetype end = blank < 0 || blank > nameEnd ? nameEnd : blank;
            if (end - at > nameLength) {
                nameAt = at;
                nameLength = end - at;
            }
            at = end + 1;
        }
        const QString name = text.mid(nameAt, nameLength);
        const auto shortened = [&](int nameWidth) {
            return text.left(nameAt) + metrics.elidedText(name, Qt::ElideMiddle, nameWidth) +
                   text.mid(nameAt + nameLength);
        };
        // The widest shortening that fits.
        int low = metrics.horizontalAdvance(QChar(0x2026));
        int high = metrics.horizontalAdvance(name) - 1;
        if (nameLength > 1) {
            if (auto best = largestFitting<int>(low, high, shortened, font, width, count)) return *best;
        }
        // Nothing fits whole: a name cut to part of a line still leaves room for more of what
        // follows it, which says what is wrong.
        if (nameLength > 1) shortest = shortened(std::min(high, width * 2 / 5));
    }
    if (reason > 0) {
        // Still too long: the words before the reason give way to it, from their end, so that the
        // reason stays whole as long as it fits the lines by itself.
        const auto cut = [&](qsizetype kept) {
            return text.left(kept).trimmed() + QChar(0x2026) + QLatin1Char(' ') + text.mid(reason);
        };
        if (auto best = largestFitting<qsizetype>(0, reason - 1, cut, font, width, count)) return *best;
    }

    // The last line shown takes the rest of the message, shortened when it does not fit.
    const qsizetype rest = breakLines(shortest, font, width, count - 1, lines);
    lines << metrics.elidedText(shortest.mid(rest).trimmed(), Qt::ElideRight, width);
    return lines;
}

int QueueRowDelegate::rowHeight(const QModelIndex& index) const {
    const Metrics& m = metrics();
    int text = m.nameHeight;
    const int lines = messageLineCount(index, textWidth(view_ != nullptr ? view_->viewport()->width() : 0));
    if (lines > 0) text += kLineGap + lines * m.messageLineSpacing;
    return 2 * kTopPadding + std::max(text, m.statusHeight);
}

int QueueRowDelegate::laidOutHeight(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < laidOut_.size() ? laidOut_[static_cast<std::size_t>(row)] : -1;
}

QSize QueueRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
    const int height = rowHeight(index);
    if (index.row() >= 0) {
        const auto row = static_cast<std::size_t>(index.row());
        if (row >= laidOut_.size()) laidOut_.resize(row + 1, -1);
        laidOut_[row] = height;
    }
    return {2 * kSidePadding + metrics().statusColumn + kGap + kProgressWidth, height};
}

QueueRowDelegate::RowLayout QueueRowDelegate::layoutRow(const QRect& row, const QModelIndex& index) const {
    const Metrics& m = metrics();
    RowLayout layout;
    const int right = row.right() - kSidePadding;  // last pixel column of the content
    const int middle = row.top() + row.height() / 2;
    layout.status = QRect(right + 1 - m.statusColumn, middle - m.statusHeight / 2, m.statusColumn, m.statusHeight);
    if (index.data(QueueListModel::ProgressRole).isValid()) {
        layout.progress = QRect(layout.status.left() - kGap - kProgressWidth, middle - kProgressHeight / 2,
                                kProgressWidth, kProgressHeight);
    }

    const int width = textWidth(row.width());
    int block = m.nameHeight;
    const QVariant message = index.data(QueueListModel::MessageRole);
    if (message.isValid()) {
        layout.messageLines = messageLines(message.toString(), width, std::max(1, messageLineCount(index, width)));
        block += kLineGap + static_cast<int>(layout.messageLines.size()) * m.messageLineSpacing;
    }
    const int top = row.top() + std::max(0, (row.height() - block) / 2);
    layout.name = QRect(row.left() + kSidePadding, top, width, m.nameHeight);
    if (!layout.messageLines.isEmpty()) {
        layout.message = QRect(layout.name.left(), layout.name.bottom() + 1 + kLineGap, width,
                               static_cast<int>(layout.messageLines.size()) * m.messageLineSpacing);
    }
    return layout;
}

void QueueRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, option.widget);

    // The row as the viewport shows it, even before the list has laid out a new width.
    QRect row = option.rect;
    if (view_ != nullptr) row.setRight(std::min(row.right(), view_->viewport()->width() - 1));
    const RowLayout layout = layoutRow(row, index);

    const auto status = static_cast<ProcessingStatus>(index.data(QueueListModel::StatusRole).toInt());
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QColor primary = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);

    painter->save();
    painter->setClipRect(row);
    if ((option.state & QStyle::State_HasFocus) != 0) {
        // The row the keys move from, in a list that has the focus.
        painter->setPen(QPen(option.palette.color(QPalette::Highlight), 1));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(row.adjusted(1, 1, -2, -2));
    }
    painter->setFont(statusFont());
    painter->setPen(selected ? primary : toneColour(QueueListModel::statusTone(status), option));
    painter->drawText(layout.status, Qt::AlignVCenter | Qt::AlignRight,
                      index.data(QueueListModel::StatusTextRole).toString());

    if (!layout.progress.isEmpty()) {
        QStyleOptionProgressBar bar;
        bar.rect = layout.progress;
        bar.minimum = 0;
        bar.maximum = 1000;
        const double fraction = index.data(QueueListModel::ProgressRole).toDouble();
        bar.progress = std::isfinite(fraction) ? static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)) : 0;
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        bar.palette = option.palette;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }

    painter->setFont(nameFont());
    painter->setPen(primary);
    painter->drawText(layout.name, Qt::AlignVCenter | Qt::AlignLeft,
                      painter->fontMetrics().elidedText(index.data(QueueListModel::FileNameRole).toString(),
                                                        Qt::ElideRight, layout.name.width()));
    if (!layout.messageLines.isEmpty()) {
        painter->setFont(messageFont());
        painter->setPen(selected ? primary : toneColour(QueueListModel::messageTone(status), option));
        const int spacing = painter->fontMetrics().lineSpacing();
        QRect line(layout.message.left(), layout.message.top(), layout.message.width(), spacing);
        for (const QString& text : layout.messageLines) {
            painter->drawText(line, Qt::AlignLeft | Qt::AlignTop, text);
            line.translate(0, spacing);
        }
    }
    painter->restore();
}

}  // namespace morvale

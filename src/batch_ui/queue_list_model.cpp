#include "batch_ui/queue_list_model.h"

#include "batch_ui/form_rows.h"
#include "batch_ui/standalone_view_model.h"

#include <algorithm>

namespace morvale {

QueueListModel::QueueListModel(StandaloneViewModel& model, QObject* parent)
    : QAbstractListModel(parent),
      model_(model),
      rows_(static_cast<int>(model.queueItems().size())),
      measures_(static_cast<std::size_t>(rows_), -1) {
    connect(&model_, &StandaloneViewModel::itemsAppended, this, [this](int first, int count) {
        const int size = static_cast<int>(model_.queueItems().size());
        if (count <= 0 || first != rows_ || first + count > size) {
            // Out of step with the queue: start over rather than report wrong rows.
            beginResetModel();
            rows_ = size;
            measures_.assign(static_cast<std::size_t>(rows_), -1);
            endResetModel();
            return;
        }
        beginInsertRows({}, first, first + count - 1);
        rows_ += count;
        measures_.resize(static_cast<std::size_t>(rows_), -1);
        endInsertRows();
    });
    connect(&model_, &StandaloneViewModel::rowsRemoved, this, [this](const std::vector<std::pair<int, int>>& runs) {
        int removed = 0;
        int below = -1;
        for (const auto& [first, last] : runs) {
            if (first <= below || last < first) {
                removed = -1;
                break;
            }
            removed += last - first + 1;
            below = last;
        }
        if (removed < 0 || below >= rows_ || rows_ - removed != static_cast<int>(model_.queueItems().size())) {
            beginResetModel();
            rows_ = static_cast<int>(model_.queueItems().size());
            measures_.assign(static_cast<std::size_t>(rows_), -1);
            endResetModel();
            return;
        }
        // The queue has already dropped every run; the list drops them from the last to the first,
        // and meanwhile reads the rows it still shows through the runs not yet dropped.
        removedRuns_ = runs;
        for (std::size_t left = runs.size(); left > 0; --left) {
            const auto [first, last] = runs[left - 1];
            shownRuns_ = left;
            beginRemoveRows({}, first, last);
            rows_ -= last - first + 1;
            measures_.erase(measures_.begin() + first, measures_.begin() + last + 1);
            shownRuns_ = left - 1;
            endRemoveRows();
        }
        removedRuns_.clear();
    });
    connect(&model_, &StandaloneViewModel::queueReset, this, [this] {
        beginResetModel();
        rows_ = static_cast<int>(model_.queueItems().size());
        measures_.assign(static_cast<std::size_t>(rows_), -1);
        endResetModel();
    });
    connect(&model_, &StandaloneViewModel::itemChanged, this, [this](int row) {
        if (row >= 0 && row < rows_) {
            measures_[static_cast<std::size_t>(row)] = -1;
            emit dataChanged(index(row), index(row));
        }
    });
    connect(&model_, &StandaloneViewModel::rowsChanged, this, [this](int first, int last) {
        first = std::max(first, 0);
        last = std::min(last, rows_ - 1);
        if (first <= last) {
            std::fill(measures_.begin() + first, measures_.begin() + last + 1, -1);
            emit dataChanged(index(first), index(last));
        }
    });
}

int QueueListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

const BatchItem* QueueListModel::itemAt(int row) const {
    const auto& items = model_.queueItems();
    if (row < 0 || row >= rows_) {
        return nullptr;
    }
    int queueRow = row;
    for (std::size_t run = 0; run < shownRuns_; ++run) {
        const auto [first, last] = removedRuns_[run];
        if (row < first) break;
        if (row <= last) return nullptr;
        queueRow -= last - first + 1;
    }
    if (static_cast<std::size_t>(queueRow) >= items.size()) {
        return nullptr;
    }
    return &items[static_cast<std::size_t>(queueRow)];
}

QString QueueListModel::fileName(const BatchItem& item) {
    return toQString(item.originalFileName) + QLatin1Char('.') + toQString(item.fileExtension);
}

bool QueueListModel::showsMessage(ProcessingStatus status) {
    return status == ProcessingStatus::processing || status == ProcessingStatus::failed ||
           status == ProcessingStatus::skipped;
}

QueueListModel::Tone QueueListModel::statusTone(ProcessingStatus status) {
    switch (status) {
        case ProcessingStatus::completed:
            return Tone::green;
        case ProcessingStatus::failed:
            return Tone::red;
        default:
            return Tone::secondary;
    }
}

QueueListModel::Tone QueueListModel::messageTone(ProcessingStatus status) {
    return status == ProcessingStatus::failed ? Tone::red : Tone::secondary;
}

QVariant QueueListModel::data(const QModelIndex& index, int role) const {
    const BatchItem* item = itemAt(index.row());
    if (item == nullptr) {
        return {};
    }
    switch (role) {
        case FileNameRole:
            return fileName(*item);
        case StatusRole:
            return static_cast<int>(item->status);
        case StatusTextRole: {
            const auto text = rawValue(item->status);
            return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        }
        case ProgressRole:
            return showsProgress(item->status) ? QVariant(item->progress) : QVariant();
        case MessageRole:
            if (item->errorMessage && showsMessage(item->status)) {
                return QString::fromStdString(*item->errorMessage);
            }
            return {};
        case IdRole:
            return QString::fromStdString(item->id.toString());
        case Qt::ToolTipRole:
            // The row may have to shorten its message; here it reads whole.
            if (item->errorMessage && showsMessage(item->status)) {
                return toQString(item->sourceURL) + QLatin1Char('\n') + QString::fromStdString(*item->errorMessage);
            }
            return toQString(item->sourceURL);
        default:
            return {};
    }
}

}  // namespace morvale

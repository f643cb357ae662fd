#pragma once

#include "batch_core/batch_item.h"

#include <QAbstractListModel>
#include <QColor>
#include <QString>

#include <cstddef>
#include <utility>
#include <vector>

namespace morvale {

class StandaloneViewModel;

// The queue as rows for the window's list: reads the view model's items and follows its signals.
class QueueListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        FileNameRole = Qt::DisplayRole,
        StatusRole = Qt::UserRole + 1,  // ProcessingStatus as int
        StatusTextRole,                 // "Pending", "Completed", ...
        ProgressRole,                   // double 0...1, only while processing (else invalid)
        MessageRole,                    // the message line, only where the row shows it
        IdRole,                         // the item's id as text
    };

    explicit QueueListModel(StandaloneViewModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const BatchItem* itemAt(int row) const;

    // A value the row's delegate derives from the row's content and keeps here, or -1: forgotten
    // whenever the row changes, and moved with the row when rows before it come or go, so that a
    // relayout of the whole queue measures only the rows that changed.
    int measure(int row) const {
        return row >= 0 && static_cast<std::size_t>(row) < measures_.size() ? measures_[static_cast<std::size_t>(row)] : -1;
    }
    void setMeasure(int row, int value) const {
        if (row >= 0 && static_cast<std::size_t>(row) < measures_.size()) measures_[static_cast<std::size_t>(row)] = value;
    }

    // How a row presents its item's status.
    static QString fileName(const BatchItem& item);
    static bool showsMessage(ProcessingStatus status);
    static bool showsProgress(ProcessingStatus status) { return status == ProcessingStatus::processing; }
    enum class Tone { secondary, green, red };
    static Tone statusTone(ProcessingStatus status);
    static Tone messageTone(ProcessingStatus status);

private:
    StandaloneViewModel& model_;
    int rows_ = 0;
    // While removed rows leave the list: the runs removed from the queue, and how many of them
    // (the first ones) the list still shows.
    std::vector<std::pair<int, int>> removedRuns_;
    std::size_t shownRuns_ = 0;
    mutable std::vector<int> measures_;
};

}  // namespace morvale

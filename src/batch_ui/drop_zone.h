#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <vector>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

namespace morvale {

// The dashed drop target at the top of the workspace. Each dropped local file or folder is
// handed on alone, as a one-element list, in a call queued to the GUI thread.
class DropZone : public QWidget {
    Q_OBJECT

public:
    static constexpr int kEmptyHeight = 150;
    static constexpr int kCompactHeight = 96;

    DropZone(const QString& title, const QString& hint, QWidget* parent = nullptr);

    void setTargeted(bool targeted);
    bool isTargeted() const { return targeted_; }
    // 150 points while the queue is empty, 96 once it holds an item; taller when its texts,
    // wrapped to its width, need more.
    void setCompact(bool compact);
    bool isCompact() const { return compact_; }
    // A strip for a window too short for the zone: the title in smaller type beside the buttons,
    // without the hint, as tall as that one row needs.
    void setStrip(bool strip);
    bool isStrip() const { return strip_; }

    QPushButton* addFilesButton() const { return addFiles_; }
    QPushButton* addFolderButton() const { return addFolder_; }

signals:
    void targetedChanged(bool targeted);
    // Every local file of one drop, in the order dropped: one drop is one ingest.
    void pathsDropped(const std::vector<std::filesystem::path>& paths);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void fitHeight();

    bool targeted_ = false;
    bool compact_ = false;
    bool strip_ = false;
    QVBoxLayout* column_ = nullptr;
    QHBoxLayout* buttons_ = nullptr;
    QSpacerItem* leading_ = nullptr;
    QSpacerItem* trailing_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* hint_ = nullptr;
    QPushButton* addFiles_;
    QPushButton* addFolder_;
};

}  // namespace morvale

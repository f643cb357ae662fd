#pragma once

#include "batch_ui/standalone_branding.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QSize>
#include <QMainWindow>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QListView;
class QHBoxLayout;
class QPlainTextEdit;
class QScreen;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace morvale {

class DropZone;
class NamingPatternSection;
class QueueListModel;
class StandaloneViewModel;

// The modal choosers the window opens; tests replace them.
struct StandalonePanels {
    std::function<std::vector<std::filesystem::path>(QWidget* parent)> chooseFiles;
    std::function<std::optional<std::filesystem::path>(QWidget* parent)> chooseFolder;
    // Opens at `current`; the confirm button reads "Use Folder".
    std::function<std::optional<std::filesystem::path>(QWidget* parent, const std::filesystem::path& current)>
        chooseOutputFolder;
    static StandalonePanels dialogs();
};

// The application's one main window: a workspace (header, drop zone, queue, log pane, output-folder
// row) beside the options sidebar (the vertical's option form and the file-naming section). Every
// action is a call on the view model; the window shows the view model's state and keeps none.
class StandaloneWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kDefaultWidth = 1040;
    static constexpr int kDefaultHeight = 720;
    static constexpr int kMinimumWidth = 860;
    static constexpr int kMinimumHeight = 600;
    static constexpr int kWorkspaceMinimumWidth = 460;
    static constexpr int kSidebarWidth = 340;
    // The window gives way on a small screen. Too narrow for the sidebar beside the workspace, the
    // options fold away behind "Show Options", which shows them in place of the queue; shorter than
    // the minimum height, the drop zone becomes a strip, the tagline goes and the spacing tightens.
    // What the window manager's frame (a title bar, thin borders) takes beyond the window's own
    // size; it is not known before the window is shown.
    static constexpr QSize kFrameAllowance{16, 48};

    StandaloneWindow(StandaloneViewModel& model, StandaloneBranding branding, QWidget* options,
                     StandalonePanels panels = StandalonePanels::dialogs(), QWidget* parent = nullptr);

    StandaloneViewModel& model() const { return model_; }
    const StandaloneBranding& branding() const { return branding_; }

    // "Add Files…" and "Add Folder…": open the chooser and queue what was chosen.
    void addFiles();
    void addFolder();
    void chooseOutputDirectory();

    // The size the window opens at on a screen whose available area, less the frame, is `available`:
    // the default size where it fits, else the largest part of it that fits.
    static QSize openingSize(const QSize& available);
    // The smallest size the window can take there: the usual minimum, less where the screen is smaller.
    static QSize minimumSizeFor(const QSize& available);


    // "0 textures", "1 texture", "12 textures".
    static QString countText(long long count, const std::string& noun);

    // Parts, for the menus and the tests.
    DropZone* dropZone() const { return dropZone_; }
    QListView* queueList() const { return list_; }
    QueueListModel* queueModel() const { return queueModel_; }
    QLabel* countLabel() const { return countLabel_; }
    QLabel* emptyLabel() const { return emptyLabel_; }
    QPushButton* runButton() const { return runButton_; }
    QPushButton* clearButton() const { return clearButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* logToggle() const { return logToggle_; }
    // Shown only while the window is narrow: shows the options in place of the queue, and back.
    QPushButton* optionsToggle() const { return optionsToggle_; }
    QProgressBar* overallBar() const { return overallBar_; }
    QPlainTextEdit* logPane() const { return logPane_; }
    QLabel* outputLabel() const { return outputLabel_; }
    QScrollArea* optionsSidebar() const { return sidebar_; }
    NamingPatternSection* namingSection() const { return naming_; }
    QWidget* options() const { return options_; }

    // The context menu of a row, as the window builds it.
    class QMenu* rowMenu(int row);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildWorkspace();
    QWidget* buildHeader();
    QWidget* buildQueue();
    QWidget* buildOutputRow();
    QScrollArea* buildSidebar();

    void refreshQueueState();
    void refreshProcessing();
    void refreshLogVisibility();
    void refreshOutputFolder();
    void pushSelectionToModel();
    void pullSelectionFromModel();
    void appendLogLine();
    // Brings the pane up to the view model's log: the lines that came since the last time, or the
    // whole log when more came than the pane keeps.
    void flushLog();
    void fitToScreen(QScreen* screen);
    void adaptToSize(bool force = false);
    void placeSidebar();

    StandaloneViewModel& model_;
    StandaloneBranding branding_;
    QWidget* options_;
    StandalonePanels panels_;

    DropZone* dropZone_ = nullptr;
    QListView* list_ = nullptr;
    QueueListModel* queueModel_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QLabel* emptyLabel_ = nullptr;
    QPushButton* runButton_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* logToggle_ = nullptr;
    QPushButton* optionsToggle_ = nullptr;
    QWidget* workspace_ = nullptr;
    QWidget* body_ = nullptr;
    QWidget* divider_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QVBoxLayout* workspaceColumn_ = nullptr;
    QVBoxLayout* bodyColumn_ = nullptr;
    QHBoxLayout* mainRow_ = nullptr;
    QProgressBar* overallBar_ = nullptr;
    QPlainTextEdit* logPane_ = nullptr;
    QLabel* outputLabel_ = nullptr;
    QScrollArea* sidebar_ = nullptr;
    NamingPatternSection* naming_ = nullptr;
    // Lines appended to the log since the pane last took them. A pane shown takes them at most this
    // often: laying out one line costs a fraction of a millisecond, and a large run logs thousands a
    // second. A hidden pane takes them when it is shown.
    static constexpr int kLogFlushInterval = 100;
    std::size_t logLinesPending_ = 0;
    QTimer* logFlush_ = nullptr;
    QElapsedTimer lastLogFlush_;
    bool syncingSelection_ = false;
    bool narrow_ = false;
    bool short_ = false;
};

// The product icon: the icon theme's entry of that name, or a drawn cube when the theme has none.
QIcon productIcon(const std::string& name);

}  // namespace morvale

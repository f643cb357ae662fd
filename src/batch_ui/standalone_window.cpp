#include "batch_ui/standalone_window.h"

#include "batch_ui/drop_zone.h"
#include "batch_ui/focus_ring.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/queue_list_model.h"
#include "batch_ui/queue_row_delegate.h"
#include "batch_ui/standalone_view_model.h"
#include "batch_ui/window_snapshot.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace morvale {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QPushButton* smallButton(const QString& title, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setFont(systemFont(11));
    return button;
}

// Shows a path on one line, shortened in the middle when it doesn't fit.
class MiddleElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    void setFullText(const QString& text) {
        full_ = text;
        setToolTip(text);
        setText(text);
        update();
    }
    QSize minimumSizeHint() const override { return {40, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(contentsRect(), Qt::AlignVCenter | Qt::AlignLeft,
                         fontMetrics().elidedText(full_, Qt::ElideMiddle, contentsRect().width()));
    }

private:
    QString full_;
};

// The queue list; Delete removes the selected rows. Rows fill the viewport's width (no horizontal
// scrolling) and are laid out again when that width changes or a row's text needs another height.
class QueueListView : public QListView {
public:
    QueueListView(StandaloneWindow& window, QWidget* parent) : QListView(parent), window_(window) {
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setResizeMode(QListView::Adjust);
        relayout_.setSingleShot(true);
        relayout_.setInterval(kRelayoutInterval);
        connect(&relayout_, &QTimer::timeout, this, [this] { scheduleDelayedItemsLayout(); });
    }

protected:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) override {
        QListView::dataChanged(topLeft, bottomRight, roles);
        if (!topLeft.isValid() || !bottomRight.isValid()) return;
        auto* rows = dynamic_cast<QueueRowDelegate*>(itemDelegate());
        if (rows == nullptr) return;
        if (bottomRight.row() - topLeft.row() >= kRowsCheckedOneByOne) {
            relayoutSoon();
            return;
        }
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
            // Not visualRect(): it lays out the whole list at once when a layout is pending.
            if (rows->rowHeight(model()->index(row, 0)) != rows->laidOutHeight(row)) {
                relayoutSoon();
                return;
            }
        }
    }

    void resizeEvent(QResizeEvent* event) override {
        QListView::resizeEvent(event);
        // A height alone lays nothing out again, but it may give failed rows a line more or less.
        auto* rows = dynamic_cast<QueueRowDelegate*>(itemDelegate());
        const int failureLines = rows != nullptr ? rows->failureLines() : 0;
        if (failureLines != failureLines_) scheduleDelayedItemsLayout();
        failureLines_ = failureLines;
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (event->matches(QKeySequence::Delete) || event->key() == Qt::Key_Backspace) {
            // A copy: removing changes the selection while remove() walks its argument.
            const std::set<Uuid> selected = window_.model().selection();
            window_.model().remove(selected);
            return;
        }
        QListView::keyPressEvent(event);
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        const QModelIndex index = indexAt(event->pos());
        if (!index.isValid()) {
            return;
        }
        if (QMenu* menu = window_.rowMenu(index.row())) {
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(event->globalPos());
        }
    }

private:
    // A row that gains or loses its message changes height. Laying out every row costs time in
    // proportion to the queue, so during a run with many such changes it happens at most this often;
    // in between, a row draws within the height it has.
    static constexpr int kRelayoutInterval = 150;
    static constexpr int kRowsCheckedOneByOne = 64;

    void relayoutSoon() {
        if (!relayout_.isActive()) relayout_.start();
    }

    StandaloneWindow& window_;
    QTimer relayout_;
    int failureLines_ = 0;
};

QIcon drawnCube() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent(0x3b, 0x82, 0xf6);
    QPen pen(accent, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    const QPointF top(32, 6), left(8, 19), right(56, 19), centre(32, 32), bottomLeft(8, 45), bottomRight(56, 45),
        bottom(32, 58);
    QColor face = accent;
    face.setAlphaF(0.18f);
    QPainterPath upper;
    upper.moveTo(top);
    upper.lineTo(right);
    upper.lineTo(centre);
    upper.lineTo(left);
    upper.closeSubpath();
    painter.fillPath(upper, face);
    painter.drawPolyline(QPolygonF({left, top, right, bottomRight, bottom, bottomLeft, left}));
    painter.drawPolyline(QPolygonF({left, centre, right}));
    painter.drawLine(centre, bottom);
    return QIcon(pixmap);
}

}  // namespace

QIcon productIcon(const std::string& name) {
    const QIcon themed = QIcon::fromTheme(qs(name));
    return themed.isNull() ? drawnCube() : themed;
}

StandalonePanels StandalonePanels::dialogs() {
    StandalonePanels panels;
    panels.chooseFiles = [](QWidget* parent) {
        std::vector<std::filesystem::path> paths;
        for (const QString& file : QFileDialog::getOpenFileNames(parent, QStringLiteral("Add Files"))) {
            paths.push_back(toPath(file));
        }
        return paths;
    };
    panels.chooseFolder = [](QWidget* parent) -> std::optional<std::filesystem::path> {
        const QString folder = QFileDialog::getExistingDirectory(parent, QStringLiteral("Add Folder"));
        if (folder.isEmpty()) {
            return std::nullopt;
        }
        return toPath(folder);
    };
    panels.chooseOutputFolder = [](QWidget* parent,
                                   const std::filesystem::path& current) -> std::optional<std::filesystem::path> {
        QFileDialog dialog(parent);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setDirectory(toQString(current));
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Use Folder"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        return toPath(dialog.selectedFiles().front());
    };
    return panels;
}

StandaloneWindow::StandaloneWindow(StandaloneViewModel& model, StandaloneBranding branding, QWidget* options,
                                   StandalonePanels panels, QWidget* parent)
    : QMainWindow(parent), model_(model), branding_(std::move(branding)), options_(options), panels_(std::move(panels)) {
    setObjectName(QStringLiteral("mainWindow"));
    new FocusRing(this);
    setWindowTitle(qs(branding_.title));
    setWindowIcon(productIcon(branding_.icon));
    if (QScreen* screen = this->screen()) {
        fitToScreen(screen);
        resize(openingSize(screen->availableGeometry().size() - kFrameAllowance));
    } else {
        setMinimumSize(kMinimumWidth, kMinimumHeight);
        resize(kDefaultWidth, kDefaultHeight);
    }

    auto* central = new QWidget(this);
    mainRow_ = new QHBoxLayout(central);
    mainRow_->setContentsMargins(0, 0, 0, 0);
    mainRow_->setSpacing(0);
    workspace_ = buildWorkspace();
    mainRow_->addWidget(workspace_, 1);
    auto* divider = new QFrame(central);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);
    divider_ = divider;
    mainRow_->addWidget(divider);
    mainRow_->addWidget(buildSidebar());
    setCentralWidget(central);
    connect(optionsToggle_, &QPushButton::toggled, this, [this] { placeSidebar(); });

    connect(&model_, &StandaloneViewModel::itemsAppended, this, [this] { refreshQueueState(); });
    connect(&model_, &StandaloneViewModel::rowsRemoved, this, [this] { refreshQueueState(); });
    connect(&model_, &StandaloneViewModel::queueReset, this, [this] {
        refreshQueueState();
        pullSelectionFromModel();
    });
    connect(&model_, &StandaloneViewModel::itemChanged, this, [this] { refreshQueueState(); });
    connect(&model_, &StandaloneViewModel::rowsChanged, this, [this] { refreshQueueState(); });
    connect(&model_, &StandaloneViewModel::processingChanged, this, [this] { refreshProcessing(); });
    connect(&model_, &StandaloneViewModel::runFinished, this, [this] { refreshProcessing(); });
    connect(&model_, &StandaloneViewModel::overallProgressChanged, this, [this](double progress) {
        const double clamped = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
        overallBar_->setValue(static_cast<int>(std::lround(clamped * 1000)));
    });
    connect(&model_, &StandaloneViewModel::dropTargetedChanged, dropZone_, &DropZone::setTargeted);
    logFlush_ = new QTimer(this);
    logFlush_->setSingleShot(true);
    connect(logFlush_, &QTimer::timeout, this, &StandaloneWindow::flushLog);
    connect(&model_, &StandaloneViewModel::logLineAppended, this, [this] { appendLogLine(); });
    connect(&model_, &StandaloneViewModel::showLogChanged, this, [this] { refreshLogVisibility(); });
    connect(&model_, &StandaloneViewModel::outputDirectoryChanged, this, [this] { refreshOutputFolder(); });
    connect(&model_, &StandaloneViewModel::namingPatternChanged, naming_, &NamingPatternSection::refresh);
    connect(&model_, &StandaloneViewModel::selectionChanged, this, [this] { pullSelectionFromModel(); });

    logLinesPending_ = model_.logLines().size();
    flushLog();
    refreshQueueState();
    refreshProcessing();
    refreshLogVisibility();
    refreshOutputFolder();
    adaptToSize(true);
}

QWidget* StandaloneWindow::buildWorkspace() {
    auto* workspace = new QWidget(this);
    workspace->setObjectName(QStringLiteral("workspace"));
    workspace->setMinimumWidth(kWorkspaceMinimumWidth);
    workspaceColumn_ = new QVBoxLayout(workspace);
    workspaceColumn_->setContentsMargins(16, 16, 16, 16);
    workspaceColumn_->setSpacing(12);
    workspaceColumn_->addWidget(buildHeader());

    // Everything under the header, which the options take the place of in a narrow window.
    body_ = new QWidget(workspace);
    auto* column = new QVBoxLayout(body_);
    bodyColumn_ = column;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    workspaceColumn_->addWidget(body_, 1);

    dropZone_ = new DropZone(qs(branding_.dropTitle), qs(branding_.dropHint), body_);
    connect(dropZone_, &DropZone::targetedChanged, this, [this](bool targeted) {
        if (model_.isDropTargeted() != targeted) {
            model_.setDropTargeted(targeted);
        }
    });
    connect(dropZone_, &DropZone::pathsDropped, this,
            [this](const std::vector<std::filesystem::path>& paths) { model_.ingest(paths); });
    connect(dropZone_->addFilesButton(), &QPushButton::clicked, this, &StandaloneWindow::addFiles);
    connect(dropZone_->addFolderButton(), &QPushButton::clicked, this, &StandaloneWindow::addFolder);
    column->addWidget(dropZone_);

    column->addWidget(buildQueue(), 1);

    logPane_ = new QPlainTextEdit(body_);
    logPane_->setObjectName(QStringLiteral("logPane"));
    logPane_->setReadOnly(true);
    logPane_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    logPane_->setMaximumBlockCount(static_cast<int>(StandaloneViewModel::maxLogLines));
    logPane_->setFont(monospacedFont(10));
    logPane_->setFixedHeight(120);
    logPane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logPane_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    column->addWidget(logPane_);

    column->addWidget(buildOutputRow());
    return workspace;
}

QWidget* StandaloneWindow::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(header);
    icon->setPixmap(productIcon(branding_.icon).pixmap(28, 28));
    row->addWidget(icon);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = new QLabel(qs(branding_.title), header);
    title->setTextFormat(Qt::PlainText);
    title->setFont(systemFont(16, true));
    auto* subtitle = new QLabel(qs(branding_.subtitle), header);
    subtitle->setTextFormat(Qt::PlainText);
    subtitle->setFont(systemFont(11));
    // Wraps under the title rather than running under the log toggle at the narrowest window.
    subtitle->setWordWrap(true);
    applySecondaryColor(subtitle);
    subtitle_ = subtitle;
    texts->addWidget(title);
    texts->addWidget(subtitle);
    // The texts take the free width themselves (left-aligned), so the subtitle wraps only when
    // that width runs out.
    row->addLayout(texts, 1);
    optionsToggle_ = smallButton(QStringLiteral("Show Options"), header);
    optionsToggle_->setObjectName(QStringLiteral("optionsToggle"));
    optionsToggle_->setCheckable(true);
    optionsToggle_->setVisible(false);
    row->addWidget(optionsToggle_);
    logToggle_ = smallButton(QString(), header);
    logToggle_->setObjectName(QStringLiteral("logToggle"));
    logToggle_->setIcon(QIcon::fromTheme(QStringLiteral("utilities-terminal")));
    connect(logToggle_, &QPushButton::clicked, this, [this] { model_.setShowLog(!model_.showLog()); });
    row->addWidget(logToggle_);
    return header;
}

QWidget* StandaloneWindow::buildQueue() {
    auto* queue = new QWidget(this);
    auto* column = new QVBoxLayout(queue);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Queue"), queue);
    title->setFont(systemFont(12, true));
    header->addWidget(title);
    countLabel_ = new QLabel(queue);
    countLabel_->setObjectName(QStringLiteral("queueCount"));
    countLabel_->setFont(systemFont(11));
    applySecondaryColor(countLabel_);
    header->addWidget(countLabel_);
    header->addStretch(1);
    overallBar_ = new QProgressBar(queue);
    overallBar_->setRange(0, 1000);
    overallBar_->setTextVisible(false);
    overallBar_->setFixedWidth(120);
    header->addWidget(overallBar_);
    cancelButton_ = smallButton(QStringLiteral("Cancel"), queue);
    connect(cancelButton_, &QPushButton::clicked, this, [this] { model_.cancel(); });
    header->addWidget(cancelButton_);
    clearButton_ = smallButton(QStringLiteral("Clear Finished"), queue);
    connect(clearButton_, &QPushButton::clicked, this, [this] { model_.clearFinished(); });
    header->addWidget(clearButton_);
    runButton_ = new QPushButton(qs(branding_.runLabel), queue);
    runButton_->setObjectName(QStringLiteral("runButton"));
    runButton_->setDefault(true);
    runButton_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    runButton_->setToolTip(QKeySequence(Qt::CTRL | Qt::Key_R).toString(QKeySequence::NativeText));
    connect(runButton_, &QPushButton::clicked, this, [this] { model_.start(); });
    header->addWidget(runButton_);
    column->addLayout(header);

    list_ = new QueueListView(*this, queue);
    list_->setObjectName(QStringLiteral("queueList"));
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setUniformItemSizes(false);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    queueModel_ = new QueueListModel(model_, list_);
    list_->setModel(queueModel_);
    list_->setItemDelegate(new QueueRowDelegate(list_));
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { pushSelectionToModel(); });
    emptyLabel_ = new QLabel(QStringLiteral("Nothing queued yet"), list_->viewport());
    emptyLabel_->setFont(systemFont(11));
    emptyLabel_->setAlignment(Qt::AlignCenter);
    applySecondaryColor(emptyLabel_);
    auto* overlay = new QVBoxLayout(list_->viewport());
    overlay->addWidget(emptyLabel_);
    column->addWidget(list_, 1);
    return queue;
}

QWidget* StandaloneWindow::buildOutputRow() {
    auto* rowWidget = new QWidget(this);
    auto* row = new QHBoxLayout(rowWidget);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* folder = new QLabel(rowWidget);
    folder->setPixmap(QIcon::fromTheme(QStringLiteral("folder"), style()->standardIcon(QStyle::SP_DirIcon)).pixmap(16, 16));
    row->addWidget(folder);
    auto* path = new MiddleElidedLabel(rowWidget);
    path->setObjectName(QStringLiteral("outputFolder"));
    path->setFont(systemFont(11));
    path->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    outputLabel_ = path;
    row->addWidget(path, 1);
    auto* change = smallButton(QStringLiteral("Change…"), rowWidget);
    connect(change, &QPushButton::clicked, this, &StandaloneWindow::chooseOutputDirectory);
    row->addWidget(change);
    auto* show = smallButton(QStringLiteral("Show"), rowWidget);
    connect(show, &QPushButton::clicked, this, [this] { model_.revealOutput(); });
    row->addWidget(show);
    row->addStretch(0);
    return rowWidget;
}

QScrollArea* StandaloneWindow::buildSidebar() {
    sidebar_ = new QScrollArea(this);
    sidebar_->setObjectName(QString::fromLatin1(WindowSnapshot::kOptionsObjectName));
    sidebar_->setFixedWidth(kSidebarWidth);
    sidebar_->setWidgetResizable(true);
    sidebar_->setFrameShape(QFrame::NoFrame);
    sidebar_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sidebar_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("optionsContent"));
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(12, 12, 12, 12);
    if (options_ != nullptr) {
        options_->setParent(content);
        column->addWidget(options_);
    }
    naming_ = new NamingPatternSection(
        {[this] { return qs(model_.namingPattern()); },
         [this](const QString& text) { model_.setNamingPattern(text.toStdString()); }},
        qs(branding_.tokens), content);
    column->addWidget(naming_);
    column->addStretch(1);
    sidebar_->setWidget(content);
    return sidebar_;
}

QSize StandaloneWindow::openingSize(const QSize& available) {
    // The default size never falls below the minimum, so the result does only where the screen does.
    return QSize(kDefaultWidth, kDefaultHeight).boundedTo(available.expandedTo(QSize(1, 1)));
}

QSize StandaloneWindow::minimumSizeFor(const QSize& available) {
    return QSize(kMinimumWidth, kMinimumHeight).boundedTo(available.expandedTo(QSize(1, 1)));
}

void StandaloneWindow::fitToScreen(QScreen* screen) {
    // Only a screen smaller than the minimum lowers it: the window must fit that screen.
    if (screen != nullptr) setMinimumSize(minimumSizeFor(screen->availableGeometry().size() - kFrameAllowance));
}

void StandaloneWindow::adaptToSize(bool force) {
    const bool narrow = width() < kWorkspaceMinimumWidth + divider_->sizeHint().width() + kSidebarWidth;
    const bool tight = height() < kMinimumHeight;
    if (!force && narrow == narrow_ && tight == short_) return;
    if (force || tight != short_) {
        short_ = tight;
        const int edge = tight ? 8 : 16;
        const int gap = tight ? 6 : 12;
        workspaceColumn_->setContentsMargins(edge, edge, edge, edge);
        workspaceColumn_->setSpacing(gap);
        bodyColumn_->setSpacing(gap);
        // The tagline gives its line to the queue; the title and the toggles stay.
        subtitle_->setVisible(!tight);
        dropZone_->setStrip(tight);
        logPane_->setFixedHeight(tight ? 72 : 120);
    }
    narrow_ = narrow;
    optionsToggle_->setVisible(narrow);
    if (!narrow) optionsToggle_->setChecked(false);
    placeSidebar();
}

void StandaloneWindow::placeSidebar() {
    const bool inPlaceOfQueue = narrow_ && optionsToggle_->isChecked();
    optionsToggle_->setText(optionsToggle_->isChecked() ? QStringLiteral("Hide Options")
                                                        : QStringLiteral("Show Options"));
    if (inPlaceOfQueue && sidebar_->parentWidget() != workspace_) {
        mainRow_->removeWidget(sidebar_);
        workspaceColumn_->addWidget(sidebar_, 1);
    } else if (!inPlaceOfQueue && sidebar_->parentWidget() == workspace_) {
        workspaceColumn_->removeWidget(sidebar_);
        mainRow_->addWidget(sidebar_);
    }
    if (inPlaceOfQueue) {
        sidebar_->setMinimumWidth(0);
        sidebar_->setMaximumWidth(QWIDGETSIZE_MAX);
    } else {
        sidebar_->setFixedWidth(kSidebarWidth);
    }
    body_->setVisible(!inPlaceOfQueue);
    sidebar_->setVisible(inPlaceOfQueue || !narrow_);
    divider_->setVisible(!narrow_);
}

QString StandaloneWindow::countText(long long count, const std::string& noun) {
    char number[32];
    std::snprintf(number, sizeof number, "%lld", count);
    QString text = QString::fromLatin1(number) + QLatin1Char(' ') + qs(noun);
    if (count != 1) {
        text += QLatin1Char('s');
    }
    return text;
}

void StandaloneWindow::refreshQueueState() {
    const auto& items = model_.queueItems();
    countLabel_->setText(countText(static_cast<long long>(items.size()), branding_.itemNoun));
    emptyLabel_->setVisible(items.empty());
    // Fitting the zone's height wraps its texts: not on every status update of a run.
    if (dropZone_->isCompact() == items.empty()) dropZone_->setCompact(!items.empty());
    // Counted by the view model as items change: this runs on every status update of a run.
    clearButton_->setEnabled(model_.hasFinishedItems());
    runButton_->setEnabled(model_.canStart());
}

void StandaloneWindow::refreshProcessing() {
    const bool processing = model_.isProcessing();
    overallBar_->setVisible(processing);
    cancelButton_->setVisible(processing);
    clearButton_->setVisible(!processing);
    runButton_->setVisible(!processing);
    const double progress = model_.overallProgress();
    overallBar_->setValue(
        static_cast<int>(std::lround((std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0) * 1000)));
    refreshQueueState();
}

void StandaloneWindow::refreshLogVisibility() {
    const bool shown = model_.showLog();
    logPane_->setVisible(shown);
    // A log shown while the options stand in place of the queue would open out of sight.
    if (shown) optionsToggle_->setChecked(false);
    logToggle_->setText(shown ? QStringLiteral("Hide Log") : QStringLiteral("Show Log"));
    if (shown) {
        flushLog();
        logPane_->verticalScrollBar()->setValue(logPane_->verticalScrollBar()->maximum());
    }
}

void StandaloneWindow::refreshOutputFolder() {
    static_cast<MiddleElidedLabel*>(outputLabel_)->setFullText(toQString(model_.outputDirectory()));
}

void StandaloneWindow::appendLogLine() {
    ++logLinesPending_;
    if (!model_.showLog() || logFlush_->isActive()) return;
    const qint64 since = lastLogFlush_.isValid() ? lastLogFlush_.elapsed() : kLogFlushInterval;
    logFlush_->start(static_cast<int>(std::max<qint64>(0, kLogFlushInterval - since)));
}

void StandaloneWindow::flushLog() {
    logFlush_->stop();
    lastLogFlush_.start();
    if (logLinesPending_ == 0) return;
    // The pane keeps as many lines as the view model; appending scrolls to the newest line.
    const auto& lines = model_.logLines();
    const std::size_t taken = std::min(logLinesPending_, lines.size());
    QStringList text;
    text.reserve(static_cast<qsizetype>(taken));
    for (auto line = lines.end() - static_cast<std::ptrdiff_t>(taken); line != lines.end(); ++line) {
        text << qs(*line);
    }
    if (logLinesPending_ >= lines.size()) {
        logPane_->setPlainText(text.join(QLatin1Char('\n')));
    } else {
        logPane_->appendPlainText(text.join(QLatin1Char('\n')));
    }
    logLinesPending_ = 0;
    logPane_->verticalScrollBar()->setValue(logPane_->verticalScrollBar()->maximum());
}

void StandaloneWindow::pushSelectionToModel() {
    if (syncingSelection_) {
        return;
    }
    // By range, not by index: selecting every row of a large queue is one range. Sorted first, so
    // that the set is built by appending rather than by a search per id.
    std::vector<Uuid> ids;
    for (const QItemSelectionRange& range : list_->selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            if (const BatchItem* item = queueModel_->itemAt(row)) ids.push_back(item->id);
        }
    }
    std::sort(ids.begin(), ids.end());
    syncingSelection_ = true;
    model_.setSelection(std::set<Uuid>(ids.begin(), ids.end()));
    syncingSelection_ = false;
}

void StandaloneWindow::pullSelectionFromModel() {
    if (syncingSelection_) {
        return;
    }
    syncingSelection_ = true;
    // Runs of adjacent rows become one range each: a selection model handed one range per row of a
    // large selection spends seconds comparing them.
    std::vector<int> rows;
    rows.reserve(model_.selection().size());
    for (const Uuid& id : model_.selection()) {
        const int row = model_.rowOf(id);
        if (row >= 0 && row < queueModel_->rowCount()) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    QItemSelection selection;
    for (std::size_t at = 0; at < rows.size();) {
        std::size_t end = at + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1) ++end;
        selection.append(QItemSelectionRange(queueModel_->index(rows[at]), queueModel_->index(rows[end - 1])));
        at = end;
    }
    list_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    syncingSelection_ = false;
}

QMenu* StandaloneWindow::rowMenu(int row) {
    const BatchItem* item = queueModel_->itemAt(row);
    if (item == nullptr) {
        return nullptr;
    }
    auto* menu = new QMenu(this);
    const BatchItem copy = *item;
    menu->addAction(QStringLiteral("Show in File Manager"), this, [this, copy] { model_.reveal(copy); });
    QAction* remove = menu->addAction(QStringLiteral("Remove from Queue"), this, [this, id = copy.id] {
        // A right-click on a selected row acts on the whole selection, elsewhere on that row alone.
        if (model_.selection().count(id) != 0) {
            const std::set<Uuid> selected = model_.selection();
            model_.remove(selected);
        } else {
            model_.remove({id});
        }
    });
    remove->setEnabled(!model_.isProcessing());
    return menu;
}

void StandaloneWindow::addFiles() {
    if (!panels_.chooseFiles) {
        return;
    }
    const auto files = panels_.chooseFiles(this);
    if (!files.empty()) {
        model_.ingest(files);
    }
}

void StandaloneWindow::addFolder() {
    if (!panels_.chooseFolder) {
        return;
    }
    if (const auto folder = panels_.chooseFolder(this)) {
        model_.ingest({*folder});
    }
}

void StandaloneWindow::chooseOutputDirectory() {
    if (!panels_.chooseOutputFolder) {
        return;
    }
    if (const auto folder = panels_.chooseOutputFolder(this, model_.outputDirectory())) {
        model_.setOutputDirectory(*folder);
    }
}

void StandaloneWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    adaptToSize();
}

void StandaloneWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (QWindow* handle = windowHandle()) {
        connect(handle, &QWindow::screenChanged, this, &StandaloneWindow::fitToScreen, Qt::UniqueConnection);
    }
    if (!event->spontaneous()) {
        WindowSnapshot::captureIfRequested();
    }
}

}  // namespace morvale

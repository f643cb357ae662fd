#include "batch_ui/form_rows.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <utility>

namespace morvale {

QString toQString(const std::filesystem::path& path) { return QFile::decodeName(QByteArray::fromStdString(path.string())); }

QString toQString(const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); }

std::filesystem::path toPath(const QString& text) { return std::filesystem::path(QFile::encodeName(text).toStdString()); }

QColor secondaryTextColor(const QWidget* widget) {
    QColor colour = widget->palette().color(QPalette::WindowText);
    colour.setAlphaF(0.6f);
    return colour;
}

void applySecondaryColor(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, secondaryTextColor(widget));
    palette.setColor(QPalette::Text, secondaryTextColor(widget));
    widget->setPalette(palette);
}

QFont systemFont(double points, bool bold) {
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QFont monospacedFont(double points) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(points);
    return font;
}

FormSection::FormSection(const QString& title, QWidget* parent) : QGroupBox(title, parent) {
    form_ = new QFormLayout(this);
    form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form_->setRowWrapPolicy(QFormLayout::DontWrapRows);
}

void FormSection::addRow(const QString& label, QWidget* field) { form_->addRow(label, field); }

void FormSection::addRow(QWidget* wide) { form_->addRow(wide); }

OptionNote::OptionNote(const QString& text, QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setText(text);
    setWordWrap(true);
    setFont(systemFont(10));
    applySecondaryColor(this);
}

namespace {

// One line, shortened in the middle, red when the file is gone at the moment it is drawn.
class ChosenFileLabel : public QLabel {
public:
    ChosenFileLabel(std::filesystem::path path, QWidget* parent) : QLabel(parent), path_(std::move(path)) {
        setFont(monospacedFont(11));
        setText(toQString(path_.filename()));
        setToolTip(toQString(path_));
        setMinimumWidth(40);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    }

    bool presentWhenDrawn() const { return present_; }

protected:
    void paintEvent(QPaintEvent*) override {
        std::error_code ec;
        present_ = std::filesystem::exists(path_, ec);
        QPainter painter(this);
        painter.setPen(present_ ? palette().color(QPalette::WindowText) : QColor(Qt::red));
        const QString elided = fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
        painter.drawText(contentsRect(), Qt::AlignVCenter | Qt::AlignLeft, elided);
    }

private:
    std::filesystem::path path_;
    bool present_ = true;
};

}  // namespace

FilePickerRow::FilePickerRow(QString label, std::optional<std::filesystem::path> url, QStringList types,
                             Setter set, QWidget* parent)
    : QWidget(parent), label_(std::move(label)), url_(std::move(url)), types_(std::move(types)), set_(std::move(set)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(label_, this);
    title->setTextFormat(Qt::PlainText);
    row->addWidget(title);
    row->addStretch(1);
    if (!url_) {
        chooseButton_ = new QPushButton(QStringLiteral("Choose…"), this);
        chooseButton_->setAttribute(Qt::WA_MacSmallSize);
        connect(chooseButton_, &QPushButton::clicked, this, &FilePickerRow::choose);
        row->addWidget(chooseButton_);
    } else {
        fileLabel_ = new ChosenFileLabel(*url_, this);
        row->addWidget(fileLabel_, 1);
        removeButton_ = new QToolButton(this);
        removeButton_->setAutoRaise(true);
        removeButton_->setIcon(QIcon::fromTheme(QStringLiteral("edit-clear"),
                                                style()->standardIcon(QStyle::SP_LineEditClearButton)));
        removeButton_->setToolTip(QStringLiteral("Remove"));
        connect(removeButton_, &QToolButton::clicked, this, [this] {
            if (set_) {
                set_(std::nullopt);
            }
        });
        row->addWidget(removeButton_);
    }
}

bool FilePickerRow::fileShownAsPresent() const {
    const auto* label = dynamic_cast<const ChosenFileLabel*>(fileLabel_);
    return label != nullptr && label->presentWhenDrawn();
}

void FilePickerRow::choose() {
    std::optional<std::filesystem::path> chosen;
    if (chooser_) {
        chosen = chooser_(types_);
    } else {
        const QString file = QFileDialog::getOpenFileName(this, QString(), QString(), types_.join(QStringLiteral(";;")));
        if (!file.isEmpty()) {
            chosen = toPath(file);
        }
    }
    if (chosen && set_) {
        set_(chosen);
    }
}

NamingPatternSection::NamingPatternSection(Binding<QString> pattern, const QString& tokens, QWidget* parent)
    : FormSection(QStringLiteral("File Naming"), parent), pattern_(std::move(pattern)) {
    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("namingPatternField"));
    field_->setPlaceholderText(QStringLiteral("Pattern"));
    field_->setFont(monospacedFont(11));
    field_->setText(pattern_.get ? pattern_.get() : QString());
    connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (pattern_.set) {
            pattern_.set(text);
        }
    });
    addRow(field_);
    addRow(new OptionNote(QStringLiteral("Available: ") + tokens, this));
}

void NamingPatternSection::refresh() {
    if (!pattern_.get) {
        return;
    }
    const QString current = pattern_.get();
    if (field_->text() != current) {
        field_->setText(current);
    }
}

namespace {

QString decimal(std::int64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
    return QString::fromLatin1(buffer);
}

}  // namespace

StepperRow::StepperRow(QString prefix, QString suffix, std::int64_t minimum, std::int64_t maximum, QWidget* parent)
    : QWidget(parent), prefix_(std::move(prefix)), suffix_(std::move(suffix)), minimum_(minimum), maximum_(maximum) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    label_ = new QLabel(this);
    row->addWidget(label_);
    row->addStretch(1);
    minus_ = new QToolButton(this);
    minus_->setText(QStringLiteral("−"));
    plus_ = new QToolButton(this);
    plus_->setText(QStringLiteral("+"));
    row->addWidget(minus_);
    row->addWidget(plus_);
    connect(minus_, &QToolButton::clicked, this, [this] { step(-1); });
    connect(plus_, &QToolButton::clicked, this, [this] { step(+1); });
    setValue(minimum_);
}

void StepperRow::setValue(std::int64_t value) {
    value_ = value;
    label_->setText(text());
    minus_->setEnabled(value_ > minimum_);
    plus_->setEnabled(value_ < maximum_);
}

QString StepperRow::text() const { return prefix_ + decimal(value_) + suffix_; }

void StepperRow::step(std::int64_t delta) {
    // A value restored outside the range steps back into it, never further out.
    const std::int64_t next = std::clamp(value_ + delta, minimum_, maximum_);
    if (next == value_) {
        return;
    }
    setValue(next);
    emit stepped(static_cast<qint64>(next));
}

}  // namespace morvale

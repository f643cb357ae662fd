#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

class QFormLayout;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace morvale {

// A two-way link to one value held elsewhere (the view model's preset or naming pattern):
// rows read through `get` whenever they redraw and write every edit through `set` at once.
template <class T>
struct Binding {
    std::function<T()> get;
    std::function<void(const T&)> set;
};

// File names may be any bytes: convert through the local 8-bit file-name encoding.
QString toQString(const std::filesystem::path& path);
QString toQString(const std::string& bytes);
std::filesystem::path toPath(const QString& text);

// Shared look of the option forms.
QColor secondaryTextColor(const QWidget* widget);
void applySecondaryColor(QWidget* widget);
QFont systemFont(double points, bool bold = false);
QFont monospacedFont(double points);

// A titled form section; rows are label/field pairs or full-width widgets.
class FormSection : public QGroupBox {
    Q_OBJECT
public:
    explicit FormSection(const QString& title, QWidget* parent = nullptr);
    QFormLayout* form() const { return form_; }
    void addRow(const QString& label, QWidget* field);
    void addRow(QWidget* wide);

private:
    QFormLayout* form_;
};

// A line of small dimmed text under a control, shown verbatim.
class OptionNote : public QLabel {
    Q_OBJECT
public:
    explicit OptionNote(const QString& text, QWidget* parent = nullptr);
};

// Shows one optional chosen file, or offers to choose one.
class FilePickerRow : public QWidget {
    Q_OBJECT
public:
    using Setter = std::function<void(const std::optional<std::filesystem::path>&)>;
    using Chooser = std::function<std::optional<std::filesystem::path>(const QStringList& types)>;

    // `types` are file-dialog name filters such as "Images (*.png *.jpg *.jpeg)".
    FilePickerRow(QString label, std::optional<std::filesystem::path> url, QStringList types, Setter set,
                  QWidget* parent = nullptr);

    // Replaces the modal open dialog, so that the row can be driven without a person at the screen.
    void setChooser(Chooser chooser) { chooser_ = std::move(chooser); }

    QPushButton* chooseButton() const { return chooseButton_; }
    QToolButton* removeButton() const { return removeButton_; }
    QLabel* fileLabel() const { return fileLabel_; }

    // Whether the chosen file existed when the row was last drawn.
    bool fileShownAsPresent() const;

private:
    void choose();

    QString label_;
    std::optional<std::filesystem::path> url_;
    QStringList types_;
    Setter set_;
    Chooser chooser_;
    QPushButton* chooseButton_ = nullptr;
    QToolButton* removeButton_ = nullptr;
    QLabel* fileLabel_ = nullptr;
};

// The "File Naming" section: a pattern field and the list of tokens it may use.
class NamingPatternSection : public FormSection {
    Q_OBJECT
public:
    NamingPatternSection(Binding<QString> pattern, const QString& tokens, QWidget* parent = nullptr);

    // Shows the bound pattern again when it was changed elsewhere (a settings reset).
    void refresh();
    QLineEdit* field() const { return field_; }

private:
    Binding<QString> pattern_;
    QLineEdit* field_;
};

// A label with minus and plus buttons that steps a whole number within a range. It shows the bound
// value as it is (a restored value outside the range included) and writes only when pressed.
class StepperRow : public QWidget {
    Q_OBJECT
public:
    StepperRow(QString prefix, QString suffix, std::int64_t minimum, std::int64_t maximum, QWidget* parent = nullptr);
    void setValue(std::int64_t value);
    std::int64_t value() const { return value_; }
    QString text() const;
    class QToolButton* minusButton() const { return minus_; }
    class QToolButton* plusButton() const { return plus_; }

signals:
    void stepped(qint64 value);

private:
    void step(std::int64_t delta);

    QString prefix_;
    QString suffix_;
    std::int64_t minimum_;
    std::int64_t maximum_;
    std::int64_t value_ = 0;
    QLabel* label_;
    class QToolButton* minus_;
    class QToolButton* plus_;
};

}  // namespace morvale

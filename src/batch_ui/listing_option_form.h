#pragma once

#include "batch_presets/varnholt_preset.h"
#include "batch_ui/form_rows.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;
class QVBoxLayout;

namespace morvale {

// The listing product's option form: the address, the photo fixes, the web set, the print set
// and the watermark. It keeps no state of its own: everything shown is read from the bound
// preset, and every user action writes straight into one field of it. Building or refreshing the
// form writes nothing, so a restored preset (a portal with sizes of its own, an opacity below the
// slider's range) stays exactly as it was restored until the user changes it. GUI thread only.
class VarnholtOptions : public QWidget {
    Q_OBJECT

public:
    // The naming tokens listing patterns may use; the branding's help text is this list.
    static constexpr std::string_view tokens = "{address}, {index:02}, {size}, {name}, {date}";

    explicit VarnholtOptions(Binding<VarnholtPreset> preset, QWidget* parent = nullptr);

    // The rows of the Longest Side and File Size Limit pickers: the fixed lists, with the current
    // value sorted in when it is none of them (a value that is not a number gets no row).
    static std::vector<double> dimensionChoices(double including);
    static std::vector<std::int64_t> sizeChoices(std::int64_t including);
    // "2048 px"; "500 KB", "1.5 MB"; "Opacity 85%".
    static QString dimensionText(double pixels);
    static QString sizeText(std::int64_t kilobytes);
    static QString opacityText(double opacity);

    // Shows the bound preset again: rebuilds the rows when the set of rows changed, otherwise only
    // updates the controls' values.
    void refresh();

    // Titles of the sections, top to bottom, and the row texts of a section as drawn, for the tests.
    QStringList sectionTitles() const;
    QStringList rowTexts(const QString& sectionTitle) const;

    // The controls; null while their rows are hidden.
    QLineEdit* addressField() const { return address_; }
    QCheckBox* bracketsToggle() const { return brackets_; }
    QCheckBox* straightenToggle() const { return straighten_; }
    QCheckBox* stripToggle() const { return strip_; }
    QCheckBox* webToggle() const { return web_; }
    QComboBox* portalPicker() const { return portal_; }
    QComboBox* dimensionPicker() const { return dimension_; }
    QComboBox* sizePicker() const { return size_; }
    QComboBox* shapePicker() const { return shape_; }
    QCheckBox* printToggle() const { return print_; }
    FilePickerRow* logoRow() const { return logo_; }
    QSlider* opacitySlider() const { return opacity_; }
    QLabel* opacityLabel() const { return opacityLabel_; }

private:
    struct Rows {
        bool brackets;
        bool web;
        bool custom;
        std::vector<double> dimensions;
        std::vector<std::int64_t> sizes;
        std::optional<std::filesystem::path> logo;
        bool operator==(const Rows&) const = default;
    };
    static Rows rowsOf(const VarnholtPreset& preset);

    void rebuild(const VarnholtPreset& preset, const Rows& rows);
    void sync(const VarnholtPreset& preset);
    template <class F>
    void edit(F&& change);
    class FormSection* addSection(QVBoxLayout* layout, const QString& title);
    QCheckBox* addToggle(class FormSection* section, const QString& title, const QString& help, bool VarnholtPreset::*field);

    Binding<VarnholtPreset> preset_;
    std::optional<Rows> rows_;
    QVBoxLayout* outer_ = nullptr;
    QPointer<QWidget> content_;
    QList<QPointer<class FormSection>> sections_;

    QLineEdit* address_ = nullptr;
    QCheckBox* brackets_ = nullptr;
    QCheckBox* straighten_ = nullptr;
    QCheckBox* strip_ = nullptr;
    QCheckBox* web_ = nullptr;
    QComboBox* portal_ = nullptr;
    class OptionNote* portalNote_ = nullptr;
    QComboBox* dimension_ = nullptr;
    QComboBox* size_ = nullptr;
    QComboBox* shape_ = nullptr;
    QCheckBox* print_ = nullptr;
    FilePickerRow* logo_ = nullptr;
    QSlider* opacity_ = nullptr;
    QLabel* opacityLabel_ = nullptr;
};

}  // namespace morvale

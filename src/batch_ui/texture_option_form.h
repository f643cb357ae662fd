#pragma once

#include "batch_presets/morvale_preset.h"
#include "batch_ui/form_rows.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string_view>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QVBoxLayout;

namespace morvale {

// The texture product's option form. It keeps no state of its own: everything shown is read from the
// bound preset, and every control writes straight into one field of it. The sections below the
// operation picker follow the operational mode, showing only what that operation uses.
class MorvaleOptions : public QWidget {
    Q_OBJECT

public:
    // The naming tokens texture patterns may use; the branding's help text is this list.
    static constexpr std::string_view tokens = "{name}, {profile}, {pot}, {index:02}, {ext}";

    explicit MorvaleOptions(Binding<MorvalePreset> preset, QWidget* parent = nullptr);

    // Shows the bound preset again: rebuilds the sections when the mode (or another thing that
    // decides which rows exist) changed, otherwise only updates the controls' values.
    void refresh();

    // Titles of the sections currently shown, top to bottom.
    QStringList sectionTitles() const;

    // The controls, for the window's tests; null while their section is hidden.
    QComboBox* operationPicker() const { return operation_; }
    QComboBox* targetPicker() const { return target_; }
    QComboBox* conventionPicker() const { return convention_; }
    QComboBox* maxSizePicker() const { return maxSize_; }
    QComboBox* dataFormatPicker() const { return dataFormat_; }
    QCheckBox* missingNormalToggle() const { return missingNormal_; }
    QCheckBox* rotateToggle() const { return rotate_; }
    QSlider* strengthSlider() const { return strength_; }
    QLabel* strengthText() const { return strengthText_; }
    StepperRow* paddingStepper() const { return padding_; }
    StepperRow* extrudeStepper() const { return extrude_; }

private:
    struct Shape {
        MorvalePreset::OperationalMode mode;
        bool missingNormal;
        std::optional<std::int64_t> customMaxSize;
        bool operator==(const Shape&) const = default;
    };
    static Shape shapeOf(const MorvalePreset& preset);

    void rebuild(const MorvalePreset& preset);
    void sync(const MorvalePreset& preset);
    template <class F>
    void edit(F&& change);

    void addSizeSection(QVBoxLayout* layout, const MorvalePreset& preset, bool full);
    class FormSection* addSection(QVBoxLayout* layout, const QString& title);
    QComboBox* makeMaxSizePicker(const MorvalePreset& preset);
    void addNormalControls(class FormSection* section, const QString& pickerTitle);
    void addConventionPicker(class FormSection* section, const QString& title);
    void addStrengthRow(class FormSection* section);

    Binding<MorvalePreset> preset_;
    std::optional<Shape> shape_;
    QVBoxLayout* outer_ = nullptr;
    QPointer<QWidget> content_;
    QList<QPointer<class FormSection>> sections_;

    QComboBox* operation_ = nullptr;
    QComboBox* target_ = nullptr;
    QLabel* layoutText_ = nullptr;
    QCheckBox* missingNormal_ = nullptr;
    QComboBox* convention_ = nullptr;
    QSlider* strength_ = nullptr;
    QLabel* strengthText_ = nullptr;
    QCheckBox* enforcePot_ = nullptr;
    QCheckBox* forceSquare_ = nullptr;
    QCheckBox* mipmaps_ = nullptr;
    QComboBox* maxSize_ = nullptr;
    QComboBox* dataFormat_ = nullptr;
    QCheckBox* trim_ = nullptr;
    QCheckBox* rotate_ = nullptr;
    StepperRow* padding_ = nullptr;
    StepperRow* extrude_ = nullptr;
    QCheckBox* halfScale_ = nullptr;
};

}  // namespace morvale

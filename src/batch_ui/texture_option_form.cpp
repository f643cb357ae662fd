#include "batch_ui/texture_option_form.h"

#include "image_engine/channel_packer.h"
#include "image_engine/sprite_sheet_compiler.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <utility>

namespace morvale {

namespace {

constexpr std::array<std::int64_t, 5> kFixedMaxSizes = {0, 1024, 2048, 4096, 8192};
constexpr double kMinStrength = 0.5;
constexpr double kMaxStrength = 10.0;
constexpr int kStrengthTicksPerUnit = 100;  // the slider is continuous in effect: 0.01 steps

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString oneDecimal(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return QString::fromLatin1(buffer);
}

QString decimal(std::int64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
    return QString::fromLatin1(buffer);
}

QLabel* monospacedNote(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
    label->setFont(monospacedFont(10));
    applySecondaryColor(label);
    return label;
}

QCheckBox* toggle(const QString& title, const QString& help, QWidget* parent) {
    auto* box = new QCheckBox(title, parent);
    if (!help.isEmpty()) {
        box->setToolTip(help);
    }
    return box;
}

// Selects the row whose data equals `value`; no row is selected when none matches.
void selectData(QComboBox* combo, const QVariant& value) {
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(combo->findData(value));
}

// Pickers may shrink below their longest row so that the sidebar never scrolls sideways.
QComboBox* makePicker(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(8);
    return combo;
}

// Operation, target, convention and data-format rows are longer than the room a 340-point
// sidebar leaves beside a label, so these pickers sit under their label at the section's full
// width, where every row reads whole.
void addStackedPicker(FormSection* section, const QString& title, QComboBox* picker) {
    auto* row = new QWidget(section);
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* label = new QLabel(title, row);
    label->setBuddy(picker);
    picker->setParent(row);
    column->addWidget(label);
    column->addWidget(picker);
    section->addRow(row);
}

int strengthTicks(double strength) {
    if (!std::isfinite(strength)) {
        return kStrengthTicksPerUnit;
    }
    // Outside the range the slider sits at its end; the stored value is left as it is.
    const double clamped = std::clamp(strength, kMinStrength, kMaxStrength);
    return static_cast<int>(std::lround(clamped * kStrengthTicksPerUnit));
}

}  // namespace

MorvaleOptions::MorvaleOptions(Binding<MorvalePreset> preset, QWidget* parent)
    : QWidget(parent), preset_(std::move(preset)) {
    outer_ = new QVBoxLayout(this);
    outer_->setContentsMargins(0, 0, 0, 0);
    refresh();
}

MorvaleOptions::Shape MorvaleOptions::shapeOf(const MorvalePreset& preset) {
    Shape shape{preset.operationalMode, preset.generateMissingNormal, std::nullopt};
    if (std::find(kFixedMaxSizes.begin(), kFixedMaxSizes.end(), preset.maxTextureSize) == kFixedMaxSizes.end()) {
        shape.customMaxSize = preset.maxTextureSize;
    }
    return shape;
}

void MorvaleOptions::refresh() {
    const MorvalePreset preset = preset_.get();
    const Shape shape = shapeOf(preset);
    if (!shape_ || !(*shape_ == shape)) {
        rebuild(preset);
        shape_ = shape;
    }
    sync(preset);
}

QStringList MorvaleOptions::sectionTitles() const {
    QStringList titles;
    for (const auto& section : sections_) {
        if (!section.isNull()) {
            titles << section->title();
        }
    }
    return titles;
}

template <class F>
void MorvaleOptions::edit(F&& change) {
    MorvalePreset preset = preset_.get();
    change(preset);
    preset_.set(preset);
    refresh();
}

FormSection* MorvaleOptions::addSection(QVBoxLayout* layout, const QString& title) {
    auto* section = new FormSection(title, content_);
    layout->addWidget(section);
    sections_.append(section);
    return section;
}

void MorvaleOptions::rebuild(const MorvalePreset& preset) {
    // The old rows may be the sender of the edit that led here: hide them now, delete them later.
    if (!content_.isNull()) {
        content_->hide();
        outer_->removeWidget(content_);
        content_->deleteLater();
    }
    sections_.clear();
    operation_ = target_ = convention_ = maxSize_ = dataFormat_ = nullptr;
    layoutText_ = strengthText_ = nullptr;
    missingNormal_ = enforcePot_ = forceSquare_ = mipmaps_ = trim_ = rotate_ = halfScale_ = nullptr;
    strength_ = nullptr;
    padding_ = extrude_ = nullptr;

    content_ = new QWidget(this);
    auto* layout = new QVBoxLayout(content_);
    layout->setContentsMargins(0, 0, 0, 0);
    outer_->addWidget(content_);

    using Mode = MorvalePreset::OperationalMode;
    FormSection* what = addSection(layout, QStringLiteral("What To Do"));
    operation_ = makePicker(what);
    for (const Mode mode : MorvalePreset::allOperationalModes()) {
        operation_->addItem(qs(MorvalePreset::rawValue(mode)), static_cast<int>(mode));
    }
    connect(operation_, &QComboBox::activated, this, [this](int index) {
        const int raw = operation_->itemData(index).toInt();
        edit([raw](MorvalePreset& p) { p.operationalMode = static_cast<MorvalePreset::OperationalMode>(raw); });
    });
    addStackedPicker(what, QStringLiteral("Operation"), operation_);

    switch (preset.operationalMode) {
        case Mode::channelPackingORM: {
            FormSection* layoutSection = addSection(layout, QStringLiteral("Engine Channel Layout"));
            target_ = makePicker(layoutSection);
            for (const auto profile : ChannelPacker::allEngineProfiles()) {
                target_->addItem(qs(ChannelPacker::displayName(profile)), static_cast<int>(profile));
            }
            connect(target_, &QComboBox::activated, this, [this](int index) {
                const int raw = target_->itemData(index).toInt();
                edit([raw](MorvalePreset& p) { p.engineProfile = static_cast<ChannelPacker::EngineProfile>(raw); });
            });
            addStackedPicker(layoutSection, QStringLiteral("Target"), target_);
            layoutText_ = monospacedNote(QString(), layoutSection);
            layoutSection->addRow(layoutText_);
            layoutSection->addRow(new OptionNote(
                QStringLiteral("Roughness and smoothness are converted automatically, so either kind of map works."),
                layoutSection));
            missingNormal_ = toggle(QStringLiteral("Make Normal Map When Missing"),
                                    QStringLiteral("If a material has a height map but no normal map, one is "
                                                   "generated from the height map."),
                                    layoutSection);
            connect(missingNormal_, &QCheckBox::toggled, this,
                    [this](bool on) { edit([on](MorvalePreset& p) { p.generateMissingNormal = on; }); });
            layoutSection->addRow(missingNormal_);
            if (preset.generateMissingNormal) {
                addNormalControls(layoutSection, QStringLiteral("Convention"));
            }
            FormSection* names = addSection(layout, QStringLiteral("Recognised Map Names"));
            names->addRow(monospacedNote(
                QStringLiteral("_AO · _Roughness · _Smoothness · _Gloss\n_Metallic · _Height · _DetailMask\n\n"
                               "Drop a whole material folder: one packed texture per material."),
                names));
            addSizeSection(layout, preset, true);
            break;
        }
        case Mode::normalMapConvert: {
            FormSection* section = addSection(layout, QStringLiteral("Normal Map Convention"));
            addConventionPicker(section, QStringLiteral("Convert to"));
            section->addRow(new OptionNote(QStringLiteral("Flips the green channel. Files already named for the "
                                                          "target (e.g. _NormalGL) are skipped."),
                                           section));
            addSizeSection(layout, preset, false);
            break;
        }
        case Mode::normalFromHeight: {
            FormSection* section = addSection(layout, QStringLiteral("Normal Map from Height"));
            addNormalControls(section, QStringLiteral("Convention"));
            section->addRow(new OptionNote(
                QStringLiteral("Drop height, displacement or bump maps (_Height, _Disp, _Bump). Edges wrap, so "
                               "tiling height maps give tiling normal maps."),
                section));
            addSizeSection(layout, preset, false);
            break;
        }
        case Mode::powerOfTwoEnforce:
            addSizeSection(layout, preset, true);
            break;
        case Mode::spriteSheetAtlas: {
            FormSection* section = addSection(layout, QStringLiteral("Sprite Sheet Packing"));
            dataFormat_ = makePicker(section);
            for (const auto format : SpriteSheetCompiler::allDataFormats) {
                dataFormat_->addItem(qs(SpriteSheetCompiler::displayName(format)), static_cast<int>(format));
            }
            connect(dataFormat_, &QComboBox::activated, this, [this](int index) {
                const int raw = dataFormat_->itemData(index).toInt();
                edit([raw](MorvalePreset& p) { p.spriteFormat = static_cast<SpriteSheetCompiler::DataFormat>(raw); });
            });
            addStackedPicker(section, QStringLiteral("Data Format"), dataFormat_);
            trim_ = toggle(QStringLiteral("Trim Transparent Edges"),
                           QStringLiteral("Crops empty space around each frame; the data file keeps the offset so "
                                          "sprites stay in place."),
                           section);
            connect(trim_, &QCheckBox::toggled, this,
                    [this](bool on) { edit([on](MorvalePreset& p) { p.spriteTrim = on; }); });
            section->addRow(trim_);
            rotate_ = toggle(QStringLiteral("Rotate Frames to Pack Tighter"),
                             QStringLiteral("Supported by the JSON and Cocos formats."), section);
            connect(rotate_, &QCheckBox::toggled, this,
                    [this](bool on) { edit([on](MorvalePreset& p) { p.spriteRotate = on; }); });
            section->addRow(rotate_);
            padding_ = new StepperRow(QStringLiteral("Padding: "), QStringLiteral(" px"), 0, 16, section);
            connect(padding_, &StepperRow::stepped, this,
                    [this](qint64 v) { edit([v](MorvalePreset& p) { p.spritePadding = v; }); });
            section->addRow(padding_);
            extrude_ = new StepperRow(QStringLiteral("Extrude: "), QStringLiteral(" px"), 0, 8, section);
            extrude_->setToolTip(
                QStringLiteral("Repeats edge pixels outward so filtering never bleeds in neighbouring frames."));
            connect(extrude_, &StepperRow::stepped, this,
                    [this](qint64 v) { edit([v](MorvalePreset& p) { p.spriteExtrude = v; }); });
            section->addRow(extrude_);
            halfScale_ = toggle(QStringLiteral("Also Export @1x Half-Size Sheet"), QString(), section);
            connect(halfScale_, &QCheckBox::toggled, this,
                    [this](bool on) { edit([on](MorvalePreset& p) { p.spriteHalfScale = on; }); });
            section->addRow(halfScale_);
            maxSize_ = makeMaxSizePicker(preset);
            section->addRow(QStringLiteral("Max Size"), maxSize_);
            section->addRow(new OptionNote(QStringLiteral("Identical frames are stored once. Sets too big for one "
                                                          "sheet continue on extra sheets (_Atlas-0, _Atlas-1…)."),
                                           section));
            break;
        }
        case Mode::tilingCheck: {
            FormSection* section = addSection(layout, QStringLiteral("Seamless Tiling Check"));
            section->addRow(new OptionNote(
                QStringLiteral("Compares each texture's opposite edges. Textures that tile cleanly pass; ones with a "
                               "visible seam are marked failed, with a 2x2 tiled preview saved so you can see it."),
                section));
            break;
        }
    }
    layout->addStretch(1);
}

void MorvaleOptions::addNormalControls(FormSection* section, const QString& pickerTitle) {
    addConventionPicker(section, pickerTitle);
    addStrengthRow(section);
}

void MorvaleOptions::addConventionPicker(FormSection* section, const QString& title) {
    convention_ = makePicker(section);
    for (const auto convention : ChannelPacker::allNormalConventions()) {
        convention_->addItem(qs(ChannelPacker::displayName(convention)), static_cast<int>(convention));
    }
    connect(convention_, &QComboBox::activated, this, [this](int index) {
        const int raw = convention_->itemData(index).toInt();
        edit([raw](MorvalePreset& p) { p.normalTarget = static_cast<ChannelPacker::NormalConvention>(raw); });
    });
    addStackedPicker(section, title, convention_);
}

void MorvaleOptions::addStrengthRow(FormSection* section) {
    auto* row = new QWidget(section);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    strength_ = new QSlider(Qt::Horizontal, row);
    strength_->setRange(static_cast<int>(kMinStrength * kStrengthTicksPerUnit),
                        static_cast<int>(kMaxStrength * kStrengthTicksPerUnit));
    strengthText_ = new QLabel(row);
    strengthText_->setFont(monospacedFont(11));
    strengthText_->setFixedWidth(30);
    strengthText_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rowLayout->addWidget(strength_, 1);
    rowLayout->addWidget(strengthText_);
    connect(strength_, &QSlider::valueChanged, this, [this](int ticks) {
        const double value = static_cast<double>(ticks) / kStrengthTicksPerUnit;
        edit([value](MorvalePreset& p) { p.normalStrength = value; });
    });
    section->addRow(QStringLiteral("Strength"), row);
}

QComboBox* MorvaleOptions::makeMaxSizePicker(const MorvalePreset& preset) {
    auto* picker = makePicker(content_);
    picker->setToolTip(QStringLiteral("Downscales anything larger, keeping the aspect ratio. For sprite sheets it's "
                                      "the largest sheet."));
    picker->addItem(QStringLiteral("No limit"), QVariant::fromValue<qint64>(0));
    picker->addItem(QStringLiteral("1024 (mobile)"), QVariant::fromValue<qint64>(1024));
    for (const std::int64_t size : {2048, 4096, 8192}) {
        picker->addItem(decimal(size), QVariant::fromValue<qint64>(size));
    }
    // A restored value outside the fixed list keeps a row of its own, so the selection shows it.
    if (const auto custom = shapeOf(preset).customMaxSize) {
        picker->addItem(decimal(*custom), QVariant::fromValue<qint64>(*custom));
    }
    connect(picker, &QComboBox::activated, this, [this, picker](int index) {
        const qint64 value = picker->itemData(index).value<qint64>();
        edit([value](MorvalePreset& p) { p.maxTextureSize = value; });
    });
    return picker;
}

void MorvaleOptions::addSizeSection(QVBoxLayout* layout, const MorvalePreset& preset, bool full) {
    FormSection* section = addSection(layout, QStringLiteral("GPU Sizing"));
    if (full) {
        enforcePot_ = toggle(QStringLiteral("Enforce Power-of-Two Dimensions"),
                             QStringLiteral("Aligns dimensions to 512, 1024, 2048 or 4096 for ASTC/BC GPU compression."),
                             section);
        connect(enforcePot_, &QCheckBox::toggled, this,
                [this](bool on) { edit([on](MorvalePreset& p) { p.enforcePOT = on; }); });
        section->addRow(enforcePot_);
        forceSquare_ = toggle(QStringLiteral("Force Square Texture"),
                              QStringLiteral("Stretch to a square texture (e.g. 2048x1024 becomes 2048x2048)."), section);
        connect(forceSquare_, &QCheckBox::toggled, this,
                [this](bool on) { edit([on](MorvalePreset& p) { p.forceSquare = on; }); });
        section->addRow(forceSquare_);
    }
    maxSize_ = makeMaxSizePicker(preset);
    section->addRow(QStringLiteral("Max Size"), maxSize_);
    if (full) {
        mipmaps_ = toggle(QStringLiteral("Generate Mipmap Chain (_mip0.._mipN)"), QString(), section);
        connect(mipmaps_, &QCheckBox::toggled, this,
                [this](bool on) { edit([on](MorvalePreset& p) { p.generateMipmaps = on; }); });
        section->addRow(mipmaps_);
    }
}

void MorvaleOptions::sync(const MorvalePreset& preset) {
    auto check = [](QCheckBox* box, bool on) {
        if (box != nullptr) {
            const QSignalBlocker blocker(box);
            box->setChecked(on);
        }
    };
    if (operation_ != nullptr) {
        selectData(operation_, static_cast<int>(preset.operationalMode));
    }
    if (target_ != nullptr) {
        selectData(target_, static_cast<int>(preset.engineProfile));
    }
    if (layoutText_ != nullptr) {
        layoutText_->setText(QString::fromStdString(ChannelPacker::layoutDescription(preset.engineProfile)));
    }
    if (convention_ != nullptr) {
        selectData(convention_, static_cast<int>(preset.normalTarget));
    }
    if (strength_ != nullptr) {
        const QSignalBlocker blocker(strength_);
        // The handle may sit where the stored value can't be; that doesn't change the stored value.
        if (strengthTicks(preset.normalStrength) != strength_->value()) {
            strength_->setValue(strengthTicks(preset.normalStrength));
        }
    }
    if (strengthText_ != nullptr) {
        strengthText_->setText(oneDecimal(preset.normalStrength));
    }
    if (maxSize_ != nullptr) {
        selectData(maxSize_, QVariant::fromValue<qint64>(preset.maxTextureSize));
    }
    if (dataFormat_ != nullptr) {
        selectData(dataFormat_, static_cast<int>(preset.spriteFormat));
    }
    if (rotate_ != nullptr) {
        rotate_->setEnabled(SpriteSheetCompiler::supportsRotation(preset.spriteFormat));
    }
    if (padding_ != nullptr) {
        padding_->setValue(preset.spritePadding);
    }
    if (extrude_ != nullptr) {
        extrude_->setValue(preset.spriteExtrude);
    }
    check(missingNormal_, preset.generateMissingNormal);
    check(enforcePot_, preset.enforcePOT);
    check(forceSquare_, preset.forceSquare);
    check(mipmaps_, preset.generateMipmaps);
    check(trim_, preset.spriteTrim);
    check(rotate_, preset.spriteRotate);
    check(halfScale_, preset.spriteHalfScale);
}

}  // namespace morvale

#include "batch_ui/listing_option_form.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace morvale {

namespace {

using Portal = VarnholtPreset::Portal;
using Aspect = VarnholtPreset::WebAspect;

constexpr double kFixedDimensions[] = {1024, 1536, 2048, 2560, 3000, 4096};
constexpr std::int64_t kFixedSizes[] = {500, 1000, 2000, 3000, 5000, 10000};
// The opacity slider runs over 0.1 ... 1.0 in steps fine enough to feel continuous.
constexpr int kOpacityTicks = 1000;
constexpr int kMinOpacityTick = 100;

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

template <class... Format>
QString cNumber(double value, Format... format) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format...);
    return QString::fromLatin1(buffer, result.ec == std::errc() ? result.ptr - buffer : 0);
}

QString whole(std::int64_t value) { return QString::number(value); }

// A double's whole part for a label, held within 64 bits.
std::int64_t truncated(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<std::int64_t>(std::clamp(std::trunc(value), -9.0e18, 9.0e18));
}

// A button's text as drawn: "&&" shows as "&", a lone "&" marks the next letter and is not drawn.
QString shownText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        shown += text[i];
    }
    return shown;
}

QComboBox* makePicker(QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(8);
    return combo;
}

// Selects the row whose data equals `value`; no row is selected when none matches.
void selectData(QComboBox* combo, const QVariant& value) {
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(combo->findData(value));
}

int opacityTick(double opacity) {
    if (!std::isfinite(opacity)) return kOpacityTicks;
    // Outside the range the handle sits at the end; the stored value is left as it is.
    return static_cast<int>(std::lround(std::clamp(opacity, 0.1, 1.0) * kOpacityTicks));
}

}  // namespace

std::vector<double> VarnholtOptions::dimensionChoices(double including) {
    std::vector<double> choices(std::begin(kFixedDimensions), std::end(kFixedDimensions));
    if (std::isfinite(including) && std::find(choices.begin(), choices.end(), including) == choices.end()) {
        choices.push_back(including);
        std::sort(choices.begin(), choices.end());
    }
    return choices;
}

std::vector<std::int64_t> VarnholtOptions::sizeChoices(std::int64_t including) {
    std::vector<std::int64_t> choices(std::begin(kFixedSizes), std::end(kFixedSizes));
    if (std::find(choices.begin(), choices.end(), including) == choices.end()) {
        choices.push_back(including);
        std::sort(choices.begin(), choices.end());
    }
    return choices;
}

QString VarnholtOptions::dimensionText(double pixels) { return whole(truncated(pixels)) + QStringLiteral(" px"); }

QString VarnholtOptions::sizeText(std::int64_t kilobytes) {
    if (kilobytes < 1000) return whole(kilobytes) + QStringLiteral(" KB");
    // "%g" in the C locale: six significant digits, no trailing zeros.
    return cNumber(static_cast<double>(kilobytes) / 1000.0, std::chars_format::general, 6) + QStringLiteral(" MB");
}

QString VarnholtOptions::opacityText(double opacity) {
    // The nudge keeps 0.29 x 100 = 28.999... from reading 28 %.
    return QStringLiteral("Opacity ") + whole(truncated(opacity * 100.0 + 1e-9)) + QStringLiteral("%");
}

VarnholtOptions::VarnholtOptions(Binding<VarnholtPreset> preset, QWidget* parent)
    : QWidget(parent), preset_(std::move(preset)) {
    outer_ = new QVBoxLayout(this);
    outer_->setContentsMargins(0, 0, 0, 0);
    refresh();
}

VarnholtOptions::Rows VarnholtOptions::rowsOf(const VarnholtPreset& preset) {
    Rows rows{preset.mergeBrackets, preset.exportWebPackage, preset.portal() == Portal::custom, {}, {},
              preset.watermarkURL};
    if (rows.web && rows.custom) {
        rows.dimensions = dimensionChoices(preset.maxWebDimension);
        rows.sizes = sizeChoices(preset.maxWebFileSizeKB);
    }
    return rows;
}

void VarnholtOptions::refresh() {
    const VarnholtPreset preset = preset_.get();
    const Rows rows = rowsOf(preset);
    if (!rows_ || !(*rows_ == rows)) {
        rebuild(preset, rows);
        rows_ = rows;
    }
    sync(preset);
}

QStringList VarnholtOptions::sectionTitles() const {
    QStringList titles;
    for (const auto& section : sections_) {
        if (!section.isNull()) titles << section->title();
    }
    return titles;
}

QStringList VarnholtOptions::rowTexts(const QString& sectionTitle) const {
    QStringList texts;
    for (const auto& pointer : sections_) {
        const FormSection* section = pointer.data();
        if (section == nullptr || section->title() != sectionTitle) continue;
        QFormLayout* form = section->form();
        if (form == nullptr) continue;
        for (int row = 0; row < form->rowCount(); ++row) {
            QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole);
            QLayoutItem* field = form->itemAt(row, QFormLayout::FieldRole);
            if (field == nullptr) field = form->itemAt(row, QFormLayout::SpanningRole);
            QWidget* widget = label != nullptr ? label->widget() : (field != nullptr ? field->widget() : nullptr);
            if (auto* text = qobject_cast<QLabel*>(widget)) {
                texts << text->text();
            } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                texts << shownText(button->text());
            } else if (widget != nullptr) {
                texts << widget->objectName();
            }
        }
    }
    return texts;
}

template <class F>
void VarnholtOptions::edit(F&& change) {
    VarnholtPreset preset = preset_.get();
    change(preset);
    preset_.set(preset);
    refresh();
}

FormSection* VarnholtOptions::addSection(QVBoxLayout* layout, const QString& title) {
    auto* section = new FormSection(title, content_);
    layout->addWidget(section);
    sections_.append(section);
    return section;
}

QCheckBox* VarnholtOptions::addToggle(FormSection* section, const QString& title, const QString& help,
                                      bool VarnholtPreset::*field) {
    // A lone "&" in a button's text marks a shortcut letter; "&&" shows one.
    auto* box = new QCheckBox(QString(title).replace(QLatin1Char('&'), QStringLiteral("&&")), section);
    if (!help.isEmpty()) box->setToolTip(help);
    // clicked, not toggled: only the user's own clicks write.
    connect(box, &QCheckBox::clicked, this, [this, field](bool on) { edit([&](VarnholtPreset& p) { p.*field = on; }); });
    section->addRow(box);
    return box;
}

void VarnholtOptions::rebuild(const VarnholtPreset& preset, const Rows& rows) {
    // The old rows may be the sender of the edit that led here: hide them now, delete them later.
    if (!content_.isNull()) {
        content_->hide();
        outer_->removeWidget(content_);
        content_->deleteLater();
    }
    sections_.clear();
    address_ = nullptr;
    brackets_ = straighten_ = strip_ = web_ = print_ = nullptr;
    portal_ = dimension_ = size_ = shape_ = nullptr;
    portalNote_ = nullptr;
    logo_ = nullptr;
    opacity_ = nullptr;
    opacityLabel_ = nullptr;

    content_ = new QWidget(this);
    auto* layout = new QVBoxLayout(content_);
    layout->setContentsMargins(0, 0, 0, 0);
    outer_->addWidget(content_);

    FormSection* listing = addSection(layout, QStringLiteral("Listing"));
    address_ = new QLineEdit(listing);
    connect(address_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const std::string address = text.toStdString();
        edit([&](VarnholtPreset& p) { p.propertyAddress = address; });
    });
    listing->addRow(QStringLiteral("Property Address"), address_);
    listing->addRow(new OptionNote(QStringLiteral("Used for the {address} part of file names."), listing));

    FormSection* fixes = addSection(layout, QStringLiteral("Photo Fixes"));
    brackets_ = addToggle(fixes, QStringLiteral("Merge Exposure Brackets"),
                          QStringLiteral("Blends the 3-7 shots of one scene taken at different exposures into one "
                                         "evenly lit photo."),
                          &VarnholtPreset::mergeBrackets);
    if (rows.brackets) {
        fixes->addRow(new OptionNote(QStringLiteral("Shots taken seconds apart at different exposures become one "
                                                    "natural-looking photo (windows and interiors both visible). Use "
                                                    "a tripod or hold steady."),
                                     fixes));
    }
    straighten_ = addToggle(fixes, QStringLiteral("Auto-Straighten Vertical Lines"),
                            QStringLiteral("Corrects leaning walls and tilted horizons."),
                            &VarnholtPreset::autoStraightenVerticals);
    strip_ = addToggle(fixes, QStringLiteral("Remove GPS & Private Metadata"),
                       QStringLiteral("Removes location data for seller privacy."), &VarnholtPreset::stripGPSMetadata);

    FormSection* webSet = addSection(layout, QStringLiteral("Web Set"));
    web_ = addToggle(webSet, QStringLiteral("Export Web Set"), QString(), &VarnholtPreset::exportWebPackage);
    if (rows.web) {
        portal_ = makePicker(webSet);
        for (const Portal portal : VarnholtPreset::allPortals()) {
            portal_->addItem(qs(VarnholtPreset::displayName(portal)), static_cast<int>(portal));
        }
        connect(portal_, &QComboBox::activated, this, [this](int index) {
            const auto portal = static_cast<Portal>(portal_->itemData(index).toInt());
            edit([portal](VarnholtPreset& p) { p.setPortal(portal); });
        });
        webSet->addRow(QStringLiteral("Made for"), portal_);
        portalNote_ = new OptionNote(qs(VarnholtPreset::note(preset.portal())), webSet);
        webSet->addRow(portalNote_);
        if (rows.custom) {
            dimension_ = makePicker(webSet);
            for (const double pixels : rows.dimensions) dimension_->addItem(dimensionText(pixels), pixels);
            connect(dimension_, &QComboBox::activated, this, [this](int index) {
                const double pixels = dimension_->itemData(index).toDouble();
                edit([pixels](VarnholtPreset& p) { p.maxWebDimension = pixels; });
            });
            webSet->addRow(QStringLiteral("Longest Side"), dimension_);
            size_ = makePicker(webSet);
            for (const std::int64_t kb : rows.sizes) size_->addItem(sizeText(kb), QVariant::fromValue<qint64>(kb));
            connect(size_, &QComboBox::activated, this, [this](int index) {
                const qint64 kb = size_->itemData(index).value<qint64>();
                edit([kb](VarnholtPreset& p) { p.maxWebFileSizeKB = kb; });
            });
            webSet->addRow(QStringLiteral("File Size Limit"), size_);
            shape_ = makePicker(webSet);
            for (const Aspect aspect : VarnholtPreset::allWebAspects()) {
                shape_->addItem(qs(VarnholtPreset::displayName(aspect)), static_cast<int>(aspect));
            }
            connect(shape_, &QComboBox::activated, this, [this](int index) {
                const auto aspect = static_cast<Aspect>(shape_->itemData(index).toInt());
                edit([aspect](VarnholtPreset& p) { p.webAspect = aspect; });
            });
            webSet->addRow(QStringLiteral("Shape"), shape_);
        }
    }

    FormSection* printSet = addSection(layout, QStringLiteral("Print Set"));
    print_ = addToggle(printSet, QStringLiteral("Export Full-Resolution Print Set"), QString(),
                       &VarnholtPreset::exportPrintPackage);

    FormSection* mark = addSection(layout, QStringLiteral("Watermark"));
    logo_ = new FilePickerRow(QStringLiteral("Logo"), rows.logo, {QStringLiteral("Images (*.png *.jpg *.jpeg)")},
                              [this](const std::optional<std::filesystem::path>& file) {
                                  edit([&](VarnholtPreset& p) { p.watermarkURL = file; });
                              },
                              mark);
    logo_->setObjectName(QStringLiteral("Logo"));
    mark->addRow(logo_);
    if (rows.logo) {
        opacity_ = new QSlider(Qt::Horizontal, mark);
        opacity_->setRange(kMinOpacityTick, kOpacityTicks);
        opacityLabel_ = new QLabel(mark);
        opacityLabel_->setTextFormat(Qt::PlainText);
        // sync() sets the handle with signals blocked, so only the user's moves arrive here.
        connect(opacity_, &QSlider::valueChanged, this, [this](int tick) {
            const double opacity = static_cast<double>(tick) / kOpacityTicks;
            edit([opacity](VarnholtPreset& p) { p.watermarkOpacity = opacity; });
        });
        mark->form()->addRow(opacityLabel_, opacity_);
    }
    layout->addStretch(1);
}

void VarnholtOptions::sync(const VarnholtPreset& preset) {
    const auto check = [](QCheckBox* box, bool on) {
        if (box != nullptr) {
            const QSignalBlocker blocker(box);
            box->setChecked(on);
        }
    };
    if (address_ != nullptr) {
        const QString text = QString::fromStdString(preset.propertyAddress);
        // Setting the same text again would move the cursor while the user types.
        if (address_->text() != text) address_->setText(text);
    }
    check(brackets_, preset.mergeBrackets);
    check(straighten_, preset.autoStraightenVerticals);
    check(strip_, preset.stripGPSMetadata);
    check(web_, preset.exportWebPackage);
    check(print_, preset.exportPrintPackage);
    if (portal_ != nullptr) selectData(portal_, static_cast<int>(preset.portal()));
    if (portalNote_ != nullptr) portalNote_->setText(qs(VarnholtPreset::note(preset.portal())));
    if (dimension_ != nullptr) selectData(dimension_, preset.maxWebDimension);
    if (size_ != nullptr) selectData(size_, QVariant::fromValue<qint64>(preset.maxWebFileSizeKB));
    if (shape_ != nullptr) selectData(shape_, static_cast<int>(preset.webAspect));
    if (opacity_ != nullptr) {
        const QSignalBlocker blocker(opacity_);
        if (opacity_->value() != opacityTick(preset.watermarkOpacity)) opacity_->setValue(opacityTick(preset.watermarkOpacity));
    }
    if (opacityLabel_ != nullptr) opacityLabel_->setText(opacityText(preset.watermarkOpacity));
}

}  // namespace morvale

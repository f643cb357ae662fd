#include "batch_ui/window_snapshot.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QSaveFile>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace morvale {

namespace {

std::optional<double> parseNumber(const QString& piece) {
    const std::string text = piece.toStdString();
    double value = 0;
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

QWidget* mainWindowCandidate() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && qobject_cast<QMainWindow*>(widget) != nullptr) {
            return widget;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<WindowSnapshot::Request> WindowSnapshot::parse(const QStringList& arguments) {
    const qsizetype at = arguments.indexOf(QStringLiteral("--snapshot"));
    if (at < 0 || at + 1 >= arguments.size()) {
        return std::nullopt;
    }
    Request request;
    request.path = std::filesystem::path(QFile::encodeName(arguments[at + 1]).toStdString());
    const qsizetype sizeAt = arguments.indexOf(QStringLiteral("--snapshot-size"));
    if (sizeAt >= 0 && sizeAt + 1 < arguments.size()) {
        request.size = parseSize(arguments[sizeAt + 1]);
    }
    return request;
}

std::optional<QSize> WindowSnapshot::parseSize(const QString& text) {
    std::vector<double> numbers;
    for (const QString& piece : text.toLower().split(QLatin1Char('x'), Qt::SkipEmptyParts)) {
        if (const auto number = parseNumber(piece)) {
            numbers.push_back(*number);
        }
    }
    if (numbers.size() != 2) {
        return std::nullopt;
    }
    for (const double side : numbers) {
        if (!std::isfinite(side) || side < 1.0 || side > kMaxSide) {
            return std::nullopt;
        }
    }
    return QSize(static_cast<int>(std::lround(numbers[0])), static_cast<int>(std::lround(numbers[1])));
}

std::filesystem::path WindowSnapshot::optionsPath(const std::filesystem::path& path) {
    std::filesystem::path stem = path;
    stem.replace_extension();
    stem += "-options.png";
    return stem;
}

bool WindowSnapshot::writePng(const QImage& image, const std::filesystem::path& path) {
    if (image.isNull()) {
        return false;
    }
    QSaveFile file(QFile::decodeName(QByteArray::fromStdString(path.string())));
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QImageWriter writer(&file, "png");
    if (!writer.write(image)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

int WindowSnapshot::capture(QWidget* window, const std::filesystem::path& path) {
    if (window == nullptr) {
        return 0;
    }
    int written = 0;
    if (writePng(window->grab().toImage(), path)) {
        ++written;
    }
    auto* sidebar = window->findChild<QScrollArea*>(QString::fromLatin1(kOptionsObjectName));
    if (sidebar != nullptr && sidebar->widget() != nullptr) {
        if (writePng(sidebar->widget()->grab().toImage(), optionsPath(path))) {
            ++written;
        }
    }
    return written;
}

void WindowSnapshot::captureIfRequested() {
    const auto request = parse(QCoreApplication::arguments());
    if (!request) {
        return;
    }
    QTimer::singleShot(1000, qApp, [request = *request] {
        QPointer<QWidget> window = mainWindowCandidate();
        if (window.isNull()) {
            QCoreApplication::quit();
            return;
        }
        if (request.size) {
            window->resize(*request.size);
            window->repaint();
        }
        QTimer::singleShot(1500, qApp, [window, request] {
            if (!window.isNull()) {
                capture(window.data(), request.path);
            }
            QCoreApplication::quit();
        });
    });
}

}  // namespace morvale

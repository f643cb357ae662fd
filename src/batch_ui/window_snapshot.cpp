#include "batch_ui/window_snapshot.h"

#include "base/atomic_file_writer.h"
#include "batch_ui/standalone_window.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
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
    if (at < 0) {
        return std::nullopt;
    }
    Request request;
    if (at + 1 >= arguments.size()) {
        // Asked for but without a path: an application left running here would wait for a person.
        request.error = "--snapshot needs the path of the picture to write, such as out.png";
        return request;
    }
    request.path = std::filesystem::path(QFile::encodeName(arguments[at + 1]).toStdString());
    const qsizetype sizeAt = arguments.indexOf(QStringLiteral("--snapshot-size"));
    if (sizeAt >= 0 && sizeAt + 1 < arguments.size()) {
        request.size = parseSize(arguments[sizeAt + 1]);
        if (!request.size) {
            request.error = "invalid --snapshot-size \"" + arguments[sizeAt + 1].toStdString() +
                            "\": give the window's width and height as WIDTHxHEIGHT, each from 1 to " +
                            std::to_string(kMaxSide);
        }
    } else if (sizeAt >= 0) {
        request.error = "--snapshot-size needs a value such as 1200x800";
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

void WindowSnapshot::writePng(const QImage& image, const std::filesystem::path& path) {
    if (image.isNull()) {
        throw std::runtime_error("Cannot write " + path.filename().string() + ": the window drew nothing");
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        throw std::runtime_error("Cannot write " + path.filename().string() + ": " + writer.errorString().toStdString());
    }
    // The picture goes where it was asked for: a folder that is not there is a failure, not made.
    AtomicFileWriter::writeFile(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                                {.createFolders = false});
}

int WindowSnapshot::capture(QWidget* window, const std::filesystem::path& path, std::vector<std::string>* errors) {
    if (window == nullptr) {
        return 0;
    }
    int written = 0;
    const auto write = [&](const QImage& image, const std::filesystem::path& target) {
        try {
            writePng(image, target);
            ++written;
        } catch (const std::exception& error) {
            if (errors != nullptr) errors->push_back(error.what());
        }
    };
    write(window->grab().toImage(), path);
    auto* sidebar = window->findChild<QScrollArea*>(QString::fromLatin1(kOptionsObjectName));
    if (sidebar != nullptr && sidebar->widget() != nullptr) {
        write(sidebar->widget()->grab().toImage(), optionsPath(path));
    }
    return written;
}

void WindowSnapshot::captureIfRequested() {
    const auto request = parse(QCoreApplication::arguments());
    if (!request) {
        return;
    }
    // Called while the window is shown, possibly before the event loop runs: quitting waits for it.
    const auto fail = [](const std::string& line, int status) {
        std::fprintf(stderr, "morvale-express: %s\n", line.c_str());
        std::fflush(stderr);
        QTimer::singleShot(0, qApp, [status] { QCoreApplication::exit(status); });
    };
    if (!request->error.empty()) {
        fail(request->error, 2);
        return;
    }
    QTimer::singleShot(1000, qApp, [request = *request, fail] {
        QPointer<QWidget> window = mainWindowCandidate();
        if (window.isNull()) {
            fail("no window to capture", 1);
            return;
        }
        // Without a size the picture shows the window at its default size: offscreen, the screen the
        // window was fitted to is a made-up 800×600 one, smaller than the window's minimum.
        window->resize(request.size.value_or(QSize(StandaloneWindow::kDefaultWidth, StandaloneWindow::kDefaultHeight)));
        window->repaint();
        QTimer::singleShot(1500, qApp, [window, request, fail] {
            std::vector<std::string> errors;
            if (window.isNull()) errors.push_back("the window closed before it was captured");
            else capture(window.data(), request.path, &errors);
            if (!errors.empty()) {
                fail(errors.front(), 1);  // the options picture fails for the same reason
                return;
            }
            QCoreApplication::quit();
        });
    });
}

}  // namespace morvale

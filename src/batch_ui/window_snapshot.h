#pragma once

#include <QSize>
#include <QStringList>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class QImage;
class QWidget;

namespace morvale {

// Launch mode for taking pictures of the application without a person at the screen:
// "--snapshot <png path>" (and optionally "--snapshot-size <w>x<h>") waits for the main window to
// settle, resizes it, writes the window and the options sidebar as PNG images, and quits: with
// status 0 when both were written, otherwise after one line on standard error with status 1 (a
// picture that cannot be written, no window) or 2 (a size that is not one).
class WindowSnapshot {
public:
    // The sidebar whose whole content is captured; the window names its scroll area so, so that a
    // long queue list is never taken for it.
    static constexpr const char* kOptionsObjectName = "optionsSidebar";
    static constexpr int kMaxSide = 16384;

    struct Request {
        std::filesystem::path path;
        std::optional<QSize> size;
        // Set when "--snapshot" has no path or "--snapshot-size" no usable size: the line to print on
        // standard error before quitting with status 2, instead of taking any picture.
        std::string error;
    };

    // Nothing when the mode is off ("--snapshot" absent). "--snapshot" as the last argument turns it on
    // with an error and no path.
    static std::optional<Request> parse(const QStringList& arguments);
    // "1200x800" and the like; only two finite numbers from 1 to 16384 make a size.
    static std::optional<QSize> parseSize(const QString& text);
    // The path with its extension removed and "-options.png" appended.
    static std::filesystem::path optionsPath(const std::filesystem::path& path);

    // Reads the process's arguments; when the mode is on, schedules the capture and returns at once.
    static void captureIfRequested();

    // The capture itself: writes the window image and, when the window has the options sidebar, the
    // sidebar's full content; returns how many images were written, and adds a line naming the file
    // and the reason to `errors` for each image that could not be written. Never throws.
    static int capture(QWidget* window, const std::filesystem::path& path, std::vector<std::string>* errors = nullptr);

    // Writes an image as PNG through a temporary file in the image's folder (which must exist),
    // renamed into place. Throws AtomicWriteError ("Cannot write <file>: <reason>") or
    // std::runtime_error when the image cannot be encoded.
    static void writePng(const QImage& image, const std::filesystem::path& path);
};

}  // namespace morvale

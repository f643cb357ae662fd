#pragma once

#include <QSize>
#include <QStringList>

#include <filesystem>
#include <optional>

class QImage;
class QWidget;

namespace morvale {

// Launch mode for taking pictures of the application without a person at the screen:
// "--snapshot <png path>" (and optionally "--snapshot-size <w>x<h>") waits for the main window to
// settle, resizes it, writes the window and the options sidebar as PNG images, and quits.
class WindowSnapshot {
public:
    // The sidebar whose whole content is captured; the window names its scroll area so, so that a
    // long queue list is never taken for it.
    static constexpr const char* kOptionsObjectName = "optionsSidebar";
    static constexpr int kMaxSide = 16384;

    struct Request {
        std::filesystem::path path;
        std::optional<QSize> size;
    };

    // Nothing when the mode is off ("--snapshot" absent or last).
    static std::optional<Request> parse(const QStringList& arguments);
    // "1200x800" and the like; only two finite numbers from 1 to 16384 make a size.
    static std::optional<QSize> parseSize(const QString& text);
    // The path with its extension removed and "-options.png" appended.
    static std::filesystem::path optionsPath(const std::filesystem::path& path);

    // Reads the process's arguments; when the mode is on, schedules the capture and returns at once.
    static void captureIfRequested();

    // The capture itself: writes the window image and, when the window has the options sidebar, the
    // sidebar's full content; returns how many images were written. Never throws.
    static int capture(QWidget* window, const std::filesystem::path& path);

    // Writes an image as PNG through a temporary file renamed into place.
    static bool writePng(const QImage& image, const std::filesystem::path& path);
};

}  // namespace morvale

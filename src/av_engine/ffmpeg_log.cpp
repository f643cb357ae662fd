#include "av_engine/ffmpeg_log.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <array>
#include <cstdarg>
#include <mutex>

namespace morvale::ffmpeg {

namespace {

struct ThreadLog {
    LogScope* scope = nullptr;
    const LogSink* sink = nullptr;
    std::string pending;
    int printPrefix = 1;
    int linesForwarded = 0;
};

// A damaged file can make a decoder complain once per packet; the caller's log gets the first few only.
constexpr int kMaxLinesPerScope = 20;

thread_local ThreadLog tCurrent;

void forward(void* avcl, int level, const char* fmt, va_list args) {
    ThreadLog& current = tCurrent;
    if (current.sink == nullptr || level > AV_LOG_WARNING) return;
    std::array<char, 1024> line{};
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(avcl, level, fmt, copy, line.data(), static_cast<int>(line.size()), &current.printPrefix);
    va_end(copy);
    current.pending += line.data();
    std::string::size_type newline;
    while ((newline = current.pending.find('\n')) != std::string::npos) {
        std::string text = current.pending.substr(0, newline);
        current.pending.erase(0, newline + 1);
        if (text.empty() || !*current.sink) continue;
        ++current.linesForwarded;
        if (current.linesForwarded < kMaxLinesPerScope) {
            (*current.sink)("FFmpeg: " + text);
        } else if (current.linesForwarded == kMaxLinesPerScope) {
            (*current.sink)("FFmpeg: further messages suppressed.");
        }
    }
    // Guard against a library that never ends its lines.
    if (current.pending.size() > 4096) current.pending.clear();
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(forward); });
}

}  // namespace

LogScope::LogScope(LogSink sink) : sink_(std::move(sink)), previous_(tCurrent.scope) {
    installOnce();
    tCurrent.scope = this;
    tCurrent.sink = &sink_;
    tCurrent.linesForwarded = 0;
}

LogScope::~LogScope() {
    ThreadLog& current = tCurrent;
    if (!current.pending.empty() && current.sink != nullptr && *current.sink) (*current.sink)("FFmpeg: " + current.pending);
    current.pending.clear();
    current.printPrefix = 1;
    current.linesForwarded = 0;
    current.scope = previous_;
    current.sink = previous_ != nullptr ? &previous_->sink_ : nullptr;
}

std::string errorText(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    if (av_strerror(code, text.data(), text.size()) < 0) return "error " + std::to_string(code);
    return text.data();
}

}  // namespace morvale::ffmpeg

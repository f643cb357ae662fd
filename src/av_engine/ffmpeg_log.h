#pragma once

#include "base/callbacks.h"

#include <string>

namespace morvale::ffmpeg {

// While alive, FFmpeg's own messages (warnings and worse) raised on this thread go to `sink` as whole
// lines instead of standard error. FFmpeg's log hook is process-wide, so it is installed once and looks
// up the current thread's sink; messages from threads without one are dropped.
class LogScope {
public:
    explicit LogScope(LogSink sink);
    ~LogScope();
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

private:
    LogSink sink_;
    LogScope* previous_;
};

// Text for an FFmpeg error code.
std::string errorText(int code);

}  // namespace morvale::ffmpeg

#pragma once

#include "av_engine/caption_word.h"

#include <vector>

namespace morvale {

// Where an automatic audiogram excerpt begins: the liveliest passage of the transcript, or the loudest
// stretch of the level curve. Pure and thread-safe.
class ClipPicker {
public:
    ClipPicker() = delete;

    // Start in seconds of the window with the most words (questions and exclamations count three times),
    // opening at a sentence start, a quarter second early; 0 when the episode is not longer than the clip
    // by a second, or for 8 words or fewer. Words are expected in time order.
    static double liveliestStart(const std::vector<CaptionWord>& words, double duration, double length);
    // Start in seconds of the loudest run of `length` seconds in levels taken every `step` seconds;
    // 0 when the run does not fit or any of the numbers is not a usable time.
    static double loudestStart(const std::vector<float>& levels, double step, double length);
};

}  // namespace morvale

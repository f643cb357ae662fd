#pragma once

#include "av_engine/caption_word.h"
#include "av_engine/time_range.h"

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// Plans the removal of hesitations (um, uh, er, hmm…), stuttered short words ("I I think") and hesitations
// the recogniser swallowed into a neighbouring word. Works on data only: the transcript words and the
// episode's 20 ms speech frames; cutting the audio is LoudnessNormalizer::cut. Pure and thread-safe.
class FillerRemover {
public:
    FillerRemover() = delete;

    static constexpr double frameSeconds = 0.02;
    static constexpr std::array<std::string_view, 25> stutterWords = {
        "i",  "we", "the", "a",  "an", "to",  "and", "it", "of",   "in",  "you",   "he", "she",
        "they", "my", "this", "but", "if", "is", "it's", "i'm", "we're", "on", "for", "with"};

    // One 20 ms frame of the episode at 16 kHz mono (320 samples).
    struct SpeechFrame {
        float levelDB = -100.0f;       // mean square in dB
        float brightnessDB = 0.0f;     // sample-to-sample difference energy over energy, in dB
    };

    struct Plan {
        std::vector<TimeRange> cuts;        // sorted, disjoint
        std::vector<CaptionWord> words;     // kept words, re-timed to the shortened audio
        std::map<std::string, int> removed; // "um", "uh", other fillers as written, "repeated words", "unspoken um/uh"

        int count() const;
        double secondsRemoved() const;
    };

    // Hesitations hidden inside transcribed words, found as one steady voiced run among the word's others.
    static std::vector<TimeRange> hiddenFillerCuts(const std::vector<CaptionWord>& words,
                                                   const std::vector<SpeechFrame>& frames);
    static Plan plan(const std::vector<CaptionWord>& words, bool removeRepeats,
                     const std::vector<TimeRange>& hiddenFillers = {});

    // Lower case, punctuation and white space trimmed at both ends, "’" as "'".
    static std::string normalised(std::string_view text);
    // Whether a normalised word is a hesitation sound: um, uh, ah, er, erm, hm, mm and longer forms.
    static bool isFiller(std::string_view normalisedText);
};

}  // namespace morvale

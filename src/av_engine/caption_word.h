#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace morvale {

// One transcribed word: its text (one word, no surrounding white space) and its start and end in seconds
// from the start of the analysed file. The unit of captions, filler removal, automatic chapters, clip
// picking and audiogram captions.
struct CaptionWord {
    std::string text;
    double start = 0.0;
    double end = 0.0;

    friend bool operator==(const CaptionWord&, const CaptionWord&) = default;
};

// The words shown together on screen as one caption.
struct CaptionCue {
    std::vector<CaptionWord> words;

    // First word's start, or 0 without words.
    double start() const { return words.empty() ? 0.0 : words.front().start; }
    // Last word's end, or 0 without words.
    double end() const { return words.empty() ? 0.0 : words.back().end; }
    // The words' texts joined with one space.
    std::string text() const {
        std::string out;
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i > 0) out += ' ';
            out += words[i].text;
        }
        return out;
    }

    friend bool operator==(const CaptionCue&, const CaptionCue&) = default;
};

}  // namespace morvale

#pragma once

#include "audio_fixtures.h"

#include <filesystem>
#include <string>
#include <vector>

namespace morvale::test {

// Sentences spoken by espeak-ng (-v en-us -s 165), joined with 0.8 s of silence and, twice, 2.5 s.
struct SpeechCorpus {
    std::filesystem::path file;           // mono WAV at the speaker's 22050 Hz
    std::vector<std::string> sentences;   // as spoken, with punctuation
    std::vector<double> onsets;           // seconds where each sentence's first sound begins
    double seconds = 0.0;
};
SpeechCorpus makeSpeechCorpus(const std::filesystem::path& folder);

// One sentence spoken in pieces with a filler between some of them; the fillers' own time spans.
struct FillerCorpus {
    std::filesystem::path file;
    std::vector<std::pair<double, double>> fillers;
    double seconds = 0.0;
};
FillerCorpus makeFillerCorpus(const std::filesystem::path& folder);

// Lower-case words without punctuation.
std::vector<std::string> referenceWords(const std::vector<std::string>& sentences);
// Longest run of reference words found in the same order among the recognised ones.
std::size_t wordsMatchedInOrder(const std::vector<std::string>& reference, const std::vector<std::string>& recognised);
// Word error rate: edit distance over the reference length.
double wordErrorRate(const std::vector<std::string>& reference, const std::vector<std::string>& recognised);

}  // namespace morvale::test

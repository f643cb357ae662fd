#include "speech_corpus.h"

#include "av_engine/wav_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

namespace morvale::test {

namespace {

const std::vector<std::string> kSentences = {
    "The harbour was quiet that morning.",
    "We talked about the weather and the long road home.",
    "Nobody expected the storm to arrive so early.",
    "My sister bought a small house near the river.",
    "The children played football in the park after school.",
    "Please send me the report before the end of the week.",
    "He opened the window and looked at the mountains.",
    "The train to the city leaves at seven in the evening.",
    "She was reading a book about the history of music.",
    "Our neighbours have two dogs and a very old cat.",
    "The restaurant on the corner serves excellent fish.",
    "I think we should start the meeting without him.",
    "The doctor told him to drink more water every day.",
    "They spent the summer travelling through the south.",
    "The new bridge will open to traffic next month.",
    "We need more chairs for the guests in the garden.",
    "The museum is closed on Mondays and public holidays.",
    "He forgot his keys at the office again.",
    "The price of coffee has gone up this year.",
    "Can you tell me where the nearest station is?",
    "The students listened carefully to the teacher.",
    "It was the best concert I have ever seen.",
    "The farmer sold his apples at the market on Saturday.",
    "We watched the sun go down over the sea.",
    "The company plans to hire fifty new workers.",
    "My father likes to cook dinner on Sunday evenings.",
    "The road was closed because of the heavy snow.",
    "She wrote a letter to her friend in Canada.",
    "The game was cancelled because of the rain.",
    "I would like a cup of tea with milk, please.",
    "The library has thousands of books and old maps.",
    "He works as an engineer at a large factory.",
    "The plane landed safely after a long flight.",
    "Thank you all for listening to our show today.",
};

Audio speak(const std::filesystem::path& folder, const std::string& text, int index) {
    const std::filesystem::path wav = folder / ("sentence_" + std::to_string(index) + ".wav");
    if (!run("espeak-ng -v en-us -s 165 -w " + test::quoted(wav) + " " + test::quoted(text))) throw std::runtime_error("espeak-ng failed");
    Audio a = decode(wav);
    std::filesystem::remove(wav);
    return a;
}

std::size_t firstSound(const Audio& a) {
    for (std::size_t i = 0; i < a.samples.size(); ++i) {
        if (std::fabs(a.samples[i]) > 0.01f) return i;
    }
    return 0;
}

void appendSilence(Audio& a, double seconds) {
    a.samples.insert(a.samples.end(), static_cast<std::size_t>(seconds * a.sampleRate), 0.0f);
}

void write(const std::filesystem::path& path, const Audio& a) {
    WAVWriter writer(path, a.sampleRate, 1, 16);
    writer.write(a.samples.data(), a.frames());
    writer.close();
}

}  // namespace

SpeechCorpus makeSpeechCorpus(const std::filesystem::path& folder) {
    SpeechCorpus corpus;
    corpus.sentences = kSentences;
    Audio all{22050.0, 1, {}};
    for (std::size_t i = 0; i < kSentences.size(); ++i) {
        if (i > 0) appendSilence(all, i == 12 || i == 24 ? 2.5 : 0.8);
        const Audio s = speak(folder, kSentences[i], static_cast<int>(i));
        all.sampleRate = s.sampleRate;
        corpus.onsets.push_back(static_cast<double>(all.samples.size() + firstSound(s)) / s.sampleRate);
        all.append(s);
    }
    corpus.file = folder / "corpus.wav";
    corpus.seconds = static_cast<double>(all.frames()) / all.sampleRate;
    write(corpus.file, all);
    return corpus;
}

FillerCorpus makeFillerCorpus(const std::filesystem::path& folder) {
    // Pieces spoken one by one; a filler stands between two pieces, with a short breath around it.
    const std::vector<std::vector<std::string>> sentences = {
        {"So we went down to the harbour", "um", "and looked at the boats."},
        {"The weather was", "uh", "much colder than we expected."},
        {"My brother said that", "erm", "the train would be late."},
        {"I", "I", "think we should go home now."},
        {"Then we", "um", "walked back along the river."},
        {"She told me", "uh", "that the shop was closed."},
        {"We bought bread and", "erm", "some cheese for dinner."},
        {"And", "um", "that was the end of the day."},
    };
    FillerCorpus corpus;
    Audio all{22050.0, 1, {}};
    int index = 0;
    for (const auto& pieces : sentences) {
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            Audio s = speak(folder, pieces[p], 1000 + index++);
            all.sampleRate = s.sampleRate;
            // espeak pads each utterance with silence; keep 0.1 s around the sound.
            std::size_t first = firstSound(s);
            std::size_t last = s.samples.size();
            while (last > first && std::fabs(s.samples[last - 1]) <= 0.01f) --last;
            const auto pad = static_cast<std::size_t>(0.1 * s.sampleRate);
            first = first > pad ? first - pad : 0;
            last = std::min(s.samples.size(), last + pad);
            const bool filler = p == 1 && pieces[0] != "I";
            const double at = static_cast<double>(all.samples.size()) / all.sampleRate;
            all.samples.insert(all.samples.end(), s.samples.begin() + static_cast<std::ptrdiff_t>(first),
                               s.samples.begin() + static_cast<std::ptrdiff_t>(last));
            if (filler) corpus.fillers.emplace_back(at + 0.1, static_cast<double>(all.samples.size()) / all.sampleRate - 0.1);
            if (pieces[0] == "I" && p == 0) corpus.fillers.emplace_back(at + 0.1, static_cast<double>(all.samples.size()) / all.sampleRate - 0.1);
        }
        appendSilence(all, 0.8);
    }
    corpus.file = folder / "fillers.wav";
    corpus.seconds = static_cast<double>(all.frames()) / all.sampleRate;
    write(corpus.file, all);
    return corpus;
}

std::vector<std::string> referenceWords(const std::vector<std::string>& sentences) {
    std::vector<std::string> words;
    for (const std::string& s : sentences) {
        std::string word;
        for (char c : s + " ") {
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '\'') {
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            } else if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        }
    }
    return words;
}

std::size_t wordsMatchedInOrder(const std::vector<std::string>& reference, const std::vector<std::string>& recognised) {
    std::vector<std::size_t> previous(recognised.size() + 1, 0);
    std::vector<std::size_t> current(recognised.size() + 1, 0);
    for (const std::string& r : reference) {
        for (std::size_t j = 0; j < recognised.size(); ++j) {
            current[j + 1] = r == recognised[j] ? previous[j] + 1 : std::max(previous[j + 1], current[j]);
        }
        std::swap(previous, current);
    }
    return previous.back();
}

double wordErrorRate(const std::vector<std::string>& reference, const std::vector<std::string>& recognised) {
    std::vector<std::size_t> previous(recognised.size() + 1);
    std::vector<std::size_t> current(recognised.size() + 1);
    for (std::size_t j = 0; j <= recognised.size(); ++j) previous[j] = j;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        current[0] = i + 1;
        for (std::size_t j = 0; j < recognised.size(); ++j) {
            current[j + 1] = std::min({previous[j + 1] + 1, current[j] + 1, previous[j] + (reference[i] == recognised[j] ? 0 : 1)});
        }
        std::swap(previous, current);
    }
    return reference.empty() ? 0.0 : static_cast<double>(previous.back()) / static_cast<double>(reference.size());
}

}  // namespace morvale::test

#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// A transcribed word with its start and end in seconds (the transcriber's CaptionWord).
template <typename Word>
concept TimedWord = requires(const Word& w) {
    { w.text } -> std::convertible_to<std::string_view>;
    { w.start } -> std::convertible_to<double>;
    { w.end } -> std::convertible_to<double>;
};

// One chapter marker: seconds from the start of the finished programme and its title.
struct Chapter {
    double start = 0;
    std::string title;

    friend bool operator==(const Chapter&, const Chapter&) = default;
};

// Reads the user's chapter lists, finds chapters at pauses in a transcript, and formats the
// contents of the three chapter files (Podcasting 2.0 JSON, plain text for show notes, FFmpeg
// metadata).
class ChapterBuilder {
public:
    ChapterBuilder() = delete;

    // Longest chapter list read; anything past it is ignored, so a pasted novel cannot stall a run.
    static constexpr std::size_t maxListBytes = 1 << 20;

    // One chapter per line (LF, CR or CRLF) or per ";"-separated entry, written as a time, a
    // blank and a title ("5:30 Interview"); unreadable entries are dropped; sorted by start.
    static std::vector<Chapter> parse(std::string_view text);

    // "90", "1:30", "1:02:03" (empty pieces dropped) to seconds; nothing for anything else,
    // including a result that is not a finite number.
    static std::optional<double> seconds(std::string_view text);

    // "MM:SS" below an hour unless alwaysHours, else "H:MM:SS"; negatives and NaN count as 0.
    static std::string clock(double seconds, bool alwaysHours = false);

    // Keeps chapters inside [0, duration - 1), sorted, starting at 0 (adding "Start" when needed).
    static std::vector<Chapter> tidy(std::vector<Chapter> chapters, double duration);

    // Chapters opened at long pauses of the transcript; without a minimum length, chapters are at
    // least max(60, duration / 12) seconds apart.
    template <TimedWord Word>
    static std::vector<Chapter> automatic(const std::vector<Word>& words, double duration,
                                          std::optional<double> minimumLength = std::nullopt) {
        return automaticFrom(views(words), duration, minimumLength);
    }

    // Up to seven words from `index`, ending early at a sentence end; "Chapter" when none.
    template <TimedWord Word>
    static std::string title(const std::vector<Word>& words, std::size_t index) {
        return titleFrom(views(words), index);
    }

    // Throws std::invalid_argument for a chapter whose start is not finite.
    static std::string json(const std::vector<Chapter>& chapters);
    static std::string text(const std::vector<Chapter>& chapters);
    static std::string ffmetadata(const std::vector<Chapter>& chapters, double duration);

private:
    struct WordView {
        std::string_view text;
        double start;
        double end;
    };

    template <TimedWord Word>
    static std::vector<WordView> views(const std::vector<Word>& words) {
        std::vector<WordView> out;
        out.reserve(words.size());
        for (const auto& w : words) out.push_back(WordView{w.text, static_cast<double>(w.start), static_cast<double>(w.end)});
        return out;
    }

    static std::vector<Chapter> automaticFrom(const std::vector<WordView>& words, double duration,
                                              std::optional<double> minimumLength);
    static std::string titleFrom(const std::vector<WordView>& words, std::size_t index);
};

}  // namespace morvale

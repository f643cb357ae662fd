#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

struct CaptionWord;

// One chapter marker: seconds from the start of the finished programme and its title.
struct Chapter {
    double start = 0;
    std::string title;

    friend bool operator==(const Chapter&, const Chapter&) = default;
};

// Reads the user's chapter lists, finds chapters at pauses in a transcript, and writes the
// three chapter files (Podcasting 2.0 JSON, plain text for show notes, FFmpeg metadata).
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

    // Chapters opened at long pauses of the transcript.
    static std::vector<Chapter> automatic(const std::vector<CaptionWord>& words, double duration,
                                          std::optional<double> minimumLength = std::nullopt);

    // Up to seven words from `index`, ending early at a sentence end.
    static std::string title(const std::vector<CaptionWord>& words, std::size_t index);

    // Throws std::invalid_argument for a chapter whose start is not finite.
    static std::string json(const std::vector<Chapter>& chapters);
    static std::string text(const std::vector<Chapter>& chapters);
    static std::string ffmetadata(const std::vector<Chapter>& chapters, double duration);
};

}  // namespace morvale

// libFuzzer target: the chapter-list reader and everything that consumes its chapters.
#include "av_engine/chapter_builder.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto chapters = morvale::ChapterBuilder::parse(text);
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        if (!std::isfinite(chapters[i].start) || chapters[i].title.empty()) std::abort();
        if (i > 0 && chapters[i].start < chapters[i - 1].start) std::abort();
        (void)morvale::ChapterBuilder::clock(chapters[i].start, (i % 2) != 0);
    }
    const auto tidied = morvale::ChapterBuilder::tidy(chapters, 3600.0);
    if (!tidied.empty() && tidied.front().start != 0) std::abort();
    (void)morvale::ChapterBuilder::json(tidied);
    (void)morvale::ChapterBuilder::text(tidied);
    (void)morvale::ChapterBuilder::ffmetadata(tidied, 3600.0);
    if (auto s = morvale::ChapterBuilder::seconds(text); s && !std::isfinite(*s)) std::abort();
    return 0;
}

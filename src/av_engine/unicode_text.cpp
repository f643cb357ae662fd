#include "av_engine/unicode_text.h"

#include "base/utf8.h"

#include <glib.h>
#include <pango/pango.h>

#include <algorithm>
#include <vector>

namespace morvale::unicode_text {

namespace {

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isPunctuationOrSpace(char32_t c) {
    if (g_unichar_isspace(static_cast<gunichar>(c))) return true;
    switch (g_unichar_type(static_cast<gunichar>(c))) {
    case G_UNICODE_CONNECT_PUNCTUATION:
    case G_UNICODE_DASH_PUNCTUATION:
    case G_UNICODE_CLOSE_PUNCTUATION:
    case G_UNICODE_FINAL_PUNCTUATION:
    case G_UNICODE_INITIAL_PUNCTUATION:
    case G_UNICODE_OTHER_PUNCTUATION:
    case G_UNICODE_OPEN_PUNCTUATION:
    case G_UNICODE_SPACE_SEPARATOR:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::size_t characterCount(std::string_view text) {
    if (text.empty()) return 0;
    // CR LF is one cluster even in ASCII; words never hold one, lines might.
    if (isASCII(text) && text.find('\r') == std::string_view::npos) return text.size();
    const std::string valid = utf8::sanitized(text);
    const auto codePoints = static_cast<std::size_t>(g_utf8_strlen(valid.data(), static_cast<gssize>(valid.size())));
    std::vector<PangoLogAttr> attrs(codePoints + 1);
    pango_get_log_attrs(valid.data(), static_cast<int>(valid.size()), -1, pango_language_from_string("en"), attrs.data(),
                        static_cast<int>(attrs.size()));
    std::size_t clusters = 0;
    for (std::size_t i = 1; i < attrs.size(); ++i) clusters += attrs[i].is_cursor_position ? 1 : 0;
    return clusters;
}

std::string lowered(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    utf8::forEachCodePoint(text, [&](char32_t c) { utf8::append(out, static_cast<char32_t>(g_unichar_tolower(c))); });
    return out;
}

std::string capitalisedFirst(std::string_view text) {
    if (text.empty()) return {};
    const utf8::Decoded first = utf8::decodeAt(text, 0);
    std::string out;
    utf8::append(out, first.valid ? static_cast<char32_t>(g_unichar_toupper(first.codePoint)) : first.codePoint);
    out.append(text.substr(first.length));
    return out;
}

std::string trimmedOfPunctuationAndSpace(std::string_view text) {
    struct Piece {
        std::size_t offset;
        std::size_t length;
        bool trim;
    };
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Decoded d = utf8::decodeAt(text, i);
        pieces.push_back({i, d.length, d.valid && isPunctuationOrSpace(d.codePoint)});
        i += d.length;
    }
    std::size_t from = 0;
    std::size_t to = pieces.size();
    while (from < to && pieces[from].trim) ++from;
    while (to > from && pieces[to - 1].trim) --to;
    if (from == to) return {};
    const std::size_t begin = pieces[from].offset;
    const std::size_t end = pieces[to - 1].offset + pieces[to - 1].length;
    return std::string(text.substr(begin, end - begin));
}

}  // namespace morvale::unicode_text

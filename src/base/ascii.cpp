#include "base/ascii.h"

namespace morvale::ascii {

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = toLower(c);
    return out;
}

std::string uppered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = toUpper(c);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (toLower(a[i]) != toLower(b[i])) return false;
    }
    return true;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && equalsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace morvale::ascii

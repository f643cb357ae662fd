#include "batch_core/token_renamer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <charconv>
#include <optional>
#include <string_view>

#include "base/ascii.h"
#include "batch_core/date_pattern_formatter.h"

namespace morvale {

namespace {

// Wider padding than this is surely a typo, and honouring it could mean a huge allocation.
constexpr int maxPaddingWidth = 255;

// Width digits of a token; none when they are out of range.
std::optional<int> parseWidth(std::string_view digits) {
    int width = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), width);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return std::nullopt;
    if (width > maxPaddingWidth) return std::nullopt;
    return width;
}

// Decimal with zero padding after the sign, like printf's "%0*lld".
std::string padded(std::int64_t value, int width) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const bool negative = value < 0;
    std::string_view magnitude = negative ? text.substr(1) : text;
    const auto used = text.size();
    const auto zeros = width > 0 && static_cast<std::size_t>(width) > used ? static_cast<std::size_t>(width) - used : 0;
    std::string out;
    out.reserve(used + zeros);
    if (negative) out.push_back('-');
    out.append(zeros, '0');
    out.append(magnitude);
    return out;
}

// An optional sign and ASCII digits only.
std::optional<std::int64_t> parseWholeNumber(std::string_view text) {
    bool plus = false;
    if (!text.empty() && text.front() == '+') {
        plus = true;
        text.remove_prefix(1);
    }
    if (text.empty() || (plus && !ascii::isDigit(text.front()))) return std::nullopt;
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string replaceAll(const std::string& text, std::string_view token, std::string_view replacement) {
    std::string out;
    std::size_t from = 0;
    while (true) {
        const auto at = text.find(token, from);
        if (at == std::string::npos) break;
        out.append(text, from, at - from);
        out.append(replacement);
        from = at + token.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

// "{index}" or "{index:<digits>}" at `at`; returns the length and the width text.
std::optional<std::pair<std::size_t, std::string_view>> matchIndex(std::string_view text, std::size_t at) {
    constexpr std::string_view head = "{index";
    if (text.substr(at, head.size()) != head) return std::nullopt;
    std::size_t pos = at + head.size();
    if (pos < text.size() && text[pos] == '}') return std::make_pair(pos + 1 - at, std::string_view{});
    if (pos >= text.size() || text[pos] != ':') return std::nullopt;
    const std::size_t digitsStart = ++pos;
    while (pos < text.size() && ascii::isDigit(text[pos])) ++pos;
    if (pos == digitsStart || pos >= text.size() || text[pos] != '}') return std::nullopt;
    return std::make_pair(pos + 1 - at, text.substr(digitsStart, pos - digitsStart));
}

// "{date}" or "{date:<anything but a closing brace>}".
std::optional<std::pair<std::size_t, std::optional<std::string_view>>> matchDate(std::string_view text, std::size_t at) {
    constexpr std::string_view head = "{date";
    if (text.substr(at, head.size()) != head) return std::nullopt;
    std::size_t pos = at + head.size();
    if (pos < text.size() && text[pos] == '}') return std::make_pair(pos + 1 - at, std::optional<std::string_view>{});
    if (pos >= text.size() || text[pos] != ':') return std::nullopt;
    const std::size_t formatStart = ++pos;
    const auto close = text.find('}', formatStart);
    if (close == std::string_view::npos || close == formatStart) return std::nullopt;
    return std::make_pair(close + 1 - at, std::optional<std::string_view>(text.substr(formatStart, close - formatStart)));
}

// A word character as regular expressions know it: letters, marks, decimal digits, connector
// punctuation (the underscore among them) and the zero-width joiners. Returns the byte length.
std::size_t wordCharacterLength(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
        return ascii::isAlnum(text[at]) || byte == '_' ? 1 : 0;
    }
    int32_t offset = static_cast<int32_t>(at);
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), offset, static_cast<int32_t>(text.size()), c);
    if (c < 0) return 0;
    const auto type = u_charType(c);
    const bool word = u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || type == U_NON_SPACING_MARK ||
                      type == U_ENCLOSING_MARK || type == U_COMBINING_SPACING_MARK ||
                      type == U_DECIMAL_DIGIT_NUMBER || type == U_CONNECTOR_PUNCTUATION || c == 0x200C || c == 0x200D;
    return word ? static_cast<std::size_t>(offset) - at : 0;
}

struct PaddedToken {
    std::size_t length;
    std::string_view key;
    std::string_view width;
};

// "{<word characters>:<digits>}".
std::optional<PaddedToken> matchPadded(std::string_view text, std::size_t at) {
    if (text[at] != '{') return std::nullopt;
    std::size_t pos = at + 1;
    while (pos < text.size()) {
        const auto length = wordCharacterLength(text, pos);
        if (length == 0) break;
        pos += length;
    }
    if (pos == at + 1 || pos >= text.size() || text[pos] != ':') return std::nullopt;
    const auto key = text.substr(at + 1, pos - at - 1);
    const std::size_t digitsStart = ++pos;
    while (pos < text.size() && ascii::isDigit(text[pos])) ++pos;
    if (pos == digitsStart || pos >= text.size() || text[pos] != '}') return std::nullopt;
    return PaddedToken{pos + 1 - at, key, text.substr(digitsStart, pos - digitsStart)};
}

std::string indexPass(const std::string& text, std::int64_t index) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '{') {
            if (const auto match = matchIndex(text, pos)) {
                const auto width = match->second.empty() ? std::optional<int>(1) : parseWidth(match->second);
                if (width) {
                    out += padded(index, *width);
                } else {
                    out.append(text, pos, match->first);
                }
                pos += match->first;
                continue;
            }
        }
        out.push_back(text[pos++]);
    }
    return out;
}

std::string datePass(const std::string& text, std::chrono::system_clock::time_point now) {
    if (text.find("{date") == std::string::npos) return text;
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '{') {
            if (const auto match = matchDate(text, pos)) {
                const std::string format = match->second ? std::string(*match->second) : std::string("yyyyMMdd");
                out += formatDatePattern(format, now);
                pos += match->first;
                continue;
            }
        }
        out.push_back(text[pos++]);
    }
    return out;
}

// One left-to-right scan: at each "{", the shortest "{key}" naming a variable is replaced and the
// scan goes on after it, so inserted values are never looked at again and the result does not
// depend on the order of the keys.
std::string variablesPass(const std::string& text, const std::map<std::string, std::string>& variables) {
    if (variables.empty()) return text;
    std::size_t longestKey = 0;
    for (const auto& entry : variables) longestKey = std::max(longestKey, entry.first.size());
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '{') {
            bool replaced = false;
            for (auto close = text.find('}', pos + 1);
                 close != std::string::npos && close - pos - 1 <= longestKey; close = text.find('}', close + 1)) {
                const auto found = variables.find(text.substr(pos + 1, close - pos - 1));
                if (found != variables.end()) {
                    out += found->second;
                    pos = close + 1;
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        out.push_back(text[pos++]);
    }
    return out;
}

std::string paddedNumbersPass(const std::string& text, const std::map<std::string, std::string>& variables) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '{') {
            if (const auto match = matchPadded(text, pos)) {
                const auto found = variables.find(std::string(match->key));
                const auto number = found != variables.end() ? parseWholeNumber(found->second) : std::nullopt;
                const auto width = number ? parseWidth(match->width) : std::nullopt;
                if (number && width) {
                    out += padded(*number, *width);
                } else {
                    out.append(text, pos, match->length);
                }
                pos += match->length;
                continue;
            }
        }
        out.push_back(text[pos++]);
    }
    return out;
}

bool isForbidden(unsigned char c) {
    switch (c) {
        case ':': case '/': case '\\': case '?': case '%': case '*':
        case '|': case '"': case '<': case '>': case '#':
            return true;
        default:
            return c < 0x20 || c == 0x7F;
    }
}

// Characters a file name may not hold, and control characters, become "_" one for one.
std::string sanitise(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls, U+0080 to U+009F, are written C2 80 to C2 9F.
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                out.push_back('_');
                ++i;
                continue;
            }
        }
        out.push_back(isForbidden(c) ? '_' : text[i]);
    }
    return out;
}

}  // namespace

std::string TokenRenamer::resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                  std::int64_t total, const std::map<std::string, std::string>& contextVariables) const {
    return resolve(pattern, item, index, total, contextVariables, std::chrono::system_clock::now());
}

std::string TokenRenamer::resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                  std::int64_t total, const std::map<std::string, std::string>& contextVariables,
                                  std::chrono::system_clock::time_point now) const {
    const auto contextName = contextVariables.find("name");
    const auto contextExtension = contextVariables.find("ext");
    std::string text = replaceAll(pattern, "{name}",
                                  contextName != contextVariables.end() ? contextName->second : item.originalFileName);
    text = replaceAll(text, "{ext}",
                      contextExtension != contextVariables.end() ? contextExtension->second : item.fileExtension);
    text = replaceAll(text, "{total}", std::to_string(total));
    text = indexPass(text, index);
    text = datePass(text, now);

    std::map<std::string, std::string> merged = item.metadata;
    for (const auto& [key, value] : contextVariables) merged[key] = value;
    text = variablesPass(text, merged);
    text = paddedNumbersPass(text, merged);
    return sanitise(text);
}

}  // namespace morvale

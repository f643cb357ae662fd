#pragma once

#include <string>
#include <string_view>

// Case and character classes of ASCII alone, as in the C locale. File names, extensions, settings
// words and map suffixes are compared this way: the process locale (which Qt sets) never matters,
// and bytes above 0x7F are left as they are.
namespace morvale::ascii {

constexpr bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool isLower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool isAlpha(char c) { return isUpper(c) || isLower(c); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isAlnum(char c) { return isAlpha(c) || isDigit(c); }
constexpr bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr char toLower(char c) { return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char toUpper(char c) { return isLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

std::string lowered(std::string_view text);
std::string uppered(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool endsWithIgnoringCase(std::string_view text, std::string_view suffix);
// Leading and trailing ASCII white space removed.
std::string_view trimmed(std::string_view text);

}  // namespace morvale::ascii

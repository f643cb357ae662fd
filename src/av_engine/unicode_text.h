#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Unicode rules for transcript words, which may hold any UTF-8 (ill-formed bytes count as U+FFFD):
// user-perceived characters, case by code point, and the punctuation and white-space classes.
namespace morvale::unicode_text {

// Grapheme clusters, as a reader counts characters on screen.
std::size_t characterCount(std::string_view text);
// Every code point lower-cased.
std::string lowered(std::string_view text);
// The first code point upper-cased, the rest unchanged.
std::string capitalisedFirst(std::string_view text);
// Punctuation (general category P) and white space removed from both ends.
std::string trimmedOfPunctuationAndSpace(std::string_view text);

}  // namespace morvale::unicode_text

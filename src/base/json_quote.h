#pragma once

#include <string>
#include <string_view>

namespace morvale {

// Appends text as a JSON string literal: quotes, backslash, "/" and the C0 controls escaped
// ("\n", "\t", … or "\u00XX"), every other byte copied as it is. Callers that may hold invalid
// UTF-8 sanitise first (utf8::sanitized).
void appendJSONQuoted(std::string& out, std::string_view text);

inline std::string jsonQuoted(std::string_view text) {
    std::string out;
    appendJSONQuoted(out, text);
    return out;
}

}  // namespace morvale

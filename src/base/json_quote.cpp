#include "base/json_quote.h"

#include "base/hex.h"

namespace morvale {

void appendJSONQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hexDigit(c >> 4);
                out += hexDigit(c);
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

}  // namespace morvale

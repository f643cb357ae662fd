#include "batch_core/lossless_json.h"

#include <cstdint>

#include "base/hex.h"
#include "base/utf8.h"

namespace morvale::losslessJSON {

namespace {

constexpr int maxDepth = 512;

void appendEscape(std::string& out, unsigned value) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hexDigit(value >> shift);
}

void appendString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto d = utf8::decodeAt(text, i);
        if (!d.valid) {
            appendEscape(out, 0xDC00u | static_cast<unsigned char>(text[i]));
        } else if (d.length > 1) {
            out.append(text.substr(i, d.length));
        } else {
            const char c = text[i];
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (static_cast<unsigned char>(c) < 0x20) {
                        appendEscape(out, static_cast<unsigned char>(c));
                    } else {
                        out += c;
                    }
            }
        }
        i += d.length;
    }
    out += '"';
}

void appendValue(std::string& out, const nlohmann::json& value, int indent) {
    const auto pad = [&out](int n) { out.append(static_cast<std::size_t>(n), ' '); };
    if (value.is_object()) {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) out += ",\n";
            first = false;
            pad(indent + 2);
            appendString(out, key);
            out += ": ";
            appendValue(out, member, indent + 2);
        }
        out += '\n';
        pad(indent);
        out += '}';
    } else if (value.is_array()) {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ",\n";
            first = false;
            pad(indent + 2);
            appendValue(out, element, indent + 2);
        }
        out += '\n';
        pad(indent);
        out += ']';
    } else if (value.is_string()) {
        appendString(out, value.get_ref<const std::string&>());
    } else {
        out += value.dump();
    }
}

// A reader for the one case nlohmann::json refuses: lone surrogate escapes. Numbers are handed to
// nlohmann::json so that they read exactly as before.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<nlohmann::json> document() {
        auto value = parseValue(0);
        skipSpace();
        if (!value || pos_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
    }

    bool consume(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    std::optional<nlohmann::json> parseValue(int depth) {
        if (depth > maxDepth) return std::nullopt;
        skipSpace();
        if (atEnd()) return std::nullopt;
        switch (peek()) {
            case '{': return parseObject(depth);
            case '[': return parseArray(depth);
            case '"': {
                auto text = parseString();
                if (!text) return std::nullopt;
                return nlohmann::json(std::move(*text));
            }
            case 't': return consume("true") ? std::optional<nlohmann::json>(true) : std::nullopt;
            case 'f': return consume("false") ? std::optional<nlohmann::json>(false) : std::nullopt;
            case 'n': return consume("null") ? std::optional<nlohmann::json>(nullptr) : std::nullopt;
            default: return parseNumber();
        }
    }

    std::optional<nlohmann::json> parseNumber() {
        const std::size_t start = pos_;
        while (!atEnd()) {
            const char c = peek();
            if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E')) break;
            ++pos_;
        }
        if (pos_ == start) return std::nullopt;
        auto number = nlohmann::json::parse(text_.substr(start, pos_ - start), nullptr, false);
        if (number.is_discarded() || !number.is_number()) return std::nullopt;
        return number;
    }

    std::optional<nlohmann::json> parseObject(int depth) {
        ++pos_;
        auto object = nlohmann::json::object();
        skipSpace();
        if (!atEnd() && peek() == '}') {
            ++pos_;
            return object;
        }
        while (true) {
            skipSpace();
            if (atEnd() || peek() != '"') return std::nullopt;
            auto key = parseString();
            if (!key) return std::nullopt;
            skipSpace();
            if (atEnd() || peek() != ':') return std::nullopt;
            ++pos_;
            auto member = parseValue(depth + 1);
            if (!member) return std::nullopt;
            object[*key] = std::move(*member);
            skipSpace();
            if (atEnd()) return std::nullopt;
            if (peek() == '}') {
                ++pos_;
                return object;
            }
            if (peek() != ',') return std::nullopt;
            ++pos_;
        }
    }

    std::optional<nlohmann::json> parseArray(int depth) {
        ++pos_;
        auto array = nlohmann::json::array();
        skipSpace();
        if (!atEnd() && peek() == ']') {
            ++pos_;
            return array;
        }
        while (true) {
            auto element = parseValue(depth + 1);
            if (!element) return std::nullopt;
            array.push_back(std::move(*element));
            skipSpace();
            if (atEnd()) return std::nullopt;
            if (peek() == ']') {
                ++pos_;
                return array;
            }
            if (peek() != ',') return std::nullopt;
            ++pos_;
        }
    }

    std::optional<unsigned> parseHex4() {
        if (pos_ + 4 > text_.size()) return std::nullopt;
        unsigned value = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = hexDigitValue(text_[pos_++]);
            if (digit < 0) return std::nullopt;
            value = (value << 4) | static_cast<unsigned>(digit);
        }
        return value;
    }

    std::optional<std::string> parseString() {
        ++pos_;
        std::string out;
        while (true) {
            if (atEnd()) return std::nullopt;
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) return std::nullopt;
            const char e = text_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    const auto unit = parseHex4();
                    if (!unit) return std::nullopt;
                    if (!appendUnit(out, *unit)) return std::nullopt;
                    break;
                }
                default: return std::nullopt;
            }
        }
    }

    bool appendUnit(std::string& out, unsigned unit) {
        if (unit >= 0xD800 && unit <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
            const std::size_t save = pos_;
            pos_ += 2;
            const auto low = parseHex4();
            if (!low) return false;
            if (*low >= 0xDC00 && *low <= 0xDFFF) {
                utf8::append(out, 0x10000 + ((unit - 0xD800) << 10) + (*low - 0xDC00));
                return true;
            }
            pos_ = save;  // a lone high surrogate; the next escape stands on its own
        }
        if (unit >= 0xDC80 && unit <= 0xDCFF) {
            out += static_cast<char>(static_cast<unsigned char>(unit & 0xFF));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            utf8::append(out, utf8::replacementCharacter);
        } else {
            utf8::append(out, unit);
        }
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::string dump(const nlohmann::json& value) {
    std::string out;
    appendValue(out, value, 0);
    return out;
}

std::optional<nlohmann::json> parse(std::string_view text) {
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_discarded()) return parsed;
    return Reader(text).document();
}

}  // namespace morvale::losslessJSON

#include "batch_core/file_url.h"
#include "base/ascii.h"
#include "base/hex.h"

#include <system_error>

namespace morvale {

namespace {

bool isUnreserved(unsigned char c) {
    return ascii::isAlnum(static_cast<char>(c)) || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' ||
           c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == ':' || c == '@';
}

}  // namespace

std::string fileUrlString(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::absolute(path, error);
    if (error) absolute = path;
    std::string url = "file://";
    for (const char c : absolute.string()) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(hexDigit(byte >> 4, true));
            url.push_back(hexDigit(byte, true));
        }
    }
    return url;
}

std::optional<std::filesystem::path> pathFromFileUrl(std::string_view text) {
    constexpr std::string_view scheme = "file://";
    if (text.substr(0, scheme.size()) == scheme) {
        text.remove_prefix(scheme.size());
        // "file://localhost/x" names the same file as "file:///x".
        if (text.substr(0, 9) == "localhost") text.remove_prefix(9);
        if (text.empty() || text.front() != '/') return std::nullopt;
        std::string path;
        path.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%') {
                if (i + 2 >= text.size()) return std::nullopt;
                const int high = hexDigitValue(text[i + 1]);
                const int low = hexDigitValue(text[i + 2]);
                if (high < 0 || low < 0) return std::nullopt;
                path.push_back(static_cast<char>(high * 16 + low));
                i += 2;
            } else {
                path.push_back(text[i]);
            }
        }
        if (path.find('\0') != std::string::npos) return std::nullopt;
        return std::filesystem::path(path);
    }
    if (!text.empty() && text.front() == '/' && text.find('\0') == std::string_view::npos) {
        return std::filesystem::path(std::string(text));
    }
    return std::nullopt;
}

}  // namespace morvale

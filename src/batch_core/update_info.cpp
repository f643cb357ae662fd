#include "batch_core/update_info.h"

#include <chrono>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/ascii.h"
#include "batch_core/http_client.h"

namespace morvale {

namespace {

constexpr auto kFeedTimeout = std::chrono::seconds(15);

using ascii::isAlpha;
using ascii::isDigit;

// Characters a URL may hold literally. Anything else (blanks, backslashes, quotes,
// control or non-ASCII bytes) is parsed differently by different readers.
bool isURLCharacter(char c) {
    if (isAlpha(c) || isDigit(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':                                   // unreserved
        case ':': case '/': case '?': case '#': case '[': case ']': case '@':     // gen-delims
        case '!': case '$': case '&': case '\'': case '(': case ')':              // sub-delims
        case '*': case '+': case ',': case ';': case '=':
        case '%':
            return true;
        default:
            return false;
    }
}

// "scheme:" followed by something, with a well-formed scheme and only URL characters.
bool isAbsoluteURL(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
    if (!isAlpha(text[0])) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = text[i];
        if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return false;
    }
    for (char c : text) {
        if (!isURLCharacter(c)) return false;
    }
    return true;
}

// Length of the digit run starting at `pos`.
std::size_t digitRun(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && isDigit(text[end])) ++end;
    return end - pos;
}

int compareDigitRuns(std::string_view a, std::string_view b) {
    while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
    while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

std::string UpdateInfo::feedURL(LicensedProduct product) {
    std::string url = "https://";
    url += vendorHost;
    url += "/downloads/";
    url += downloadName(product);
    url += ".json";
    return url;
}

UpdateInfo UpdateInfo::fetch(LicensedProduct product, HttpClient& client, std::stop_token stop) {
    const HttpResponse response =
        client.get(feedURL(product), std::chrono::duration_cast<std::chrono::milliseconds>(kFeedTimeout),
                   maxFeedBytes, std::move(stop));
    if (response.status != 200) {
        throw UpdateFeedError("The update server sent a bad response (HTTP status " +
                              std::to_string(response.status) + ").");
    }
    return decode(response.body);
}

UpdateInfo UpdateInfo::decode(std::string_view json) {
    if (json.size() > maxFeedBytes) throw UpdateFeedError("The update feed is too large.");
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded()) throw UpdateFeedError("The update feed is not valid JSON.");
    if (!doc.is_object()) throw UpdateFeedError("The update feed is not a JSON object.");

    UpdateInfo info;
    const auto version = doc.find("version");
    if (version == doc.end() || !version->is_string()) {
        throw UpdateFeedError("The update feed has no text \"version\".");
    }
    info.version = version->get<std::string>();

    const auto build = doc.find("build");
    if (build == doc.end() || !build->is_number_integer()) {
        throw UpdateFeedError("The update feed has no whole-number \"build\".");
    }
    if (build->is_number_unsigned() &&
        build->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw UpdateFeedError("The update feed's \"build\" is out of range.");
    }
    info.build = build->get<std::int64_t>();

    const auto url = doc.find("url");
    if (url == doc.end() || !url->is_string() || !isAbsoluteURL(url->get<std::string>())) {
        throw UpdateFeedError("The update feed has no valid \"url\".");
    }
    info.url = url->get<std::string>();

    const auto notes = doc.find("notes");
    if (notes != doc.end() && !notes->is_null()) {
        if (!notes->is_string()) throw UpdateFeedError("The update feed's \"notes\" is not text.");
        info.notes = notes->get<std::string>();
    }
    return info;
}

int compareVersions(std::string_view lhs, std::string_view rhs) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < lhs.size() && j < rhs.size()) {
        if (isDigit(lhs[i]) && isDigit(rhs[j])) {
            const std::size_t lenL = digitRun(lhs, i);
            const std::size_t lenR = digitRun(rhs, j);
            const int order = compareDigitRuns(lhs.substr(i, lenL), rhs.substr(j, lenR));
            if (order != 0) return order;
            i += lenL;
            j += lenR;
            continue;
        }
        const auto a = static_cast<unsigned char>(lhs[i]);
        const auto b = static_cast<unsigned char>(rhs[j]);
        if (a != b) return a < b ? -1 : 1;
        ++i;
        ++j;
    }
    const bool lhsDone = i == lhs.size();
    const bool rhsDone = j == rhs.size();
    if (lhsDone && rhsDone) return 0;
    return lhsDone ? -1 : 1;
}

bool UpdateInfo::isNewer(std::string_view runningVersion, std::int64_t runningBuild) const {
    const int order = compareVersions(version, runningVersion);
    if (order != 0) return order > 0;
    return build > runningBuild;
}

bool UpdateInfo::isTrustedDownload() const {
    const std::string_view text = url;
    constexpr std::string_view prefix = "https://";
    if (text.substr(0, prefix.size()) != prefix) return false;
    for (char c : text) {
        if (!isURLCharacter(c)) return false;
    }
    std::string_view authority = text.substr(prefix.size());
    authority = authority.substr(0, authority.find_first_of("/?#"));
    // Credentials in front of the host are how look-alike addresses are usually built.
    if (authority.find('@') != std::string_view::npos) return false;
    std::string_view host = authority;
    if (const auto colon = host.find(':'); colon != std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1);
        // A port no URL reader accepts makes the whole address unreadable to the browser.
        unsigned long value = 0;
        for (char c : port) {
            if (!isDigit(c)) return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return false;
        }
        host = host.substr(0, colon);
    }
    if (host == vendorHost) return true;
    constexpr std::string_view www = "www.";
    return host.size() == www.size() + vendorHost.size() && host.substr(0, www.size()) == www &&
           host.substr(www.size()) == vendorHost;
}

}  // namespace morvale

#include "batch_core/xmp_location.h"

#include <cstring>

#include "base/ascii.h"

namespace morvale::xmp_location {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isNameEnd(char c) { return isBlank(c) || c == '>' || c == '/' || c == '=' || c == '<'; }

bool isLocationName(std::string_view name) {
    const std::size_t colon = name.rfind(':');
    const std::string_view prefix = colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (prefix == "xmlns" || local.size() < 3) return false;
    return ascii::equalsIgnoringCase(local.substr(0, 3), "gps");
}

bool mentionsGPS(std::string_view text) {
    for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
        if (ascii::equalsIgnoringCase(text.substr(i, 3), "gps")) return true;
    }
    return false;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> ranges(std::string_view xml) {
    std::vector<std::pair<std::size_t, std::size_t>> found;
    // The open elements; `locationDepth` is the stack size at which a location element opened
    // (0: none open), so that everything inside it goes with it.
    std::vector<std::string_view> open;
    std::size_t locationDepth = 0;
    std::size_t locationStart = 0;
    std::size_t at = 0;
    const auto brokenFrom = [&](std::size_t from) {
        const std::size_t start = locationDepth != 0 ? locationStart : from;
        if (locationDepth != 0 || mentionsGPS(xml.substr(from))) found.emplace_back(start, xml.size());
        return found;
    };
    const auto skipTo = [&](std::size_t from, std::string_view end) {
        const std::size_t stop = xml.find(end, from);
        return stop == std::string_view::npos ? stop : stop + end.size();
    };

    while ((at = xml.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = xml.substr(at);
        std::size_t next = std::string_view::npos;
        if (rest.starts_with("<!--")) {
            next = skipTo(at + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            next = skipTo(at + 9, "]]>");
        } else if (rest.starts_with("<?")) {
            next = skipTo(at + 2, "?>");
        } else if (rest.starts_with("<!")) {
            next = skipTo(at + 2, ">");
        } else if (rest.starts_with("</")) {
            std::size_t end = at + 2;
            while (end < xml.size() && !isNameEnd(xml[end])) ++end;
            const std::string_view name = xml.substr(at + 2, end - at - 2);
            next = skipTo(end, ">");
            if (next == std::string_view::npos) return brokenFrom(at);
            // Close up to the matching element; a stray end tag closes nothing.
            for (std::size_t depth = open.size(); depth > 0; --depth) {
                if (open[depth - 1] != name) continue;
                if (locationDepth != 0 && depth <= locationDepth) {
                    found.emplace_back(locationStart, next);
                    locationDepth = 0;
                }
                open.resize(depth - 1);
                break;
            }
        } else {
            std::size_t cursor = at + 1;
            while (cursor < xml.size() && !isNameEnd(xml[cursor])) ++cursor;
            const std::string_view name = xml.substr(at + 1, cursor - at - 1);
            bool closed = false;
            bool selfClosing = false;
            std::vector<std::pair<std::size_t, std::size_t>> attributes;
            while (cursor < xml.size()) {
                const std::size_t blankStart = cursor;
                while (cursor < xml.size() && isBlank(xml[cursor])) ++cursor;
                if (cursor >= xml.size()) break;
                if (xml[cursor] == '>') {
                    closed = true;
                    ++cursor;
                    break;
                }
                if (xml[cursor] == '/' && cursor + 1 < xml.size() && xml[cursor + 1] == '>') {
                    closed = selfClosing = true;
                    cursor += 2;
                    break;
                }
                const std::size_t nameStart = cursor;
                while (cursor < xml.size() && !isNameEnd(xml[cursor])) ++cursor;
                const std::string_view attribute = xml.substr(nameStart, cursor - nameStart);
                while (cursor < xml.size() && isBlank(xml[cursor])) ++cursor;
                if (attribute.empty() || cursor >= xml.size() || xml[cursor] != '=') break;
                ++cursor;
                while (cursor < xml.size() && isBlank(xml[cursor])) ++cursor;
                if (cursor >= xml.size() || (xml[cursor] != '"' && xml[cursor] != '\'')) break;
                const std::size_t quoteEnd = xml.find(xml[cursor], cursor + 1);
                if (quoteEnd == std::string_view::npos) break;
                cursor = quoteEnd + 1;
                if (isLocationName(attribute)) attributes.emplace_back(blankStart, cursor);
            }
            if (!closed || name.empty()) return brokenFrom(at);
            next = cursor;
            if (locationDepth == 0) {
                if (isLocationName(name)) {
                    if (selfClosing) {
                        found.emplace_back(at, next);
                    } else {
                        locationStart = at;
                        locationDepth = open.size() + 1;
                    }
                } else {
                    found.insert(found.end(), attributes.begin(), attributes.end());
                }
            }
            if (!selfClosing) open.push_back(name);
        }
        if (next == std::string_view::npos) return brokenFrom(at);
        at = next;
    }
    // A location element never closed runs to the end.
    if (locationDepth != 0) found.emplace_back(locationStart, xml.size());
    return found;
}

bool blank(char* packet, std::size_t size) {
    const auto found = ranges(std::string_view(packet, size));
    for (const auto& [begin, end] : found) std::memset(packet + begin, ' ', end - begin);
    return !found.empty();
}

}  // namespace morvale::xmp_location

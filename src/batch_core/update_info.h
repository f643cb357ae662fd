#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

#include "batch_core/licensed_product.h"

namespace morvale {

class HttpClient;

// The feed answered, but not with a usable entry: a status other than 200, or a body
// that is not one well-formed feed entry.
class UpdateFeedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One entry of a product's update feed: the newest release and where to get it.
struct UpdateInfo {
    std::string version;               // marketing version, e.g. "1.4.2"
    std::int64_t build = 0;            // build number
    std::string url;                   // absolute download address, opened in the browser
    std::optional<std::string> notes;  // release notes, when the feed has any

    friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;

    // The one host that serves feeds and downloads.
    static constexpr std::string_view vendorHost = "kadrel.com";
    // Feed bodies larger than this are refused; a real entry is a few hundred bytes.
    static constexpr std::size_t maxFeedBytes = 64 * 1024;

    // "https://kadrel.com/downloads/<downloadName>.json".
    static std::string feedURL(LicensedProduct product);

    // Fetches and decodes the product's feed entry (15 s time-out, body capped).
    // Transport failures throw HttpError; a status other than 200 or a malformed body
    // throws UpdateFeedError.
    static UpdateInfo fetch(LicensedProduct product, HttpClient& client, std::stop_token stop = {});

    // Decodes one feed document. Throws UpdateFeedError naming the first problem.
    static UpdateInfo decode(std::string_view json);

    // True when this entry is a later release than the running version and build:
    // versions compare with digit runs taken by value ("1.10" > "1.9"); equal versions
    // fall back to the build number.
    bool isNewer(std::string_view runningVersion, std::int64_t runningBuild) const;

    // True only for an https address whose host is exactly the vendor host or "www."
    // followed by it. Addresses a browser could read differently from us (user info,
    // backslashes, blanks, control characters) are never trusted.
    bool isTrustedDownload() const;
};

// Compares two version texts with runs of digits taken by their numeric value and
// everything else by character code. Negative, zero or positive like strcmp.
int compareVersions(std::string_view lhs, std::string_view rhs);

}  // namespace morvale

// libFuzzer target: the update feed reader. The input is decoded as a feed document; when that fails
// (most mutations), the input itself is taken as the download address, so both the decoder and the
// trust rule see arbitrary text.
//
// Oracle: an address we would open in the browser must mean the vendor's host to an independent URL
// reader too. libcurl's parser must accept it with the scheme "https", no user or password, and the
// host exactly the vendor host or "www." in front of it (compared case-blind, as hosts are).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "base/ascii.h"
#include "batch_core/update_info.h"

namespace {

std::string part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string copy(text);
    curl_free(text);
    return copy;
}

bool hasPart(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    const bool present = curl_url_get(url, which, &text, 0) == CURLUE_OK && text != nullptr;
    curl_free(text);
    return present;
}

void checkTrust(const morvale::UpdateInfo& info) {
    if (!info.isTrustedDownload()) return;
    CURLU* url = curl_url();
    if (url == nullptr) return;
    if (curl_url_set(url, CURLUPART_URL, info.url.c_str(), 0) != CURLUE_OK) std::abort();
    const std::string host = morvale::ascii::lowered(part(url, CURLUPART_HOST));
    const std::string vendor(morvale::UpdateInfo::vendorHost);
    if (part(url, CURLUPART_SCHEME) != "https") std::abort();
    if (hasPart(url, CURLUPART_USER) || hasPart(url, CURLUPART_PASSWORD)) std::abort();
    if (host != vendor && host != "www." + vendor) std::abort();
    curl_url_cleanup(url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    morvale::UpdateInfo info;
    try {
        info = morvale::UpdateInfo::decode(input);
    } catch (const morvale::UpdateFeedError&) {
        info.url = std::string(input);
    }
    checkTrust(info);
    // The ordering is total and antisymmetric whatever the texts hold.
    const std::string_view other = info.url;
    const int forward = morvale::compareVersions(info.version, other);
    const int backward = morvale::compareVersions(other, info.version);
    if ((forward < 0) != (backward > 0) || (forward == 0) != (backward == 0)) std::abort();
    return 0;
}

#pragma once

#include "batch_core/http_client.h"

namespace morvale {

// HttpClient over libcurl: certificate and host verification on, redirects followed
// only to https (plain http too when `allowPlainHttp`, for local tests), no cache.
class CurlHttpClient final : public HttpClient {
public:
    explicit CurlHttpClient(bool allowPlainHttp = false);

    HttpResponse get(const std::string& url, std::chrono::milliseconds timeout, std::size_t maxBodyBytes,
                     std::stop_token stop) override;

private:
    bool allowPlainHttp_;
};

}  // namespace morvale

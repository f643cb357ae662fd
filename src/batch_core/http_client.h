#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace morvale {

// A transport failure: no connection, time-out, certificate refused, body too large,
// or the request was stopped.
class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HttpResponse {
    long status = 0;   // HTTP status code
    std::string body;  // at most the requested number of bytes
};

// The one network seam of the program: a blocking GET. The shipped client speaks
// HTTPS with certificate verification; tests substitute their own.
class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Fetches `url` ignoring any local cache. Throws HttpError on a transport failure,
    // when the body would exceed `maxBodyBytes`, after `timeout`, or when `stop` is
    // requested. Any HTTP status is returned, not thrown.
    virtual HttpResponse get(const std::string& url, std::chrono::milliseconds timeout, std::size_t maxBodyBytes,
                             std::stop_token stop) = 0;
};

}  // namespace morvale

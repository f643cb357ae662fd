#include "batch_core/curl_http_client.h"

#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace morvale {

namespace {

struct Transfer {
    std::string body;
    std::size_t limit = 0;
    bool overflowed = false;
    std::stop_token stop;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes > transfer->limit - transfer->body.size()) {
        transfer->overflowed = true;
        return 0;  // makes curl stop with a write error
    }
    transfer->body.append(data, bytes);
    return bytes;
}

int checkStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlHttpClient::CurlHttpClient(bool allowPlainHttp) : allowPlainHttp_(allowPlainHttp) { initialiseCurlOnce(); }

HttpResponse CurlHttpClient::get(const std::string& url, std::chrono::milliseconds timeout, std::size_t maxBodyBytes,
                                 std::stop_token stop) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) throw HttpError("Could not start a network request.");
    CURL* handle = curl.get();

    Transfer transfer;
    transfer.limit = maxBodyBytes;
    transfer.stop = std::move(stop);
    const char* protocols = allowPlainHttp_ ? "http,https" : "https";
    char errorText[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &checkStop);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);

    struct curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);

    const CURLcode result = curl_easy_perform(handle);
    if (transfer.overflowed) throw HttpError("The response is larger than " + std::to_string(maxBodyBytes) + " bytes.");
    if (result == CURLE_ABORTED_BY_CALLBACK) throw HttpError("The request was stopped.");
    if (result != CURLE_OK) {
        throw HttpError(errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(result)));
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return HttpResponse{status, std::move(transfer.body)};
}

}  // namespace morvale

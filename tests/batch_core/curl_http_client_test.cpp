// The libcurl client against a one-shot local server: statuses pass through, the body
// cap, the time-out and a stop request end the transfer, and plain http is refused
// unless allowed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "batch_core/curl_http_client.h"

namespace morvale::test {
namespace {

// Accepts one connection on 127.0.0.1, reads the request and answers with `reply`
// (or stays silent while `reply` is empty) until the test ends.
class OneShotServer {
public:
    explicit OneShotServer(std::string reply) : reply_(std::move(reply)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = sizeof(address);
        if (::bind(listener_, generic, length) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, generic, &length) != 0) {
            throw std::runtime_error("bind");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    }
    ~OneShotServer() {
        thread_.request_stop();
        thread_.join();
        ::close(listener_);
    }

    std::string url() const {
        ::setenv("no_proxy", "127.0.0.1", 1);  // a proxy from the environment must not get in between
        return "http://127.0.0.1:" + std::to_string(port_) + "/downloads/feed.json";
    }

private:
    static bool readable(int fd, const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) return true;
        }
        return false;
    }

    void serve(const std::stop_token& stop) {
        if (!readable(listener_, stop)) return;
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && readable(connection, stop)) {
            const ssize_t got = ::read(connection, buffer, sizeof(buffer));
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        if (!reply_.empty()) {
            std::size_t sent = 0;
            while (sent < reply_.size()) {
                const ssize_t wrote = ::send(connection, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
                if (wrote <= 0) break;
                sent += static_cast<std::size_t>(wrote);
            }
        } else {
            while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(connection);
    }

    std::string reply_;
    int listener_ = -1;
    unsigned short port_ = 0;
    std::jthread thread_;
};

std::string httpReply(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Only a bound against a hang: a local server that answers may still take seconds on a busy machine.
constexpr auto kTimeout = std::chrono::minutes(5);

TEST(CurlHttpClientTest, StatusAndBodyPassThrough) {
    for (int status : {200, 404, 304}) {
        SCOPED_TRACE(status);
        const std::string body = status == 304 ? "" : R"({"version":"1.0"})";
        OneShotServer server(httpReply(status, body));
        CurlHttpClient client(true);
        const HttpResponse response = client.get(server.url(), kTimeout, 1024, {});
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, body);
    }
}

TEST(CurlHttpClientTest, BodyLargerThanTheCapIsRefused) {
    OneShotServer server(httpReply(200, std::string(5000, 'x')));
    CurlHttpClient client(true);
    EXPECT_THROW(client.get(server.url(), kTimeout, 4096, {}), HttpError);

    OneShotServer exact(httpReply(200, std::string(4096, 'x')));
    EXPECT_EQ(client.get(exact.url(), kTimeout, 4096, {}).body.size(), 4096u);
}

TEST(CurlHttpClientTest, SilentServerTimesOutAndAStopEndsTheWait) {
    {
        OneShotServer server("");
        CurlHttpClient client(true);
        try {
            (void)client.get(server.url(), std::chrono::milliseconds(300), 1024, {});
            ADD_FAILURE() << "answered";
        } catch (const HttpError& error) {
            EXPECT_NE(std::string(error.what()).find("timed out"), std::string::npos) << error.what();
        }
    }
    {
        OneShotServer server("");
        CurlHttpClient client(true);
        std::stop_source stop;
        std::jthread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop.request_stop();
        });
        try {  // no time-out that a test could reach: only the stop ends the wait
            (void)client.get(server.url(), std::chrono::hours(24), 1024, stop.get_token());
            ADD_FAILURE() << "answered";
        } catch (const HttpError& error) {
            EXPECT_STREQ(error.what(), "The request was stopped.");
        }
    }
}

TEST(CurlHttpClientTest, ShippedClientSpeaksOnlyHttps) {
    OneShotServer server(httpReply(200, "{}"));
    CurlHttpClient client;
    EXPECT_THROW(client.get(server.url(), kTimeout, 1024, {}), HttpError);
}

}  // namespace
}  // namespace morvale::test

#include "influx/HttpPost.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>

namespace quarvel {

bool IsLoopbackUrl(std::string_view url) {
    const std::string host = UrlHost(url);
    if (host == "localhost" || host.ends_with(".localhost")) return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool GzipByDefault(std::string_view baseUrl) {
    return !IsLoopbackUrl(baseUrl);
}

HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts) {
    return HttpPost(url, body, timeouts, BodyEncoding::Identity);
}

HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts,
                    BodyEncoding encoding, const ServerAccess& access) {
    HttpResult result = ServerClient::ThisThreadsWrites().Post(url, body, encoding, timeouts, access);
    if (result.curlCode != 0) {
        const std::string line = "error:" + result.error + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    return result;
}

std::optional<std::chrono::nanoseconds> RoundTrip(const std::string& baseUrl, const HttpTimeouts& timeouts,
                                                  const ServerAccess& access) {
    constexpr long kPingSeconds = 5;
    HttpTimeouts quick = timeouts;
    quick.totalSeconds = quick.totalSeconds > 0 ? std::min(quick.totalSeconds, kPingSeconds) : kPingSeconds;
    const HttpResult ping = ServerClient::ThisThreadsWrites().Get(EndpointUrl(baseUrl, "ping"), quick, access);
    // A ping that libcurl did not time tells nothing, as the run's check takes it.
    if (!ping.Succeeded() || ping.exchange <= std::chrono::microseconds::zero()) return std::nullopt;
    return ping.exchange;
}

}  // namespace quarvel

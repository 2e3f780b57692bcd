#pragma once

// The writes' side of the server client: one POST of lines over the calling thread's
// connection, and whether bodies go compressed when the user did not say.

#include "influx/ServerClient.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quarvel {

// One POST of `body` to `url` over ServerClient::ThisThreadsWrites(): the thread's
// connection to the server stays open between its posts (keep-alive), and a connection
// the server has closed is replaced without the caller noticing. The cookie file
// "cookies.txt" in the current directory is read before and written after every post.
// A transfer failure also writes "error:" and libcurl's message to the standard error
// stream.
HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts = {});
HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts,
                    BodyEncoding encoding, const ServerAccess& access = {});

// The link's round trip to the server at `baseUrl`: a ping over this thread's connection for
// writes, timed without the making of the connection. Nothing when it gets no answer of
// success within a few seconds, or was not timed.
std::optional<std::chrono::nanoseconds> RoundTrip(const std::string& baseUrl, const HttpTimeouts& timeouts,
                                                  const ServerAccess& access);

// Whether bodies go compressed when the user did not say. Measured: on loopback and on a
// gigabit link gzip costs the client about 0.15 CPU s and the server 0.1 to 0.3 CPU s per
// million lines for nothing; on a 100 Mbit link it carries about four times the lines per
// second. So: compressed for a server on another machine, plain for this one's.
bool GzipByDefault(std::string_view baseUrl);

// Whether the URL's host is this machine: localhost, 127.0.0.0/8 or ::1.
bool IsLoopbackUrl(std::string_view url);

}  // namespace quarvel

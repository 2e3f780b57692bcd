#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarvel {

// Limits that keep a silent server from blocking a conversion forever, while never
// cutting off a healthy one that is busy writing a large batch.
struct HttpTimeouts {
    long connectSeconds = 10;
    long stallSeconds = 60;  // no byte moved in either direction for this long
};

// How a body travels. The server inflates gzip itself, so the lines land the same.
enum class BodyEncoding { Identity, Gzip };

// The outcome of one POST. `status` is 0 when no answer arrived.
struct HttpResult {
    int curlCode = 0;         // CURLE_OK when the exchange completed
    long status = 0;          // HTTP status of the answer
    std::string body;         // the answer's body, exactly as sent
    std::string error;        // transfer error text, or the server's error message
    long newConnections = 0;  // connections opened for this post; 0 when an open one carried it
    bool Succeeded() const { return curlCode == 0 && status >= 200 && status < 300; }
};

// One POST of `body` to `url`. Each thread keeps one libcurl handle for all its posts,
// so its connection to the server stays open between them (keep-alive); a connection
// the server has closed is replaced without the caller noticing. The cookie file
// "cookies.txt" in the current directory is read before and written after every post.
// A transfer failure also writes "error:" and libcurl's message to the standard error
// stream.
HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts = {});
HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts,
                    BodyEncoding encoding);

// Whether bodies go compressed when the user did not say. Measured: on loopback and on a
// gigabit link gzip costs the client about 0.15 CPU s and the server 0.1 to 0.3 CPU s per
// million lines for nothing; on a 100 Mbit link it carries about four times the lines per
// second. So: compressed for a server on another machine, plain for this one's.
bool GzipByDefault(std::string_view baseUrl);

// Whether the URL's host is this machine: localhost, 127.0.0.0/8 or ::1.
bool IsLoopbackUrl(std::string_view url);

// libcurl write callback: appends the bytes to the std::string `target`.
// Returns 0 (ending the transfer) when there is no target.
size_t AppendResponse(char* data, size_t size, size_t count, void* target);

}  // namespace quarvel

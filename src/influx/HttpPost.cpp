#include "HttpPost.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)";
constexpr const char* kCookieFile = "cookies.txt";
constexpr std::string_view kErrorHeader = "x-influxdb-error";

// curl_global_init is not thread-safe; a function-local static runs it exactly once,
// before the first handle, whichever worker gets here first.
CURLcode GlobalInit() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    return code;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Keeps the server's error header of the final answer; a redirect or an interim
// answer starts a new status line, which forgets what came before.
size_t CollectErrorHeader(char* data, size_t size, size_t count, void* target) {
    auto* header = static_cast<std::string*>(target);
    const size_t length = size * count;
    std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
        header->clear();
    } else if (auto colon = line.find(':');
               colon != std::string_view::npos && EqualsIgnoreCase(Trim(line.substr(0, colon)), kErrorHeader)) {
        *header = std::string(Trim(line.substr(colon + 1)));
    }
    return length;
}

// The server names its error in a header; whatever else answers (a proxy, say) may
// explain itself in the body.
std::string ServerMessage(const std::string& header, const std::string& body) {
    if (!header.empty()) return header;
    return std::string(Trim(body));
}

}  // namespace

size_t AppendResponse(char* data, size_t size, size_t count, void* target) {
    if (target == nullptr) return 0;
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts) {
    HttpResult result;
    if (const CURLcode init = GlobalInit(); init != CURLE_OK) {
        result.curlCode = init;
        result.error = curl_easy_strerror(init);
        return result;
    }

    // Everything libcurl writes into lives on this call's stack, so workers posting at
    // the same time never see each other's answers.
    char errorBuffer[CURL_ERROR_SIZE];
    errorBuffer[0] = '\0';
    std::string errorHeader;

    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        result.curlCode = CURLE_FAILED_INIT;
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendResponse);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, kCookieFile);
    curl_easy_setopt(curl, CURLOPT_COOKIEJAR, kCookieFile);
    // The length is given so that the body is sent whole, whatever bytes it holds.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    // A server that accepts and then falls silent must not block a conversion forever;
    // one byte a second over the stall time is far below what any live server manages.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeouts.stallSeconds);
    // Time-outs must not use signals: posts run on worker threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A redirect loop ends as a transfer failure instead of running forever.
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectErrorHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &errorHeader);

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    // Cleanup writes the cookie jar; it comes before the result is judged.
    curl_easy_cleanup(curl);

    result.curlCode = code;
    result.status = status;
    if (code != CURLE_OK) {
        const std::string line = std::string("error:") + errorBuffer + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        result.body.clear();  // a partial answer is no answer
        result.error = errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
        return result;
    }
    if (!result.Succeeded()) result.error = ServerMessage(errorHeader, result.body);
    return result;
}

#include "influx/HttpPost.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <libdeflate.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace quarvel {

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

// Options every post sets the same way; set once per handle.
void SetFixedOptions(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendResponse);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    // Named once: libcurl reads the file before every transfer of the handle. Naming it
    // per post would lengthen its list of files to read by one each time.
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, kCookieFile);
    curl_easy_setopt(curl, CURLOPT_COOKIEJAR, kCookieFile);
    // A server that accepts and then falls silent must not block a conversion forever;
    // one byte a second over the stall time is far below what any live server manages.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    // Time-outs must not use signals: posts run on worker threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A redirect loop ends as a transfer failure instead of running forever.
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectErrorHeader);
}

// The libcurl handle of one thread, kept across its posts so that the connection in
// the handle's pool carries them all. libcurl checks a pooled connection before it
// reuses it, and sends the request again over a new one when the server closed it
// before answering.
class ThreadConnection {
public:
    ThreadConnection() = default;
    ~ThreadConnection() {
        if (m_curl != nullptr) {
            // The jar is current after every post; by now the current directory may
            // be another one, which must not get a cookie file.
            curl_easy_setopt(m_curl, CURLOPT_COOKIEJAR, nullptr);
            curl_easy_cleanup(m_curl);
        }
        curl_slist_free_all(m_plainHeaders);
        curl_slist_free_all(m_gzipHeaders);
        if (m_compressor != nullptr) libdeflate_free_compressor(m_compressor);
    }
    ThreadConnection(const ThreadConnection&) = delete;
    ThreadConnection& operator=(const ThreadConnection&) = delete;

    // Null when libcurl cannot make a handle; asked again on the next post.
    CURL* Handle() {
        if (m_curl == nullptr && (m_curl = curl_easy_init()) != nullptr) SetFixedOptions(m_curl);
        return m_curl;
    }

    // The request headers for a plain or a compressed body; null when libcurl cannot make
    // them. "Expect:" keeps libcurl from waiting for a "100 Continue" before a body of
    // over a megabyte: the server reads every write anyway, so the wait only costs a
    // round trip per batch, and a second when a proxy never sends one.
    curl_slist* Headers(bool gzip) {
        curl_slist*& headers = gzip ? m_gzipHeaders : m_plainHeaders;
        if (headers == nullptr) {
            curl_slist* made = curl_slist_append(nullptr, "Expect:");
            if (made != nullptr && gzip) {
                curl_slist* more = curl_slist_append(made, "Content-Encoding: gzip");
                if (more == nullptr) curl_slist_free_all(made);
                made = more;
            }
            headers = made;
        }
        return headers;
    }

    // Compresses `body` into Compressed() as one gzip stream; false when it cannot.
    // A whole batch is at hand, so a one-shot compressor at its fastest level does: it
    // takes about half the time of zlib's fastest and still shrinks line protocol
    // about eightfold. The client's CPU time is what a better ratio would cost.
    bool Compress(const std::string& body) {
        if (m_compressor == nullptr && (m_compressor = libdeflate_alloc_compressor(1)) == nullptr) return false;
        m_compressed.resize(libdeflate_gzip_compress_bound(m_compressor, body.size()));
        const size_t size =
            libdeflate_gzip_compress(m_compressor, body.data(), body.size(), m_compressed.data(), m_compressed.size());
        if (size == 0) return false;
        m_compressed.resize(size);
        return true;
    }
    const std::string& Compressed() const { return m_compressed; }

private:
    CURL* m_curl = nullptr;
    curl_slist* m_plainHeaders = nullptr;
    curl_slist* m_gzipHeaders = nullptr;
    libdeflate_compressor* m_compressor = nullptr;
    std::string m_compressed;  // keeps its storage from post to post
};

// Made on a thread's first post, cleaned up when the thread ends.
ThreadConnection& ThisThreadsConnection() {
    thread_local ThreadConnection connection;
    return connection;
}

}  // namespace

bool IsLoopbackUrl(std::string_view url) {
    const size_t scheme = url.find("://");
    std::string_view host = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    if (const size_t at = host.rfind('@'); at != std::string_view::npos) host = host.substr(at + 1);
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        host = host.substr(1, close == std::string_view::npos ? close : close - 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    std::string name(host);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "localhost" || name.ends_with(".localhost")) return true;
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

bool GzipByDefault(std::string_view baseUrl) {
    return !IsLoopbackUrl(baseUrl);
}

size_t AppendResponse(char* data, size_t size, size_t count, void* target) {
    if (target == nullptr) return 0;
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts) {
    return HttpPost(url, body, timeouts, BodyEncoding::Identity);
}

HttpResult HttpPost(const std::string& url, const std::string& body, const HttpTimeouts& timeouts,
                    BodyEncoding encoding) {
    HttpResult result;
    if (const CURLcode init = GlobalInit(); init != CURLE_OK) {
        result.curlCode = init;
        result.error = curl_easy_strerror(init);
        return result;
    }

    ThreadConnection& connection = ThisThreadsConnection();
    CURL* curl = connection.Handle();
    if (curl == nullptr) {
        result.curlCode = CURLE_FAILED_INIT;
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }

    // Everything libcurl writes into lives on this call's stack, so workers posting at
    // the same time never see each other's answers.
    char errorBuffer[CURL_ERROR_SIZE];
    errorBuffer[0] = '\0';
    std::string errorHeader;

    // A body that cannot be compressed goes plain: the server takes either.
    const bool compressed =
        encoding == BodyEncoding::Gzip && connection.Headers(true) != nullptr && connection.Compress(body);
    const std::string* sent = compressed ? &connection.Compressed() : &body;

    // The handle keeps the options of earlier posts; these are the ones that change.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &errorHeader);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sent->data());
    // The length is given so that the body is sent whole, whatever bytes it holds.
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent->size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, connection.Headers(compressed));
    // Only the file's cookies count, as for a fresh handle: libcurl reads the file again
    // before this transfer, with whatever other threads' posts wrote into it since.
    curl_easy_setopt(curl, CURLOPT_COOKIELIST, "ALL");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeouts.stallSeconds);

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result.newConnections);
    // The jar is written after every post, as the cleanup of a one-post handle did.
    curl_easy_setopt(curl, CURLOPT_COOKIELIST, "FLUSH");
    // Nothing of this call's stack may stay within libcurl's reach.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);

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

}  // namespace quarvel

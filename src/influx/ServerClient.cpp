#include "influx/ServerClient.h"

#include <curl/curl.h>
#include <libdeflate.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quarvel {

namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)";
constexpr const char* kCookieFile = "cookies.txt";
constexpr long kUploadBufferSize = 1L << 17;
constexpr const char* kVersionHeader = "X-Influxdb-Version";
constexpr const char* kErrorHeader = "X-Influxdb-Error";

// How every base URL is read: one without a scheme is taken as http, and one with a scheme
// libcurl cannot speak is still read, so that the request fails as unsupported.
constexpr unsigned int kUrlFlags = CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME;

// curl_global_init is not thread-safe; a function-local static runs it exactly once,
// before the first handle, whichever thread gets here first.
CURLcode GlobalInit() {
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    return code;
}

// Whether the handle holds a cookie after its request, or any of the request's answers
// (redirects included) set or dropped one. Neither means the jar has nothing new: it gave
// no cookie that is still valid, and writing it would cost each post a file written and
// renamed, and would create the file where there was none.
bool HoldsOrReceivedCookies(CURL* curl) {
    curl_slist* cookies = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_COOKIELIST, &cookies) != CURLE_OK) return true;
    const bool holds = cookies != nullptr;
    curl_slist_free_all(cookies);
    if (holds) return true;
    long redirects = 0;
    if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects) != CURLE_OK) return true;
    for (long request = 0; request <= redirects && request < INT_MAX; ++request) {
        curl_header* header = nullptr;
        if (curl_easy_header(curl, "Set-Cookie", 0, CURLH_HEADER | CURLH_1XX, static_cast<int>(request), &header) ==
            CURLHE_OK)
            return true;
    }
    return false;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// The parsed URL; null when the text is none.
Url ParseUrl(std::string_view text) {
    Url url(curl_url());
    if (url == nullptr || curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(), kUrlFlags) != CURLUE_OK)
        return nullptr;
    return url;
}

// A part of a parsed URL as stored (not decoded); nothing when the URL lacks it.
std::optional<std::string> UrlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
}

// The value of the final answer's header `name`, the last when it came more than once;
// empty when it did not come.
std::string AnswerHeader(CURL* curl, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
    if (header->amount > 1 && curl_easy_header(curl, name, header->amount - 1, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return {};
    return std::string(Trim(header->value));
}

// The server names its error in a header; whatever else answers (a proxy, say) may
// explain itself in the body.
std::string ServerMessage(const HttpResult& result) {
    if (!result.serverError.empty()) return result.serverError;
    return std::string(Trim(result.body));
}

}  // namespace

namespace {

// Where the user information of a URL lies: from `begin` to `end` (the "@"); nothing
// when the URL has none.
struct UserInfo {
    size_t begin = 0;
    size_t end = 0;
};
std::optional<UserInfo> FindUserInfo(std::string_view url) {
    const size_t scheme = url.find("://");
    const size_t begin = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t at = url.substr(0, url.find('?', begin)).rfind('@');
    if (at == std::string_view::npos || at < begin) return std::nullopt;
    return UserInfo{begin, at};
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool Mentions(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

std::string TakeUserInfo(const std::string& baseUrl, ServerAccess& access) {
    const std::optional<UserInfo> info = FindUserInfo(baseUrl);
    if (!info) return baseUrl;
    const std::string_view userInfo = std::string_view(baseUrl).substr(info->begin, info->end - info->begin);
    if (!access.HasLogin()) {
        const size_t colon = userInfo.find(':');
        access.username = PercentDecode(userInfo.substr(0, colon));
        access.password = colon == std::string_view::npos ? "" : PercentDecode(userInfo.substr(colon + 1));
    }
    return baseUrl.substr(0, info->begin) + baseUrl.substr(info->end + 1);
}

std::string RedactUrl(std::string_view url) {
    const std::optional<UserInfo> info = FindUserInfo(url);
    if (!info) return std::string(url);
    return std::string(url.substr(0, info->begin)) + "***" + std::string(url.substr(info->end));
}

std::string CertificateProblem(const HttpResult& result) {
    const auto code = static_cast<CURLcode>(result.curlCode);
    if (code != CURLE_PEER_FAILED_VERIFICATION && code != CURLE_SSL_CACERT_BADFILE && code != CURLE_SSL_CERTPROBLEM)
        return {};
    const std::string& why = result.error;
    if (code == CURLE_SSL_CACERT_BADFILE) return "the certificate file cannot be read (" + why + ")";
    if (Mentions(why, "self signed") || Mentions(why, "self-signed")) return "certificate not trusted: self-signed";
    if (Mentions(why, "local issuer") || Mentions(why, "unknown ca") || Mentions(why, "unknown authority"))
        return "certificate not trusted: issued by an authority that is not trusted";
    if (Mentions(why, "subject name") || Mentions(why, "host name") || Mentions(why, "hostname"))
        return "certificate not for this host: " + why;
    if (Mentions(why, "expired")) return "certificate expired";
    return "certificate not trusted: " + why;
}

std::string PercentEncode(std::string_view text) {
    if (text.empty()) return {};  // a length of 0 would have libcurl measure the text itself
    if (text.size() > INT_MAX) throw std::length_error("text too long to encode");
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr) throw std::bad_alloc();
    std::string encoded(escaped);
    curl_free(escaped);
    return encoded;
}

std::string EncodeParameters(std::initializer_list<UrlParameter> parameters) {
    std::string text;
    for (const UrlParameter& parameter : parameters) {
        if (!text.empty()) text += '&';
        text += parameter.name;
        text += '=';
        text += PercentEncode(parameter.value);
    }
    return text;
}

std::string EndpointUrl(const std::string& baseUrl, std::string_view endpoint,
                        std::initializer_list<UrlParameter> parameters) {
    const Url url = ParseUrl(baseUrl);
    if (url == nullptr) return baseUrl;
    // The endpoint goes in as a reference resolved against the base, which keeps the base's
    // scheme, user info, host and port and drops its fragment; the path and query come as
    // the base has them, %XX as written. (Setting the path or the query as parts of their
    // own would rewrite every %XX in lower case.)
    std::string reference = UrlPart(url.get(), CURLUPART_PATH).value_or("");
    while (!reference.empty() && reference.back() == '/') reference.pop_back();
    reference += '/';
    reference += endpoint;
    if (reference.starts_with("//")) reference.insert(0, "/.");  // a path, never a host
    std::string query = UrlPart(url.get(), CURLUPART_QUERY).value_or("");
    if (const std::string added = EncodeParameters(parameters); !added.empty())
        query += (query.empty() ? "" : "&") + added;
    if (!query.empty()) reference += '?' + query;
    if (curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return baseUrl;
    return UrlPart(url.get(), CURLUPART_URL).value_or(baseUrl);
}

std::string UrlHost(std::string_view text) {
    const Url url = ParseUrl(text);
    if (url == nullptr) return {};
    std::string host = UrlPart(url.get(), CURLUPART_HOST).value_or("");
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

size_t AppendResponse(char* data, size_t size, size_t count, void* target) {
    if (target == nullptr) return 0;
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

namespace {

// An answer to a write is empty or an error message, which may quote the batch's lines; a
// longer one ends the transfer instead of growing without end.
size_t AppendWriteAnswer(char* data, size_t size, size_t count, void* target) {
    if (target != nullptr && static_cast<std::string*>(target)->size() + size * count > kMaxWriteAnswer) return 0;
    return AppendResponse(data, size, count, target);
}

}  // namespace

// The libcurl handle of one client, kept across its requests so that the connection in
// the handle's pool carries them all. libcurl checks a pooled connection before it
// reuses it, and sends the request again over a new one when the server closed it
// before answering.
class ServerClient::Handle {
public:
    explicit Handle(Use use) : m_use(use) {}
    ~Handle() {
        if (m_curl != nullptr) {
            // The jar is current after every request; by now the current directory may
            // be another one, which must not get a cookie file.
            if (m_use == Use::kWrites) curl_easy_setopt(m_curl, CURLOPT_COOKIEJAR, nullptr);
            curl_easy_cleanup(m_curl);
        }
        curl_slist_free_all(m_plainHeaders);
        curl_slist_free_all(m_gzipHeaders);
        if (m_compressor != nullptr) libdeflate_free_compressor(m_compressor);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // Null when libcurl cannot make a handle; asked again on the next request.
    CURL* Curl() {
        if (m_curl == nullptr && (m_curl = curl_easy_init()) != nullptr) SetFixedOptions();
        return m_curl;
    }

    // The request headers for a plain or a compressed body; null when libcurl cannot make
    // them. "Expect:" keeps libcurl from waiting for a "100 Continue" before a body of
    // over a megabyte: the server reads every write anyway, so the wait only costs a
    // round trip per batch, and a second when a proxy never sends one.
    // A token goes in a header of its own; the lists are made again when it changes.
    curl_slist* Headers(bool gzip, const std::string& token) {
        if (token != m_token) {
            curl_slist_free_all(m_plainHeaders);
            curl_slist_free_all(m_gzipHeaders);
            m_plainHeaders = m_gzipHeaders = nullptr;
            m_token = token;
        }
        curl_slist*& headers = gzip ? m_gzipHeaders : m_plainHeaders;
        if (headers == nullptr) {
            std::vector<std::string> lines{"Expect:"};
            if (gzip) lines.emplace_back("Content-Encoding: gzip");
            if (!token.empty()) lines.push_back("Authorization: Token " + token);
            curl_slist* made = nullptr;
            for (const std::string& line : lines) {
                curl_slist* more = curl_slist_append(made, line.c_str());
                if (more == nullptr) {
                    curl_slist_free_all(made);
                    return nullptr;
                }
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

    // The CA file libcurl trusts by itself; null when it has none.
    const char* BuiltInCaFile() const { return m_builtInCaFile.empty() ? nullptr : m_builtInCaFile.c_str(); }

private:
    // Options every request of the handle sets the same way; set once per handle.
    void SetFixedOptions() {
        char* builtIn = nullptr;
        if (curl_easy_getinfo(m_curl, CURLINFO_CAINFO, &builtIn) == CURLE_OK && builtIn != nullptr)
            m_builtInCaFile = builtIn;
        curl_easy_setopt(m_curl, CURLOPT_HEADER, 0L);
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, m_use == Use::kWrites ? AppendWriteAnswer : AppendResponse);
        curl_easy_setopt(m_curl, CURLOPT_USERAGENT, kUserAgent);
        // Time-outs must not use signals: requests run on worker threads.
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        // A server that accepts and then falls silent must not block a conversion forever;
        // one byte a second over the stall time is far below what any live server manages.
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        if (m_use == Use::kWrites) {
            curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L);
            // A redirect loop ends as a transfer failure instead of running forever.
            curl_easy_setopt(m_curl, CURLOPT_MAXREDIRS, 30L);
            // Named once: libcurl reads the file before every transfer of the handle. Naming
            // it per request would lengthen its list of files to read by one each time.
            curl_easy_setopt(m_curl, CURLOPT_COOKIEFILE, kCookieFile);
            curl_easy_setopt(m_curl, CURLOPT_COOKIEJAR, kCookieFile);
            // A batch of about a megabyte goes out in writes of 128 KiB instead of 64 KiB, each
            // with its own wait for the socket. libcurl copies every body through this buffer,
            // one per posting thread's handle; at a megabyte, the fresh pages of the handles of
            // posts in flight cost more CPU than the fewer writes saved.
            curl_easy_setopt(m_curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        }
    }

    Use m_use;
    CURL* m_curl = nullptr;
    curl_slist* m_plainHeaders = nullptr;
    curl_slist* m_gzipHeaders = nullptr;
    std::string m_token;  // of the header lists
    std::string m_builtInCaFile;
    libdeflate_compressor* m_compressor = nullptr;
    std::string m_compressed;  // keeps its storage from request to request
};

ServerClient::ServerClient(Use use) : m_use(use), m_handle(std::make_unique<Handle>(use)) {}

ServerClient::~ServerClient() = default;

ServerClient& ServerClient::ThisThreadsWrites() {
    thread_local ServerClient client(Use::kWrites);
    return client;
}

HttpResult ServerClient::Get(const std::string& url, const HttpTimeouts& timeouts, const ServerAccess& access) {
    return Exchange(url, nullptr, BodyEncoding::Identity, timeouts, access);
}

HttpResult ServerClient::Post(const std::string& url, const std::string& body, BodyEncoding encoding,
                              const HttpTimeouts& timeouts, const ServerAccess& access) {
    return Exchange(url, &body, encoding, timeouts, access);
}

HttpResult ServerClient::Exchange(const std::string& url, const std::string* body, BodyEncoding encoding,
                                  const HttpTimeouts& timeouts, const ServerAccess& access) {
    HttpResult result;
    if (const CURLcode init = GlobalInit(); init != CURLE_OK) {
        result.curlCode = init;
        result.error = curl_easy_strerror(init);
        return result;
    }
    CURL* curl = m_handle->Curl();
    if (curl == nullptr) {
        result.curlCode = CURLE_FAILED_INIT;
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }

    // Everything libcurl writes into lives on this call's stack, so that no request ever
    // sees another's answer.
    char errorBuffer[CURL_ERROR_SIZE];
    errorBuffer[0] = '\0';

    // A body that cannot be compressed goes plain: the server takes either.
    const std::string& token = access.username.empty() ? access.token : std::string();
    const bool compressed = body != nullptr && encoding == BodyEncoding::Gzip &&
                            m_handle->Headers(true, token) != nullptr && m_handle->Compress(*body);

    // The handle keeps the options of earlier requests; these are the ones that change.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    if (body != nullptr) {
        const std::string& sent = compressed ? m_handle->Compressed() : *body;
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sent.data());
        // The length is given so that the body is sent whole, whatever bytes it holds.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent.size()));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_handle->Headers(compressed, token));
    // The login goes with every request, never only after a refusal; libcurl keeps it
    // from the hosts a redirect may lead to.
    if (!access.username.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, access.username.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, access.password.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
    }
    // An https server proves who it is: its certificate chain and its name are checked,
    // unless the operator said otherwise.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, access.insecure ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, access.insecure ? 0L : 2L);
    // The handle keeps its options from request to request: a CA file named for an earlier
    // run must not be trusted by this one.
    curl_easy_setopt(curl, CURLOPT_CAINFO,
                     access.caCertFile.empty() ? m_handle->BuiltInCaFile() : access.caCertFile.c_str());
    // Only the file's cookies count, as for a fresh handle: libcurl reads the file again
    // before this transfer, with whatever other threads' posts wrote into it since.
    if (m_use == Use::kWrites) curl_easy_setopt(curl, CURLOPT_COOKIELIST, "ALL");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeouts.stallSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeouts.totalSeconds);

    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result.newConnections);
    curl_off_t total = 0;
    curl_off_t beforeRequest = 0;
    if (curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &total) == CURLE_OK &&
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &beforeRequest) == CURLE_OK)
        result.exchange = std::chrono::microseconds(std::max<curl_off_t>(0, total - beforeRequest));
    // The jar is written after every request that may have changed it, so that other
    // handles read what this one got.
    if (m_use == Use::kWrites && HoldsOrReceivedCookies(curl)) curl_easy_setopt(curl, CURLOPT_COOKIELIST, "FLUSH");
    // Nothing of this call's stack may stay within libcurl's reach.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);

    result.curlCode = code;
    if (code != CURLE_OK) {
        result.body.clear();  // a partial answer is no answer
        result.error = errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
        return result;
    }
    result.serverVersion = AnswerHeader(curl, kVersionHeader);
    result.serverError = AnswerHeader(curl, kErrorHeader);
    if (!result.Succeeded()) result.error = ServerMessage(result);
    return result;
}

}  // namespace quarvel

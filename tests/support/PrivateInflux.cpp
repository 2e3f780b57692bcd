#include "PrivateInflux.h"

#include "ChildProcess.h"
#include "FreePort.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

// What openssl needs to know beyond its command lines: one section of extensions for each
// kind of certificate, so that nothing depends on the system's openssl.cnf.
constexpr const char* kOpensslConfig = R"([req]
distinguished_name = name
prompt = no
[name]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[loopback]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
[other]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
)";

const char* CertificateName(ServerCertificate certificate) {
    switch (certificate) {
        case ServerCertificate::kCaSigned:
            return "server";
        case ServerCertificate::kSelfSigned:
            return "self-signed";
        case ServerCertificate::kOtherHost:
            return "other-host";
    }
    return "server";
}

// Identifiers go in double quotes and strings in single quotes, each with its quote and
// the backslash escaped.
std::string Quoted(const std::string& text, char quote) {
    std::string result(1, quote);
    for (char c : text) {
        if (c == quote || c == '\\') result += '\\';
        result += c;
    }
    return result + quote;
}
std::string Identifier(const std::string& name) {
    return Quoted(name, '"');
}
std::string Literal(const std::string& text) {
    return Quoted(text, '\'');
}

std::string Encoded(const std::string& text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string result;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            result += static_cast<char>(c);
        } else {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 15];
        }
    }
    return result;
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

std::string HttpAnswer::Header(const std::string& name) const {
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            const size_t value = line.find_first_not_of(' ', name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
        start = end + 1;
    }
    return "";
}

std::string QueryForm(const std::string& statement, const std::string& database) {
    return "q=" + Encoded(statement) + (database.empty() ? "" : "&db=" + Encoded(database));
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string folders = path == nullptr ? "" : path;
    for (size_t start = 0; start < folders.size();) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string PrivateInfluxMissing(const PrivateInfluxOptions& options) {
    if (FindProgram("influxd").empty()) return "no influxd on the PATH";
    if (options.https && FindProgram("openssl").empty()) return "no openssl on the PATH";
    return "";
}

PrivateInflux::PrivateInflux(PrivateInfluxOptions options) : m_options(options) {
    if (!m_scratch.Made()) {
        m_setupError = "no temporary folder";
        return;
    }
    m_dir = m_scratch.Path().string();
    m_port = FreeLoopbackPort();
    unsigned short rpc = FreeLoopbackPort();
    while (rpc == m_port) rpc = FreeLoopbackPort();
    m_url = (m_options.https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_port);
    if (m_options.https && !MakeCertificates(m_setupError)) return;
    m_config = m_dir + "/influxd.conf";
    std::ofstream config(m_config);
    config << "reporting-enabled = false\n"
           << "bind-address = \"127.0.0.1:" << rpc << "\"\n"
           << "[meta]\n  dir = \"" << m_dir << "/meta\"\n"
           << "[data]\n  dir = \"" << m_dir << "/data\"\n  wal-dir = \"" << m_dir << "/wal\"\n"
           << "  query-log-enabled = false\n"
           << "[monitor]\n  store-enabled = false\n"
           << "[subscriber]\n  enabled = false\n"
           << "[http]\n  bind-address = \"127.0.0.1:" << m_port << "\"\n"
           << "  log-enabled = false\n  pprof-enabled = false\n  max-row-limit = 0\n"
           << "  auth-enabled = " << (m_options.auth ? "true" : "false") << "\n";
    if (m_options.https) {
        const std::string name = m_dir + "/" + CertificateName(m_options.certificate);
        config << "  https-enabled = true\n  https-certificate = \"" << name << ".crt\"\n"
               << "  https-private-key = \"" << name << ".key\"\n";
    }
}

PrivateInflux::~PrivateInflux() {
    Kill();
}

std::string PrivateInflux::CertFile(ServerCertificate certificate) const {
    return m_dir + "/" + CertificateName(certificate) + ".crt";
}

// A CA, and three server certificates: two the CA signs, one that signs itself. Keys are
// P-256, which openssl makes in milliseconds.
bool PrivateInflux::MakeCertificates(std::string& error) {
    const std::string openssl = FindProgram("openssl");
    if (openssl.empty()) {
        error = "no openssl on the PATH";
        return false;
    }
    const std::string config = m_dir + "/openssl.cnf";
    std::ofstream(config) << kOpensslConfig;
    const auto in = [this](const std::string& name) { return m_dir + "/" + name; };
    const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    // A certificate that signs itself, with the extensions of `section`.
    const auto selfSigned = [&](const std::string& name, const std::string& subject, const std::string& section) {
        std::vector<std::string> words = {"req", "-config", config, "-x509", "-days", "3650"};
        words.insert(words.end(), newKey.begin(), newKey.end());
        words.insert(words.end(), {"-keyout", in(name + ".key"), "-out", in(name + ".crt"), "-subj", subject,
                                   "-extensions", section});
        return words;
    };
    const auto request = [&](const std::string& name, const std::string& subject) {
        std::vector<std::string> words = {"req", "-config", config, "-new"};
        words.insert(words.end(), newKey.begin(), newKey.end());
        words.insert(words.end(), {"-keyout", in(name + ".key"), "-out", in(name + ".csr"), "-subj", subject});
        return words;
    };
    // clang-format off
    const auto sign = [&](const std::string& name, const std::string& section, const std::string& serial) {
        return std::vector<std::string>{"x509", "-req", "-in", in(name + ".csr"), "-out", in(name + ".crt"),
                                        "-CA", in("ca.crt"), "-CAkey", in("ca.key"), "-set_serial", serial,
                                        "-days", "3650", "-extfile", config, "-extensions", section};
    };
    // clang-format on
    const std::string server = CertificateName(ServerCertificate::kCaSigned);
    const std::string self = CertificateName(ServerCertificate::kSelfSigned);
    const std::string other = CertificateName(ServerCertificate::kOtherHost);
    const std::vector<std::vector<std::string>> steps = {
        selfSigned("ca", "/CN=Quarvel test CA", "ca"),
        request(server, "/CN=127.0.0.1"),
        sign(server, "loopback", "2"),
        selfSigned(self, "/CN=127.0.0.1", "loopback"),
        request(other, "/CN=other.example"),
        sign(other, "other", "3"),
    };
    for (const auto& step : steps) {
        const RunResult run = Run(openssl, step);
        if (run.status != 0) {
            error = "openssl " + step[0] + " failed (" + std::to_string(run.status) + "): " + run.err;
            return false;
        }
    }
    return true;
}

bool PrivateInflux::Start(std::string& error) {
    if (!m_setupError.empty()) {
        error = m_setupError;
        return false;
    }
    if (Running()) {
        error = "influxd runs already";
        return false;
    }
    const std::string influxd = FindProgram("influxd");
    if (influxd.empty()) {
        error = "no influxd on the PATH";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = LogFile();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> words = {influxd, "run", "-config", m_config};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, influxd.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        error = "cannot start influxd";
        return false;
    }
    // Whichever certificate the server presents, the probe only asks whether it answers.
    const HttpCall ping{.method = "HEAD", .target = "/ping", .verify = false, .timeoutMs = 1000};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exchange(ping).status == 204) return !m_options.auth || m_adminMade || MakeAdmin(error);
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            error = "influxd ended during start-up; see " + log;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error = "influxd did not answer within 30 s";
    return false;
}

// While the server has no users, it takes this one statement without a login.
bool PrivateInflux::MakeAdmin(std::string& error) {
    const std::string statement = "CREATE USER " + Identifier(kInfluxAdmin.user) + " WITH PASSWORD " +
                                  Literal(kInfluxAdmin.password) + " WITH ALL PRIVILEGES";
    const HttpAnswer answer = Exchange({.method = "POST",
                                        .target = "/query",
                                        .body = QueryForm(statement),
                                        .verify = m_options.certificate == ServerCertificate::kCaSigned});
    m_adminMade = answer.status == 200 && answer.body.find("\"error\"") == std::string::npos;
    if (!m_adminMade) error = "cannot make the admin user (" + std::to_string(answer.status) + "): " + answer.body;
    return m_adminMade;
}

void PrivateInflux::Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

HttpAnswer PrivateInflux::Exchange(const HttpCall& call) const {
    HttpAnswer answer;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        answer.curlError = "curl_easy_init failed";
        return answer;
    }
    const std::string url = m_url + call.target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (call.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    if (call.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
    }
    if (call.login) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, call.login->user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, call.login->password.c_str());
    }
    curl_slist* headers = nullptr;
    for (const std::string& line : call.headers) headers = curl_slist_append(headers, line.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    const std::string caFile = call.caFile.empty() ? CaCertFile() : call.caFile;
    if (call.verify) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);  // the one file, not the system's store
    } else {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, call.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    else
        answer.curlError = *message != '\0' ? message : curl_easy_strerror(code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return answer;
}

HttpAnswer PrivateInflux::AdminExchange(HttpCall call) const {
    if (m_options.auth) call.login = kInfluxAdmin;
    call.verify = m_options.certificate == ServerCertificate::kCaSigned;
    return Exchange(call);
}

nlohmann::json PrivateInflux::AdminQuery(const std::string& statement, const std::string& database) const {
    const HttpAnswer answer =
        AdminExchange({.method = "POST", .target = "/query?epoch=s", .body = QueryForm(statement, database)});
    const auto failed = [&](const std::string& why) {
        return std::runtime_error("query failed (" + why + "): " + statement + ": " + answer.body);
    };
    if (answer.status != 200) throw failed(answer.curlError.empty() ? std::to_string(answer.status) : answer.curlError);
    nlohmann::json result = nlohmann::json::parse(answer.body);
    for (const auto& each : result.at("results"))
        if (each.contains("error")) throw failed("statement error");
    return result;
}

void PrivateInflux::CreateDatabase(const std::string& database) const {
    AdminQuery("CREATE DATABASE " + Identifier(database));
    for (const char* rp : {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"})
        AdminQuery("CREATE RETENTION POLICY " + Identifier(rp) + " ON " + Identifier(database) +
                   " DURATION INF REPLICATION 1");
}

void PrivateInflux::CreateUser(const InfluxLogin& login, Privilege privilege, const std::string& database) const {
    AdminQuery("CREATE USER " + Identifier(login.user) + " WITH PASSWORD " + Literal(login.password));
    const char* granted = privilege == Privilege::kWrite ? "WRITE" : privilege == Privilege::kRead ? "READ" : "ALL";
    AdminQuery(std::string("GRANT ") + granted + " ON " + Identifier(database) + " TO " + Identifier(login.user));
}

void PrivateInflux::CreateUsers(const std::string& database) const {
    CreateUser(kInfluxWriter, Privilege::kWrite, database);
    CreateUser(kInfluxReader, Privilege::kRead, database);
    CreateUser(kInfluxOwner, Privilege::kAll, database);
}

long PrivateInflux::CountPoints(const std::string& database, const std::string& retentionPolicy) const {
    std::vector<std::string> policies;
    if (!retentionPolicy.empty()) {
        policies.push_back(retentionPolicy);
    } else {
        const auto shown = AdminQuery("SHOW RETENTION POLICIES ON " + Identifier(database));
        for (const auto& series : shown.at("results").at(0).value("series", nlohmann::json::array()))
            for (const auto& row : series.at("values")) policies.push_back(row.at(0).get<std::string>());
    }
    long points = 0;
    for (const std::string& policy : policies) {
        // Without GROUP BY, each row of a measurement is one point, whatever its tags.
        const auto rows =
            AdminQuery("SELECT * FROM " + Identifier(database) + "." + Identifier(policy) + "./.*/", database);
        for (const auto& series : rows.at("results").at(0).value("series", nlohmann::json::array()))
            points += static_cast<long>(series.at("values").size());
    }
    return points;
}

}  // namespace testsupport

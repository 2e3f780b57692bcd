#pragma once

// An InfluxDB 1.x server of the test's own, on free loopback ports with its data in a
// temporary folder, which the test may kill and start again on the same port and data. The
// shared server of scripts/test is never touched, so tests beside this one go on undisturbed.
//
// It may require logins (an admin user is made at the first start; helpers make databases
// and users with one privilege each) and may speak https only, with a private CA and server
// certificates that openssl makes in the folder: one the CA signed for 127.0.0.1, one signed
// by itself, and one the CA signed for another host.

#include "ScratchDir.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The certificate a server with https presents.
enum class ServerCertificate {
    kCaSigned,    // signed by CaCertFile()'s CA, for IP 127.0.0.1 and DNS localhost
    kSelfSigned,  // for IP 127.0.0.1 and DNS localhost too, but signed by its own key
    kOtherHost,   // signed by the CA, for DNS other.example only
};

struct PrivateInfluxOptions {
    bool auth = false;   // every request but /ping needs a login
    bool https = false;  // TLS only: plain HTTP gets 400
    ServerCertificate certificate = ServerCertificate::kCaSigned;
};

struct InfluxLogin {
    std::string user;
    std::string password;
};

// The admin the server gets at its first start, with all privileges.
inline const InfluxLogin kInfluxAdmin{"admin", "adm1n-Secret"};
// Logins for CreateUsers' users, one per privilege. The writer's password holds characters
// that a URL must percent-encode (@ : / # space %).
inline const InfluxLogin kInfluxWriter{"writer", "p@ss:w/rd#1 %"};
inline const InfluxLogin kInfluxReader{"reader", "reader-pw"};
inline const InfluxLogin kInfluxOwner{"owner", "owner-pw"};

enum class Privilege { kWrite, kRead, kAll };

// One request to the server, for PrivateInflux::Exchange.
struct HttpCall {
    std::string method = "GET";    // GET, POST or HEAD
    std::string target = "/ping";  // path and query, e.g. "/write?db=x&rp=RP_Sec"
    std::string body{};
    std::optional<InfluxLogin> login{};  // sent as basic authentication
    std::vector<std::string> headers{};  // extra header lines, e.g. "Authorization: Bearer x"
    // https: trust only this CA file and check the host name; empty: the fixture's CA.
    // verify = false accepts any certificate.
    bool verify = true;
    std::string caFile{};
    long timeoutMs = 10000;  // for the whole exchange
};

struct HttpAnswer {
    long status = 0;        // 0 when no HTTP answer came
    std::string curlError;  // libcurl's message then
    std::string headers;    // the header lines as received
    std::string body;

    // The value of the first header of that name (any case), without the line end; empty
    // when there is none.
    std::string Header(const std::string& name) const;
};

class PrivateInflux {
public:
    // Prepares the folder, the certificates and the configuration; Start runs the server.
    explicit PrivateInflux(PrivateInfluxOptions options = {});
    ~PrivateInflux();  // kills the server and removes the folder
    PrivateInflux(const PrivateInflux&) = delete;
    PrivateInflux& operator=(const PrivateInflux&) = delete;

    // Starts influxd and waits until it answers /ping; with auth, makes the admin user at
    // the first start. False with `error` when it does not answer within 30 s, when there is
    // no influxd (or, for https, no openssl) to run, or when the admin cannot be made.
    bool Start(std::string& error);
    void Kill();  // SIGKILL: no chance to finish anything
    bool Running() const { return m_pid > 0; }

    // "http://127.0.0.1:PORT", or "https://127.0.0.1:PORT" with https.
    std::string Url() const { return m_url; }
    unsigned short Port() const { return m_port; }
    std::string LogFile() const { return m_dir + "/influxd.log"; }

    // https: the private CA's certificate (PEM), and each server certificate the folder
    // holds, whichever the server presents.
    std::string CaCertFile() const { return m_dir + "/ca.crt"; }
    std::string CertFile(ServerCertificate certificate) const;

    // One request to this server.
    HttpAnswer Exchange(const HttpCall& call) const;

    // Administration as kInfluxAdmin (no login without auth). Each throws
    // std::runtime_error with the server's answer when the server refuses.
    nlohmann::json AdminQuery(const std::string& statement, const std::string& database = "") const;
    // The database with the four retention policies RP_Sec, RP_Min, RP_Hour and RP_Day,
    // each DURATION INF REPLICATION 1.
    void CreateDatabase(const std::string& database) const;
    void CreateUser(const InfluxLogin& login, Privilege privilege, const std::string& database) const;
    // kInfluxWriter with WRITE, kInfluxReader with READ and kInfluxOwner with ALL on the database.
    void CreateUsers(const std::string& database) const;
    // Points of the database in one retention policy, or in all of them when empty; meant
    // for the small amounts of a test.
    long CountPoints(const std::string& database, const std::string& retentionPolicy = "") const;

private:
    bool MakeCertificates(std::string& error);
    bool MakeAdmin(std::string& error);
    HttpAnswer AdminExchange(HttpCall call) const;

    PrivateInfluxOptions m_options;
    ScratchDir m_scratch{"quarvel-influx"};
    std::string m_dir;
    std::string m_config;
    std::string m_url;
    std::string m_setupError;
    unsigned short m_port = 0;
    bool m_adminMade = false;
    pid_t m_pid = -1;
};

// The form body of POST /query for one statement: "q=...&db=...", percent-encoded.
std::string QueryForm(const std::string& statement, const std::string& database = "");

// The full path of a program on the PATH, or empty when there is none.
std::string FindProgram(const std::string& name);
inline bool HaveInfluxd() {
    return !FindProgram("influxd").empty();
}

// Why a private server with these options cannot run here ("no influxd on the PATH"), or
// empty when it can. Tests skip with the reason.
std::string PrivateInfluxMissing(const PrivateInfluxOptions& options = {});

}  // namespace testsupport

#define QUARVEL_REQUIRE_PRIVATE_INFLUX(options)                                        \
    do {                                                                               \
        const std::string missing_ = testsupport::PrivateInfluxMissing(options);       \
        if (!missing_.empty()) GTEST_SKIP() << "needs a private server: " << missing_; \
    } while (0)

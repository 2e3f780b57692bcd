// The private server with logins and https, as the login and https tests meet it: what it
// answers each kind of user, and which certificate failures a client sees.

#include "PrivateInflux.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using testsupport::HttpCall;
using testsupport::kInfluxAdmin;
using testsupport::kInfluxOwner;
using testsupport::kInfluxReader;
using testsupport::kInfluxWriter;
using testsupport::PrivateInflux;
using testsupport::QueryForm;
using testsupport::ServerCertificate;

constexpr const char* kDatabase = "plant";

class SecuredServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testsupport::PrivateInfluxMissing({.https = true}).empty()) return;
        server = std::make_unique<PrivateInflux>(testsupport::PrivateInfluxOptions{.auth = true, .https = true});
        if (!server->Start(error)) return;
        server->CreateDatabase(kDatabase);
        server->CreateUsers(kDatabase);
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        QUARVEL_REQUIRE_PRIVATE_INFLUX(testsupport::PrivateInfluxOptions{.https = true});
        ASSERT_TRUE(server && server->Running()) << error;
    }

    static inline std::unique_ptr<PrivateInflux> server;
    static inline std::string error;
};

TEST_F(SecuredServer, AnswersEachLoginAsItsPrivilegesAllow) {
    const std::string write = std::string("/write?db=") + kDatabase + "&rp=RP_Sec";
    const std::string line = "m,t=a status=1i 1000000000";
    struct Case {
        const char* what;
        HttpCall call;
        long status;
        std::string inBody;  // part of the body; for 401, of WWW-Authenticate followed by the body
        int stored = 0;      // points the call adds
    };
    const Case cases[] = {
        {"ping without a login", {}, 204, ""},
        {"admin creates a database",
         {.method = "POST", .target = "/query", .body = QueryForm("CREATE DATABASE other"), .login = kInfluxAdmin},
         200,
         R"({"results":[{"statement_id":0}]})"},
        {"writer writes a line", {.method = "POST", .target = write, .body = line, .login = kInfluxWriter}, 204, "", 1},
        {"writer posts nothing", {.method = "POST", .target = write, .login = kInfluxWriter}, 204, ""},
        {"writer's login percent-encoded in the query",
         {.method = "POST",
          .target = write + "&u=writer&p=p%40ss%3Aw%2Frd%231%20%25",
          .body = "m status=2i 2000000000"},
         204,
         "",
         1},
        {"writer lists databases",
         {.method = "POST", .target = "/query", .body = QueryForm("SHOW DATABASES"), .login = kInfluxWriter},
         200,
         R"("values":[["plant"]]})"},
        {"writer lists retention policies",
         {.method = "POST",
          .target = "/query",
          .body = QueryForm("SHOW RETENTION POLICIES ON \"plant\""),
          .login = kInfluxWriter},
         403,
         "writer not authorized to execute statement 'SHOW RETENTION POLICIES ON plant', requires READ on plant"},
        {"reader writes a line",
         {.method = "POST", .target = write, .body = line, .login = kInfluxReader},
         403,
         R"("reader\" user is not authorized to write to database \"plant\")"},
        {"owner writes into a missing database",
         {.method = "POST", .target = "/write?db=nosuch", .body = line, .login = kInfluxOwner},
         404,
         R"({"error":"database not found: \"nosuch\""})"},
        {"wrong password",
         {.method = "POST", .target = write, .body = line, .login = testsupport::InfluxLogin{"writer", "p@ss"}},
         401,
         R"(Basic realm="InfluxDB"{"error":"authorization failed"})"},
        {"no login",
         {.method = "POST", .target = write, .body = line},
         401,
         R"(Basic realm="InfluxDB"{"error":"unable to parse authentication credentials"})"},
    };
    long points = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const testsupport::HttpAnswer answer = server->Exchange(c.call);
        ASSERT_EQ(answer.status, c.status) << answer.curlError << answer.body;
        const std::string seen = c.status == 401 ? answer.Header("WWW-Authenticate") + answer.body : answer.body;
        EXPECT_NE(seen.find(c.inBody), std::string::npos) << seen;
        points += c.stored;
        EXPECT_EQ(server->CountPoints(kDatabase), points);
    }
}

TEST(SecuredServerCertificates, FailVerificationAgainstThePrivateCaAsMade) {
    QUARVEL_REQUIRE_PRIVATE_INFLUX(testsupport::PrivateInfluxOptions{.https = true});
    const struct {
        ServerCertificate certificate;
        std::string curlError;  // empty: verified
    } cases[] = {
        {ServerCertificate::kCaSigned, ""},
        {ServerCertificate::kSelfSigned, "self-signed certificate"},
        {ServerCertificate::kOtherHost, "no alternative certificate subject name matches target host name '127.0.0.1'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.certificate));
        PrivateInflux server({.https = true, .certificate = c.certificate});
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        const testsupport::HttpAnswer answer = server.Exchange({});
        EXPECT_EQ(answer.status, c.curlError.empty() ? 204 : 0);
        EXPECT_NE(answer.curlError.find(c.curlError), std::string::npos) << answer.curlError;
    }
}

}  // namespace

// quarvel-cli against servers that ask for a login and speak https, as an operator meets
// them: the real binary, a private server with users and certificates of the test's own,
// and a stand-in only where a real server cannot show the case (a token, refusals on cue).

#include "ChildProcess.h"
#include "FakeHttpServer.h"
#include "InfluxServer.h"
#include "PrivateInflux.h"
#include "SampleNodes.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

using namespace quarvel;

namespace {

using testsupport::Contains;
using testsupport::SummaryNumber;

using testsupport::kInfluxReader;
using testsupport::kInfluxWriter;
using testsupport::PrivateInflux;
using testsupport::PrivateInfluxOptions;
using testsupport::ServerCertificate;

constexpr const char* kNode = "Plant_1";
constexpr const char* kDatabase = "Ry_Plant_1";
const std::string kWrongPassword = "n0t-the-Password";

// Every file under `folder`, whole, for the search for secrets.
std::string AllFiles(const fs::path& folder) {
    std::string all;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        all += entry.path().string() + ":\n" + text.str() + "\n";
    }
    return all;
}

// Environment variables for one run, put back afterwards.
class Environment {
public:
    explicit Environment(const std::vector<std::pair<std::string, std::string>>& values) {
        for (const auto& [name, value] : values) {
            const char* before = std::getenv(name.c_str());
            m_saved.emplace_back(name, before == nullptr ? std::nullopt : std::optional<std::string>(before));
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~Environment() {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

struct Invocation {
    std::vector<std::string> arguments;
    std::vector<std::pair<std::string, std::string>> environment{};
};

class SecuredCli : public ScratchDirTest {
protected:
    static void SetUpTestSuite() {
        for (const auto certificate : {ServerCertificate::kCaSigned, ServerCertificate::kSelfSigned}) {
            const PrivateInfluxOptions options{.auth = true, .https = true, .certificate = certificate};
            if (!testsupport::PrivateInfluxMissing(options).empty()) return;
            auto& server = certificate == ServerCertificate::kCaSigned ? trusted : selfSigned;
            server = std::make_unique<PrivateInflux>(options);
            if (!server->Start(error)) return;
            server->CreateDatabase(kDatabase);
            server->CreateUsers(kDatabase);
        }
    }
    static void TearDownTestSuite() {
        trusted.reset();
        selfSigned.reset();
    }
    void SetUp() override {
        ScratchDirTest::SetUp();
        QUARVEL_REQUIRE_PRIVATE_INFLUX((PrivateInfluxOptions{.auth = true, .https = true}));
        ASSERT_TRUE(trusted && trusted->Running() && selfSigned && selfSigned->Running()) << error;
        made = testsupport::MakeSmallSampleNode((m_dir / kNode).string(), 2, 1);
        expected = static_cast<long>(made.rawRecords + made.summaryRecords);
    }

    testsupport::RunResult Convert(const Invocation& run) const {
        std::vector<std::string> arguments = {"convert", "--node", (m_dir / kNode).string(), "--retry-delay-ms", "5"};
        arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
        const Environment environment(run.environment);
        return testsupport::RunCli(arguments);
    }

    // No password, token or encoded password in what a run printed or wrote.
    void ExpectNoSecrets(const testsupport::RunResult& result, const std::vector<std::string>& secrets) const {
        const std::string written = result.out + result.err + AllFiles(m_dir / "Logs");
        for (const std::string& secret : secrets)
            EXPECT_FALSE(Contains(written, secret)) << secret << " in\n" << written;
    }

    static inline std::unique_ptr<PrivateInflux> trusted;     // its certificate from the test's authority
    static inline std::unique_ptr<PrivateInflux> selfSigned;  // its own, self-signed
    static inline std::string error;
    SampleNodeResult made;
    long expected = 0;
};

TEST_F(SecuredCli, LoginsAndCertificatesAreUsedAndNamed) {
    const std::string ca = trusted->CaCertFile();
    const std::string host = trusted->Url().substr(std::string("https://").size());
    const std::string passwordFile = (m_dir / "password").string();
    std::ofstream(passwordFile) << kInfluxWriter.password << "\n";
    const std::string encoded = "p%40ss%3Aw%2Frd%231%20%25";
    struct Case {
        const char* what;
        Invocation run;
        int status;
        std::string says;  // on standard error
    } cases[] = {
        {"user, password from the environment",
         {{"--url", trusted->Url(), "--ca-cert", ca, "--username", "writer"},
          {{"INFLUX_PASSWORD", kInfluxWriter.password}}},
         0,
         "Lines written:"},
        {"user and password from the environment, server too",
         {{"--ca-cert", ca},
          {{"QUARVEL_INFLUX_URL", trusted->Url()},
           {"INFLUX_USERNAME", "writer"},
           {"INFLUX_PASSWORD", kInfluxWriter.password}}},
         0,
         "Lines written:"},
        {"password file",
         {{"--url", trusted->Url(), "--ca-cert", ca, "--username", "writer", "--password-file", passwordFile}},
         0,
         "Lines written:"},
        {"login in the URL as typed",
         {{"--url", "https://writer:" + kInfluxWriter.password + "@" + host, "--ca-cert", ca}},
         0,
         "Lines written:"},
        {"login in the URL percent-encoded",
         {{"--url", "https://writer:" + encoded + "@" + host, "--ca-cert", ca}},
         0,
         "Lines written:"},
        {"wrong password",
         {{"--url", trusted->Url(), "--ca-cert", ca, "--username", "writer"}, {{"INFLUX_PASSWORD", kWrongPassword}}},
         2,
         "refused the login of writer"},
        {"no login", {{"--url", trusted->Url(), "--ca-cert", ca}}, 2, "needs a login"},
        {"a login that may only read",
         {{"--url", trusted->Url(), "--ca-cert", ca, "--username", "reader"},
          {{"INFLUX_PASSWORD", kInfluxReader.password}}},
         2,
         "reader may not write to Ry_Plant_1"},
        {"self-signed, not trusted",
         {{"--url", selfSigned->Url(), "--username", "writer"}, {{"INFLUX_PASSWORD", kInfluxWriter.password}}},
         3,
         "certificate not trusted: self-signed; add --ca-cert FILE or --insecure"},
        {"self-signed, not checked",
         {{"--url", selfSigned->Url(), "--insecure", "--username", "writer"},
          {{"INFLUX_PASSWORD", kInfluxWriter.password}}},
         0,
         "Warning: --insecure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(m_dir / "Logs");
        const testsupport::RunResult result = Convert(c.run);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_TRUE(Contains(result.err, c.says)) << result.err;
        ExpectNoSecrets(result, {kInfluxWriter.password, encoded, kInfluxReader.password, kWrongPassword});
        if (c.status == 0) {
            const PrivateInflux& server = Contains(c.what, "self-signed") ? *selfSigned : *trusted;
            EXPECT_EQ(server.CountPoints(kDatabase), expected);
            EXPECT_EQ(Contains(result.err, "Warning: --insecure"), Contains(c.what, "not checked"));
        } else {
            EXPECT_FALSE(fs::exists(m_dir / "Logs" / "unsent")) << "nothing is read when the checks say no";
            EXPECT_FALSE(Contains(result.err, "cannot be reached") && c.status == 2) << result.err;
        }
    }
}

// A token goes with every request; a server that lets the checks through and then refuses
// every batch stops the run after three refusals instead of reading the whole node into
// unsent-line files. (The stand-in forwards to the shared server, which takes no tokens.)
TEST_F(SecuredCli, ATokenGoesWithEveryRequestAndRefusalsStopTheRun) {
    const auto real = testsupport::ServerUrl();
    if (!real) GTEST_SKIP() << "needs the shared server";
    const std::string database = testsupport::UniqueDatabaseName("Ry_token");
    testsupport::CreateDatabaseWithPolicies(database);
    std::atomic<bool> refuse{false};
    testsupport::FakeHttpServer front([&real, &refuse](const testsupport::FakeRequest& request) {
        if (refuse && request.target.starts_with("/write") && request.bodyLength > 0)
            return testsupport::Answer(403, "\"writer\" user is not authorized to write to database");
        return testsupport::Forward(*real);
    });
    const Invocation run{{"--url", front.Url(), "--database", database, "--jobs", "1"},
                         {{"INFLUX_TOKEN", "s3cret-Token"}}};
    const testsupport::RunResult taken = Convert(run);
    EXPECT_EQ(taken.status, 0) << taken.err;
    EXPECT_EQ(testsupport::CountAllPoints(database), expected);
    for (const std::string& request : front.Requests())
        EXPECT_TRUE(Contains(request, "\r\nAuthorization: Token s3cret-Token\r\n")) << request;
    ExpectNoSecrets(taken, {"s3cret-Token"});

    refuse = true;
    fs::remove_all(m_dir / "Logs");
    const testsupport::RunResult refused = Convert(run);
    testsupport::DropDatabase(database);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "Stopped:           3 batches in a row were refused (HTTP 403")) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "--resume")) << refused.err;
    long long saved = 0;
    const std::string unsent = AllFiles(m_dir / "Logs" / "unsent");
    for (size_t at = unsent.find("# batch "); at != std::string::npos; at = unsent.find("# batch ", at + 1)) ++saved;
    EXPECT_GE(saved, 3);
    EXPECT_EQ(saved, SummaryNumber(refused.err, "Batches failed")) << "each refused batch is kept";
    ExpectNoSecrets(refused, {"s3cret-Token"});
}

}  // namespace

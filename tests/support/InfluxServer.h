#pragma once

// Access to the throwaway InfluxDB server that scripts/test starts. Tests that need it
// call QUARVEL_REQUIRE_SERVER() first; without the server they skip and say why.

#include "ScratchDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

constexpr const char* kServerUrlVariable = "QUARVEL_INFLUX_URL";

// The server's base URL, e.g. "http://127.0.0.1:41234", or nothing when unset.
std::optional<std::string> ServerUrl();

// Runs one InfluxQL statement (POST /query) and returns the parsed answer. Times come
// back as whole seconds since the epoch.
nlohmann::json Query(const std::string& statement, const std::string& database = "");

// A database name that no other test (or earlier run) uses.
std::string UniqueDatabaseName(const std::string& prefix);

// Creates the database with the four retention policies of the writer, all INF.
void CreateDatabaseWithPolicies(const std::string& database);

void DropDatabase(const std::string& database);

// The rows of one measurement in one retention policy, each as column -> value, with
// "time" in seconds.
std::vector<nlohmann::json> SelectAll(const std::string& database, const std::string& retentionPolicy,
                                      const std::string& measurement);

// Number of points of a measurement in a retention policy.
long CountPoints(const std::string& database, const std::string& retentionPolicy, const std::string& measurement);

// The type of each field of a measurement ("float", "integer", ...).
std::map<std::string, std::string> FieldTypes(const std::string& database, const std::string& retentionPolicy,
                                              const std::string& measurement);

}  // namespace testsupport

#define QUARVEL_REQUIRE_SERVER()                                                                                     \
    do {                                                                                                             \
        if (!testsupport::ServerUrl())                                                                               \
            GTEST_SKIP() << "needs an InfluxDB server: run scripts/test, or set " << testsupport::kServerUrlVariable \
                         << " to a server's base URL";                                                               \
    } while (0)

// A test in a scratch folder and in UTC against the shared server, skipped without one. A
// fixture sets itself up in ServerSetUp, which runs only when the server is there.
class ServerTest : public UtcTest {
protected:
    void SetUp() override {
        UtcTest::SetUp();
        QUARVEL_REQUIRE_SERVER();
        url = *testsupport::ServerUrl();
        ServerSetUp();
    }
    virtual void ServerSetUp() {}
    void TearDown() override {
        for (const auto& database : m_databases) testsupport::DropDatabase(database);
        UtcTest::TearDown();
    }

    // The database with the writer's four retention policies, dropped after the test.
    void AddDatabase(const std::string& database) {
        testsupport::CreateDatabaseWithPolicies(database);
        m_databases.push_back(database);
    }
    // Such a database under a name no other test uses.
    std::string NewDatabase(const std::string& prefix) {
        const std::string database = testsupport::UniqueDatabaseName(prefix);
        AddDatabase(database);
        return database;
    }

    std::string url;

private:
    std::vector<std::string> m_databases;
};

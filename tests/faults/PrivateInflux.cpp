#include "PrivateInflux.h"

#include "FreePort.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace faulttest {

namespace {

bool Pings(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return false;
    const std::string ping = url + "/ping";
    curl_easy_setopt(curl, CURLOPT_URL, ping.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 1000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return status == 204;
}

}  // namespace

bool HaveInfluxd() {
    const char* path = std::getenv("PATH");
    std::string folders = path == nullptr ? "" : path;
    for (size_t start = 0; start <= folders.size();) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        if (access((folders.substr(start, end - start) + "/influxd").c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

PrivateInflux::PrivateInflux() {
    if (!m_scratch.Made()) return;
    m_dir = m_scratch.Path().string();
    const unsigned short http = testsupport::FreeLoopbackPort();
    unsigned short rpc = testsupport::FreeLoopbackPort();
    while (rpc == http) rpc = testsupport::FreeLoopbackPort();
    m_url = "http://127.0.0.1:" + std::to_string(http);
    m_config = m_dir + "/influxd.conf";
    std::ofstream(m_config) << "reporting-enabled = false\n"
                            << "bind-address = \"127.0.0.1:" << rpc << "\"\n"
                            << "[meta]\n  dir = \"" << m_dir << "/meta\"\n"
                            << "[data]\n  dir = \"" << m_dir << "/data\"\n  wal-dir = \"" << m_dir << "/wal\"\n"
                            << "  query-log-enabled = false\n"
                            << "[monitor]\n  store-enabled = false\n"
                            << "[subscriber]\n  enabled = false\n"
                            << "[http]\n  bind-address = \"127.0.0.1:" << http << "\"\n"
                            << "  log-enabled = false\n  pprof-enabled = false\n";
}

PrivateInflux::~PrivateInflux() {
    Kill();
}

bool PrivateInflux::Start(std::string& error) {
    if (m_dir.empty()) {
        error = "no temporary folder";
        return false;
    }
    if (!HaveInfluxd()) {
        error = "no influxd on the PATH";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = m_dir + "/influxd.log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> words = {"influxd", "run", "-config", m_config};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&m_pid, "influxd", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        error = "cannot start influxd";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Pings(m_url)) return true;
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

void PrivateInflux::Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

}  // namespace faulttest

#pragma once

// An InfluxDB server of the test's own, on free loopback ports with its data in a temporary
// folder, which the test may kill and start again on the same port and data. The shared
// server of scripts/test is never touched, so tests beside this one go on undisturbed.

#include "ScratchDir.h"

#include <sys/types.h>

#include <string>

namespace faulttest {

class PrivateInflux {
public:
    PrivateInflux();   // prepares the folder and the configuration; Start runs it
    ~PrivateInflux();  // kills the server and removes the folder
    PrivateInflux(const PrivateInflux&) = delete;
    PrivateInflux& operator=(const PrivateInflux&) = delete;

    // Starts influxd and waits until it answers /ping. False with `error` when it does not
    // within 30 s, or when there is no influxd to run.
    bool Start(std::string& error);
    void Kill();  // SIGKILL: no chance to finish anything
    bool Running() const { return m_pid > 0; }

    std::string Url() const { return m_url; }

private:
    ScratchDir m_scratch{"quarvel-faults"};
    std::string m_dir;
    std::string m_config;
    std::string m_url;
    pid_t m_pid = -1;
};

// True when an influxd program is on the PATH.
bool HaveInfluxd();

}  // namespace faulttest

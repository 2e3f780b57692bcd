#pragma once

// A dry run's lines in a file that `influx -import` loads as they are: a DML section
// with the database's context line, and a retention-policy context line before each
// change of policy. A name ending in ".gz" is written compressed; "-" is the standard
// output.

#include "influx/ServerClient.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quarvel {

class DryRunFile {
public:
    DryRunFile();
    ~DryRunFile();
    DryRunFile(const DryRunFile&) = delete;
    DryRunFile& operator=(const DryRunFile&) = delete;

    bool Open(const std::string& path, const std::string& database, std::string& error);
    // Stands for the server's write endpoint: each batch goes to the file, in the policy
    // its URL names. A write that fails answers 500, so the batch counts as not written.
    std::function<HttpResult(const std::string& url, const std::string& body)> Post();
    // False with `error` when the last bytes could not be written.
    bool Close(std::string& error);

private:
    bool Write(const std::string& text);

    struct Output;
    std::unique_ptr<Output> m_output;
    std::mutex m_mutex;
    std::string m_header;  // until the first batch is written
    std::string m_policy;  // of the lines written last
};

}  // namespace quarvel

#pragma once

// quarvel-cli make-sample: a sample node folder for trials.

#include "sample/SampleNode.h"

#include <string>

namespace CLI {
class App;
}

namespace quarvel {

class SampleCommand {
public:
    explicit SampleCommand(CLI::App& app);  // adds "make-sample"
    bool Chosen() const;
    int Run() const;

private:
    CLI::App* m_command;
    std::string m_folder;
    SampleNodeOptions m_options;
};

}  // namespace quarvel

#pragma once

// quarvel-cli make-sample: a sample node folder for trials, or with --live one that keeps writing.

#include "cli/Command.h"
#include "sample/SampleNode.h"

#include <string>

namespace quarvel {

class SampleCommand : public Command {
public:
    explicit SampleCommand(CLI::App& app);  // adds "make-sample"
    int Run() const override;

private:
    std::string m_folder;
    SampleNodeOptions m_options;
    int m_live = 0;  // seconds of live writing; 0: none
};

}  // namespace quarvel

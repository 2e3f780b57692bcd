#pragma once

// Small sample nodes for tests that need a whole node on disk.

#include "SampleNode.h"

#include <stdexcept>
#include <string>

namespace testsupport {

inline SampleNodeResult MakeSmallSampleNode(const std::string& nodeFolder, int tags = 2, int days = 1) {
    SampleNodeOptions options;
    options.tags = tags;
    options.days = days;
    SampleNodeResult made;
    std::string error;
    if (!MakeSampleNode(nodeFolder, options, made, error)) throw std::runtime_error(error);
    return made;
}

}  // namespace testsupport

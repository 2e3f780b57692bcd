// Replays every checked-in input of the fuzz targets, the corpus and the inputs that once
// broke something, so that the ordinary test runs (and the sanitizer runs) check them.

#include "FuzzSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

void PrintTo(const Target& target, std::ostream* out) {
    *out << target.name;
}

const Target kTargets[] = {
    {"dat_name", fuzz::DatName}, {"dat_reader", fuzz::DatReader},   {"table_file", fuzz::TableFile},
    {"ini", fuzz::Ini},          {"line_format", fuzz::LineFormat},
};

std::vector<fs::path> Inputs(const std::string& target) {
    std::vector<fs::path> inputs;
    for (const char* set : {"corpus", "regressions"}) {
        const fs::path folder = fs::path(QUARVEL_FUZZ_INPUTS) / set / target;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryKeptInputKeepsTheInvariants) {
    const Target& target = GetParam();
    const std::vector<fs::path> inputs = Inputs(target.name);
    ASSERT_GE(inputs.size(), 3u) << "the corpus of " << target.name << " is missing";
    std::string current;
    fuzz::SetFailureHandler([&current](const std::string& what) { ADD_FAILURE() << current << ": " << what; });
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        current = input.filename().string();
        target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    fuzz::SetFailureHandler(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& target) { return std::string(target.param.name); });

}  // namespace

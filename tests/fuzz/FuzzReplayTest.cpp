// Every input the fuzzers ever crashed on (fuzz/regressions/<target>/) and every
// seed (fuzz/corpus/<target>/) goes through the fuzz entries again, in every
// flavour: under the asan flavour an old crash comes back as a sanitizer report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "FuzzEntries.h"
#include "support/ScratchDir.h"

// Test names and failures name the target, not its bytes.
void PrintTo(const FUZZ_TARGET& target, std::ostream* out) { *out << target.name; }

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> FilesIn(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<FUZZ_TARGET> {};

TEST_P(FuzzReplay, SeedsAndRegressionsHoldEveryCheck)
{
    const FUZZ_TARGET& target = GetParam();
    const fs::path root = FIELDBOOK_FUZZ_DIR;
    const std::vector<fs::path> seeds = FilesIn(root / "corpus" / target.name);
    // A corpus folder that went missing would make this test pass on nothing.
    ASSERT_GE(seeds.size(), 3u) << root / "corpus" / target.name;
    std::vector<fs::path> inputs = FilesIn(root / "regressions" / target.name);
    inputs.insert(inputs.end(), seeds.begin(), seeds.end());
    for (const fs::path& input : inputs) {
        const std::string bytes = ReadWholeFile(input.string());
        EXPECT_EQ(target.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << input;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kFuzzTargets),
                         [](const ::testing::TestParamInfo<FUZZ_TARGET>& info) { return std::string(info.param.name); });

} // namespace

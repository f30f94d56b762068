#include <gtest/gtest.h>

#include "SovantaCLI/CLI.h"
#include "TestSupport.h"

using namespace sovanta;
using sovanta::test::TempDir;

TEST(CLI, UsageForMissingOrUnknownCommands) {
    const std::string usage = std::string(cli::usageText) + "\n";
    for (auto args : std::vector<std::vector<std::string>>{{}, {"help"}, {"LIST"}, {"scan"}, {"recover", "x"}}) {
        auto r = test::runCLI(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage);
        EXPECT_TRUE(r.err.empty());
    }
    // Every description starts in column 45.
    std::string text = cli::usageText;
    for (const char* word : {"Vis tilsluttede", "Hurtig scanning", "Vis alle", "Dyb scanning", "Gendan filer", "Lav et"}) {
        auto at = text.find(word);
        ASSERT_NE(at, std::string::npos);
        auto lineStart = text.rfind('\n', at) + 1;
        EXPECT_EQ(at - lineStart, 44u) << word;
    }
}

TEST(CLI, SimulatedBadRanges) {
    struct Case {
        const char* value;
        std::vector<ByteRange> ranges;
    };
    for (const auto& c : std::vector<Case>{
             {"1000-2000", {{1000, 2000}}},
             {"0-512,2048-4096", {{0, 512}, {2048, 4096}}},
             {"5-5", {}},
             {"9-3", {}},
             {"7", {}},
             {"1-2-3", {}},
             {"-100-200", {{100, 200}}},
             {"100--200", {{100, 200}}},
             {"100-x-200", {{100, 200}}},
             {" 0-512", {}},
             {"abc", {}},
             {",,1-2,,", {{1, 2}}},
             {"1-99999999999999999999999", {}},
         }) {
        EXPECT_EQ(cli::parseSimulatedBadRanges(c.value), c.ranges) << c.value;
    }
}

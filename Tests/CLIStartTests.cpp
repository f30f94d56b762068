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

TEST(CLI, SourceThatCannotBeOpenedExitsWithTwo) {
    TempDir dir;
    auto r = test::runCLI({"scan", "nodisk"}, {}, dir.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, "Fejl: Filen findes ikke: " + dir.file("nodisk") + "\n");

    // A flag is never taken as the operand.
    auto flag = test::runCLI({"scan", "--deep", "nodisk"}, {}, dir.path().string());
    EXPECT_EQ(flag.status, 2);
    EXPECT_EQ(flag.err, "Fejl: Filen findes ikke: " + dir.file("nodisk") + "\n");

    // A "disk" name that is no file is opened as a device.
    auto device = test::runCLI({"scan", "disk4"}, {}, dir.path().string());
    EXPECT_EQ(device.status, 2);
    EXPECT_EQ(device.err, "Fejl: Kunne ikke åbne " + Platform::rawDevicePrefix() + "disk4: No such file or directory\n");
}

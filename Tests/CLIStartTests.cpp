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
    auto flag = test::runCLI({"tree", "--deep", "nodisk"}, {}, dir.path().string());
    EXPECT_EQ(flag.status, 2);
    EXPECT_EQ(flag.err, "Fejl: Filen findes ikke: " + dir.file("nodisk") + "\n");

    // A "disk" name that is no file is opened as a device.
    auto device = test::runCLI({"scan", "disk4"}, {}, dir.path().string());
    EXPECT_EQ(device.status, 2);
    EXPECT_EQ(device.err, "Fejl: Kunne ikke åbne " + Platform::rawDevicePrefix() + "disk4: No such file or directory\n");
}

// A flag the command does not take, or a word too many, is refused with the
// usage text before anything is opened or written: run without it, the
// command would do what was not asked (all files for a misspelt --deleted).
TEST(CLI, UnknownFlagsAndExtraOperandsAreRefused) {
    const std::string usage = std::string(cli::usageText) + "\n";
    const std::string fat12 = test::fixtureImage("fat12");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const auto& c : std::vector<Case>{
             {{"list", "--deep"}, "Fejl: Ukendt tilvalg til list: --deep\n"},
             {{"list", "disk4"}, "Fejl: For mange argumenter til list: disk4\n"},
             {{"scan", fat12, "--deep"}, "Fejl: Ukendt tilvalg til scan: --deep\n"},
             {{"scan", "-v", fat12}, "Fejl: Ukendt tilvalg til scan: -v\n"},
             {{"scan", fat12, fat12}, "Fejl: For mange argumenter til scan: " + fat12 + "\n"},
             {{"tree", fat12, "--deleted"}, "Fejl: Ukendt tilvalg til tree: --deleted\n"},
             {{"tree", fat12, "--deep", "mere"}, "Fejl: For mange argumenter til tree: mere\n"},
             {{"deep", fat12, "--nocarve"}, "Fejl: Ukendt tilvalg til deep: --nocarve\n"},
             {{"deep", fat12, "ud"}, "Fejl: For mange argumenter til deep: ud\n"},
             {{"recover", fat12, "ud", "--delted"}, "Fejl: Ukendt tilvalg til recover: --delted\n"},
             {{"recover", "--Deep", fat12, "ud"}, "Fejl: Ukendt tilvalg til recover: --Deep\n"},
             {{"recover", fat12, "ud", "--deleted", "ud2"}, "Fejl: For mange argumenter til recover: ud2\n"},
             {{"image", fat12, "kopi.img", "--deep"}, "Fejl: Ukendt tilvalg til image: --deep\n"},
             {{"image", fat12, "kopi.img", "kopi2.img"}, "Fejl: For mange argumenter til image: kopi2.img\n"},
             {{"recover", fat12, "ud", "--x\x1b[2J"}, "Fejl: Ukendt tilvalg til recover: --x\\x1b[2J\n"},
         }) {
        std::string trace;
        for (auto& a : c.args) trace += a + " ";
        SCOPED_TRACE(trace);
        TempDir work;
        auto r = test::runCLI(c.args, {}, work.path().string());
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, c.error);
        EXPECT_TRUE(std::filesystem::is_empty(work.path()));
    }
}

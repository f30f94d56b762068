#include <gtest/gtest.h>

#include <map>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "SovantaApp/Models/RecoveryJob.h"
#include "SovantaApp/Models/Session.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// Every file below a folder by its path there, with its bytes.
std::map<std::string, Bytes> filesBelow(const std::filesystem::path& folder) {
    std::map<std::string, Bytes> out;
    for (auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) out[std::filesystem::relative(entry.path(), folder).string()] = readBytes(entry.path());
    return out;
}

bool waitDone(const RecoveryJobPtr& job) {
    return spinUntil([&] { return !job->running(); });
}

}  // namespace

TEST(RecoveryJob, WritesWhatTheEngineWritesAndReportsProgress) {
    auto session = scannedSession("fat16");
    ASSERT_EQ(session->volumes().size(), 1u);
    auto root = session->volumes()[0]->root;
    TempDir viaJob, direct;

    auto job = RecoveryJob::make();
    int updates = 0;
    QObject::connect(job.get(), &RecoveryJob::progressChanged, [&] { ++updates; });
    job->start({root}, "fat16", session->source, viaJob.path(), RecoveryOptions{});
    EXPECT_TRUE(job->running());
    EXPECT_FALSE(job->result());
    auto reporter = job->reporter;
    job->start({root}, "other", session->source, direct.path(), RecoveryOptions{});  // ignored while running
    EXPECT_EQ(job->reporter, reporter);
    ASSERT_TRUE(waitDone(job));
    ASSERT_TRUE(job->result());
    EXPECT_TRUE(std::filesystem::is_empty(direct.path()));

    WorkProgress progress;
    auto expected = RecoveryEngine::recover({root}, "fat16", *session->source, direct.path(), RecoveryOptions{},
                                            progress, [](const RecoveryProgress&) {});
    const auto& got = *job->result();
    EXPECT_EQ(got.recovered, expected.recovered);
    EXPECT_EQ(got.withErrors, expected.withErrors);
    EXPECT_EQ(got.failed, expected.failed);
    EXPECT_EQ(got.bytes, expected.bytes);
    EXPECT_FALSE(got.cancelled);
    EXPECT_EQ(got.failures, expected.failures);
    ASSERT_TRUE(got.folder && expected.folder);
    EXPECT_EQ(filesBelow(*got.folder), filesBelow(*expected.folder));
    EXPECT_GT(expected.recovered, 10);

    // The first update passes; later ones at most every 0.1 s.
    EXPECT_GE(updates, 1);
    EXPECT_EQ(job->progress().filesTotal, expected.recovered + expected.withErrors + expected.failed);
}

TEST(RecoveryJob, CancelEndsWithACancelledResult) {
    auto session = scannedSession("fat16");
    TempDir out;
    auto job = RecoveryJob::make();
    {
        // Cancelled while it copies its first file.
        RecoveryHold hold;
        job->start({session->volumes()[0]->root}, "fat16", session->source, out.path(), RecoveryOptions{});
        ASSERT_TRUE(spinUntil([&] { return hold.held(); }));
        job->reporter->cancel();
        hold.release();
        ASSERT_TRUE(waitDone(job));
    }
    ASSERT_TRUE(job->result());
    EXPECT_TRUE(job->result()->cancelled);

    // A new run clears the result and has a reporter of its own.
    job->start({session->volumes()[0]->root}, "fat16", session->source, out.path(), RecoveryOptions{});
    EXPECT_FALSE(job->result());
    EXPECT_FALSE(job->reporter->isCancelled());
    ASSERT_TRUE(waitDone(job));
    EXPECT_FALSE(job->result()->cancelled);
}

// Scans go on adding to a volume's tree on the GUI thread while a recovery
// copies out of it: the copy works from what was chosen when it started and
// never walks the live tree.
TEST(RecoveryJob, CopiesWhatWasChosenWhileScansExtendTheTree) {
    auto session = scannedSession("damage_fat32_root_destroyed");
    ASSERT_EQ(session->volumes().size(), 1u);
    auto root = session->volumes()[0]->root;
    for (int round = 0; round < 4; ++round) {
        const auto chosen = root->totals().files;
        TempDir out;
        auto job = RecoveryJob::make();
        job->start({root}, "fat32", session->source, out.path(), RecoveryOptions{});
        if (round == 0) session->startDeepScan();  // its merge adds the lost folders to this root
        int added = 0;
        ASSERT_TRUE(spinUntil([&] {
            auto folder = FileNode::make("extra " + std::to_string(round) + "-" + std::to_string(added++), true);
            folder->add(FileNode::make("x.txt", false, 1, EntryStatus::deleted, Recoverability::poor,
                                       std::vector<Extent>{{0, 1}}));
            root->add(folder);
            return !job->running();
        }));
        ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
        const auto& r = *job->result();
        EXPECT_EQ(r.recovered + r.withErrors + r.failed, chosen) << round;
    }
}

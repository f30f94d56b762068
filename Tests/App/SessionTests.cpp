#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <QThreadPool>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "SovantaApp/Models/Session.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

SessionPtr openSession(const std::string& fixtureName) {
    auto session = Session::make(openFixture(fixtureName), fixtureName + ".img");
    session->setImageURL(fixtureImage(fixtureName));
    return session;
}

void runQuick(const SessionPtr& s) {
    s->startQuickScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(s->quick()); }));
}
void runDeep(const SessionPtr& s) {
    s->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(s->deep()); }));
}

// A manifest's partitions by the prefix of their rows ("p1:").
std::map<std::string, ManifestPartition> partitionsByPrefix(const std::string& fixtureName) {
    std::map<std::string, ManifestPartition> out;
    for (auto& p : manifestPartitions(fixtureName)) out[p.prefix] = p;
    return out;
}

}  // namespace

TEST(Session, QuickScanGivesTheTableTheVolumesAndTheirTotals) {
    auto session = openSession("mbr_extended");
    std::vector<TaskPhase> phases;
    int versions = 0;
    QObject::connect(session.get(), &Session::quickChanged, [&] { phases.push_back(session->quick()); });
    QObject::connect(session.get(), &Session::treeVersionChanged, [&] { ++versions; });

    session->startQuickScan();
    EXPECT_EQ(session->quick(), TaskPhase(phase::Running{std::nullopt, "Læser partitionstabel …"}));
    auto reporter = session->reporter;
    // Neither scan starts while one runs, and the running scan keeps its reporter.
    session->startQuickScan();
    session->startDeepScan();
    EXPECT_EQ(session->reporter, reporter);
    EXPECT_EQ(session->deep(), TaskPhase(phase::Idle{}));
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));

    EXPECT_EQ(session->quick(), TaskPhase(phase::Finished{}));
    ASSERT_GE(phases.size(), 2u);
    for (size_t i = 0; i + 1 < phases.size(); ++i) {
        auto* running = std::get_if<phase::Running>(&phases[i]);
        ASSERT_TRUE(running) << "a phase after the end";
        if (running->fraction) {
            EXPECT_GT(*running->fraction, 0.0);
        }
        // A phase is announced when it changes, and only then.
        EXPECT_NE(phases[i], phases[i + 1]) << "a phase announced twice";
    }
    ASSERT_TRUE(session->layout());
    EXPECT_EQ(session->layout()->scheme, "MBR");
    EXPECT_EQ(session->notes(), session->layout()->notes);

    auto partitions = partitionsByPrefix("mbr_extended");
    std::vector<std::string> expected = {"p1:", "p5:", "p6:"};
    ASSERT_EQ(session->volumes().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        auto& v = session->volumes()[i];
        SCOPED_TRACE(expected[i]);
        EXPECT_EQ(v->offset, partitions[expected[i]].offset);
        EXPECT_EQ(rawValue(v->type), partitions[expected[i]].fileSystem);
        EXPECT_EQ(v->origin, origin::partitionTable);
    }
    // FAT and exFAT list exactly what the manifest holds.
    EXPECT_EQ(session->volumeStats().size(), 3u);
    EXPECT_EQ(session->volumeStats().at(session->volumes()[0]->id), manifestTotals("mbr_extended", "p1:"));
    EXPECT_EQ(session->volumeStats().at(session->volumes()[2]->id), manifestTotals("mbr_extended", "p6:"));

    EXPECT_EQ(session->treeVersion(), 1);
    EXPECT_EQ(versions, 1);
    EXPECT_EQ(session->selectedVolumeID(), session->volumes()[0]->id);
    EXPECT_EQ(session->badSectors(), 0);
}

TEST(Session, EmptyDiskLeavesNoSelection) {
    auto session = openSession("gpt_empty");
    runQuick(session);
    EXPECT_EQ(session->quick(), TaskPhase(phase::Finished{}));
    EXPECT_TRUE(session->volumes().empty());
    EXPECT_EQ(session->selectedVolumeID(), std::nullopt);
    EXPECT_EQ(session->treeVersion(), 1);
    // A merge that changes nothing still raises the version.
    runQuick(session);
    EXPECT_EQ(session->treeVersion(), 2);
}

TEST(Session, DeepScanBringsBackLostVolumesThenCarvedFiles) {
    auto session = openSession("damage_gpt_all_tables_zeroed");
    runQuick(session);
    EXPECT_TRUE(session->volumes().empty());

    std::vector<TaskPhase> phases;
    QObject::connect(session.get(), &Session::deepChanged, [&] { phases.push_back(session->deep()); });
    session->startDeepScan();
    EXPECT_EQ(session->deep(), TaskPhase(phase::Running{0.0, "Scanner hele disken …"}));
    EXPECT_EQ(session->deepStats().position, 0u);
    session->startQuickScan();
    EXPECT_EQ(session->quick(), TaskPhase(phase::Finished{}));
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));

    EXPECT_EQ(session->deep(), TaskPhase(phase::Finished{}));
    EXPECT_TRUE(session->deepCompleted());
    EXPECT_EQ(session->deepStats().position, session->source->size);
    // The analysis follows the sweep, and nothing runs after the end.
    auto analysing = std::find(phases.begin(), phases.end(), TaskPhase(phase::Running{std::nullopt, "Analyserer fund …"}));
    ASSERT_NE(analysing, phases.end());
    for (auto it = phases.begin(); it != analysing; ++it) {
        auto* running = std::get_if<phase::Running>(&*it);
        ASSERT_TRUE(running);
        EXPECT_EQ(running->message, "Scanner hele disken …");
        EXPECT_NE(*it, *(it + 1)) << "a phase announced twice";
    }
    EXPECT_EQ(phases.back(), TaskPhase(phase::Finished{}));

    auto partitions = manifestPartitions("damage_gpt_all_tables_zeroed");
    std::map<uint64_t, std::string> found;
    auto& volumes = session->volumes();
    ASSERT_GE(volumes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) found[volumes[i]->offset] = rawValue(volumes[i]->type);
    for (auto& p : partitions) EXPECT_EQ(found[p.offset], p.fileSystem) << p.prefix;
    // Carved files, when any, come last in their one volume.
    for (size_t i = 3; i < volumes.size(); ++i) EXPECT_EQ(volumes[i]->type, FileSystemType::carved);
    EXPECT_LE(volumes.size(), 4u);
    EXPECT_EQ(session->selectedVolumeID(), volumes[0]->id);
    EXPECT_EQ(session->volumeStats().size(), volumes.size());
    EXPECT_EQ(session->treeVersion(), 2);
}

TEST(Session, RepeatedScansKeepWhatTheDeepScanFound) {
    auto session = openSession("damage_fat32_root_destroyed");
    runQuick(session);
    ASSERT_EQ(session->volumes().size(), 1u);
    auto fat = session->volumes()[0];
    runDeep(session);
    ASSERT_EQ(session->volumes().size(), 2u);
    EXPECT_EQ(session->volumes()[0], fat);
    auto carved = session->volumes()[1];
    EXPECT_EQ(carved->type, FileSystemType::carved);
    ASSERT_FALSE(fat->root->children().empty());
    EXPECT_EQ(fat->root->children().back()->name, "$Tabte mappefragmenter");
    auto withFolder = session->volumeStats().at(fat->id);

    // Orphaned files of the lost folders count as not existing.
    size_t orphaned = 0;
    for (auto& row : readManifest("damage_fat32_root_destroyed")) orphaned += row.status == "orphaned" && !row.isFolder();
    EXPECT_GE(withFolder.deleted, static_cast<int64_t>(orphaned));

    // A new quick scan puts its volume first and keeps the carved one behind it;
    // the folder went with the volume it was added to.
    runQuick(session);
    ASSERT_EQ(session->volumes().size(), 2u);
    EXPECT_NE(session->volumes()[0], fat);
    EXPECT_EQ(session->volumes()[1], carved);
    EXPECT_LT(session->volumeStats().at(session->volumes()[0]->id).files, withFolder.files);
    EXPECT_EQ(session->selectedVolumeID(), fat->id);  // a present selection stays
    EXPECT_FALSE(session->volumeStats().count(fat->id));

    // A deep scan without carving drops the earlier carved volume.
    auto options = session->deepOptions();
    options.carve = false;
    session->setDeepOptions(options);
    runDeep(session);
    for (auto& v : session->volumes()) EXPECT_NE(v->type, FileSystemType::carved);
}

TEST(Session, RepeatedDeepScanAddsNoFolderTwice) {
    const std::string deletedFolder = "$Slettede filer (gamle træknuder)";
    auto session = openSession("apfs_single");
    runQuick(session);
    ASSERT_EQ(session->volumes().size(), 1u);
    auto volume = session->volumes()[0];
    auto count = [&] {
        return std::count_if(volume->root->children().begin(), volume->root->children().end(),
                             [&](const FileNodePtr& n) { return n->name == deletedFolder; });
    };
    runDeep(session);
    ASSERT_EQ(count(), 1);
    auto first = session->volumeStats().at(volume->id);
    runDeep(session);
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(session->volumeStats().at(volume->id), first);
}

TEST(Session, CancelledScansEndCancelledAndKeepWhatWasFound) {
    auto session = openSession("gpt_fat32_ntfs_exfat");
    session->startQuickScan();
    session->reporter->cancel();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    EXPECT_EQ(session->quick(), TaskPhase(phase::Cancelled{}));
    EXPECT_EQ(session->treeVersion(), 1);

    runQuick(session);
    ASSERT_EQ(session->volumes().size(), 3u);
    auto before = session->volumes();
    {
        // Cancelled before it reads: a sweep that had ended first would be complete.
        BackgroundHold hold;
        session->startDeepScan();
        session->reporter->cancel();
    }
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    EXPECT_EQ(session->deep(), TaskPhase(phase::Cancelled{}));
    EXPECT_FALSE(session->deepCompleted());
    // The volumes stay; what the sweep found before it stopped comes behind them.
    auto after = session->volumes();
    ASSERT_GE(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    for (size_t i = before.size(); i < after.size(); ++i) EXPECT_NE(after[i]->origin, origin::partitionTable);
    EXPECT_EQ(session->treeVersion(), 3);
}

TEST(Session, TestDeepRunsOnceAfterTheFirstQuickScan) {
    ::setenv("SOVANTA_TEST_DEEP", "", 1);
    auto session = openSession("fat12");
    ::unsetenv("SOVANTA_TEST_DEEP");
    EXPECT_TRUE(session->autoDeepScan);
    EXPECT_FALSE(openSession("fat12")->autoDeepScan);

    // The deep scan starts in the quick merge, also after a cancel. Work is
    // held back from the end of the quick scan, so that the small deep scan
    // is still running when the test looks.
    std::unique_ptr<BackgroundHold> hold;
    QObject::connect(session.get(), &Session::quickChanged, [&] {
        if (!isRunning(session->quick()) && !hold) hold = std::make_unique<BackgroundHold>();
    });
    session->startQuickScan();
    session->reporter->cancel();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    EXPECT_EQ(session->quick(), TaskPhase(phase::Cancelled{}));
    EXPECT_TRUE(isRunning(session->deep()));
    EXPECT_FALSE(session->autoDeepScan);
    hold->release();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    EXPECT_EQ(session->deep(), TaskPhase(phase::Finished{}));

    runQuick(session);
    EXPECT_EQ(session->deep(), TaskPhase(phase::Finished{}));
}

// A read in flight holds the source, on a failing disk for as long as the
// disk takes: merging a scan's result on the GUI thread must not wait for it.
// The stand-in for such a read is the source's closing, which holds the source
// while its clean-up step runs; the step lasts until it is let go (or, should
// the merge wait for it, 30 s), and the merge must come while it still holds.
TEST(Session, MergingAScanWaitsForNoReadInFlight) {
    for (bool deep : {false, true}) {
        SCOPED_TRACE(deep ? "deep scan" : "quick scan");
        const std::string path = fixtureImage("fat12");
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::atomic<bool> holding{false}, letGo{false};
        auto source = std::make_shared<DiskSource>(
            fd, path, "fat12", std::filesystem::file_size(path), 512, false, std::nullopt, [&] {
                holding = true;
                auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (!letGo && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                holding = false;
            });
        auto session = Session::make(source, "fat12.img");
        if (deep) runQuick(session);
        deep ? session->startDeepScan() : session->startQuickScan();
        // The scan has read all it reads and posted its result; nothing is merged yet.
        sovanta::app::backgroundPool().waitForDone();
        std::thread reader([&] { source->close(); });
        while (!holding) std::this_thread::yield();

        const bool merged = spinUntil([&] { return !isRunning(deep ? session->deep() : session->quick()); });
        const bool mergedWhileHeld = holding;
        letGo = true;
        reader.join();
        EXPECT_TRUE(merged);
        EXPECT_TRUE(mergedWhileHeld) << "the merge waited for the read in flight";
        EXPECT_EQ(session->badSectors(), 0);
    }
}

TEST(Session, ViewStateNotifiesOnlyOnChange) {
    auto session = openSession("fat12");
    int tabs = 0, offsets = 0, options = 0;
    QObject::connect(session.get(), &Session::tabChanged, [&] { ++tabs; });
    QObject::connect(session.get(), &Session::sectorOffsetChanged, [&] { ++offsets; });
    QObject::connect(session.get(), &Session::deepOptionsChanged, [&] { ++options; });
    session->setTab(SessionTab::overview);
    session->setTab(SessionTab::files);
    session->setTab(SessionTab::files);
    session->setSectorOffset(0);
    session->setSectorOffset(512);
    session->setDeepOptions(DeepScanOptions{});
    auto changed = DeepScanOptions{};
    changed.categories.erase(FileCategory::other);
    session->setDeepOptions(changed);
    EXPECT_EQ(tabs, 1);
    EXPECT_EQ(offsets, 1);
    EXPECT_EQ(options, 1);
}

#ifndef QT_NO_DEBUG
TEST(SessionDeathTest, WritingOffTheGUIThreadIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto session = openSession("fat12");
    EXPECT_DEATH(
        {
            std::thread worker([&] { session->setTab(SessionTab::files); });
            worker.join();
        },
        "GUI thread");
}
#endif

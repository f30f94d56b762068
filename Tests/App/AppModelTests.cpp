#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <unordered_set>

#include <fcntl.h>
#include <unistd.h>

#include <QThreadPool>

#include "AppTestSupport.h"
#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Panels.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// A fixture image opened as if it were the device of a disk.
DiskSourcePtr fixtureAsDevice(const std::string& name, const std::string& bsdName,
                              std::vector<ByteRange> badRanges = {}) {
    auto path = fixtureImage(name);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SourceError::openFailed(path, errno);
    return std::make_shared<DiskSource>(fd, path, name, std::filesystem::file_size(path), 512, true, bsdName,
                                        nullptr, withBadRanges(badRanges));
}

DiskInfo diskNamed(const std::string& bsdName, const std::string& mediaName) {
    DiskInfo disk;
    disk.bsdName = bsdName;
    disk.mediaName = mediaName;
    return disk;
}

// A model whose disk list and device opener are the test's.
struct Harness {
    std::vector<DiskInfo> disks = {diskNamed("sdx", "Testdisk"), diskNamed("sdy", "")};
    std::atomic<int> deviceOpenings = 0;
    std::vector<ByteRange> deviceBadRanges;
    AppModelPtr model;

    Harness() {
        AppModel::Services services;
        services.loadDisks = [this] { return disks; };
        services.openDevice = [this](const std::string& bsdName, const std::string&) {
            ++deviceOpenings;
            if (bsdName == "sdx" || bsdName == "sdy") return fixtureAsDevice("fat12", bsdName, deviceBadRanges);
            throw SourceError::authorizationFailed("/dev/" + bsdName);
        };
        model = AppModel::make(std::move(services));
        EXPECT_TRUE(spinUntil([&] { return !model->loadingDisks(); }));
    }
    ~Harness() {
        // Scans and copies still running end before their sources go.
        for (auto& job : model->imagingJobs()) job->stop();
        spinUntil([&] {
            for (auto& job : model->imagingJobs())
                if (job->running()) return false;
            for (auto& session : model->sessions())
                if (isRunning(session->quick()) || isRunning(session->deep())) return false;
            return true;
        });
    }

    SessionPtr openImageAndWait(const std::string& path, std::optional<SessionTab> tab = std::nullopt) {
        auto before = model->sessions().size();
        model->openImage(path, tab);
        EXPECT_TRUE(spinUntil([&] { return model->sessions().size() > before || model->errorMessage(); }));
        return model->sessions().size() > before ? model->sessions().back() : nullptr;
    }
    SessionPtr openDiskAndWait(const DiskInfo& disk) {
        auto before = model->sessions().size();
        model->open(disk);
        EXPECT_TRUE(spinUntil([&] { return model->sessions().size() > before || model->errorMessage(); }));
        return model->sessions().size() > before ? model->sessions().back() : nullptr;
    }
};

SidebarItem selected(const SessionPtr& s) { return sidebar::Session{s->id}; }

bool waitQuick(const SessionPtr& s) { return spinUntil([&] { return !isRunning(s->quick()); }); }

}  // namespace

TEST(AppModel, OpensAnImageOnceWhateverPathReachesIt) {
    Harness h;
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Welcome{}));
    auto path = fixtureImage("fat12");
    h.model->openImage(path);
    EXPECT_EQ(h.model->opening(), "fat12.img");
    EXPECT_TRUE(h.model->sessions().empty());
    ASSERT_TRUE(spinUntil([&] { return !h.model->sessions().empty(); }));
    auto session = h.model->sessions().front();
    EXPECT_FALSE(h.model->opening());
    EXPECT_EQ(session->title, "fat12.img");
    EXPECT_EQ(session->imageURL(), path);
    EXPECT_FALSE(session->disk);
    EXPECT_EQ(h.model->selection(), selected(session));
    EXPECT_EQ(h.model->session(session->id), session);
    ASSERT_TRUE(waitQuick(session));
    EXPECT_EQ(session->quick(), TaskPhase(phase::Finished{}));
    EXPECT_FALSE(session->volumes().empty());

    // The same file through "." and "..", with a tab: the open session is
    // selected, nothing is opened and the tab is not applied.
    auto folder = std::filesystem::path(path).parent_path();
    for (auto& again : {folder.string() + "/./fat12.img",
                        folder.string() + "/../" + folder.filename().string() + "/fat12.img"}) {
        h.model->setSelection(sidebar::Welcome{});
        h.model->openImage(again, SessionTab::files);
        EXPECT_FALSE(h.model->opening());
        EXPECT_EQ(h.model->selection(), selected(session));
        EXPECT_EQ(h.model->sessions().size(), 1u);
        EXPECT_EQ(session->tab(), SessionTab::overview);
    }
    drainEvents();
    EXPECT_EQ(h.model->sessions().size(), 1u);

    // Another file is a session of its own, with its tab.
    auto other = h.openImageAndWait(fixtureImage("fat16"), SessionTab::sectors);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->tab(), SessionTab::sectors);
    EXPECT_EQ(h.model->selection(), selected(other));
    EXPECT_EQ(h.model->sessions().size(), 2u);
}

TEST(AppModel, FailedOpeningsLeaveNoSessionAndTheCoresDescription) {
    Harness h;
    std::string missing = "/nonexistent-folder/lost.img";
    std::string expected;
    try {
        SourceOpener::openImage(missing);
    } catch (const SourceError& error) {
        expected = error.description();
    }
    ASSERT_FALSE(expected.empty());
    h.model->openImage(missing);
    EXPECT_EQ(h.model->opening(), "lost.img");
    ASSERT_TRUE(spinUntil([&] { return !h.model->opening(); }));
    EXPECT_EQ(h.model->errorMessage(), expected);
    EXPECT_TRUE(h.model->sessions().empty());
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Welcome{}));

    // A refused device: no session, no job, the refusal's description.
    h.model->setErrorMessage(std::nullopt);
    h.model->open(diskNamed("sdz", "Låst"));
    EXPECT_EQ(h.model->opening(), "sdz");
    ASSERT_TRUE(spinUntil([&] { return !h.model->opening(); }));
    EXPECT_EQ(h.model->errorMessage(), SourceError::authorizationFailed("/dev/sdz").description());
    h.model->startImaging(diskNamed("sdz", "Låst"), "/tmp/never.img", ImagingOptions{});
    ASSERT_TRUE(spinUntil([&] { return !h.model->opening(); }));
    EXPECT_TRUE(h.model->sessions().empty());
    EXPECT_TRUE(h.model->imagingJobs().empty());
    EXPECT_FALSE(std::filesystem::exists("/tmp/never.img"));
}

TEST(AppModel, OpensADiskOnceAndClosingSelectsAsItShould) {
    Harness h;
    auto session = h.openDiskAndWait(h.disks[0]);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->title, "Testdisk");
    ASSERT_TRUE(session->disk);
    EXPECT_EQ(session->disk->bsdName, "sdx");
    EXPECT_EQ(h.model->selection(), selected(session));
    EXPECT_EQ(h.model->sessionFor("sdx"), session);
    EXPECT_FALSE(h.model->sessionFor("sdy"));
    // A disk without a media name is titled with its BSD name.
    auto unnamed = h.openDiskAndWait(h.disks[1]);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->title, "sdy");

    // Opening it again only selects it.
    h.model->setSelection(sidebar::Disk{"sdx"});
    h.model->open(h.disks[0]);
    EXPECT_EQ(h.model->selection(), selected(session));
    drainEvents();
    EXPECT_EQ(h.deviceOpenings, 2);
    EXPECT_EQ(h.model->sessions().size(), 2u);

    auto image = h.openImageAndWait(fixtureImage("fat16"));
    ASSERT_TRUE(image);

    // An unselected session goes without touching the selection.
    ASSERT_TRUE(waitQuick(unnamed));
    h.model->close(unnamed);
    EXPECT_EQ(h.model->selection(), selected(image));
    // The selected session of an image gives the start page ...
    h.model->close(image);
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Welcome{}));
    // ... that of a disk gives the disk's page, and a running scan is cancelled.
    h.model->setSelection(selected(session));
    session->startDeepScan();
    ASSERT_TRUE(session->reporter);
    auto reporter = session->reporter;
    h.model->close(session);
    EXPECT_TRUE(reporter->isCancelled());
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Disk{"sdx"}));
    EXPECT_TRUE(h.model->sessions().empty());
    // No job holds their sources: all three close.
    EXPECT_TRUE(spinUntil([&] { return session->source->isClosed() && image->source->isClosed() &&
                                       unnamed->source->isClosed(); }));
    EXPECT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
}

TEST(AppModel, DiskListLoadsKeepOrDropTheSelection) {
    Harness h;
    EXPECT_EQ(h.model->disks(), h.disks);
    ASSERT_NE(h.model->disk("sdy"), nullptr);
    EXPECT_EQ(h.model->disk("sdy")->bsdName, "sdy");
    EXPECT_EQ(h.model->disk("sdq"), nullptr);

    int disksSignals = 0;
    QObject::connect(h.model.get(), &AppModel::disksChanged, [&] { ++disksSignals; });
    h.model->setSelection(sidebar::Disk{"sdy"});
    h.model->refreshDisks();
    EXPECT_TRUE(h.model->loadingDisks());
    ASSERT_TRUE(spinUntil([&] { return !h.model->loadingDisks(); }));
    EXPECT_EQ(disksSignals, 0);  // an equal list tells nobody
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Disk{"sdy"}));

    h.disks.pop_back();
    h.model->refreshDisks();
    ASSERT_TRUE(spinUntil([&] { return !h.model->loadingDisks(); }));
    EXPECT_EQ(disksSignals, 1);
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Welcome{}));

    // Other selections survive a load.
    for (SidebarItem kept : {SidebarItem(sidebar::Session{Uuid::random()}), SidebarItem(sidebar::Imaging{Uuid::random()}),
                             SidebarItem(sidebar::Disk{"sdx"})}) {
        h.model->setSelection(kept);
        h.model->refreshDisks();
        ASSERT_TRUE(spinUntil([&] { return !h.model->loadingDisks(); }));
        EXPECT_EQ(h.model->selection(), kept);
    }
    h.model->setSelection(std::nullopt);
    h.model->refreshDisks();
    ASSERT_TRUE(spinUntil([&] { return !h.model->loadingDisks(); }));
    EXPECT_FALSE(h.model->selection());
}

TEST(AppModel, TheDiskListComesFromTheDiskTool) {
    auto model = AppModel::make();
    EXPECT_TRUE(model->loadingDisks());
    ASSERT_TRUE(spinUntil([&] { return !model->loadingDisks(); }));
    // Other tests attach and detach loop devices meanwhile: those are left out.
    auto lasting = [](std::vector<DiskInfo> disks) {
        std::erase_if(disks, [](const DiskInfo& d) { return d.bsdName.rfind("loop", 0) == 0; });
        return disks;
    };
    EXPECT_EQ(lasting(model->disks()), lasting(DiskList::load()));
    ASSERT_NE(model->watcher(), nullptr);
}

TEST(AppModel, TheOpenPanelAsksForOneFileAndOpensIt) {
    Harness h;
    auto saved = Panels::openFile;
    std::optional<std::string> answer;
    std::vector<Panels::OpenFile> asked;
    Panels::openFile = [&](const Panels::OpenFile& request) {
        asked.push_back(request);
        return answer;
    };
    h.model->presentOpenImagePanel();
    drainEvents();
    EXPECT_TRUE(h.model->sessions().empty());
    EXPECT_FALSE(h.model->opening());

    answer = fixtureImage("fat12");
    h.model->presentOpenImagePanel();
    Panels::openFile = saved;
    ASSERT_TRUE(spinUntil([&] { return !h.model->sessions().empty(); }));
    EXPECT_EQ(h.model->sessions().front()->imageURL(), answer);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].title, "Åbn diskbillede");
    EXPECT_EQ(asked[0].message, "Vælg et diskbillede (.img, .dd, .raw, .dmg …)");
}

TEST(AppModel, ImagingASessionAndRemovingTheJob) {
    Harness h;
    TempDir dir;
    auto session = h.openImageAndWait(fixtureImage("fat12"));
    ASSERT_TRUE(session);
    h.model->startImaging(session, dir.file("copy.img"), ImagingOptions{1, 65536, 1 << 20});
    ASSERT_EQ(h.model->imagingJobs().size(), 1u);
    auto job = h.model->imagingJobs().front();
    EXPECT_EQ(job->title, "fat12.img");
    EXPECT_EQ(job->imageURL, dir.file("copy.img"));
    EXPECT_EQ(job->imager->source, session->source);
    EXPECT_EQ(job->cells().size(), 1200u);
    EXPECT_TRUE(job->running());
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Imaging{job->id}));
    EXPECT_EQ(h.model->job(job->id), job);
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    EXPECT_EQ(readBytes(dir.file("copy.img")), readBytes(fixtureImage("fat12")));

    // The job has ended with nothing left: closing the session closes its source.
    ASSERT_TRUE(waitQuick(session));
    h.model->close(session);
    EXPECT_TRUE(spinUntil([&] { return session->source->isClosed(); }));

    // An unselected job goes without touching the selection.
    h.model->setSelection(sidebar::Disk{"sdx"});
    h.model->removeJob(job);
    EXPECT_TRUE(h.model->imagingJobs().empty());
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Disk{"sdx"}));

    // A disk with no session is opened for the job alone, titled by the disk.
    h.model->startImaging(h.disks[0], dir.file("disk.img"), ImagingOptions{1, 65536, 1 << 20});
    EXPECT_EQ(h.model->opening(), "sdx");
    ASSERT_TRUE(spinUntil([&] { return !h.model->imagingJobs().empty(); }));
    auto diskJob = h.model->imagingJobs().front();
    EXPECT_EQ(diskJob->title, "Testdisk");
    EXPECT_TRUE(h.model->sessions().empty());
    ASSERT_TRUE(spinUntil([&] { return diskJob->finished(); }));
    // ... and a disk with a session lends the session's source.
    auto diskSession = h.openDiskAndWait(h.disks[0]);
    ASSERT_TRUE(diskSession);
    int openings = h.deviceOpenings;
    h.model->startImaging(h.disks[0], dir.file("lent.img"), ImagingOptions{1, 65536, 1 << 20});
    ASSERT_EQ(h.model->imagingJobs().size(), 2u);
    EXPECT_EQ(h.model->imagingJobs().back()->imager->source, diskSession->source);
    EXPECT_EQ(h.deviceOpenings, openings);
    ASSERT_TRUE(spinUntil([&] { return h.model->imagingJobs().back()->finished(); }));
}

// A paused copy keeps its thread for as long as it is paused. Qt draws parts
// of the window on threads of its own global pool: were the copies there, a
// few paused ones could leave the window waiting for a thread to paint with.
TEST(AppModel, PausedCopiesLeaveQtsOwnThreadsFree) {
    Harness h;
    TempDir dir;
    auto session = h.openImageAndWait(fixtureImage("gpt_fat32_ntfs_exfat"));
    ASSERT_TRUE(session);
    std::vector<ImagingJobPtr> jobs;
    const int count = QThreadPool::globalInstance()->maxThreadCount();
    for (int i = 0; i < count; ++i) {
        BackgroundHold hold;
        h.model->startImaging(session, dir.file("copy" + std::to_string(i) + ".img"), ImagingOptions{1, 4096, 1 << 20});
        jobs.push_back(h.model->imagingJobs().back());
        jobs.back()->togglePause();
    }
    for (auto& job : jobs) ASSERT_TRUE(spinUntil([&] { return !job->samples().empty(); }));
    EXPECT_EQ(QThreadPool::globalInstance()->activeThreadCount(), 0);
    for (auto& job : jobs) h.model->removeJob(job);
    for (auto& job : jobs) ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
}

TEST(AppModel, RemovingTheSelectedJobCancelsItAlsoWhenPaused) {
    Harness h;
    TempDir dir;
    auto session = h.openImageAndWait(fixtureImage("gpt_fat32_ntfs_exfat"));
    ASSERT_TRUE(session);
    for (bool pause : {false, true}) {
        auto image = dir.file(pause ? "paused.img" : "running.img");
        // Held before its first read, so that it is still running when removed:
        // the paused one is let go to its pause, the other stays held until then.
        BackgroundHold hold;
        h.model->startImaging(session, image, ImagingOptions{1, 4096, 1 << 20});
        ImagingJobPtr job = h.model->imagingJobs().back();
        if (pause) {
            job->togglePause();
            hold.release();
            ASSERT_TRUE(spinUntil([&] { return !job->samples().empty(); }));
        }
        h.model->removeJob(job);
        EXPECT_FALSE(job->paused());
        EXPECT_FALSE(job->imager->paused());
        EXPECT_TRUE(h.model->imagingJobs().empty());
        EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Welcome{}));
        hold.release();
        ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
        EXPECT_EQ(job->stats().phase, "Stoppet");
    }
    // The source is not the job's to close.
    EXPECT_FALSE(session->source->isClosed());
}

// A job that ended with bytes to try again can be continued ("Genoptag"): the
// session's source stays open for it, whichever comes first, the closing or
// the continuing.
TEST(AppModel, ASourceStaysOpenWhileAJobCanContinueFromIt) {
    const std::vector<ByteRange> bad = {{64 * 1024, 64 * 1024 + 4096}};
    for (bool closeFirst : {true, false}) {
        SCOPED_TRACE(closeFirst ? "closed, then continued" : "continued, then closed");
        Harness h;
        h.deviceBadRanges = bad;
        TempDir dir;
        auto session = h.openDiskAndWait(h.disks[0]);
        ASSERT_TRUE(session);
        ASSERT_TRUE(waitQuick(session));
        h.model->startImaging(session, dir.file("copy.img"), ImagingOptions{1, 65536, 1 << 20});
        auto job = h.model->imagingJobs().back();
        ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
        ASSERT_EQ(job->stats().bad, 4096u);
        EXPECT_TRUE(job->needsSource());

        if (closeFirst) {
            h.model->close(session);
            drainEvents();
            job->start();
        } else {
            job->start();
            h.model->close(session);
        }
        ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
        EXPECT_FALSE(session->source->isClosed());
        EXPECT_EQ(job->stats().phase, "Færdig");
        EXPECT_EQ(job->stats().bad, 4096u);
        EXPECT_EQ(job->stats().rescued, session->source->size - 4096);
        Bytes expected = readBytes(fixtureImage("fat12"));
        std::fill(expected.begin() + 64 * 1024, expected.begin() + 64 * 1024 + 4096, 0);
        EXPECT_TRUE(readBytes(dir.file("copy.img")) == expected);

        // Once no job holds it, the source closes itself.
        std::weak_ptr<DiskSource> weak = session->source;
        h.model->removeJob(job);
        job.reset();
        session.reset();
        sovanta::app::backgroundPool().waitForDone();
        drainEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(weak.expired());
    }
}

TEST(AppModel, TestImagingVariableImagesEveryOpenedFile) {
    TempDir dir;
    auto image = dir.file("test-copy.img");
    ASSERT_EQ(::setenv("SOVANTA_TEST_IMAGING", image.c_str(), 1), 0);
    Harness h;
    auto session = h.openImageAndWait(fixtureImage("fat12"));
    ::unsetenv("SOVANTA_TEST_IMAGING");
    ASSERT_TRUE(session);
    ASSERT_EQ(h.model->imagingJobs().size(), 1u);
    auto job = h.model->imagingJobs().front();
    EXPECT_EQ(job->imageURL, image);
    EXPECT_EQ(job->imager->source, session->source);
    EXPECT_EQ(job->imager->options.retries, 1);
    EXPECT_EQ(job->imager->options.chunkSize, 1048576);
    EXPECT_EQ(job->imager->options.maxSkip, 268435456u);
    EXPECT_EQ(h.model->selection(), SidebarItem(sidebar::Imaging{job->id}));
    EXPECT_NE(session->quick(), TaskPhase(phase::Idle{}));
    ASSERT_TRUE(spinUntil([&] { return job->finished() && !isRunning(session->quick()); }));
    EXPECT_EQ(session->quick(), TaskPhase(phase::Finished{}));
    EXPECT_EQ(readBytes(image), readBytes(fixtureImage("fat12")));
}

// The test hook of the command-line tool works here too: a source opened
// while SOVANTA_SIMULATE_BAD is set fails to read in its ranges, and only there.
TEST(AppModel, SimulatedDamageVariableReachesOpenedSources) {
    ASSERT_EQ(::setenv("SOVANTA_SIMULATE_BAD", "1024-2048", 1), 0);
    Harness h;
    auto session = h.openImageAndWait(fixtureImage("fat12"));
    ::unsetenv("SOVANTA_SIMULATE_BAD");
    ASSERT_TRUE(session);
    ASSERT_TRUE(waitQuick(session));
    std::vector<uint8_t> buffer(512);
    int error = 0;
    EXPECT_TRUE(session->source->tryRead(512, 512, buffer.data(), &error));
    EXPECT_FALSE(session->source->tryRead(1536, 512, buffer.data(), &error));
    EXPECT_EQ(error, EIO);
}

// The selection is announced when it changes, and only then: the same disk
// again is no change and another disk is; a session and an imaging job with
// one id are two items. As keys, the items are told apart the same way.
TEST(AppModel, TheSelectionIsAnnouncedWhenItChanges) {
    Harness h;
    int announced = 0;
    QObject::connect(h.model.get(), &AppModel::selectionChanged, [&] { ++announced; });
    auto id = Uuid::random();
    struct Step {
        SidebarItem item;
        int announced;  // after it, in all
    };
    for (const Step& step : {Step{sidebar::Disk{"sda"}, 1}, Step{sidebar::Disk{"sda"}, 1}, Step{sidebar::Disk{"sdb"}, 2},
                             Step{sidebar::Session{id}, 3}, Step{sidebar::Imaging{id}, 4}, Step{sidebar::Session{id}, 5},
                             Step{sidebar::Welcome{}, 6}, Step{sidebar::Welcome{}, 6}}) {
        h.model->setSelection(step.item);
        EXPECT_EQ(announced, step.announced);
    }
    std::unordered_set<SidebarItem> items = {sidebar::Disk{"sda"}, sidebar::Disk{"sda"}, sidebar::Session{id},
                                             sidebar::Imaging{id}, sidebar::Welcome{}, sidebar::Welcome{}};
    EXPECT_EQ(items.size(), 4u);
}

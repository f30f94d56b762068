// The disk page over the disk tool's recorded disks: header, health notices,
// action tiles, partitions and counters; unmounting through the disk-tool
// stand-in; and, as root, a real loop device listed, imaged and its image scanned.
#include <gtest/gtest.h>

#include <atomic>

#include <fcntl.h>
#include <unistd.h>

#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "LoopDisk.h"
#include "RecordedDisks.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/DiskDetailView.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/TileGrid.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

DiskInfo recordedDisk(const std::string& bsdName) {
    for (const DiskInfo& disk : recordedDisks())
        if (disk.bsdName == bsdName) return disk;
    ADD_FAILURE() << "no recorded disk " << bsdName;
    return {};
}

// The fixture opened as if it were the device of that name.
DiskSourcePtr fixtureAsDevice(const std::string& name, const std::string& bsdName,
                              const std::vector<ByteRange>& badRanges = {}) {
    auto path = fixtureImage(name);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SourceError::openFailed(path, errno);
    return std::make_shared<DiskSource>(fd, path, name, std::filesystem::file_size(path), 512, true, bsdName,
                                        nullptr, withBadRanges(badRanges));
}

// Two unreadable stretches of the devices the tests open.
const std::vector<ByteRange> deviceBadRanges = {{64 * 1024, 64 * 1024 + 4096}, {300 * 1024, 300 * 1024 + 512}};

// A model whose disk list the test sets and counts the loads of; devices
// open as the fixture fat12 with two bad stretches.
struct Model {
    std::shared_ptr<std::vector<DiskInfo>> disks = std::make_shared<std::vector<DiskInfo>>(recordedDisks());
    std::shared_ptr<std::atomic<int>> loads = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> deviceOpens = std::make_shared<std::atomic<int>>(0);
    AppModelPtr model;

    Model() {
        AppModel::Services services;
        services.loadDisks = [disks = disks, loads = loads] {
            ++*loads;
            return *disks;
        };
        services.openDevice = [opens = deviceOpens](const std::string& bsdName, const std::string&) {
            ++*opens;
            return fixtureAsDevice("fat12", bsdName, deviceBadRanges);
        };
        model = AppModel::make(std::move(services));
        EXPECT_TRUE(spinUntil([&] { return !model->loadingDisks(); }));
    }
    ~Model() {
        for (auto& session : std::vector<SessionPtr>(model->sessions())) model->close(session);
        for (auto& job : std::vector<ImagingJobPtr>(model->imagingJobs())) model->removeJob(job);
        spinUntil([&] { return !model->loadingDisks() && !model->opening(); });
    }
};

QStringList labelTexts(const QWidget* widget) {
    QStringList texts;
    for (auto* label : widget->findChildren<QLabel*>()) texts << label->text();
    return texts;
}

std::map<QString, StatTile*> tilesByTitle(const TileGrid* grid) {
    std::map<QString, StatTile*> tiles;
    for (int i = 0; i < grid->count(); ++i)
        if (auto* tile = qobject_cast<StatTile*>(grid->tile(i))) tiles[tile->title()] = tile;
    return tiles;
}

}  // namespace

TEST(DiskDetailView, PrettyContent) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Apple_APFS", "APFS-container"},
        {"Apple_HFS", "HFS+"},
        {"Microsoft Basic Data", "Windows-data"},
        {"EFI", "EFI"},
        {"Windows_NTFS", "NTFS"},
        {"DOS_FAT_32", "FAT32"},
        {"", "Ukendt"},
        {"apple_apfs", "apple apfs"},  // letter case matters
        {"41504653-0000-11AA-AA11-00306543ECAC", "APFS-volumen"},
        {"41504653-0000-11AA-AA11_0030654ECAC", "41504653-0000-11AA-AA11 0030654ECAC"},  // 35 characters
        {"Linux_Filesystem_Data", "Linux Filesystem Data"},
    };
    for (const auto& [content, shown] : cases) EXPECT_EQ(DiskDetailView::prettyContent(content), shown) << content;
}

TEST(DiskDetailView, HeaderNoticesAndTilesFollowTheDisksHealth) {
    Model m;
    DiskInfo failing = recordedDisk("disk4");
    failing.smartStatus = "Failing";
    struct Case {
        DiskInfo disk;
        DiskHealth health;
        std::optional<Callout::Kind> healthNotice;
        bool bootNotice;
        bool scanProminent;
        bool unmountEnabled;
        QStringList facts;
    };
    const std::vector<Case> cases = {
        // The internal boot disk: its volumes are mounted, but it is not unmounted from here.
        {recordedDisk("disk0"), DiskHealth::good, std::nullopt, true, true, false,
         {"·", "disk0", "·", "Apple Fabric", "·", "SSD"}},
        // A USB SSD with media errors and a mounted volume.
        {recordedDisk("disk4"), DiskHealth::warning, Callout::Kind::warning, false, true, true,
         {"·", "disk4", "·", "USB", "·", "SSD"}},
        {failing, DiskHealth::failing, Callout::Kind::danger, false, false, true,
         {"·", "disk4", "·", "USB", "·", "SSD"}},
        // A disk image without S.M.A.R.T., bus protocol or mounted volumes.
        {recordedDisk("disk5"), DiskHealth::unknown, std::nullopt, false, true, false,
         {"·", "disk5", "·", "Disk Image", "·", "Diskbillede"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk.bsdName + " " + rawValue(c.health));
        DiskDetailView page(*m.model, c.disk);
        EXPECT_EQ(page.windowTitle().toStdString(), c.disk.displayName());
        QStringList header = labelTexts(page.header());
        EXPECT_TRUE(header.contains(QString::fromStdString(c.disk.displayName())));
        // The size as the core's byte text, then the rest of the row.
        auto size = header.indexOf(QString::fromStdString(formatBytes(c.disk.size)));
        ASSERT_GE(size, 0);
        EXPECT_EQ(header.mid(size + 1, c.facts.size()), c.facts);
        auto* badge = page.header()->findChild<HealthBadge*>();
        ASSERT_NE(badge, nullptr);
        EXPECT_EQ(badge->health(), c.health);

        ASSERT_EQ(page.healthNotice() != nullptr, c.healthNotice.has_value());
        if (c.healthNotice) {
            auto* callout = static_cast<Callout*>(page.healthNotice());
            EXPECT_EQ(callout->kind(), *c.healthNotice);
            EXPECT_EQ(callout->titleLabel()->text(), "Disken melder om problemer");
        }
        ASSERT_EQ(page.bootNotice() != nullptr, c.bootNotice);
        if (c.bootNotice) {
            EXPECT_EQ(static_cast<Callout*>(page.bootNotice())->titleLabel()->text(), "Dette er din startdisk");
        }

        // Exactly one of scanning and imaging is recommended.
        EXPECT_EQ(page.scanTile()->prominent(), c.scanProminent);
        EXPECT_EQ(page.imagingTile()->prominent(), !c.scanProminent);
        EXPECT_FALSE(page.unmountTile()->prominent());
        EXPECT_TRUE(page.scanTile()->isEnabled());
        EXPECT_TRUE(page.imagingTile()->isEnabled());
        EXPECT_EQ(page.unmountTile()->isEnabled(), c.unmountEnabled);
        EXPECT_EQ(page.unmountTile()->title(), "Afmonter");
    }

    // The kind word and the bus protocol of a disk image's header.
    DiskInfo image = recordedDisk("disk5");
    ASSERT_TRUE(image.isDiskImage);
    image.busProtocol = "";
    DiskDetailView plain(*m.model, image);
    QStringList header = labelTexts(plain.header());
    EXPECT_EQ(header.count("·"), 2);
    EXPECT_TRUE(header.contains("Diskbillede"));
    image.isSolidState = true;
    DiskDetailView solid(*m.model, image);
    EXPECT_TRUE(labelTexts(solid.header()).contains("SSD"));
    EXPECT_FALSE(labelTexts(solid.header()).contains("Diskbillede"));
}

TEST(DiskDetailView, PartitionsOfTheDiskAndOfItsContainer) {
    Model m;
    // disk0 holds disk0s1 to disk0s3; the volumes of its APFS container carry the container's name disk3.
    DiskInfo mac = recordedDisk("disk0");
    DiskDetailView page(*m.model, mac);
    ASSERT_NE(page.partitionBar(), nullptr);
    EXPECT_EQ(page.noPartitionsText(), nullptr);
    const auto& segments = page.partitionBar()->segments();
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(page.partitionBar()->total(), mac.size);
    for (size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].size, mac.partitions[i].size);
        EXPECT_EQ(segments[i].color, PartitionBar::palette()[i]);
        // A partition without a volume name is labelled with its content type.
        std::string label = mac.partitions[i].volumeName ? *mac.partitions[i].volumeName
                                                         : DiskDetailView::prettyContent(mac.partitions[i].content);
        EXPECT_EQ(segments[i].label, label);
    }
    auto rows = page.partitionRows();
    ASSERT_EQ(rows.size(), mac.partitions.size());
    QStringList devices;
    for (const auto& row : rows) devices << row[0];
    EXPECT_EQ(devices, (QStringList{"disk0s1", "disk0s2", "disk0s3", "disk3s1s1", "disk3s5", "disk3s2", "disk3s3",
                                    "disk3s6"}));
    EXPECT_EQ(rows[3], (QStringList{"disk3s1s1", "Macintosh HD", QString::fromStdString(DiskDetailView::prettyContent(
                                                                      mac.partitions[3].content)),
                                    QString::fromStdString(formatBytes(mac.partitions[3].size)), "/"}));
    // The unmounted Recovery volume.
    EXPECT_EQ(rows[6][4], "–");

    // A partition with neither name nor mount point, and a container volume first in the list.
    DiskInfo mixed;
    mixed.bsdName = "disk4";
    mixed.size = 1000;
    mixed.partitions = {{"disk5s1", "41504653-0000-11AA-AA11-00306543ECAC", "Data", "/Volumes/Data", 300},
                        {"disk4s1", "EFI", std::nullopt, std::nullopt, 200},
                        {"disk4s2", "Apple_APFS", std::nullopt, std::nullopt, 700}};
    DiskDetailView mixedPage(*m.model, mixed);
    ASSERT_NE(mixedPage.partitionBar(), nullptr);
    ASSERT_EQ(mixedPage.partitionBar()->segments().size(), 2u);
    EXPECT_EQ(mixedPage.partitionBar()->segments()[1].label, "APFS-container");
    rows = mixedPage.partitionRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (QStringList{"disk4s1", "–", "EFI", QString::fromStdString(formatBytes(200)), "–"}));
    EXPECT_EQ(rows[1][0], "disk4s2");
    EXPECT_EQ(rows[2], (QStringList{"disk5s1", "Data", "APFS-volumen", QString::fromStdString(formatBytes(300)),
                                    "/Volumes/Data"}));

    // No own partitions: a text instead of the bar; the others are still listed.
    DiskInfo bare;
    bare.bsdName = "disk7";
    DiskDetailView empty(*m.model, bare);
    EXPECT_EQ(empty.partitionBar(), nullptr);
    ASSERT_NE(empty.noPartitionsText(), nullptr);
    EXPECT_EQ(empty.noPartitionsText()->text(), "Ingen partitioner registreret af macOS – disken kan være beskadiget. "
                                                "Scan den for at søge efter filsystemer.");
    EXPECT_TRUE(empty.partitionRows().empty());
    bare.content = "FDisk_partition_scheme";
    bare.partitions = {{"disk8s1", "Apple_APFS", std::nullopt, std::nullopt, 5}};
    DiskDetailView content(*m.model, bare);
    EXPECT_EQ(content.noPartitionsText()->text(), "Ingen partitioner – indhold: FDisk_partition_scheme");
    ASSERT_EQ(content.partitionRows().size(), 1u);
    EXPECT_EQ(content.partitionRows()[0][0], "disk8s1");
}

TEST(DiskDetailView, CountersOfTheHealthCard) {
    Model m;
    // The recorded USB disk: temperature 310 K, 912 hours, 4 % used, 3 media errors, 100 % spare.
    DiskDetailView usb(*m.model, recordedDisk("disk4"));
    ASSERT_NE(usb.smartCard(), nullptr);
    auto tiles = tilesByTitle(usb.smartTiles());
    std::vector<std::pair<QString, QString>> shown;
    for (int i = 0; i < usb.smartTiles()->count(); ++i) {
        auto* tile = static_cast<StatTile*>(usb.smartTiles()->tile(i));
        shown.emplace_back(tile->title(), tile->value());
    }
    EXPECT_EQ(shown, (std::vector<std::pair<QString, QString>>{{"Temperatur", "37 °C"},
                                                              {"Driftstimer", "912"},
                                                              {"Slidtage", "4 %"},
                                                              {"Mediefejl", "3"},
                                                              {"Reserveblokke", "100 %"}}));
    EXPECT_EQ(tiles["Mediefejl"]->tint(), Style::Colors::red);
    EXPECT_EQ(tiles["Temperatur"]->tint(), Style::accent());

    DiskInfo disk = recordedDisk("disk4");
    disk.smartDetails = {{"MEDIA_ERRORS_0", 0}, {"POWER_ON_HOURS_0", 12345}, {"UNSAFE_SHUTDOWNS_0", 7},
                         {"TEMPERATURE", 200}};  // a temperature below 201 K counts as missing
    DiskDetailView other(*m.model, disk);
    tiles = tilesByTitle(other.smartTiles());
    EXPECT_EQ(tiles.size(), 3u);
    EXPECT_EQ(tiles["Mediefejl"]->value(), "0");
    EXPECT_EQ(tiles["Mediefejl"]->tint(), Style::Colors::green);
    EXPECT_EQ(tiles["Driftstimer"]->value(), "12.345");
    EXPECT_EQ(tiles["Usikre nedlukninger"]->value(), "7");
    EXPECT_FALSE(tiles.count("Temperatur"));

    // Counters none of which the card shows: the card with its title alone; no counters: no card.
    disk.smartDetails = {{"RATIO", 12}};
    DiskDetailView unknown(*m.model, disk);
    ASSERT_NE(unknown.smartCard(), nullptr);
    EXPECT_TRUE(labelTexts(unknown.smartCard()).contains("Diskens helbred"));
    EXPECT_EQ(unknown.smartTiles()->count(), 0);
    disk.smartDetails.clear();
    DiskDetailView none(*m.model, disk);
    EXPECT_EQ(none.smartCard(), nullptr);
}

TEST(DiskDetailView, ARefreshedDiskRedrawsThePageAndKeepsItsState) {
    Model m;
    DiskDetailView page(*m.model, recordedDisk("disk4"));
    page.show();
    EXPECT_TRUE(page.unmountTile()->isEnabled());
    // The disk's volume has gone from the mount table.
    (*m.disks)[0].partitions[0].mountPoint.reset();
    ASSERT_EQ((*m.disks)[0].bsdName, "disk4");
    m.model->refreshDisks();
    ASSERT_TRUE(spinUntil([&] { return !m.model->loadingDisks(); }));
    EXPECT_FALSE(page.unmountTile()->isEnabled());
    EXPECT_EQ(page.partitionRows()[0][4], "–");
}

TEST(DiskDetailView, UnmountRunsTheDiskToolAndReloadsTheList) {
    Model m;
    DiskDetailView page(*m.model, recordedDisk("disk4"));
    page.resize(1000, 900);
    page.show();
    int loads = *m.loads;
    ASSERT_TRUE(page.unmountTile()->isEnabled());
    {
        // Until the answer comes, the tile says so and takes no second click;
        // the disk tool is held until the test has looked.
        BackgroundHold hold;
        QTest::mouseClick(page.unmountTile(), Qt::LeftButton);
        drainEvents();
        ASSERT_TRUE(page.unmounting());
        EXPECT_EQ(page.unmountTile()->title(), "Afmonterer …");
        EXPECT_FALSE(page.unmountTile()->isEnabled());
    }

    // The recorded disk4 is no device of this machine: the stand-in says so.
    ASSERT_TRUE(spinUntil([&] { return page.unmountMessage().has_value(); }));
    EXPECT_EQ(*page.unmountMessage(), "Kunne ikke afmontere: Kunne ikke finde disken: disk4");
    EXPECT_FALSE(page.unmounting());
    EXPECT_EQ(page.unmountTile()->title(), "Afmonter");
    EXPECT_TRUE(page.unmountTile()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return *m.loads > loads && !m.model->loadingDisks(); }));

    QMessageBox* alert = page.unmountAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowTitle(), "Afmontering");
    EXPECT_EQ(alert->informativeText(), "Kunne ikke afmontere: Kunne ikke finde disken: disk4");
    auto buttons = alert->buttons();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "OK");
    buttons[0]->click();
    drainEvents();
    EXPECT_FALSE(page.unmountMessage());
    EXPECT_EQ(page.unmountAlert(), nullptr);
}

TEST(DiskDetailView, ScanAndImagingTiles) {
    Model m;
    TempDir dir;
    DiskInfo disk = recordedDisk("disk4");
    auto page = std::make_unique<DiskDetailView>(*m.model, disk);
    page->resize(1000, 900);
    page->show();

    // The setup sheet for the disk; cancelled, it leaves nothing behind.
    QTest::mouseClick(page->imagingTile(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return page->imagingSheet() != nullptr; }));
    EXPECT_TRUE(page->showImaging());
    EXPECT_EQ(page->imagingSheet()->headingLabel()->text().toStdString(),
              disk.displayName() + " · " + formatBytes(disk.size));
    page->imagingSheet()->reject();
    ASSERT_TRUE(spinUntil([&] { return !page->showImaging(); }));
    EXPECT_EQ(page->imagingSheet(), nullptr);

    // Started from the sheet: the device is opened and copied, bad stretches and all.
    QTest::mouseClick(page->imagingTile(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return page->imagingSheet() != nullptr; }));
    std::string image = dir.file("disk4.img");
    page->imagingSheet()->validate(image);
    page->imagingSheet()->start();
    ASSERT_TRUE(spinUntil([&] { return m.model->imagingJobs().size() == 1; }));
    EXPECT_FALSE(page->showImaging());
    ImagingJobPtr job = m.model->imagingJobs().front();
    EXPECT_EQ(job->title, disk.displayName());
    EXPECT_EQ(job->imageURL, image);
    EXPECT_EQ(m.model->selection(), SidebarItem(sidebar::Imaging{job->id}));
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    EXPECT_EQ(job->stats().bad, 4096u + 512u);
    EXPECT_EQ(*m.deviceOpens, 1);

    // Scanning opens the device and starts a session named after the disk; a
    // second click selects that session again.
    m.model->setSelection(sidebar::Disk{"disk4"});
    QTest::mouseClick(page->scanTile(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return m.model->sessions().size() == 1; }));
    SessionPtr session = m.model->sessions().front();
    EXPECT_EQ(session->title, disk.displayName());
    ASSERT_TRUE(session->disk);
    EXPECT_EQ(session->disk->bsdName, "disk4");
    EXPECT_EQ(m.model->selection(), SidebarItem(sidebar::Session{session->id}));
    m.model->setSelection(sidebar::Disk{"disk4"});
    QTest::mouseClick(page->scanTile(), Qt::LeftButton);
    EXPECT_TRUE(spinUntil([&] { return m.model->selection() != SidebarItem(sidebar::Disk{"disk4"}); }));
    EXPECT_EQ(m.model->sessions().size(), 1u);
    EXPECT_EQ(*m.deviceOpens, 2);
    EXPECT_EQ(m.model->selection(), SidebarItem(sidebar::Session{session->id}));
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
}

TEST(DiskDetailView, ImagingFromTheWindowReplacesThePageWithoutHarm) {
    // A scan of the disk holds its source, so the copy starts at once and the
    // window shows the job's page in place of the disk page and its sheet.
    Model m;
    TempDir dir;
    ContentView window(*m.model);
    window.resize(1440, 900);
    window.show();
    m.model->open(recordedDisk("disk4"));
    ASSERT_TRUE(spinUntil([&] { return m.model->sessions().size() == 1; }));
    m.model->setSelection(sidebar::Disk{"disk4"});
    drainEvents();
    auto* page = qobject_cast<DiskDetailView*>(window.page());
    ASSERT_NE(page, nullptr);
    QTest::mouseClick(page->imagingTile(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return page->imagingSheet() != nullptr; }));
    page->imagingSheet()->validate(dir.file("copy.img"));
    page->imagingSheet()->start();
    ASSERT_TRUE(spinUntil([&] { return qobject_cast<ImagingView*>(window.page()) != nullptr; }));
    ImagingJobPtr job = m.model->imagingJobs().front();
    EXPECT_EQ(job->imager->source, m.model->sessions().front()->source);
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    ASSERT_TRUE(spinUntil([&] { return !isRunning(m.model->sessions().front()->quick()); }));
}

// MARK: A real disk

namespace {

// A 64 MiB image with two GPT partitions on a loop device: FAT32 holding one
// file (written with mtools), and a mounted ext4 (the kernel here may mount
// no FAT). False when that cannot be made here.
bool makeTwoVolumes(LoopDisk& loop) {
    if (!loop.ready()) return false;
    std::string fat = loop.partitionPath(1), ext = loop.partitionPath(2), note = loop.file("note.txt");
    writeFile(note, std::string_view("kept on the loop disk\n"));
    if (shell("mkfs.vfat -F 32 -n SOVLOOP " + fat + " >/dev/null && mcopy -i " + fat + " '" + note +
              "' ::note.txt && mkfs.ext4 -q -L SOVEXT " + ext) != 0)
        return false;
    return !loop.mount(ext).empty();
}

}  // namespace

TEST(DiskDetailView, ALoopDiskIsListedUnmountedImagedAndItsImageScanned) {
    if (!isRoot()) GTEST_SKIP() << "needs root for losetup and mount";
    LoopDisk loop(64, "label: gpt\n,40M,L\n,,L\n");
    if (!makeTwoVolumes(loop)) GTEST_SKIP() << "could not attach and mount a loop device here";
    TempDir out;

    // The machine's own disk list, through the disk-tool stand-in.
    auto model = AppModel::make();
    ASSERT_TRUE(spinUntil([&] { return !model->loadingDisks() && model->disk(loop.name()); }));
    ContentView window(*model);
    window.resize(1440, 900);
    window.show();
    model->setSelection(sidebar::Disk{loop.name()});
    drainEvents();
    auto* page = qobject_cast<DiskDetailView*>(window.page());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->windowTitle(), "disk.img");
    ASSERT_NE(page->partitionBar(), nullptr);
    EXPECT_EQ(page->partitionBar()->segments().size(), 2u);
    auto rows = page->partitionRows();
    ASSERT_EQ(rows.size(), 2u);
    const auto& partitions = page->disk().partitions;
    EXPECT_EQ(rows[0], (QStringList{QString::fromStdString(loop.name() + "p1"), "SOVLOOP", "vfat",
                                    QString::fromStdString(formatBytes(partitions[0].size)), "–"}));
    EXPECT_EQ(rows[1], (QStringList{QString::fromStdString(loop.name() + "p2"), "SOVEXT", "ext4",
                                    QString::fromStdString(formatBytes(partitions[1].size)),
                                    QString::fromStdString(loop.mountPoint().string())}));

    // Unmounting through the page: the volume goes, the list is loaded again
    // and the same page shows the disk without it.
    ASSERT_TRUE(page->unmountTile()->isEnabled());
    QTest::mouseClick(page->unmountTile(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return page->unmountMessage().has_value(); }));
    EXPECT_EQ(*page->unmountMessage(), "Diskens volumener er afmonteret.");
    EXPECT_FALSE(loop.stillMounted());
    ASSERT_TRUE(spinUntil([&] { return !page->unmountTile()->isEnabled(); }));
    EXPECT_EQ(window.page(), page);
    EXPECT_EQ(page->partitionRows()[1][4], "–");
    page->unmountAlert()->done(0);
    drainEvents();

    // Imaging the disk as the setup sheet's start does: the job's page follows the copy.
    std::string image = out.file("loop.img");
    model->startImaging(page->disk(), image, ImagingOptions{1, 1048576, 268435456});
    ASSERT_TRUE(spinUntil([&] { return model->imagingJobs().size() == 1; }));
    ImagingJobPtr job = model->imagingJobs().front();
    drainEvents();
    auto* imaging = qobject_cast<ImagingView*>(window.page());
    ASSERT_NE(imaging, nullptr);
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    EXPECT_EQ(imaging->stateLabel()->text(), "Færdig");
    EXPECT_EQ(job->stats().rescued, 64u << 20);
    EXPECT_FALSE(imaging->resumeButton()->isEnabled());

    // Its image opens in a session whose quick scan finds the FAT volume and its file (ext4 is not read).
    imaging->scanButton()->click();
    ASSERT_TRUE(spinUntil([&] { return !model->sessions().empty() && model->sessions().back()->imageURL(); }));
    SessionPtr session = model->sessions().back();
    EXPECT_EQ(session->imageURL(), image);
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    ASSERT_EQ(session->volumes().size(), 1u);
    auto files = nodesByPath(session->volumes()[0]->root);
    EXPECT_TRUE(files.count("note.txt"));

    for (auto& s : std::vector<SessionPtr>(model->sessions())) model->close(s);
    for (auto& j : std::vector<ImagingJobPtr>(model->imagingJobs())) model->removeJob(j);
    spinUntil([&] { return !model->loadingDisks() && !model->opening(); });
}


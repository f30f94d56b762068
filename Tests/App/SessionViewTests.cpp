// The session page over fixture images: the overview's layout, volumes and
// totals against the manifests, the notes and waiting texts, the volume rows,
// and the page frame's subtitle, menu and tabs.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <map>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/SessionView/DeepScanCard.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

AppModelPtr quietModel() {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    return AppModel::make(std::move(services));
}

QString secondaryName() { return Style::secondaryText().name(QColor::HexArgb); }
QString colourOf(const QWidget* w) { return w->palette().color(QPalette::WindowText).name(QColor::HexArgb); }

// A manifest's partitions by their first byte.
std::map<uint64_t, ManifestPartition> partitionsByOffset(const std::string& fixtureName) {
    std::map<uint64_t, ManifestPartition> out;
    for (auto& p : manifestPartitions(fixtureName)) out[p.offset] = p;
    return out;
}

}  // namespace

TEST(OverviewView, LayoutCardListsTheManifestsPartitions) {
    for (std::string fixture : {"mbr_extended", "gpt_fat32_ntfs_exfat"}) {
        SCOPED_TRACE(fixture);
        auto session = scannedSession(fixture);
        OverviewView view(session);
        ASSERT_TRUE(session->layout());
        const auto& entries = session->layout()->entries;
        ASSERT_NE(view.schemeLabel(), nullptr);
        EXPECT_EQ(view.schemeLabel()->text().toStdString(), session->layout()->scheme);
        EXPECT_EQ(view.layoutEmptyLabel(), nullptr);

        // The layout lists the partitions that hold a file system (an extended
        // partition's container is only the way to its logical partitions).
        auto partitions = partitionsByOffset(fixture);
        std::erase_if(partitions, [](const auto& p) { return p.second.fileSystem == "-"; });
        ASSERT_EQ(entries.size(), partitions.size());
        const auto& cells = view.layoutCells();
        ASSERT_EQ(cells.size(), entries.size() + 1);
        QStringList header;
        for (QLabel* cell : cells[0]) header << cell->text();
        EXPECT_EQ(header, QStringList({"#", "Type", "Filsystem", "Start", "Størrelse", "Navn"}));

        ASSERT_NE(view.partitionBar(), nullptr);
        EXPECT_EQ(view.partitionBar()->total(), session->source->size);
        const auto& segments = view.partitionBar()->segments();
        ASSERT_EQ(segments.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const PartitionEntry& entry = entries[i];
            SCOPED_TRACE(entry.index);
            ASSERT_TRUE(partitions.count(entry.offset));
            const ManifestPartition& p = partitions[entry.offset];
            const auto& row = cells[i + 1];
            EXPECT_EQ(row[0]->text(), QString::number(entry.index));
            EXPECT_EQ(row[1]->text().toStdString(), entry.typeName);
            ASSERT_TRUE(entry.detected);
            EXPECT_EQ(QString::fromStdString(rawValue(*entry.detected)).toUpper(),
                      QString::fromStdString(p.fileSystem).toUpper());
            EXPECT_EQ(row[2]->text().toStdString(), rawValue(*entry.detected));
            EXPECT_EQ(row[3]->text(), "sektor " + QString::number(p.startSector));
            EXPECT_EQ(row[4]->text().toStdString(), formatBytes(p.size));
            EXPECT_EQ(row[5]->text().toStdString(), p.name.empty() ? "–" : p.name);
            std::string expectedLabel = std::to_string(entry.index) + ": " + rawValue(*entry.detected);
            if (!p.name.empty()) expectedLabel += " – " + p.name;
            EXPECT_EQ(segments[i].label, expectedLabel);
            EXPECT_EQ(segments[i].color, Style::fileSystemColour(*entry.detected));
            EXPECT_EQ(segments[i].size, entry.size);
        }
    }

    // A partition whose start cannot be read holds no known file system:
    // "Ukendt" in the grid, its type in the bar, and the palette's colour of
    // its position among all entries.
    uint64_t third = 98304ull * 512;
    auto session = scannedSession("gpt_fat32_ntfs_exfat", withBadRanges({{third, third + 512}}));
    OverviewView view(session);
    ASSERT_TRUE(session->layout());
    ASSERT_EQ(session->layout()->entries.size(), 3u);
    const PartitionEntry& entry = session->layout()->entries[2];
    ASSERT_FALSE(entry.detected);
    const auto& row = view.layoutCells()[3];
    EXPECT_EQ(row[2]->text(), "Ukendt");
    EXPECT_EQ(colourOf(row[2]), secondaryName());
    EXPECT_EQ(colourOf(view.layoutCells()[1][2]), colourOf(view.layoutCells()[1][0]));
    const auto& segment = view.partitionBar()->segments()[2];
    EXPECT_EQ(segment.label, "3: " + entry.typeName + " – exFAT data");
    EXPECT_EQ(segment.color, PartitionBar::paletteColour(2));
}

TEST(OverviewView, VolumesCardShowsEachVolumeWithItsTotals) {
    auto session = scannedSession("mbr_extended");
    OverviewView view(session);
    const auto& rows = view.volumeRows();
    ASSERT_EQ(rows.size(), session->volumes().size());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(view.volumesEmptyLabel(), nullptr);
    // FAT and exFAT list exactly what the manifest holds, one deleted file each.
    std::map<size_t, std::string> prefixes = {{0, "p1:"}, {2, "p6:"}};
    for (auto& [index, prefix] : prefixes) {
        SCOPED_TRACE(prefix);
        ASSERT_NE(rows[index]->statsLabel(), nullptr);
        VolumeStats expected = manifestTotals("mbr_extended", prefix);
        ASSERT_EQ(expected.deleted, 1);
        EXPECT_EQ(rows[index]->statsLabel()->text().toStdString(), VolumeRow::statsText(expected));
        EXPECT_TRUE(rows[index]->statsLabel()->text().endsWith(" · 1 slettede/fundne"));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const VolumePtr& volume = session->volumes()[i];
        EXPECT_EQ(rows[i]->volume(), volume);
        EXPECT_EQ(rows[i]->badge()->text().toStdString(), rawValue(volume->type));
        EXPECT_EQ(rows[i]->badge()->colour(), Style::fileSystemColour(volume->type));
        EXPECT_EQ(rows[i]->originLabel()->text().toStdString(), origin::partitionTable);
        EXPECT_EQ(rows[i]->symbolView()->symbol(), "internaldrive.fill");
        EXPECT_EQ(rows[i]->openButton()->text(), "Vis filer");
    }
    EXPECT_EQ(view.badSectorAdvice(), nullptr);
    EXPECT_FALSE(view.quickCard()->isVisibleTo(&view));
}

TEST(OverviewView, DamagedDisksShowTheirNotesAdviceAndEmptyStates) {
    for (std::string fixture : {"damage_gpt_all_tables_zeroed", "damage_ntfs_boot_zeroed", "damage_ntfs_mft_zeroed",
                                "damage_fat32_root_destroyed", "damage_fat32_reformatted"}) {
        SCOPED_TRACE(fixture);
        auto session = scannedSession(fixture);
        OverviewView view(session);
        std::vector<std::string> shown;
        for (Callout* note : view.noteCallouts()) {
            EXPECT_EQ(note->kind(), Callout::Kind::info);
            EXPECT_EQ(note->titleLabel()->text(), "Bemærkning");
            shown.push_back(note->messageLabel()->text().toStdString());
        }
        EXPECT_EQ(shown, session->notes());
        ASSERT_EQ(view.volumeRows().size(), session->volumes().size());
        for (size_t i = 0; i < view.volumeRows().size(); ++i) {
            std::vector<std::string> volumeNotes;
            for (QLabel* label : view.volumeRows()[i]->noteLabels()) volumeNotes.push_back(label->text().toStdString());
            EXPECT_EQ(volumeNotes, session->volumes()[i]->notes);
        }
    }

    // No table at all: the note says so, and the cards say what is missing.
    auto session = scannedSession("damage_gpt_all_tables_zeroed");
    OverviewView view(session);
    ASSERT_FALSE(view.noteCallouts().empty());
    EXPECT_EQ(view.noteCallouts()[0]->messageLabel()->text().toStdString(), PartitionTable::noTableNote);
    ASSERT_NE(view.layoutEmptyLabel(), nullptr);
    EXPECT_EQ(view.layoutEmptyLabel()->text(),
              "Ingen partitioner fundet. Kør en dyb scanning for at lede efter tabte partitioner og filer.");
    ASSERT_NE(view.volumesEmptyLabel(), nullptr);
    EXPECT_EQ(view.volumesEmptyLabel()->text(), "Ingen læsbare filsystemer fundet endnu.");
    EXPECT_EQ(view.partitionBar(), nullptr);

    // Unreadable sectors bring the advice, with their count.
    auto failing = scannedSession("fat16", withBadRanges({{0, 512}}));
    ASSERT_EQ(failing->badSectors(), 1);
    OverviewView failingView(failing);
    ASSERT_NE(failingView.badSectorAdvice(), nullptr);
    EXPECT_EQ(failingView.badSectorAdvice()->kind(), Callout::Kind::danger);
    EXPECT_EQ(failingView.badSectorAdvice()->titleLabel()->text(), "Disken har ulæselige sektorer (1)");
    EXPECT_EQ(failingView.badSectorAdvice()->messageLabel()->text(),
              "Overvej at lave et diskbillede (menuen ⋯ øverst), og scan derefter billedet i stedet for disken.");
}

// The deep sweep reads fast and marks no sector bad where a read fails: the
// advice counts the sectors of the 64 KiB block it gave up (never the failed
// reads, which are no sectors); a later quick scan, which does not read there,
// keeps it.
TEST(OverviewView, DeepScanThatMetUnreadableSectorsBringsTheAdvice) {
    uint64_t free = 1'400'000;  // free space near the floppy's end, read by the sweep only
    auto session = scannedSession("fat12", withBadRanges({{free, free + 512}}));
    OverviewView view(session);
    ASSERT_EQ(session->badSectors(), 0);
    EXPECT_EQ(view.badSectorAdvice(), nullptr);

    session->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    EXPECT_EQ(session->source->badSectorCount(), 0);
    ASSERT_GE(session->source->readErrorCount(), 1);
    const int64_t count = 65536 / 512;
    EXPECT_EQ(session->badSectors(), count);
    ASSERT_NE(view.badSectorAdvice(), nullptr);
    EXPECT_EQ(view.badSectorAdvice()->titleLabel()->text().toStdString(),
              "Disken har ulæselige sektorer (" + Fmt::number(count) + ")");

    session->startQuickScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    EXPECT_EQ(session->badSectors(), count);
    EXPECT_NE(view.badSectorAdvice(), nullptr);
}

TEST(OverviewView, WaitingTextsFollowTheQuickScan) {
    auto session = Session::make(openFixture("gpt_fat32_ntfs_exfat"), "gpt.img");
    OverviewView view(session);
    view.show();
    auto texts = [&] {
        return std::make_pair(view.layoutEmptyLabel() ? view.layoutEmptyLabel()->text() : QString(),
                              view.volumesEmptyLabel() ? view.volumesEmptyLabel()->text() : QString());
    };
    // Idle.
    EXPECT_EQ(texts(), std::make_pair(QString("Venter på scanning …"), QString("Ingen læsbare filsystemer fundet endnu.")));
    EXPECT_FALSE(view.quickCard()->isVisibleTo(&view));

    // Running: the status card with the phase's message and its stop button.
    session->startQuickScan();
    EXPECT_EQ(texts(), std::make_pair(QString("Venter på scanning …"), QString("Scanner …")));
    EXPECT_TRUE(view.quickCard()->isVisibleTo(&view));
    EXPECT_EQ(view.quickMessage()->text(), "Læser partitionstabel …");
    EXPECT_FALSE(view.quickBar()->isVisibleTo(&view));  // no fraction yet
    QTest::mouseClick(view.quickStopButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));

    // Cancelled: the results merged so far, the card gone.
    EXPECT_EQ(session->quick(), TaskPhase(phase::Cancelled{}));
    EXPECT_FALSE(view.quickCard()->isVisibleTo(&view));
    if (!session->layout() || session->layout()->entries.empty()) {
        EXPECT_EQ(texts().first, "Venter på scanning …");
    }
    if (session->volumes().empty()) {
        EXPECT_EQ(texts().second, "Ingen læsbare filsystemer fundet endnu.");
    }

    // Finished with a layout of no entries.
    auto empty = scannedSession("gpt_empty");
    OverviewView emptyView(empty);
    ASSERT_TRUE(empty->layout());
    EXPECT_NE(emptyView.schemeLabel(), nullptr);
    ASSERT_NE(emptyView.layoutEmptyLabel(), nullptr);
    EXPECT_EQ(emptyView.layoutEmptyLabel()->text(),
              "Ingen partitioner fundet. Kør en dyb scanning for at lede efter tabte partitioner og filer.");
}

TEST(OverviewView, VolumeRowShowsOnlyWhatTheVolumeHas) {
    auto root = FileNode::make("", true);
    auto carved = Volume::make(FileSystemType::carved, "", 0, 4096, root, origin::deepScan);
    carved->notes = {"Første bemærkning", "Anden"};
    int opened = 0;
    VolumeRow bare(carved, std::nullopt, [&] { ++opened; });
    bare.show();
    EXPECT_EQ(bare.labelLabel()->text(), "Uden navn");
    EXPECT_EQ(bare.statsLabel(), nullptr);
    EXPECT_EQ(bare.symbolView()->symbol(), "wand.and.rays");
    EXPECT_EQ(bare.symbolView()->colour(), Style::Colors::pink);
    EXPECT_EQ(bare.originLabel()->text(), "Dyb scanning");
    ASSERT_EQ(bare.noteLabels().size(), 2u);
    EXPECT_EQ(bare.noteLabels()[1]->text(), "Anden");
    QTest::mouseClick(bare.openButton(), Qt::LeftButton);
    EXPECT_EQ(opened, 1);

    struct Case {
        VolumeStats stats;
        std::string text;
    };
    for (const Case& c : {Case{{12, 3, 1536, 0}, "12 filer · 3 mapper · 2 KB"},
                          Case{{1234, 0, 0, 1}, "1.234 filer · 0 mapper · 0 bytes · 1 slettede/fundne"}}) {
        EXPECT_EQ(VolumeRow::statsText(c.stats), c.text);
    }
}

TEST(SessionView, FrameShowsTheSourceTheMenuAndTheTabOfTheSession) {
    auto model = quietModel();
    auto session = scannedSession("mbr_extended");
    SessionView page(*model, session);
    page.resize(1200, 800);
    page.show();
    EXPECT_EQ(page.windowTitle(), "mbr_extended.img");
    EXPECT_EQ(page.subtitleLabel()->text().toStdString(), formatBytes(session->source->size) + " · diskbillede");
    EXPECT_FALSE(page.imagingAction()->isEnabled());
    EXPECT_TRUE(page.rescanAction()->isEnabled());
    EXPECT_TRUE(page.closeAction()->isEnabled());
    QStringList entries;
    for (QAction* action : page.moreMenu()->actions()) entries << (action->isSeparator() ? QString("—") : action->text());
    EXPECT_EQ(entries, QStringList({"Lav diskbillede af kilden …", "Kør hurtig scanning igen", "—", "Luk scanning"}));

    // The picker and the session's tab follow each other.
    ASSERT_EQ(page.tabButtons().size(), 3u);
    EXPECT_EQ(page.tabButtons()[0]->text(), "Oversigt");
    EXPECT_EQ(page.tabButtons()[1]->text(), "Filer");
    EXPECT_EQ(page.tabButtons()[2]->text(), "Sektorer");
    EXPECT_TRUE(page.tabButtons()[0]->isChecked());
    auto* overview = qobject_cast<OverviewView*>(page.content());
    ASSERT_NE(overview, nullptr);
    QTest::mouseClick(page.tabButtons()[2], Qt::LeftButton);
    EXPECT_EQ(session->tab(), SessionTab::sectors);
    EXPECT_EQ(qobject_cast<OverviewView*>(page.content()), nullptr);
    session->setTab(SessionTab::overview);
    EXPECT_TRUE(page.tabButtons()[0]->isChecked());
    overview = qobject_cast<OverviewView*>(page.content());
    ASSERT_NE(overview, nullptr);
    drainEvents();

    // "Vis filer" selects the volume and shows the files; the overview goes
    // after its click has returned.
    QTest::mouseClick(overview->volumeRows()[1]->openButton(), Qt::LeftButton);
    EXPECT_EQ(session->selectedVolumeID(), session->volumes()[1]->id);
    EXPECT_EQ(session->tab(), SessionTab::files);
    EXPECT_TRUE(page.tabButtons()[1]->isChecked());
    drainEvents();
    EXPECT_EQ(qobject_cast<OverviewView*>(page.content()), nullptr);

    // With the files tab already chosen, a row only changes the volume.
    OverviewView other(session);
    other.resize(1200, 900);
    other.show();
    int tabChanges = 0;
    QObject::connect(session.get(), &Session::tabChanged, [&] { ++tabChanges; });
    QTest::mouseClick(other.volumeRows()[2]->openButton(), Qt::LeftButton);
    EXPECT_EQ(session->selectedVolumeID(), session->volumes()[2]->id);
    EXPECT_EQ(tabChanges, 0);

    // No new quick scan while the deep scan runs.
    session->startDeepScan();
    EXPECT_FALSE(page.rescanAction()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    EXPECT_TRUE(page.rescanAction()->isEnabled());
    page.rescanAction()->trigger();
    EXPECT_TRUE(isRunning(session->quick()));
    EXPECT_FALSE(page.rescanAction()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
}

TEST(SessionView, DeviceSourceShowsItsPathAndOffersImaging) {
    auto model = quietModel();
    std::string image = fixtureImage("fat12");
    int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint64_t size = static_cast<uint64_t>(::lseek(fd, 0, SEEK_END));
    auto source = std::make_shared<DiskSource>(fd, "/dev/sdz", "Testdisk", size, 512, true, "sdz", nullptr);
    auto session = Session::make(source, "Testdisk");
    SessionView page(*model, session);
    page.show();
    EXPECT_EQ(page.subtitleLabel()->text().toStdString(), formatBytes(size) + " · /dev/sdz");
    EXPECT_TRUE(page.imagingAction()->isEnabled());

    // The imaging sheet for this source; its start begins a job in the model.
    EXPECT_FALSE(page.showImaging());
    page.imagingAction()->trigger();
    ASSERT_TRUE(page.showImaging());
    ImagingSetupSheet* sheet = page.imagingSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    TempDir dir;
    std::string copy = dir.file("copy.img");
    sheet->validate(copy);
    sheet->start();
    drainEvents();
    EXPECT_FALSE(page.showImaging());
    EXPECT_EQ(page.imagingSheet(), nullptr);
    ASSERT_EQ(model->imagingJobs().size(), 1u);
    auto job = model->imagingJobs().front();
    EXPECT_EQ(job->imageURL, copy);
    EXPECT_EQ(job->title, "Testdisk");
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    model->removeJob(job);

    // Dismissed without a start: nothing begins, and the entry works again.
    page.imagingAction()->trigger();
    ASSERT_NE(page.imagingSheet(), nullptr);
    page.imagingSheet()->reject();
    drainEvents();
    EXPECT_FALSE(page.showImaging());
    EXPECT_TRUE(model->imagingJobs().empty());
}

TEST(SessionView, ClosingTheScanRemovesTheSessionFromTheModel) {
    auto model = quietModel();
    model->openImage(fixtureImage("fat12"));
    ASSERT_TRUE(spinUntil([&] { return !model->sessions().empty(); }));
    auto session = model->sessions().front();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    auto page = std::make_unique<SessionView>(*model, session);
    page->closeAction()->trigger();
    EXPECT_EQ(model->sessions().size(), 1u);  // once the menu's action has returned
    drainEvents();
    EXPECT_TRUE(model->sessions().empty());
}

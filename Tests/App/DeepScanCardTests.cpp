// The deep-scan card: its options and start button, the estimate, the running
// view's statistics and chips, and a real deep scan of a damaged disk that is
// stopped, then run to its end, inside the window.
#include <gtest/gtest.h>

#include <memory>

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/SessionView/DeepScanCard.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "SovantaApp/Window/SidebarRows.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

QCheckBox* categoryBox(const DeepScanCard& card, FileCategory category) {
    for (auto& [c, box] : card.categoryBoxes())
        if (c == category) return box;
    return nullptr;
}

void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

}  // namespace

TEST(DeepScanCard, OptionsEditTheSessionAndGateTheStartButton) {
    auto session = scannedSession("fat12");
    DeepScanCard card(session);
    card.show();
    EXPECT_TRUE(card.findVolumesBox()->isChecked());
    EXPECT_TRUE(card.carveBox()->isChecked());
    EXPECT_TRUE(card.categoryRow()->isVisible());
    ASSERT_EQ(card.categoryBoxes().size(), 5u);
    QStringList labels;
    for (auto& [category, box] : card.categoryBoxes()) labels << box->text();
    EXPECT_EQ(labels, QStringList({"Billeder", "Video", "Lyd", "Dokumenter", "Arkiver"}));
    EXPECT_EQ(card.startButton()->text(), "Start dyb scanning");
    EXPECT_TRUE(card.startButton()->isEnabled());
    EXPECT_EQ(card.estimateLabel()->text(), "Tager tid – typisk under et minut for denne disk.");
    EXPECT_FALSE(card.endLabel() && card.endLabel()->isVisibleTo(&card));

    // All five categories off: carving may still start, and "other" stays chosen.
    for (auto& [category, box] : card.categoryBoxes()) click(box);
    EXPECT_EQ(session->deepOptions().categories, std::set<FileCategory>{FileCategory::other});
    EXPECT_TRUE(card.startButton()->isEnabled());
    click(categoryBox(card, FileCategory::video));
    EXPECT_EQ(session->deepOptions().categories, (std::set<FileCategory>{FileCategory::video, FileCategory::other}));

    // Carving off hides the row and keeps the choice; on again shows it.
    click(card.carveBox());
    EXPECT_FALSE(session->deepOptions().carve);
    EXPECT_FALSE(card.categoryRow()->isVisible());
    EXPECT_TRUE(card.startButton()->isEnabled());
    click(card.findVolumesBox());
    EXPECT_FALSE(card.startButton()->isEnabled());  // nothing left to do
    click(card.carveBox());
    EXPECT_TRUE(card.startButton()->isEnabled());
    EXPECT_TRUE(card.categoryRow()->isVisible());
    EXPECT_TRUE(categoryBox(card, FileCategory::video)->isChecked());
    EXPECT_FALSE(categoryBox(card, FileCategory::image)->isChecked());
    click(card.carveBox());
    click(card.findVolumesBox());
    EXPECT_TRUE(card.startButton()->isEnabled());

    // The session's options show in a new card, and no start while the quick scan runs.
    DeepScanCard again(session);
    EXPECT_FALSE(again.carveBox()->isChecked());
    EXPECT_TRUE(again.findVolumesBox()->isChecked());
    session->startQuickScan();
    EXPECT_FALSE(again.startButton()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    EXPECT_TRUE(again.startButton()->isEnabled());
}

TEST(DeepScanCard, EstimatePercentageRemainingTimeAndChips) {
    struct EstimateCase {
        uint64_t size;
        bool isDevice;
        std::string text;
    };
    for (const auto& c : {EstimateCase{4'800'000'000, true, Fmt::duration(60)},
                          EstimateCase{4'799'999'999, true, "under et minut"},
                          EstimateCase{20'000'000'000, false, "under et minut"},
                          EstimateCase{24'000'000'000, false, Fmt::duration(60)},
                          EstimateCase{400'000'000'000, false, Fmt::duration(1000)}}) {
        EXPECT_EQ(DeepScanCard::estimate(c.size, c.isDevice), c.text) << c.size << " " << c.isDevice;
    }

    // One decimal with a point whatever the locale.
    QLocale::setDefault(QLocale(QLocale::Danish, QLocale::Denmark));
    EXPECT_EQ(DeepScanCard::percentage(0.4237), "42.4 %");
    EXPECT_EQ(DeepScanCard::percentage(0), "0.0 %");
    EXPECT_EQ(DeepScanCard::percentage(1), "100.0 %");
    QLocale::setDefault(QLocale::c());

    DeepScanStats stats;
    stats.position = 100;
    stats.total = 1100;
    stats.rate = 10;
    EXPECT_EQ(DeepScanCard::remaining(stats), 100.0);
    stats.rate = 1.0;
    EXPECT_EQ(DeepScanCard::remaining(stats), std::nullopt);
    stats.rate = 10;
    stats.position = 1100;
    EXPECT_EQ(DeepScanCard::remaining(stats), std::nullopt);

    // The 18 most frequent, upper case; equal counts keep the map's order.
    std::map<std::string, int64_t> byExtension;
    for (int i = 0; i < 30; ++i) byExtension["x" + std::to_string(100 + i)] = i % 15;
    auto chips = DeepScanCard::chipItems(byExtension);
    ASSERT_EQ(chips.size(), 18u);
    EXPECT_EQ(chips[0], FlowChips::Item("X114", 14));
    EXPECT_EQ(chips[1], FlowChips::Item("X129", 14));
    EXPECT_EQ(chips[2], FlowChips::Item("X113", 13));
    for (size_t i = 1; i < chips.size(); ++i) EXPECT_GE(chips[i - 1].second, chips[i].second);
    EXPECT_EQ(chips.back().second, 6);
    EXPECT_TRUE(DeepScanCard::chipItems({}).empty());
}

TEST(DeepScanCard, RunningViewShowsTheSweepsStatistics) {
    int stops = 0;
    DeepScanRunningView view([&] { ++stops; });
    view.resize(900, 400);
    view.show();
    DeepScanStats stats;
    stats.position = 1'000'000;
    stats.total = 3'000'000;
    stats.rate = 500'000;
    stats.filesFound = 1234;
    stats.bootSectors = 2;
    stats.mftRecords = 40;
    view.display(0.4237, "Scanner hele disken …", stats);
    EXPECT_EQ(view.messageLabel()->text(), "Scanner hele disken …");
    EXPECT_TRUE(view.percentLabel()->isVisible());
    EXPECT_EQ(view.percentLabel()->text(), "42.4 %");
    EXPECT_EQ(view.progressBar()->maximum(), 1000);
    EXPECT_EQ(view.progressBar()->value(), 424);
    auto tiles = view.tiles();
    ASSERT_EQ(tiles.size(), 6u);
    std::vector<std::pair<QString, std::string>> expected = {
        {"Læst", formatBytes(1'000'000) + " af " + formatBytes(3'000'000)},
        {"Hastighed", Fmt::rate(500'000)},
        {"Resttid", Fmt::duration(4)},
        {"Filer fundet", "1.234"},
        {"Filsystemspor", "42"},
        {"Læsefejl", "0"},
    };
    for (size_t i = 0; i < tiles.size(); ++i) {
        EXPECT_EQ(tiles[i]->title(), expected[i].first);
        EXPECT_EQ(tiles[i]->value().toStdString(), expected[i].second) << expected[i].first.toStdString();
    }
    EXPECT_EQ(tiles[5]->tint(), Style::Colors::gray);
    EXPECT_FALSE(view.chips()->isVisible());
    click(view.stopButton());
    EXPECT_EQ(stops, 1);

    // The analysis: no fraction, an indeterminate bar; read errors in red; chips.
    stats.badSectors = 3;
    stats.rate = 0;
    stats.byExtension = {{"jpg", 5}, {"pdf", 9}};
    view.display(std::nullopt, "Analyserer fund …", stats);
    EXPECT_FALSE(view.percentLabel()->isVisible());
    EXPECT_EQ(view.progressBar()->maximum(), 0);
    tiles = view.tiles();
    EXPECT_EQ(tiles[2]->value(), "–");
    EXPECT_EQ(tiles[5]->title(), "Læsefejl");
    EXPECT_EQ(tiles[5]->value(), "3");
    EXPECT_EQ(tiles[5]->tint(), Style::Colors::red);
    EXPECT_TRUE(view.chips()->isVisible());
    EXPECT_EQ(view.chips()->items(), (std::vector<FlowChips::Item>{{"PDF", 9}, {"JPG", 5}}));
}

// A real deep scan of a disk whose tables are gone, in the window: it shows
// the sweep's statistics, stops cancelled with what it found kept, and run to
// its end brings the lost volumes into the overview and the sidebar.
TEST(DeepScanCard, DeepScanOfADamagedDiskStopsAndRunsToTheEnd) {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    // One unreadable stretch in the middle of the first lost volume's data.
    services.openImage = [](const std::string& path) {
        return SourceOpener::openImage(path, withBadRanges({{20u << 20, (20u << 20) + 4096}}));
    };
    auto model = AppModel::make(std::move(services));
    ContentView window(*model);
    window.resize(1440, 900);
    window.show();
    model->openImage(fixtureImage("damage_gpt_all_tables_zeroed"));
    ASSERT_TRUE(spinUntil([&] { return !model->sessions().empty(); }));
    SessionPtr session = model->sessions().front();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    drainEvents();
    auto* page = qobject_cast<SessionView*>(window.page());
    ASSERT_NE(page, nullptr);
    auto* overview = qobject_cast<OverviewView*>(page->content());
    ASSERT_NE(overview, nullptr);
    DeepScanCard* card = overview->deepScanCard();
    EXPECT_TRUE(overview->volumeRows().empty());

    // Started and stopped at once: cancelled, no end label, the options back.
    // The scan is held before it reads, so that the stop comes while it runs.
    auto hold = std::make_unique<BackgroundHold>();
    click(card->startButton());
    ASSERT_TRUE(isRunning(session->deep()));
    EXPECT_TRUE(card->runningView()->isVisible());
    EXPECT_FALSE(card->optionsView()->isVisible());
    EXPECT_FALSE(page->rescanAction()->isEnabled());
    auto before = session->volumes();
    click(card->runningView()->stopButton());
    hold.reset();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    drainEvents();
    EXPECT_EQ(session->deep(), TaskPhase(phase::Cancelled{}));
    EXPECT_FALSE(card->endLabel() && card->endLabel()->isVisibleTo(card));
    EXPECT_TRUE(card->optionsView()->isVisible());
    EXPECT_EQ(card->startButton()->text(), "Start dyb scanning");
    ASSERT_GE(session->volumes().size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), session->volumes().begin()));
    EXPECT_EQ(overview->volumeRows().size(), session->volumes().size());

    // Run to the end: every statistics update shows in the tiles at once.
    int updates = 0;
    QObject::connect(session.get(), &Session::deepStatsChanged, card, [&] {
        if (!isRunning(session->deep())) return;
        ++updates;
        const DeepScanStats& stats = session->deepStats();
        auto tiles = card->runningView()->tiles();
        EXPECT_EQ(tiles[0]->value().toStdString(), formatBytes(stats.position) + " af " + formatBytes(stats.total));
        EXPECT_EQ(tiles[3]->value().toStdString(), Fmt::number(stats.filesFound));
        EXPECT_EQ(tiles[5]->value().toStdString(), Fmt::number(stats.badSectors));
        EXPECT_EQ(tiles[5]->tint(), stats.badSectors > 0 ? Style::Colors::red : Style::Colors::gray);
        EXPECT_EQ(card->runningView()->chips()->items(), DeepScanCard::chipItems(stats.byExtension));
    });
    click(card->startButton());
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    drainEvents();
    EXPECT_GE(updates, 1);
    EXPECT_GT(session->deepStats().badSectors, 0);

    EXPECT_EQ(session->deep(), TaskPhase(phase::Finished{}));
    ASSERT_NE(card->endLabel(), nullptr);
    EXPECT_TRUE(card->endLabel()->isVisibleTo(card));
    EXPECT_EQ(card->endLabel()->text(), session->deepCompleted() ? "Gennemført" : "Afbrudt");
    EXPECT_EQ(card->endSymbol()->colour(), session->deepCompleted() ? Style::Colors::green : Style::Colors::orange);
    EXPECT_EQ(card->startButton()->text(), "Scan igen");
    EXPECT_FALSE(card->runningView()->isVisible());

    // The three lost volumes in the overview, and their count in the sidebar.
    ASSERT_GE(session->volumes().size(), 3u);
    ASSERT_EQ(overview->volumeRows().size(), session->volumes().size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(overview->volumeRows()[i]->volume(), session->volumes()[i]);
        EXPECT_NE(overview->volumeRows()[i]->originLabel()->text().toStdString(), origin::partitionTable);
        EXPECT_NE(overview->volumeRows()[i]->statsLabel(), nullptr);
    }
    auto* row = qobject_cast<SessionRow*>(window.sidebar()->rowWidget(sidebar::Session{session->id}));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->statusLabel()->text(), QString::number(session->volumes().size()) + " filsystemer fundet");
    model->close(session);
    drainEvents();
}

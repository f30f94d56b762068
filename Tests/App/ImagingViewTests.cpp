// The imaging page over real copies of a fixture image with simulated bad
// ranges: the block map's geometry and colours, the tiles' values and tints,
// and the buttons through a paused, stopped, resumed and scanned copy.
#include <gtest/gtest.h>

#include <algorithm>

#include <QLabel>
#include <QLineSeries>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/Panels.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

using Status = RangeMap::Status;

// A model with no disks; images open as the core opens them.
AppModelPtr makeModel() {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    auto model = AppModel::make(std::move(services));
    EXPECT_TRUE(spinUntil([&] { return !model->loadingDisks(); }));
    return model;
}

void closeAll(AppModel& model) {
    for (auto& session : std::vector<SessionPtr>(model.sessions())) model.close(session);
    spinUntil([&] { return !model.opening(); });
}

ImagingJobPtr makeJob(const DiskSourcePtr& source, const std::string& image) {
    return ImagingJob::make("fat12", image, std::make_shared<DiskImager>(source, image, ImagingOptions{1, 65536, 1 << 20}));
}

// Replaces the file manager for the test's life and records what it was asked to show.
struct RevealRecorder {
    std::vector<std::string> shown;
    Panels::ShowInFileManagerFunction saved = Panels::showInFileManager;
    RevealRecorder() {
        Panels::showInFileManager = [this](const std::string& path) { shown.push_back(path); };
    }
    ~RevealRecorder() { Panels::showInFileManager = saved; }
};

void click(QPushButton* button) {
    ASSERT_TRUE(button->isVisible());
    ASSERT_TRUE(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    drainEvents();
}

// The colour painted at the centre of cell i.
QColor cellColour(BlockMap& map, size_t i) {
    QImage image = map.grab().toImage();
    auto g = BlockMap::geometry(map.cells().size(), map.width(), map.height());
    auto columns = static_cast<size_t>(g.columns);
    double x = g.cellWidth * static_cast<double>(i % columns) + (g.cellWidth - 1.5) / 2;
    double y = g.pitch * static_cast<double>(i / columns) + (g.pitch - 1.5) / 2;
    qreal ratio = image.devicePixelRatio();
    return image.pixelColor(static_cast<int>(x * ratio), static_cast<int>(y * ratio));
}

}  // namespace

TEST(ImagingView, BlockMapGeometry) {
    struct Case {
        size_t cells;
        double width, height;
        int columns, rows;
        double cellWidth, pitch;
    };
    const std::vector<Case> cases = {
        {0, 1000, 170, 0, 0, 0, 0},
        {1200, 1000, 170, 111, 11, 1000.0 / 111, 1000.0 / 111},
        // Narrow: the row pitch follows the height and the cells are wider than high.
        {1200, 300, 170, 33, 37, 300.0 / 33, 170.0 / 37},
        {5, 8, 170, 1, 5, 8, 8},
        {3, 100, 170, 11, 1, 100.0 / 11, 100.0 / 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.cells) + " cells on " + std::to_string(c.width));
        auto g = BlockMap::geometry(c.cells, c.width, c.height);
        EXPECT_EQ(g.columns, c.columns);
        EXPECT_EQ(g.rows, c.rows);
        EXPECT_NEAR(g.cellWidth, c.cellWidth, 1e-9);
        EXPECT_NEAR(g.pitch, c.pitch, 1e-9);
    }
}

TEST(ImagingView, BlockMapPaintsEachCellInItsStatusColour) {
    BlockMap map;
    map.resize(90, 170);  // ten columns
    std::vector<Status> cells = {Status::finished, Status::nonTrimmed, Status::nonScraped, Status::bad, Status::nonTried};
    map.setCells(cells);
    for (size_t i = 0; i < cells.size(); ++i) {
        SCOPED_TRACE(i);
        QColor expected = BlockMap::colour(cells[i]);
        QColor painted = cellColour(map, i);
        if (expected.alpha() == 255) {
            EXPECT_EQ(painted.rgb(), expected.rgb());
        }
    }
    EXPECT_EQ(BlockMap::colour(Status::finished), Style::Colors::green);
    EXPECT_EQ(BlockMap::colour(Status::bad), Style::Colors::red);
    EXPECT_EQ(BlockMap::colour(Status::nonTrimmed), BlockMap::colour(Status::nonScraped));
    EXPECT_NEAR(BlockMap::colour(Status::nonTried).alphaF(), 0.35, 0.01);
    // The grid takes one row of the height; below it nothing is drawn.
    QImage image = map.grab().toImage();
    QColor below = image.pixelColor(image.width() / 10, image.height() - 5);
    QColor empty = BlockMap().grab(QRect(0, 0, 10, 10)).toImage().pixelColor(5, 5);
    EXPECT_EQ(below, empty);
}

TEST(ImagingView, TileValuesAndTints) {
    auto values = ImagingView::tileValues(ImagingStats{});
    std::vector<std::string> titles;
    for (auto& v : values) titles.push_back(v.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Reddet", "Ulæselige", "Tilbage", "Hastighed nu", "Gennemsnit",
                                                "Tid brugt", "Resttid (anslået)", "Læsefejl",
                                                "Siden sidste gode læsning"}));
    // A fresh run: no rates and no estimate, nothing alarming.
    EXPECT_EQ(values[3].value, "–");
    EXPECT_EQ(values[4].value, "–");
    EXPECT_EQ(values[6].value, "–");
    EXPECT_EQ(values[1].tint, Style::Colors::gray);
    EXPECT_EQ(values[7].tint, Style::Colors::gray);
    EXPECT_EQ(values[8].tint, Style::Colors::gray);
    EXPECT_EQ(values[0].tint, Style::Colors::green);

    struct Case {
        const char* what;
        ImagingStats stats;
        size_t tile;
        std::string value;  // empty: not checked
        QColor tint;
    };
    auto with = [](auto change) {
        ImagingStats stats;
        change(stats);
        return stats;
    };
    const std::vector<Case> cases = {
        {"first bad byte", with([](auto& s) { s.bad = 1; }), 1, formatBytes(1), Style::Colors::red},
        {"first read error", with([](auto& s) { s.readErrors = 1; }), 7, "1", Style::Colors::orange},
        {"30 s since a good read", with([](auto& s) { s.sinceLastSuccess = 30; }), 8, "", Style::Colors::gray},
        {"30.5 s since a good read", with([](auto& s) { s.sinceLastSuccess = 30.5; }), 8, "", Style::Colors::red},
        {"average of 1 byte/s", with([](auto& s) { s.averageRate = 1; s.pending = 1000; }), 6, "–", Style::accent()},
        {"nothing pending", with([](auto& s) { s.averageRate = 1e6; }), 6, "–", Style::accent()},
        {"estimate", with([](auto& s) { s.averageRate = 1e6; s.pending = 90'000'000; }), 6, Fmt::duration(90.0),
         Style::accent()},
        {"rate", with([](auto& s) { s.currentRate = 2.5e6; }), 3, Fmt::rate(2.5e6), Style::accent()},
    };
    // What holds only while the copy reads: the current rate and the
    // estimate; paused, no alarm for the time since a good read.
    ImagingStats reading = with([](auto& s) {
        s.currentRate = 2.5e6;
        s.averageRate = 1e6;
        s.pending = 90'000'000;
        s.total = 100'000'000;
        s.sinceLastSuccess = 45;
    });
    struct State {
        const char* what;
        bool running, paused;
        std::string rate, estimate;
        QColor sinceTint;
    };
    const State states[] = {
        {"reading", true, false, Fmt::rate(2.5e6), Fmt::duration(90.0), Style::Colors::red},
        {"paused", true, true, "–", "–", Style::Colors::gray},
        {"ended", false, false, "–", "–", Style::Colors::red},
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.what);
        auto v = ImagingView::tileValues(reading, state.running, state.paused);
        EXPECT_EQ(v[3].value, state.rate);
        EXPECT_EQ(v[6].value, state.estimate);
        EXPECT_EQ(v[8].tint, state.sinceTint);
        EXPECT_EQ(v[2].value, formatBytes(90'000'000));
    }
    // A run that never measured the source: nothing known to be left.
    EXPECT_EQ(ImagingView::tileValues(ImagingStats{}, false, false)[2].value, "–");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = ImagingView::tileValues(c.stats)[c.tile];
        if (!c.value.empty()) {
            EXPECT_EQ(v.value, c.value);
        }
        EXPECT_EQ(v.tint, c.tint);
    }
}

TEST(ImagingView, StateLineAndPercentage) {
    EXPECT_EQ(ImagingView::percentage(0), "0.0 %");
    EXPECT_EQ(ImagingView::percentage(0.425), "42.5 %");
    EXPECT_EQ(ImagingView::percentage(1), "100.0 %");

    auto model = makeModel();
    TempDir dir;
    auto job = makeJob(openFixture("fat12"), dir.file("copy.img"));
    ImagingView page(*model, job);
    // Not started: waiting, with only the file manager to offer.
    EXPECT_EQ(page.windowTitle(), "Diskbillede");
    EXPECT_EQ(page.stateLabel()->text(), "Venter");
    EXPECT_EQ(page.buttonTexts(), QStringList{"Vis i filhåndtering"});
    EXPECT_EQ(page.percentageLabel()->text(), "0.0 %");
    EXPECT_TRUE(page.chartCard()->isHidden());
    EXPECT_EQ(page.tile("Hastighed nu")->value(), "–");
    EXPECT_EQ(page.tile("Resttid (anslået)")->value(), "–");

    // Started and paused before its first read: the phase of fresh statistics is empty.
    job->togglePause();
    job->start();
    EXPECT_EQ(page.stateLabel()->text(), "Sat på pause");
    EXPECT_EQ(page.buttonTexts(), (QStringList{"Fortsæt", "Stop"}));
    job->togglePause();
    EXPECT_EQ(page.stateLabel()->text(), "");
    EXPECT_EQ(page.buttonTexts(), (QStringList{"Pause", "Stop"}));
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    // A complete copy: done in green, and nothing left to resume.
    EXPECT_EQ(page.stateLabel()->text(), "Færdig");
    EXPECT_EQ(page.stateLabel()->palette().color(QPalette::WindowText), Style::Colors::green);
    EXPECT_EQ(page.buttonTexts(), (QStringList{"Vis i filhåndtering", "Genoptag", "Scan billedet"}));
    EXPECT_FALSE(page.resumeButton()->isEnabled());
    EXPECT_EQ(page.percentageLabel()->text(), "100.0 %");
    EXPECT_EQ(page.progressBar()->value(), page.progressBar()->maximum());
    EXPECT_EQ(page.tile("Ulæselige")->tint(), Style::Colors::gray);
}

TEST(ImagingView, PauseStopResumeAndScanTheImage) {
    RevealRecorder reveal;
    auto model = makeModel();
    TempDir dir;
    std::string image = dir.file("copy.img");
    // The first half was copied by an earlier run: the image holds it and the mapfile says so.
    Bytes original = readBytes(fixtureImage("fat12"));
    const uint64_t half = original.size() / 2;
    writeFile(image, Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(half)));
    {
        RangeMap map(original.size());
        map.set(0, half, Status::finished);
        map.write(image + ".map", half, 1);
    }
    // Two unreadable stretches in the half still to copy.
    const std::vector<ByteRange> bad = {{800 * 1024, 800 * 1024 + 4096}, {1200 * 1024, 1200 * 1024 + 512}};
    auto job = makeJob(openFixture("fat12", withBadRanges(bad)), image);

    ImagingView page(*model, job);
    page.resize(1200, 1000);
    page.show();
    drainEvents();
    // The map shows the earlier run: the first half copied, the rest untried.
    BlockMap& map = *page.blockMap();
    ASSERT_EQ(map.cells().size(), 1200u);
    EXPECT_EQ(cellColour(map, 0).rgb(), Style::Colors::green.rgb());
    EXPECT_EQ(cellColour(map, 598).rgb(), Style::Colors::green.rgb());
    EXPECT_NE(cellColour(map, 1199).rgb(), Style::Colors::green.rgb());

    // Paused before its first read, the copy holds its place while the chart fills.
    job->togglePause();
    job->start();
    ASSERT_TRUE(spinUntil([&] { return job->samples().size() >= 2; }));
    uint64_t held = job->stats().rescued;
    EXPECT_EQ(held, half);
    ASSERT_TRUE(spinUntil([&] { return job->samples().size() >= 4; }));
    EXPECT_EQ(job->stats().rescued, held);
    EXPECT_EQ(page.stateLabel()->text(), "Sat på pause");
    EXPECT_FALSE(page.chartCard()->isHidden());
    EXPECT_EQ(page.rateLine()->count(), static_cast<int>(job->samples().size()));
    EXPECT_EQ(page.percentageLabel()->text(), ImagingView::percentage(0.5));

    // Stop on a paused copy lifts the pause and ends it with the imager's message.
    click(page.stopButton());
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    ASSERT_TRUE(job->stats().message);
    EXPECT_EQ(page.stateLabel()->text().toStdString(), *job->stats().message);
    EXPECT_EQ(page.stateLabel()->text().left(8), "Stoppet.");
    EXPECT_FALSE(job->paused());
    EXPECT_EQ(page.buttonTexts(), (QStringList{"Vis i filhåndtering", "Genoptag", "Scan billedet"}));
    EXPECT_TRUE(page.resumeButton()->isEnabled());  // bytes pending

    click(page.revealButton());
    EXPECT_EQ(reveal.shown, std::vector<std::string>{image});

    // Continuing runs the copy to its end; the chart keeps the earlier samples.
    size_t earlier = job->samples().size();
    {
        // The short copy is held before it reads, so that the page shows it running.
        BackgroundHold hold;
        click(page.resumeButton());
        EXPECT_TRUE(job->running());
        EXPECT_EQ(page.buttonTexts(), (QStringList{"Pause", "Stop"}));
    }
    ASSERT_TRUE(spinUntil([&] { return job->finished(); }));
    EXPECT_GE(job->samples().size(), earlier);
    EXPECT_EQ(page.rateLine()->count(), static_cast<int>(job->samples().size()));
    EXPECT_EQ(page.stateLabel()->text(), "Færdig");
    EXPECT_EQ(page.percentageLabel()->text(), "100.0 %");
    EXPECT_EQ(page.tile("Ulæselige")->value().toStdString(), formatBytes(4096 + 512));
    EXPECT_EQ(page.tile("Ulæselige")->tint(), Style::Colors::red);
    EXPECT_EQ(page.tile("Læsefejl")->tint(), Style::Colors::orange);
    EXPECT_EQ(page.tile("Tilbage")->value().toStdString(), formatBytes(0));
    // Bad areas remain, so it can be tried again.
    EXPECT_TRUE(page.resumeButton()->isEnabled());
    auto cells = map.cells();
    EXPECT_EQ(std::count(cells.begin(), cells.end(), Status::nonTried), 0);
    EXPECT_GE(std::count(cells.begin(), cells.end(), Status::bad), 2);
    size_t firstBad = static_cast<size_t>(std::find(cells.begin(), cells.end(), Status::bad) - cells.begin());
    EXPECT_EQ(cellColour(map, firstBad).rgb(), Style::Colors::red.rgb());

    // The image opens in a session of its own, and its file system is there.
    click(page.scanButton());
    ASSERT_TRUE(spinUntil([&] { return model->sessions().size() == 1; }));
    SessionPtr session = model->sessions().front();
    EXPECT_EQ(session->imageURL(), image);
    EXPECT_EQ(model->selection(), SidebarItem(sidebar::Session{session->id}));
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    EXPECT_EQ(session->volumes().size(), 1u);
    closeAll(*model);
}

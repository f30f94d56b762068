// The window over a model in known states: the sidebar's sections and rows,
// the routing of the detail area, the context menus, the alert and the banner.
#include <gtest/gtest.h>

#include <atomic>
#include <tuple>
#include <thread>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEngine>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>

#include <fcntl.h>

#include "AppTestSupport.h"
#include "RecordedDisks.h"
#include "SovantaApp/BrowserView/Breadcrumb.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/BrowserView/FileRowsModel.h"
#include "SovantaApp/BrowserView/FileTable.h"
#include "SovantaApp/BrowserView/FolderTree.h"
#include "SovantaApp/BrowserView/GalleryView.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/ImagingViews/ImagingView.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/SessionView/DeepScanCard.h"
#include "SovantaApp/SessionView/OverviewView.h"
#include "SovantaApp/SessionView/SessionView.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "SovantaApp/WelcomeView.h"
#include "SovantaApp/Window/SidebarRows.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// A gate a background step waits at until the test opens it.
struct Gate {
    std::atomic<bool> open{true};
    void wait() const {
        while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
};

// A model whose disk list and image opener the test controls, under a window.
struct Window {
    std::shared_ptr<Gate> loadGate = std::make_shared<Gate>();
    std::shared_ptr<Gate> openGate = std::make_shared<Gate>();
    std::shared_ptr<std::vector<DiskInfo>> disks = std::make_shared<std::vector<DiskInfo>>(recordedDisks());
    // Opened images stand for a disk (as an Apple disk image does).
    std::shared_ptr<bool> asDevice = std::make_shared<bool>(false);
    // The options the images open with (a test's hold on their reads).
    std::shared_ptr<SourceOptions> sourceOptions = std::make_shared<SourceOptions>();
    AppModelPtr model;
    std::unique_ptr<ContentView> view;

    explicit Window(bool holdFirstLoad = false) {
        loadGate->open = !holdFirstLoad;
        AppModel::Services services;
        services.loadDisks = [gate = loadGate, disks = disks] {
            gate->wait();
            return *disks;
        };
        services.openImage = [gate = openGate, asDevice = asDevice, options = sourceOptions](const std::string& path) {
            gate->wait();
            if (!*asDevice) return SourceOpener::openImage(path, *options);
            auto plain = SourceOpener::openImage(path);
            return std::make_shared<DiskSource>(::open(path.c_str(), O_RDONLY | O_CLOEXEC), path, plain->displayName,
                                                plain->size, plain->sectorSize, true, std::string("loop9"), nullptr);
        };
        model = AppModel::make(std::move(services));
        view = std::make_unique<ContentView>(*model);
        view->resize(1440, 900);
        view->show();
        if (!holdFirstLoad) waitForDisks();
    }
    ~Window() {
        loadGate->open = true;
        openGate->open = true;
        view.reset();
        for (auto& session : std::vector<SessionPtr>(model->sessions())) model->close(session);
        for (auto& job : std::vector<ImagingJobPtr>(model->imagingJobs())) model->removeJob(job);
        spinUntil([&] { return !model->loadingDisks() && !model->opening(); });
    }

    void waitForDisks() { ASSERT_TRUE(spinUntil([&] { return !model->loadingDisks(); })); }
    SidebarView& sidebar() const { return *view->sidebar(); }
    QStringList texts() const { return sidebar().texts(); }

    SessionPtr openImage(const std::string& name, std::optional<SessionTab> tab = std::nullopt) {
        size_t before = model->sessions().size();
        model->openImage(fixtureImage(name), tab);
        EXPECT_TRUE(spinUntil([&] { return model->sessions().size() > before; }));
        auto session = model->sessions().back();
        EXPECT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
        drainEvents();
        return session;
    }

    template <class Row>
    Row* row(const SidebarItem& item) const {
        return qobject_cast<Row*>(sidebar().rowWidget(item));
    }

    void select(const SidebarItem& item) const {
        QListWidgetItem* listItem = sidebar().itemFor(item);
        ASSERT_NE(listItem, nullptr);
        QRect place = sidebar().list()->visualItemRect(listItem);
        QTest::mouseClick(sidebar().list()->viewport(), Qt::LeftButton, {}, place.center());
        drainEvents();
    }
};

ImagingJobPtr fixtureJob(const DiskSourcePtr& source, const std::string& image) {
    return ImagingJob::make("fat12", image, std::make_shared<DiskImager>(source, image, ImagingOptions{1, 65536, 1 << 20}));
}

// A paint device that keeps the texts drawn on it, and nothing else.
class TextRecorder : public QPaintDevice {
public:
    QStringList texts;
    QPaintEngine* paintEngine() const override { return &engine_; }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
            case PdmWidth:
            case PdmHeight: return 2000;
            case PdmDpiX:
            case PdmDpiY:
            case PdmPhysicalDpiX:
            case PdmPhysicalDpiY: return 96;
            case PdmDepth: return 32;
            case PdmDevicePixelRatio: return 1;
            case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
            default: return 100;
        }
    }

private:
    class Engine : public QPaintEngine {
    public:
        explicit Engine(QStringList& texts) : texts_(texts) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState&) override {}
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawPath(const QPainterPath&) override {}
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawTextItem(const QPointF&, const QTextItem& item) override { texts_ << item.text(); }
        Type type() const override { return User; }

    private:
        QStringList& texts_;
    };
    mutable Engine engine_{texts};
};

}  // namespace

TEST(ContentView, SidebarListsTheStartItemAndTheDisksWithTheirHealth) {
    Window window(/*holdFirstLoad=*/true);
    EXPECT_EQ(window.texts(), (QStringList{"Diske", "Indlæser …"}));
    ASSERT_NE(window.sidebar().itemFor(sidebar::Welcome{}), nullptr);
    EXPECT_TRUE(window.sidebar().itemFor(sidebar::Welcome{})->isSelected());
    window.loadGate->open = true;
    window.waitForDisks();
    drainEvents();

    // The recorded disks in the model's order, each with its size, name and health.
    EXPECT_EQ(window.texts(), QStringList{"Diske"});
    ASSERT_EQ(window.model->disks().size(), 3u);
    for (const DiskInfo& disk : window.model->disks()) {
        SCOPED_TRACE(disk.bsdName);
        auto* row = window.row<DiskRow>(sidebar::Disk{disk.bsdName});
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->name().toStdString(), disk.mediaName);
        EXPECT_EQ(row->detail().toStdString(), formatBytes(disk.size) + " · " + disk.bsdName);
        EXPECT_EQ(row->healthDot()->health(), disk.health());
        EXPECT_EQ(row->healthDot()->toolTip().toStdString(), healthText(disk.health()));
    }

    // A reload while disks are listed shows no status; a list that comes back
    // empty says so; a disk without a media name shows its BSD name twice.
    window.loadGate->open = false;
    window.model->refreshDisks();
    drainEvents();
    EXPECT_EQ(window.texts(), QStringList{"Diske"});
    DiskInfo bare;
    bare.bsdName = "sdz";
    bare.size = 1 << 20;
    *window.disks = {bare};
    window.loadGate->open = true;
    window.waitForDisks();
    drainEvents();
    auto* row = window.row<DiskRow>(sidebar::Disk{"sdz"});
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->name(), "sdz");
    EXPECT_EQ(row->detail().toStdString(), formatBytes(1 << 20) + " · sdz");
    EXPECT_EQ(row->healthDot()->health(), DiskHealth::unknown);
    window.disks->clear();
    window.model->refreshDisks();
    window.waitForDisks();
    drainEvents();
    EXPECT_EQ(window.texts(), (QStringList{"Diske", "Ingen diske fundet"}));
}

TEST(ContentView, SelectingRowsRoutesTheDetailArea) {
    Window window;
    EXPECT_EQ(window.view->pageKey(), "welcome");
    EXPECT_NE(qobject_cast<WelcomeView*>(window.view->page()), nullptr);
    auto session = window.openImage("fat16");
    EXPECT_EQ(window.view->pageKey(), "session:" + session->id.string());
    EXPECT_EQ(window.view->page()->windowTitle().toStdString(), session->title);

    const std::string bsdName = window.model->disks().front().bsdName;
    window.select(sidebar::Disk{bsdName});
    EXPECT_EQ(window.model->selection(), SidebarItem(sidebar::Disk{bsdName}));
    EXPECT_EQ(window.view->pageKey(), "disk:" + bsdName);
    EXPECT_EQ(window.view->page()->windowTitle().toStdString(), window.model->disks().front().mediaName);
    // The same key keeps its page across a reload of the list; another key makes a new one.
    QWidget* diskPage = window.view->page();
    window.model->refreshDisks();
    window.waitForDisks();
    drainEvents();
    EXPECT_EQ(window.view->page(), diskPage);

    window.select(sidebar::Session{session->id});
    EXPECT_EQ(window.view->pageKey(), "session:" + session->id.string());
    window.select(sidebar::Welcome{});
    EXPECT_NE(qobject_cast<WelcomeView*>(window.view->page()), nullptr);

    // A selection whose target is gone shows the start page, and no alert.
    window.model->setSelection(sidebar::Imaging{Uuid::random()});
    drainEvents();
    EXPECT_EQ(window.view->pageKey(), "welcome");
    EXPECT_EQ(window.view->alert(), nullptr);
    window.model->setSelection(std::nullopt);
    drainEvents();
    EXPECT_EQ(window.view->pageKey(), "welcome");
    EXPECT_TRUE(window.sidebar().list()->selectedItems().isEmpty());

    // The split view's sidebar stays between 230 and 340 wide.
    EXPECT_EQ(window.sidebar().minimumWidth(), 230);
    EXPECT_EQ(window.sidebar().maximumWidth(), 340);
    EXPECT_GE(window.sidebar().width(), 230);
    EXPECT_LE(window.sidebar().width(), 340);
}

TEST(ContentView, SessionRowShowsItsScanThenTheFileSystemsFound) {
    Window window;
    auto session = Session::make(openFixture("fat16"), "fat16.img");
    SessionRow row(session);
    row.show();
    EXPECT_EQ(row.symbolView()->symbol(), "doc.zipper");
    EXPECT_EQ(row.statusLabel()->text(), "0 filsystemer fundet");
    EXPECT_FALSE(row.progressBar()->isVisible());

    session->startQuickScan();
    EXPECT_TRUE(row.progressBar()->isVisible());
    EXPECT_FALSE(row.statusLabel()->isVisible());
    EXPECT_EQ(row.progressBar()->maximum(), 0);  // no fraction yet: indeterminate
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    drainEvents();
    EXPECT_FALSE(row.progressBar()->isVisible());
    EXPECT_EQ(row.statusLabel()->text(), "1 filsystemer fundet");

    // A deep scan after a finished quick scan shows the deep scan's bar.
    session->startDeepScan();
    EXPECT_TRUE(row.progressBar()->isVisible());
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }, std::chrono::seconds(300)));
    drainEvents();
    EXPECT_TRUE(row.statusLabel()->isVisible());

    DiskInfo disk;
    disk.bsdName = "sdx";
    SessionRow deviceRow(Session::make(openFixture("fat16"), "Testdisk", disk));
    EXPECT_EQ(deviceRow.symbolView()->symbol(), "magnifyingglass");
    EXPECT_EQ(deviceRow.title(), "Testdisk");
}

TEST(ContentView, ClosingTheLastSessionFromItsMenuRemovesTheSection) {
    Window window;
    auto session = window.openImage("fat12");
    EXPECT_TRUE(window.texts().contains("Scanninger"));
    auto* row = window.row<SessionRow>(sidebar::Session{session->id});
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->statusLabel()->text(), QString::number(session->volumes().size()) + " filsystemer fundet");

    EXPECT_EQ(window.sidebar().contextMenuFor(sidebar::Welcome{}), nullptr);
    std::unique_ptr<QMenu> menu(window.sidebar().contextMenuFor(sidebar::Session{session->id}));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "Luk scanning");
    menu->actions()[0]->trigger();
    drainEvents();
    EXPECT_TRUE(window.model->sessions().empty());
    EXPECT_FALSE(window.texts().contains("Scanninger"));
    EXPECT_EQ(window.view->pageKey(), "welcome");
}

// A job is done only when every byte was copied: a stopped copy, a copy that
// could not begin and one with bad areas say so with a warning symbol.
TEST(ContentView, JobRowsShowTheirStatesAndOnlyACompleteCopyAsDone) {
    TempDir dir;
    auto stopped = fixtureJob(openFixture("fat12"), dir.file("stopped.img"));
    auto badSource = openFixture("fat12", withBadRanges({{64 * 1024, 64 * 1024 + 4096}}));
    auto withBadAreas = fixtureJob(badSource, dir.file("bad.img"));
    auto complete = fixtureJob(openFixture("fat12"), dir.file("complete.img"));
    auto notBegun = fixtureJob(openFixture("fat12"), dir.file("no/such/folder/x.img"));

    JobRow waiting(stopped);
    EXPECT_EQ(waiting.name(), "stopped.img");
    EXPECT_EQ(waiting.statusLabel()->text(), "Venter");
    EXPECT_EQ(waiting.symbolView()->symbol(), "square.and.arrow.down.on.square");

    // Paused, then stopped before its run has begun: the run is held until
    // after the stop, which it must still obey.
    BackgroundHold hold;
    stopped->togglePause();
    stopped->start();
    waiting.show();
    drainEvents();
    EXPECT_TRUE(waiting.progressBar()->isVisible());
    stopped->stop();
    hold.release();
    for (auto& job : {withBadAreas, complete, notBegun}) job->start();
    ASSERT_TRUE(spinUntil([&] {
        return stopped->finished() && withBadAreas->finished() && complete->finished() && notBegun->finished();
    }));
    drainEvents();

    struct Case {
        ImagingJobPtr job;
        std::string text;
        std::string symbol;
        QColor colour;
    };
    const Case cases[] = {
        {complete, "Færdig", "checkmark.circle.fill", Style::Colors::green},
        {stopped, *stopped->stats().message, "exclamationmark.triangle.fill", Style::Colors::orange},
        {withBadAreas, formatBytes(4096) + " ulæselige", "exclamationmark.triangle.fill", Style::Colors::orange},
        {notBegun, *notBegun->stats().message, "exclamationmark.triangle.fill", Style::Colors::orange},
    };
    EXPECT_EQ(stopped->stats().phase, "Stoppet");
    EXPECT_NE(notBegun->stats().message->find("Kunne ikke oprette billedfilen"), std::string::npos);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job->imageURL);
        JobRow row(c.job);
        row.show();
        EXPECT_EQ(row.statusLabel()->text().toStdString(), c.text);
        EXPECT_EQ(row.symbolView()->symbol(), c.symbol);
        EXPECT_EQ(row.symbolView()->colour(), c.colour);
        EXPECT_FALSE(row.progressBar()->isVisible());
        EXPECT_EQ(c.job->copiedCompletely(), c.job == complete);
    }
    // The row that watched its job run follows it to its end.
    EXPECT_EQ(waiting.statusLabel()->text().toStdString(), *stopped->stats().message);
    EXPECT_EQ(waiting.symbolView()->symbol(), "exclamationmark.triangle.fill");
}

TEST(ContentView, JobMenuStopsAndRemovesThenOnlyRemoves) {
    Window window;
    TempDir dir;
    auto session = window.openImage("fat12");
    ImagingOptions options{1, 65536, 1 << 20};
    // The copy is paused before its first read, so that it is still running below.
    ImagingJobPtr running;
    {
        BackgroundHold hold;
        window.model->startImaging(session, dir.file("a.img"), options);
        running = window.model->imagingJobs().back();
        running->togglePause();
    }
    ASSERT_TRUE(running->paused());
    drainEvents();
    EXPECT_TRUE(window.texts().contains("Diskbilleder"));
    EXPECT_EQ(window.view->pageKey(), "imaging:" + running->id.string());
    auto* row = window.row<JobRow>(sidebar::Imaging{running->id});
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->progressBar()->isVisible());

    std::unique_ptr<QMenu> menu(window.sidebar().contextMenuFor(sidebar::Imaging{running->id}));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->actions()[0]->text(), "Stop og fjern");

    window.model->startImaging(session, dir.file("b.img"), options);
    auto done = window.model->imagingJobs().back();
    ASSERT_TRUE(spinUntil([&] { return done->finished(); }));
    drainEvents();
    std::unique_ptr<QMenu> doneMenu(window.sidebar().contextMenuFor(sidebar::Imaging{done->id}));
    EXPECT_EQ(doneMenu->actions()[0]->text(), "Fjern fra listen");
    EXPECT_EQ(window.row<JobRow>(sidebar::Imaging{done->id})->statusLabel()->text(), "Færdig");

    menu->actions()[0]->trigger();
    ASSERT_TRUE(spinUntil([&] { return running->finished(); }));
    doneMenu->actions()[0]->trigger();
    drainEvents();
    EXPECT_TRUE(window.model->imagingJobs().empty());
    EXPECT_FALSE(window.texts().contains("Diskbilleder"));
}

TEST(ContentView, AlertShowsAFailedOpeningAndClearsTheErrorOnOK) {
    Window window;
    window.model->openImage("/no/such/folder/disk.img");
    ASSERT_TRUE(spinUntil([&] { return window.view->alert() != nullptr; }));
    QMessageBox* alert = window.view->alert();
    ASSERT_TRUE(window.model->errorMessage());
    EXPECT_EQ(alert->text(), "Der opstod et problem");
    EXPECT_EQ(alert->informativeText().toStdString(), *window.model->errorMessage());
    EXPECT_TRUE(alert->isVisible());
    EXPECT_TRUE(window.model->sessions().empty());

    // A later error replaces the text of the alert on screen.
    window.model->setErrorMessage("Noget andet gik galt");
    drainEvents();
    EXPECT_EQ(window.view->alert(), alert);
    EXPECT_EQ(alert->informativeText(), "Noget andet gik galt");

    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons()[0]->text(), "OK");
    QTest::mouseClick(alert->buttons()[0], Qt::LeftButton);
    drainEvents();
    EXPECT_FALSE(window.model->errorMessage());
    EXPECT_EQ(window.view->alert(), nullptr);

    // The next error shows the alert again.
    window.model->setErrorMessage("Igen");
    drainEvents();
    ASSERT_NE(window.view->alert(), nullptr);
    EXPECT_EQ(window.view->alert()->informativeText(), "Igen");
}

TEST(ContentView, BannerShowsWhileAnImageOpens) {
    Window window;
    EXPECT_FALSE(window.view->banner()->isShowing());
    const QImage without = window.view->grab().toImage();
    window.openGate->open = false;
    window.model->openImage(fixtureImage("fat16"));
    drainEvents();
    OpeningBanner* banner = window.view->banner();
    EXPECT_TRUE(banner->isShowing());
    EXPECT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->text(), QString::fromUtf8("Åbner fat16.img … Godkend adgangen i dialogen, hvis macOS spørger."));
    // Over the bottom centre of the window.
    QRect place = banner->geometry();
    EXPECT_NEAR(place.center().x(), window.view->width() / 2, 2);
    ASSERT_TRUE(spinUntil([&] { return banner->pos().y() + banner->height() <= window.view->height(); }));
    // Drawn over the page, with no painter refused (a refused one fails the test too).
    ASSERT_TRUE(spinUntil([&] { return banner->opacity() == 1.0; }, std::chrono::seconds(5)));
    const QImage with = window.view->grab().toImage();
    EXPECT_NE(with.copy(banner->geometry()), without.copy(banner->geometry()));

    window.openGate->open = true;
    ASSERT_TRUE(spinUntil([&] { return !window.model->sessions().empty(); }));
    EXPECT_FALSE(banner->isShowing());
    ASSERT_TRUE(spinUntil([&] { return !banner->isVisible(); }));
}

TEST(ContentView, OpenButtonsAskForAnImageAndCancellingChangesNothing) {
    Window window;
    std::vector<Panels::OpenFile> asked;
    std::optional<std::string> answer;
    auto saved = Panels::openFile;
    Panels::openFile = [&](const Panels::OpenFile& request) {
        asked.push_back(request);
        return answer;
    };
    auto* start = qobject_cast<WelcomeView*>(window.view->page());
    ASSERT_NE(start, nullptr);
    QTest::mouseClick(start->openButton(), Qt::LeftButton);
    drainEvents();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].title, "Åbn diskbillede");
    EXPECT_EQ(window.view->page(), start);
    EXPECT_TRUE(window.model->sessions().empty());

    answer = fixtureImage("fat12");
    QTest::mouseClick(window.sidebar().openButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !window.model->sessions().empty(); }));
    EXPECT_EQ(asked.size(), 2u);
    drainEvents();
    EXPECT_EQ(window.view->pageKey(), "session:" + window.model->sessions().front()->id.string());
    Panels::openFile = saved;
}

// A name on the disk that holds a bidirectional control (U+202E turns
// "harmless<U+202E>gpj.exe" into what reads as "harmlessexe.jpg") is shown
// with the control as a visible escape, as the command-line tool shows it,
// wherever the window draws a file's name.
TEST(ContentView, NamesShowTheirBidirectionalControls) {
    Window window;
    auto session = window.openImage("exfat", SessionTab::files);
    BrowserView* browser = window.view->findChild<BrowserView*>();
    ASSERT_TRUE(browser);
    ASSERT_TRUE(spinUntil([&] { return browser->isVisible() && browser->folder(); }));

    const std::string rlo = "\xe2\x80\xae";
    auto folder = FileNode::make("mappe" + rlo + "gpj", true);
    auto file = FileNode::make("a" + rlo + "gpj.exe", false, 10);
    browser->folder()->add(folder);
    folder->add(file);
    browser->setFolder(folder);
    drainEvents();
    ASSERT_EQ(browser->rows().size(), 1u);
    const QString shownFile = QStringLiteral("a\\u202egpj.exe"), shownFolder = QStringLiteral("mappe\\u202egpj");
    const QChar override(0x202E);

    // The table's name and location.
    QAbstractItemModel* rows = browser->table()->model();
    EXPECT_EQ(rows->data(rows->index(0, static_cast<int>(SortColumn::name))).toString().toStdString(),
              shownFile.toStdString());
    QString location = rows->data(rows->index(0, static_cast<int>(SortColumn::location))).toString();
    EXPECT_TRUE(location.endsWith(shownFolder)) << location.toStdString();
    // The breadcrumb.
    ASSERT_FALSE(browser->breadcrumb()->titles().isEmpty());
    EXPECT_EQ(browser->breadcrumb()->titles().back().toStdString(), shownFolder.toStdString());
    // The preview pane's name and path.
    browser->setSelection({file->id});
    drainEvents();
    SingleFilePreview* single = browser->previewPane()->single();
    ASSERT_TRUE(single);
    EXPECT_EQ(single->nameLabel()->text().toStdString(), shownFile.toStdString());
    EXPECT_TRUE(single->pathLabel()->text().endsWith(shownFolder + "/" + shownFile))
        << single->pathLabel()->text().toStdString();
    // The gallery's cell, as it is drawn.
    browser->setMode(BrowserMode::gallery);
    drainEvents();
    GalleryView* gallery = browser->gallery();
    QModelIndex cell = gallery->model()->index(0, 0);
    QStyleOptionViewItem option;
    option.initFrom(gallery);
    option.rect = QRect(0, 0, 400, 300);
    TextRecorder drawn;
    {
        QPainter painter(&drawn);
        gallery->itemDelegate()->paint(&painter, option, cell);
    }
    EXPECT_TRUE(drawn.texts.contains(shownFile)) << drawn.texts.join(" | ").toStdString();
    for (const QString& text : drawn.texts) EXPECT_FALSE(text.contains(override));
}

// "Lav diskbillede af kilden …" on the session page: the sheet hands the copy
// over and closes, the copy's page replaces the session's, and the image
// holds the source's bytes.
TEST(ContentView, ImagingFromTheSessionPageStartsTheCopyOnItsPage) {
    Window window;
    *window.asDevice = true;
    auto session = window.openImage("fat12");
    ASSERT_TRUE(session->source->isDevice);
    auto* page = qobject_cast<SessionView*>(window.view->page());
    ASSERT_NE(page, nullptr);
    TempDir dir;
    std::string image = dir.file("kopi.img");
    Replaced<Panels::SaveFileFunction> panel(
        Panels::saveFile, [image](const Panels::SaveFile&) { return std::optional<std::string>(image); });
    ASSERT_TRUE(page->imagingAction()->isEnabled());
    page->imagingAction()->trigger();
    ASSERT_TRUE(spinUntil([] { return qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget()) != nullptr; }));
    auto* sheet = qobject_cast<ImagingSetupSheet*>(QApplication::activeModalWidget());
    QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);
    ASSERT_TRUE(sheet->destination().has_value());
    if (sheet->notices()->hasDoubt()) sheet->notices()->confirmBox()->click();
    ASSERT_TRUE(sheet->startButton()->isEnabled());
    QTest::mouseClick(sheet->startButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !window.model->imagingJobs().empty(); }));
    auto job = window.model->imagingJobs().back();
    ASSERT_TRUE(spinUntil([&] { return job->finished() && !job->running(); }));
    drainEvents();
    EXPECT_EQ(window.view->pageKey(), "imaging:" + job->id.string());
    EXPECT_NE(qobject_cast<ImagingView*>(window.view->page()), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(readBytes(image), readBytes(fixtureImage("fat12")));
}

// "Stop" on the deep-scan card once the sweep has passed the partitions: the
// lost volumes it swept over are built and listed, beside the carved files.
TEST(ContentView, StoppedDeepScanKeepsTheVolumesOfTheSweptPart) {
    Window window;
    // The sweep's read of the chunk at 56 MiB waits until the test has pressed Stop.
    constexpr uint64_t heldChunk = 56u << 20;
    auto reached = std::make_shared<std::atomic<bool>>(false);
    auto gate = std::make_shared<Gate>();
    gate->open = false;
    window.sourceOptions->beforeRead = [reached, gate](uint64_t offset, int64_t length) {
        if (offset != heldChunk || length != (4 << 20) || *reached) return;
        *reached = true;
        gate->wait();
    };
    auto session = window.openImage("damage_gpt_all_tables_zeroed");
    auto* overview = qobject_cast<SessionView*>(window.view->page())
                         ? window.view->page()->findChild<OverviewView*>()
                         : nullptr;
    ASSERT_NE(overview, nullptr);
    QTest::mouseClick(overview->deepScanCard()->startButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return reached->load(); }));
    drainEvents();
    QPushButton* stop = overview->deepScanCard()->runningView()->stopButton();
    ASSERT_TRUE(stop->isVisible());
    QTest::mouseClick(stop, Qt::LeftButton);
    gate->open = true;
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    drainEvents();
    EXPECT_TRUE(std::holds_alternative<phase::Cancelled>(session->deep()));
    EXPECT_FALSE(session->deepCompleted());

    const std::pair<FileSystemType, uint64_t> lost[] = {
        {FileSystemType::fat32, 2048 * 512}, {FileSystemType::ntfs, 73728 * 512}, {FileSystemType::exfat, 98304 * 512}};
    for (const auto& [type, offset] : lost) {
        SCOPED_TRACE(rawValue(type));
        EXPECT_TRUE(std::any_of(session->volumes().begin(), session->volumes().end(),
                                [&](const VolumePtr& v) { return v->type == type && v->offset == offset; }));
    }
    EXPECT_EQ(overview->volumeRows().size(), session->volumes().size());
}

// A path with markup in it is shown as it stands, in the alert and in the
// labels and tooltips that show the session's name.
TEST(ContentView, NamesAndPathsShowAsPlainText) {
    Window window;
    const std::string marked = "x/<b>fed</b>&amp;.img";
    window.model->openImage(marked);
    ASSERT_TRUE(spinUntil([&] { return window.view->alert() != nullptr; }));
    QMessageBox* alert = window.view->alert();
    ASSERT_NE(alert->informativeText().indexOf("<b>fed</b>&amp;.img"), -1);
    bool shown = false;
    for (QLabel* label : alert->findChildren<QLabel*>()) {
        if (!label->text().contains("<b>fed</b>")) continue;
        shown = true;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    EXPECT_TRUE(shown);
    QTest::mouseClick(alert->buttons()[0], Qt::LeftButton);
    drainEvents();

    // A session of an image whose name looks like markup.
    TempDir dir;
    std::string image = dir.file("<i>skrå&amp;.img");
    std::filesystem::copy_file(fixtureImage("fat12"), image);
    window.model->openImage(image);
    ASSERT_TRUE(spinUntil([&] { return !window.model->sessions().empty(); }));
    drainEvents();
    for (QLabel* label : window.view->window()->findChildren<QLabel*>()) {
        if (!label->text().contains("<i>skrå")) continue;
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
    }
    for (QWidget* widget : window.view->window()->findChildren<QWidget*>()) {
        if (!widget->toolTip().contains("skrå")) continue;
        EXPECT_FALSE(widget->toolTip().contains("<i>")) << widget->toolTip().toStdString();
    }
}

// The imaging page in the window shows no state that does not hold: a copy
// that could not begin is not green, has no image to scan and no "0 bytes"
// left; a paused or stopped copy shows no current rate or remaining time; a
// resumed copy's rate chart goes on from where the earlier run ended.
TEST(ContentView, ImagingPageShowsOnlyWhatHolds) {
    Window window;
    TempDir dir;
    auto session = window.openImage("fat12");
    const ImagingOptions options{1, 65536, 1 << 20};
    auto page = [&] { return qobject_cast<ImagingView*>(window.view->page()); };

    window.model->startImaging(session, dir.file("no/such/folder/x.img"), options);
    auto failed = window.model->imagingJobs().back();
    ASSERT_TRUE(spinUntil([&] { return failed->finished(); }));
    drainEvents();
    ASSERT_NE(page(), nullptr);
    EXPECT_NE(page()->stateLabel()->palette().color(QPalette::WindowText), Style::Colors::green);
    EXPECT_TRUE(page()->scanButton()->isVisible());
    EXPECT_FALSE(page()->scanButton()->isEnabled());
    EXPECT_EQ(page()->tile("Tilbage")->value(), "–");

    // A copy paused before its first read.
    ImagingJobPtr job;
    {
        BackgroundHold hold;
        window.model->startImaging(session, dir.file("a.img"), options);
        job = window.model->imagingJobs().back();
        job->togglePause();
    }
    ASSERT_TRUE(job->paused());
    ASSERT_TRUE(spinUntil([&] { return job->samples().size() >= 2; }));
    drainEvents();
    ASSERT_EQ(window.view->pageKey(), "imaging:" + job->id.string());
    EXPECT_EQ(page()->tile("Hastighed nu")->value(), "–");
    EXPECT_EQ(page()->tile("Resttid (anslået)")->value(), "–");

    QTest::mouseClick(page()->stopButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return job->finished() && !job->running(); }));
    drainEvents();
    EXPECT_TRUE(page()->stateLabel()->text().startsWith("Stoppet."));
    EXPECT_NE(page()->stateLabel()->palette().color(QPalette::WindowText), Style::Colors::green);
    EXPECT_EQ(page()->tile("Hastighed nu")->value(), "–");
    EXPECT_EQ(page()->tile("Resttid (anslået)")->value(), "–");
    EXPECT_TRUE(page()->scanButton()->isEnabled());

    // Resumed, again held paused: its samples come after the earlier ones.
    const size_t earlier = job->samples().size();
    const double lastTime = job->samples().back().time;
    job->togglePause();
    QTest::mouseClick(page()->resumeButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return job->samples().size() >= earlier + 2; }));
    for (size_t i = earlier; i < job->samples().size(); ++i) EXPECT_GE(job->samples()[i].time, lastTime);
    drainEvents();
    EXPECT_EQ(page()->rateLine()->count(), static_cast<int>(job->samples().size()));
    job->togglePause();
    ASSERT_TRUE(spinUntil([&] { return job->finished() && !job->running(); }));
    drainEvents();
    EXPECT_EQ(page()->stateLabel()->text(), "Færdig");
    EXPECT_EQ(page()->stateLabel()->palette().color(QPalette::WindowText), Style::Colors::green);
    EXPECT_EQ(readBytes(dir.file("a.img")), readBytes(fixtureImage("fat12")));
}

// The right button on a session that is not selected opens its menu and
// selects nothing; closing it from there leaves the page shown as it was.
TEST(ContentView, ClosingAnotherSessionFromItsMenuLeavesTheSelectionAlone) {
    Window window;
    auto other = window.openImage("fat12");
    auto shown = window.openImage("fat16");
    ASSERT_EQ(window.model->selection(), SidebarItem(sidebar::Session{shown->id}));
    QWidget* page = window.view->page();
    QListWidget* list = window.sidebar().list();
    QRect place = list->visualItemRect(window.sidebar().itemFor(sidebar::Session{other->id}));
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, place.center());
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, place.center());
    drainEvents();
    EXPECT_EQ(window.model->selection(), SidebarItem(sidebar::Session{shown->id}));
    std::unique_ptr<QMenu> menu(window.sidebar().contextMenuFor(sidebar::Session{other->id}));
    ASSERT_NE(menu, nullptr);
    menu->actions()[0]->trigger();
    drainEvents();
    ASSERT_EQ(window.model->sessions().size(), 1u);
    EXPECT_EQ(window.model->selection(), SidebarItem(sidebar::Session{shown->id}));
    EXPECT_EQ(window.view->page(), page);
}

// Up and Down go from row to row, over the section headers and status texts.
TEST(ContentView, SidebarKeysStepOverHeaders) {
    Window window;
    auto session = window.openImage("fat12");
    window.select(sidebar::Welcome{});
    QListWidget* list = window.sidebar().list();
    list->setFocus();
    std::vector<SidebarItem> expected;
    for (const DiskInfo& disk : window.model->disks()) expected.push_back(sidebar::Disk{disk.bsdName});
    expected.push_back(sidebar::Session{session->id});
    for (const SidebarItem& item : expected) {
        QTest::keyClick(list, Qt::Key_Down);
        drainEvents();
        EXPECT_EQ(window.model->selection(), std::optional<SidebarItem>(item));
    }
    // At the last row Down stays; Up goes back over the "Scanninger" header.
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(window.model->selection(), std::optional<SidebarItem>(expected.back()));
    QTest::keyClick(list, Qt::Key_Up);
    drainEvents();
    EXPECT_EQ(window.model->selection(), std::optional<SidebarItem>(expected[expected.size() - 2]));
}

// What a model told its views: rows announced, and every reset or change of layout.
struct ModelSignals {
    int inserted = 0, resets = 0, layouts = 0;
    explicit ModelSignals(QAbstractItemModel* model) {
        QObject::connect(model, &QAbstractItemModel::rowsInserted, [this] { ++inserted; });
        QObject::connect(model, &QAbstractItemModel::modelReset, [this] { ++resets; });
        QObject::connect(model, &QAbstractItemModel::layoutChanged, [this] { ++layouts; });
    }
};

// A deep scan lands in the window while the browser lists the volume's root
// (a reformatted volume: two files, until the deep scan adds the folder of
// the lost folders): the folder comes in as a new row of the listing and of
// the folder outline, and what the user unfolded, chose and scrolled to stays.
TEST(ContentView, ADeepScansMergeKeepsWhatTheBrowserShows) {
    Window window;
    auto session = window.openImage("damage_fat32_reformatted", SessionTab::files);
    BrowserView* browser = nullptr;
    ASSERT_TRUE(spinUntil([&] {
        browser = window.view->findChild<BrowserView*>();
        return browser && browser->isVisible() && !browser->rows().empty();
    }));
    drainEvents();
    ASSERT_EQ(session->volumes().size(), 1u);
    const FileNodePtr root = session->volumes()[0]->root;
    ASSERT_EQ(browser->folder(), root);
    ASSERT_EQ(browser->rows().size(), 2u);
    ASSERT_FALSE(root->folders());

    // The volume's row unfolded in the outline; the last file chosen, at the
    // top of a table one row high.
    FolderTree* tree = browser->folderTree();
    FolderTreeModel* outlineModel = tree->folderModel();
    tree->expand(outlineModel->indexOf(root));
    const FileNodePtr chosen = browser->rows().back();
    browser->setSelection({chosen->id});
    FileTable* table = browser->table();
    table->setFixedHeight(table->header()->height() + table->sizeHintForRow(0) + 2 * table->frameWidth() + 4);
    drainEvents();
    table->scrollToBottom();
    drainEvents();
    ASSERT_EQ(table->indexAt(QPoint(0, 0)).row(), 1);

    ModelSignals rows(table->model()), outline(outlineModel);
    session->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }, std::chrono::seconds(300)));
    drainEvents();

    // The folder of the lost folders, first among the rows, announced.
    ASSERT_EQ(browser->rows().size(), 3u);
    EXPECT_TRUE(browser->rows().front()->isDirectory);
    EXPECT_EQ(rows.resets, 0);
    EXPECT_EQ(rows.inserted, 1);
    EXPECT_EQ(outline.resets, 0);
    EXPECT_GE(outline.inserted, 1);  // the section of the signature finds
    EXPECT_EQ(outlineModel->rowCount(outlineModel->indexOf(root)), 1);
    // Where the user was stays.
    EXPECT_EQ(browser->folder(), root);
    EXPECT_EQ(outlineModel->node(tree->currentIndex()), root);
    EXPECT_TRUE(tree->isExpanded(outlineModel->indexOf(root)));
    EXPECT_EQ(browser->selection(), std::unordered_set<int64_t>{chosen->id});
    EXPECT_TRUE(table->selectionModel()->isRowSelected(2, {}));
    EXPECT_EQ(browser->rows()[static_cast<size_t>(table->indexAt(QPoint(0, 0)).row())], chosen);
}

// The outline announces the folders a merge adds below folders it has loaded,
// at their places, and builds nothing anew; folders not loaded yet are read
// when they are unfolded.
TEST(ContentView, TheFolderOutlineAnnouncesFoldersAddedBelowLoadedOnes) {
    auto root = FileNode::make("", true);
    auto a = FileNode::make("a", true), c = FileNode::make("c", true), inner = FileNode::make("indre", true);
    root->add(a), root->add(c), a->add(inner);
    auto volume = Volume::make(FileSystemType::fat32, "V", 0, 1 << 20, root, origin::partitionTable);
    FolderTreeModel model;
    model.setVolumes({volume});
    const QModelIndex volumeRow = model.indexOf(root);
    ASSERT_EQ(model.rowCount(volumeRow), 2);
    const QModelIndex aRow = model.indexOf(a);
    ASSERT_EQ(model.rowCount(aRow), 1);
    const QPersistentModelIndex cRow = model.indexOf(c);

    ModelSignals told(&model);
    std::vector<std::tuple<FileNodePtr, int, int>> announced;
    QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&](const QModelIndex& parent, int first, int last) {
        announced.emplace_back(model.node(parent), first, last);
    });
    root->add(FileNode::make("b", true));
    a->add(FileNode::make("0", true));
    inner->add(FileNode::make("dybt", true));  // below a folder not loaded
    root->add(FileNode::make("fil.txt", false, 1));
    root->sortChildren();  // b between a and c, 0 before indre
    model.setVolumes({volume});

    EXPECT_EQ(told.resets, 0);
    const std::vector<std::tuple<FileNodePtr, int, int>> expected = {{root, 1, 1}, {a, 0, 0}};
    EXPECT_EQ(announced, expected);
    EXPECT_EQ(model.rowCount(volumeRow), 3);
    EXPECT_EQ(cRow.row(), 2);
    EXPECT_EQ(model.node(cRow), c);
    EXPECT_EQ(model.rowCount(model.indexOf(inner)), 1);
}

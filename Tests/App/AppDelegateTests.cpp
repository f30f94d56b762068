// The launch options, the files the desktop hands over, the menu commands,
// the window picture and the real program started offscreen and under Xvfb.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include <QDir>
#include <QFileOpenEvent>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QToolButton>

#include "AppTestSupport.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/ContentView.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaApp/SovantaApp.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

AppModelPtr modelWithoutDisks() {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    auto model = AppModel::make(std::move(services));
    spinUntil([&] { return !model->loadingDisks(); });
    return model;
}

void closeAll(AppModel& model) {
    for (auto& session : std::vector<SessionPtr>(model.sessions())) model.close(session);
}

QProcessEnvironment environment(std::initializer_list<std::pair<const char*, const char*>> values) {
    QProcessEnvironment result;
    for (auto& [name, value] : values) result.insert(name, value);
    return result;
}

// Whether the picture holds more than a few colours: a drawn window, not a blank.
bool looksDrawn(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7) colours.insert(image.pixel(x, y));
    return colours.size() > 8;
}

}  // namespace

TEST(LaunchOptions, OpenTabAndHandedOverFiles) {
    struct Case {
        QStringList arguments;
        std::optional<std::string> open;
        std::optional<SessionTab> tab;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {{"sovanta", "--open", "/p/disk.img", "--tab", "files"}, "/p/disk.img", SessionTab::files, {}},
        {{"sovanta", "--tab", "sectors", "--open", "disk.img"}, "disk.img", SessionTab::sectors, {}},
        // Only the case names count, and only with a value.
        {{"sovanta", "--open", "disk.img", "--tab", "Filer"}, "disk.img", std::nullopt, {}},
        {{"sovanta", "--open", "disk.img", "--tab"}, "disk.img", std::nullopt, {}},
        // A tab alone opens nothing; an --open without a value neither.
        {{"sovanta", "--tab", "files"}, std::nullopt, std::nullopt, {}},
        {{"sovanta", "--open"}, std::nullopt, std::nullopt, {}},
        // The first occurrence of each counts.
        {{"sovanta", "--open", "a.img", "--open", "b.img", "--tab", "overview", "--tab", "files"},
         "a.img",
         SessionTab::overview,
         {}},
        // Files from a desktop entry's %F, in order; unknown options are passed over.
        {{"sovanta", "/m/a.img", "-x", "/m/b.dmg"}, std::nullopt, std::nullopt, {"/m/a.img", "/m/b.dmg"}},
        {{"sovanta", "--open", "a.img", "c.img"}, "a.img", std::nullopt, {"c.img"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        LaunchOptions options = parseLaunchOptions(c.arguments);
        EXPECT_EQ(options.open, c.open);
        EXPECT_EQ(options.tab, c.tab);
        EXPECT_EQ(options.files, c.files);
    }
}

TEST(LaunchOptions, SnapshotEnvironment) {
    EXPECT_FALSE(snapshotRequest(environment({})));
    struct Case {
        QProcessEnvironment environment;
        double delay;
        bool keep;
    };
    const Case cases[] = {
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}}), 5, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_DELAY", "0.5"}}), 0.5, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_DELAY", "abc"}}), 5, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_DELAY", ""}}), 5, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_DELAY", "inf"}}), 5, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_DELAY", "-2"}}), 0, false},
        {environment({{"SOVANTA_SNAPSHOT", "/tmp/a.png"}, {"SOVANTA_SNAPSHOT_KEEP", ""}}), 5, true},
    };
    for (const Case& c : cases) {
        auto request = snapshotRequest(c.environment);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->path, "/tmp/a.png");
        EXPECT_DOUBLE_EQ(request->delay, c.delay);
        EXPECT_EQ(request->keep, c.keep);
    }
}

TEST(AppDelegate, OpensTheLaunchOptionsAndHandedOverFilesThenPhotographs) {
    auto model = modelWithoutDisks();
    MainWindow window(*model);
    window.show();
    AppDelegate delegate(*model);
    TempDir dir;
    std::string picture = dir.file("window.png");
    {
        std::ofstream old(picture);
        old << "an older file";
    }
    delegate.applicationDidFinishLaunching(
        {"sovanta", "--open", QString::fromStdString(fixtureImage("fat16")), "--tab", "files"},
        environment({{"SOVANTA_SNAPSHOT", picture.c_str()},
                     {"SOVANTA_SNAPSHOT_DELAY", "0.3"},
                     {"SOVANTA_SNAPSHOT_KEEP", ""}}));
    ASSERT_TRUE(spinUntil([&] { return model->sessions().size() == 1; }));
    EXPECT_EQ(model->sessions()[0]->tab(), SessionTab::files);
    EXPECT_EQ(window.pageTitle(), "fat16.img");

    // The picture replaces the file that was there; the window stays.
    ASSERT_TRUE(spinUntil([&] { return QImage(QString::fromStdString(picture)).width() > 0; }));
    QImage image(QString::fromStdString(picture));
    EXPECT_EQ(image.size(), window.size() * window.devicePixelRatio());
    EXPECT_TRUE(looksDrawn(image));
    EXPECT_TRUE(window.isVisible());

    // Two files in one request open two sessions, in order; the desktop's
    // open event opens a third.
    delegate.open({fixtureImage("fat12"), fixtureImage("fat32")});
    ASSERT_TRUE(spinUntil([&] { return model->sessions().size() == 3; }));
    EXPECT_EQ(model->sessions()[1]->title, "fat12.img");
    EXPECT_EQ(model->sessions()[2]->title, "fat32.img");
    EXPECT_EQ(model->sessions()[1]->tab(), SessionTab::overview);
    QFileOpenEvent event(QString::fromStdString(fixtureImage("exfat")));
    QCoreApplication::sendEvent(qApp, &event);
    ASSERT_TRUE(spinUntil([&] { return model->sessions().size() == 4; }));
    EXPECT_EQ(model->sessions()[3]->title, "exfat.img");
    closeAll(*model);
}

// At launch, the preview copies that a program killed earlier left go.
TEST(AppDelegate, LaunchRemovesPreviewCopiesOfEndedPrograms) {
    auto model = modelWithoutDisks();
    TempDir dir;
    auto left = dir.path() / "SovantaPreview" / "999999995";
    fs::create_directories(left / "7");
    ::chmod((dir.path() / "SovantaPreview").c_str(), 0700);
    std::ofstream(left / "7" / "film.mp4") << "x";
    Preview::setCopies(std::make_shared<Preview::CopyFolder>(std::vector<fs::path>{dir.path()}, "1"));
    AppDelegate delegate(*model);
    delegate.applicationDidFinishLaunching({"sovanta"}, environment({}));
    EXPECT_TRUE(spinUntil([&] { return !fs::exists(left); }));
    Background::previewQueue().waitForDone();
    Preview::setCopies(nullptr);
}

// One image file named twice at launch, however the path reaches it, opens
// one session; so do two openings of it asked for while the first still runs.
TEST(AppDelegate, OneImageNamedTwiceOpensOneSession) {
    TempDir dir;
    fs::copy_file(fixtureImage("fat12"), dir.path() / "a.img");
    fs::create_symlink(dir.path() / "a.img", dir.path() / "link.img");
    const QString saved = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path().string()));
    const QStringList launches[] = {
        {"sovanta", "a.img", "a.img"},
        {"sovanta", "--open", "a.img", "./a.img"},
        {"sovanta", "--open", "./a.img", "--tab", "files", "link.img", "../" + QString::fromStdString(dir.path().filename().string()) + "/a.img"},
    };
    for (const QStringList& arguments : launches) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        auto model = modelWithoutDisks();
        AppDelegate delegate(*model);
        delegate.applicationDidFinishLaunching(arguments, QProcessEnvironment());
        ASSERT_TRUE(spinUntil([&] { return !model->sessions().empty() && !model->opening(); }));
        drainEvents();
        EXPECT_FALSE(model->opening());
        EXPECT_EQ(model->sessions().size(), 1u);
        closeAll(*model);
    }
    {
        auto model = modelWithoutDisks();
        model->openImage(dir.file("a.img"));
        model->openImage(dir.file("link.img"));
        model->openImage((dir.path() / "." / "a.img").string());
        ASSERT_TRUE(spinUntil([&] { return !model->sessions().empty() && !model->opening(); }));
        drainEvents();
        EXPECT_EQ(model->sessions().size(), 1u);
        closeAll(*model);
    }
    QDir::setCurrent(saved);
}

TEST(AppDelegate, MenuCommandsAndTerminationCleanUp) {
    auto model = modelWithoutDisks();
    MainWindow window(*model);
    window.show();
    EXPECT_EQ(window.windowTitle(), "Sovanta");
    EXPECT_EQ(window.minimumSize(), QSize(1220, 700));
    EXPECT_EQ(window.size(), QSize(1440, 900));
    EXPECT_EQ(window.openImageAction()->text(), "Åbn diskbillede …");
    EXPECT_EQ(window.openImageAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(window.refreshListAction()->text(), "Opdater diskliste");
    EXPECT_EQ(window.refreshListAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(window.refreshAction()->text(), "Opdater");
    EXPECT_EQ(window.refreshAction()->toolTip(), "Opdater listen over diske");
    EXPECT_EQ(window.pageTitle(), "Kom i gang");

    window.refreshListAction()->trigger();
    EXPECT_TRUE(model->loadingDisks());
    spinUntil([&] { return !model->loadingDisks(); });

    int asked = 0;
    auto saved = Panels::openFile;
    Panels::openFile = [&](const Panels::OpenFile&) {
        ++asked;
        return std::optional<std::string>();
    };
    window.openImageAction()->trigger();
    EXPECT_EQ(asked, 1);
    Panels::openFile = saved;

    // The temporary preview folder goes at termination.
    std::error_code ec;
    fs::create_directories(Preview::folder() / "42", ec);
    std::ofstream(Preview::folder() / "42" / "copy.jpg") << "x";
    AppDelegate delegate(*model);
    delegate.applicationWillTerminate();
    EXPECT_FALSE(fs::exists(Preview::folder() / "42" / "copy.jpg"));
}

// The real program, started as a user would, writes its window and quits.
TEST(Program, PhotographsItsWindowOffscreenAndUnderXvfb) {
    TempDir dir;
    struct Run {
        const char* name;
        QString program;
        QStringList arguments;
        QString platform;
    };
    const QStringList options = {"--open", QString::fromStdString(fixtureImage("fat16")), "--tab", "files"};
    std::vector<Run> runs = {{"offscreen", SOVANTA_APP_PROGRAM, options, "offscreen"}};
    QString xvfb = QStandardPaths::findExecutable("xvfb-run");
    if (!xvfb.isEmpty())
        runs.push_back({"xvfb", xvfb, QStringList{"-a", "-s", "-screen 0 1600x1000x24", SOVANTA_APP_PROGRAM} + options,
                        "xcb"});
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        QString picture = QString::fromStdString(dir.file(std::string(run.name) + ".png"));
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", run.platform);
        env.insert("SOVANTA_SNAPSHOT", picture);
        env.insert("SOVANTA_SNAPSHOT_DELAY", "1.5");
        // In the sanitizer build: what the desktop's libraries leak is not ours.
        env.insert("LSAN_OPTIONS", "suppressions=" SOVANTA_APP_LEAK_SUPPRESSIONS);
        process.setProcessEnvironment(env);
        process.start(run.program, run.arguments);
        ASSERT_TRUE(process.waitForFinished(60000)) << process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        QImage image(picture);
        ASSERT_FALSE(image.isNull());
        EXPECT_GE(image.width(), 1220);
        EXPECT_GE(image.height(), 700);
        EXPECT_TRUE(looksDrawn(image));
    }
    if (xvfb.isEmpty()) GTEST_SKIP() << "xvfb-run is not installed";
}

// MARK: Ending on a signal

namespace {

int shell(const std::string& command, std::string* out = nullptr) {
    auto r = Shell::run("/bin/sh", {"-c", command});
    if (out) *out = std::string(r.stdoutBytes.begin(), r.stdoutBytes.end());
    return r.status;
}

// The names in a folder and below it, relative to it.
std::set<std::string> namesBelow(const fs::path& folder) {
    std::set<std::string> names;
    for (auto& entry : fs::recursive_directory_iterator(folder))
        names.insert(fs::relative(entry.path(), folder).string());
    return names;
}

}  // namespace

// SIGTERM while a recovery in the window is held inside its big file: the
// recovery is stopped, the file keeps only a name that says it was cut
// short, the report holds its row, the sheet shows the stop, the image's
// source is closed, and only then does the program end, with 128 + 15.
TEST(AppDelegate, SigtermStopsTheRecoveryInOrderAndClosesTheSourcesBeforeQuitting) {
    AppModel::Services services;
    services.loadDisks = [] { return std::vector<DiskInfo>{}; };
    auto model = AppModel::make(std::move(services));
    MainWindow window(*model);
    window.show();
    AppDelegate delegate(*model);
    std::optional<int> quitWith;
    delegate.handleTerminationSignals([&](int status) { quitWith = status; });

    // The recovery waits after its first piece until the test lets it go on.
    RecoveryHold hold;
    TempDir out;
    Replaced<Panels::ChooseFolderFunction> panel(Panels::chooseFolder,
                                                 [&](const Panels::ChooseFolder&) { return out.path().string(); });
    model->openImage(fixtureImage("bigfile_fat16"), SessionTab::files);
    BrowserView* browser = nullptr;
    ASSERT_TRUE(spinUntil([&] {
        browser = window.findChild<BrowserView*>();
        return browser && browser->isVisible() && !browser->rows().empty();
    }));
    SessionPtr session = model->sessions().front();
    browser->recoverButton()->click();
    auto sheets = browser->findChildren<RecoverSheet*>();
    ASSERT_EQ(sheets.size(), 1);
    RecoverSheet* sheet = sheets.front();
    sheet->chooseButton()->click();
    ASSERT_TRUE(sheet->recoverButton()->isEnabled());
    sheet->recoverButton()->click();
    ASSERT_TRUE(spinUntil([&] { return hold.held(); }));

    ::raise(SIGTERM);
    ASSERT_TRUE(spinUntil([&] { return sheet->job()->reporter->isCancelled(); }));
    // Held inside the file: the program waits for it.
    drainEvents();
    EXPECT_FALSE(quitWith);
    EXPECT_FALSE(session->source->isClosed());
    EXPECT_TRUE(sheet->job()->running());

    hold.release();
    ASSERT_TRUE(spinUntil([&] { return quitWith.has_value(); }));
    EXPECT_EQ(*quitWith, 128 + SIGTERM);
    EXPECT_TRUE(session->source->isClosed());
    EXPECT_EQ(sheet->page(), 2);
    EXPECT_EQ(sheet->outcomeCallout()->titleLabel()->text(), "Gendannelsen blev stoppet");
    const RecoveryResult& result = *sheet->job()->result();
    ASSERT_TRUE(result.folder);
    const auto names = namesBelow(*result.folder);
    EXPECT_TRUE(names.count("stor (afbrudt).bin")) << names.size();
    EXPECT_FALSE(names.count("stor.bin"));
    for (auto& name : names) EXPECT_FALSE(name.ends_with(".ufærdig")) << name;
    const std::string report = readText(*result.folder / RecoveryEngine::reportName);
    EXPECT_TRUE(report.starts_with(std::string(RecoveryEngine::reportHeader) + "\n")) << report;
    EXPECT_NE(report.find("\nstor (afbrudt).bin;4194304;Afbrudt;"), std::string::npos) << report;
    // The signal's handler was the system's again after the first signal.
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// The loop device that process pid holds open, and the file behind it;
// empty when it holds none.
std::pair<std::string, std::string> heldLoop(qint64 pid) {
    std::error_code ec;
    for (auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(entry.path(), ec).string();
        if (ec || !target.starts_with("/dev/loop")) continue;
        const std::string name = fs::path(target).filename().string();
        return {name, readText("/sys/block/" + name + "/loop/backing_file")};
    }
    return {};
}

// The real program sent SIGTERM with an image open (as root an Apple disk
// image, converted into a temporary file and attached on a loop device): it
// ends in order with 128 + 15, the loop device is released and the
// temporary file removed.
TEST(Program, EndsInOrderOnSigterm) {
    TempDir dir;
    const bool attach = isRoot();
    const fs::path image = dir.path() / (attach ? "kilde.dmg" : "kilde.img");
    fs::copy_file(attach ? fixtureSource("hfsplus_udif/hfsplus_udif.dmg") : fixtureImage("fat16"), image);
    std::pair<std::string, std::string> loop;
    auto backingNow = [&] {
        return loop.first.empty() ? std::string() : readText("/sys/block/" + loop.first + "/loop/backing_file");
    };
    struct Detach {
        std::function<void()> undo;
        ~Detach() { undo(); }
    } detach{[&] {
        if (loop.first.empty() || loop.second.empty() || backingNow() != loop.second) return;
        shell("losetup -d /dev/" + loop.first);
        std::error_code ec;
        fs::remove(loop.second.substr(0, loop.second.find('\n')), ec);
    }};
    const QString picture = QString::fromStdString(dir.file("up.png"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // A picture once the event loop runs tells that the program is up.
    env.insert("SOVANTA_SNAPSHOT", picture);
    env.insert("SOVANTA_SNAPSHOT_DELAY", "0");
    env.insert("SOVANTA_SNAPSHOT_KEEP", "");
    env.insert("LSAN_OPTIONS", "suppressions=" SOVANTA_APP_LEAK_SUPPRESSIONS);
    process.setProcessEnvironment(env);
    process.start(SOVANTA_APP_PROGRAM, {"--open", QString::fromStdString(image.string())});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(spinUntil([&] {
        if (attach && loop.first.empty()) loop = heldLoop(process.processId());
        return (fs::exists(picture.toStdString()) && (!attach || !loop.second.empty())) ||
               process.state() == QProcess::NotRunning;
    }, std::chrono::seconds(60)));
    ASSERT_EQ(process.state(), QProcess::Running) << process.readAllStandardError().toStdString();
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 128 + SIGTERM) << process.readAllStandardError().toStdString();
    if (!attach) return;
    const std::string backing = loop.second.substr(0, loop.second.find('\n'));
    EXPECT_TRUE(backing.starts_with("/tmp/")) << backing;
    EXPECT_NE(backingNow(), loop.second) << "the loop device is still attached";
    EXPECT_FALSE(fs::exists(backing)) << backing;
}

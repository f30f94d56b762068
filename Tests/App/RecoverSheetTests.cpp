#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>

#include <sys/mount.h>

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>

#include "AppTestSupport.h"
#include "SessionFixtures.h"
#include "LoopDisk.h"
#include "SovantaApp/BrowserView/BrowserView.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Models/Destination.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Sheets/RecoverSheet.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "SovantaApp/SovantaApp.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

bool counted(RecoverSheet& sheet) {
    return spinUntil([&] { return sheet.summary().has_value(); });
}

QString pathShown(const RecoverSheet& sheet) { return static_cast<PathLabel*>(sheet.destinationLabel())->fullText(); }

// The notices as they stand: which are shown.
struct Shown {
    bool problem, doubt, warning;
    bool operator==(const Shown&) const = default;
};
Shown shown(const DestinationNotices& notices) {
    return {notices.problemCallout()->isVisibleTo(&notices), notices.confirmBox()->isVisibleTo(&notices),
            notices.warningCallout()->isVisibleTo(&notices)};
}

std::string sha256Of(const fs::path& file) { return sha256Hex(readBytes(file)); }

// The real window with an image file open on its files tab, and the recovery
// sheet its browser's button opens; the folder panel answers with folder.
struct WindowSheet {
    AppModelPtr model;
    std::unique_ptr<MainWindow> window;
    BrowserView* browser = nullptr;
    RecoverSheet* sheet = nullptr;
    std::optional<std::string> folder;
    Replaced<Panels::ChooseFolderFunction> panel{Panels::chooseFolder,
                                                 [this](const Panels::ChooseFolder&) { return folder; }};

    explicit WindowSheet(const fs::path& image) {
        AppModel::Services services;
        services.loadDisks = [] { return std::vector<DiskInfo>{}; };
        model = AppModel::make(std::move(services));
        window = std::make_unique<MainWindow>(*model);
        window->show();
        model->openImage(image.string(), SessionTab::files);
        EXPECT_TRUE(spinUntil([&] {
            browser = window->findChild<BrowserView*>();
            return browser && browser->isVisible() && !browser->rows().empty();
        }));
        if (!browser) return;
        browser->recoverButton()->click();
        auto sheets = browser->findChildren<RecoverSheet*>();
        EXPECT_EQ(sheets.size(), 1);
        if (sheets.size() == 1) sheet = sheets.front();
        if (sheet) {
            EXPECT_TRUE(counted(*sheet));
        }
    }
    ~WindowSheet() {
        if (sheet) static_cast<QDialog*>(sheet)->reject();
        drainEvents();
        window.reset();
        for (auto& session : std::vector<SessionPtr>(model->sessions())) model->close(session);
        drainEvents();
    }
    // Chooses the folder through the sheet's button and the panel.
    void choose(const fs::path& chosen) {
        folder = chosen.string();
        sheet->chooseButton()->click();
    }
};

const std::string onTheSourceText =
    "Mappen ligger på den disk, du gendanner fra. Gendannelse dertil kan overskrive netop de data, du prøver at "
    "redde.";

}  // namespace

TEST(RecoverSheet, SummaryLineAndOutcomes) {
    EXPECT_EQ(RecoverSheet::summaryLine({0, 0, 0}), "0 filer · " + formatBytes(0));
    EXPECT_EQ(RecoverSheet::summaryLine({1234, 5'000'000, 0}), "1.234 filer · " + formatBytes(5'000'000));
    EXPECT_EQ(RecoverSheet::summaryLine({3, 10, 2}), "3 filer · " + formatBytes(10) + " · 2 slettede/fundne");

    struct Case {
        RecoveryResult result;
        Callout::Kind kind;
        std::string title, message;
    };
    RecoveryResult stopped, remarks, sourceGone, done;
    stopped.recovered = 1200;
    stopped.withErrors = 3;
    stopped.failed = 1;
    stopped.cancelled = true;
    remarks.recovered = 5;
    remarks.failed = 2;
    sourceGone.recovered = 4;
    sourceGone.failures = {"Kilden svarer ikke længere – gendannelsen blev stoppet."};
    done.recovered = 7;
    done.bytes = 2048;
    RecoveryResult stoppedEarly = stopped, full = remarks;
    stoppedEarly.notTried = 4000;
    full.recovered = 56;
    full.failed = 1;
    full.notTried = 263;
    for (const Case& c : {
             Case{stopped, Callout::Kind::warning, "Gendannelsen blev stoppet", "1.203 filer nåede at blive gendannet."},
             Case{stoppedEarly, Callout::Kind::warning, "Gendannelsen blev stoppet",
                  "1.203 filer nåede at blive gendannet, 4.000 ikke forsøgt."},
             Case{remarks, Callout::Kind::warning, "Færdig med bemærkninger",
                  "5 filer gendannet uden fejl, 0 med ulæselige sektorer (udfyldt med nuller), 2 mislykkedes."},
             Case{sourceGone, Callout::Kind::warning, "Færdig med bemærkninger",
                  "4 filer gendannet uden fejl, 0 med ulæselige sektorer (udfyldt med nuller), 0 mislykkedes."},
             Case{full, Callout::Kind::warning, "Færdig med bemærkninger",
                  "56 filer gendannet uden fejl, 0 med ulæselige sektorer (udfyldt med nuller), 1 mislykkedes, 263 "
                  "ikke forsøgt."},
             Case{done, Callout::Kind::success, "Færdig", "7 filer (" + formatBytes(2048) + ") er gendannet."},
         }) {
        auto outcome = RecoverSheet::outcome(c.result);
        EXPECT_EQ(outcome.kind, static_cast<int>(c.kind)) << c.title;
        EXPECT_EQ(outcome.title, c.title);
        EXPECT_EQ(outcome.message, c.message);
    }
}

// Every file counts once, however often the nodes reach it; folders do not
// count; what is not existing counts as lost.
TEST(RecoverSheet, CountsWhatTheNodesHoldOnce) {
    auto session = scannedSession("fat16");
    ASSERT_EQ(session->volumes().size(), 1u);
    auto root = session->volumes()[0]->root;
    int64_t files = 0, lost = 0;
    uint64_t bytes = 0;
    for (auto& row : readManifest("fat16")) {
        if (row.isFolder()) continue;
        files += 1;
        bytes += std::stoull(row.size);
        if (row.status != "existing") lost += 1;
    }
    auto byPath = nodesByPath(root);
    ASSERT_TRUE(byPath.count("Dokumenter/Opskrifter/"));
    ASSERT_TRUE(byPath.count("Dokumenter/Opskrifter/Rødgrød med fløde.txt"));
    std::vector<FileNodePtr> overlapping = {byPath["Dokumenter/Opskrifter/Rødgrød med fløde.txt"], root,
                                            byPath["Dokumenter/Opskrifter/"], byPath["Dokumenter/"]};
    RecoverSheet sheet(session, overlapping, "fat16", nullptr);
    EXPECT_EQ(sheet.summaryLabel()->text(), "Tæller filer …");
    ASSERT_TRUE(counted(sheet));
    EXPECT_EQ(*sheet.summary(), (RecoverSheet::Summary{files, bytes, lost}));
    EXPECT_EQ(sheet.summaryLabel()->text().toStdString(), RecoverSheet::summaryLine(*sheet.summary()));

    // Empty folders only: nothing to count, and nothing lost to mention.
    RecoverSheet empty(session, {FileNode::make("a", true), FileNode::make("b", true)}, "x", nullptr);
    ASSERT_TRUE(counted(empty));
    EXPECT_EQ(empty.summaryLabel()->text().toStdString(), "0 filer · " + formatBytes(0));
}

TEST(RecoverSheet, SetupBeforeAnyChoice) {
    auto session = scannedSession("fat12");
    RecoverSheet sheet(session, {session->volumes()[0]->root}, "Mit/kort:", nullptr);
    EXPECT_EQ(sheet.page(), 0);
    EXPECT_EQ(pathShown(sheet), "Ingen mappe valgt");
    EXPECT_FALSE(sheet.recoverButton()->isEnabled());
    EXPECT_TRUE(sheet.recoverButton()->isDefault());
    EXPECT_TRUE(sheet.keepFoldersBox()->isChecked());
    EXPECT_TRUE(sheet.restoreDatesBox()->isChecked());
    EXPECT_TRUE(sheet.writeReportBox()->isChecked());
    EXPECT_EQ(sheet.noteLabel()->text().toStdString(),
              "Filerne lægges i en ny mappe med navnet \"" + RecoveryEngine::sanitize("Mit/kort:") +
                  "\". Eksisterende filer overskrives aldrig.");
    EXPECT_EQ(shown(*sheet.notices()), (Shown{false, false, false}));
    sheet.writeReportBox()->click();
    EXPECT_FALSE(sheet.options().writeReport);
}

// The free space only warns, once the count is known; a capacity equal to
// the total is enough; a lookup that fails says nothing. A cancelled panel
// changes nothing, and a new choice clears the notices of the last.
TEST(RecoverSheet, ChoosingAFolderWarnsOfTooLittleSpace) {
    auto session = scannedSession("fat16");
    TempDir out;
    std::optional<int64_t> free = 0;
    Replaced<Destination::FreeSpaceFunction> space(Destination::freeSpace,
                                                   [&](const fs::path&) { return free; });
    std::optional<std::string> answer = out.path().string();
    Panels::ChooseFolder asked;
    Replaced<Panels::ChooseFolderFunction> panel(Panels::chooseFolder, [&](const Panels::ChooseFolder& request) {
        asked = request;
        return answer;
    });

    RecoverSheet sheet(session, {session->volumes()[0]->root}, "fat16", nullptr);
    // Chosen while the count still runs: no warning, and the start is open.
    sheet.chooseButton()->click();
    ASSERT_FALSE(sheet.summary());
    EXPECT_EQ(asked.title, "Vælg hvor filerne skal gemmes");
    EXPECT_EQ(asked.confirm, "Vælg");
    EXPECT_EQ(pathShown(sheet), QString::fromStdString(out.path().string()));
    EXPECT_FALSE(sheet.notices()->hasWarning());
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());

    ASSERT_TRUE(counted(sheet));
    const uint64_t total = sheet.summary()->bytes;
    ASSERT_GT(total, 0u);
    struct Case {
        std::optional<int64_t> free;
        bool warns;
    };
    for (auto c : {Case{0, true}, Case{int64_t(total) - 1, true}, Case{int64_t(total), false},
                   Case{std::nullopt, false}, Case{-1, false}}) {
        free = c.free;
        sheet.chooseButton()->click();
        EXPECT_EQ(sheet.notices()->hasWarning(), c.warns) << (c.free ? *c.free : -2);
        EXPECT_TRUE(sheet.recoverButton()->isEnabled());
    }
    free = 0;
    sheet.chooseButton()->click();
    EXPECT_EQ(*sheet.notices()->warning(), "Der er kun " + formatBytes(0) + " ledig plads, men filerne fylder " +
                                               formatBytes(total) + ".");
    EXPECT_EQ(shown(*sheet.notices()), (Shown{false, false, true}));
    answer.reset();
    sheet.chooseButton()->click();
    EXPECT_TRUE(sheet.notices()->hasWarning());
    EXPECT_EQ(pathShown(sheet), QString::fromStdString(out.path().string()));
}

// Through the sheet as a user goes: the folder, "Gendan", the progress, the
// result with its folder shown on request; the files are those of the disk.
TEST(RecoverSheet, RecoversFilesByteForByteWithTheReport) {
    auto session = scannedSession("fat16");
    TempDir out;
    Replaced<Panels::ChooseFolderFunction> panel(Panels::chooseFolder,
                                                 [&](const Panels::ChooseFolder&) { return out.path().string(); });
    std::vector<std::string> revealed;
    Replaced<Panels::ShowInFileManagerFunction> reveal(Panels::showInFileManager,
                                                       [&](const std::string& path) { revealed.push_back(path); });

    auto* sheet = new RecoverSheet(session, session->volumes()[0]->root->children(), "fat16", nullptr);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<RecoverSheet> alive(sheet);
    sheet->open();
    sheet->chooseButton()->click();
    {
        // Held before it copies, so that it is still running for Escape.
        BackgroundHold hold;
        sheet->recoverButton()->click();
        EXPECT_EQ(sheet->page(), 1);
        EXPECT_TRUE(sheet->stopButton()->isVisible());
        // Escape does not close a running recovery.
        QTest::keyClick(sheet, Qt::Key_Escape);
        EXPECT_TRUE(sheet->isVisible());
        EXPECT_TRUE(sheet->job()->running());
    }
    ASSERT_TRUE(spinUntil([&] { return sheet->page() == 2; }));

    const RecoveryResult& result = *sheet->job()->result();
    ASSERT_TRUE(result.folder);
    EXPECT_EQ(result.folder->parent_path(), out.path());
    EXPECT_EQ(sheet->outcomeCallout()->titleLabel()->text(), "Færdig");
    EXPECT_EQ(sheet->outcomeCallout()->messageLabel()->text().toStdString(),
              RecoverSheet::outcome(result).message);
    EXPECT_EQ(sheet->failureArea(), nullptr);
    int checked = 0;
    for (auto& row : readManifest("fat16")) {
        if (row.isFolder() || row.status != "existing" || row.sha256 == "-") continue;
        fs::path file = *result.folder / fs::u8path(row.path);
        ASSERT_TRUE(fs::exists(file)) << row.path;
        EXPECT_EQ(sha256Of(file), row.sha256) << row.path;
        ++checked;
    }
    EXPECT_GT(checked, 20);
    EXPECT_TRUE(fs::exists(*result.folder / "Gendannelsesrapport.csv"));

    ASSERT_NE(sheet->revealButton(), nullptr);
    sheet->revealButton()->click();
    EXPECT_EQ(revealed, std::vector<std::string>{result.folder->string()});
    EXPECT_TRUE(sheet->closeButton()->isDefault());
    sheet->closeButton()->click();
    EXPECT_TRUE(spinUntil(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return alive.isNull();
        }));
}

// Return starts only once a folder is chosen, and closes the result; Escape
// closes the setup. A folder that cannot be made gives a result without a
// folder: its failure is listed and "Luk" stands alone.
TEST(RecoverSheet, KeysAndAResultWithoutAFolder) {
    auto session = scannedSession("fat12");
    TempDir out;
    writeFile(out.file("fil"), Bytes(1, 'x'));

    RecoverSheet sheet(session, {session->volumes()[0]->root}, "fat12", nullptr);
    sheet.show();
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_EQ(sheet.page(), 0);
    EXPECT_FALSE(sheet.job()->running());
    EXPECT_TRUE(sheet.isVisible());

    // Below a file: no folder can be made there.
    sheet.validate(out.path() / "fil" / "ud");
    ASSERT_TRUE(sheet.recoverButton()->isEnabled());
    QTest::keyClick(&sheet, Qt::Key_Return);
    ASSERT_TRUE(spinUntil([&] { return sheet.page() == 2; }));
    const RecoveryResult& result = *sheet.job()->result();
    EXPECT_FALSE(result.folder);
    EXPECT_GT(result.failed, 0);
    EXPECT_EQ(sheet.outcomeCallout()->titleLabel()->text(), "Færdig med bemærkninger");
    ASSERT_EQ(sheet.failureLabels().size(), 1u);
    EXPECT_EQ(sheet.failureLabels()[0]->text().toStdString(), result.failures[0]);
    EXPECT_EQ(sheet.revealButton(), nullptr);
    ASSERT_NE(sheet.closeButton(), nullptr);
    EXPECT_TRUE(sheet.closeButton()->isVisible());
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Accepted);

    RecoverSheet other(session, {session->volumes()[0]->root}, "fat12", nullptr);
    other.show();
    QTest::keyClick(&other, Qt::Key_Escape);
    EXPECT_FALSE(other.isVisible());
    EXPECT_EQ(other.result(), QDialog::Rejected);
}

// "Stop" while the recovery is held inside its first file: that file is
// finished, and no other is started.
TEST(RecoverSheet, StopShowsHowFarItCame) {
    auto session = scannedSession("fat16");
    TempDir out;
    RecoveryHold hold;
    RecoverSheet sheet(session, {session->volumes()[0]->root}, "fat16", nullptr);
    ASSERT_TRUE(counted(sheet));
    const int64_t files = sheet.summary()->files;
    ASSERT_GT(files, 1);
    sheet.validate(out.path());
    sheet.recoverButton()->click();
    ASSERT_TRUE(spinUntil([&] { return hold.held(); }));
    sheet.stopButton()->click();
    hold.release();
    ASSERT_TRUE(spinUntil([&] { return sheet.page() == 2; }));
    const RecoveryResult& result = *sheet.job()->result();
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.recovered + result.withErrors, 1);
    EXPECT_EQ(sheet.outcomeCallout()->titleLabel()->text(), "Gendannelsen blev stoppet");
    // Every file after the first was never started.
    EXPECT_EQ(result.notTried, files - 1);
    EXPECT_EQ(sheet.outcomeCallout()->messageLabel()->text().toStdString(),
              "1 filer nåede at blive gendannet, " + Fmt::number(files - 1) + " ikke forsøgt.");
}

// A destination too small for the files: the result counts the files after
// the one that found it full, which were never tried.
TEST(RecoverSheet, CountsWhatAFullDestinationLeftUntried) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    auto session = scannedSession("fat16");
    TempDir out;
    const fs::path small = out.path() / "lille";
    fs::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=128k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    RecoverSheet sheet(session, {session->volumes()[0]->root}, "fat16", nullptr);
    ASSERT_TRUE(counted(sheet));
    sheet.validate(small);
    sheet.recoverButton()->click();
    const bool ended = spinUntil([&] { return sheet.page() == 2; });
    ::umount2(small.c_str(), MNT_DETACH);
    ASSERT_TRUE(ended);
    const RecoveryResult& result = *sheet.job()->result();
    EXPECT_EQ(result.failed, 1);
    const int64_t untried = sheet.summary()->files - result.recovered - result.withErrors - result.failed;
    EXPECT_GT(untried, 0);
    EXPECT_EQ(sheet.outcomeCallout()->titleLabel()->text(), "Færdig med bemærkninger");
    EXPECT_TRUE(sheet.outcomeCallout()->messageLabel()->text().toStdString().ends_with(
        " 1 mislykkedes, " + Fmt::number(untried) + " ikke forsøgt."))
        << sheet.outcomeCallout()->messageLabel()->text().toStdString();
}

// A device source: a folder on its disk is refused; a folder whose disk
// cannot be told must be confirmed; a folder in memory is not on it.
TEST(RecoverSheet, RefusesTheSourceDiskAndAsksWhenItCannotTell) {
    if (!isRoot()) GTEST_SKIP() << "needs root for loop devices";
    ScratchDisks disks;
    ASSERT_TRUE(disks.ready());
    const ScratchDisk &source = disks.disk, &lost = disks.lost;
    fs::create_directories(source.mountPoint() / "ud");
    fs::create_directories(lost.mountPoint() / "ud");
    auto device = SourceOpener::openDevice(source.name(), source.name());
    ASSERT_TRUE(device);
    auto session = Session::make(device, source.name());
    Replaced<Destination::FreeSpaceFunction> space(Destination::freeSpace,
                                                   [&](const fs::path&) { return std::optional<int64_t>(0); });
    RecoverSheet sheet(session, {FileNode::make("a.txt", false, 10)}, "x", nullptr);
    ASSERT_TRUE(counted(sheet));

    sheet.validate(source.mountPoint() / "ud");
    EXPECT_EQ(shown(*sheet.notices()), (Shown{true, false, false}));
    EXPECT_EQ(sheet.notices()->problemCallout()->titleLabel()->text(), "Vælg en anden placering");
    EXPECT_EQ(*sheet.notices()->problem(),
              "Mappen ligger på den disk, du gendanner fra. Gendannelse dertil kan overskrive netop de data, du "
              "prøver at redde.");
    EXPECT_FALSE(sheet.recoverButton()->isEnabled());

    sheet.validate(lost.mountPoint() / "ud");
    EXPECT_EQ(shown(*sheet.notices()), (Shown{false, true, true}));
    EXPECT_FALSE(sheet.recoverButton()->isEnabled());
    sheet.notices()->confirmBox()->click();
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());

    // In memory: on no disk at all.
    sheet.validate("/dev/shm");
    EXPECT_EQ(shown(*sheet.notices()), (Shown{false, false, true}));
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());
}

// An image file is never on the folder's disk, unless the folder lies on a
// device that the image file itself backs: writing there writes into it. A
// folder on a disk that cannot be told must be confirmed.
TEST(RecoverSheet, ImageSourceIsRefusedOnlyInsideItself) {
    if (!isRoot()) GTEST_SKIP() << "needs root for loop devices";
    ScratchDisks disks;
    ASSERT_TRUE(disks.ready());
    const ScratchDisk &inside = disks.disk, &lost = disks.lost;
    auto image = SourceOpener::openImage(inside.backing().string());
    ASSERT_TRUE(image);
    auto session = Session::make(image, "disk.img");
    RecoverSheet sheet(session, {}, "x", nullptr);
    sheet.validate(inside.mountPoint());
    EXPECT_TRUE(sheet.notices()->hasProblem());
    // A disk that cannot be told may be the one the image file lies on.
    sheet.validate(lost.mountPoint());
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.notices()->hasDoubt());
    EXPECT_FALSE(sheet.recoverButton()->isEnabled());
    sheet.validate(inside.backing().parent_path());
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());
}

// Files that cannot be written (nothing tells where their bytes lie) each
// fail with a line of their own; the first 200 lines are listed, in a
// scrolling area no higher than 120.
TEST(RecoverSheet, ListsTheFirstFailuresInAShortScrollingArea) {
    auto session = scannedSession("fat12");
    TempDir out;
    std::vector<FileNodePtr> nodes;
    for (int i = 0; i < 600; ++i) nodes.push_back(FileNode::make("x" + std::to_string(i), false, 1));
    RecoverSheet sheet(session, nodes, "fat12", nullptr);
    sheet.show();
    sheet.validate(out.path());
    sheet.recoverButton()->click();
    ASSERT_TRUE(spinUntil([&] { return sheet.page() == 2; }));
    const RecoveryResult& result = *sheet.job()->result();
    ASSERT_GT(result.failures.size(), RecoverSheet::shownFailures);
    EXPECT_EQ(sheet.outcomeCallout()->titleLabel()->text(), "Færdig med bemærkninger");
    auto labels = sheet.failureLabels();
    ASSERT_EQ(labels.size(), RecoverSheet::shownFailures);
    EXPECT_EQ(labels.front()->text().toStdString(), result.failures.front());
    EXPECT_EQ(labels.back()->text().toStdString(), result.failures[199]);
    drainEvents();
    ASSERT_NE(sheet.failureArea(), nullptr);
    EXPECT_LE(sheet.failureArea()->height(), 120);
    EXPECT_GT(sheet.failureArea()->widget()->height(), 120);
}

// An image file in the window: a folder on the file system that holds the
// image file is another file there, and may be used; a folder whose storage
// cannot be told is not taken as elsewhere: it must be confirmed first, as
// the command-line tool refuses it.
TEST(RecoverSheet, AnImageSourceInTheWindowAsksWhereItCannotTell) {
    TempDir dir;
    const fs::path image = dir.path() / "kilde.img";
    fs::copy_file(fixtureImage("fat16"), image);
    WindowSheet w(image);
    ASSERT_NE(w.sheet, nullptr);
    RecoverSheet& sheet = *w.sheet;

    fs::create_directories(dir.path() / "ud");
    w.choose(dir.path() / "ud");
    EXPECT_EQ(pathShown(sheet), QString::fromStdString((dir.path() / "ud").string()));
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_FALSE(sheet.notices()->hasDoubt());
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());

    // proc lies on no disk that can be told.
    w.choose("/proc/self/ud");
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.notices()->hasDoubt());
    EXPECT_TRUE(sheet.notices()->doubtCallout()->isVisibleTo(&sheet));
    EXPECT_EQ(sheet.notices()->doubtCallout()->messageLabel()->text().toStdString(),
              "Det kan ikke afgøres, om mappen ligger på den disk, du gendanner fra. Gendannelse dertil kan "
              "overskrive netop de data, du prøver at redde.");
    EXPECT_FALSE(sheet.recoverButton()->isEnabled());
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_FALSE(sheet.job()->running());
    EXPECT_EQ(sheet.page(), 0);
}

// The image file open in the window and mounted too, by ntfs-3g (a file
// system served from the file itself) and through a loop device: a folder on
// either is inside the source, refused with the reason shown, and "Gendan"
// stays disabled. Nothing is written into the image.
TEST(RecoverSheet, AFolderOnAMountOfTheImageItselfIsRefusedInTheWindow) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount the image";
    TempDir dir;
    const fs::path image = dir.path() / "kilde.img";
    fs::copy_file(fixtureImage("ntfs"), image);
    const std::string before = sha256Of(image);
    const fs::path fuse = dir.path() / "ntfs-3g", loop = dir.path() / "loop";
    fs::create_directories(fuse);
    fs::create_directories(loop);
    auto sh = [](const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; };
    if (!sh("ntfs-3g -o ro '" + image.string() + "' '" + fuse.string() + "'"))
        GTEST_SKIP() << "ntfs-3g cannot mount here";
    struct Unmount {
        std::function<void()> undo;
        ~Unmount() { undo(); }
    } unmountFuse{[&] { sh("umount -l '" + fuse.string() + "'"); }};
    const bool looped = sh("mount -o loop,ro '" + image.string() + "' '" + loop.string() + "'");
    Unmount unmountLoop{[&] {
        if (looped) sh("umount -l '" + loop.string() + "'");
    }};

    WindowSheet w(image);
    ASSERT_NE(w.sheet, nullptr);
    RecoverSheet& sheet = *w.sheet;
    std::vector<fs::path> inside = {fuse, fuse / "ny mappe"};
    if (looped) inside.push_back(loop);
    for (const fs::path& folder : inside) {
        SCOPED_TRACE(folder.string());
        w.choose(folder);
        EXPECT_TRUE(sheet.notices()->problemCallout()->isVisibleTo(&sheet));
        EXPECT_EQ(sheet.notices()->problemCallout()->titleLabel()->text(), "Vælg en anden placering");
        EXPECT_EQ(sheet.notices()->problemCallout()->messageLabel()->text().toStdString(), onTheSourceText);
        EXPECT_FALSE(sheet.recoverButton()->isEnabled());
        QTest::keyClick(&sheet, Qt::Key_Return);
        EXPECT_FALSE(sheet.job()->running());
    }
    // Beside the image file: another file on that disk.
    w.choose(dir.path());
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.recoverButton()->isEnabled());
    EXPECT_EQ(sha256Of(image), before);
}

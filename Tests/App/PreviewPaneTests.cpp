#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

#include <QLabel>
#include <QMediaPlayer>
#include <QPdfDocument>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "AppTestSupport.h"
#include "ScanTestSupport.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/PreviewPane.h"
#include "SovantaApp/QuickLookView.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// Files laid one after another, each at a 512-byte boundary, in one small
// image: a session whose nodes are those files.
struct FilesDisk {
    TempDir dir;
    SessionPtr session;
    std::map<std::string, FileNodePtr> files;

    // (name in the volume, bytes)
    explicit FilesDisk(const std::vector<std::pair<std::string, Bytes>>& contents) {
        Bytes all;
        std::vector<std::pair<std::string, Extent>> placed;
        for (auto& [name, bytes] : contents) {
            all.resize((all.size() + 511) / 512 * 512);
            placed.push_back({name, {all.size(), bytes.size()}});
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        all.resize((all.size() + 511) / 512 * 512 + 512);
        writeFile(dir.file("disk.img"), all);
        session = Session::make(SourceOpener::openImage(dir.file("disk.img")), "disk.img");
        auto root = FileNode::make("/", true);
        for (auto& [name, extent] : placed) {
            auto node = FileNode::make(name, false, extent.length, EntryStatus::existing, Recoverability::good,
                                       std::vector<Extent>{extent});
            root->add(node);
            files[name] = node;
        }
        roots.push_back(root);
    }
    FileNodePtr operator[](const std::string& name) const { return files.at(name); }
    std::vector<FileNodePtr> roots;
};

Bytes previewFixture(const std::string& name) { return readBytes(fixtureSource("preview/" + name)); }

// A fixture scanned by its session as the application scans it.
struct ScannedSession {
    SessionPtr session;
    std::multimap<std::string, FileNodePtr> nodes;
    explicit ScannedSession(const std::string& name) {
        session = Session::make(openFixture(name), name + ".img");
        session->startQuickScan();
        EXPECT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
        for (auto& volume : session->volumes())
            for (auto& [path, node] : allNodesByPath(volume->root)) nodes.emplace(path, node);
    }
    // A deleted entry may have kept only its short name, its first letter lost.
    FileNodePtr operator[](const std::string& path) const { return findRow(nodes, path, true); }
};

// The pane in a window of the inspector's size.
struct Pane {
    std::vector<std::vector<FileNodePtr>> recovered;
    PreviewPane pane;
    explicit Pane(SessionPtr session)
        : pane(std::move(session), [this](std::vector<FileNodePtr> nodes) { recovered.push_back(std::move(nodes)); }) {
        pane.resize(320, 800);
        pane.show();
    }
    // Loads still under way end before the session and its files go.
    ~Pane() {
        Background::previewQueue().waitForDone();
        drainEvents();
    }
    SingleFilePreview* show(const FileNodePtr& node) {
        pane.setNodes({node});
        return pane.single();
    }
};

// Waits until the shown preview's load has ended.
bool settled(SingleFilePreview* view) {
    return spinUntil([view] { return !view->loading(); }, std::chrono::seconds(60));
}

std::string detailOf(const SingleFilePreview& view, const std::string& label) {
    for (auto& [name, value] : view.details())
        if (name == label) return value;
    return "(none)";
}

std::vector<std::string> detailLabels(const SingleFilePreview& view) {
    std::vector<std::string> labels;
    for (auto& [name, value] : view.details()) labels.push_back(name);
    return labels;
}

// While it lives, both threads of the preview queue wait, so that work added
// meanwhile starts only when it goes.
struct QueueHold {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    std::atomic<int> waiting = 0;
    QueueHold() {
        for (int i = 0; i < 2; ++i)
            Background::onPreviewQueue([this] {
                ++waiting;
                std::unique_lock guard(lock);
                changed.wait(guard, [this] { return released; });
            });
        EXPECT_TRUE(spinUntil([this] { return waiting == 2; }, std::chrono::seconds(30)));
    }
    void release() {
        std::lock_guard guard(lock);
        released = true;
        changed.notify_all();
    }
    ~QueueHold() { release(); }
};

}  // namespace

TEST(PreviewPane, ShowsAPromptACountOrOneNode) {
    FilesDisk disk({{"a.png", previewFixture("plain.png")}, {"b.txt", Bytes(3000, 'b')}});
    Pane p(disk.session);
    EXPECT_EQ(p.pane.single(), nullptr);
    EXPECT_TRUE(p.pane.emptyState()->isVisible());
    EXPECT_EQ(p.pane.emptyState()->findChild<QLabel*>("emptyTitle")->text(), "Intet markeret");
    EXPECT_EQ(p.pane.emptyState()->findChild<QLabel*>("emptyDescription")->text(),
              "Markér en fil for at se en forhåndsvisning og detaljer.");

    p.pane.setNodes({disk["a.png"], disk["b.txt"]});
    EXPECT_EQ(p.pane.single(), nullptr);
    EXPECT_TRUE(p.pane.severalView()->isVisible());
    EXPECT_EQ(p.pane.severalCount()->text().toStdString(), "2 elementer markeret");
    EXPECT_EQ(p.pane.severalBytes()->text().toStdString(), formatBytes(disk["a.png"]->size + 3000));
    EXPECT_EQ(p.pane.severalRecover()->text(), "Gendan markerede …");
    QTest::mouseClick(p.pane.severalRecover(), Qt::LeftButton);
    ASSERT_EQ(p.recovered.size(), 1u);
    EXPECT_EQ(p.recovered[0], (std::vector<FileNodePtr>{disk["a.png"], disk["b.txt"]}));

    // One node gets its own preview; the same node again keeps it, another gets a fresh one.
    auto* first = p.show(disk["b.txt"]);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->nameLabel()->text(), "b.txt");
    EXPECT_EQ(first->pathLabel()->text(), "/b.txt");
    EXPECT_EQ(p.show(disk["b.txt"]), first);
    EXPECT_NE(p.show(disk["a.png"]), first);
    QTest::mouseClick(p.pane.single()->recoverButton(), Qt::LeftButton);
    ASSERT_EQ(p.recovered.size(), 2u);
    EXPECT_EQ(p.recovered[1], std::vector<FileNodePtr>{disk["a.png"]});
    EXPECT_EQ(p.pane.single()->recoverButton()->text(), "Gendan …");

    p.pane.setNodes({});
    EXPECT_EQ(p.pane.single(), nullptr);
    EXPECT_TRUE(p.pane.emptyState()->isVisible());
}

TEST(PreviewPane, ShowsAPicturesThumbnailFromTheVolume) {
    ScannedSession scanned("fat12");
    auto node = scanned["Billeder/2019/Sommer/Øresund ved aften.jpg"];
    ASSERT_TRUE(node);
    Pane p(scanned.session);
    auto* view = p.show(node);
    EXPECT_TRUE(view->loading());
    ASSERT_TRUE(settled(view));
    ASSERT_TRUE(view->image());
    EXPECT_FALSE(view->image()->isNull());
    EXPECT_LE(std::max(view->image()->width(), view->image()->height()), 900);
    EXPECT_EQ(view->previewContent(), view->imageView());
    // A picture needs no copy, so there is nothing to open.
    EXPECT_FALSE(view->quickLookURL());
    EXPECT_FALSE(view->openButton()->isVisible());
    EXPECT_FALSE(view->broken());
    EXPECT_EQ(view->notice(), nullptr);
    EXPECT_EQ(detailOf(*view, "Størrelse"), formatBytes(10669) + " (10.669 bytes)");
    EXPECT_EQ(detailOf(*view, "Status"), "Eksisterende");
    EXPECT_EQ(detailOf(*view, "Chance"), "God");
    EXPECT_EQ(detailOf(*view, "Placering"), "sektor " + Fmt::number(static_cast<int64_t>(*firstOffset(*node) / 512)));
}

TEST(PreviewPane, ShowsATextFilesTextFromItsCopy) {
    ScannedSession scanned("fat12");
    auto node = scanned["Æbleskiver opskrift.txt"];
    ASSERT_TRUE(node);
    int opened = 0;
    std::string openedPath;
    auto saved = PreviewPane::openFileHook();
    PreviewPane::openFileHook() = [&](const std::string& path) {
        ++opened;
        openedPath = path;
    };
    {
        Pane p(scanned.session);
        auto* view = p.show(node);
        ASSERT_TRUE(settled(view));
        ASSERT_TRUE(view->quickLookURL());
        EXPECT_FALSE(view->image());
        EXPECT_EQ(view->previewContent(), view->quickLookView());
        ASSERT_TRUE(spinUntil([&] { return view->quickLookView()->kind() != QuickLookView::Kind::none; }));
        EXPECT_EQ(view->quickLookView()->kind(), QuickLookView::Kind::text);
        auto* text = view->quickLookView()->textView();
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(text->isReadOnly());
        QByteArray utf8 = text->toPlainText().toUtf8();
        EXPECT_EQ(sha256Hex(Bytes(utf8.begin(), utf8.end())),
                  "31204d9c797c1702e4c74b5550dca00b6f9142b31e4456b2a0e5fd729564f700");
        ASSERT_TRUE(view->openButton()->isVisible());
        EXPECT_EQ(view->openButton()->toolTip(), "Åbn den midlertidige kopi i standardprogrammet");
        QTest::mouseClick(view->openButton(), Qt::LeftButton);
        EXPECT_EQ(opened, 1);
        EXPECT_EQ(openedPath, *view->quickLookURL());
    }
    PreviewPane::openFileHook() = saved;
}

// The folder for copies is a link that another user planted: the pane says
// so where the preview would be, instead of showing nothing.
TEST(PreviewPane, AnUnfitFolderForCopiesIsSaid) {
    ScannedSession scanned("fat12");
    auto node = scanned["Æbleskiver opskrift.txt"];
    ASSERT_TRUE(node);
    TempDir dir;
    std::filesystem::create_directory(dir.file("victim"));
    std::filesystem::create_directory_symlink(dir.file("victim"), dir.file("SovantaPreview"));
    Preview::setCopies(std::make_shared<Preview::CopyFolder>(std::vector<std::filesystem::path>{dir.path()}, "7"));
    {
        Pane p(scanned.session);
        auto* view = p.show(node);
        ASSERT_TRUE(settled(view));
        EXPECT_FALSE(view->quickLookURL());
        ASSERT_NE(view->notice(), nullptr);
        EXPECT_EQ(view->notice()->kind(), Callout::Kind::warning);
        EXPECT_EQ(view->notice()->titleLabel()->text(), "Forhåndsvisningen kunne ikke laves");
        EXPECT_EQ(view->notice()->messageLabel()->text().toStdString(),
                  "Mappen til midlertidige kopier, " + dir.file("SovantaPreview") +
                      ", er et symbolsk link. Den bruges ikke, og filen kan ikke vises.");
    }
    Preview::setCopies(nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("victim")));
}

TEST(PreviewPane, DeletedFilesShowTheirStatusAndNotices) {
    ScannedSession scanned("fat12");
    Pane p(scanned.session);
    // A deleted file whose first cluster another file took: a warning with the reader's note.
    auto overwritten = scanned["huller/hul_02.bin"];
    ASSERT_TRUE(overwritten);
    auto* view = p.show(overwritten);
    EXPECT_EQ(detailOf(*view, "Status"), "Slettet");
    EXPECT_EQ(detailOf(*view, "Chance"), "Ringe");
    ASSERT_NE(view->notice(), nullptr);
    EXPECT_EQ(view->notice()->kind(), Callout::Kind::warning);
    EXPECT_EQ(view->notice()->titleLabel()->text(), "Bemærkning");
    EXPECT_EQ(view->notice()->messageLabel()->text(), "Startklyngen er genbrugt af en anden fil");
    ASSERT_TRUE(settled(view));

    // A deleted picture whose clusters are still free shows its picture, without a notice.
    auto picture = scanned["Billeder/DSC00017.JPG"];
    ASSERT_TRUE(picture);
    view = p.show(picture);
    EXPECT_EQ(detailOf(*view, "Status"), "Slettet");
    ASSERT_TRUE(settled(view));
    EXPECT_TRUE(view->image());
    EXPECT_EQ(view->notice(), nullptr);

    // Any other rating makes the note information; a picture that does not decode
    // shows its own warning in place of the note, and the load goes on to a copy.
    FilesDisk disk({{"stykker.jpg", previewFixture("broken.jpg")}, {"noter.txt", Bytes(100, 'x')}});
    disk["noter.txt"]->note = "En bemærkning";
    disk["noter.txt"]->recoverability = Recoverability::partial;
    disk["stykker.jpg"]->note = "En bemærkning";
    disk["stykker.jpg"]->recoverability = Recoverability::poor;
    Pane other(disk.session);
    view = other.show(disk["noter.txt"]);
    ASSERT_NE(view->notice(), nullptr);
    EXPECT_EQ(view->notice()->kind(), Callout::Kind::info);
    ASSERT_TRUE(settled(view));
    view = other.show(disk["stykker.jpg"]);
    ASSERT_TRUE(settled(view));
    EXPECT_TRUE(view->broken());
    EXPECT_FALSE(view->image());
    EXPECT_TRUE(view->quickLookURL());
    ASSERT_NE(view->notice(), nullptr);
    EXPECT_EQ(view->notice()->kind(), Callout::Kind::warning);
    EXPECT_EQ(view->notice()->titleLabel()->text(), "Billedet kunne ikke afkodes");
    EXPECT_EQ(view->notice()->messageLabel()->text(), "Filen er sandsynligvis beskadiget eller delvist overskrevet.");
    // No viewer can show it: the placeholder stays, and the copy can be opened.
    ASSERT_TRUE(spinUntil([&] { return view->quickLookView()->kind() != QuickLookView::Kind::none; }));
    EXPECT_EQ(view->quickLookView()->kind(), QuickLookView::Kind::other);
    EXPECT_NE(view->previewContent(), view->quickLookView());
    EXPECT_TRUE(view->openButton()->isVisible());
}

TEST(PreviewPane, DetailsAndActionsFollowWhatTheNodeHolds) {
    FilesDisk disk({{"a.txt", Bytes(100, 'a')}});
    Pane p(disk.session);

    // A folder: its totals, no size, no chance, and the folder's recover button.
    auto folder = FileNode::make("Mappe", true, 0, EntryStatus::deleted);
    auto sub = FileNode::make("Under", true);
    folder->add(sub);
    sub->add(FileNode::make("x.bin", false, 1000, EntryStatus::deleted));
    folder->add(FileNode::make("y.bin", false, 2000, EntryStatus::deleted));
    auto* view = p.show(folder);
    EXPECT_FALSE(view->loading());
    EXPECT_EQ(detailLabels(*view), (std::vector<std::string>{"Størrelse", "Ændret", "Oprettet", "Status"}));
    EXPECT_EQ(detailOf(*view, "Størrelse"), "–");
    EXPECT_EQ(detailOf(*view, "Ændret"), "–");
    EXPECT_EQ(view->recoverButton()->text(), "Gendan mappe …");
    EXPECT_EQ(view->sectorsButton(), nullptr);
    EXPECT_EQ(view->previewContent()->findChild<QLabel*>("folderCounts")->text(), "2 filer · 1 mapper");
    EXPECT_EQ(view->previewContent()->findChild<QLabel*>("folderBytes")->text().toStdString(), formatBytes(3000));

    // Pieces after a hole: the first placed one gives the sector, two pieces count.
    auto pieces = FileNode::make("stykker.bin", false, 20, EntryStatus::orphaned, Recoverability::partial,
                                 std::vector<Extent>{{std::nullopt, 4}, {5000, 10}, {9000, 10}});
    view = p.show(pieces);
    EXPECT_EQ(detailLabels(*view), (std::vector<std::string>{"Størrelse", "Ændret", "Oprettet", "Status", "Chance",
                                                             "Placering", "Fragmenter"}));
    EXPECT_EQ(detailOf(*view, "Status"), "Forældreløs");
    EXPECT_EQ(detailOf(*view, "Chance"), "Delvis");
    EXPECT_EQ(detailOf(*view, "Placering"), "sektor 9");
    EXPECT_EQ(detailOf(*view, "Fragmenter"), "2");
    ASSERT_NE(view->sectorsButton(), nullptr);
    QSignalSpy offsets(disk.session.get(), &Session::sectorOffsetChanged);
    QSignalSpy tabs(disk.session.get(), &Session::tabChanged);
    QTest::mouseClick(view->sectorsButton(), Qt::LeftButton);
    EXPECT_EQ(disk.session->sectorOffset(), 4608u);
    EXPECT_EQ(disk.session->tab(), SessionTab::sectors);
    QTest::mouseClick(view->sectorsButton(), Qt::LeftButton);
    EXPECT_EQ(offsets.count(), 1);
    EXPECT_EQ(tabs.count(), 1);
    ASSERT_TRUE(settled(view));

    // Data inside the record, and a file-system id.
    auto resident = FileNode::make("lille.txt", false, 3, EntryStatus::existing, Recoverability::good,
                                   ResidentData{{'a', 'b', 'c'}});
    resident->fsID = 42;
    view = p.show(resident);
    EXPECT_EQ(detailLabels(*view), (std::vector<std::string>{"Størrelse", "Ændret", "Oprettet", "Status", "Chance",
                                                             "Placering", "Id"}));
    EXPECT_EQ(detailOf(*view, "Placering"), "Inde i MFT-posten");
    EXPECT_EQ(detailOf(*view, "Id"), "42");
    EXPECT_EQ(view->sectorsButton(), nullptr);
    ASSERT_TRUE(settled(view));
    EXPECT_TRUE(view->quickLookURL());
}

TEST(PreviewPane, SizeDecidesWhatLoadsByItself) {
    FilesDisk disk({{"a.txt", Bytes(100, 'a')}});
    Pane p(disk.session);
    struct Case {
        uint64_t size;
        bool loads;      // starts a load by itself
        bool copies;     // and ends with a copy
        bool button;     // offers the manual load
        bool tooLarge;   // says it is too large
    };
    const uint64_t MiB = 1048576;
    const Case cases[] = {
        {0, false, false, false, false},
        {40 * MiB, true, true, false, false},
        {40 * MiB + 1, true, false, true, false},
        {512 * MiB, true, false, true, false},
        {512 * MiB + 1, true, false, false, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.size);
        // Without data: the copy streams zeros, reading nothing.
        auto node = FileNode::make("data.bin", false, c.size);
        auto* view = p.show(node);
        EXPECT_EQ(view->loading(), c.loads);
        ASSERT_TRUE(settled(view));
        EXPECT_EQ(view->quickLookURL().has_value(), c.copies);
        EXPECT_EQ(view->manualLoadButton() != nullptr, c.button);
        EXPECT_EQ(view->tooLargeCaption() != nullptr, c.tooLarge);
        if (c.button) {
            EXPECT_EQ(view->manualLoadButton()->text().toStdString(),
                      "Vis forhåndsvisning (" + formatBytes(c.size) + ")");
            EXPECT_EQ(view->previewContent()->findChild<QPushButton*>(), view->manualLoadButton());
        }
        if (c.tooLarge) {
            EXPECT_EQ(view->tooLargeCaption()->text(), "For stor til forhåndsvisning");
        }
        if (c.copies) std::filesystem::remove(*view->quickLookURL());
    }
    // The button loads the file that is just too large to load by itself.
    auto node = FileNode::make("stor.bin", false, 40 * MiB + 1);
    auto* view = p.show(node);
    ASSERT_TRUE(settled(view));
    QTest::mouseClick(view->manualLoadButton(), Qt::LeftButton);
    EXPECT_TRUE(view->loading());
    ASSERT_TRUE(settled(view));
    ASSERT_TRUE(view->quickLookURL());
    std::filesystem::remove(*view->quickLookURL());
}

// A picture is decoded from its first bytes whatever its size: one of 100 MiB
// shows at once; one that does not decode warns and offers the copy on request.
TEST(PreviewPane, ALargePictureIsDecodedFromItsHead) {
    FilesDisk disk({{"hel.jpg", previewFixture("turned.jpg")}, {"stykker.jpg", previewFixture("broken.jpg")}});
    Pane p(disk.session);
    const uint64_t size = 100 * 1048576;
    // The picture's bytes followed by zeros up to 100 MiB.
    auto padded = [&](const std::string& name) {
        const FileNodePtr& file = disk[name];
        auto extents = std::get<std::vector<Extent>>(file->data);
        extents.push_back({std::nullopt, size - file->size});
        return FileNode::make(name, false, size, EntryStatus::existing, Recoverability::good, extents);
    };

    auto* view = p.show(padded("hel.jpg"));
    ASSERT_TRUE(settled(view));
    ASSERT_TRUE(view->image());
    EXPECT_EQ(view->image()->size(), QSize(60, 120));
    EXPECT_EQ(view->previewContent(), view->imageView());
    EXPECT_FALSE(view->quickLookURL());
    EXPECT_EQ(view->notice(), nullptr);

    view = p.show(padded("stykker.jpg"));
    ASSERT_TRUE(settled(view));
    EXPECT_FALSE(view->image());
    EXPECT_TRUE(view->broken());
    ASSERT_NE(view->notice(), nullptr);
    EXPECT_EQ(view->notice()->titleLabel()->text(), "Billedet kunne ikke afkodes");
    // Too large to copy by itself: the placeholder with the button.
    EXPECT_FALSE(view->quickLookURL());
    ASSERT_NE(view->manualLoadButton(), nullptr);
    EXPECT_EQ(view->previewContent()->findChild<QPushButton*>(), view->manualLoadButton());
    EXPECT_TRUE(view->manualLoadButton()->isVisible());
}

// A folder's summary follows its subtree as scans add to it.
TEST(PreviewPane, AFoldersSummaryFollowsWhatAScanAdds) {
    ScannedSession scanned("damage_fat32_root_destroyed");
    ASSERT_EQ(scanned.session->volumes().size(), 1u);
    auto root = scanned.session->volumes()[0]->root;
    const auto before = root->totals();
    Pane p(scanned.session);
    auto* view = p.show(root);
    auto* counts = view->previewContent()->findChild<QLabel*>("folderCounts");
    auto* bytes = view->previewContent()->findChild<QLabel*>("folderBytes");
    auto text = [](const FileNode::Totals& totals) {
        return Fmt::number(totals.files) + " filer · " + Fmt::number(totals.folders) + " mapper";
    };
    EXPECT_EQ(counts->text().toStdString(), text(before));

    scanned.session->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(scanned.session->deep()); }));
    const auto after = root->totals();
    ASSERT_GT(after.files, before.files);
    EXPECT_EQ(counts->text().toStdString(), text(after));
    EXPECT_EQ(bytes->text().toStdString(), formatBytes(after.bytes));
}

TEST(PreviewPane, ALateResultForAnEarlierSelectionIsDropped) {
    FilesDisk disk({{"first.png", previewFixture("plain.png")}, {"second.jpg", previewFixture("turned.jpg")}});
    Pane p(disk.session);
    QueueHold hold;
    // The first node's load waits in the queue while the selection moves on.
    auto* first = p.show(disk["first.png"]);
    ASSERT_TRUE(first->loading());
    auto* second = p.show(disk["second.jpg"]);
    ASSERT_NE(second, first);
    std::vector<QSize> shownOnSecond;
    QObject::connect(second, &SingleFilePreview::stateChanged, [&] {
        if (second->image()) shownOnSecond.push_back(second->image()->size());
    });
    hold.release();
    ASSERT_TRUE(settled(second));
    // Both loads have ended and their results have been delivered.
    Background::previewQueue().waitForDone();
    drainEvents();
    ASSERT_TRUE(second->image());
    EXPECT_EQ(second->image()->size(), QSize(60, 120));
    EXPECT_EQ(shownOnSecond, std::vector<QSize>{QSize(60, 120)});
    EXPECT_EQ(p.pane.single(), second);
    EXPECT_EQ(second->node(), disk["second.jpg"]);
}

TEST(QuickLookView, FindsWhatEachFileHolds) {
    // Files of the carving corpus, by their place in its image.
    auto source = openFixture("carve");
    struct Case {
        uint64_t offset, size;
        const char* name;
        QuickLookView::Kind kind;
    };
    const Case cases[] = {
        {12656426, 27606, "letter.pdf", QuickLookView::Kind::pdf},
        {20437504, 52964, "tone.wav", QuickLookView::Kind::media},
        {17036612, 26592, "clip.mp4", QuickLookView::Kind::media},
        {4548486, 15086, "icon.ico", QuickLookView::Kind::image},
        {959301, 1670, "data.xml", QuickLookView::Kind::text},
        {21074634, 32156, "bundle.zip", QuickLookView::Kind::other},
    };
    TempDir dir;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto node = FileNode::make(c.name, false, c.size, EntryStatus::carved, Recoverability::good,
                                   std::vector<Extent>{{c.offset, c.size}});
        auto copy = Preview::extract(*node, *source, dir.path());
        ASSERT_TRUE(copy);
        auto prepared = QuickLookView::prepare(*copy);
        EXPECT_EQ(prepared.kind, c.kind);
        EXPECT_EQ(prepared.image.has_value(), c.kind == QuickLookView::Kind::image);
        if (c.kind == QuickLookView::Kind::text) {
            EXPECT_TRUE(prepared.text.startsWith("<?xml"));
        }
    }

    // Text is shown up to its limit; bytes that are not UTF-8 are read as Latin-1.
    Bytes latin(QuickLookView::textLimit + 100, 'a');
    latin[0] = 0xE6;  // æ
    writeFile(dir.file("lang.txt"), latin);
    auto text = QuickLookView::prepare(dir.file("lang.txt"));
    EXPECT_EQ(text.kind, QuickLookView::Kind::text);
    EXPECT_TRUE(text.cut);
    EXPECT_EQ(text.text.size(), QuickLookView::textLimit);
    EXPECT_EQ(text.text.front(), QChar(0xE6));
}

TEST(QuickLookView, ShowsPDFsAndPlaysMediaOffscreen) {
#if defined(__SANITIZE_ADDRESS__)
    // Qt 6.4's PDF view (its touch scroller) and FFmpeg's allocator under the
    // media player each keep a block to the end of the process, and through
    // them some forty blocks of Qt's backing stores, paint engines and
    // decoder threads. This leak check does not walk again from suppressed
    // blocks, so only suppressions as wide as Qt's painting would quiet it.
    GTEST_SKIP() << "Qt's PDF and video views keep allocations past the end";
#endif
    auto source = openFixture("carve");
    TempDir dir;
    auto copyOf = [&](uint64_t offset, uint64_t size, const char* name) {
        auto node = FileNode::make(name, false, size, EntryStatus::carved, Recoverability::good,
                                   std::vector<Extent>{{offset, size}});
        return Preview::extract(*node, *source, dir.path()).value_or("");
    };
    QuickLookView view;
    view.resize(300, 260);
    view.show();
    view.setURL(copyOf(12656426, 27606, "letter.pdf"));
    ASSERT_TRUE(spinUntil([&] { return view.kind() != QuickLookView::Kind::none; }, std::chrono::seconds(30)));
    ASSERT_NE(view.pdfDocument(), nullptr);
    EXPECT_EQ(view.pdfDocument()->status(), QPdfDocument::Status::Ready);
    EXPECT_GE(view.pdfDocument()->pageCount(), 1);
    drainEvents();

    // Playing needs no sound device and no screen; the view goes without hanging.
    for (auto [offset, size, name] : {std::tuple{20437504ull, 52964ull, "tone.wav"},
                                      std::tuple{17036612ull, 26592ull, "clip.mp4"}}) {
        SCOPED_TRACE(name);
        auto path = copyOf(offset, size, name);
        view.setURL(path);
        EXPECT_EQ(view.url(), path);
        ASSERT_TRUE(spinUntil([&] { return view.kind() != QuickLookView::Kind::none; }, std::chrono::seconds(30)));
        ASSERT_EQ(view.kind(), QuickLookView::Kind::media);
        ASSERT_NE(view.player(), nullptr);
        QTest::mouseClick(view.playButton(), Qt::LeftButton);
        spinUntil([&] { return view.player()->position() > 0 || view.player()->error() != QMediaPlayer::NoError; },
                  std::chrono::seconds(5));
        drainEvents();
    }
    // The same file again keeps its viewer.
    auto* player = view.player();
    view.setURL(view.url());
    EXPECT_EQ(view.player(), player);
}

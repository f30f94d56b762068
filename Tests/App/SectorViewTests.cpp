// The sector view over real sources: the bytes it shows against the file
// itself, stepping and jumping, the jump menu, reads that finish out of order,
// and sources that do not read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include "AppTestSupport.h"
#include "SovantaApp/SectorView.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// A file of size pseudo-random bytes in the test's temporary folder.
struct PatternFile {
    std::string path;
    Bytes bytes;
    PatternFile(const std::string& name, size_t size) {
        path = ::testing::TempDir() + name;
        std::mt19937 random(static_cast<unsigned>(size));
        bytes.resize(size);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
    ~PatternFile() { std::remove(path.c_str()); }
    // The window of length bytes at offset, zeros past the end.
    Bytes window(uint64_t offset, size_t length) const {
        Bytes out(length, 0);
        for (size_t i = 0; i < length && offset + i < bytes.size(); ++i) out[i] = bytes[offset + i];
        return out;
    }
};

// A source over the file with the given sector size, as a device of that
// sector size would be.
DiskSourcePtr sourceWithSectorSize(const std::string& path, int64_t sectorSize, SourceOptions options = {}) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    auto size = static_cast<uint64_t>(::lseek(fd, 0, SEEK_END));
    return std::make_shared<DiskSource>(fd, path, "test", size, sectorSize, false, std::nullopt, [] {},
                                        std::move(options));
}

struct Shown {
    SessionPtr session;
    std::unique_ptr<SectorView> view;
    explicit Shown(DiskSourcePtr source) {
        session = Session::make(std::move(source), "test");
        view = std::make_unique<SectorView>(session);
        view->resize(1000, 600);
    }
    void show() {
        view->show();
        settle();
    }
    // Waits until the reads started so far are applied.
    void settle() const { ASSERT_TRUE(spinUntil([&] { return !view->loading(); })); }
    void type(const QString& text) const {
        view->inputField()->setText(text);
        QTest::keyClick(view->inputField(), Qt::Key_Return);
        settle();
    }
    QString status() const { return view->statusLabel()->text(); }
};

}  // namespace

TEST(HexRow, LineIsOffsetBytesAndCharactersInTheirColours) {
    HexRow hi;
    hi.offset = 0x200;
    hi.bytes = {0x48, 0x69, 0x21};
    EXPECT_EQ(hi.text(),
              "000000000200  48 69 21 00 00 00 00 00  00 00 00 00 00 00 00 00  Hi!"
              "\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7\u00B7");
    auto runs = hi.line();
    EXPECT_EQ(runs[0].tint, HexRow::Tint::secondary);
    EXPECT_EQ(runs[1].tint, HexRow::Tint::primary);
    EXPECT_EQ(runs[2].tint, HexRow::Tint::accent);
    EXPECT_EQ(QString::fromStdString(hi.text()).size(), 80);

    HexRow zeros;
    zeros.offset = 0xFFFFFFFFFFF0;
    EXPECT_EQ(zeros.line()[0].text, "FFFFFFFFFFF0  ");
    EXPECT_EQ(zeros.line()[1].tint, HexRow::Tint::secondary);
    HexRow one;
    one.bytes[15] = 1;
    EXPECT_EQ(one.line()[1].tint, HexRow::Tint::primary);

    // Only 0x20 to 0x7E are shown as themselves.
    HexRow edges;
    edges.bytes = {0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x0A, 0x41};
    const std::string dot = "\u00B7";
    std::string expected = dot + " ~" + dot + dot + dot + dot + dot + "A";
    for (int i = 0; i < 7; ++i) expected += dot;
    EXPECT_EQ(edges.line()[2].text, expected);
    EXPECT_EQ(edges.line()[1].text.substr(0, 27), "1F 20 7E 7F 80 FF 00 0A  41");
}

TEST(SectorView, InputIsAHexByteOffsetOrAGroupedSectorNumber) {
    struct Case {
        const char* input;
        std::optional<uint64_t> offset;
    };
    const Case cases[] = {
        {" 0X1FF ", 0x1FF},
        {"0x200", 0x200},
        {"\t0xffffffffffffffff\t", UINT64_MAX},
        {"1.000", 1000 * 512},
        {"+7", 7 * 512},
        {"36028797018963967", 36028797018963967ULL * 512},  // the largest sector that fits
        {"36028797018963968", std::nullopt},                // times 512 is past 64 bits
        {"0x10000000000000000", std::nullopt},
        {"abc", std::nullopt},
        {"0x", std::nullopt},
        {"0xzz", std::nullopt},
        {"-1", std::nullopt},
        {"12 34", std::nullopt},
        {"", std::nullopt},
        {"...", std::nullopt},
        {"++1", std::nullopt},
        {"1\n", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SectorView::inputOffset(QString::fromUtf8(c.input), 512), c.offset) << '"' << c.input << '"';
}

TEST(SectorView, LastSectorStatusAndSeparatorTexts) {
    EXPECT_EQ(SectorView::lastSector(1048576, 512), 2047u);
    EXPECT_EQ(SectorView::lastSector(1048576 + 100, 512), 2047u);
    EXPECT_EQ(SectorView::lastSector(100, 512), 0u);
    EXPECT_EQ(SectorView::lastSector(0, 4096), 0u);
    EXPECT_EQ(SectorView::statusText(0, 2047, 0), "Sektor 0 af 2.047  \u00B7  0x0");
    EXPECT_EQ(SectorView::statusText(1, 2047, 512), "Sektor 1 af 2.047  \u00B7  0x200");
    EXPECT_EQ(SectorView::separatorText(1234), "\u2014 sektor 1.234 \u2014");
}

TEST(SectorView, ShowsTheBytesTheImageHoldsAndStepsAndJumps) {
    PatternFile file("sector-view-1m.img", 1048576);
    Shown shown(SourceOpener::openImage(file.path));
    SectorView& view = *shown.view;
    shown.show();
    EXPECT_EQ(view.bytes(), file.window(0, 2048));
    EXPECT_EQ(shown.status(), QString::fromUtf8("Sektor 0 af 2.047  \u00B7  0x0"));
    EXPECT_FALSE(view.backButton()->isEnabled());
    EXPECT_TRUE(view.forwardButton()->isEnabled());
    EXPECT_FALSE(view.progressIndicator()->isVisible());

    // The rows say what the bytes are: 128 rows, a separator before each sector after the first.
    QStringList lines = view.rowsText().split(QStringLiteral("\n"));
    ASSERT_EQ(lines.size(), 128 + 3);
    HexRow first;
    first.offset = 0;
    std::copy_n(file.bytes.begin(), 16, first.bytes.begin());
    EXPECT_EQ(lines[0].toStdString(), first.text());
    EXPECT_EQ(lines[32].toStdString(), "\u2014 sektor 1 \u2014");
    HexRow second;
    second.offset = 512;
    std::copy_n(file.bytes.begin() + 512, 16, second.bytes.begin());
    EXPECT_EQ(lines[33].toStdString(), second.text());

    view.forwardButton()->click();
    shown.settle();
    EXPECT_EQ(shown.session->sectorOffset(), 2048u);
    EXPECT_EQ(view.bytes(), file.window(2048, 2048));
    EXPECT_TRUE(view.backButton()->isEnabled());
    view.backButton()->click();
    shown.settle();
    EXPECT_EQ(shown.session->sectorOffset(), 0u);

    // A byte offset inside the sector already shown moves nothing and reads nothing.
    uint64_t reads = view.readsStarted();
    shown.type(QStringLiteral(" 0X1FF "));
    EXPECT_EQ(shown.session->sectorOffset(), 0u);
    EXPECT_EQ(view.readsStarted(), reads);
    EXPECT_FALSE(view.inputError());

    shown.type(QStringLiteral("0x200"));
    EXPECT_EQ(view.sector(), 1u);
    EXPECT_EQ(view.bytes(), file.window(512, 2048));

    shown.type(QStringLiteral("1.000"));
    EXPECT_EQ(view.sector(), 1000u);
    EXPECT_EQ(view.bytes(), file.window(512000, 2048));
    EXPECT_EQ(shown.status(), QString::fromUtf8("Sektor 1.000 af 2.047  \u00B7  0x7D000"));

    // A bad input outlines the field and moves nothing; the next one clears it.
    for (const char* bad : {"abc", "0x", "-1", "12 34", "", "99999999999999999999"}) {
        shown.type(QString::fromUtf8(bad));
        EXPECT_TRUE(view.inputError()) << bad;
        EXPECT_EQ(view.sector(), 1000u) << bad;
        EXPECT_EQ(view.inputField()->text(), QString::fromUtf8(bad));
    }
    shown.type(QStringLiteral("2"));
    EXPECT_FALSE(view.inputError());
    EXPECT_EQ(view.sector(), 2u);

    // Past the end goes to the last sector, from which there is no step forward.
    shown.type(QStringLiteral("5000"));
    EXPECT_EQ(shown.session->sectorOffset(), 0xFFE00u);
    EXPECT_FALSE(view.forwardButton()->isEnabled());
    EXPECT_EQ(view.bytes(), file.window(0xFFE00, 2048));
    // The window of sectors 2044 to 2047 is the last one that steps.
    shown.type(QStringLiteral("2044"));
    EXPECT_FALSE(view.forwardButton()->isEnabled());
    shown.type(QStringLiteral("2043"));
    EXPECT_TRUE(view.forwardButton()->isEnabled());

    // The keyboard steps as the buttons do, also from within the text field.
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.inputField()->setFocus();
    QTest::keyClick(view.inputField(), Qt::Key_Left, Qt::ControlModifier);
    // A button's shortcut clicks it after a short animation.
    EXPECT_TRUE(spinUntil([&] { return view.sector() == 2039; }));
}

TEST(SectorView, JumpMenuOffersStartPartitionsFileSystemsAndLastSector) {
    auto session = Session::make(openFixture("gpt_fat32_ntfs_exfat"), "gpt");
    SectorView view(session);
    // Without a partition table: the start and the last sector.
    auto targets = view.jumpTargets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0], std::make_pair(std::string("Start af disken"), uint64_t(0)));
    EXPECT_EQ(targets[1].first, "Sidste sektor");
    EXPECT_EQ(targets[1].second, session->source->size - 512);

    session->startQuickScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    targets = view.jumpTargets();
    ASSERT_EQ(targets.size(), 1u + 3 + 3 + 1);
    EXPECT_EQ(targets[1], std::make_pair(std::string("Partition 1 (FAT32)"), uint64_t(2048) * 512));
    EXPECT_EQ(targets[2], std::make_pair(std::string("Partition 2 (NTFS)"), uint64_t(73728) * 512));
    EXPECT_EQ(targets[3], std::make_pair(std::string("Partition 3 (exFAT)"), uint64_t(98304) * 512));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(targets[4 + i].first, "Filsystem: " + session->volumes()[i]->title());
        EXPECT_EQ(targets[4 + i].second, session->volumes()[i]->offset);
    }
    // The menu holds the same items, and choosing one jumps there.
    QList<QAction*> actions = view.jumpMenu()->actions();
    ASSERT_EQ(actions.size(), 8);
    EXPECT_EQ(actions[2]->text(), QStringLiteral("Partition 2 (NTFS)"));
    actions[2]->trigger();
    EXPECT_EQ(session->sectorOffset(), uint64_t(73728) * 512);
    actions.back()->trigger();
    EXPECT_EQ(session->sectorOffset(), session->source->size - 512);
}

// A partition whose file system was not recognised is offered by its type's name.
TEST(SectorView, APartitionWithoutAFileSystemIsNamedByItsType) {
    Bytes disk(2 << 20, 0);
    disk[0x1BE + 4] = 0x83;
    putLE(disk, 0x1BE + 8, 2048, 4);
    putLE(disk, 0x1BE + 12, 2048, 4);
    disk[510] = 0x55;
    disk[511] = 0xAA;
    auto session = Session::make(memorySource(disk), "mbr");
    session->startQuickScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->quick()); }));
    ASSERT_TRUE(session->layout());
    ASSERT_TRUE(session->volumes().empty());
    SectorView view(session);
    auto targets = view.jumpTargets();
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets[1], std::make_pair(std::string("Partition 1 (Linux)"), uint64_t(1 << 20)));
    EXPECT_EQ(targets[2], std::make_pair(std::string("Sidste sektor"), uint64_t((2 << 20) - 512)));
}

TEST(SectorView, CarvedFilesAreNoFileSystemToJumpTo) {
    auto session = Session::make(openFixture("carve"), "carve");
    session->startDeepScan();
    ASSERT_TRUE(spinUntil([&] { return !isRunning(session->deep()); }));
    ASSERT_TRUE(std::any_of(session->volumes().begin(), session->volumes().end(),
                            [](const VolumePtr& v) { return v->type == FileSystemType::carved; }));
    SectorView view(session);
    size_t fileSystems = 0;
    for (auto& [text, offset] : view.jumpTargets()) {
        EXPECT_EQ(text.find("Signaturer"), std::string::npos) << text;
        if (text.rfind("Filsystem: ", 0) == 0) ++fileSystems;
    }
    EXPECT_EQ(fileSystems, size_t(std::count_if(session->volumes().begin(), session->volumes().end(),
                                                [](const VolumePtr& v) { return v->type != FileSystemType::carved; })));
}

TEST(SectorView, AnOlderReadThatFinishesLastDoesNotReplaceTheNewerWindow) {
    PatternFile file("sector-view-order.img", 65536);
    Shown shown(SourceOpener::openImage(file.path));
    SectorView& view = *shown.view;
    std::vector<std::function<void()>> held;
    view.setReadRunner([&](std::function<void()> read) { held.push_back(std::move(read)); });
    view.show();
    ASSERT_EQ(held.size(), 1u);
    held[0]();
    shown.settle();

    view.jump(4096);
    view.jump(8192);
    ASSERT_EQ(held.size(), 3u);
    // The newer read finishes first and is shown; the older one comes after it.
    held[2]();
    drainEvents();
    EXPECT_EQ(view.bytes(), file.window(8192, 2048));
    EXPECT_FALSE(view.loading());
    held[1]();
    drainEvents();
    EXPECT_EQ(view.bytesOffset(), 8192u);
    EXPECT_EQ(view.bytes(), file.window(8192, 2048));
    EXPECT_TRUE(view.rowsText().startsWith(QStringLiteral("000000002000  ")));

    // While the newest read runs, an older one that lands keeps it loading.
    view.jump(0);
    view.jump(512);
    held[3]();
    drainEvents();
    EXPECT_TRUE(view.loading());
    EXPECT_EQ(view.bytesOffset(), 8192u);
    held[4]();
    drainEvents();
    EXPECT_FALSE(view.loading());
    EXPECT_EQ(view.bytes(), file.window(512, 2048));
}

TEST(SectorView, AFastSequenceOfJumpsEndsShowingTheLastOne) {
    PatternFile file("sector-view-fast.img", 4 << 20);
    Shown shown(SourceOpener::openImage(file.path));
    SectorView& view = *shown.view;
    shown.show();
    std::mt19937 random(7);
    uint64_t last = 0;
    for (int i = 0; i < 200; ++i) {
        last = (random() % 8192) * 512;
        view.jump(last);
        if (i % 7 == 0) QCoreApplication::processEvents();
    }
    shown.settle();
    EXPECT_EQ(view.bytesOffset(), last);
    EXPECT_EQ(view.bytes(), file.window(last, 2048));
}

TEST(SectorView, FourKSectorsMakeWindowsOf1024Rows) {
    PatternFile file("sector-view-4k.img", 1 << 20);
    Shown shown(sourceWithSectorSize(file.path, 4096));
    shown.show();
    EXPECT_EQ(shown.view->bytes(), file.window(0, 16384));
    QStringList lines = shown.view->rowsText().split(QStringLiteral("\n"));
    ASSERT_EQ(lines.size(), 1024 + 3);
    EXPECT_EQ(lines[256], QString::fromUtf8("\u2014 sektor 1 \u2014"));
    EXPECT_EQ(lines[257 + 256], QString::fromUtf8("\u2014 sektor 2 \u2014"));
    shown.type(QStringLiteral("3"));
    EXPECT_EQ(shown.session->sectorOffset(), 3u * 4096);
    EXPECT_EQ(shown.view->lastSector(), 255u);
}

TEST(SectorView, ASourceSmallerThanOneSectorIsOneWindowPaddedWithZeros) {
    PatternFile file("sector-view-tiny.img", 100);
    Shown shown(SourceOpener::openImage(file.path));
    shown.show();
    EXPECT_EQ(shown.view->lastSector(), 0u);
    EXPECT_FALSE(shown.view->backButton()->isEnabled());
    EXPECT_FALSE(shown.view->forwardButton()->isEnabled());
    EXPECT_EQ(shown.view->bytes(), file.window(0, 2048));
    shown.type(QStringLiteral("1"));
    EXPECT_EQ(shown.session->sectorOffset(), 0u);
}

TEST(SectorView, UnreadableSectorsShowAsZerosWithoutHanging) {
    PatternFile file("sector-view-bad.img", 1 << 20);
    // Sector 2 does not read; further on the device has gone away.
    SourceOptions options;
    options.simulatedBadRanges = {{1024, 1536, EIO}, {65536, 1 << 20, ENODEV}};
    Shown shown(SourceOpener::openImage(file.path, options));
    SectorView& view = *shown.view;
    shown.show();
    Bytes expected = file.window(0, 2048);
    std::fill(expected.begin() + 1024, expected.begin() + 1536, 0);
    EXPECT_EQ(view.bytes(), expected);
    EXPECT_TRUE(shown.session->source->isKnownBad(2));
    // Those rows are all zeros, their bytes in the secondary colour; the view adds no mark of its own.
    QStringList lines = view.rowsText().split(QStringLiteral("\n"));
    EXPECT_EQ(lines[65], QString::fromUtf8("\u2014 sektor 2 \u2014"));
    EXPECT_TRUE(lines[66].startsWith(QStringLiteral("000000000400  00 00 00 00")));

    shown.type(QStringLiteral("0x20000"));
    EXPECT_EQ(view.bytes(), Bytes(2048, 0));
    EXPECT_EQ(shown.status(), QString::fromUtf8("Sektor 256 af 2.047  \u00B7  0x20000"));
}

TEST(SectorView, AClosedSourceReadsAsZeros) {
    PatternFile file("sector-view-closed.img", 65536);
    Shown shown(SourceOpener::openImage(file.path));
    shown.show();
    shown.session->source->close();
    shown.view->jump(4096);
    shown.settle();
    EXPECT_EQ(shown.view->bytes(), Bytes(2048, 0));
}

TEST(SectorView, AnOffsetSetByAnotherPageIsReadWhereItStands) {
    PatternFile file("sector-view-other.img", 65536);
    Shown shown(SourceOpener::openImage(file.path));
    shown.show();
    shown.session->setSectorOffset(1000);
    shown.settle();
    EXPECT_EQ(shown.view->bytesOffset(), 1000u);
    EXPECT_EQ(shown.view->bytes(), file.window(1000, 2048));
    EXPECT_EQ(shown.status(), QString::fromUtf8("Sektor 1 af 127  \u00B7  0x3E8"));
}


TEST(SectorView, ShownAgainItStartsAfreshAndReadsWhereTheSessionStands) {
    PatternFile file("sector-view-again.img", 65536);
    Shown shown(SourceOpener::openImage(file.path));
    SectorView& view = *shown.view;
    shown.show();
    shown.type(QStringLiteral("abc"));
    ASSERT_TRUE(view.inputError());
    view.hide();
    EXPECT_TRUE(view.bytes().empty());
    EXPECT_TRUE(view.rowsText().isEmpty());
    EXPECT_TRUE(view.inputField()->text().isEmpty());
    EXPECT_FALSE(view.inputError());
    // Hidden, it reads nothing; the browser moves the offset and shows the tab.
    uint64_t reads = view.readsStarted();
    shown.session->setSectorOffset(8192);
    EXPECT_EQ(view.readsStarted(), reads);
    shown.show();
    EXPECT_EQ(view.bytesOffset(), 8192u);
    EXPECT_EQ(view.bytes(), file.window(8192, 2048));
}

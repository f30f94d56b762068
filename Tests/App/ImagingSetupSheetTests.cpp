#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "AppTestSupport.h"
#include "LoopDisk.h"
#include "SovantaApp/Components.h"
#include "SovantaApp/Models/Destination.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Sheets/ImagingSetupSheet.h"
#include "SovantaApp/Sheets/SheetFrame.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

QString pathShown(const ImagingSetupSheet& sheet) {
    return static_cast<PathLabel*>(sheet.destinationLabel())->fullText();
}

constexpr uint64_t size = 1'000'000'000;

}  // namespace

TEST(ImagingSetupSheet, ProposesTheTitleWithTheTime) {
    QDateTime at(QDate(2024, 5, 1), QTime(14, 7, 59));
    for (auto [title, name] : {std::pair{"disk4", "disk4 2024-05-01 14.07.img"},
                               {"WD My Passport", "WD My Passport 2024-05-01 14.07.img"}})
        EXPECT_EQ(ImagingSetupSheet::proposedName(title, at), name);
    EXPECT_EQ(ImagingSetupSheet::mapFile("/a/disk4 2024-05-01 14.07.img"), "/a/disk4 2024-05-01 14.07.img.map");
}

// The panel asked with the title and the proposal; the options as chosen
// handed to the opener, and the sheet closed.
TEST(ImagingSetupSheet, ChoosesAFileAndStartsWithTheOptions) {
    TempDir dir;
    std::optional<std::string> answer = dir.file("kopi.img");
    Panels::SaveFile asked;
    Replaced<Panels::SaveFileFunction> panel(Panels::saveFile, [&](const Panels::SaveFile& request) {
        asked = request;
        return answer;
    });
    std::vector<std::pair<fs::path, ImagingOptions>> started;
    ImagingSetupSheet sheet("disk4", size, std::nullopt,
                            [&](fs::path image, ImagingOptions options) { started.emplace_back(image, options); },
                            nullptr);
    sheet.open();
    EXPECT_EQ(sheet.headingLabel()->text().toStdString(), "disk4 · " + formatBytes(size));
    EXPECT_EQ(pathShown(sheet), "Ingen placering valgt");
    EXPECT_FALSE(sheet.startButton()->isEnabled());
    EXPECT_EQ(sheet.retries(), 1);
    EXPECT_EQ(sheet.chunkKB(), 1024);
    QStringList choices;
    for (int i = 0; i < sheet.blockSizeBox()->count(); ++i) choices << sheet.blockSizeBox()->itemText(i);
    EXPECT_EQ(choices, (QStringList{"256 KB", "1 MB (anbefalet)", "4 MB"}));

    sheet.chooseButton()->click();
    EXPECT_EQ(asked.title, "Gem diskbillede");
    EXPECT_TRUE(asked.proposedName.starts_with("disk4 2"));
    EXPECT_TRUE(asked.proposedName.ends_with(".img"));
    EXPECT_EQ(pathShown(sheet), QString::fromStdString(dir.file("kopi.img")));
    EXPECT_TRUE(sheet.startButton()->isEnabled());

    // The stepper stops at its ends.
    sheet.retriesBox()->setValue(9);
    EXPECT_EQ(sheet.retries(), 5);
    sheet.retriesBox()->setValue(-3);
    EXPECT_EQ(sheet.retries(), 0);
    sheet.blockSizeBox()->setCurrentIndex(0);
    sheet.startButton()->click();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].first, dir.file("kopi.img"));
    EXPECT_EQ(started[0].second.retries, 0);
    EXPECT_EQ(started[0].second.chunkSize, 262144);
    EXPECT_EQ(started[0].second.maxSkip, 268435456u);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(sheet.isVisible());
}

// A mapfile beside the chosen name means an earlier copy, even without the
// image; the free space warns below the disk's size; a cancelled panel keeps
// everything as it was, and a new choice checks anew.
TEST(ImagingSetupSheet, NoticesAnEarlierCopyAndLittleSpace) {
    TempDir dir;
    writeFile(dir.path() / "old.img.map", std::string("# Mapfile\n"));
    std::optional<int64_t> free = int64_t(size) - 1;
    Replaced<Destination::FreeSpaceFunction> space(Destination::freeSpace, [&](const fs::path& folder) {
        EXPECT_EQ(folder, dir.path());
        return free;
    });
    std::optional<std::string> answer = dir.file("old.img");
    Replaced<Panels::SaveFileFunction> panel(Panels::saveFile, [&](const Panels::SaveFile&) { return answer; });
    ImagingSetupSheet sheet("disk4", size, std::nullopt, nullptr, nullptr);

    sheet.chooseButton()->click();
    EXPECT_TRUE(sheet.resuming());
    EXPECT_TRUE(sheet.resumeCallout()->isVisibleTo(&sheet));
    EXPECT_EQ(sheet.resumeCallout()->titleLabel()->text(), "Tidligere kopiering fundet");
    ASSERT_TRUE(sheet.notices()->hasWarning());
    EXPECT_EQ(*sheet.notices()->warning(),
              "Der er kun " + formatBytes(size - 1) + " ledig plads, men disken er " + formatBytes(size) +
                  ". Tomme områder fylder normalt ikke, men kopieringen kan stoppe, hvis pladsen slipper op.");
    EXPECT_TRUE(sheet.startButton()->isEnabled());

    answer.reset();
    sheet.chooseButton()->click();
    EXPECT_TRUE(sheet.resuming());
    EXPECT_TRUE(sheet.notices()->hasWarning());

    answer = dir.file("new.img");
    free = int64_t(size);
    sheet.chooseButton()->click();
    EXPECT_FALSE(sheet.resuming());
    EXPECT_FALSE(sheet.resumeCallout()->isVisibleTo(&sheet));
    EXPECT_FALSE(sheet.notices()->hasWarning());
    free.reset();
    sheet.chooseButton()->click();
    EXPECT_FALSE(sheet.notices()->hasWarning());
}

// The opened source's own file is never a place for its image.
TEST(ImagingSetupSheet, RefusesTheSourcesOwnFile) {
    TempDir dir;
    fs::copy_file(fixtureImage("fat12"), dir.path() / "fat12.img");
    auto source = SourceOpener::openImage(dir.file("fat12.img"));
    ASSERT_TRUE(source);
    Replaced<Destination::FreeSpaceFunction> space(Destination::freeSpace,
                                                   [&](const fs::path&) { return std::optional<int64_t>(0); });
    ImagingSetupSheet sheet("fat12", source->size, std::nullopt, nullptr, nullptr, source);
    sheet.validate(dir.path() / "fat12.img");
    EXPECT_TRUE(sheet.notices()->hasProblem());
    EXPECT_FALSE(sheet.notices()->hasWarning());
    EXPECT_FALSE(sheet.startButton()->isEnabled());
    sheet.validate(dir.path() / "kopi.img");
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.startButton()->isEnabled());
}

// A disk named by the opener: a file on it is refused (with the earlier
// copy still noticed, and no word of space); a file whose disk cannot be told
// must be confirmed; without a disk nothing is refused.
TEST(ImagingSetupSheet, RefusesTheCopiedDiskAndAsksWhenItCannotTell) {
    if (!isRoot()) GTEST_SKIP() << "needs root for loop devices";
    ScratchDisks disks;
    ASSERT_TRUE(disks.ready());
    const ScratchDisk &copied = disks.disk, &lost = disks.lost;
    writeFile(copied.mountPoint() / "b.img.map", std::string("# Mapfile\n"));
    Replaced<Destination::FreeSpaceFunction> space(Destination::freeSpace,
                                                   [&](const fs::path&) { return std::optional<int64_t>(0); });
    ImagingSetupSheet sheet(copied.name(), size, copied.name(), nullptr, nullptr);

    sheet.validate(copied.mountPoint() / "b.img");
    EXPECT_TRUE(sheet.resuming());
    ASSERT_TRUE(sheet.notices()->hasProblem());
    EXPECT_EQ(*sheet.notices()->problem(), "Billedet kan ikke gemmes på den disk, der kopieres fra.");
    EXPECT_EQ(sheet.notices()->problemCallout()->titleLabel()->text(), "Kan ikke bruges");
    EXPECT_FALSE(sheet.notices()->hasWarning());
    EXPECT_FALSE(sheet.startButton()->isEnabled());

    sheet.validate(lost.mountPoint() / "b.img");
    EXPECT_FALSE(sheet.resuming());
    EXPECT_FALSE(sheet.notices()->hasProblem());
    EXPECT_TRUE(sheet.notices()->hasDoubt());
    EXPECT_TRUE(sheet.notices()->hasWarning());
    EXPECT_FALSE(sheet.startButton()->isEnabled());
    sheet.notices()->confirmBox()->click();
    EXPECT_TRUE(sheet.startButton()->isEnabled());

    ImagingSetupSheet unnamed("x", size, std::nullopt, nullptr, nullptr);
    unnamed.validate(copied.mountPoint() / "b.img");
    EXPECT_FALSE(unnamed.notices()->hasProblem());
    EXPECT_FALSE(unnamed.notices()->hasDoubt());
}

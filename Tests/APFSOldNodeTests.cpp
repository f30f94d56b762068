// Deleted APFS files rebuilt from old copy-on-write leaf nodes: the fixture
// containers fed the leaves the deep sweep would find, and built nodes for
// the rules no real image shows.
#include <gtest/gtest.h>

#include "APFSTestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

const char* const folderName = "$Slettede filer (gamle træknuder)";
const char* const oldNodeNote = "Fundet i en gammel træknude – blokkene kan være genbrugt";
const char* const compressedNote = "APFS-komprimeret fil – indholdet kan ikke gendannes direkte";

std::map<std::string, FileNodePtr> onlyFolder(const std::vector<std::pair<VolumePtr, FileNodePtr>>& pairs,
                                              const VolumePtr& volume) {
    EXPECT_EQ(pairs.size(), 1u);
    if (pairs.size() != 1) return {};
    EXPECT_EQ(pairs[0].first, volume);
    const auto& top = *pairs[0].second;
    EXPECT_EQ(top.name, folderName);
    EXPECT_TRUE(top.isDirectory);
    EXPECT_EQ(top.status, EntryStatus::deleted);
    EXPECT_EQ(top.recoverability, Recoverability::unknown);
    EXPECT_EQ(top.fsID, 0u);
    EXPECT_FALSE(top.parent());
    return nodesByPath(pairs[0].second);
}

// A built container whose live tree holds Docs (16) with a.txt (17), and old
// leaves from block 10 on.
struct OldNodeImage {
    MiniAPFS mini;
    uint64_t next = 10;
    std::vector<uint64_t> offsets;

    OldNodeImage() {
        mini.setTree({dirRecord(2, "Docs", 16, 4), inodeRecord(16, 2, 16, 0), dirRecord(16, "a.txt", 17, 8),
                      inodeRecord(17, 16, 17, 100), extentRecord(17, 0, 4096, 50)});
    }
    uint64_t addLeaf(const std::vector<Record>& records, uint64_t xid) {
        mini.blocks[next] = makeNode(records, 2, 0, xid);
        offsets.push_back(next * MiniAPFS::bs);
        return next++ * MiniAPFS::bs;
    }
};

}  // namespace

// MARK: Fixture containers

TEST(APFSOldNodes, SingleVolumeContainerGivesBackTheDeletedFolder) {
    auto src = SourceOpener::openImage(fixtureImage("apfs_single"));
    auto volumes = APFSParser::parse(*src, 0, origin::deepScan);
    ASSERT_EQ(volumes.size(), 1u);
    auto leaves = leafOffsets(*src);
    auto tree = onlyFolder(APFSParser::deletedFromOldNodes(volumes, leaves, *src), volumes[0]);

    // Of the deleted files, those of the removed folder still have directory
    // entries in old leaves. The other three survive only as stale bytes in
    // the free space of nodes, outside any record, and are not rebuilt.
    std::vector<std::string> paths;
    for (const auto& [path, node] : tree) paths.push_back(path);
    EXPECT_EQ(paths, (std::vector<std::string>{"Papirkurv/", "Papirkurv/Gamle projekter/",
                                               "Papirkurv/Gamle projekter/projekt Ø.txt",
                                               "Papirkurv/Gamle projekter/skitse.svg"}));
    for (const char* folder : {"Papirkurv/", "Papirkurv/Gamle projekter/"}) {
        EXPECT_EQ(tree.at(folder)->status, EntryStatus::deleted);
        EXPECT_EQ(tree.at(folder)->recoverability, Recoverability::unknown);
    }
    for (const auto& row : readManifest("apfs_single")) {
        if (row.status != "deleted" || row.path.back() == '/' || !tree.count(row.path)) continue;
        SCOPED_TRACE(row.path);
        const auto& file = *tree.at(row.path);
        EXPECT_EQ(file.size, std::stoull(row.size));
        EXPECT_EQ(file.status, EntryStatus::deleted);
        EXPECT_EQ(file.recoverability, Recoverability::unknown);
        EXPECT_EQ(file.note, oldNodeNote);
        ASSERT_TRUE(file.modified);
        EXPECT_EQ(isoUTC(*file.modified), row.mtime);
        // Their blocks were not reused: the bytes are the originals.
        EXPECT_EQ(contentHash(*src, file), row.sha256);
    }

    // The newest copy of each record wins whatever order the nodes come in.
    std::vector<uint64_t> reversed(leaves.rbegin(), leaves.rend());
    auto again = onlyFolder(APFSParser::deletedFromOldNodes(volumes, reversed, *src), volumes[0]);
    ASSERT_EQ(again.size(), tree.size());
    for (const auto& [path, node] : tree) {
        ASSERT_TRUE(again.count(path));
        EXPECT_EQ(again.at(path)->data, node->data);
    }
}

TEST(APFSOldNodes, NothingComesBackForLiveFilesOrEntriesOnlyInFreeSpace) {
    // In the GPT container the file unlinked while open still has its inode
    // (the private folder holds it), and the deleted file's entry is left
    // only in the free space of a node.
    auto src = SourceOpener::openImage(fixtureImage("apfs_gpt"));
    auto volumes = APFSParser::parse(*src, 1048576, origin::deepScan);
    ASSERT_EQ(volumes.size(), 1u);
    auto leaves = leafOffsets(*src);
    ASSERT_FALSE(leaves.empty());
    EXPECT_TRUE(APFSParser::deletedFromOldNodes(volumes, leaves, *src).empty());

    // Without deep information, or without offsets inside the container, nothing is read.
    auto bare = Volume::make(FileSystemType::apfs, "x", 1048576, 0, FileNode::make("", true), origin::deepScan);
    EXPECT_TRUE(APFSParser::deletedFromOldNodes({bare}, leaves, *src).empty());
    EXPECT_TRUE(APFSParser::deletedFromOldNodes(volumes, {0, 4096, 1048576 + 100}, *src).empty());
}

// MARK: Built nodes

TEST(APFSOldNodes, RatingsPlacesAndNewestCopies) {
    OldNodeImage image;
    image.addLeaf(
        {inodeRecord(20, 16, 20, 5000), extentRecord(20, 0, 8192, 40), dirRecord(16, "x.txt", 20, 8),
         dirRecord(16, "a.txt", 17, 8), inodeRecord(17, 16, 17, 100),                  // still alive
         dirRecord(16, "empty", 21, 8), inodeRecord(21, 16, 21, 0), extentRecord(21, 0, 4096, 45),
         dirRecord(16, "no extents", 22, 8), inodeRecord(22, 16, 22, 10),
         dirRecord(16, "packed", 23, 8), inodeRecord(23, 16, 23, 100, 0x20), extentRecord(23, 0, 4096, 41)},
        7);
    uint64_t newerOffset = image.addLeaf({inodeRecord(20, 16, 20, 4096, 0, 1700000000000000000ULL)}, 9);
    image.addLeaf({dirRecord(16, "late start", 24, 8), inodeRecord(24, 16, 24, 8192), extentRecord(24, 4096, 4096, 42),
                   dirRecord(16, "short", 25, 8), inodeRecord(25, 16, 25, 8192), extentRecord(25, 0, 4096, 43),
                   dirRecord(16, "zero block", 26, 8), inodeRecord(26, 16, 26, 4096), extentRecord(26, 0, 4096, 0)},
                  7);
    auto src = memorySource(image.mini.image());
    auto volumes = APFSParser::parse(*src, 0, origin::deepScan);
    ASSERT_EQ(volumes.size(), 1u);

    const uint64_t B = 4096;
    using E = std::vector<Extent>;
    for (bool newerFirst : {false, true}) {
        SCOPED_TRACE(newerFirst);
        auto offsets = image.offsets;
        if (newerFirst) std::swap(offsets[0], offsets[1]);
        ASSERT_EQ(offsets[newerFirst ? 0 : 1], newerOffset);
        auto tree = onlyFolder(APFSParser::deletedFromOldNodes(volumes, offsets, *src), volumes[0]);
        std::vector<std::string> paths;
        for (const auto& [path, node] : tree) paths.push_back(path);
        EXPECT_EQ(paths, (std::vector<std::string>{"Docs/", "Docs/late start", "Docs/packed", "Docs/short",
                                                   "Docs/x.txt", "Docs/zero block"}));
        struct Want {
            const char* path;
            uint64_t size;
            FileData data;
            Recoverability rating;
            const char* note;
        };
        for (const Want& w : std::vector<Want>{
                 {"Docs/x.txt", 4096, E{{40 * B, 4096}}, Recoverability::unknown, oldNodeNote},
                 {"Docs/packed", 100, E{{41 * B, 100}}, Recoverability::poor, compressedNote},
                 // A gap or an uncovered end is unknown: the extents stop there.
                 {"Docs/late start", 8192, E{}, Recoverability::poor, oldNodeNote},
                 {"Docs/short", 8192, E{{43 * B, 4096}}, Recoverability::poor, oldNodeNote},
                 {"Docs/zero block", 4096, E{{std::nullopt, 4096}}, Recoverability::unknown, oldNodeNote},
             }) {
            SCOPED_TRACE(w.path);
            const auto& file = *tree.at(w.path);
            EXPECT_EQ(file.size, w.size);
            EXPECT_EQ(file.data, w.data);
            EXPECT_EQ(file.recoverability, w.rating);
            EXPECT_EQ(file.note, w.note);
            EXPECT_EQ(file.status, EntryStatus::deleted);
        }
        // The newer inode copy also gives the dates.
        ASSERT_TRUE(tree.at("Docs/x.txt")->modified);
        EXPECT_EQ(isoUTC(*tree.at("Docs/x.txt")->modified), "2023-11-14T22:13:20Z");
        EXPECT_EQ(tree.at("Docs/x.txt")->fsID, 20u);
    }
}

TEST(APFSOldNodes, FolderPathsFromLiveFoldersOldEntriesAndUnknownIds) {
    OldNodeImage image;
    image.addLeaf({dirRecord(16, "Gammel", 90, 4), dirRecord(90, "y.txt", 26, 8), inodeRecord(26, 90, 26, 10),
                   extentRecord(26, 0, 4096, 44), dirRecord(77, "z.txt", 27, 8), inodeRecord(27, 77, 27, 10),
                   extentRecord(27, 0, 4096, 45),
                   // Two old folders holding each other: the trail ends after 256 names.
                   dirRecord(92, "loopA", 91, 4), dirRecord(91, "loopB", 92, 4), dirRecord(91, "w.txt", 28, 8),
                   inodeRecord(28, 91, 28, 10), extentRecord(28, 0, 4096, 46)},
                  5);
    // Many deleted files under one old folder deep in the trail share one folder node.
    for (uint64_t leaf = 0; leaf < 4; ++leaf) {
        std::vector<Record> many;
        for (uint64_t i = leaf * 10; i < leaf * 10 + 10; ++i) {
            many.push_back(dirRecord(92, "f" + std::to_string(i), 1000 + i, 8));
            many.push_back(inodeRecord(1000 + i, 92, 1000 + i, 1));
            many.push_back(extentRecord(1000 + i, 0, 4096, 47));
        }
        image.addLeaf(many, 5);
    }
    auto src = memorySource(image.mini.image());
    auto volumes = APFSParser::parse(*src, 0, origin::deepScan);
    ASSERT_EQ(volumes.size(), 1u);
    auto tree = onlyFolder(APFSParser::deletedFromOldNodes(volumes, image.offsets, *src), volumes[0]);
    EXPECT_TRUE(tree.count("Docs/Gammel/y.txt"));
    EXPECT_TRUE(tree.count("mappe-77/z.txt"));

    std::string loop;
    for (int i = 0; i < 256; ++i) loop += i % 2 == 0 ? "loopB/" : "loopA/";
    EXPECT_TRUE(tree.count(loop + "w.txt"));
    // The files held by folder 92 start their trail one step further up.
    std::string other;
    for (int i = 0; i < 256; ++i) other += i % 2 == 0 ? "loopA/" : "loopB/";
    size_t underOther = 0;
    for (const auto& [path, node] : tree)
        if (path.rfind(other, 0) == 0 && !node->isDirectory && path.find('/', other.size()) == std::string::npos)
            ++underOther;
    EXPECT_EQ(underOther, 40u);
    EXPECT_EQ(tree.at("Docs/Gammel/")->status, EntryStatus::deleted);
    EXPECT_EQ(tree.at("mappe-77/")->status, EntryStatus::deleted);
}

TEST(APFSOldNodes, DeepLiveFoldersEachHoldingDeletedFiles) {
    // 300 nested live folders, each holding one deleted file: every file lands
    // in the mirror of its own folder, and the mirrors share their ancestors.
    constexpr uint64_t depth = 300;
    MiniAPFS mini(128);
    std::vector<uint64_t> offsets;
    for (uint64_t leaf = 0; leaf < depth / 10; ++leaf) {
        std::vector<Record> records;
        for (uint64_t i = leaf * 10; i < leaf * 10 + 10; ++i) {
            records.push_back(dirRecord(1000 + i, "f" + std::to_string(i), 5000 + i, 8));
            records.push_back(inodeRecord(5000 + i, 1000 + i, 5000 + i, 1));
            records.push_back(extentRecord(5000 + i, 0, 4096, 100));
        }
        mini.blocks[10 + leaf] = makeNode(records, 2, 0, 5);
        offsets.push_back((10 + leaf) * 4096);
    }
    auto src = memorySource(mini.image());
    auto root = FileNode::make("", true);
    std::unordered_map<uint64_t, FileNodePtr> dirs{{2, root}};
    auto folder = root;
    for (uint64_t i = 0; i < depth; ++i) {
        auto next = FileNode::make("d" + std::to_string(i), true);
        folder->add(next);
        dirs[1000 + i] = folder = next;
    }
    auto volume = Volume::make(FileSystemType::apfs, "Data", 0, 128 * 4096, root, origin::deepScan);
    volume->deepContext = std::make_shared<APFSDeepInfo>(0, 4096, 128, std::unordered_set<uint64_t>{}, dirs);
    auto tree = onlyFolder(APFSParser::deletedFromOldNodes({volume}, offsets, *src), volume);
    std::string path;
    for (uint64_t i = 0; i < depth; ++i) {
        path += "d" + std::to_string(i) + "/";
        ASSERT_TRUE(tree.count(path + "f" + std::to_string(i))) << i;
    }
    EXPECT_EQ(tree.size(), 2 * depth);
}

TEST(APFSOldNodes, TargetVolumeByHoldingFolderElseNotPrebootOrVM) {
    OldNodeImage image;
    image.addLeaf({dirRecord(500, "held.txt", 30, 8), inodeRecord(30, 500, 30, 10), extentRecord(30, 0, 4096, 44),
                   dirRecord(600, "stray.txt", 31, 8), inodeRecord(31, 600, 31, 10), extentRecord(31, 0, 4096, 45)},
                  5);
    auto src = memorySource(image.mini.image());
    auto make = [](const std::string& label, std::unordered_map<uint64_t, FileNodePtr> dirs) {
        auto root = FileNode::make("", true);
        dirs[2] = root;
        auto volume = Volume::make(FileSystemType::apfs, label, 0, 64 * 4096, root, origin::deepScan);
        volume->deepContext = std::make_shared<APFSDeepInfo>(0, 4096, 64, std::unordered_set<uint64_t>{}, dirs);
        return volume;
    };
    auto holder = FileNode::make("Hold/er", true);  // a name with "/" gives two levels
    auto preboot = make("Preboot", {});
    auto vm = make("VM", {{500, holder}});
    auto data = make("Data", {});
    auto pairs = APFSParser::deletedFromOldNodes({preboot, vm, data}, image.offsets, *src);
    ASSERT_EQ(pairs.size(), 2u);
    std::map<std::string, std::vector<std::string>> byVolume;
    for (const auto& [volume, folder] : pairs)
        for (const auto& [path, node] : nodesByPath(folder)) byVolume[volume->label].push_back(path);
    EXPECT_EQ(byVolume["VM"], (std::vector<std::string>{"Hold/", "Hold/er/", "Hold/er/held.txt"}));
    EXPECT_EQ(byVolume["Data"], (std::vector<std::string>{"mappe-600/", "mappe-600/stray.txt"}));

    // With only Preboot and VM to choose from, the first volume takes it.
    auto onlyTwo = APFSParser::deletedFromOldNodes({preboot, make("VM", {})}, image.offsets, *src);
    ASSERT_EQ(onlyTwo.size(), 1u);
    EXPECT_EQ(onlyTwo[0].first, preboot);

    // A block count of 0 leaves no offset inside the container.
    auto empty = make("Data", {});
    empty->deepContext = std::make_shared<APFSDeepInfo>(0, 4096, 0, std::unordered_set<uint64_t>{},
                                                        std::unordered_map<uint64_t, FileNodePtr>{});
    EXPECT_TRUE(APFSParser::deletedFromOldNodes({empty}, image.offsets, *src).empty());
}

TEST(APFSOldNodes, ProgressEvery500NodesAndCancellation) {
    OldNodeImage image;
    uint64_t leaf = image.addLeaf({dirRecord(16, "x.txt", 20, 8), inodeRecord(20, 16, 20, 10),
                                   extentRecord(20, 0, 4096, 40)},
                                  5);
    auto src = memorySource(image.mini.image());
    auto volumes = APFSParser::parse(*src, 0, origin::deepScan);
    std::vector<uint64_t> offsets(1001, leaf);
    offsets.push_back(leaf + 100);         // not on a block boundary
    offsets.push_back(64 * 4096);          // past the container

    std::vector<std::pair<double, std::string>> reports;
    WorkProgress progress([&](double f, const std::string& m) { reports.emplace_back(f, m); });
    EXPECT_EQ(APFSParser::deletedFromOldNodes(volumes, offsets, *src, &progress).size(), 1u);
    const std::string text = "Undersøger gamle APFS-træknuder …";
    EXPECT_EQ(reports, (std::vector<std::pair<double, std::string>>{
                           {0.0, text}, {500.0 / 1001.0, text}, {1000.0 / 1001.0, text}}));

    WorkProgress cancelled;
    cancelled.cancel();
    EXPECT_TRUE(APFSParser::deletedFromOldNodes(volumes, offsets, *src, &cancelled).empty());
}

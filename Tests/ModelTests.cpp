#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <thread>

#include "SovantaCore/Model.h"
#include "TestSupport.h"

using namespace sovanta;

TEST(FileNode, PathsAndIdentity) {
    auto root = FileNode::make("", true);
    auto a = FileNode::make("A", true);
    auto b = FileNode::make("B", false, 5);
    root->add(a);
    a->add(b);
    EXPECT_EQ(root->path(), "/");
    EXPECT_EQ(a->path(), "/A");
    EXPECT_EQ(b->path(), "/A/B");
    EXPECT_EQ(FileNode::make("x", false)->path(), "/");
    auto twin = FileNode::make("B", false, 5);
    std::set<int64_t> ids = {b->id, twin->id};
    EXPECT_EQ(ids.size(), 2u);
}

TEST(FileNode, SortOrderPutsFoldersFirstAndDigitsByValue) {
    auto root = FileNode::make("", true);
    for (auto [name, dir] : std::vector<std::pair<const char*, bool>>{
             {"file10", false}, {"alpha", false}, {"Zeta", true}, {"file2", false}, {"Beta", false}})
        root->add(FileNode::make(name, dir));
    root->sortChildren();
    std::vector<std::string> names;
    for (auto& c : root->children()) names.push_back(c->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "Beta", "file2", "file10"}));
}

// Sorting follows the collation order, also where it differs from the order
// of the bytes: in Danish, æ, ø and å follow z in that order (å is the
// smallest in UTF-8), case is ignored, digit runs count by value, and names
// that collate equal keep the order they were added in.
TEST(FileNode, SortFollowsTheCollationOrder) {
    const std::vector<std::pair<std::string, bool>> entries = {
        {"ål", false},  {"Zebra", false}, {"arkiv", true},  {"æble", false}, {"file10", false},
        {"øl", false},  {"file2", false}, {"Ørken", true},  {"alpha", false}, {"Alpha", false},
        {"Øl", false}};
    const std::vector<std::string> danish = {"arkiv", "Ørken", "alpha", "Alpha", "file2", "file10",
                                             "Zebra", "æble",  "øl",    "Øl",    "ål"};
    const std::vector<std::string> danishReversed = {"arkiv", "Ørken", "Alpha", "alpha", "file2", "file10",
                                                     "Zebra", "æble",  "Øl",    "øl",    "ål"};
    auto names = [](const FileNodePtr& folder) {
        std::vector<std::string> list;
        for (auto& child : folder->children()) list.push_back(child->name);
        return list;
    };

    // The collator follows the default locale of the thread that first sorts.
    test::ScopedLocale danishLocale("da_DK");
    std::thread danishThread([&] {
        for (bool reversed : {false, true}) {
            auto order = entries;
            if (reversed) std::reverse(order.begin(), order.end());
            auto sorted = FileNode::make("", true);
            for (auto& [name, isDirectory] : order) sorted->add(FileNode::make(name, isDirectory));
            sorted->sortChildren();
            EXPECT_EQ(names(sorted), reversed ? danishReversed : danish);
        }
    });
    danishThread.join();
}

TEST(FileNode, DeepChainNeitherSortNorDestructionRecurses) {
    auto root = FileNode::make("", true);
    auto node = root;
    for (int i = 0; i < 1000000; ++i) {
        auto next = FileNode::make("d", true);
        node->add(next);
        node = next;
    }
    node.reset();
    root->sortChildren();
    EXPECT_EQ(root->totals().folders, 1000000);
    root.reset();  // must not overflow the stack
}

TEST(FileNode, TotalsAndCategories) {
    auto root = FileNode::make("", true);
    auto folder = FileNode::make("billeder.jpg", true, 999);
    root->add(folder);
    folder->add(FileNode::make("a.JPG", false, 10));
    folder->add(FileNode::make("b.tar.gz", false, 20, EntryStatus::carved));
    root->add(FileNode::make("c", false, 1, EntryStatus::orphaned));
    auto t = root->totals();
    EXPECT_EQ(t.files, 3);
    EXPECT_EQ(t.folders, 1);
    EXPECT_EQ(t.bytes, 31u);
    EXPECT_EQ(t.deleted, 2);
    EXPECT_EQ(folder->category(), FileCategory::other);
    EXPECT_EQ(folder->fileExtension(), "jpg");
    EXPECT_EQ(categoryOf("a.JPG"), FileCategory::image);
    EXPECT_EQ(categoryOf("b.tar.gz"), FileCategory::archive);
    EXPECT_EQ(categoryOf("noext"), FileCategory::other);
    EXPECT_EQ(categoryOf("x.xyz"), FileCategory::other);
    EXPECT_FALSE(FileNode::make("f", true)->folders().has_value());
}

TEST(Volume, Title) {
    auto v = Volume::make(FileSystemType::hfsplus, "Data", 0, 0, FileNode::make("", true), origin::partitionTable);
    EXPECT_EQ(v->title(), "Data (HFS+)");
    auto c = Volume::make(FileSystemType::carved, "", 0, 0, FileNode::make("", true), origin::deepScan);
    EXPECT_EQ(c->title(), "Uden navn (Signaturer)");
}

TEST(WorkProgress, ClampsFractions) {
    std::vector<double> seen;
    WorkProgress p([&](double f, const std::string&) { seen.push_back(f); });
    p.report(-0.5, "");
    p.report(1.7, "");
    p.report(std::nan(""), "");
    EXPECT_EQ(seen, (std::vector<double>{0, 1, 1}));
    EXPECT_FALSE(p.isCancelled());
    p.cancel();
    EXPECT_TRUE(p.isCancelled());
}

TEST(FormatBytes, DanishAndEnglish) {
    struct Case {
        uint64_t bytes;
        const char* da;
        const char* en;
    };
    for (auto c : std::vector<Case>{{0, "0 bytes", "0 bytes"},
                                    {1, "1 byte", "1 byte"},
                                    {999, "999 bytes", "999 bytes"},
                                    {1000, "1 KB", "1 KB"},
                                    {1500000, "1,5 MB", "1.5 MB"},
                                    {2345678901, "2,35 GB", "2.35 GB"},
                                    {999999, "1 MB", "1 MB"}}) {
        EXPECT_EQ(formatBytes(c.bytes, "da_DK"), c.da) << c.bytes;
        EXPECT_EQ(formatBytes(c.bytes, "en_US"), c.en) << c.bytes;
    }
    // Beyond the largest signed 64-bit count (9,223,372,036,854,775,807 bytes,
    // 9.22 EB) the count stays there.
    for (uint64_t bytes : std::initializer_list<uint64_t>{9223372036854775807ULL, 9223372036854775808ULL, UINT64_MAX}) {
        EXPECT_EQ(formatBytes(bytes, "da_DK"), "9,22 EB") << bytes;
        EXPECT_EQ(formatBytes(bytes, "en_US"), "9.22 EB") << bytes;
    }
}

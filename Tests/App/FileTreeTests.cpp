#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "SovantaCore/Model.h"
#include "SovantaCore/Recovery.h"

using namespace sovanta;

namespace {

FileNodePtr file(const std::string& name, uint64_t size, EntryStatus status = EntryStatus::existing) {
    return FileNode::make(name, false, size, status, Recoverability::good, std::vector<Extent>{{0, size}});
}

// A root with folders of files, each folder with a subfolder of files.
FileNodePtr tree(int folders, int filesEach) {
    auto root = FileNode::make("", true);
    for (int f = 0; f < folders; ++f) {
        auto folder = FileNode::make("mappe " + std::to_string(f), true);
        auto inner = FileNode::make("indre", true);
        for (int i = 0; i < filesEach; ++i) {
            folder->add(file("fil " + std::to_string(i) + ".txt", static_cast<uint64_t>(i)));
            inner->add(file("slettet " + std::to_string(i) + ".txt", 1, EntryStatus::deleted));
        }
        folder->add(inner);
        root->add(folder);
    }
    root->sortChildren();
    return root;
}

}  // namespace

// A snapshot stays as it was taken while the owner adds and sorts; the
// owner's own list and the kept totals follow every add, as a walk counts them.
TEST(FileTree, SnapshotsStayWhileTheOwnerAddsAndTotalsAreKept) {
    auto root = tree(3, 4);
    EXPECT_EQ(root->keptTotals(), FileNode::Totals{});  // not counted yet
    EXPECT_EQ(root->keepTotals(), root->totals());
    EXPECT_EQ(root->totals(), (FileNode::Totals{24, 6, 3 * 6 + 12, 12}));

    auto folder = root->children()[1];
    const FileNode::Children before = folder->childrenSnapshot();
    ASSERT_EQ(before->size(), 5u);
    folder->add(file("a.txt", 100, EntryStatus::orphaned));
    auto added = FileNode::make("ny", true);
    added->add(file("b.txt", 7));
    added->add(FileNode::make("tom", true));
    folder->add(added);
    EXPECT_EQ(before->size(), 5u);
    EXPECT_EQ(folder->children().size(), 7u);
    EXPECT_EQ(folder->children()[5]->name, "a.txt");
    EXPECT_EQ(folder->childrenSnapshot()->size(), 7u);
    const auto* list = &folder->children();
    folder->add(file("c.txt", 1));
    EXPECT_NE(&folder->children(), list);  // a snapshot was taken: a new list
    // Added without a snapshot taken since: the same list, changed in place.
    list = &folder->children();
    folder->add(file("d.txt", 1));
    EXPECT_EQ(&folder->children(), list);

    for (const auto& node : {root, folder, added}) EXPECT_EQ(node->keptTotals(), node->totals()) << node->name;
    EXPECT_EQ(root->keptTotals(), (FileNode::Totals{24 + 4, 6 + 2, 30 + 109, 12 + 1}));

    // Sorting after a snapshot leaves the snapshot in its order.
    auto unsorted = FileNode::make("u", true);
    unsorted->add(file("b", 1)), unsorted->add(file("a", 1));
    const auto taken = unsorted->childrenSnapshot();
    unsorted->sortChildren();
    EXPECT_EQ((*taken)[0]->name, "b");
    EXPECT_EQ(unsorted->children()[0]->name, "a");
}

// Emptying a counted folder takes what it held from every folder above it.
TEST(FileTree, EmptyingAFolderTakesItsTotalsFromTheFoldersAbove) {
    auto root = tree(2, 3);
    root->keepTotals();
    auto folder = root->children()[0];
    folder->children()[0]->removeAllChildren();  // its inner folder
    folder->removeAllChildren();
    for (const auto& node : {root, folder}) EXPECT_EQ(node->keptTotals(), node->totals()) << node->name;
    EXPECT_EQ(folder->keptTotals(), FileNode::Totals{});
}

// A worker plans a recovery of the tree again and again while the owner adds
// files and folders to the folders the worker walks, and sorts them, as a
// deep scan's merge does: every plan is whole (no file twice, none torn), one
// bounded by the count of adds at the start holds exactly what was there, and
// one made after the adds holds everything. Under ThreadSanitizer any read of
// a list being changed is a failure.
TEST(FileTree, ARecoveryPlanReadsTheTreeWhileTheOwnerAddsToIt) {
    auto root = tree(40, 50);
    root->keepTotals();
    const int64_t before = root->keptTotals().files;
    const uint64_t bound = FileNode::additions();
    std::atomic<bool> started{false}, done{false};
    int plans = 0;
    bool whole = true, bounded = true;
    std::thread worker([&] {
        started.store(true);
        do {
            const RecoveryPlan all = RecoveryEngine::plan({root}, {});
            const RecoveryPlan then = RecoveryEngine::plan({root}, {}, bound);
            whole = whole && static_cast<int64_t>(all.files.size()) >= before;
            bounded = bounded && static_cast<int64_t>(then.files.size()) == before;
            ++plans;
        } while (!done.load());
    });
    while (!started.load()) std::this_thread::yield();
    int added = 0;
    for (int round = 0; round < 200; ++round) {
        auto& folder = root->children()[static_cast<size_t>(round) % root->children().size()];
        auto found = FileNode::make("fundet " + std::to_string(round), true);
        found->add(file("x.txt", 3, EntryStatus::deleted));
        folder->add(found);
        folder->add(file("y " + std::to_string(round) + ".txt", 2));
        added += 2;
        if (round % 20 == 19) folder->sortChildren();
    }
    done.store(true);
    worker.join();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(bounded);
    EXPECT_GE(plans, 1);  // the last after every add
    EXPECT_EQ(root->keptTotals().files, before + added);
    EXPECT_EQ(root->keptTotals(), root->totals());
    const RecoveryPlan after = RecoveryEngine::plan({root}, {});
    EXPECT_EQ(static_cast<int64_t>(after.files.size()), before + added);
}

// The plan keeps a node and its folder's number per file, the folders' paths
// once: far less than the copy of every name, path and date it held before.
TEST(FileTree, APlanHoldsLittleBeyondTheNodes) {
    auto root = tree(20, 100);
    const RecoveryPlan plan = RecoveryEngine::plan({root}, {});
    ASSERT_EQ(plan.files.size(), 4000u);
    EXPECT_EQ(plan.folders.size(), 41u);  // the empty one, 20 folders, 20 inner ones
    size_t bytes = plan.files.capacity() * sizeof(RecoveryPlanItem);
    for (const auto& folder : plan.folders) bytes += sizeof(folder) + folder.native().capacity();
    EXPECT_LE(bytes / plan.files.size(), 64u);
    for (const auto& item : plan.files) EXPECT_EQ("/" + plan.folderOf(item).string(), item.node->parent()->path());
}

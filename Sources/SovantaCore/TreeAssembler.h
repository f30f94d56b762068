// Puts the nodes a file-system reader made into one tree: each node under its
// parent when its chain of parents reaches the root, the others in the folder
// "$Forældreløse filer", made on first need. The reader passes its own test of
// a parent link; the walk up the links is memoised and ends at a loop.
#pragma once

#include <algorithm>
#include <optional>
#include <variant>
#include <vector>

#include "SovantaCore/Model.h"

namespace sovanta {

namespace treetext {
inline constexpr const char* orphanFolderName = "$Forældreløse filer";
inline constexpr const char* partlyOverwrittenNote = "Dele af filen kan være overskrevet";
}  // namespace treetext

// The folder of orphans, made on first need; existing entries put there become
// orphaned unless the reader keeps their status.
class OrphanFolder {
public:
    explicit OrphanFolder(bool markOrphaned = true) : markOrphaned_(markOrphaned) {}
    const FileNodePtr& folder();
    void adopt(const FileNodePtr& node);
    // Attaches the folder to root when it was made.
    void attachTo(FileNode& root) const;

private:
    FileNodePtr folder_;
    bool markOrphaned_;
};

// Everything below a deleted folder is deleted, all the way down (an explicit
// stack, no recursion limit).
void markDeletedBelow(FileNode& root);

// Where a node's chain of parents ends.
enum class ChainEnd : uint8_t { unknown, walking, root, hidden, broken };

// The entries lie in one vector ordered by id (sorted once, when first
// searched), so that a volume of millions of nodes costs a few words a node.
// Info is what the reader's link test needs of an entry beyond its parent.
template <typename Id, typename Info = std::monostate>
class TreeAssembler {
public:
    struct Entry {
        Id id{};
        Id parent{};
        FileNodePtr node;
        Info info{};
        ChainEnd end = ChainEnd::unknown;
    };

    TreeAssembler(Id rootID, FileNodePtr root, bool markOrphaned = true)
        : rootID_(rootID), root_(std::move(root)), orphans_(markOrphaned) {
        entries_.push_back(Entry{rootID_, rootID_, root_, Info{}, ChainEnd::root});
    }

    // Chains that reach this id end there: the file system's own metadata,
    // passed over rather than listed.
    void hideBelow(Id id) { hidden_ = id; }
    void reserve(size_t count) { entries_.reserve(count + 1); }
    // A later node for the same id replaces the earlier one.
    void add(Id id, FileNodePtr node, Id parent, Info info = Info{}) {
        if (sorted_ && !(entries_.back().id < id)) sorted_ = false;
        entries_.push_back(Entry{id, parent, std::move(node), std::move(info), ChainEnd::unknown});
    }
    const Entry* find(Id id) { return entry(id); }
    // Every entry by rising id, one for each id.
    const std::vector<Entry>& entries() {
        index();
        return entries_;
    }
    OrphanFolder& orphans() { return orphans_; }

    // Where the chain from id ends. linkHolds(child, parent) is the reader's
    // test of a link between two entries; a link to the root always holds.
    // Every entry on the way is marked while walking and then memoised, so a
    // loop ends at a mark and every entry is walked once.
    template <typename Test>
    ChainEnd chainEnd(Id id, const Test& linkHolds) {
        Entry* start = entry(id);
        return start ? chainEnd(*start, linkHolds) : ChainEnd::broken;
    }

    // Places one node: under its parent, passed over, or among the orphans.
    template <typename Test>
    void place(Id id, const Test& linkHolds) {
        if (Entry* found = entry(id)) place(*found, linkHolds);
    }

    // Places every node, by rising id.
    template <typename Test>
    void placeAll(const Test& linkHolds) {
        index();
        for (Entry& each : entries_) place(each, linkHolds);
    }

    // Deleted state flows down (when asked), then the orphan folder joins the
    // root and the tree is sorted.
    void finish(bool deletedFlowsDown) {
        if (deletedFlowsDown) markDeletedBelow(*root_);
        orphans_.attachTo(*root_);
        root_->sortChildren();
    }

private:
    // Orders the entries by id, the last added of each id only.
    void index() {
        if (sorted_) return;
        std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
        size_t kept = 0;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (i + 1 < entries_.size() && entries_[i + 1].id == entries_[i].id) continue;
            if (kept != i) entries_[kept] = std::move(entries_[i]);
            ++kept;
        }
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
        sorted_ = true;
    }

    Entry* entry(Id id) {
        index();
        auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                   [](const Entry& each, const Id& wanted) { return each.id < wanted; });
        return it == entries_.end() || it->id != id ? nullptr : &*it;
    }

    template <typename Test>
    ChainEnd chainEnd(Entry& start, const Test& linkHolds) {
        path_.clear();
        ChainEnd result = ChainEnd::broken;
        Entry* current = &start;
        while (true) {
            if (current->end == ChainEnd::root || current->end == ChainEnd::hidden ||
                current->end == ChainEnd::broken) {
                result = current->end;
                break;
            }
            if (current->end == ChainEnd::walking) break;  // a loop
            current->end = ChainEnd::walking;
            path_.push_back(current);
            const Id parent = current->parent;
            if (parent == current->id) break;
            if (hidden_ && parent == *hidden_) {
                result = ChainEnd::hidden;
                break;
            }
            if (parent == rootID_) {
                result = ChainEnd::root;
                break;
            }
            Entry* up = entry(parent);
            if (!up || !linkHolds(*current, *up)) break;
            current = up;
        }
        for (Entry* passed : path_) passed->end = result;
        return result;
    }

    template <typename Test>
    void place(Entry& placed, const Test& linkHolds) {
        if (placed.id == rootID_) return;
        switch (chainEnd(placed, linkHolds)) {
            case ChainEnd::root: entry(placed.parent)->node->add(placed.node); break;
            case ChainEnd::hidden: break;
            default: orphans_.adopt(placed.node); break;
        }
    }

    Id rootID_;
    FileNodePtr root_;
    std::optional<Id> hidden_;
    std::vector<Entry> entries_;  // by id once sorted_
    bool sorted_ = true;
    std::vector<Entry*> path_;
    OrphanFolder orphans_;
};

}  // namespace sovanta

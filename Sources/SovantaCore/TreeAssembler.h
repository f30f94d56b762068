// Puts the nodes a file-system reader made into one tree: each node under its
// parent when its chain of parents reaches the root, the others in the folder
// "$Forældreløse filer", made on first need. The reader passes its own test of
// a parent link; the walk up the links is memoised and ends at a loop.
#pragma once

#include <optional>
#include <unordered_map>
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

template <typename Id, typename Info = std::monostate>
class TreeAssembler {
public:
    struct Entry {
        FileNodePtr node;
        Id parent{};
        Info info{};
        ChainEnd end = ChainEnd::unknown;
    };

    TreeAssembler(Id rootID, FileNodePtr root, bool markOrphaned = true)
        : rootID_(rootID), root_(std::move(root)), orphans_(markOrphaned) {
        entries_[rootID_] = Entry{root_, rootID_, Info{}, ChainEnd::root};
    }

    // Chains that reach this id end there: the file system's own metadata,
    // passed over rather than listed.
    void hideBelow(Id id) { hidden_ = id; }
    void reserve(size_t count) { entries_.reserve(count); }
    // A later node for the same id replaces the earlier one.
    void add(Id id, FileNodePtr node, Id parent, Info info = Info{}) {
        entries_[id] = Entry{std::move(node), parent, std::move(info), ChainEnd::unknown};
    }
    const Entry* find(Id id) const {
        auto it = entries_.find(id);
        return it == entries_.end() ? nullptr : &it->second;
    }
    const std::unordered_map<Id, Entry>& entries() const { return entries_; }
    OrphanFolder& orphans() { return orphans_; }

    // Where the chain from id ends. linkHolds(child, parent) is the reader's
    // test of a link between two nodes; a link to the root always holds. Every
    // id on the way is marked while walking and then memoised, so a loop ends
    // at a mark and every id is walked once.
    template <typename Test>
    ChainEnd chainEnd(Id id, const Test& linkHolds) {
        path_.clear();
        ChainEnd result = ChainEnd::broken;
        Id current = id;
        while (true) {
            auto it = entries_.find(current);
            if (it == entries_.end()) break;
            Entry& entry = it->second;
            if (entry.end == ChainEnd::root || entry.end == ChainEnd::hidden || entry.end == ChainEnd::broken) {
                result = entry.end;
                break;
            }
            if (entry.end == ChainEnd::walking) break;  // a loop
            entry.end = ChainEnd::walking;
            path_.push_back(&entry);
            const Id parent = entry.parent;
            if (parent == current) break;
            if (hidden_ && parent == *hidden_) {
                result = ChainEnd::hidden;
                break;
            }
            if (parent == rootID_) {
                result = ChainEnd::root;
                break;
            }
            auto up = entries_.find(parent);
            if (up == entries_.end() || !linkHolds(entry, up->second)) break;
            current = parent;
        }
        for (Entry* passed : path_) passed->end = result;
        return result;
    }

    // Places one node: under its parent, passed over, or among the orphans.
    template <typename Test>
    void place(Id id, const Test& linkHolds) {
        auto it = entries_.find(id);
        if (it == entries_.end() || id == rootID_) return;
        switch (chainEnd(id, linkHolds)) {
            case ChainEnd::root: entries_.at(it->second.parent).node->add(it->second.node); break;
            case ChainEnd::hidden: break;
            default: orphans_.adopt(it->second.node); break;
        }
    }

    template <typename Test>
    void placeAll(const Test& linkHolds) {
        for (auto& [id, entry] : entries_) place(id, linkHolds);
    }

    // Deleted state flows down (when asked), then the orphan folder joins the
    // root and the tree is sorted.
    void finish(bool deletedFlowsDown) {
        if (deletedFlowsDown) markDeletedBelow(*root_);
        orphans_.attachTo(*root_);
        root_->sortChildren();
    }

private:
    Id rootID_;
    FileNodePtr root_;
    std::optional<Id> hidden_;
    std::unordered_map<Id, Entry> entries_;
    std::vector<Entry*> path_;
    OrphanFolder orphans_;
};

}  // namespace sovanta

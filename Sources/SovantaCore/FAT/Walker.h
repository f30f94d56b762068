// One traversal of a FAT volume's directories, for the reader's own files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "SovantaCore/FAT/Context.h"
#include "SovantaCore/Model.h"

namespace sovanta {

class FATWalker {
public:
    // A folder listed in a directory, read once that directory's own entries are made.
    struct PendingFolder {
        FileNodePtr node;
        uint32_t cluster = 0;
        bool deleted = false;
    };

    FATWalker(const FATContext& ctx, WorkProgress* progress);

    std::unordered_set<uint32_t> visited;  // first clusters of the directories read
    std::unordered_set<uint32_t> claimed;  // every cluster a directory read occupies
    std::optional<std::string> label;
    int64_t directoriesRead = 0;
    bool budgetExceeded = false;
    // Reading the fragments of directories whose own entries were lost.
    bool inLostFragments = false;

    // Reads the directory whose first cluster is start into the folder into,
    // then its subfolders.
    void readDirectoryChain(uint32_t start, const FileNodePtr& into, bool deleted, int depth, bool isRoot);
    // The entries of one directory's bytes become children of into; the
    // folders among them are returned for reading after the last entry.
    std::vector<PendingFolder> parseEntries(ByteSpan bytes, const FileNodePtr& into, bool deleted, bool isRoot);
    void readFolders(const std::vector<PendingFolder>& folders, int depth);

    // A deleted folder's first cluster may since have been given to a live
    // folder (a moved folder leaves such an entry behind). Were the deleted
    // one read first, it would take the live folder's entries as its own and
    // leave the live folder empty; so once this is called, deleted folders are
    // held back until readDeferredFolders, when the live tree is complete.
    void deferDeletedFolders() { deferDeleted_ = true; }
    // Reads the deleted folders held back. One that starts in a live
    // directory's cluster is shown empty with a note.
    void readDeferredFolders();

private:
    Bytes readLiveDirectory(uint32_t start);
    // The clusters of a deleted directory that still look like its own; empty
    // (and a note on into) when its first cluster no longer holds a folder.
    Bytes readDeletedDirectory(uint32_t start, FileNode& into);
    std::optional<Date> dosTime(uint16_t date, uint16_t time);
    void fillFileData(FileNode& node, uint32_t cluster, uint64_t size, bool deleted, bool entryDeleted);
    bool ownsChain(uint32_t cluster, uint64_t needed, FileNode& node) const;

    const FATContext& ctx_;
    WorkProgress* progress_;
    uint64_t liveClusterBudget_ = 0;
    bool deferDeleted_ = false;
    std::vector<std::pair<PendingFolder, int>> deferred_;
    std::unordered_set<uint32_t> liveClaimed_;
    std::unordered_map<uint32_t, std::optional<Date>> hourStarts_;
};

}  // namespace sovanta

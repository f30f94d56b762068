#include "SovantaCore/FAT/Walker.h"

#include <algorithm>

#include "SovantaCore/FAT/Layout.h"
#include "SovantaCore/FAT/Names.h"

namespace sovanta {

using namespace fat;

FATWalker::FATWalker(const FATContext& ctx, WorkProgress* progress) : ctx_(ctx), progress_(progress) {
    // Live directory chains of a sound volume never share clusters, so all
    // of them together hold at most every cluster once.
    liveClusterBudget_ = uint64_t{ctx.clusterCount} + 1;
}

void FATWalker::readDirectoryChain(uint32_t start, const FileNodePtr& into, bool deleted, int depth, bool isRoot) {
    if (depth > maxDepth || !ctx_.isValidCluster(start)) return;
    if (progress_ && progress_->isCancelled()) return;
    if (deleted && liveClaimed_.count(start)) {
        into->note = overwrittenFolderNote;
        return;
    }
    if (visited.count(start)) return;
    visited.insert(start);
    ++directoriesRead;
    if (progress_ && directoriesRead % 50 == 0)
        progress_->report(0, "Læser mapper … (" + std::to_string(directoriesRead) + ")");

    Bytes bytes = deleted ? readDeletedDirectory(start, *into) : readLiveDirectory(start);
    auto folders = parseEntries(bytes, into, deleted, isRoot);
    Bytes().swap(bytes);  // not held while the subfolders are read
    readFolders(folders, depth);
}

Bytes FATWalker::readLiveDirectory(uint32_t start) {
    uint64_t maxClusters = ctx_.clusterSize > maxDirectoryBytes ? 1 : maxDirectoryBytes / ctx_.clusterSize;
    auto chain = ctx_.chain(start, maxClusters);
    if (chain.clusters.size() > liveClusterBudget_) {
        budgetExceeded = true;
        chain.clusters.resize(liveClusterBudget_);
    }
    liveClusterBudget_ -= chain.clusters.size();
    if (chain.clusters.empty()) return {};
    for (uint32_t c : chain.clusters) claimed.insert(c);
    return ctx_.read(ctx_.extents(chain.clusters, chain.clusters.size() * ctx_.clusterSize));
}

Bytes FATWalker::readDeletedDirectory(uint32_t start, FileNode& into) {
    // The FAT no longer links a deleted folder's clusters: read on from its
    // first cluster while the next ones are free, at most a few.
    Bytes bytes;
    for (uint64_t i = 0; i < maxDeletedDirectoryClusters; ++i) {
        uint64_t cluster = uint64_t{start} + i;
        if (i > 0 &&
            (!ctx_.isValidCluster(cluster) || (!ctx_.fatUnavailable && ctx_.entry(static_cast<uint32_t>(cluster)) != 0)))
            break;
        Bytes piece = ctx_.readCluster(static_cast<uint32_t>(cluster));
        if (i == 0 && !(matches(piece, ".          ", 0) && (u8(piece, dirAttributes) & attrDirectory))) {
            into.note = overwrittenFolderNote;
            return {};
        }
        claimed.insert(static_cast<uint32_t>(cluster));
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        bool ended = false;
        for (size_t e = 0; e + entrySize <= piece.size() && !ended; e += entrySize) ended = piece[e] == 0;
        if (ended) break;
    }
    return bytes;
}

std::vector<FATWalker::PendingFolder> FATWalker::parseEntries(ByteSpan bytes, const FileNodePtr& into, bool deleted,
                                                              bool isRoot) {
    std::vector<PendingFolder> folders;
    std::vector<LongNamePiece> pieces;
    for (size_t off = 0; off + entrySize <= bytes.size(); off += entrySize) {
        ByteSpan e = bytes.subspan(off, entrySize);
        uint8_t first = e[0];
        if (first == 0) break;
        uint8_t attributes = e[dirAttributes];
        if ((attributes & 0x3F) == 0x0F) {
            pieces.push_back({lfnText(e), e[lfnChecksum], first == deletedMark, first});
            continue;
        }
        if ((attributes & 0x18) == 0x08) {
            if (isRoot && first != deletedMark && !label) label = trimBlanks(ascii(e, 0, 11));
            pieces.clear();
            continue;
        }
        uint8_t name[11];
        std::copy(e.begin(), e.begin() + 11, name);
        if (name[0] == 0x05) name[0] = deletedMark;
        bool entryDeleted = first == deletedMark;
        std::string shortName = formatShortName(name, e[dirCaseFlags], entryDeleted);
        auto longName = assembleLongName(pieces, e.data(), name, entryDeleted);
        pieces.clear();
        if (shortName == "." || shortName == ".." || !isPlausible(name, entryDeleted)) continue;

        uint32_t cluster = u16le(e, dirClusterLow);
        if (ctx_.type == FileSystemType::fat32) cluster |= uint32_t{u16le(e, dirClusterHigh)} << 16;
        bool isDirectory = attributes & attrDirectory;
        uint64_t size = isDirectory ? 0 : u32le(e, dirFileSize);
        bool isDeleted = entryDeleted || deleted;
        auto node = FileNode::make(longName ? *longName : shortName, isDirectory, size,
                                   isDeleted ? EntryStatus::deleted : EntryStatus::existing,
                                   isDirectory ? Recoverability::unknown : Recoverability::good);
        node->modified = dosTime(u16le(e, dirModifyDate), u16le(e, dirModifyTime));
        node->created = dosTime(u16le(e, dirCreateDate), u16le(e, dirCreateTime));
        node->fsID = cluster;
        if (isDirectory) {
            into->add(node);
            if (cluster != 0) folders.push_back({node, cluster, isDeleted});
        } else {
            fillFileData(*node, cluster, size, isDeleted, entryDeleted);
            into->add(node);
        }
    }
    return folders;
}

void FATWalker::readFolders(const std::vector<PendingFolder>& folders, int depth) {
    for (auto& f : folders) {
        if (f.deleted && deferDeleted_)
            deferred_.push_back({f, depth + 1});
        else
            readDirectoryChain(f.cluster, f.node, f.deleted, depth + 1, false);
    }
}

void FATWalker::readDeferredFolders() {
    deferDeleted_ = false;
    liveClaimed_ = claimed;
    for (auto& [f, depth] : deferred_) readDirectoryChain(f.cluster, f.node, true, depth, false);
    deferred_.clear();
}

// TimeConversion::fromDOS asks the C library for the local zone on every
// call, which costs more than the rest of a directory entry. A zone's offset
// is the same through an hour of a day, so the start of each hour is
// converted once and the minutes and seconds are added to it.
std::optional<Date> FATWalker::dosTime(uint16_t date, uint16_t time) {
    uint16_t minute = (time >> 5) & 0x3F;
    if (date == 0 || minute > 59) return std::nullopt;
    uint32_t key = (uint32_t{date} << 5) | (time >> 11);
    auto it = hourStarts_.find(key);
    if (it == hourStarts_.end())
        it = hourStarts_.emplace(key, TimeConversion::fromDOS(date, static_cast<uint16_t>(time & 0xF800))).first;
    if (!it->second) return std::nullopt;
    return *it->second + std::chrono::seconds(minute * 60 + (time & 0x1F) * 2);
}

void FATWalker::fillFileData(FileNode& node, uint32_t cluster, uint64_t size, bool deleted, bool entryDeleted) {
    if (size == 0) {
        node.recoverability = Recoverability::good;
        node.data = std::vector<Extent>{};
        return;
    }
    if (!ctx_.isValidCluster(cluster)) {
        node.recoverability = Recoverability::poor;
        node.note = badStartNote;
        return;
    }
    uint64_t needed = (size + ctx_.clusterSize - 1) / ctx_.clusterSize;
    if (!deleted) {
        auto chain = ctx_.chain(cluster, needed);
        node.data = ctx_.extents(chain.clusters, size);
        if (chain.clusters.size() >= needed) {
            node.recoverability = Recoverability::good;
        } else {
            node.recoverability = Recoverability::partial;
            node.note = brokenChainNote;
        }
        return;
    }
    if (inLostFragments && !entryDeleted && ownsChain(cluster, needed, node)) return;
    // The FAT no longer describes a deleted file: take it as contiguous.
    uint64_t available = std::min(uint64_t{ctx_.clusterCount} + 2 - cluster, needed);
    node.data = std::vector<Extent>{{ctx_.clusterOffset(cluster), std::min(available * ctx_.clusterSize, size)}};
    uint64_t inUse = ctx_.clustersInUse(cluster, std::min(available, maxTestedClusters));
    if (available == needed && inUse == 0) {
        node.recoverability = Recoverability::good;
    } else if (!ctx_.fatUnavailable && ctx_.entry(cluster) != 0) {
        node.recoverability = Recoverability::poor;
        node.note = startReusedNote;
    } else {
        node.recoverability = Recoverability::partial;
        node.note = partlyOverwrittenNote;
    }
}

// A file whose entry was never deleted but whose folder was lost (its name
// lived in a destroyed directory) usually still owns its chain: one of exactly
// the clusters it needs, closed by an end-of-chain mark. Such a file is read by
// that chain, which also places its fragments right; rating it by the
// contiguous test would call its own clusters reused.
bool FATWalker::ownsChain(uint32_t cluster, uint64_t needed, FileNode& node) const {
    if (ctx_.fatUnavailable) return false;
    auto chain = ctx_.chain(cluster, needed);
    if (chain.clusters.size() != needed || ctx_.entry(chain.clusters.back()) < ctx_.endOfChain()) return false;
    node.data = ctx_.extents(chain.clusters, node.size);
    node.recoverability = Recoverability::good;
    return true;
}

}  // namespace sovanta

// Deleted files rebuilt from old copy-on-write leaf nodes of file-system trees.
#include <algorithm>
#include <map>

#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/APFS/Records.h"
#include "SovantaCore/Binary.h"

namespace sovanta::APFSParser {

namespace {

const char* const deletedFolderName = "$Slettede filer (gamle træknuder)";
constexpr size_t maxPathSteps = 256;
constexpr size_t progressEvery = 500;

struct OldInode {
    uint64_t xid = 0;
    uint64_t parent = 0;
    uint64_t privateID = 0;
    uint64_t size = 0;
    std::optional<Date> created;
    std::optional<Date> modified;
    bool compressed = false;
};

struct OldDrec {
    uint64_t xid = 0;
    uint64_t parent = 0;
    std::string name;
    uint64_t fileID = 0;
    uint16_t type = 0;
};

struct OldExtent {
    uint64_t xid = 0;
    uint64_t length = 0;
    uint64_t physical = 0;
};

FileNodePtr makeFolder(const std::string& name) {
    return FileNode::make(name, true, 0, EntryStatus::deleted, Recoverability::unknown, NoData{});
}

// One volume that receives rebuilt files, with the folders made for it so far.
// Each folder's path is worked out once: per holding folder id, and, for the
// live folders above them, per live folder node.
struct Target {
    VolumePtr volume;
    std::shared_ptr<APFSDeepInfo> info;
    FileNodePtr top;
    std::map<std::pair<int64_t, std::string>, FileNodePtr> byName;  // (folder id, child name)
    std::unordered_map<uint64_t, FileNodePtr> byHolder;
    std::unordered_map<const FileNode*, FileNodePtr> byLiveFolder;

    FileNodePtr child(const FileNodePtr& folder, const std::string& name) {
        auto& found = byName[{folder->id, name}];
        if (!found) {
            found = makeFolder(name);
            folder->add(found);
        }
        return found;
    }

    // The folder mirroring a live folder: the names of that folder and of its
    // ancestors below the root, each split on "/" with empty pieces dropped.
    FileNodePtr mirror(const FileNodePtr& live) {
        auto root = info->dirs.find(apfs::rootFolderID);
        const FileNode* stop = root != info->dirs.end() ? root->second.get() : nullptr;
        std::vector<FileNodePtr> chain;
        FileNodePtr folder = top;
        for (auto node = live; node && node.get() != stop; node = node->parent()) {
            if (auto known = byLiveFolder.find(node.get()); known != byLiveFolder.end()) {
                folder = known->second;
                break;
            }
            chain.push_back(node);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const std::string& name = (*it)->name;
            size_t start = 0;
            while (start <= name.size()) {
                size_t slash = std::min(name.find('/', start), name.size());
                if (slash > start) folder = child(folder, name.substr(start, slash - start));
                start = slash + 1;
            }
            byLiveFolder[it->get()] = folder;
        }
        return folder;
    }

    // The folder for a holding folder id: a live folder's mirror, under it the
    // names of old folder entries found on the way up (at most 256), or
    // "mappe-<id>" where the trail ends.
    FileNodePtr folderFor(uint64_t holder, const std::unordered_map<uint64_t, OldDrec>& drecs) {
        auto& known = byHolder[holder];
        if (known) return known;
        std::vector<std::string> collected;
        uint64_t id = holder;
        FileNodePtr folder = top;
        while (true) {
            if (auto live = info->dirs.find(id); live != info->dirs.end()) {
                folder = mirror(live->second);
                break;
            }
            auto old = drecs.find(id);
            if (old != drecs.end() && old->second.type == apfs::typeFolder) {
                collected.push_back(old->second.name);
                if (collected.size() == maxPathSteps) break;
                id = old->second.parent;
                continue;
            }
            folder = child(top, "mappe-" + std::to_string(id));
            break;
        }
        for (auto it = collected.rbegin(); it != collected.rend(); ++it) folder = child(folder, *it);
        known = folder;
        return folder;
    }
};

// Places a deleted file's bytes from the newest extents found. A gap or an
// uncovered end is unknown (an extent record in a node not found, or blocks
// reused): the list stops there and the file is poor. Physical block 0 is a
// hole of a sparse file.
std::pair<std::vector<Extent>, Recoverability> placeOldData(const OldInode& old,
                                                            const std::map<uint64_t, OldExtent>& stream,
                                                            const APFSDeepInfo& geometry) {
    const uint64_t size = old.size;
    uint64_t p = 0;
    std::vector<Extent> placed;
    for (const auto& [logical, extent] : stream) {
        if (p >= size || logical > p) break;
        if (logical < p) continue;  // overlaps what is placed already
        uint64_t length = std::min(extent.length, size - logical);
        std::optional<uint64_t> at;
        if (extent.physical != 0) {
            at = apfs::byteOffset(geometry.base, extent.physical, geometry.blockSize);
            if (!at) break;
        }
        placed.push_back(Extent{at, length});
        p += length;
    }
    Recoverability rating = p < size || old.compressed ? Recoverability::poor : Recoverability::unknown;
    return {std::move(placed), rating};
}

// The newest copy of every inode, directory entry and file extent found in
// old leaf nodes.
struct OldRecords {
    std::unordered_map<uint64_t, OldInode> inodes;
    std::unordered_map<uint64_t, OldDrec> drecs;
    std::unordered_map<uint64_t, std::map<uint64_t, OldExtent>> extents;

    void take(const APFSContainer::NodeRecord& record, uint64_t xid) {
        auto header = apfs::keyHeader(record.key);
        if (!header) return;
        if (header->kind == apfs::kindInode) {
            auto value = apfs::inodeValue(record.value);
            if (!value) return;
            auto found = inodes.find(header->objectID);
            if (found != inodes.end() && found->second.xid >= xid) return;
            inodes[header->objectID] = OldInode{xid,         value->parent,  value->privateID,
                                                value->size, value->created, value->modified,
                                                (value->bsdFlags & apfs::compressedFlag) != 0};
        } else if (header->kind == apfs::kindDirEntry) {
            auto entry = apfs::dirEntry(record.key, record.value);
            auto found = drecs.find(entry.fileID);
            if (found != drecs.end() && found->second.xid >= xid) return;
            drecs[entry.fileID] = OldDrec{xid, header->objectID, std::move(entry.name), entry.fileID, entry.type};
        } else if (header->kind == apfs::kindFileExtent) {
            auto extent = apfs::fileExtent(record.key, record.value);
            auto& perStream = extents[header->objectID];
            auto found = perStream.find(extent.logical);
            if (found != perStream.end() && found->second.xid >= xid) return;
            perStream[extent.logical] = OldExtent{xid, extent.length, extent.physical};
        }
    }
};

OldRecords readOldNodes(const APFSContainer& container, const std::vector<uint64_t>& offsets, DiskSource& src,
                        uint64_t blockSize, WorkProgress* progress) {
    OldRecords records;
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (progress && i % progressEvery == 0) {
            if (progress->isCancelled()) break;
            progress->report(std::min(static_cast<double>(i) / static_cast<double>(offsets.size()), 1.0),
                             "Undersøger gamle APFS-træknuder …");
        }
        Bytes block = src.readReporting(offsets[i], static_cast<int64_t>(blockSize)).data;
        uint64_t xid = u64le(block, 16);
        auto node = container.parseNode(block, 16, 16);
        if (!node || node->level != 0) continue;
        for (auto& record : node->records) records.take(record, xid);
    }
    return records;
}

// The volumes that can receive files: each once, with its deep-scan context.
std::vector<Target> targetsOf(const std::vector<VolumePtr>& volumes) {
    std::vector<Target> targets;
    for (const auto& volume : volumes) {
        if (!volume) continue;
        if (std::any_of(targets.begin(), targets.end(), [&](const Target& t) { return t.volume == volume; }))
            continue;
        auto info = std::any_cast<std::shared_ptr<APFSDeepInfo>>(&volume->deepContext);
        if (info && *info) targets.push_back(Target{volume, *info, nullptr, {}, {}, {}});
    }
    return targets;
}

// The volume whose live folders hold the file's folder; else the first that
// is neither Preboot nor VM; else the first.
Target& targetFor(std::vector<Target>& targets, uint64_t holder) {
    for (auto& t : targets)
        if (t.info->dirs.count(holder)) return t;
    for (auto& t : targets)
        if (t.volume->label != "Preboot" && t.volume->label != "VM") return t;
    return targets.front();
}

}  // namespace

std::vector<std::pair<VolumePtr, FileNodePtr>> deletedFromOldNodes(const std::vector<VolumePtr>& volumes,
                                                                   const std::vector<uint64_t>& nodeOffsets,
                                                                   DiskSource& src, WorkProgress* progress) {
    std::vector<Target> targets = targetsOf(volumes);
    if (targets.empty()) return {};

    const APFSDeepInfo& geometry = *targets.front().info;
    uint64_t base = geometry.base, blockSize = geometry.blockSize;
    if (blockSize == 0) return {};
    auto endOffset = apfs::byteOffset(base, geometry.blockCount, blockSize);
    uint64_t end = endOffset ? *endOffset : UINT64_MAX;
    std::vector<uint64_t> offsets;
    for (uint64_t o : nodeOffsets)
        if (o >= base && o < end && (o - base) % blockSize == 0) offsets.push_back(o);
    if (offsets.empty()) return {};

    auto container = APFSContainer::open(src, base);
    if (!container) return {};
    const OldRecords old = readOldNodes(*container, offsets, src, blockSize, progress);

    for (const auto& [fileID, drec] : old.drecs) {
        if (drec.type != apfs::typeRegular) continue;
        auto inode = old.inodes.find(fileID);
        if (inode == old.inodes.end() || inode->second.size == 0) continue;
        Target& target = targetFor(targets, drec.parent);
        if (target.info->liveInodes.count(fileID)) continue;
        auto stream = old.extents.find(inode->second.privateID);
        if (stream == old.extents.end()) continue;

        const OldInode& data = inode->second;
        auto [placed, rating] = placeOldData(data, stream->second, *target.info);
        auto file = FileNode::make(drec.name, false, data.size, EntryStatus::deleted, rating, std::move(placed));
        file->created = data.created;
        file->modified = data.modified;
        file->fsID = fileID;
        file->note = data.compressed ? "APFS-komprimeret fil – indholdet kan ikke gendannes direkte"
                                     : "Fundet i en gammel træknude – blokkene kan være genbrugt";

        if (!target.top) target.top = makeFolder(deletedFolderName);
        target.folderFor(drec.parent, old.drecs)->add(file);
    }

    std::vector<std::pair<VolumePtr, FileNodePtr>> result;
    for (auto& t : targets) {
        if (!t.top) continue;
        t.top->sortChildren();
        result.emplace_back(t.volume, t.top);
    }
    return result;
}

}  // namespace sovanta::APFSParser

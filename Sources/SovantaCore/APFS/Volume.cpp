// Volumes of a container: volume superblocks, the file-system tree walk and
// the folder tree with placed file data.
#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/APFS/Records.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/TreeAssembler.h"

namespace sovanta {

namespace {

// Container superblock.
constexpr int64_t nxOMap = 160;
constexpr int64_t nxMaxVolumes = 180;
constexpr int64_t nxVolumeIDs = 184;
constexpr uint32_t maxVolumeSlots = 100;

// Volume superblock.
constexpr int64_t apfsMagic = 32;
constexpr int64_t apfsRootTreeType = 116;
constexpr int64_t apfsOMap = 128;
constexpr int64_t apfsRootTree = 136;
constexpr int64_t apfsFlags = 264;
constexpr int64_t apfsName = 704;
constexpr int64_t apfsRole = 964;
constexpr uint32_t physicalTree = 0x40000000;

constexpr int maxTreeDepth = 32;

using Inode = apfs::InodeValue;

struct DirRec {
    uint64_t parent = 0;
    std::string name;
    uint64_t fileID = 0;
    uint16_t type = 0;
};

using FileExtentRecord = apfs::ExtentValue;

const char* const noteIncompletePlace = "Filens placering er ikke fuldt kendt";
const char* const noteCompressed = "APFS-komprimeret fil – indholdet kan ikke gendannes direkte";

// Places a live file's bytes from its extents; gaps before an extent are holes
// of a sparse file, an end that no extent covers lowers the file.
void placeLiveData(FileNode& file, std::vector<FileExtentRecord> records, uint64_t base, uint64_t blockSize) {
    uint64_t size = file.size;
    std::stable_sort(records.begin(), records.end(),
                     [](const FileExtentRecord& a, const FileExtentRecord& b) { return a.logical < b.logical; });
    std::vector<Extent> extents;
    uint64_t p = 0;
    for (const auto& record : records) {
        if (p >= size) break;
        uint64_t o = record.logical;
        if (p < o) {
            uint64_t end = std::min(o, size);
            extents.push_back(Extent{std::nullopt, end - p});
            p = end;
            if (o >= size) break;
        }
        if (o == p) {
            uint64_t length = std::min(record.length, size - o);
            // Physical block 0 is a hole; a place that overflows is unknown
            // and ends the list.
            std::optional<uint64_t> offset;
            if (record.physical != 0) {
                offset = apfs::byteOffset(base, record.physical, blockSize);
                if (!offset) break;
            }
            extents.push_back(Extent{offset, length});
            p = o + length;
        }
    }
    // An end no extent covers is unknown, not a hole: no extent stands for it.
    if (p < size) {
        file.recoverability = records.empty() ? Recoverability::poor : Recoverability::partial;
        file.note = noteIncompletePlace;
    } else {
        file.recoverability = Recoverability::good;
    }
    file.data = std::move(extents);
}

}  // namespace

std::string APFSContainer::roleName(uint16_t role) {
    switch (role) {
        case 1: return "System";
        case 2: return "Bruger";
        case 4: return "Gendannelse";
        case 8: return "VM";
        case 16: return "Preboot";
        case 64: return "Data";
        default: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(role));
            return text;
        }
    }
}

std::vector<VolumePtr> APFSContainer::volumes(const std::string& origin, WorkProgress* progress) {
    std::vector<VolumePtr> result;
    auto omap = loadOMap(sb.size() >= 168 ? u64le(sb, nxOMap) : 0, xid);
    if (sb.size() < 184) return result;
    uint32_t slots = u32le(sb, nxMaxVolumes);
    for (uint32_t i = 0; i < std::min(slots, maxVolumeSlots); ++i) {
        int64_t at = nxVolumeIDs + 8 * static_cast<int64_t>(i);
        if (at > static_cast<int64_t>(sb.size()) - 8) continue;
        uint64_t oid = u64le(sb, at);
        if (oid == 0) continue;
        auto mapped = omap.find(oid);
        if (mapped == omap.end() || mapped->second == 0) continue;
        auto offset = blockOffset(mapped->second);
        if (!offset) continue;
        Bytes block = readAt(*offset);
        if (!matches(block, "APSB", apfsMagic)) continue;
        if (progress && progress->isCancelled()) break;
        result.push_back(volume(block, origin, progress));
    }
    return result;
}

namespace {

// The records of one volume's file-system tree.
struct TreeRecords {
    std::unordered_map<uint64_t, Inode> inodes;
    std::vector<DirRec> entries;
    std::unordered_map<uint64_t, std::vector<FileExtentRecord>> extents;
    int64_t damaged = 0;
};

// Walks the tree depth-first from its root block, every block once, at most
// maxTreeDepth levels; unreadable nodes are counted as damaged.
TreeRecords readTree(const APFSContainer& container, uint64_t rootBlock, bool physical,
                     const std::unordered_map<uint64_t, uint64_t>& omap, const std::string& name,
                     WorkProgress* progress) {
    TreeRecords out;
    std::vector<std::pair<uint64_t, int>> stack{{rootBlock, 0}};
    std::unordered_set<uint64_t> visited;
    int64_t nodesRead = 0;
    while (!stack.empty()) {
        auto [number, depth] = stack.back();
        stack.pop_back();
        if (depth >= maxTreeDepth || !visited.insert(number).second) continue;
        if (progress && progress->isCancelled()) break;
        ++nodesRead;
        if (progress && nodesRead % 500 == 0)
            progress->report(0, "Læser APFS-træ \"" + name + "\" … " + std::to_string(nodesRead) + " knuder");
        auto offset = container.blockOffset(number);
        auto node = offset ? container.parseNode(container.readAt(*offset), 16, 16) : std::nullopt;
        if (!node) {
            ++out.damaged;
            continue;
        }
        for (const auto& record : node->records) {
            if (node->level > 0) {
                uint64_t child = u64le(record.value, 0);
                if (!physical) {
                    auto found = omap.find(child);
                    if (found == omap.end()) continue;
                    child = found->second;
                }
                stack.emplace_back(child, depth + 1);
                continue;
            }
            auto header = apfs::keyHeader(record.key);
            if (!header) continue;
            if (header->kind == apfs::kindInode) {
                if (auto value = apfs::inodeValue(record.value)) out.inodes[header->objectID] = *value;
            } else if (header->kind == apfs::kindDirEntry) {
                auto entry = apfs::dirEntry(record.key, record.value);
                out.entries.push_back(DirRec{header->objectID, std::move(entry.name), entry.fileID, entry.type});
            } else if (header->kind == apfs::kindFileExtent) {
                out.extents[header->objectID].push_back(apfs::fileExtent(record.key, record.value));
            }
        }
    }
    return out;
}

// The file node of one directory entry, placed from its inode's extents.
FileNodePtr makeFile(const DirRec& entry, const TreeRecords& tree, uint64_t base, uint64_t blockSize) {
    auto file = FileNode::make(entry.name, false, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
    file->fsID = entry.fileID;
    auto inode = tree.inodes.find(entry.fileID);
    if (inode == tree.inodes.end()) {
        file->recoverability = Recoverability::poor;
        file->note = "Inode mangler";
        return file;
    }
    file->created = inode->second.created;
    file->modified = inode->second.modified;
    file->size = inode->second.size;
    if (inode->second.bsdFlags & apfs::compressedFlag) {
        file->note = noteCompressed;
        file->recoverability = Recoverability::poor;
        file->data = std::vector<Extent>{};
        return file;
    }
    auto found = tree.extents.find(inode->second.privateID);
    placeLiveData(*file, found != tree.extents.end() ? found->second : std::vector<FileExtentRecord>{}, base,
                  blockSize);
    return file;
}

// The folders and files of the tree's directory entries, put in place. A
// folder named by several entries hangs where the last entry puts it. A chain
// through the private folder (file id 3) breaks, as that folder is no node.
// Orphans keep their status here.
void placeEntries(TreeAssembler<uint64_t>& folders, const TreeRecords& tree, const FileNodePtr& root, uint64_t base,
                  uint64_t blockSize) {
    for (const auto& entry : tree.entries) {
        if (entry.type != apfs::typeFolder) continue;
        auto folder = FileNode::make(entry.name, true, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
        folder->fsID = entry.fileID;
        if (auto inode = tree.inodes.find(entry.fileID); inode != tree.inodes.end()) {
            folder->created = inode->second.created;
            folder->modified = inode->second.modified;
        }
        folders.add(entry.fileID, std::move(folder), entry.parent);
    }
    auto always = [](const auto&, const auto&) { return true; };
    // Folders the private folder holds are not shown.
    for (const auto& folder : folders.entries())
        if (folder.parent != apfs::privateFolderID) folders.place(folder.id, always);

    for (const auto& entry : tree.entries) {
        if (entry.type != apfs::typeRegular || entry.parent == apfs::privateFolderID) continue;
        auto file = makeFile(entry, tree, base, blockSize);
        auto holder = folders.find(entry.parent);
        if (holder && (holder->node == root || holder->node->parent()))
            holder->node->add(file);
        else
            folders.orphans().adopt(file);
    }
}

}  // namespace

VolumePtr APFSContainer::volume(const Bytes& block, const std::string& origin, WorkProgress* progress) {
    Bytes rawName = sub(block, apfsName, 256);
    rawName.erase(std::find(rawName.begin(), rawName.end(), uint8_t{0}), rawName.end());
    std::string name = apfs::repairedUTF8(rawName);
    bool encrypted = (u64le(block, apfsFlags) & 1) == 0;

    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
    root->fsID = apfs::rootFolderID;
    // A block count too large to multiply out cannot describe a real
    // container; such a volume reaches to the end of the source.
    auto end = apfs::byteOffset(0, blockCount, blockSize);
    uint64_t size = end ? *end : (src.size > base ? src.size - base : 0);
    auto vol = Volume::make(FileSystemType::apfs, name, base, size, root, origin);
    vol->clusterSize = blockSize;
    vol->notes = notes;
    uint16_t role = u16le(block, apfsRole);
    if (role != 0) vol->notes.push_back("Rolle: " + roleName(role));
    if (encrypted) {
        vol->notes.push_back(
            "Volumen er krypteret (FileVault). Filerne kan ikke læses uden at låse disken op i macOS.");
        return vol;
    }

    auto omap = loadOMap(u64le(block, apfsOMap), xid);
    bool physical = (u32le(block, apfsRootTreeType) & physicalTree) != 0;
    uint64_t rootID = u64le(block, apfsRootTree);
    uint64_t rootBlock = rootID;
    if (!physical) {
        auto found = omap.find(rootID);
        if (found == omap.end()) {
            vol->notes.push_back("Filsystemets rodtræ kunne ikke findes.");
            return vol;
        }
        rootBlock = found->second;
    }

    TreeRecords tree = readTree(*this, rootBlock, physical, omap, name, progress);
    if (tree.damaged > 0) vol->notes.push_back(std::to_string(tree.damaged) + " beskadigede træknuder blev sprunget over.");

    // Entries in folder 1 and entries for reserved ids (the root, the private
    // folder) name nothing to show.
    std::erase_if(tree.entries, [](const DirRec& e) { return e.parent == 1 || e.fileID < 4; });

    TreeAssembler<uint64_t> folders(apfs::rootFolderID, root, false);
    placeEntries(folders, tree, root, base, blockSize);
    folders.finish(false);

    std::unordered_set<uint64_t> live;
    live.reserve(tree.inodes.size());
    for (const auto& [id, inode] : tree.inodes) live.insert(id);
    std::unordered_map<uint64_t, FileNodePtr> dirs;
    dirs.reserve(folders.entries().size());
    for (const auto& folder : folders.entries()) dirs.emplace(folder.id, folder.node);
    vol->deepContext = std::make_shared<APFSDeepInfo>(base, blockSize, blockCount, std::move(live), std::move(dirs));
    return vol;
}

}  // namespace sovanta

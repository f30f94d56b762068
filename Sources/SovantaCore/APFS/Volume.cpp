// Volumes of a container: volume superblocks, the file-system tree walk and
// the folder tree with placed file data.
#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "SovantaCore/APFS.h"
#include "SovantaCore/APFS/Records.h"
#include "SovantaCore/Binary.h"

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
            std::optional<uint64_t> offset;
            if (record.physical != 0) offset = apfs::byteOffset(base, record.physical, blockSize);
            extents.push_back(Extent{offset, length});
            p = o + length;
        }
    }
    if (p < size) {
        extents.push_back(Extent{std::nullopt, size - p});
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

    // Walk the tree depth-first, every block once.
    std::unordered_map<uint64_t, Inode> inodes;
    std::vector<DirRec> entries;
    std::unordered_map<uint64_t, std::vector<FileExtentRecord>> extents;
    std::vector<std::pair<uint64_t, int>> stack{{rootBlock, 0}};
    std::unordered_set<uint64_t> visited;
    int64_t nodesRead = 0, damaged = 0;
    while (!stack.empty()) {
        auto [number, depth] = stack.back();
        stack.pop_back();
        if (depth >= maxTreeDepth || !visited.insert(number).second) continue;
        if (progress && progress->isCancelled()) break;
        ++nodesRead;
        if (progress && nodesRead % 500 == 0)
            progress->report(0, "Læser APFS-træ \"" + name + "\" … " + std::to_string(nodesRead) + " knuder");
        auto offset = blockOffset(number);
        if (!offset) {
            ++damaged;
            continue;
        }
        Bytes bytes = readAt(*offset);
        auto node = parseNode(bytes, 16, 16);
        if (!node) {
            ++damaged;
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
                auto value = apfs::inodeValue(record.value);
                if (!value) continue;
                inodes[header->objectID] = *value;
            } else if (header->kind == apfs::kindDirEntry) {
                auto entry = apfs::dirEntry(record.key, record.value);
                entries.push_back(DirRec{header->objectID, std::move(entry.name), entry.fileID, entry.type});
            } else if (header->kind == apfs::kindFileExtent) {
                extents[header->objectID].push_back(apfs::fileExtent(record.key, record.value));
            }
        }
    }
    if (damaged > 0) vol->notes.push_back(std::to_string(damaged) + " beskadigede træknuder blev sprunget over.");

    // The folder tree. Entries in folder 1 and entries for reserved ids (the
    // root, the private folder) name nothing to show.
    std::erase_if(entries, [](const DirRec& e) { return e.parent == 1 || e.fileID < 4; });

    std::unordered_map<uint64_t, FileNodePtr> dirs{{apfs::rootFolderID, root}};
    std::unordered_map<uint64_t, uint64_t> parentOf;
    for (const auto& entry : entries) {
        if (entry.type != apfs::typeFolder) continue;
        auto folder = FileNode::make(entry.name, true, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
        folder->fsID = entry.fileID;
        if (auto inode = inodes.find(entry.fileID); inode != inodes.end()) {
            folder->created = inode->second.created;
            folder->modified = inode->second.modified;
        }
        dirs[entry.fileID] = folder;
        parentOf[entry.fileID] = entry.parent;
    }

    FileNodePtr orphans;
    auto orphanFolder = [&]() {
        if (!orphans) {
            orphans = FileNode::make("$Forældreløse filer", true, 0, EntryStatus::orphaned, Recoverability::unknown,
                                     NoData{});
        }
        return orphans;
    };

    // Whether a folder's chain of holding folders reaches the root without a
    // loop, a gap or the private folder; answers are remembered for the build.
    std::unordered_map<uint64_t, bool> reaches{{apfs::rootFolderID, true}};
    auto reachesRoot = [&](uint64_t id) {
        std::vector<uint64_t> passed;
        std::unordered_set<uint64_t> seen;
        bool answer = false;
        uint64_t current = id;
        while (true) {
            if (auto memo = reaches.find(current); memo != reaches.end()) {
                answer = memo->second;
                break;
            }
            if (!seen.insert(current).second) break;
            passed.push_back(current);
            auto up = parentOf.find(current);
            if (up == parentOf.end() || up->second == apfs::privateFolderID) break;
            current = up->second;
        }
        for (uint64_t p : passed) reaches[p] = answer;
        return answer;
    };

    for (const auto& entry : entries) {
        if (entry.type != apfs::typeFolder) continue;
        const auto& folder = dirs[entry.fileID];
        if (folder->parent()) continue;
        if (entry.fileID == apfs::rootFolderID || entry.parent == apfs::privateFolderID) continue;
        // A folder named by several entries hangs where the last entry puts
        // it, the link that the loop test above followed; hanging it under an
        // earlier entry's folder could make it its own ancestor.
        if (parentOf[entry.fileID] != entry.parent) continue;
        if (!reachesRoot(entry.fileID)) {
            orphanFolder()->add(folder);
            continue;
        }
        auto holder = dirs.find(entry.parent);
        (holder != dirs.end() ? holder->second : orphanFolder())->add(folder);
    }

    for (const auto& entry : entries) {
        if (entry.type != apfs::typeRegular || entry.parent == apfs::privateFolderID) continue;
        auto file = FileNode::make(entry.name, false, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
        file->fsID = entry.fileID;
        auto inode = inodes.find(entry.fileID);
        if (inode == inodes.end()) {
            file->recoverability = Recoverability::poor;
            file->note = "Inode mangler";
        } else {
            file->created = inode->second.created;
            file->modified = inode->second.modified;
            file->size = inode->second.size;
            if (inode->second.bsdFlags & apfs::compressedFlag) {
                file->note = noteCompressed;
                file->recoverability = Recoverability::poor;
                file->data = std::vector<Extent>{};
            } else {
                auto found = extents.find(inode->second.privateID);
                placeLiveData(*file, found != extents.end() ? found->second : std::vector<FileExtentRecord>{}, base,
                              blockSize);
            }
        }
        auto holder = dirs.find(entry.parent);
        if (holder != dirs.end() && (holder->second == root || holder->second->parent()))
            holder->second->add(file);
        else
            orphanFolder()->add(file);
    }

    if (orphans) root->add(orphans);
    root->sortChildren();

    std::unordered_set<uint64_t> live;
    live.reserve(inodes.size());
    for (const auto& [id, inode] : inodes) live.insert(id);
    vol->deepContext = std::make_shared<APFSDeepInfo>(base, blockSize, blockCount, std::move(live), std::move(dirs));
    return vol;
}

}  // namespace sovanta

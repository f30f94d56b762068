#include "SovantaCore/APFS.h"
#include "SovantaCore/ExFAT.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/HFSPlus.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Scanner.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace sovanta::VolumeLoader {

namespace {

constexpr uint64_t uint64Max = std::numeric_limits<uint64_t>::max();

const char* const notePartlyPastEnd = "Dele af filen ligger ud over kildens slutning";
const char* const notePastEnd = "Filen ligger ud over kildens slutning";

std::vector<VolumePtr> list(std::optional<VolumePtr> volume) {
    if (!volume) return {};
    return {*volume};
}

// The reader of the type.
std::vector<VolumePtr> read(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress, const Bytes* boot) {
    switch (type) {
        case FileSystemType::fat12:
        case FileSystemType::fat16:
        case FileSystemType::fat32: return list(FATParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::exfat: return list(ExFATParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::ntfs: return list(NTFSParser::parse(source, offset, origin, progress, boot));
        case FileSystemType::hfsplus: return list(HFSPlusParser::parse(source, offset, origin, progress));
        case FileSystemType::apfs: return APFSParser::parse(source, offset, origin, progress);
        case FileSystemType::ext:
        case FileSystemType::carved:
        case FileSystemType::unknown: return {};
    }
    return {};
}

void addNote(FileNode& node, const std::string& text) { node.note = node.note ? *node.note + ". " + text : text; }

void lowerTo(FileNode& node, Recoverability rating) { node.recoverability = std::min(node.recoverability, rating); }

// Where the first size bytes of a file lie on the source, as far as its data
// places them: the first placed byte and the end of the furthest placed byte,
// both absent when nothing is placed. An end that overflows is uint64Max.
struct Placement {
    std::optional<uint64_t> start;
    uint64_t end = 0;

    void add(uint64_t offset, uint64_t length) {
        if (length == 0) return;
        if (!start) start = offset;
        end = std::max(end, offset > uint64Max - length ? uint64Max : offset + length);
    }
};

uint64_t saturatingMultiply(uint64_t a, uint64_t b) { return a != 0 && b > uint64Max / a ? uint64Max : a * b; }
uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > uint64Max - b ? uint64Max : a + b; }

Placement placement(const FileNode& node) {
    Placement out;
    uint64_t position = 0;  // bytes of the file covered so far
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data)) {
        for (auto& extent : *extents) {
            if (position >= node.size) break;
            const uint64_t length = std::min(extent.length, node.size - position);
            if (extent.offset) out.add(*extent.offset, length);
            position += length;
        }
    } else if (auto* compressed = std::get_if<CompressedRuns>(&node.data)) {
        for (auto& run : compressed->runs) {
            if (position >= node.size) break;
            const uint64_t length = std::min(saturatingMultiply(run.clusters, compressed->clusterSize),
                                             node.size - position);
            if (run.lcn)
                out.add(saturatingAdd(compressed->volumeOffset, saturatingMultiply(*run.lcn, compressed->clusterSize)),
                        length);
            position += length;
        }
    }
    return out;
}

}  // namespace

void bound(const DiskSource& source, Volume& volume) {
    if (volume.offset > source.size || volume.size > source.size - volume.offset) {
        const uint64_t present = volume.offset < source.size ? source.size - volume.offset : 0;
        volume.notes.push_back("Filsystemet er større end kilden: kun " + formatBytes(present) + " af " +
                               formatBytes(volume.size) +
                               " er med. Filer ud over kildens slutning kan ikke gendannes helt.");
    }
    bound(source, volume, *volume.root);
}

void bound(const DiskSource& source, const Volume& volume, FileNode& top) {
    // The volume's size is its own claim, which a damaged or forged boot
    // sector or volume header makes as large as it likes: no file holds more
    // than the source holds from the volume's start.
    const uint64_t held = volume.offset < source.size ? source.size - volume.offset : 0;
    const uint64_t cap = std::min(volume.size, held);
    std::vector<FileNode*> stack{&top};
    std::unordered_set<int64_t> seen;
    while (!stack.empty()) {
        FileNode* node = stack.back();
        stack.pop_back();
        if (!node || !seen.insert(node->id).second) continue;
        for (auto& child : node->children()) stack.push_back(child.get());
        if (node->isDirectory) continue;

        if (node->size > cap) {
            const std::string larger = cap == volume.size ? "filsystemet" : "det, kilden rummer fra filsystemets start";
            addNote(*node, "Størrelsen " + std::to_string(node->size) + " bytes er større end " + larger +
                               " – sat til " + std::to_string(cap) + " bytes");
            node->size = cap;
            lowerTo(*node, Recoverability::partial);
        }
        const Placement placed = placement(*node);
        if (!placed.start || placed.end <= source.size) continue;
        if (*placed.start >= source.size) {
            addNote(*node, notePastEnd);
            lowerTo(*node, Recoverability::poor);
        } else {
            addNote(*node, notePartlyPastEnd);
            lowerTo(*node, Recoverability::partial);
        }
    }
}

std::vector<VolumePtr> load(DiskSource& source, FileSystemType type, uint64_t offset, const std::string& origin,
                            WorkProgress* progress, const Bytes* boot) {
    std::vector<VolumePtr> volumes = read(source, type, offset, origin, progress, boot);
    for (auto& volume : volumes) bound(source, *volume);
    return volumes;
}

}  // namespace sovanta::VolumeLoader

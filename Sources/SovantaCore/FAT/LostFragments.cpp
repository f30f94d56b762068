#include <algorithm>
#include <cstring>

#include "SovantaCore/FAT.h"
#include "SovantaCore/FAT/Context.h"
#include "SovantaCore/FAT/Layout.h"
#include "SovantaCore/FAT/Walker.h"

namespace sovanta::FATParser {

using namespace fat;

namespace {

// The clusters of the data area that hold a listed sector and that no known
// directory occupies, ascending, each once.
std::vector<uint32_t> unclaimedClusters(const FATGeometry& g, const std::unordered_set<uint32_t>& claimed,
                                        const std::vector<uint64_t>& sectors) {
    const uint64_t dataEnd = g.dataOffset + uint64_t{g.clusterCount} * g.clusterSize;
    std::vector<uint32_t> candidates;
    for (uint64_t s : sectors) {
        if (s < g.dataOffset || s >= dataEnd) continue;
        uint32_t cluster = static_cast<uint32_t>((s - g.dataOffset) / g.clusterSize + 2);
        if (!claimed.count(cluster)) candidates.push_back(cluster);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    return candidates;
}

}  // namespace

std::optional<FileNodePtr> lostEntries(DiskSource& source, Volume& volume, const std::vector<uint64_t>& sectors,
                                       WorkProgress* progress) {
    auto* held = std::any_cast<std::shared_ptr<FATDeepInfo>>(&volume.deepContext);
    if (!held || !*held) return std::nullopt;
    FATDeepInfo& info = **held;
    auto candidates = unclaimedClusters(info.geometry, info.claimed, sectors);
    if (candidates.empty()) return std::nullopt;

    // The fragments' files are rated against the FAT, read again for them.
    auto ctx = FATContext::load(source, info.geometry);
    auto folder = FileNode::make(lostFolderName, true, 0, EntryStatus::orphaned, Recoverability::unknown);
    FATWalker walker(*ctx, progress);
    walker.visited = info.claimed;
    walker.claimed = info.claimed;
    walker.inLostFragments = true;

    // Runs of consecutive clusters, at most a few dozen, are read as one directory.
    size_t i = 0;
    while (i < candidates.size()) {
        size_t j = i + 1;
        while (j < candidates.size() && candidates[j] == candidates[j - 1] + 1 && j - i < maxFragmentRun) ++j;
        if (progress && progress->isCancelled()) break;
        Bytes bytes;
        for (size_t k = i; k < j; ++k) {
            if (!walker.claimed.insert(candidates[k]).second) continue;
            // A subfolder met later whose cluster was read here as a fragment
            // is not read again: its entries are already in the folder.
            walker.visited.insert(candidates[k]);
            Bytes piece = ctx->readCluster(candidates[k]);
            bytes.insert(bytes.end(), piece.begin(), piece.end());
        }
        auto folders = walker.parseEntries(bytes, folder, true, false);
        Bytes().swap(bytes);
        walker.readFolders(folders, 1);
        i = j;
    }
    info.claimed = std::move(walker.claimed);

    if (folder->children().empty()) return std::nullopt;
    folder->sortChildren();
    return folder;
}

bool looksLikeDirectorySector(ByteSpan b, size_t offset) {
    const uint8_t* p = b.data() + offset;
    int passed = 0;
    for (int i = 0; i < 16; ++i) {
        const uint8_t* e = p + 32 * i;
        uint8_t first = e[0];
        if (first == 0) {
            // The end of the folder: at least three entries before it, and
            // nothing but zeros after it.
            if (i < 3 || passed < 1) return false;
            for (const uint8_t* q = e; q < p + 512; q += 8) {
                uint64_t word;
                std::memcpy(&word, q, 8);
                if (word != 0) return false;
            }
            return true;
        }
        uint8_t attributes = e[11];
        if (attributes == 0x0F) {
            if (e[12] != 0 || e[26] != 0 || e[27] != 0) return false;
            continue;
        }
        if (attributes > 0x3F) return false;
        // Names may begin with a letter of the OEM code page (Æ is 0x92 in code
        // page 850), so bytes from 0x80 up pass as they do in the names' test.
        if (!(first == 0x05 || first == 0x2E || (first >= 0x21 && first <= 0x7E) || first >= 0x80)) return false;
        for (int k = 1; k <= 10; ++k) {
            uint8_t c = e[k];
            if (c < 0x20) return false;
            switch (c) {
                case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|': return false;
                default: break;
            }
        }
        if (e[dirCreateTenths] > 199) return false;
        ++passed;
    }
    return passed >= 1;
}

}  // namespace sovanta::FATParser

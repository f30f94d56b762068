// The APFS reader's internals: the opened container and what the deep scan
// keeps of a volume whose tree was read. For the reader's own files, its tests
// and fuzzers; everyone else uses APFSParser.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// What the deep scan needs of a volume whose tree was read: the container's
// geometry, the inode ids still alive and the folder nodes by file id (2 is the
// root). Held in Volume::deepContext as std::shared_ptr<APFSDeepInfo>.
class APFSDeepInfo {
public:
    APFSDeepInfo(uint64_t containerBase, uint64_t containerBlockSize, uint64_t containerBlockCount,
                 std::unordered_set<uint64_t> liveInodeIds, std::unordered_map<uint64_t, FileNodePtr> folders)
        : base(containerBase),
          blockSize(containerBlockSize),
          blockCount(containerBlockCount),
          liveInodes(std::move(liveInodeIds)),
          dirs(std::move(folders)) {}

    const uint64_t base;
    const uint64_t blockSize;
    const uint64_t blockCount;
    const std::unordered_set<uint64_t> liveInodes;
    const std::unordered_map<uint64_t, FileNodePtr> dirs;
};

// One APFS container, opened for the length of one read. Every block is read
// in thorough mode; fields outside the bytes read decode as 0.
class APFSContainer {
public:
    struct NodeRecord {
        Bytes key;
        Bytes value;
    };
    struct Node {
        int level = 0;
        std::vector<NodeRecord> records;
    };

    // The container whose block 0 lies at base, or nothing when no container
    // superblock with a usable block size stands there.
    static std::shared_ptr<APFSContainer> open(DiskSource& src, uint64_t base);

    DiskSource& src;
    const uint64_t base;
    const uint64_t blockSize;
    const uint64_t blockCount;  // as the superblock states it; 0 when unknown
    Bytes sb;                   // the chosen container superblock
    uint64_t xid;               // its transaction id; the largest value when none was valid
    std::vector<std::string> notes;

    // The byte offset of block number b when the whole block lies inside the
    // container and the source; nothing for block 0 and every other block.
    std::optional<uint64_t> blockOffset(uint64_t b) const;
    Bytes readAt(uint64_t offset) const;

    // One B-tree node; fixedKey and fixedValue are the key and leaf value
    // lengths of a node with entries of fixed size.
    std::optional<Node> parseNode(ByteSpan block, int fixedKey, int fixedValue) const;
    // Object id to physical block, the newest mapping up to maxXID.
    std::unordered_map<uint64_t, uint64_t> loadOMap(uint64_t block, uint64_t maxXID) const;

    // One volume per volume superblock the container's object map reaches.
    std::vector<VolumePtr> volumes(const std::string& origin, WorkProgress* progress);

    static std::string roleName(uint16_t role);

    APFSContainer(DiskSource& src, uint64_t base, uint64_t blockSize, uint64_t blockCount);

private:
    VolumePtr volume(const Bytes& block, const std::string& origin, WorkProgress* progress);
};

}  // namespace sovanta

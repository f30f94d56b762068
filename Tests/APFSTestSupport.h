// Helpers for the APFS tests: a small container builder, the records of a
// file-system tree, and blocks of the fixture images.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "TestSupport.h"

namespace sovanta::test {

// The committed image of a fixture, read once.
inline const Bytes& fixtureBytes(const std::string& name) {
    static std::map<std::string, Bytes> cache;
    auto& bytes = cache[name];
    if (bytes.empty()) bytes = readBytes(fixtureImage(name));
    return bytes;
}

// A copy of 4096-byte block number n of an image.
inline Bytes blockOf(const Bytes& image, uint64_t n) {
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(n * 4096),
                 image.begin() + static_cast<std::ptrdiff_t>(n * 4096 + 4096));
}

inline void put16(Bytes& b, size_t at, uint16_t v) { putLE(b, at, v, 2); }
inline void put32(Bytes& b, size_t at, uint32_t v) { putLE(b, at, v, 4); }
inline void put64(Bytes& b, size_t at, uint64_t v) { putLE(b, at, v, 8); }

// Writes the Fletcher-64 checksum of a block (or of blockSize bytes at offset).
inline void seal(Bytes& b, size_t offset = 0, size_t blockSize = 0) {
    if (blockSize == 0) blockSize = b.size() - offset;
    put64(b, offset, APFSParser::fletcher64(ByteSpan(b).subspan(offset, blockSize)));
}

// MARK: Records of a file-system tree

struct Record {
    Bytes key;
    Bytes value;
};

inline Bytes le64(uint64_t v) {
    Bytes b(8);
    put64(b, 0, v);
    return b;
}

inline Record inodeRecord(uint64_t id, uint64_t parent, uint64_t privateID, uint64_t size, uint32_t bsdFlags = 0,
                          uint64_t modifiedNs = 0) {
    Record r{le64((3ULL << 60) | id), Bytes(92 + 4 + 4 + 40, 0)};
    put64(r.value, 0, parent);
    put64(r.value, 8, privateID);
    put64(r.value, 16, modifiedNs);
    put64(r.value, 24, modifiedNs);
    put32(r.value, 68, bsdFlags);
    put16(r.value, 80, 0100644);
    put16(r.value, 92, 1);     // one extended field
    put16(r.value, 94, 44);    // bytes used
    r.value[96] = 8;           // the data stream
    put16(r.value, 98, 40);    // its size
    put64(r.value, 100, size); // logical size first
    return r;
}

// A directory entry in the layout with name length and hash (or with a plain
// 16-bit length); the name is stored with its terminating zero.
inline Record dirRecord(uint64_t parent, const std::string& name, uint64_t fileID, uint16_t type,
                        bool hashedLayout = true) {
    Record r;
    r.key = le64((9ULL << 60) | parent);
    Bytes raw(name.begin(), name.end());
    raw.push_back(0);
    if (hashedLayout) {
        r.key.resize(12 + raw.size());
        put32(r.key, 8, static_cast<uint32_t>(raw.size()) | (0x2ABCDu << 10));
        std::memcpy(r.key.data() + 12, raw.data(), raw.size());
    } else {
        r.key.resize(10 + raw.size());
        put16(r.key, 8, static_cast<uint16_t>(raw.size()));
        std::memcpy(r.key.data() + 10, raw.data(), raw.size());
    }
    r.value.assign(18, 0);
    put64(r.value, 0, fileID);
    put16(r.value, 16, type);
    return r;
}

inline Record extentRecord(uint64_t privateID, uint64_t logical, uint64_t length, uint64_t physical) {
    Record r{le64((8ULL << 60) | privateID), {}};
    r.key.resize(16);
    put64(r.key, 8, logical);
    r.value.assign(24, 0);
    put64(r.value, 0, length | (0x5AULL << 56));  // flags in the top byte are ignored
    put64(r.value, 8, physical);
    return r;
}

// A sealed B-tree node. type 2 is a root object, 3 a child; flags as on disk
// (1 root, 2 leaf, 4 fixed-size entries).
inline Bytes makeNode(const std::vector<Record>& records, uint16_t flags, uint16_t level, uint64_t xid,
                      uint32_t subtype = 14, uint16_t type = 0, size_t blockSize = 4096) {
    if (type == 0) type = (flags & 1) ? 2 : 3;
    Bytes b(blockSize, 0);
    put64(b, 8, 1000 + xid);
    put64(b, 16, xid);
    put32(b, 24, type);
    put32(b, 28, subtype);
    put16(b, 32, flags);
    put16(b, 34, level);
    put32(b, 36, static_cast<uint32_t>(records.size()));
    bool fixed = flags & 4;
    size_t tocLength = records.size() * (fixed ? 4 : 8);
    put16(b, 40, 0);
    put16(b, 42, static_cast<uint16_t>(tocLength));
    size_t keyStart = 56 + tocLength;
    size_t valueEnd = blockSize - ((flags & 1) ? 40 : 0);
    size_t keyPos = 0, valuePos = 0;
    size_t used = keyStart;
    for (const auto& r : records) used += r.key.size() + r.value.size();
    if (used > valueEnd) throw std::length_error("records do not fit in one node");
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        std::memcpy(b.data() + keyStart + keyPos, r.key.data(), r.key.size());
        valuePos += r.value.size();
        std::memcpy(b.data() + valueEnd - valuePos, r.value.data(), r.value.size());
        size_t entry = 56 + i * (fixed ? 4 : 8);
        if (fixed) {
            put16(b, entry, static_cast<uint16_t>(keyPos));
            put16(b, entry + 2, static_cast<uint16_t>(valuePos));
        } else {
            put16(b, entry, static_cast<uint16_t>(keyPos));
            put16(b, entry + 2, static_cast<uint16_t>(r.key.size()));
            put16(b, entry + 4, static_cast<uint16_t>(valuePos));
            put16(b, entry + 6, static_cast<uint16_t>(r.value.size()));
        }
        keyPos += r.key.size();
    }
    seal(b);
    return b;
}

inline Record omapRecord(uint64_t oid, uint64_t xid, uint64_t physical, uint32_t flags = 0) {
    Record r{Bytes(16), Bytes(16)};
    put64(r.key, 0, oid);
    put64(r.key, 8, xid);
    put32(r.value, 0, flags);
    put32(r.value, 4, 4096);
    put64(r.value, 8, physical);
    return r;
}

// MARK: A small container built block by block

// Block 0 the container superblock, 1 its object map, 2 that map's tree, 3 the
// volume superblock, 4 the volume's object map, 5 its tree, 6 the root of the
// file-system tree; the rest is free for the test.
struct MiniAPFS {
    static constexpr size_t bs = 4096;
    std::vector<Bytes> blocks;
    uint64_t xid = 10;

    explicit MiniAPFS(size_t count = 64) : blocks(count, Bytes(bs, 0)) {
        Bytes& nx = blocks[0];
        put64(nx, 16, xid);
        put32(nx, 24, 1);
        putText(nx, 32, "NXSB");
        put32(nx, 36, bs);
        put64(nx, 40, count);
        put64(nx, 160, 1);
        put32(nx, 180, 1);
        put64(nx, 184, 1026);
        blocks[1] = omapObject(2);
        blocks[2] = makeNode({omapRecord(1026, xid, 3)}, 7, 0, xid, 11);
        Bytes& vol = blocks[3];
        putText(vol, 32, "APSB");
        put64(vol, 128, 4);
        put64(vol, 136, 1028);
        put64(vol, 264, 1);  // unencrypted
        putText(vol, 704, "Mini");
        blocks[4] = omapObject(5);
        blocks[5] = makeNode({omapRecord(1028, xid, 6)}, 7, 0, xid, 11);
        setTree({});
    }

    static Bytes omapObject(uint64_t treeBlock) {
        Bytes b(bs, 0);
        put32(b, 24, 0x4000000B);
        put64(b, 48, treeBlock);
        seal(b);
        return b;
    }

    // The live tree as one root leaf; the root folder's and private folder's
    // entries come first, as on a real volume.
    void setTree(std::vector<Record> records) {
        std::vector<Record> all{dirRecord(1, "private-dir", 3, 4), dirRecord(1, "root", 2, 4),
                                inodeRecord(2, 1, 2, 0), inodeRecord(3, 1, 3, 0)};
        all.insert(all.end(), records.begin(), records.end());
        blocks[6] = makeNode(all, 3, 0, xid);
    }

    Bytes image() {
        seal(blocks[0]);
        Bytes out;
        out.reserve(blocks.size() * bs);
        for (const auto& b : blocks) out.insert(out.end(), b.begin(), b.end());
        return out;
    }
};

// Offsets of every 4096-byte block of a source that passes the leaf test, as
// the deep sweep collects them.
inline std::vector<uint64_t> leafOffsets(DiskSource& src) {
    std::vector<uint64_t> out;
    for (uint64_t o = 0; o + 4096 <= src.size; o += 4096) {
        Bytes b = src.read(o, 4096);
        if (b[28] == 14 && APFSParser::looksLikeFSTreeLeaf(b, 0, 4096)) out.push_back(o);
    }
    return out;
}

}  // namespace sovanta::test

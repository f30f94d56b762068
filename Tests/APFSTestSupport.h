// Helpers for the APFS tests: in-memory sources, a small container builder,
// manifests of the fixture images and content hashes.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"

namespace apfstest {

using namespace sovanta;

inline std::string fixtureImage(const std::string& name) {
    return std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img";
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A read-only source over bytes in memory (an anonymous memory file, so
// nothing is written to disk), with some 4096-byte blocks replaced. Runs of
// zeros are left as holes.
inline DiskSourcePtr memorySource(const Bytes& bytes, const std::map<uint64_t, Bytes>& blocks = {}) {
    int fd = memfd_create("apfs-test", 0);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) return nullptr;
    auto write = [&](const uint8_t* p, size_t length, uint64_t at) {
        return pwrite(fd, p, length, static_cast<off_t>(at)) == static_cast<ssize_t>(length);
    };
    constexpr size_t piece = 65536;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        size_t length = std::min(piece, bytes.size() - at);
        const uint8_t* p = bytes.data() + at;
        if (std::all_of(p, p + length, [](uint8_t b) { return b == 0; })) continue;
        if (!write(p, length, at)) return nullptr;
    }
    for (const auto& [number, block] : blocks)
        if (!write(block.data(), block.size(), number * 4096)) return nullptr;
    return std::make_shared<DiskSource>(fd, "memory", "memory", bytes.size(), 512, false, std::nullopt, nullptr);
}

// The committed image of a fixture, read once.
inline const Bytes& fixtureBytes(const std::string& name) {
    static std::map<std::string, Bytes> cache;
    auto& bytes = cache[name];
    if (bytes.empty()) bytes = readFile(fixtureImage(name));
    return bytes;
}

// A copy of 4096-byte block number n of an image.
inline Bytes blockOf(const Bytes& image, uint64_t n) {
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(n * 4096),
                 image.begin() + static_cast<std::ptrdiff_t>(n * 4096 + 4096));
}

inline void put16(Bytes& b, size_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putText(Bytes& b, size_t at, const std::string& s) { std::memcpy(b.data() + at, s.data(), s.size()); }

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

// MARK: Trees, manifests and hashes

inline void collect(const FileNodePtr& node, const std::string& prefix, std::map<std::string, FileNodePtr>& out) {
    for (const auto& child : node->children()) {
        std::string path = prefix + child->name + (child->isDirectory ? "/" : "");
        out[path] = child;
        if (child->isDirectory) collect(child, path, out);
    }
}
inline std::map<std::string, FileNodePtr> flatten(const FileNodePtr& root) {
    std::map<std::string, FileNodePtr> out;
    collect(root, "", out);
    return out;
}

struct ManifestRow {
    std::string path, size, sha256, status, mtime, fragments, note;
};
inline std::vector<ManifestRow> manifest(const std::string& name) {
    std::ifstream in(std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/" + name + "/" + name + ".manifest.tsv");
    std::vector<ManifestRow> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) f.push_back(field);
        f.resize(7);
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return rows;
}

inline std::string isoUTC(const Date& date) {
    std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

class SHA256 {
public:
    void update(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            buffer_[fill_++] = data[i];
            if (fill_ == 64) {
                block(buffer_.data());
                fill_ = 0;
            }
        }
        total_ += length;
    }
    std::string hex() {
        uint64_t bits = total_ * 8;
        uint8_t pad = 0x80;
        update(&pad, 1);
        uint8_t zero = 0;
        while (fill_ != 56) update(&zero, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        update(length, 8);
        std::string out;
        char text[9];
        for (uint32_t v : h_) {
            std::snprintf(text, sizeof text, "%08x", v);
            out += text;
        }
        return out;
    }

private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void block(const uint8_t* p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) |
                   p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
        h_[4] += e;
        h_[5] += f;
        h_[6] += g;
        h_[7] += h;
    }
    std::array<uint32_t, 8> h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<uint8_t, 64> buffer_{};
    size_t fill_ = 0;
    uint64_t total_ = 0;
};

// The sha256 of a file's bytes as its extents place them (holes as zeros).
inline std::string contentHash(DiskSource& src, const FileNode& file) {
    SHA256 sha;
    const auto* extents = std::get_if<std::vector<Extent>>(&file.data);
    if (!extents) return sha.hex();
    for (const auto& e : *extents) {
        uint64_t done = 0;
        while (done < e.length) {
            int64_t piece = static_cast<int64_t>(std::min<uint64_t>(e.length - done, 1 << 20));
            Bytes bytes = e.offset ? src.read(*e.offset + done, piece) : Bytes(static_cast<size_t>(piece), 0);
            sha.update(bytes.data(), bytes.size());
            done += static_cast<uint64_t>(piece);
        }
    }
    return sha.hex();
}

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

}  // namespace apfstest

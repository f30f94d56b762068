// Helpers for the partition, FAT and scan tests: fixtures and their manifests,
// sources made from bytes in a temporary folder, and SHA-256 of file contents.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Model.h"

namespace sovanta::testing {

inline std::string fixtureImage(const std::string& name) {
    return std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img";
}

inline DiskSourcePtr openFixture(const std::string& name) { return SourceOpener::openImage(fixtureImage(name)); }

struct ManifestRow {
    std::string path, size, sha256, status, mtime, fragments, note;
};

inline std::vector<ManifestRow> readManifest(const std::string& name) {
    std::ifstream in(std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/" + name + "/" + name + ".manifest.tsv");
    std::vector<ManifestRow> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) f.push_back(field);
        while (f.size() < 7) f.push_back("");
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return rows;
}

// A folder under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sovanta-test-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        path_ = ::mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A source over the given bytes (kept in a temporary file) with the given
// sector size.
class ByteSource {
public:
    explicit ByteSource(const Bytes& bytes, int64_t sectorSize = 512) {
        std::string file = dir_.path() + "/image.img";
        {
            std::ofstream out(file, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        source_ = std::make_shared<DiskSource>(fd, file, "image.img", bytes.size(), sectorSize, false,
                                               std::nullopt, nullptr);
    }
    DiskSource& operator*() const { return *source_; }
    DiskSource* operator->() const { return source_.get(); }
    const DiskSourcePtr& ptr() const { return source_; }

private:
    TempDir dir_;
    DiskSourcePtr source_;
};

inline void putLE(Bytes& b, size_t offset, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) b.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
}
inline void putText(Bytes& b, size_t offset, const std::string& text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
}

// SHA-256 (FIPS 180-4), for comparing file contents with the manifests.
inline std::string sha256Hex(const Bytes& data) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Bytes m = data;
    uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t(m[block + 4 * i]) << 24) | (uint32_t(m[block + 4 * i + 1]) << 16) |
                   (uint32_t(m[block + 4 * i + 2]) << 8) | uint32_t(m[block + 4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    char out[65];
    for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
    return std::string(out, 64);
}

// A file's bytes as the file reader streams them from its extents.
inline Bytes readThroughExtents(DiskSource& source, const FileNode& node) {
    Bytes out;
    FileReader::stream(node, source, FileReader::defaultChunkSize, std::nullopt, [&](const Bytes& piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
    return out;
}

// Every node below root by its path ("/"-joined, folders without a trailing slash).
inline std::multimap<std::string, FileNodePtr> nodesByPath(const FileNodePtr& root) {
    std::multimap<std::string, FileNodePtr> out;
    std::vector<std::pair<FileNodePtr, std::string>> stack;
    for (auto& c : root->children()) stack.push_back({c, c->name});
    while (!stack.empty()) {
        auto [node, path] = stack.back();
        stack.pop_back();
        out.emplace(path, node);
        for (auto& c : node->children()) stack.push_back({c, path + "/" + c->name});
    }
    return out;
}

// Sets TZ for one scope: FAT times are local times, and the manifests were
// written with TZ=UTC.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

// "2024-03-14T11:01:08" (with or without a final Z) as UTC.
inline std::optional<Date> parseManifestTime(const std::string& text) {
    std::tm tm{};
    if (!::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

// The node of a manifest row: the exact path, or, for a deleted entry that kept
// only its short name, the path whose last name begins with "_" (the first byte
// of a deleted short name is gone).
template <typename T>
T findRow(const std::multimap<std::string, T>& nodes, std::string path, bool deleted) {
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (auto it = nodes.find(path); it != nodes.end()) return it->second;
    if (!deleted) return T();
    size_t slash = path.rfind('/');
    size_t first = slash == std::string::npos ? 0 : slash + 1;
    size_t length = 1;
    while (first + length < path.size() && (static_cast<uint8_t>(path[first + length]) & 0xC0) == 0x80) ++length;
    path.replace(first, length, "_");
    auto it = nodes.find(path);
    return it == nodes.end() ? T() : it->second;
}

// Compares a FAT volume with the manifest rows under prefix ("" or "p1:"):
// names, sizes, status, times, fragments, contents, and the ratings and notes
// the reader gives for each status. Every node of the tree must be a row.
inline void expectFATVolumeMatchesManifest(DiskSource& source, const Volume& volume, const std::string& fixture,
                                           const std::string& prefix = "") {
    ScopedTimeZone utc("UTC");
    auto nodes = nodesByPath(volume.root);
    std::set<const FileNode*> matched;
    size_t rows = 0;
    for (auto& row : readManifest(fixture)) {
        if (row.path == "-" || row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;
        std::string path = row.path.substr(prefix.size());
        SCOPED_TRACE(fixture + ": " + row.path);
        ++rows;
        bool deleted = row.status == "deleted";
        ASSERT_TRUE(deleted || row.status == "existing") << "a FAT manifest row the quick scan cannot give";
        auto node = findRow(nodes, path, deleted);
        ASSERT_TRUE(node) << "not listed";
        matched.insert(node.get());
        EXPECT_EQ(node->status, deleted ? EntryStatus::deleted : EntryStatus::existing);
        EXPECT_EQ(node->isDirectory, path.back() == '/');
        if (row.mtime != "-") {
            EXPECT_EQ(node->modified, parseManifestTime(row.mtime));
        }
        if (node->isDirectory) continue;

        EXPECT_EQ(std::to_string(node->size), row.size);
        bool overwritten = row.note.rfind("overwritten", 0) == 0;
        if (overwritten) {
            // Its first cluster, or a later one, now belongs to another file.
            bool startReused = node->recoverability == Recoverability::poor &&
                               node->note == std::optional<std::string>("Startklyngen er genbrugt af en anden fil");
            bool partReused = node->recoverability == Recoverability::partial &&
                              node->note == std::optional<std::string>("Dele af filen kan være overskrevet");
            EXPECT_TRUE(startReused || partReused) << label(node->recoverability);
            continue;
        }
        EXPECT_EQ(node->recoverability, Recoverability::good);
        EXPECT_EQ(node->note, std::nullopt);
        auto* extents = std::get_if<std::vector<Extent>>(&node->data);
        ASSERT_TRUE(extents);
        EXPECT_EQ(std::to_string(extents->size()), row.fragments);
        EXPECT_EQ(sha256Hex(readThroughExtents(source, *node)), row.sha256);
    }
    EXPECT_GT(rows, 0u);
    for (auto& [path, node] : nodes) EXPECT_TRUE(matched.count(node.get())) << "not in the manifest: " << path;
}

}  // namespace sovanta::testing

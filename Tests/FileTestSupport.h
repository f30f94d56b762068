// Helpers for the file-reader and recovery tests: temporary folders, sources
// over bytes, fixture paths, an incremental SHA-256 and the run lists of The
// Sleuth Kit's istat output.
#pragma once

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::filetest {

inline std::string fixturePath(const std::string& name) {
    return std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img";
}
inline std::string fixtureSourcePath(const std::string& name, const std::string& suffix) {
    return std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/" + name + "/" + name + suffix;
}

// The rows of a tab-separated manifest, header line skipped.
inline std::vector<std::vector<std::string>> readTable(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, '\t')) fields.push_back(field);
        rows.push_back(fields);
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
        if (::mkdtemp(buffer.data())) path_ = buffer.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string readText(const std::filesystem::path& path) {
    Bytes b = readFile(path);
    return std::string(b.begin(), b.end());
}

// A source over the given bytes, kept in a temporary file.
class ByteSource {
public:
    explicit ByteSource(const Bytes& bytes, int64_t sectorSize = 512) {
        std::filesystem::path file = dir_.path() / "source.img";
        writeFile(file, bytes);
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        source_ = std::make_shared<DiskSource>(fd, file.string(), "source.img", bytes.size(), sectorSize, false,
                                               std::nullopt, nullptr);
    }
    DiskSource& operator*() const { return *source_; }
    DiskSource* operator->() const { return source_.get(); }

private:
    TempDir dir_;
    DiskSourcePtr source_;
};

// Bytes whose every position can be told apart from its neighbours.
inline Bytes patternBytes(size_t count, uint32_t seed = 1) {
    Bytes out(count);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// SHA-256 (FIPS 180-4) fed piece by piece, for comparing contents with the manifests.
class Sha256 {
public:
    void update(const uint8_t* data, size_t size) {
        total_ += size;
        while (size > 0) {
            size_t n = std::min(size, 64 - used_);
            std::memcpy(block_ + used_, data, n);
            used_ += n, data += n, size -= n;
            if (used_ == 64) compress(), used_ = 0;
        }
    }
    void update(const Bytes& b) { update(b.data(), b.size()); }
    std::string hex() {
        uint64_t bits = total_ * 8;
        uint8_t pad = 0x80;
        update(&pad, 1);
        uint8_t zero = 0;
        while (used_ != 56) update(&zero, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        update(length, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h_[i]);
        return std::string(out, 64);
    }
    static std::string of(const Bytes& b) {
        Sha256 s;
        s.update(b);
        return s.hex();
    }

private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void compress() {
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
            w[i] = (uint32_t(block_[4 * i]) << 24) | (uint32_t(block_[4 * i + 1]) << 16) |
                   (uint32_t(block_[4 * i + 2]) << 8) | uint32_t(block_[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
    }
    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block_[64] = {};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// The run list of an MFT entry's non-resident $DATA attribute as The Sleuth
// Kit's istat prints it: one cluster number per cluster, 0 for a sparse one
// (cluster 0 holds the boot sector, so no file's data lies there).
inline std::vector<CompressedRuns::Run> istatRuns(const std::string& tskPath, int entry) {
    std::ifstream in(tskPath);
    std::string line;
    std::string heading = "## istat ";
    bool inEntry = false, inData = false;
    std::vector<uint64_t> clusters;
    while (std::getline(in, line)) {
        if (line.rfind(heading, 0) == 0) {
            if (inData) break;
            std::stringstream ss(line.substr(heading.size()));
            std::string image;
            int number = -1;
            ss >> image >> number;
            inEntry = number == entry;
            continue;
        }
        if (!inEntry) continue;
        if (!inData) {
            inData = line.rfind("Type: $DATA", 0) == 0 && line.find("Non-Resident") != std::string::npos;
            continue;
        }
        if (line.empty()) break;
        std::stringstream ss(line);
        uint64_t c;
        while (ss >> c) clusters.push_back(c);
    }
    std::vector<CompressedRuns::Run> runs;
    for (uint64_t c : clusters) {
        std::optional<uint64_t> lcn = c == 0 ? std::nullopt : std::optional<uint64_t>(c);
        if (!runs.empty()) {
            auto& last = runs.back();
            bool follows = lcn ? (last.lcn && *last.lcn + last.clusters == *lcn) : !last.lcn;
            if (follows) {
                ++last.clusters;
                continue;
            }
        }
        runs.push_back({lcn, 1});
    }
    return runs;
}

}  // namespace sovanta::filetest

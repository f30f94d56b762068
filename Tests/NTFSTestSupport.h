// Helpers for the NTFS tests: fixtures and their manifests, images patched in
// memory, an incremental SHA-256, and the bytes of a found file.
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::ntfstest {

inline std::string fixtureImage(const std::string& name) {
    return std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img";
}

struct ManifestRow {
    std::string path, size, sha256, status, mtime, fragments, note;
    bool isFolder() const { return !path.empty() && path.back() == '/'; }
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

// A fixture's bytes in an anonymous memory file, open to patching, read
// through a DiskSource like the image itself. Nothing is written to disk.
class MemoryImage {
public:
    explicit MemoryImage(const std::string& name) : fd_(::memfd_create("sovanta-test-image", MFD_CLOEXEC)) {
        int in = ::open(fixtureImage(name).c_str(), O_RDONLY | O_CLOEXEC);
        off_t size = in >= 0 ? ::lseek(in, 0, SEEK_END) : 0;
        Bytes buffer(1 << 20);
        for (off_t done = 0; done < size;) {
            ssize_t n = ::pread(in, buffer.data(), buffer.size(), done);
            if (n <= 0) break;
            buffer.resize(static_cast<size_t>(n));
            write(static_cast<uint64_t>(done), buffer);
            done += n;
        }
        if (in >= 0) ::close(in);
        size_ = static_cast<uint64_t>(size);
    }
    explicit MemoryImage(const Bytes& bytes) : fd_(::memfd_create("sovanta-test-image", MFD_CLOEXEC)) {
        write(0, bytes);
        size_ = bytes.size();
    }
    ~MemoryImage() { ::close(fd_); }
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;

    void write(uint64_t offset, const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    void put(uint64_t offset, uint64_t value, int width) {
        Bytes b(static_cast<size_t>(width));
        for (int i = 0; i < width; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        write(offset, b);
    }
    void zero(uint64_t offset, uint64_t length) { write(offset, Bytes(static_cast<size_t>(length), 0)); }
    Bytes read(uint64_t offset, size_t length) const {
        Bytes b(length, 0);
        ssize_t n = ::pread(fd_, b.data(), length, static_cast<off_t>(offset));
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    // A source over the bytes; later patches show through it too.
    DiskSourcePtr source() const {
        return std::make_shared<DiskSource>(::dup(fd_), "memory.img", "memory.img", size_, 512, false, std::nullopt,
                                            nullptr);
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

// SHA-256 (FIPS 180-4), fed in pieces.
class Sha256 {
public:
    void update(const uint8_t* data, size_t length) {
        total_ += length;
        while (length > 0) {
            size_t take = std::min(length, size_t{64} - fill_);
            std::memcpy(block_ + fill_, data, take);
            fill_ += take, data += take, length -= take;
            if (fill_ == 64) {
                compress(block_);
                fill_ = 0;
            }
        }
    }
    void update(const Bytes& bytes) { update(bytes.data(), bytes.size()); }
    std::string hex() {
        uint64_t bits = total_ * 8;
        uint8_t pad = 0x80;
        update(&pad, 1);
        uint8_t zero = 0;
        while (fill_ != 56) update(&zero, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        update(length, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h_[i]);
        return std::string(out, 64);
    }

private:
    void compress(const uint8_t* m) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t(m[4 * i]) << 24) | (uint32_t(m[4 * i + 1]) << 16) | (uint32_t(m[4 * i + 2]) << 8) |
                   uint32_t(m[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], hh = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += hh;
    }
    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block_[64] = {};
    size_t fill_ = 0;
    uint64_t total_ = 0;
};

// Every node below root by its "/"-joined path; folders end with "/" as in
// the manifests.
inline std::map<std::string, FileNodePtr> nodesByPath(const FileNodePtr& root) {
    std::map<std::string, FileNodePtr> out;
    std::vector<std::pair<FileNodePtr, std::string>> stack;
    for (auto& c : root->children()) stack.push_back({c, ""});
    while (!stack.empty()) {
        auto [node, prefix] = stack.back();
        stack.pop_back();
        std::string path = prefix + node->name + (node->isDirectory ? "/" : "");
        out.emplace(path, node);
        for (auto& c : node->children()) stack.push_back({c, path});
    }
    return out;
}

// "2024-03-14T11:01:08Z" as an instant.
inline std::optional<Date> parseManifestTime(const std::string& text) {
    std::tm tm{};
    if (!::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

}  // namespace sovanta::ntfstest

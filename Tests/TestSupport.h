// Helpers shared by the tests: temporary folders, fixtures and their manifests,
// sources over bytes, SHA-256, file trees by path, and running the CLI.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <unicode/locid.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Model.h"

namespace sovanta::test {

// MARK: Files and folders

// A fresh folder under the temporary directory, removed with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sovanta-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    writeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// A file's bytes; empty when it cannot be read.
inline Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    Bytes bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool isRoot() { return geteuid() == 0; }

// While it lives, writes to files stop at the given size (EFBIG), as on a
// full destination.
struct WriteLimit {
    rlimit saved{};
    explicit WriteLimit(uint64_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~WriteLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
};

// MARK: Fixtures and manifests

// An unpacked fixture in the build tree, e.g. fixture("fat16/fat16.img").
inline std::string fixture(const std::string& relative) { return std::string(SOVANTA_FIXTURE_DIR) + "/" + relative; }
// A committed fixture file (manifests and the like), e.g. fixtureSource("fat16/fat16.manifest.tsv").
inline std::string fixtureSource(const std::string& relative) {
    return std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/" + relative;
}
// The unpacked image of fixture name: "<name>/<name>.img".
inline std::string fixtureImage(const std::string& name) { return fixture(name + "/" + name + ".img"); }
// A committed file of fixture name: "<name>/<name><suffix>".
inline std::string fixtureSourcePath(const std::string& name, const std::string& suffix) {
    return fixtureSource(name + "/" + name + suffix);
}

inline DiskSourcePtr openFixture(const std::string& name, const SourceOptions& options = {}) {
    return SourceOpener::openImage(fixtureImage(name), options);
}

// Options that make the given byte ranges fail to read with errorNumber.
inline SourceOptions withBadRanges(const std::vector<ByteRange>& ranges, int errorNumber = EIO) {
    SourceOptions options;
    for (auto& r : ranges) options.simulatedBadRanges.push_back({r.lower, r.upper, errorNumber});
    return options;
}

// The rows of a tab-separated table, header line skipped.
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

struct ManifestRow {
    std::string path, size, sha256, status, mtime, fragments, note;
    bool isFolder() const { return !path.empty() && path.back() == '/'; }
};

// The rows of a fixture's manifest; missing trailing fields are empty.
inline std::vector<ManifestRow> readManifest(const std::string& name) {
    std::vector<ManifestRow> rows;
    for (auto& f : readTable(fixtureSourcePath(name, ".manifest.tsv"))) {
        f.resize(7);
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return rows;
}

// A partition as its manifest row ("p1:") describes it: "partition 1: start
// sector 2048, 40960 sectors of 512 bytes, type e[, name 'X'], file system
// FAT16 (...)".
struct ManifestPartition {
    std::string prefix;  // "p1:", the start of the rows of its files
    int slot = 0;
    uint64_t startSector = 0, sectors = 0, sectorSize = 0;
    uint64_t offset = 0;      // its first byte on the disk
    uint64_t size = 0;        // the row's size
    std::string type;         // the MBR type ("e") or GPT type GUID
    std::string name;         // the GPT name, or empty
    std::string fileSystem;   // "FAT16", "NTFS", "exFAT", ..., or "-" (an extended partition's container)
};

// The partitions of a fixture's manifest, in the order of its rows.
inline std::vector<ManifestPartition> manifestPartitions(const std::string& name) {
    static const std::regex pattern(
        R"(partition (\d+): start sector (\d+), (\d+) sectors of (\d+) bytes, type (\w[\w-]*)(?:, name '([^']*)')?, file system ([\w-]+))");
    std::vector<ManifestPartition> out;
    for (auto& row : readManifest(name)) {
        std::smatch m;
        if (row.path.size() < 2 || row.path.back() != ':' || !std::regex_search(row.note, m, pattern)) continue;
        ManifestPartition p;
        p.prefix = row.path;
        p.slot = std::stoi(m[1]);
        p.startSector = std::stoull(m[2]);
        p.sectors = std::stoull(m[3]);
        p.sectorSize = std::stoull(m[4]);
        p.offset = p.startSector * p.sectorSize;
        p.size = std::stoull(row.size);
        p.type = m[5];
        p.name = m[6];
        p.fileSystem = m[7];
        out.push_back(std::move(p));
    }
    return out;
}

// "2024-03-14T11:01:08" (with or without a final Z) as UTC.
inline std::optional<Date> parseManifestTime(const std::string& text) {
    std::tm tm{};
    if (!::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return std::nullopt;
    return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

// A time as the manifests write it: "2024-03-14T11:01:08Z".
inline std::string isoUTC(const Date& date) {
    std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
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
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> old_;
};

// Sets ICU's default locale for one scope: the number formats and the
// collator that the system's texts and orders follow.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* name) : old_(icu::Locale::getDefault()) { set(icu::Locale(name)); }
    ~ScopedLocale() { set(old_); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

private:
    static void set(const icu::Locale& locale) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(locale, status);
    }
    icu::Locale old_;
};

// MARK: Bytes and sources

inline void putLE(Bytes& b, size_t offset, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) b.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
}
inline void putText(Bytes& b, size_t offset, const std::string& text) {
    std::memcpy(b.data() + offset, text.data(), text.size());
}

// A source over the given bytes (kept in a temporary file) with the given
// sector size.
class ByteSource {
public:
    explicit ByteSource(const Bytes& bytes, int64_t sectorSize = 512, SourceOptions options = {}) {
        std::filesystem::path file = dir_.path() / "image.img";
        writeFile(file, bytes);
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        source_ = std::make_shared<DiskSource>(fd, file.string(), "image.img", bytes.size(), sectorSize, false,
                                               std::nullopt, nullptr, std::move(options));
    }
    DiskSource& operator*() const { return *source_; }
    DiskSource* operator->() const { return source_.get(); }
    const DiskSourcePtr& ptr() const { return source_; }

private:
    TempDir dir_;
    DiskSourcePtr source_;
};

// Bytes in an anonymous memory file, open to patching, read through a
// DiskSource like an image. Nothing is written to disk; runs of zeros in the
// starting bytes are left as holes.
class MemoryImage {
public:
    // A copy of a fixture's image.
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
        size_ = bytes.size();
        if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) return;
        constexpr size_t piece = 65536;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            size_t length = std::min(piece, bytes.size() - at);
            const uint8_t* p = bytes.data() + at;
            if (std::all_of(p, p + length, [](uint8_t b) { return b == 0; })) continue;
            write(at, p, length);
        }
    }
    ~MemoryImage() { ::close(fd_); }
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;

    // False when the bytes could not all be written.
    bool write(uint64_t offset, const uint8_t* data, size_t length) {
        for (size_t done = 0; done < length;) {
            ssize_t n = ::pwrite(fd_, data + done, length - done, static_cast<off_t>(offset + done));
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool write(uint64_t offset, const Bytes& bytes) { return write(offset, bytes.data(), bytes.size()); }
    void put(uint64_t offset, uint64_t value, int width) {
        Bytes b(static_cast<size_t>(width));
        putLE(b, 0, value, width);
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

// A read-only source over bytes in memory, with some 4096-byte blocks replaced.
inline DiskSourcePtr memorySource(const Bytes& bytes, const std::map<uint64_t, Bytes>& blocks = {}) {
    MemoryImage image(bytes);
    for (const auto& [number, block] : blocks) image.write(number * 4096, block);
    return image.source();
}

// MARK: Contents

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

inline std::string sha256Hex(const Bytes& data) { return Sha256::of(data); }

// A file's bytes as the file reader streams them from its extents.
inline Bytes streamedBytes(DiskSource& source, const FileNode& node,
                           int64_t chunkSize = FileReader::defaultChunkSize) {
    Bytes out;
    FileReader::stream(node, source, chunkSize, std::nullopt, [&](const Bytes& piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
    return out;
}

// The SHA-256 of a file's bytes as the file reader streams them.
inline std::string contentHash(DiskSource& source, const FileNode& node) {
    Sha256 sha;
    FileReader::stream(node, source, FileReader::defaultChunkSize, std::nullopt, [&](const Bytes& piece) {
        sha.update(piece);
        return true;
    });
    return sha.hex();
}

// Every node below root by its "/"-joined path; folders end with "/" as in
// the manifests. Of two nodes with one path, the later sibling is kept.
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

// MARK: Running programs

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with arguments, optional extra environment ("NAME=value") and
// working directory; captures standard output and error.
inline ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::vector<std::string>& environment = {}, const std::string& cwd = "") {
    TempDir capture;
    std::string outPath = capture.file("out"), errPath = capture.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(126);
        for (auto& e : environment) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readText(outPath);
    r.err = readText(errPath);
    return r;
}

inline ProcessResult runCLI(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                            const std::string& cwd = "") {
    return runProgram(SOVANTA_CLI, args, environment, cwd);
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace sovanta::test

// What the carver costs the deep sweep, sector by sector, beside a plain read
// of the same data in the sweep's 4 MiB chunks (warm page cache):
//  - Sweep/plain: 256 MiB without any signature (every sector is dispatched
//    and rejected from its first bytes);
//  - Sweep/dense: 64 MiB of small whole files back to back, each sector-aligned
//    (every file is sized through its own 1 MiB reads);
//  - FalseCandidate/<family>: one candidate with a valid magic and a broken
//    structure at the start of a 64 MiB image, the worst single cost.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/Carver.h"

using namespace sovanta;

namespace {

constexpr uint64_t MiB = 1048576;
constexpr int64_t chunk = 4 * MiB;

// A literal with its embedded zero bytes.
template <size_t N>
Bytes str(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}
void put(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
void be32(Bytes& out, uint32_t v) { put(out, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); }
void le16(Bytes& out, uint32_t v) { put(out, {uint8_t(v), uint8_t(v >> 8)}); }
void le32(Bytes& out, uint32_t v) { put(out, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// Bytes without ASCII and without 0xFF: no textual magic, no JPEG or MPEG sync.
Bytes filler(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out) {
        uint8_t v = static_cast<uint8_t>(rng());
        if (v < 0x7F) v |= 0x80;
        if (v == 0xFF) v = 0xFE;
        b = v;
    }
    return out;
}

// Small whole files of several families, sized by their structure.
std::vector<Bytes> sampleFiles(std::mt19937& rng) {
    std::vector<Bytes> files;
    {  // JPEG: frame, scan of 6 KiB, end.
        Bytes j = {0xFF, 0xD8};
        put(j, {0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 16, 1, 1, 0x11, 0});
        put(j, {0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0});
        put(j, filler(rng, 6000));
        put(j, {0xFF, 0xD9});
        files.push_back(j);
    }
    {  // PNG: header, 8 KiB of data chunks, end.
        Bytes p = str("\x89PNG\r\n\x1A\n");
        be32(p, 13), put(p, str("IHDR")), put(p, Bytes(17, 0));
        for (int i = 0; i < 4; ++i) be32(p, 2048), put(p, str("IDAT")), put(p, filler(rng, 2052));
        be32(p, 0), put(p, str("IEND")), put(p, Bytes(4, 0));
        files.push_back(p);
    }
    {  // WAV of 16 KiB.
        Bytes w = str("RIFF");
        le32(w, 16384 - 8), put(w, str("WAVE")), put(w, filler(rng, 16384 - 12));
        files.push_back(w);
    }
    {  // ZIP of one stored member.
        Bytes data = filler(rng, 9000);
        Bytes z;
        le32(z, 0x04034B50), le16(z, 10), le16(z, 0), le16(z, 0), le32(z, 0), le32(z, 0);
        le32(z, uint32_t(data.size())), le32(z, uint32_t(data.size())), le16(z, 5), le16(z, 0);
        put(z, str("a.bin")), put(z, data);
        uint32_t cd = uint32_t(z.size());
        le32(z, 0x02014B50), put(z, Bytes(42, 0)), put(z, str("a.bin"));
        z[cd + 28] = 5;
        le32(z, 0x06054B50), le32(z, 0), le16(z, 1), le16(z, 1), le32(z, uint32_t(z.size() - cd)), le32(z, cd),
            le16(z, 0);
        files.push_back(z);
    }
    {  // PDF ending at its marker.
        Bytes d = str("%PDF-1.4\n");
        put(d, filler(rng, 5000));
        put(d, str("\n%%EOF\n"));
        files.push_back(d);
    }
    {  // MP3: a tag and 20 frames of 417 bytes.
        Bytes m = str("ID3");
        put(m, {3, 0, 0, 0, 0, 0, 10}), put(m, Bytes(10, 0));
        for (int i = 0; i < 20; ++i) be32(m, 0xFFFB9000), put(m, filler(rng, 413));
        files.push_back(m);
    }
    {  // Ogg: three pages.
        Bytes o;
        for (uint8_t flags : {uint8_t{2}, uint8_t{0}, uint8_t{4}}) {
            put(o, str("OggS")), put(o, {0, flags}), put(o, Bytes(20, 0)), put(o, {8});
            put(o, Bytes(8, 255)), put(o, filler(rng, 8 * 255));
        }
        files.push_back(o);
    }
    {  // MP4: ftyp, moov, mdat.
        Bytes i;
        be32(i, 24), put(i, str("ftypisom")), be32(i, 0), put(i, str("isomiso2"));
        be32(i, 16), put(i, str("moov")), put(i, Bytes(8, 0));
        be32(i, 10008), put(i, str("mdat")), put(i, filler(rng, 10000));
        files.push_back(i);
    }
    return files;
}

void writeImage(const std::string& path, const Bytes& image) {
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0 || ::pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) std::abort();
    ::close(fd);
}

const std::string& plainImage() {
    static const std::string path = [] {
        std::mt19937 rng(1);
        std::string p = "/tmp/sovanta-bench-carve-plain.img";
        writeImage(p, filler(rng, 256 * MiB));
        return p;
    }();
    return path;
}

const std::string& denseImage() {
    static const std::string path = [] {
        std::mt19937 rng(2);
        auto files = sampleFiles(rng);
        Bytes image;
        image.reserve(64 * MiB + MiB);
        for (size_t i = 0; image.size() < 64 * MiB; ++i) {
            put(image, files[i % files.size()]);
            image.resize((image.size() + 511) / 512 * 512, 0);
        }
        std::string p = "/tmp/sovanta-bench-carve-dense.img";
        writeImage(p, image);
        return p;
    }();
    return path;
}

std::set<FileCategory> everything() { return {allFileCategories().begin(), allFileCategories().end()}; }

void PlainRead(benchmark::State& state, const std::string& path) {
    auto source = SourceOpener::openImage(path);
    for (auto _ : state) {
        for (uint64_t at = 0; at < source->size; at += chunk) {
            auto data = source->read(at, chunk, ReadMode::fast);
            benchmark::DoNotOptimize(data.data());
        }
    }
    const uint64_t swept = static_cast<uint64_t>(state.iterations()) * source->size;
    state.SetBytesProcessed(static_cast<int64_t>(swept));
    state.counters["ns/sector"] =
        benchmark::Counter(static_cast<double>(swept / 512), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The deep sweep's carving half: 4 MiB chunks, every sector's first 64 bytes
// offered to the carver, nothing offered inside a file sized exactly.
void Sweep(benchmark::State& state, const std::string& path) {
    auto source = SourceOpener::openImage(path);
    Carver carver(source, everything());
    int64_t found = 0;
    for (auto _ : state) {
        uint64_t resume = 0;
        for (uint64_t at = 0; at < source->size; at += chunk) {
            auto data = source->read(at, chunk, ReadMode::fast);
            for (uint64_t s = 0; s < data.size() && at + s < source->size; s += 512) {
                uint64_t offset = at + s;
                if (offset < resume) continue;
                auto file = carver.check(ByteSpan(data.data() + s, std::min<size_t>(64, data.size() - s)), offset);
                if (!file) continue;
                ++found;
                if (file->exact) resume = offset + (file->size + 511) / 512 * 512;
            }
        }
    }
    const uint64_t swept = static_cast<uint64_t>(state.iterations()) * source->size;
    state.SetBytesProcessed(static_cast<int64_t>(swept));
    state.counters["ns/sector"] =
        benchmark::Counter(static_cast<double>(swept / 512), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["files"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}

// One candidate whose magic matches and whose structure does not hold, at the
// start of 64 MiB of filler.
void FalseCandidate(benchmark::State& state, Bytes head) {
    std::mt19937 rng(3);
    Bytes image = filler(rng, 64 * MiB);
    std::memcpy(image.data(), head.data(), head.size());
    std::string path = "/tmp/sovanta-bench-carve-false.img";
    writeImage(path, image);
    auto source = SourceOpener::openImage(path);
    Carver carver(source, everything());
    Bytes view(image.begin(), image.begin() + 64);
    for (auto _ : state) benchmark::DoNotOptimize(carver.check(view, 0));
    ::unlink(path.c_str());
}

}  // namespace

BENCHMARK_CAPTURE(PlainRead, plain, plainImage())->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Sweep, plain, plainImage())->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(PlainRead, dense, denseImage())->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Sweep, dense, denseImage())->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_CAPTURE(FalseCandidate, jpeg, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10})->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, bmp, str("BM"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, tiff, str("II*\0\x08\0\0\0"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, riff, str("RIFF\x10\0\0\0JUNK"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, mp3, str("ID3\x03\0\0\0\0\0\x10"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, ogg, str("OggS\0\x02"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, ole, str("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FalseCandidate, rtf, str("{\\rtf1 "))->Unit(benchmark::kMicrosecond);
// These two search onward for their end record or end marker (up to 1 GiB):
// here to the end of the 64 MiB image.
BENCHMARK_CAPTURE(FalseCandidate, zip, str("PK\x03\x04\x14\0\x08\0"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FalseCandidate, pdf, str("%PDF-1.4\n"))->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

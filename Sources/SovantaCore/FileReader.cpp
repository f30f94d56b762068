#include "SovantaCore/FileReader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace sovanta::FileReader {

namespace {

constexpr uint64_t uint64Max = std::numeric_limits<uint64_t>::max();
// Reads longer than this bypass the disk source's cache.
constexpr uint64_t largeReadBytes = 262144;

// a + b, or nothing when it does not fit in 64 bits.
std::optional<uint64_t> checkedAdd(uint64_t a, uint64_t b) {
    if (a > uint64Max - b) return std::nullopt;
    return a + b;
}

std::optional<uint64_t> checkedMultiply(uint64_t a, uint64_t b) {
    if (a != 0 && b > uint64Max / a) return std::nullopt;
    return a * b;
}

// Bytes from the source at an offset that may not exist. Bytes placed past
// the source's end (an overflowed position lies past every end) are not on
// it: they arrive as zeros and count as unreadable, as unreadable sectors do.
Bytes readAt(DiskSource& source, std::optional<uint64_t> offset, int64_t length, int64_t& badBytes) {
    if (!offset) {
        badBytes += length;
        return Bytes(static_cast<size_t>(length), 0);
    }
    auto result = source.readReporting(*offset, length, ReadMode::thorough);
    const uint64_t inside = *offset < source.size ? std::min<uint64_t>(static_cast<uint64_t>(length), source.size - *offset) : 0;
    badBytes += result.badBytes + (length - static_cast<int64_t>(inside));
    return std::move(result.data);
}

// A run of a compressed attribute with the first virtual cluster it covers.
struct PlacedRun {
    uint64_t firstVCN;
    uint64_t clusters;
    std::optional<uint64_t> lcn;
};

// Consecutive allocated clusters of one unit, read together.
struct Segment {
    std::optional<uint64_t> lcn;  // absent when the cluster number overflowed
    uint64_t clusters;
};

// Zeros in pieces of at most chunk bytes from delivered up to total, each
// counted unreadable: bytes of the file that nothing places are unknown, not
// known zeros.
int64_t streamUnknown(uint64_t delivered, uint64_t total, uint64_t chunk, const Body& body) {
    int64_t badBytes = 0;
    Bytes zeros;
    while (delivered < total) {
        uint64_t n = std::min(total - delivered, chunk);
        zeros.resize(static_cast<size_t>(n));
        delivered += n;
        badBytes += static_cast<int64_t>(n);
        if (!body(zeros)) break;
    }
    return badBytes;
}

int64_t streamCompressed(const CompressedRuns& compressed, uint64_t total, uint64_t chunk, DiskSource& source,
                         const Body& body) {
    const uint64_t clusterSize = compressed.clusterSize;
    const uint64_t unitClusters = compressed.unitClusters;
    auto unitBytes = checkedMultiply(unitClusters, clusterSize);
    // A unit of 0 bytes, or one larger than any real volume uses, places
    // nothing: the whole file is unknown.
    if (!unitBytes || *unitBytes == 0 || *unitBytes > maxCompressionUnitBytes)
        return streamUnknown(0, total, chunk, body);
    const uint64_t unitSize = *unitBytes;

    std::vector<PlacedRun> runs;
    runs.reserve(compressed.runs.size());
    uint64_t vcn = 0;
    for (auto& run : compressed.runs) {
        if (run.clusters == 0) continue;
        // A run list longer than 2^64 clusters is nonsense: it is cut there.
        uint64_t clusters = std::min(run.clusters, uint64Max - vcn);
        if (clusters == 0) break;
        runs.push_back({vcn, clusters, run.lcn});
        vcn += clusters;
    }

    // The file's bytes from here on lie in no run: unknown.
    const uint64_t placedEnd = checkedMultiply(vcn, clusterSize).value_or(uint64Max);
    int64_t badBytes = 0;
    uint64_t delivered = 0;
    size_t runIndex = 0;
    std::vector<Segment> segments;
    for (uint64_t unit = 0; delivered < total; ++unit) {
        const uint64_t unitStart = unit * unitClusters;  // cannot overflow: unit * unitSize <= total
        const uint64_t unitEnd = checkedAdd(unitStart, unitClusters).value_or(uint64Max);

        // The allocated clusters of the unit, in order, consecutive numbers joined.
        segments.clear();
        uint64_t allocated = 0;
        uint64_t position = unitStart;
        while (position < unitEnd) {
            while (runIndex < runs.size() && runs[runIndex].firstVCN + runs[runIndex].clusters <= position)
                ++runIndex;
            if (runIndex == runs.size() || runs[runIndex].firstVCN > position) break;
            const PlacedRun& run = runs[runIndex];
            uint64_t count = std::min(unitEnd, run.firstVCN + run.clusters) - position;
            if (run.lcn) {
                auto lcn = checkedAdd(*run.lcn, position - run.firstVCN);
                if (lcn && !segments.empty() && segments.back().lcn &&
                    *segments.back().lcn + segments.back().clusters == *lcn)
                    segments.back().clusters += count;
                else
                    segments.push_back({lcn, count});
                allocated += count;
            }
            position += count;
        }

        Bytes data;
        if (allocated == 0) {
            data.assign(static_cast<size_t>(unitSize), 0);
        } else {
            Bytes packed;
            packed.reserve(static_cast<size_t>(allocated * clusterSize));
            for (auto& segment : segments) {
                std::optional<uint64_t> offset;
                if (segment.lcn)
                    if (auto relative = checkedMultiply(*segment.lcn, clusterSize))
                        offset = checkedAdd(compressed.volumeOffset, *relative);
                int64_t length = static_cast<int64_t>(segment.clusters * clusterSize);
                if (segments.size() == 1) {
                    packed = readAt(source, offset, length, badBytes);
                } else {
                    Bytes part = readAt(source, offset, length, badBytes);
                    packed.insert(packed.end(), part.begin(), part.end());
                }
            }
            if (allocated == unitClusters)
                data = std::move(packed);
            else
                data = lznt1Decompress(packed, static_cast<int64_t>(unitSize));
        }

        uint64_t n = std::min(total - delivered, unitSize);
        data.resize(static_cast<size_t>(n));
        if (delivered + n > placedEnd) badBytes += static_cast<int64_t>(delivered + n - std::max(delivered, placedEnd));
        delivered += n;
        if (!body(data)) break;
    }
    return badBytes;
}

int64_t streamExtents(const std::vector<Extent>& extents, uint64_t total, int64_t chunkSize, DiskSource& source,
                      const Body& body) {
    const uint64_t chunk = static_cast<uint64_t>(chunkSize);
    const uint64_t sectorSize = static_cast<uint64_t>(std::max<int64_t>(source.sectorSize, 1));
    int64_t badBytes = 0;
    uint64_t delivered = 0;
    // One buffer for the large pieces and one of zeros, reused from piece to
    // piece: a fresh multi-megabyte array per piece costs the system a new
    // mapping each time. The body gets them read-only, so the zeros stay zeros.
    Bytes buffer;
    Bytes zeros;
    auto zeroPiece = [&](uint64_t n) -> const Bytes& {
        zeros.resize(static_cast<size_t>(n));
        return zeros;
    };
    for (auto& extent : extents) {
        if (delivered >= total) break;
        for (uint64_t position = 0; position < extent.length && delivered < total;) {
            uint64_t n = std::min({total - delivered, extent.length - position, chunk});
            std::optional<uint64_t> offset;
            if (extent.offset) offset = checkedAdd(*extent.offset, position);
            position += n;
            delivered += n;
            bool goOn;
            if (!extent.offset) {
                goOn = body(zeroPiece(n));
            } else if (offset && n > largeReadBytes && *offset % sectorSize == 0 && n % sectorSize == 0 &&
                       *offset <= source.size && n <= source.size - *offset) {
                // The same uncached, sector-aligned read that readReporting
                // makes for a piece this large, straight into the buffer.
                buffer.resize(static_cast<size_t>(n));
                badBytes += source.readInto(*offset, static_cast<int64_t>(n), buffer.data(), ReadMode::thorough);
                goOn = body(buffer);
            } else {
                goOn = body(readAt(source, offset, static_cast<int64_t>(n), badBytes));
            }
            if (!goOn) return badBytes;
        }
    }
    // A missing tail, or no extents at all: unknown up to the size.
    return badBytes + streamUnknown(delivered, total, chunk, body);
}

// One stretch of a region: source bytes at an offset, or zeros.
struct RegionPiece {
    std::optional<uint64_t> offset;
    uint64_t length;
};

// The pieces of a region in order, cut to the bounds; their lengths sum to
// what the result will hold, so it is allocated once.
std::vector<RegionPiece> planRegion(const std::vector<Extent>& extents, uint64_t cap, uint64_t lower, uint64_t upper,
                                    RegionHoles holes) {
    std::vector<RegionPiece> pieces;
    uint64_t total = 0;
    for (auto& extent : extents) {
        if (total >= cap) break;
        if (extent.length == 0) continue;
        uint64_t room = cap - total;
        if (!extent.offset) {
            if (holes == RegionHoles::skip) continue;
            pieces.push_back({std::nullopt, std::min(extent.length, room)});
            total += pieces.back().length;
            continue;
        }
        const uint64_t at = *extent.offset;
        if (at < lower || at >= upper) break;
        const uint64_t n = std::min({extent.length, upper - at, room});
        pieces.push_back({at, n});
        total += n;
        if (n < extent.length && n < room) break;  // the extent runs past the bounds
    }
    return pieces;
}

}  // namespace

Region readRegion(DiskSource& source, const std::vector<Extent>& extents, uint64_t maxBytes, ByteRange within,
                  RegionHoles holes) {
    Region region;
    const uint64_t lower = within.lower;
    const uint64_t upper = std::min(within.upper, source.size);
    if (upper <= lower) return region;
    const auto pieces = planRegion(extents, std::min(maxBytes, upper - lower), lower, upper, holes);
    uint64_t total = 0;
    for (auto& piece : pieces) total += piece.length;
    region.bytes.resize(static_cast<size_t>(total));

    const uint64_t sectorSize = static_cast<uint64_t>(std::max<int64_t>(source.sectorSize, 1));
    uint8_t* out = region.bytes.data();
    for (auto& piece : pieces) {
        if (!piece.offset) {
            out += piece.length;  // already zeros
            continue;
        }
        for (uint64_t done = 0; done < piece.length;) {
            const uint64_t at = *piece.offset + done;
            const uint64_t n = std::min<uint64_t>(piece.length - done, uint64_t{defaultChunkSize});
            if (n > largeReadBytes && at % sectorSize == 0 && n % sectorSize == 0) {
                region.badBytes += source.readInto(at, static_cast<int64_t>(n), out, ReadMode::thorough);
            } else {
                // Small pieces go through the source's cache: folders of one
                // cluster often lie beside the ones read before them.
                auto result = source.readReporting(at, static_cast<int64_t>(n), ReadMode::thorough);
                std::memcpy(out, result.data.data(), static_cast<size_t>(n));
                region.badBytes += result.badBytes;
            }
            out += n;
            done += n;
        }
    }
    return region;
}

int64_t stream(const FileNode& node, DiskSource& source, int64_t chunkSize, std::optional<uint64_t> limit,
               const Body& body) {
    uint64_t total = node.size;
    if (limit && *limit < total) total = *limit;
    if (total == 0) return 0;
    if (chunkSize <= 0) chunkSize = defaultChunkSize;

    if (auto* resident = std::get_if<ResidentData>(&node.data)) {
        const Bytes& bytes = resident->bytes;
        if (bytes.size() <= total) {
            body(bytes);
        } else {
            Bytes piece(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(total));
            body(piece);
        }
        return 0;
    }
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data))
        return streamExtents(*extents, total, chunkSize, source, body);
    if (auto* compressed = std::get_if<CompressedRuns>(&node.data))
        return streamCompressed(*compressed, total, static_cast<uint64_t>(chunkSize), source, body);
    return 0;
}

Bytes readPrefix(const FileNode& node, DiskSource& source, int64_t max) {
    Bytes out;
    if (max <= 0) return out;
    const uint64_t wanted = static_cast<uint64_t>(max);
    const int64_t chunkSize = std::min<int64_t>(max, defaultChunkSize);
    stream(node, source, chunkSize, wanted, [&](const Bytes& piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return out.size() < wanted;
    });
    if (out.size() > wanted) out.resize(static_cast<size_t>(wanted));
    return out;
}

Bytes lznt1Decompress(ByteSpan input, int64_t outputSize) {
    if (outputSize <= 0) return {};
    // Decoding stops once the output is full: the excess of an overshooting
    // chunk would only be dropped again.
    Bytes out(static_cast<size_t>(outputSize), 0);
    const size_t capacity = out.size();
    const size_t inputSize = input.size();
    size_t produced = 0;
    size_t position = 0;
    while (inputSize - position >= 2 && produced < capacity) {
        uint16_t header = u16le(input, static_cast<int64_t>(position));
        if (header == 0) break;
        position += 2;
        // position <= inputSize, so the declared end cannot overflow.
        const size_t end = std::min(inputSize, position + (header & 0x0FFFu) + 1);
        if ((header & 0x8000u) == 0) {
            size_t n = std::min(end - position, capacity - produced);
            std::memcpy(out.data() + produced, input.data() + position, n);
            produced += n;
            position = end;
            continue;
        }
        size_t d = 0;  // bytes this chunk has produced
        while (position < end && produced < capacity) {
            const uint8_t flags = input[position++];
            for (int bit = 0; bit < 8 && produced < capacity; ++bit) {
                if (position >= end) break;
                if (((flags >> bit) & 1) == 0) {
                    out[produced++] = input[position++];
                    ++d;
                    continue;
                }
                if (end - position < 2) {
                    position = end;
                    break;
                }
                const uint16_t token = u16le(input, static_cast<int64_t>(position));
                position += 2;
                // A chunk decodes to at most 4096 bytes, so the displacement
                // never needs more than 12 bits; a corrupt chunk that runs
                // longer keeps 12 and cannot push the shift past the token.
                int displacementBits = d == 0 ? 0 : static_cast<int>(std::bit_width(d - 1));
                displacementBits = std::clamp(displacementBits, 4, 12);
                const int lengthBits = 16 - displacementBits;
                const size_t displacement = (static_cast<size_t>(token) >> lengthBits) + 1;
                const size_t length = (static_cast<size_t>(token) & ((1u << lengthBits) - 1)) + 3;
                if (displacement > d) return out;  // points before the chunk: the data is corrupt
                for (size_t i = 0; i < length && produced < capacity; ++i, ++produced, ++d)
                    out[produced] = out[produced - displacement];
            }
        }
        position = end;
    }
    return out;
}

}  // namespace sovanta::FileReader

// The bytes of one found file, produced from its FileData: resident bytes,
// extents with holes, or NTFS compressed runs decoded unit by unit (LZNT1).
// Nothing here fails: everything that cannot be read arrives as zeros.
// Holes and sparse runs are known zeros. Unreadable sectors, bytes placed past
// the source's end, and bytes of the size that nothing places (a missing
// tail) are unknown: they arrive as zeros and are counted unreadable.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::FileReader {

// Receives one piece of a file; returns false to stop the stream.
using Body = std::function<bool(const Bytes& piece)>;

// The piece size callers use for copies (4 MiB).
inline constexpr int64_t defaultChunkSize = 4194304;

// Feeds the first min(limit, size) bytes of the node (all of them without a
// limit) to body in file order, in pieces of at most chunkSize bytes, or one
// compression unit per piece for NTFS compressed data. Returns the number of
// unknown bytes met: unreadable or past the source's end (for compressed
// data: of compressed bytes read), and those that nothing places.
int64_t stream(const FileNode& node, DiskSource& source, int64_t chunkSize, std::optional<uint64_t> limit,
               const Body& body);

// The first min(max, size) bytes of the node.
Bytes readPrefix(const FileNode& node, DiskSource& source, int64_t max);

// A list of extents read into memory, and how many of its bytes could not be read.
struct Region {
    Bytes bytes;
    int64_t badBytes = 0;
};

// What readRegion does with an extent that has no offset (a hole).
enum class RegionHoles { zeros, skip };

// The extents' bytes joined in order, at most maxBytes of them, read in pieces
// straight into the result. Only bytes inside `within` that lie on the source
// are read: the result ends before the first byte that does not, and holes'
// zeros count against the same bound, so a damaged length or place never
// allocates more than the bounded region holds. Unreadable bytes are zeros and
// counted. Readers of tables, folders and bitmaps take their bytes from here.
Region readRegion(DiskSource& source, const std::vector<Extent>& extents, uint64_t maxBytes,
                  ByteRange within = {0, UINT64_MAX}, RegionHoles holes = RegionHoles::zeros);

// LZNT1 data decoded to exactly outputSize bytes: decoding ends at the first
// bad token or at the end of the input, and the rest is zeros.
Bytes lznt1Decompress(ByteSpan input, int64_t outputSize);

// The largest compression unit decoded; a larger one cannot come from a real
// NTFS volume (16 clusters of at most 4 KiB are the norm).
inline constexpr uint64_t maxCompressionUnitBytes = 4194304;

}  // namespace sovanta::FileReader

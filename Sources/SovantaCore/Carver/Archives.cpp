// Size finders of the archive and document formats: RAR 4 and 5, ZIP with its
// document kinds, PDF, 7z, SQLite, OLE2 compound files and RTF.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "SovantaCore/Carver/Finders.h"

namespace sovanta::carving {

namespace {

// A RAR 5 variable-length integer: 7 bits a byte, little-endian, bit 7 set
// when another byte follows; at most 10 bytes, and a byte past the end of
// the source ends it.
struct VarInt {
    uint64_t value = 0;
    uint64_t length = 0;
};
VarInt rarVarInt(RandomReader& r, uint64_t at) {
    VarInt v;
    for (int i = 0; i < 10; ++i) {
        uint64_t p = at + static_cast<uint64_t>(i);
        if (p >= r.extent()) break;
        uint8_t b = r.u8(p);
        v.length += 1;
        if (7 * i < 64) v.value |= uint64_t{static_cast<uint8_t>(b & 0x7F)} << (7 * i);
        if (!(b & 0x80)) break;
    }
    return v;
}

Bytes utf16Pattern(std::string_view text) {
    Bytes out;
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

bool contains(ByteSpan bytes, std::string_view text) {
    return firstIndex(bytes, ByteSpan(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0).has_value();
}

}  // namespace

std::optional<CarvedFile> rar(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "Rar!\x1A\x07")) return std::nullopt;
    uint8_t version = r.u8(6);
    if (version == 0x00) {
        uint64_t p = 7;
        for (int block = 0; block < 1'000'000; ++block) {
            uint8_t type = r.u8(p + 2);
            uint16_t flags = r.u16le(p + 3);
            uint64_t headerSize = r.u16le(p + 5);
            if (type < 0x72 || type > 0x7B || headerSize < 7) return std::nullopt;
            uint64_t added = (flags & 0x8000) ? r.u32le(p + 7) : 0;
            p += headerSize + added;
            if (type == 0x7B) return found(offset, p, "rar");
        }
        return std::nullopt;
    }
    if (version == 0x01 && r.u8(7) == 0x00) {
        uint64_t p = 8;
        for (int header = 0; header < 1'000'000; ++header) {
            VarInt size = rarVarInt(r, p + 4);
            if (size.value < 1 || size.value > 2'097'151) return std::nullopt;
            uint64_t at = p + 4 + size.length;
            VarInt type = rarVarInt(r, at);
            at += type.length;
            VarInt flags = rarVarInt(r, at);
            at += flags.length;
            if (flags.value & 1) at += rarVarInt(r, at).length;
            uint64_t data = (flags.value & 2) ? rarVarInt(r, at).value : 0;
            if (type.value < 1 || type.value > 5 || data >= (uint64_t{1} << 42)) return std::nullopt;
            p += 4 + size.length + size.value + data;
            if (type.value == 5) return found(offset, p, "rar");
        }
        return std::nullopt;
    }
    return std::nullopt;
}

namespace {

// The end of a ZIP found by walking its records by their recorded lengths
// from p, while they say how long they are; p is left where the walk stopped.
std::optional<uint64_t> walkZipRecords(RandomReader& r, uint64_t& p) {
    for (int record = 0; record < 1'000'000 && p < (uint64_t{1} << 33); ++record) {
        uint32_t signature = r.u32le(p);
        if (signature == 0x04034B50) {
            if ((r.u8(p + 6) & 0x08) || r.u32le(p + 18) == 0xFFFFFFFF) return std::nullopt;
            p += 30 + uint64_t{r.u16le(p + 26)} + r.u16le(p + 28) + r.u32le(p + 18);
        } else if (signature == 0x02014B50) {
            p += 46 + uint64_t{r.u16le(p + 28)} + r.u16le(p + 30) + r.u16le(p + 32);
        } else if (signature == 0x06064B50) {
            uint64_t size = r.u64le(p + 4);
            if (size >= 1'048'576) return std::nullopt;
            p += size + 12;
        } else if (signature == 0x07064B50) {
            p += 20;
        } else if (signature == 0x06054B50) {
            return p + 22 + r.u16le(p + 20);
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

constexpr uint64_t zipSearchLimit = 1'073'741'824;
constexpr std::string_view zipEndSignature("PK\x05\x06", 4);

// Whether the end record at q is the one of the ZIP the reader starts at:
// its central directory ends right before it, or a ZIP64 locator precedes it.
bool zipEndAccepted(RandomReader& r, uint64_t q) {
    uint64_t directorySize = r.u32le(q + 12), directoryOffset = r.u32le(q + 16);
    return directoryOffset + directorySize == q ||
           (directoryOffset == 0xFFFFFFFF && q >= 20 && r.u32le(q - 20) == 0x07064B50);
}

uint64_t zipEndAfter(RandomReader& r, uint64_t q) { return q + 22 + r.u16le(q + 20); }

// The end of the first accepted end record from `from` on.
std::optional<uint64_t> searchZipEnd(RandomReader& r, uint64_t from) {
    uint64_t bound = std::min<uint64_t>(r.extent(), zipSearchLimit);
    if (from >= bound) return std::nullopt;
    while (true) {
        auto q = r.find(zipEndSignature, from, bound);
        if (!q) return std::nullopt;
        if (zipEndAccepted(r, *q)) return zipEndAfter(r, *q);
        from = *q + 1;
    }
}

// The kind of a ZIP that ends at end, from its first entry and the names of
// its central directory. The head stops at the file's end so that a
// neighbouring file's names do not count.
std::string zipKind(RandomReader& r, uint64_t end) {
    Bytes head = r.bytes(0, static_cast<int64_t>(std::min<uint64_t>(end, 65'536)));
    uint16_t nameLength = u16le(head, 26);
    if (nameLength == 8 && matches(head, "mimetype", 30)) {
        int64_t dataAt = 30 + int64_t{nameLength} + u16le(head, 28);
        std::string mime = ascii(r.bytes(static_cast<uint64_t>(dataAt), 64), 0, 64);
        auto is = [&](std::string_view prefix) { return mime.rfind(prefix, 0) == 0; };
        if (is("application/vnd.oasis.opendocument.text")) return "odt";
        if (is("application/vnd.oasis.opendocument.spreadsheet")) return "ods";
        if (is("application/vnd.oasis.opendocument.presentation")) return "odp";
        if (is("application/epub+zip")) return "epub";
        return "zip";
    }
    uint64_t tailStart = end > 65'558 ? end - 65'536 : 0;
    Bytes tail = r.bytes(tailStart, static_cast<int64_t>(std::min<uint64_t>(end, 65'536)));
    // The names are looked for in the head followed by the tail, without
    // joining the two: in each, and across the seam where they meet.
    auto inEither = [&](std::string_view name) {
        if (contains(head, name) || contains(tail, name)) return true;
        const size_t reach = name.size() - 1;
        Bytes seam(head.end() - static_cast<std::ptrdiff_t>(std::min(reach, head.size())), head.end());
        seam.insert(seam.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(std::min(reach, tail.size())));
        return contains(seam, name);
    };
    if (inEither("word/")) return "docx";
    if (inEither("xl/")) return "xlsx";
    if (inEither("ppt/")) return "pptx";
    if (inEither("META-INF/MANIFEST.MF")) return "jar";
    return "zip";
}

}  // namespace

namespace {

// The file of a ZIP that ends at end (absent: no end found), with its kind.
std::optional<CarvedFile> zipFile(const Finder& f, RandomReader& r, uint64_t offset, std::optional<uint64_t> end) {
    if (!end || *end < 31) return std::nullopt;
    std::string ext = zipKind(r, *end);
    FileCategory needed = (ext == "zip" || ext == "jar") ? FileCategory::archive : FileCategory::document;
    if (!f.categories.count(needed)) return std::nullopt;
    return found(offset, *end, ext);
}

}  // namespace

std::optional<CarvedFile> zip(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    uint64_t p = 0;
    std::optional<uint64_t> end = walkZipRecords(r, p);
    if (!end && f.held && f.cache && f.cache->view(offset, 1)) {
        // The sweep holds the candidate: the end record is looked for in
        // what the sweep holds now, and in what it reads next if need be.
        HeldZip held;
        held.offset = offset;
        held.from = offset + p;
        held.bound = offset + std::min<uint64_t>(r.extent(), zipSearchLimit);
        if (held.from >= held.bound) return std::nullopt;
        HeldOutcome outcome = searchHeldZip(f, held);
        if (!outcome.settled) *f.held = held;
        return outcome.file;
    }
    if (!end) end = searchZipEnd(r, p);
    return zipFile(f, r, offset, end);
}

HeldOutcome searchHeldZip(const Finder& f, HeldZip& h) {
    RandomReader r = f.reader(h.offset);
    auto settle = [&](std::optional<uint64_t> end) { return HeldOutcome{true, zipFile(f, r, h.offset, end)}; };
    // At q (absolute): whether an accepted end record starts there.
    auto accepted = [&](uint64_t q) { return zipEndAccepted(r, q - h.offset); };
    auto endAt = [&](uint64_t q) { return zipEndAfter(r, q - h.offset); };

    if (h.from >= h.bound) return settle(std::nullopt);
    const uint8_t* data = f.cache ? f.cache->windowData() : nullptr;
    const uint64_t start = data ? f.cache->windowOffset() : 0;
    const uint64_t length = data ? f.cache->windowLength() : 0;
    const uint64_t stop = start + length;
    const uint64_t m = zipEndSignature.size();
    // Only a window that follows the stretch already searched will do;
    // anything else is searched by reading.
    if (!data || (h.carried > 0 ? h.from + h.carried != start : h.from < start))
        return settle(searchZipEnd(r, h.from - h.offset));

    // Records that start in the bytes carried over from the window before.
    if (h.carried > 0) {
        std::array<uint8_t, 6> seam{};
        size_t n = h.carried;
        std::copy_n(h.carry.begin(), n, seam.begin());
        size_t more = static_cast<size_t>(std::min<uint64_t>(length, m - 1));
        std::copy_n(data, more, seam.begin() + static_cast<std::ptrdiff_t>(n));
        for (size_t i = 0; i < h.carried; ++i) {
            uint64_t q = h.from + i;
            if (q >= h.bound) return settle(std::nullopt);
            if (i + m <= n + more && std::memcmp(seam.data() + i, zipEndSignature.data(), m) == 0 && accepted(q))
                return settle(endAt(q));
        }
        h.from = start;
        h.carried = 0;
    }

    // Records that lie wholly in the window.
    if (h.from < stop && length >= m) {
        uint64_t last = std::min(h.bound, stop - (m - 1));  // no start at or past it here
        const std::vector<uint64_t>& hits = f.cache->windowHits(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(zipEndSignature.data()), m));
        for (auto q = std::lower_bound(hits.begin(), hits.end(), h.from); q != hits.end() && *q < last; ++q)
            if (accepted(*q)) return settle(endAt(*q));
        h.from = std::max(h.from, last);
    }
    // Past the bound, or at the end of the source (where a record cannot
    // start in the last bytes), there is nothing more to find.
    if (h.from >= h.bound || stop >= f.src->size) return settle(std::nullopt);
    if (h.from < stop) {
        h.carried = static_cast<uint8_t>(stop - h.from);
        std::copy_n(data + (h.from - start), h.carried, h.carry.begin());
    }
    return HeldOutcome{};
}

std::optional<CarvedFile> settleHeldZip(const Finder& f, const HeldZip& h) {
    RandomReader r = f.reader(h.offset);
    if (h.from >= h.bound) return std::nullopt;
    return zipFile(f, r, h.offset, searchZipEnd(r, h.from - h.offset));
}

std::optional<CarvedFile> pdf(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "%PDF-")) return std::nullopt;

    // A linearized file states its length.
    Bytes first = r.bytes(0, 2048);
    if (auto dictionary = firstIndex(first, ByteSpan(reinterpret_cast<const uint8_t*>("/Linearized"), 11), 0)) {
        if (auto key = firstIndex(first, ByteSpan(reinterpret_cast<const uint8_t*>("/L "), 3), *dictionary)) {
            uint64_t value = 0;
            size_t digits = 0;
            for (size_t i = static_cast<size_t>(*key) + 3; i < first.size() && first[i] >= '0' && first[i] <= '9'; ++i) {
                if (value <= 10'000'000'000ULL) value = value * 10 + (first[i] - '0');
                ++digits;
            }
            if (digits > 0 && value >= 65 && value <= 4'294'967'295ULL) return found(offset, value, "pdf", true);
        }
    }

    // Otherwise the last end-of-file marker not followed by an incremental update.
    std::optional<uint64_t> remembered;
    uint64_t from = 5;
    while (true) {
        auto q = r.find("%%EOF", from, 1'073'741'824);
        if (!q) break;
        uint64_t e = *q + 5;
        if (e < r.extent() && r.u8(e) == 0x0D) ++e;
        if (e < r.extent() && r.u8(e) == 0x0A) ++e;
        Bytes ahead = r.bytes(e, 1024);
        if (contains(ahead, " obj") || contains(ahead, "xref")) {
            remembered = e;
            from = e;
            continue;
        }
        return found(offset, e, "pdf", false);
    }
    if (remembered) return found(offset, *remembered, "pdf", false);
    return std::nullopt;
}

std::optional<CarvedFile> sevenZip(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "7z\xBC\xAF\x27\x1C")) return std::nullopt;
    uint64_t nextOffset = r.u64le(12), nextSize = r.u64le(20);
    if (nextOffset >= (uint64_t{1} << 40) || nextSize < 1 || nextSize > 1'073'741'823) return std::nullopt;
    uint64_t size = 32 + nextOffset + nextSize;
    if (size > r.extent()) return std::nullopt;
    return found(offset, size, "7z");
}

std::optional<CarvedFile> sqlite(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, std::string_view("SQLite format 3\0", 16))) return std::nullopt;
    uint64_t pageSize = r.u16be(16);
    if (pageSize == 1)
        pageSize = 65'536;
    else if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
        return std::nullopt;
    uint64_t pages = r.u32be(28);
    // The page count is current only when the change counter matches the
    // version-valid-for number.
    if (pages == 0 || r.u32be(24) != r.u32be(92)) return std::nullopt;
    uint64_t size = pageSize * pages;
    if (size > r.extent()) return std::nullopt;
    return found(offset, size, "sqlite");
}

std::optional<CarvedFile> ole(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return std::nullopt;
    uint16_t shift = r.u16le(30);
    if (shift != 9 && shift != 12) return std::nullopt;
    const uint64_t S = uint64_t{1} << shift;
    const uint64_t perSector = S / 4;
    uint32_t count = r.u32le(44);
    if (count < 1 || count > 65'535) return std::nullopt;
    auto regular = [](uint32_t sector) { return sector < 0xFFFFFFFA; };

    // The FAT sectors: 109 in the header, the rest along the DIFAT chain.
    std::vector<uint32_t> fat;
    fat.reserve(count);
    for (uint32_t i = 0; i < std::min<uint32_t>(count, 109); ++i) fat.push_back(r.u32le(76 + 4 * uint64_t{i}));
    uint32_t chain = r.u32le(68);
    for (int read = 0; fat.size() < count && regular(chain) && read < 4096; ++read) {
        uint64_t base = (uint64_t{chain} + 1) * S;
        for (uint64_t i = 0; i + 1 < perSector && fat.size() < count; ++i) fat.push_back(r.u32le(base + 4 * i));
        chain = r.u32le(base + S - 4);
    }

    // The highest sector any FAT sector marks as used. The maximum does not
    // depend on the order, so the sectors are read in disk order, and the walk
    // stops as soon as the file could no longer fit on the source.
    std::vector<std::pair<uint32_t, uint64_t>> order;  // sector number, index in the list
    for (size_t k = 0; k < fat.size(); ++k)
        if (regular(fat[k])) order.emplace_back(fat[k], k);
    std::sort(order.begin(), order.end());
    std::optional<uint64_t> highest;
    for (auto [number, k] : order) {
        Bytes sector = r.bytes((uint64_t{number} + 1) * S, static_cast<int64_t>(S));
        for (uint64_t j = perSector; j-- > 0;) {
            if (u32le(sector, static_cast<int64_t>(4 * j)) != 0xFFFFFFFF) {
                uint64_t used = k * perSector + j;
                if (!highest || used > *highest) highest = used;
                break;
            }
        }
        if (highest && (*highest + 2) * S > r.extent()) return std::nullopt;
    }
    if (!highest) return std::nullopt;
    uint64_t size = (*highest + 2) * S;
    if (size < 1024 || size > r.extent()) return std::nullopt;

    Bytes directory = r.bytes((uint64_t{r.u32le(48)} + 1) * S, static_cast<int64_t>(4 * S));
    auto has = [&](std::string_view name) {
        Bytes pattern = utf16Pattern(name);
        return firstIndex(directory, pattern, 0).has_value();
    };
    std::string ext = "doc";
    if (has("WordDocument"))
        ext = "doc";
    else if (has("Workbook") || has("Book"))
        ext = "xls";
    else if (has("PowerPoint Document"))
        ext = "ppt";
    else if (has("__substg1.0_"))
        ext = "msg";
    return found(offset, size, ext);
}

std::optional<CarvedFile> rtf(const Finder& f, uint64_t offset) {
    constexpr uint64_t limit = 268'435'456;  // 256 MiB
    constexpr uint64_t chunk = 65'536;
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "{\\rtf")) return std::nullopt;
    int64_t depth = 0;
    bool escaped = false;
    for (uint64_t at = 0; at < limit; at += chunk) {
        Bytes block = r.bytes(at, static_cast<int64_t>(chunk));
        for (uint64_t i = 0; i < chunk; ++i) {
            uint8_t c = block[i];
            if (escaped) {
                escaped = false;
                continue;
            }
            if (c == '\\') {
                escaped = true;
            } else if (c == 0x00) {
                return std::nullopt;
            } else if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth == 0) return found(offset, at + i + 1, "rtf");
            }
        }
    }
    return std::nullopt;
}

}  // namespace sovanta::carving

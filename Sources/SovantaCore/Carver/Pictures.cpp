// Size finders of the picture formats: JPEG, PNG, GIF, BMP, TIFF with the
// camera raw kinds built on it, and Fujifilm RAF.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <vector>

#include "SovantaCore/Carver/Finders.h"

namespace sovanta::carving {

std::optional<CarvedFile> jpeg(const Finder& f, uint64_t offset) {
    constexpr uint64_t limit = 209'715'200;  // no marker at or past 200 MiB
    RandomReader r = f.reader(offset);
    const uint64_t extent = r.extent();
    uint64_t p = 2;
    bool frameSeen = false, scanSeen = false;
    int segments = 0;
    std::optional<Date> date;

    while (true) {
        if (p >= extent || r.u8(p) != 0xFF || p + 1 >= extent) return std::nullopt;
        uint8_t m = r.u8(p + 1);
        while (m == 0xFF) {  // fill bytes before the marker code
            if (p + 2 >= extent || p > limit - 2) return std::nullopt;
            m = r.u8(p + 2);
            p += 1;
        }
        if (m == 0xD9) {
            if (frameSeen && scanSeen) return found(offset, p + 2, "jpg", true, date);
            return std::nullopt;
        }
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
            if (p >= limit - 2) return std::nullopt;
            p += 2;
            continue;
        }
        if (m == 0x00 || m == 0xD8) return std::nullopt;

        uint32_t length = r.u16be(p + 2);
        if (length < 2) return std::nullopt;
        if (++segments > 4096) return std::nullopt;
        if (m == 0xE1 && !date) {
            Bytes app = r.bytes(p + 4, static_cast<int64_t>(length) - 2);
            if (matches(app, "Exif", 0) && app.size() > 6)
                date = Carver::exifDate(ByteSpan(app).subspan(6));
        } else if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            frameSeen = true;
        } else if (m == 0xDA) {
            // Entropy-coded data: stuffed 0xFF 0x00, fill 0xFF 0xFF and restart
            // markers do not end it; any other marker does.
            uint64_t s = p + 2 + length;
            uint64_t bound = std::min(extent, limit);
            if (s >= bound) return std::nullopt;
            uint64_t from = s;
            while (true) {
                auto q = r.find(uint8_t{0xFF}, from, bound);
                if (!q) return std::nullopt;
                if (*q + 1 < extent) {
                    uint8_t next = r.u8(*q + 1);
                    if (next != 0x00 && next != 0xFF && !(next >= 0xD0 && next <= 0xD7)) {
                        scanSeen = true;
                        p = *q;
                        break;
                    }
                }
                from = *q + 1;
                if (from >= bound) return std::nullopt;
            }
            continue;
        }
        p += 2 + length;
        if (p >= limit) return std::nullopt;
    }
}

std::optional<CarvedFile> png(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "\x89PNG\r\n\x1A\n") || !r.matches(12, "IHDR")) return std::nullopt;
    uint64_t p = 8;
    for (int chunk = 0; chunk < 1'000'001; ++chunk) {
        if (p >= 1'073'741'824) return std::nullopt;
        uint32_t length = r.u32be(p);
        if ((length >> 24) > 0x1F) return std::nullopt;
        uint8_t type[4];
        for (int i = 0; i < 4; ++i) {
            type[i] = r.u8(p + 4 + static_cast<uint64_t>(i));
            uint8_t c = type[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return std::nullopt;
        }
        p += 12 + uint64_t{length};
        if (std::memcmp(type, "IEND", 4) == 0) return found(offset, p, "png");
    }
    return std::nullopt;
}

std::optional<CarvedFile> gif(const Finder& f, uint64_t offset) {
    constexpr uint64_t limit = 104'857'600;  // no block at or past 100 MiB
    RandomReader r = f.reader(offset);
    const uint64_t extent = r.extent();
    if (!r.matches(0, "GIF87a") && !r.matches(0, "GIF89a")) return std::nullopt;
    auto colourTable = [](uint8_t flags) -> uint64_t {
        return (flags & 0x80) ? 3 * (uint64_t{2} << (flags & 7)) : 0;
    };
    uint64_t p = 13 + colourTable(r.u8(10));
    while (true) {
        if (p >= extent) return std::nullopt;
        uint64_t r0;
        switch (r.u8(p)) {
            case 0x3B: return found(offset, p + 1, "gif");
            case 0x21:
                if (p >= limit - 2) return std::nullopt;
                r0 = p + 2;
                break;
            case 0x2C: {
                uint64_t q = p + 10 + colourTable(r.u8(p + 9));
                if (q >= limit - 1) return std::nullopt;
                r0 = q + 1;
                break;
            }
            default: return std::nullopt;
        }
        // Data sub-blocks up to the zero-length terminator.
        uint64_t at = r0;
        bool terminated = false;
        while (at < extent) {
            uint8_t k = r.u8(at);
            if (k == 0) {
                p = at + 1;
                terminated = true;
                break;
            }
            at += 1 + uint64_t{k};
            if (at >= limit) return std::nullopt;
        }
        if (!terminated) p = at + 1;
        if (p >= limit) return std::nullopt;
    }
}

std::optional<CarvedFile> bmp(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    uint32_t fileSize = r.u32le(2), reserved = r.u32le(6), dataOffset = r.u32le(10), headerSize = r.u32le(14),
             width = r.u32le(18);
    static const std::set<uint32_t> headers = {12, 40, 52, 56, 108, 124};
    if (reserved != 0 || fileSize < 64 || fileSize > 536'870'912 || dataOffset < 26 || dataOffset >= fileSize ||
        !headers.count(headerSize) || width == 0)
        return std::nullopt;
    return found(offset, fileSize, "bmp");
}

namespace {

// TIFF fields in the file's byte order, read through the candidate's reader
// (bytes past the source's end count as zero).
struct TiffFields {
    RandomReader& r;
    bool little;

    uint32_t f16(uint64_t at) const { return little ? r.u16le(at) : r.u16be(at); }
    uint32_t f32(uint64_t at) const { return little ? r.u32le(at) : r.u32be(at); }
    // The first 65,536 values of an array of 16- or 32-bit values.
    std::vector<uint64_t> values(uint64_t at, uint32_t count, uint64_t size) const {
        std::vector<uint64_t> list;
        uint32_t n = std::min<uint32_t>(count, 65'536);
        list.reserve(n);
        for (uint32_t i = 0; i < n; ++i)
            list.push_back(size == 2 ? f16(at + 2 * uint64_t{i}) : f32(at + 4 * uint64_t{i}));
        return list;
    }
};

// What the walk over a TIFF's directories found.
struct TiffLayout {
    uint64_t end = 8;        // the furthest byte a directory, its values or image data reach
    bool imageData = false;  // strips or tiles placed below 2^31
    bool dngVersion = false;
    std::string maker;       // the last Make text, printable ASCII
};

constexpr uint64_t below31 = uint64_t{1} << 31;

uint64_t tiffTypeSize(uint32_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

// The n entries of the directory at o: they widen the layout, and the
// directories they point to (sub-directories, EXIF, the next one) are pushed
// on the stack.
void readTiffDirectory(const TiffFields& t, uint64_t o, uint32_t n, TiffLayout& layout,
                       std::vector<uint64_t>& stack) {
    layout.end = std::max(layout.end, o + 2 + 12 * uint64_t{n} + 4);
    std::vector<uint64_t> offsets, counts;
    uint64_t jpegOffset = 0, jpegLength = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t e = o + 2 + 12 * uint64_t{i};
        uint32_t tag = t.f16(e), type = t.f16(e + 2), count = t.f32(e + 4);
        uint64_t size = tiffTypeSize(type);
        if (size == 0) continue;
        uint64_t d = size * count, v;
        if (d <= 4) {
            v = e + 8;
        } else {
            v = t.f32(e + 8);
            if (v < below31 && d < below31) layout.end = std::max(layout.end, v + d);
        }
        switch (tag) {
            case 0x010F: {
                Bytes text = t.r.bytes(v, std::min<int64_t>(count, 32));
                layout.maker.clear();
                for (uint8_t c : text) layout.maker += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
                break;
            }
            case 0x0111: case 0x0144: offsets = t.values(v, count, size); break;
            case 0x0117: case 0x0145: counts = t.values(v, count, size); break;
            case 0x014A: case 0x8769:
                for (uint64_t sub : t.values(v, count, size))
                    if (sub > 7) stack.push_back(sub);
                break;
            case 0x0201: jpegOffset = t.f32(e + 8); break;
            case 0x0202: jpegLength = t.f32(e + 8); break;
            case 0xC612: layout.dngVersion = true; break;
            default: break;
        }
    }
    for (size_t i = 0; i < offsets.size() && i < counts.size(); ++i) {
        if (offsets[i] + counts[i] < below31) {
            layout.imageData = true;
            layout.end = std::max(layout.end, offsets[i] + counts[i]);
        }
    }
    if (jpegOffset != 0 && jpegLength != 0 && jpegOffset + jpegLength < below31)
        layout.end = std::max(layout.end, jpegOffset + jpegLength);
    if (uint32_t next = t.f32(o + 2 + 12 * uint64_t{n})) stack.push_back(next);
}

// Every directory reachable from the first, each once and at most 64 of
// them; absent when the first one holds no usable entry count.
std::optional<TiffLayout> walkTiff(const TiffFields& t, uint32_t first) {
    TiffLayout layout;
    std::vector<uint64_t> stack{first};
    std::set<uint64_t> visited;
    while (!stack.empty()) {
        uint64_t o = stack.back();
        stack.pop_back();
        if (visited.size() >= 64) break;
        if (o < 8 || o > 2'147'483'647 || visited.count(o)) continue;
        visited.insert(o);
        uint32_t n = t.f16(o);
        if (n < 1 || n > 999) {
            if (visited.size() == 1) return std::nullopt;
            continue;
        }
        readTiffDirectory(t, o, n, layout, stack);
    }
    return layout;
}

// The raw kind by the file's marker, its maker and its DNG tag; plain TIFF
// when none of them tells.
std::string tiffKind(uint8_t marker, const TiffLayout& layout, RandomReader& r) {
    std::string m = layout.maker;
    for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto starts = [&](const char* prefix) { return m.rfind(prefix, 0) == 0; };
    if (marker == 0x52) return "orf";
    if (marker == 0x55) return "rw2";
    if (starts("OLYMPUS") || starts("OM DIGITAL")) return "orf";
    if (layout.dngVersion) return "dng";
    if (r.matches(8, "CR")) return "cr2";
    if (starts("NIKON")) return "nef";
    if (starts("SONY")) return "arw";
    if (starts("PENTAX") || starts("RICOH")) return "pef";
    if (starts("SAMSUNG")) return "srw";
    if (starts("CANON")) return "cr2";
    return "tif";
}

}  // namespace

std::optional<CarvedFile> tiff(const Finder& f, uint64_t offset, bool little, uint8_t marker) {
    RandomReader r = f.reader(offset);
    const TiffFields t{r, little};
    uint32_t first = t.f32(4);
    if (first < 8 || first > 67'108'863) return std::nullopt;
    auto layout = walkTiff(t, first);
    if (!layout || !layout->imageData || layout->end <= 1024) return std::nullopt;
    return found(offset, layout->end, tiffKind(marker, *layout, r));
}

std::optional<CarvedFile> raf(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(0, "FUJIFILMCCD-RAW ")) return std::nullopt;
    uint64_t end = 0;
    for (uint64_t at : {84u, 92u, 100u}) {
        uint64_t o = r.u32be(at), length = r.u32be(at + 4);
        if (o != 0 && length != 0 && o + length < (uint64_t{1} << 31)) end = std::max(end, o + length);
    }
    if (end <= 1024) return std::nullopt;
    return found(offset, end, "raf");
}

}  // namespace sovanta::carving

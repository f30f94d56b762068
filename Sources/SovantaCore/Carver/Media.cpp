// Size finders of the audio and video formats: RIFF (WAV, AVI, WebP), AIFF,
// Matroska and WebM, Ogg, MP3 and ISO base media files.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>

#include "SovantaCore/Carver/Finders.h"

namespace sovanta::carving {

std::optional<CarvedFile> riff(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    uint64_t declared = r.u32le(4);
    uint64_t size = declared + (declared & 1) + 8;
    if (size < 44) return std::nullopt;
    if (r.matches(8, "WAVE")) return found(offset, size, "wav");
    if (r.matches(8, "AVI ")) return found(offset, size, "avi");
    if (r.matches(8, "WEBP")) return found(offset, size, "webp");
    return std::nullopt;
}

std::optional<CarvedFile> aiff(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (!r.matches(8, "AIFF") && !r.matches(8, "AIFC")) return std::nullopt;
    uint64_t formSize = r.u32be(4);
    if (formSize < 47) return std::nullopt;
    return found(offset, formSize + 8, "aif");
}

namespace {

// An EBML variable-length integer: the leading zero bits of the first byte
// give its length, the marker bit is dropped; all value bits set means unknown.
struct EBMLSize {
    bool valid = false;
    bool unknown = false;
    uint64_t value = 0;
    uint64_t length = 0;
};
EBMLSize ebmlSize(RandomReader& r, uint64_t at) {
    EBMLSize s;
    if (at >= r.extent()) return s;
    uint8_t first = r.u8(at);
    if (first == 0) return s;
    int length = std::countl_zero(first) + 1;
    uint64_t value = first & (0xFFu >> length);
    uint64_t allOnes = 0xFFu >> length;
    for (int i = 1; i < length; ++i) {
        value = (value << 8) | r.u8(at + static_cast<uint64_t>(i));
        allOnes = (allOnes << 8) | 0xFF;
    }
    s.valid = true;
    s.length = static_cast<uint64_t>(length);
    s.value = value;
    s.unknown = value == allOnes;
    return s;
}

}  // namespace

std::optional<CarvedFile> ebml(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    EBMLSize header = ebmlSize(r, 4);
    if (!header.valid || header.unknown || header.value > 4095) return std::nullopt;
    uint64_t dataStart = 4 + header.length;
    Bytes data = r.bytes(dataStart, static_cast<int64_t>(header.value));
    static const uint8_t webm[] = {'w', 'e', 'b', 'm'};
    std::string ext = firstIndex(data, webm, 0) ? "webm" : "mkv";
    uint64_t segment = dataStart + header.value;
    if (!r.matches(segment, "\x18\x53\x80\x67")) return std::nullopt;
    EBMLSize size = ebmlSize(r, segment + 4);
    if (!size.valid || size.unknown) return std::nullopt;
    uint64_t end = segment + 4 + size.length + size.value;
    if (end > r.extent()) return std::nullopt;
    return found(offset, end, ext);
}

std::optional<CarvedFile> ogg(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    if (r.u8(4) != 0 || !(r.u8(5) & 0x02)) return std::nullopt;
    uint64_t packet = 27 + uint64_t{r.u8(26)};
    std::string ext = "ogg";
    if (r.matches(packet, "OpusHead"))
        ext = "opus";
    else if (r.matches(packet, "\x80theora"))
        ext = "ogv";

    uint64_t p = 0, pages = 0;
    uint8_t lastFlags = 0;
    while (pages < 10'000'000 && r.matches(p, "OggS") && r.u8(p + 4) == 0) {
        uint64_t segments = r.u8(p + 26);
        uint64_t length = 27 + segments;
        Bytes lacing = r.bytes(p + 27, static_cast<int64_t>(segments));
        for (uint8_t v : lacing) length += v;
        lastFlags = r.u8(p + 5);
        p += length;
        ++pages;
    }
    if (pages < 2) return std::nullopt;
    // A stream that runs to the very end of the source without its
    // end-of-stream page was cut there: its length is not known.
    bool cut = p >= r.extent() && !(lastFlags & 0x04);
    return found(offset, p, ext, !cut);
}

std::optional<uint32_t> mpegFrameLength(uint32_t h) {
    static constexpr std::array<std::array<uint32_t, 16>, 5> bitrates = {{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // MPEG-1 Layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // MPEG-1 Layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // MPEG-1 Layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2/2.5 Layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},          // MPEG-2/2.5 Layers II, III
    }};
    static constexpr std::array<std::array<uint32_t, 3>, 4> rates = {{
        {11025, 12000, 8000},   // MPEG-2.5
        {0, 0, 0},              // reserved
        {22050, 24000, 16000},  // MPEG-2
        {44100, 48000, 32000},  // MPEG-1
    }};
    if (h < 0xFFE00000) return std::nullopt;
    uint32_t version = (h >> 19) & 3, layer = (h >> 17) & 3, bitrateIndex = (h >> 12) & 15,
             rateIndex = (h >> 10) & 3, padding = (h >> 9) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return std::nullopt;
    bool mpeg1 = version == 3;
    size_t table = mpeg1 ? static_cast<size_t>(3 - layer) : (layer == 3 ? 3 : 4);
    uint64_t bitrate = uint64_t{bitrates[table][bitrateIndex]} * 1000;
    uint64_t rate = rates[version][rateIndex];
    uint64_t length;
    if (layer == 3)
        length = (12 * bitrate / rate + padding) * 4;
    else if (layer == 2 || mpeg1)
        length = 144 * bitrate / rate + padding;
    else
        length = 72 * bitrate / rate + padding;
    if (length < 24) return std::nullopt;
    return static_cast<uint32_t>(length);
}

std::optional<CarvedFile> mp3(const Finder& f, uint64_t offset) {
    RandomReader r = f.reader(offset);
    uint8_t major = r.u8(3);
    if (!r.matches(0, "ID3") || major < 2 || major > 4) return std::nullopt;
    uint64_t tagSize = 0;
    for (uint64_t i = 6; i < 10; ++i) {
        uint8_t b = r.u8(i);
        if (b >= 0x80) return std::nullopt;
        tagSize = (tagSize << 7) | b;
    }
    uint64_t p = 10 + tagSize + ((r.u8(5) & 0x10) ? 10 : 0);
    for (int skipped = 0; skipped < 65'536 && p < r.extent() && r.u8(p) == 0; ++skipped) ++p;
    uint64_t frames = 0;
    while (p < (uint64_t{1} << 30)) {
        auto length = mpegFrameLength(r.u32be(p));
        if (!length) break;
        p += *length;
        ++frames;
    }
    if (frames < 8) return std::nullopt;
    if (r.matches(p, "TAG")) p += 128;
    return found(offset, p, "mp3");
}

std::optional<CarvedFile> isoBMFF(const Finder& f, uint64_t offset) {
    static constexpr std::array<std::string_view, 23> accepted = {
        "ftyp", "moov", "mdat", "free", "skip", "wide", "meta", "uuid", "pnot", "udta", "pdin", "moof",
        "mfra", "sidx", "styp", "prft", "emsg", "jumb", "junk", "PICT", "iinf", "iloc", "idat"};
    RandomReader r = f.reader(offset);
    uint64_t firstSize = r.u32be(0);
    if (firstSize < 12 || firstSize > 4096) return std::nullopt;
    Bytes brandBytes = r.bytes(8, 4);
    std::string brand(brandBytes.begin(), brandBytes.end());

    bool movie = false, meta = false, mdat = false, cut = false;
    std::optional<Date> date;
    uint64_t p = 0;
    for (int box = 0; box < 100'000; ++box) {
        Bytes typeBytes = r.bytes(p + 4, 4);
        if (std::any_of(typeBytes.begin(), typeBytes.end(), [](uint8_t c) { return c < 0x20 || c > 0x7E; })) break;
        std::string_view type(reinterpret_cast<const char*>(typeBytes.data()), 4);
        if (std::find(accepted.begin(), accepted.end(), type) == accepted.end()) break;
        uint64_t size = r.u32be(p);
        if (size == 1) size = r.u64be(p + 8);
        if (size < 8 || size >= (uint64_t{1} << 40)) break;
        if (size > r.extent() || p > r.extent() - size) {
            // A box that runs past the end of the source: the file was cut there.
            cut = true;
            break;
        }
        if (type == "moov") {
            movie = true;
            if (!date && r.matches(p + 12, "mvhd")) {
                uint8_t version = r.u8(p + 16);
                uint64_t created = version == 1 ? r.u64be(p + 20) : r.u32be(p + 20);
                // Seconds since 1904; dates a Date cannot hold are left out.
                if (created > 2'082'844'800ULL && created - 2'082'844'800ULL <= uint64_t{INT64_MAX})
                    date = dateFromUnixSeconds(static_cast<int64_t>(created - 2'082'844'800ULL));
            }
        } else if (type == "meta") {
            meta = true;
        } else if (type == "mdat") {
            mdat = true;
        }
        p += size;
    }
    if (!(movie || (meta && mdat)) || p <= firstSize) return std::nullopt;

    std::string ext;
    auto is = [&](std::initializer_list<const char*> brands) {
        return std::any_of(brands.begin(), brands.end(), [&](const char* b) { return brand == b; });
    };
    if (brand == "qt  ")
        ext = "mov";
    else if (is({"heic", "heix", "mif1", "msf1", "hevc", "heim", "heis"}))
        ext = "heic";
    else if (is({"avif", "avis"}))
        ext = "avif";
    else if (is({"M4A ", "M4B ", "M4P "}))
        ext = "m4a";
    else if (is({"M4V ", "M4VH", "M4VP"}))
        ext = "m4v";
    else if (brand == "crx ")
        ext = "cr3";
    else if (brand.rfind("3g", 0) == 0)
        ext = "3gp";
    else
        ext = movie ? "mp4" : "heic";
    // A file cut by the end of the source keeps everything up to that end, as
    // an estimate: its last box is there in part.
    if (cut) return found(offset, r.extent(), ext, false, date);
    return found(offset, p, ext, true, date);
}

}  // namespace sovanta::carving

// The carver's dispatcher: the magic table in its order, the category filter,
// the list of supported types and the EXIF capture date.
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include "SovantaCore/Carver/Finders.h"

namespace sovanta {

namespace carving {

std::optional<Date> dateFromUnixSeconds(int64_t seconds) {
    // A Date counts nanoseconds in 64 bits: about 292 years either side of 1970.
    constexpr int64_t limit = 9'000'000'000;  // seconds, about the year 2255
    if (seconds > limit || seconds < -limit) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(seconds)));
}

std::optional<Date> parseExifDateText(const std::string& text) {
    thread_local std::unique_ptr<icu::SimpleDateFormat> format = [] {
        UErrorCode status = U_ZERO_ERROR;
        auto f = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString("yyyy:MM:dd HH:mm:ss"),
                                                         icu::Locale("en_US_POSIX"), status);
        if (U_FAILURE(status)) return std::unique_ptr<icu::SimpleDateFormat>();
        f->setLenient(false);
        return f;
    }();
    if (!format || text.empty()) return std::nullopt;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    icu::ParsePosition position(0);
    UDate millis = format->parse(u, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != u.length()) return std::nullopt;
    double seconds = millis / 1000.0;
    if (!(seconds > -9.0e9 && seconds < 9.0e9)) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace carving

using namespace carving;

Carver::Carver(DiskSourcePtr source, std::set<FileCategory> wanted)
    : src(std::move(source)), categories(std::move(wanted)), cache_(std::make_shared<SweepCache>()) {}

void Carver::setWindow(const uint8_t* data, uint64_t offset, uint64_t length) const {
    cache_->setWindow(data, offset, length);
}

void Carver::setAhead(const uint8_t* data, uint64_t offset, uint64_t length) const {
    cache_->setAhead(data, offset, length);
}

const std::vector<std::pair<FileCategory, std::string>>& Carver::supportedTypes() {
    static const std::vector<std::pair<FileCategory, std::string>> types = {
        {FileCategory::image, "JPEG, PNG, GIF, BMP, TIFF, HEIC, AVIF, WebP, RAW (CR2, CR3, NEF, ARW, DNG, ORF, RW2, RAF, PEF)"},
        {FileCategory::video, "MP4, MOV, M4V, 3GP, AVI, MKV, WebM, OGV"},
        {FileCategory::audio, "MP3, M4A, WAV, AIFF, OGG, Opus"},
        {FileCategory::document, "PDF, DOCX, XLSX, PPTX, DOC, XLS, PPT, ODT, ODS, ODP, EPUB, RTF, SQLite, MSG"},
        {FileCategory::archive, "ZIP, 7-Zip, RAR, JAR"},
    };
    return types;
}

bool Carver::wants(const std::string& ext) const {
    if (categories.count(categoryOf("x." + ext))) return true;
    if (categories.count(FileCategory::document)) return ext == "sqlite" || ext == "msg";
    return false;
}

std::optional<CarvedFile> Carver::check(ByteSpan view, uint64_t offset) const {
    return check(view, offset, nullptr);
}

std::optional<CarvedFile> Carver::check(ByteSpan view, uint64_t offset, std::optional<HeldZip>& held) const {
    held.reset();
    return check(view, offset, &held);
}

HeldOutcome Carver::searchHeld(HeldZip& held) const {
    const Finder finder{src, categories, cache_.get()};
    HeldOutcome outcome = searchHeldZip(finder, held);
    if (outcome.settled) outcome.file = accept(std::move(outcome.file), held.offset);
    return outcome;
}

std::optional<CarvedFile> Carver::settleHeld(const HeldZip& held) const {
    const Finder finder{src, categories, cache_.get()};
    return accept(settleHeldZip(finder, held), held.offset);
}

std::optional<CarvedFile> Carver::check(ByteSpan view, uint64_t offset, std::optional<HeldZip>* held) const {
    if (view.data() == nullptr || view.size() < 32 || !src) return std::nullopt;
    const uint8_t* b = view.data();
    if (!mayStartFile(b)) return std::nullopt;
    auto is = [&](const char* magic, size_t n) { return std::memcmp(b, magic, n) == 0; };
    auto want = [&](FileCategory c) { return categories.count(c) > 0; };
    // A candidate that could also be an ISO media file is never held: when
    // the ZIP gives nothing, that one is asked next, at once.
    const bool boxType = std::memcmp(b + 4, "ftyp", 4) == 0;
    const Finder finder{src, categories, cache_.get(), boxType ? nullptr : held};

    // The magic values exclude one another, so at most one family matches.
    std::optional<CarvedFile> result;
    if (b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF && b[3] >= 0xC0) {
        if (want(FileCategory::image)) result = jpeg(finder, offset);
    } else if (is("\x89PNG", 4)) {
        if (want(FileCategory::image)) result = png(finder, offset);
    } else if (is("GIF8", 4)) {
        if (want(FileCategory::image)) result = gif(finder, offset);
    } else if (is("BM", 2)) {
        if (want(FileCategory::image)) result = bmp(finder, offset);
    } else if (is("II", 2) && (b[2] == 0x2A || b[2] == 0x52 || b[2] == 0x55) && (b[3] == 0x00 || b[3] == 0x4F)) {
        if (want(FileCategory::image)) result = tiff(finder, offset, true, b[2]);
    } else if (is("MM\x00\x2A", 4)) {
        if (want(FileCategory::image)) result = tiff(finder, offset, false, 0x2A);
    } else if (is("FUJI", 4)) {
        if (want(FileCategory::image)) result = raf(finder, offset);
    } else if (is("RIFF", 4)) {
        result = riff(finder, offset);
    } else if (is("Rar!", 4)) {
        if (want(FileCategory::archive)) result = rar(finder, offset);
    } else if (is("FORM", 4)) {
        if (want(FileCategory::audio)) result = aiff(finder, offset);
    } else if (is("\x1A\x45\xDF\xA3", 4)) {
        result = ebml(finder, offset);
    } else if (is("%PDF", 4)) {
        if (want(FileCategory::document)) result = pdf(finder, offset);
    } else if (is("7z\xBC\xAF", 4)) {
        if (want(FileCategory::archive)) result = sevenZip(finder, offset);
    } else if (is("SQLi", 4)) {
        if (want(FileCategory::document)) result = sqlite(finder, offset);
    } else if (is("\xD0\xCF\x11\xE0", 4)) {
        if (want(FileCategory::document)) result = ole(finder, offset);
    } else if (is("OggS", 4)) {
        result = ogg(finder, offset);
    } else if (is("PK\x03\x04", 4)) {
        result = zip(finder, offset);
    } else if (is("ID3", 3)) {
        if (want(FileCategory::audio)) result = mp3(finder, offset);
    } else if (is("{\\rt", 4)) {
        if (want(FileCategory::document)) result = rtf(finder, offset);
    }
    // A held ZIP has no result yet; the box type is not looked at for it.
    if (held && *held) return std::nullopt;
    if (!result && boxType) result = isoBMFF(finder, offset);
    return accept(std::move(result), offset);
}

std::optional<CarvedFile> Carver::accept(std::optional<CarvedFile> result, uint64_t offset) const {
    if (!result || result->size == 0 || !wants(result->ext)) return std::nullopt;

    // A size that runs past the end of the source (a length declared in a
    // header, or a last unit cut off) is not the file's whole length: what is
    // there is kept, as an estimate.
    uint64_t extent = offset < src->size ? src->size - offset : 0;
    if (result->size > extent) {
        if (extent == 0) return std::nullopt;
        result->size = extent;
        result->exact = false;
    }
    return result;
}

// MARK: EXIF capture date

std::optional<Date> Carver::exifDate(ByteSpan tiff) {
    if (tiff.size() <= 16) return std::nullopt;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return std::nullopt;
    auto f16 = [&](int64_t at) -> uint32_t { return little ? u16le(tiff, at) : u16be(tiff, at); };
    auto f32 = [&](int64_t at) -> uint32_t { return little ? u32le(tiff, at) : u32be(tiff, at); };
    const int64_t length = static_cast<int64_t>(tiff.size());

    struct Entry {
        uint32_t tag, count, value;
    };
    auto entries = [&](int64_t o) {
        std::vector<Entry> list;
        if (o <= 0 || o > length - 2) return list;
        uint32_t n = std::min<uint32_t>(f16(o), 512);
        for (uint32_t i = 0; i < n; ++i) {
            int64_t e = o + 2 + 12 * static_cast<int64_t>(i);
            if (e > length - 12) break;
            list.push_back({f16(e), f32(e + 4), f32(e + 8)});
        }
        return list;
    };
    auto text = [&](uint32_t at) { return ascii(tiff, static_cast<int64_t>(at), 19); };

    std::optional<Date> result;
    for (const Entry& entry : entries(static_cast<int64_t>(f32(4)))) {
        if (entry.tag == 0x8769) {
            for (const Entry& sub : entries(static_cast<int64_t>(entry.value)))
                if (sub.tag == 0x9003)
                    if (auto date = parseExifDateText(text(sub.value))) return date;
        } else if (entry.tag == 0x0132) {
            result = parseExifDateText(text(entry.value));
        }
    }
    return result;
}

}  // namespace sovanta

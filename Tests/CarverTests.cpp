// The carver's dispatcher and size finders on small hand-made structures: the
// edge cases of each format, the category filter, the capture dates, and the
// rule that a length running past the end of the source is never exact.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "SovantaCore/Carver.h"
#include "SovantaCore/Carver/Finders.h"
#include "TestSupport.h"

using namespace sovanta;
namespace fs = std::filesystem;

namespace {

// MARK: Byte builders

Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }
// A literal with its embedded zero bytes.
template <size_t N>
Bytes str(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}
Bytes zeros(size_t n) { return Bytes(n, 0); }
Bytes le16(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes be64(uint64_t v) {
    Bytes b = be32(uint32_t(v >> 32)), l = be32(uint32_t(v));
    b.insert(b.end(), l.begin(), l.end());
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes padTo(Bytes b, size_t n, uint8_t fill = 0) {
    if (b.size() < n) b.resize(n, fill);
    return b;
}
Bytes repeat(const Bytes& b, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out.insert(out.end(), b.begin(), b.end());
    return out;
}

// JPEG: a segment with its length, and a minimal baseline picture.
Bytes segment(uint8_t marker, const Bytes& payload) {
    return cat({{0xFF, marker}, be16(uint32_t(payload.size() + 2)), payload});
}
Bytes jpegWith(const Bytes& beforeFrame, const Bytes& scanData) {
    Bytes sof = {8, 0, 16, 0, 16, 1, 1, 0x11, 0};
    Bytes sos = {1, 1, 0, 0, 63, 0};
    return cat({{0xFF, 0xD8}, beforeFrame, segment(0xC0, sof), segment(0xDA, sos), scanData, {0xFF, 0xD9}});
}
const Bytes scan = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56, 0xFF, 0x00};

// A TIFF structure as EXIF stores it, with a date and time (0x0132) in the
// first directory and a capture date (0x9003) in the EXIF directory.
Bytes exifTiff(bool little, std::optional<std::string> modified, std::optional<std::string> original) {
    auto u16 = [&](uint32_t v) { return little ? le16(v) : be16(v); };
    auto u32 = [&](uint32_t v) { return little ? le32(v) : be32(v); };
    uint32_t n0 = (modified ? 1u : 0u) + (original ? 1u : 0u);
    uint32_t ifd0 = 8, sub = ifd0 + 2 + 12 * n0 + 4, texts = sub + (original ? 2 + 12 + 4 : 0);
    Bytes out = cat({str(little ? "II" : "MM"), u16(42), u32(ifd0), u16(n0)});
    uint32_t textAt = texts;
    if (modified) out = cat({out, u16(0x0132), u16(2), u32(20), u32(textAt)}), textAt += 20;
    if (original) out = cat({out, u16(0x8769), u16(4), u32(1), u32(sub)});
    out = cat({out, u32(0)});
    if (original) out = cat({out, u16(1), u16(0x9003), u16(2), u32(20), u32(textAt), u32(0)});
    if (modified) out = cat({out, padTo(str(*modified), 20)});
    if (original) out = cat({out, padTo(str(*original), 20)});
    return out;
}
Bytes exifSegment(const Bytes& tiff) { return segment(0xE1, cat({str("Exif"), zeros(2), tiff})); }

Bytes pngChunk(std::string_view type, const Bytes& payload) {
    return cat({be32(uint32_t(payload.size())), str(type), payload, zeros(4)});
}
Bytes pngWith(const Bytes& chunks) {
    return cat({str("\x89PNG\r\n\x1A\n"), pngChunk("IHDR", zeros(13)), chunks});
}

// A TIFF with one directory at 8; entries are (tag, type, count, value).
struct TiffEntry {
    uint16_t tag, type;
    uint32_t count, value;
};
Bytes tiffWith(uint8_t marker, const std::vector<TiffEntry>& entries, uint32_t next = 0) {
    Bytes out = cat({str("II"), {marker, 0}, le32(8), le16(uint32_t(entries.size()))});
    for (const auto& e : entries) out = cat({out, le16(e.tag), le16(e.type), le32(e.count), le32(e.value)});
    return cat({out, le32(next)});
}

Bytes oggPage(uint8_t flags, const Bytes& packet) {
    Bytes lacing;
    size_t left = packet.size();
    do {
        lacing.push_back(uint8_t(std::min<size_t>(left, 255)));
        left -= std::min<size_t>(left, 255);
    } while (lacing.back() == 255);
    return cat({str("OggS"), {0, flags}, zeros(8), le32(7), zeros(8), {uint8_t(lacing.size())}, lacing, packet});
}

Bytes mp3Frames(int count) {
    Bytes frame = padTo(be32(0xFFFB9000), 417, 0x55);  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz
    return repeat(frame, count);
}
const Bytes id3 = cat({str("ID3"), {3, 0, 0}, {0, 0, 0, 20}, padTo(str("TIT2"), 20)});

Bytes box(std::string_view type, const Bytes& payload) {
    return cat({be32(uint32_t(payload.size() + 8)), str(type), payload});
}
Bytes ftyp(std::string_view brand) { return box("ftyp", cat({str(brand), be32(0), str(brand), str("isom")})); }
Bytes mvhd(uint8_t version, uint64_t created) {
    Bytes times = version == 1 ? cat({be64(created), be64(created)}) : cat({be32(uint32_t(created)), be32(uint32_t(created))});
    return box("mvhd", cat({{version, 0, 0, 0}, times, zeros(80)}));
}

// ZIP records.
Bytes zipLocal(std::string_view name, const Bytes& data, bool descriptor) {
    return cat({le32(0x04034B50), le16(20), le16(descriptor ? 8 : 0), le16(0), le32(0), le32(0),
                le32(descriptor ? 0 : uint32_t(data.size())), le32(descriptor ? 0 : uint32_t(data.size())),
                le16(uint32_t(name.size())), le16(0), str(name), data,
                descriptor ? cat({le32(0x08074B50), le32(0), le32(uint32_t(data.size())), le32(uint32_t(data.size()))})
                           : Bytes{}});
}
Bytes zipCentral(std::string_view name) {
    return cat({le32(0x02014B50), le16(20), le16(20), zeros(16), le32(0), le32(0), le16(uint32_t(name.size())),
                le16(0), le16(0), zeros(8), le32(0), str(name)});
}
Bytes zipEnd(uint32_t directorySize, uint32_t directoryOffset) {
    return cat({le32(0x06054B50), zeros(4), le16(1), le16(1), le32(directorySize), le32(directoryOffset), le16(0)});
}
Bytes zipFile(std::string_view name, const Bytes& data, bool descriptor = false) {
    Bytes local = zipLocal(name, data, descriptor), central = zipCentral(name);
    return cat({local, central, zipEnd(uint32_t(central.size()), uint32_t(local.size()))});
}

Bytes sqliteHeader(uint32_t pageSize, uint32_t pages, uint32_t counter, uint32_t validFor) {
    Bytes h = padTo(cat({str("SQLite format 3\0"), be16(pageSize)}), 24);
    h = cat({h, be32(counter), be32(pages)});
    h = padTo(h, 92);
    return padTo(cat({h, be32(validFor)}), 100);
}

// An OLE2 compound file of four 512-byte sectors: the header, the FAT
// (sector 0), the directory (sector 1) holding the given names, and data.
Bytes oleFile(const std::vector<std::string>& names) {
    Bytes header = cat({str("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"), zeros(22), le16(9), le16(6), zeros(10), le32(1),
                        le32(1), zeros(12), le32(0xFFFFFFFE), le32(0)});
    header = padTo(header, 76);
    header = cat({header, le32(0)});
    header = padTo(header, 512, 0xFF);
    Bytes fat = cat({le32(0xFFFFFFFD), le32(0xFFFFFFFE), le32(0xFFFFFFFE)});
    fat = padTo(fat, 512, 0xFF);
    Bytes directory;
    for (const auto& name : names) {
        Bytes entry;
        for (char c : name) entry = cat({entry, {uint8_t(c), 0}});
        directory = cat({directory, padTo(entry, 128)});
    }
    directory = padTo(directory, 512);
    return cat({header, fat, directory, padTo(str("data"), 512)});
}

std::set<FileCategory> everything() { return {allFileCategories().begin(), allFileCategories().end()}; }

struct Expect {
    uint64_t size;
    std::string ext;
    bool exact = true;
};

class CarverTest : public ::testing::Test {
protected:
    DiskSourcePtr sourceOf(const Bytes& data) {
        fs::path path = dir.path() / ("source" + std::to_string(count++) + ".img");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return SourceOpener::openImage(path.string());
    }
    // The file at `at` in data, as the deep sweep asks for it.
    std::optional<CarvedFile> carve(const Bytes& data, std::set<FileCategory> categories = everything(),
                                    uint64_t at = 0) {
        last = sourceOf(data);
        Carver carver(last, std::move(categories));
        Bytes view = last->read(at, 64);
        viewRead = last->bytesRead();
        return carver.check(view, at);
    }
    void expectCase(const std::string& name, const Bytes& data, std::optional<Expect> expected) {
        SCOPED_TRACE(name);
        auto f = carve(data);
        ASSERT_EQ(f.has_value(), expected.has_value()) << (f ? f->ext + " " + std::to_string(f->size) : "");
        if (!f) return;
        EXPECT_EQ(f->offset, 0u);
        EXPECT_EQ(f->size, expected->size);
        EXPECT_EQ(f->ext, expected->ext);
        EXPECT_EQ(f->exact, expected->exact);
    }

    test::TempDir dir;
    int count = 0;
    DiskSourcePtr last;
    uint64_t viewRead = 0;  // what the source had read once the view was taken
};

std::string localText(const Date& date) {
    std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &parts);
    return text;
}

}  // namespace

// MARK: Dispatch and categories

TEST_F(CarverTest, AViewShorterThan32BytesGivesNothing) {
    Bytes jpeg = jpegWith({}, scan);
    auto src = sourceOf(jpeg);
    Carver carver(src, everything());
    EXPECT_FALSE(carver.check(ByteSpan(jpeg.data(), 31), 0));
    EXPECT_FALSE(carver.check(ByteSpan(), 0));
    EXPECT_TRUE(carver.check(ByteSpan(jpeg.data(), 32), 0));
}

TEST_F(CarverTest, CategoriesDecideWhatIsReadAndWhatIsKept) {
    // A picture family is not even read when pictures are not wanted (the
    // sources are large enough for the carver's reads to go to the file).
    EXPECT_FALSE(carve(padTo(pngWith(pngChunk("IEND", {})), 400000), {FileCategory::audio}));
    EXPECT_EQ(last->bytesRead(), viewRead);
    // RIFF is read whatever is wanted; the kind it turns out to be decides.
    Bytes avi = padTo(cat({str("RIFF"), le32(92), str("AVI ")}), 400000);
    Bytes wav = padTo(cat({str("RIFF"), le32(92), str("WAVE")}), 400000);
    EXPECT_FALSE(carve(avi, {FileCategory::audio}));
    EXPECT_GT(last->bytesRead(), viewRead);
    ASSERT_TRUE(carve(wav, {FileCategory::audio}));
    // ZIP kinds: plain archives need the archive category, office files the document one.
    Bytes plain = zipFile("a.txt", str("hello"));
    Bytes docx = zipFile("word/document.xml", str("<w/>"));
    EXPECT_FALSE(carve(plain, {FileCategory::document}));
    EXPECT_EQ(carve(plain, {FileCategory::archive}).value_or(CarvedFile{}).ext, "zip");
    EXPECT_FALSE(carve(docx, {FileCategory::archive}));
    EXPECT_EQ(carve(docx, {FileCategory::document}).value_or(CarvedFile{}).ext, "docx");
    auto sqlite = carve(padTo(sqliteHeader(512, 2, 5, 5), 1024), {FileCategory::document});
    ASSERT_TRUE(sqlite);
    EXPECT_EQ(sqlite->ext, "sqlite");
}

TEST_F(CarverTest, SupportedTypesNameEveryCategoryButOther) {
    const auto& types = Carver::supportedTypes();
    ASSERT_EQ(types.size(), 5u);
    EXPECT_EQ(types[0].first, FileCategory::image);
    EXPECT_EQ(types[4].second, "ZIP, 7-Zip, RAR, JAR");
}

// MARK: Size finders

TEST_F(CarverTest, PictureFormats) {
    Bytes jpeg = jpegWith({}, scan);
    Bytes sof = {8, 0, 16, 0, 16, 1, 1, 0x11, 0};
    Bytes gct = zeros(12);
    Bytes gif87 = cat({str("GIF87a"), le16(4), le16(4), {0x81, 0, 0}, gct, {0x3B}});
    Bytes gif89 = cat({str("GIF89a"), le16(4), le16(4), {0x81, 0, 0}, gct, {0x21, 0xF9, 4, 0, 0, 0, 0, 0},
                       {0x2C}, zeros(8), {0}, {2, 2, 0xAA, 0xBB, 0}, {0x3B}});
    Bytes bmp = padTo(cat({str("BM"), le32(3000), le32(0), le32(54), le32(40), le32(10)}), 3000);
    Bytes bmp16 = padTo(cat({str("BM"), le32(3000), le32(0), le32(54), le32(16), le32(10)}), 3000);
    Bytes nikon = padTo(str("NIKON"), 6);
    Bytes rw2 = padTo(cat({tiffWith(0x55, {{0x010F, 2, 6, 200}, {0x0111, 4, 1, 2000}, {0x0117, 4, 1, 100}}),
                           zeros(200 - 8 - 2 - 36 - 4), nikon}),
                      2100);
    Bytes noStrips = padTo(tiffWith(0x2A, {{0x0100, 3, 1, 16}}), 3000);
    Bytes small = padTo(tiffWith(0x2A, {{0x0111, 4, 1, 1000}, {0x0117, 4, 1, 24}}), 1024);
    // Two directories pointing at each other: each is read once.
    Bytes loop = tiffWith(0x2A, {{0x0111, 4, 1, 1500}, {0x0117, 4, 1, 500}}, 100);
    loop = padTo(cat({padTo(loop, 100), le16(1), le16(0x0100), le16(3), le32(1), le32(8), le32(8)}), 2000);
    Bytes raf = padTo(cat({str("FUJIFILMCCD-RAW 0201FF383501"), zeros(56), be32(160), be32(1000), be32(1160),
                           be32(16), be32(1200), be32(800)}),
                      2000);

    struct Case {
        std::string name;
        Bytes data;
        std::optional<Expect> expected;
    };
    std::vector<Case> cases = {
        {"minimal JPEG", jpeg, Expect{jpeg.size(), "jpg"}},
        {"JPEG start followed by its end", cat({{0xFF, 0xD8, 0xFF, 0xD9}, zeros(60)}), std::nullopt},
        {"JPEG without a frame", cat({{0xFF, 0xD8}, segment(0xDA, zeros(6)), scan, {0xFF, 0xD9}, zeros(40)}),
         std::nullopt},
        {"JPEG without a scan", cat({{0xFF, 0xD8}, segment(0xC0, sof), {0xFF, 0xD9}, zeros(40)}), std::nullopt},
        {"JPEG ending in fill bytes", cat({jpegWith({}, Bytes{0x11, 0xFF}), zeros(20)}),
         Expect{jpeg.size() - scan.size() + 2, "jpg"}},
        {"PNG", pngWith(cat({pngChunk("IDAT", zeros(30)), pngChunk("IEND", {})})), Expect{8 + 25 + 42 + 12, "png"}},
        {"PNG with a digit in a chunk type", pngWith(cat({pngChunk("ID4T", zeros(30)), pngChunk("IEND", {})})),
         std::nullopt},
        {"PNG whose IEND has data", pngWith(pngChunk("IEND", zeros(5))), Expect{8 + 25 + 17, "png"}},
        {"GIF87a with a global table", cat({gif87, zeros(40)}), Expect{14 + 12, "gif"}},
        {"GIF89a with an extension and an image", cat({gif89, zeros(40)}), Expect{gif89.size(), "gif"}},
        {"BMP", bmp, Expect{3000, "bmp"}},
        {"BMP with header size 16", bmp16, std::nullopt},
        {"TIFF with marker 0x55 is rw2 whatever its maker", rw2, Expect{2100, "rw2"}},
        {"TIFF without strips or tiles", noStrips, std::nullopt},
        {"TIFF whose data end at 1024", small, std::nullopt},
        {"TIFF directories in a loop", loop, Expect{2000, "tif"}},
        {"RAF", raf, Expect{2000, "raf"}},
    };
    for (const auto& c : cases) expectCase(c.name, c.data, c.expected);
}

TEST_F(CarverTest, ArchiveAndDocumentFormats) {
    Bytes rar4 = cat({str("Rar!\x1A\x07"), {0}, le16(0), {0x73}, le16(0), le16(13), zeros(6), zeros(100)});
    Bytes payload = cat({str("data "), str("PK\x05\x06"), le32(7), le32(9), le32(1), le32(2), le16(0)});
    Bytes streamed = zipFile("a.txt", payload, true);
    Bytes odt = zipFile("mimetype", str("application/vnd.oasis.opendocument.text"));
    // A small archive right before an office file is still a plain archive.
    Bytes neighbours = cat({zipFile("a.txt", str("x")), zipFile("word/document.xml", str("<w/>"))});
    Bytes linear = padTo(str("%PDF-1.5\n1 0 obj\n<< /Linearized 1 /L 3000 /H [ 1 2 ] >>\nendobj\n"), 3000, ' ');
    Bytes notLinear = padTo(str("%PDF-1.5\n1 0 obj\n<< /Linearized 1 /L 64 >>\nendobj\n%%EOF\n"), 300);
    Bytes updated = cat({str("%PDF-1.4\nbody\n%%EOF\nxref\n0 1\ntrailer\n%%EOF\n"), zeros(100)});
    Bytes single = cat({str("%PDF-1.4\nbody\n%%EOF\n"), str("trailing words"), zeros(100)});
    Bytes pages = padTo(sqliteHeader(1, 2, 3, 3), 131072);
    Bytes rtf = cat({str("{\\rtf1 {a\\}b} }"), zeros(10)});

    struct Case {
        std::string name;
        Bytes data;
        std::optional<Expect> expected;
    };
    std::vector<Case> cases = {
        {"RAR 4 whose blocks run into zeros", rar4, std::nullopt},
        {"ZIP with a data descriptor, sized by its end record", streamed, Expect{streamed.size(), "zip"}},
        {"OpenDocument text", odt, Expect{odt.size(), "odt"}},
        {"ZIP before a docx", neighbours, Expect{zipFile("a.txt", str("x")).size(), "zip"}},
        {"Office document", zipFile("word/document.xml", str("<w/>")),
         Expect{zipFile("word/document.xml", str("<w/>")).size(), "docx"}},
        {"linearized PDF", linear, Expect{3000, "pdf"}},
        {"PDF whose linearized length is below 65", notLinear, Expect{56, "pdf", false}},
        {"PDF with an incremental update", updated, Expect{updated.size() - 100, "pdf", false}},
        {"PDF with one end marker and a line feed", single, Expect{20, "pdf", false}},
        {"SQLite with page size 1", pages, Expect{131072, "sqlite"}},
        {"SQLite with page size 300", padTo(sqliteHeader(300, 2, 3, 3), 1000), std::nullopt},
        {"SQLite with a stale page count", padTo(sqliteHeader(512, 2, 3, 4), 1024), std::nullopt},
        {"OLE2 with Workbook and Book", oleFile({"Root Entry", "Book", "Workbook"}), Expect{2048, "xls"}},
        {"OLE2 with Word document", oleFile({"Root Entry", "WordDocument"}), Expect{2048, "doc"}},
        {"OLE2 with PowerPoint", oleFile({"Root Entry", "PowerPoint Document"}), Expect{2048, "ppt"}},
        {"OLE2 with a mail message", oleFile({"Root Entry", "__substg1.0_0037001F"}), Expect{2048, "msg"}},
        {"OLE2 with none of the names", oleFile({"Root Entry", "Other"}), Expect{2048, "doc"}},
        {"RTF with an escaped brace", rtf, Expect{rtf.size() - 10, "rtf"}},
    };
    for (const auto& c : cases) expectCase(c.name, c.data, c.expected);
}

TEST_F(CarverTest, AudioAndVideoFormats) {
    Bytes oggOne = cat({oggPage(0x02, str("\x01vorbis")), zeros(50)});
    Bytes ogg = cat({oggPage(0x02, str("\x01vorbis")), oggPage(0x04, zeros(300))});
    Bytes opus = cat({oggPage(0x02, str("OpusHead")), oggPage(0x04, zeros(10))});
    Bytes theora = cat({oggPage(0x02, str("\x80theora")), oggPage(0x04, zeros(10))});
    Bytes sevenFrames = cat({id3, mp3Frames(7), zeros(100)});
    Bytes eightFrames = cat({id3, zeros(3), mp3Frames(8), padTo(str("TAG"), 128), zeros(100)});
    Bytes moov = box("moov", mvhd(0, 0));
    Bytes mp4 = cat({ftyp("mp42"), moov, box("mdat", zeros(100))});
    Bytes heif = cat({ftyp("mif1"), box("meta", zeros(20)), box("mdat", zeros(100))});
    Bytes other = cat({ftyp("abcd"), box("meta", zeros(20)), box("mdat", zeros(100))});
    Bytes movie = cat({ftyp("qt  "), moov, box("mdat", zeros(10))});
    Bytes stops = cat({ftyp("isom"), moov, box("mdat", zeros(10)), box("zzzz", zeros(10))});

    struct Case {
        std::string name;
        Bytes data;
        std::optional<Expect> expected;
    };
    std::vector<Case> cases = {
        {"RIFF of odd size 45", padTo(cat({str("RIFF"), le32(45), str("WAVE")}), 60), Expect{54, "wav"}},
        {"RIFF MIDI", padTo(cat({str("RIFF"), le32(100), str("RMID")}), 120), std::nullopt},
        {"WebP", padTo(cat({str("RIFF"), le32(100), str("WEBP")}), 120), Expect{108, "webp"}},
        {"AIFF", padTo(cat({str("FORM"), be32(100), str("AIFC")}), 120), Expect{108, "aif"}},
        {"AIFF of form size 46", padTo(cat({str("FORM"), be32(46), str("AIFF")}), 120), std::nullopt},
        {"Ogg of one page", oggOne, std::nullopt},
        {"Ogg Vorbis", ogg, Expect{ogg.size(), "ogg"}},
        {"Ogg Opus", opus, Expect{opus.size(), "opus"}},
        {"Ogg Theora", theora, Expect{theora.size(), "ogv"}},
        {"MP3 of 7 frames", sevenFrames, std::nullopt},
        {"MP3 of 8 frames and an ID3v1 tag", eightFrames, Expect{id3.size() + 3 + 8 * 417 + 128, "mp3"}},
        {"ISO media of an unlisted brand", mp4, Expect{mp4.size(), "mp4"}},
        {"HEIF by brand", heif, Expect{heif.size(), "heic"}},
        {"meta and mdat without a movie", other, Expect{other.size(), "heic"}},
        {"QuickTime", movie, Expect{movie.size(), "mov"}},
        {"ISO media ending at an unknown box", stops, Expect{stops.size() - 18, "mp4"}},
        {"ISO media with a first box of 11 bytes", cat({be32(11), str("ftypisom"), moov, zeros(40)}), std::nullopt},
    };
    for (const auto& c : cases) expectCase(c.name, c.data, c.expected);
}

TEST(CarverStatic, MPEGFrameLength) {
    struct Case {
        uint32_t header;
        std::optional<uint32_t> length;
    };
    for (const auto& c : std::vector<Case>{
             {0xFFFB9000, 417},           // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz
             {0xFFFB9200, 418},           // the same with padding
             {0xFFF38000, 208},           // MPEG-2 Layer III, 64 kbit/s, 22.05 kHz
             {0xFFFF9000, 312},           // MPEG-1 Layer I, 288 kbit/s, 44.1 kHz
             {0xFFFD8000, 417},           // MPEG-1 Layer II, 128 kbit/s, 44.1 kHz
             {0xFFFD9000, 522},           // MPEG-1 Layer II, 160 kbit/s, 44.1 kHz
             {0xFFEB9000, std::nullopt},  // reserved version
             {0xFFF90000, std::nullopt},  // free bitrate
             {0xFFFBF000, std::nullopt},  // bad bitrate
             {0xFFFB9C00, std::nullopt},  // reserved sampling rate
             {0xFFF19000, std::nullopt},  // layer 0
             {0xFFC00000, std::nullopt},  // no sync
             {0xFFE38000, 417},           // MPEG-2.5 Layer III, 64 kbit/s, 11.025 kHz
         }) {
        EXPECT_EQ(carving::mpegFrameLength(c.header), c.length) << std::hex << c.header;
    }
}

// MARK: Dates

TEST(CarverStatic, ExifDatePrefersTheCaptureDateAndFallsBack) {
    for (bool little : {true, false}) {
        SCOPED_TRACE(little ? "little-endian" : "big-endian");
        auto both = Carver::exifDate(exifTiff(little, "2018:01:02 03:04:05", "2019:07:21 16:42:05"));
        ASSERT_TRUE(both);
        EXPECT_EQ(localText(*both), "2019:07:21 16:42:05");
        auto fallback = Carver::exifDate(exifTiff(little, "2018:01:02 03:04:05", "2019:13:45 99:99:99"));
        ASSERT_TRUE(fallback);
        EXPECT_EQ(localText(*fallback), "2018:01:02 03:04:05");
        EXPECT_FALSE(Carver::exifDate(exifTiff(little, "0000:00:00 00:00:00", std::nullopt)));
        EXPECT_FALSE(Carver::exifDate(exifTiff(little, std::nullopt, "2019:07:21")));
    }
    EXPECT_FALSE(Carver::exifDate(str("II*\0\x08\0\0\0\0\0\0\0\0\0\0\0")));  // 16 bytes
    EXPECT_FALSE(Carver::exifDate(padTo(str("XX*\0\x08"), 64)));
}

TEST_F(CarverTest, JPEGTakesTheFirstEXIFDate) {
    Bytes xmp = segment(0xE1, padTo(str("http://ns.adobe.com/xap/1.0/"), 40));
    Bytes first = exifSegment(exifTiff(true, std::nullopt, "2019:07:21 16:42:05"));
    Bytes second = exifSegment(exifTiff(false, std::nullopt, "2001:01:01 01:01:01"));
    auto f = carve(jpegWith(cat({xmp, first, second}), scan));
    ASSERT_TRUE(f && f->date);
    EXPECT_EQ(localText(*f->date), "2019:07:21 16:42:05");
    auto none = carve(jpegWith(xmp, scan));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->date);
}

TEST_F(CarverTest, MovieHeaderGivesTheCreationDate) {
    constexpr uint64_t epoch1904 = 2'082'844'800;
    auto with = [&](Bytes header) { return carve(cat({ftyp("isom"), box("moov", header), box("mdat", zeros(8))})); };
    auto v0 = with(mvhd(0, epoch1904 + 1'600'000'000));
    ASSERT_TRUE(v0 && v0->date);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(*v0->date), 1'600'000'000);
    auto v1 = with(mvhd(1, epoch1904 + 1'700'000'000));
    ASSERT_TRUE(v1 && v1->date);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(*v1->date), 1'700'000'000);
    auto zero = with(mvhd(0, 0));
    ASSERT_TRUE(zero);
    EXPECT_FALSE(zero->date);
    // A creation time beyond what a date holds is left out rather than wrapped.
    auto huge = with(mvhd(1, UINT64_MAX));
    ASSERT_TRUE(huge);
    EXPECT_FALSE(huge->date);
}

// MARK: Lengths past the end of the source

TEST_F(CarverTest, ALengthPastTheEndOfTheSourceIsClampedAndNotExact) {
    Bytes tiff = padTo(tiffWith(0x2A, {{0x0111, 4, 1, 2000}, {0x0117, 4, 1, 5000}}), 3000);
    Bytes raf = padTo(cat({str("FUJIFILMCCD-RAW 0201FF383501"), zeros(56), be32(160), be32(9000)}), 3000);
    Bytes linear = padTo(str("%PDF-1.5\n1 0 obj\n<< /Linearized 1 /L 9000 >>\nendobj\n"), 3000, ' ');
    Bytes moov = box("moov", mvhd(0, 0));
    Bytes cutMovie = cat({ftyp("isom"), moov, be32(5000), str("mdat"), zeros(300)});
    Bytes cutOgg = cat({oggPage(0x02, str("\x01vorbis")), oggPage(0x00, zeros(300))});  // no end-of-stream page
    Bytes png = pngWith(cat({pngChunk("IDAT", zeros(30)), pngChunk("IEND", {})}));
    png.resize(png.size() - 2);  // the last checksum cut

    struct Case {
        std::string name;
        Bytes data;
    };
    for (const auto& c : std::vector<Case>{
             {"RIFF", padTo(cat({str("RIFF"), le32(9000), str("WAVE")}), 3000)},
             {"AIFF", padTo(cat({str("FORM"), be32(9000), str("AIFF")}), 3000)},
             {"BMP", padTo(cat({str("BM"), le32(9000), le32(0), le32(54), le32(40), le32(10)}), 3000)},
             {"TIFF", tiff},
             {"RAF", raf},
             {"linearized PDF", linear},
             {"ISO media whose last box is cut", cutMovie},
             {"Ogg ending without its last page", cutOgg},
             {"PNG cut in its last checksum", png},
         }) {
        SCOPED_TRACE(c.name);
        auto f = carve(c.data);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->size, c.data.size());
        EXPECT_FALSE(f->exact);
    }
    // With the whole file on the source the same structures are exact.
    auto whole = carve(padTo(cat({str("RIFF"), le32(9000), str("WAVE")}), 9008));
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->exact);
    EXPECT_EQ(whole->size, 9008u);
    // At an offset past the first bytes, the extent is what counts.
    auto later = carve(cat({zeros(512), padTo(cat({str("RIFF"), le32(9000), str("WAVE")}), 3000)}), everything(), 512);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->offset, 512u);
    EXPECT_EQ(later->size, 3000u);
    EXPECT_FALSE(later->exact);
}

// Lengths and counts read from a damaged candidate never make a finder read
// or allocate beyond its caps and the source.
TEST_F(CarverTest, HostileLengthsStayBounded) {
    Bytes ebml = cat({str("\x1A\x45\xDF\xA3"), {0x10, 0x00, 0x0F, 0xFF}, zeros(100)});
    Bytes app = cat({{0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF}, str("Exif"), zeros(2), str("II*\0"), le32(8),
                     le16(0xFFFF)});
    Bytes ole = cat({str("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"), zeros(22), le16(12), le16(6), zeros(10),
                     le32(65535), le32(1), zeros(12), le32(0xFFFFFFF0)});
    for (uint32_t i = 0; i < 109; ++i) ole = cat({ole, le32(i * 100000)});
    Bytes sevenZip = cat({str("7z\xBC\xAF\x27\x1C"), zeros(6), le32(0xFFFFFFF0), le32(0xFF), le32(0x3FFFFFFF), le32(0)});
    Bytes zip = cat({le32(0x04034B50), zeros(14), le32(0xFFFFFFF0), le32(0xFFFFFFF0), le16(0xFFFF), le16(0xFFFF)});
    Bytes rar5 = cat({str("Rar!\x1A\x07\x01\x00"), le32(0), {0xFF, 0xFF, 0x7F}, {2, 2}, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}});
    Bytes tiff = tiffWith(0x2A, {{0x0111, 4, 0xFFFFFFFF, 16}, {0x0117, 4, 0xFFFFFFFF, 16}, {0x014A, 4, 0xFFFFFFFF, 16}});
    Bytes sqlite = sqliteHeader(1, 0xFFFFFFFF, 1, 1);
    for (const auto& [name, data] : std::vector<std::pair<std::string, Bytes>>{
             {"EBML", ebml}, {"JPEG", app}, {"OLE2", ole}, {"7z", sevenZip}, {"ZIP", zip},
             {"RAR 5", rar5}, {"TIFF", tiff}, {"SQLite", sqlite}}) {
        SCOPED_TRACE(name);
        auto f = carve(padTo(data, 4096));
        if (f) {
            EXPECT_FALSE(f->exact);
        }
        EXPECT_LE(last->bytesRead(), 4096u * 2);
    }
}

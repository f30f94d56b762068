// The carver against real files made by real tools: every fixture file is
// found at its offset with its exact size, extension and capture date; files
// of other types are not reported as anything; files broken inside the source
// or cut off by its end are never reported whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SovantaCore/Carver.h"
#include "SovantaCore/DiskSource.h"
#include "TestSupport.h"

using namespace sovanta;
namespace fs = std::filesystem;

namespace {

struct Row {
    uint64_t offset = 0;
    uint64_t size = 0;
    std::string ext;  // "-" for a type the carver does not know
    bool exact = true;
    std::string date;  // "-", EXIF local "yyyy:MM:dd HH:mm:ss", or UTC "...Z"
    std::string state;  // whole, broken, cut, other
    std::string name;
};

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

// Our own fixture: offset size ext exact date state name.
std::vector<Row> readCarverManifest() {
    std::ifstream in(test::fixtureSource("carver/carver.manifest.tsv"));
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("offset", 0) == 0) continue;
        auto f = split(line);
        if (f.size() < 7) continue;
        rows.push_back({std::stoull(f[0]), std::stoull(f[1]), f[2], f[3] == "1", f[4], f[5], f[6]});
    }
    return rows;
}

const std::set<std::string>& carvableExtensions() {
    static const std::set<std::string> exts = {
        "jpg", "png", "gif", "bmp", "tif", "orf", "rw2", "dng", "cr2", "nef", "arw", "pef", "srw",
        "raf", "wav", "avi", "webp", "rar", "aif", "mkv", "webm", "pdf", "7z", "sqlite", "doc", "xls",
        "ppt", "msg", "ogg", "opus", "ogv", "zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub",
        "jar", "mp3", "rtf", "mp4", "mov", "m4a", "m4v", "3gp", "heic", "avif", "cr3"};
    return exts;
}

// The shared corpus: path (the offset) size sha256 status mtime fragments note,
// the note holding "ext=..." and "TRUNCATED" for files whose tail was overwritten.
std::vector<Row> readSharedManifest() {
    std::ifstream in(test::fixtureSource("carve/carve.manifest.tsv"));
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        auto f = split(line);
        if (f.size() < 7 || f[0] == "path") continue;
        const std::string& note = f[6];
        Row row;
        row.offset = std::stoull(f[0]);
        row.size = std::stoull(f[1]);
        auto at = note.find("ext=");
        row.ext = note.substr(at + 4, note.find(' ', at) - at - 4);
        if (row.ext == "aiff") row.ext = "aif";
        if (row.ext == "tiff") row.ext = "tif";
        row.name = note;
        row.exact = row.ext != "pdf";  // these PDFs are not linearized: their end is an estimate
        row.date = "-";
        if (auto d = note.find("DateTimeOriginal "); d != std::string::npos) row.date = note.substr(d + 17, 19);
        if (note.find("TRUNCATED") != std::string::npos)
            row.state = "broken";
        else if (!carvableExtensions().count(row.ext))
            row.state = "other";
        else
            row.state = "whole";
        if (row.state == "other") row.ext = "-";
        rows.push_back(row);
    }
    return rows;
}

std::set<FileCategory> everything() {
    return {allFileCategories().begin(), allFileCategories().end()};
}

std::string formatDate(const Date& date, bool utc) {
    std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm parts{};
    if (utc)
        gmtime_r(&t, &parts);
    else
        localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y:%m:%d %H:%M:%S", &parts);
    return text;
}

std::string describe(const std::optional<CarvedFile>& f) {
    if (!f) return "nothing";
    std::ostringstream out;
    out << f->ext << " at " << f->offset << " size " << f->size << (f->exact ? " exact" : " estimate");
    if (f->date) out << " date " << formatDate(*f->date, true);
    return out.str();
}

std::optional<CarvedFile> checkAt(Carver& carver, const DiskSourcePtr& src, uint64_t offset) {
    Bytes view = src->read(offset, 64);
    return carver.check(view, offset);
}

struct Corpus {
    std::string image;
    std::vector<Row> rows;
};

void expectWholeFilesFound(const Corpus& corpus) {
    auto src = SourceOpener::openImage(corpus.image);
    Carver carver(src, everything());
    int whole = 0;
    for (const Row& row : corpus.rows) {
        if (row.state != "whole") continue;
        ++whole;
        auto f = checkAt(carver, src, row.offset);
        SCOPED_TRACE(row.name + " at " + std::to_string(row.offset) + ": " + describe(f));
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->offset, row.offset);
        EXPECT_EQ(f->size, row.size);
        EXPECT_EQ(f->ext, row.ext);
        EXPECT_EQ(f->exact, row.exact);
        if (row.date == "-") {
            EXPECT_FALSE(f->date.has_value());
        } else {
            bool utc = row.date.back() == 'Z';
            ASSERT_TRUE(f->date.has_value());
            EXPECT_EQ(formatDate(*f->date, utc), row.date);
        }
    }
    EXPECT_GT(whole, 0);
}

void expectDamagedNeverWhole(const Corpus& corpus) {
    auto src = SourceOpener::openImage(corpus.image);
    Carver carver(src, everything());
    for (const Row& row : corpus.rows) {
        auto f = checkAt(carver, src, row.offset);
        SCOPED_TRACE(row.name + " at " + std::to_string(row.offset) + ": " + describe(f));
        if (row.state == "other") {
            EXPECT_FALSE(f.has_value());
        } else if ((row.state == "broken" || row.state == "cut") && f) {
            if (f->exact) {
                EXPECT_NE(f->size, row.size);
            }
            EXPECT_LE(f->offset + f->size, src->size);
        }
        if (row.state == "cut") {
            EXPECT_TRUE(!f || !f->exact);
        }
    }
}

// Every 512-byte sector, as the deep sweep offers them: each find lies inside
// a file of the corpus (files hold files: thumbnails, archive members), and
// nothing is reported at the start of a file of another type.
void expectSweepFindsOnlyFiles(const Corpus& corpus) {
    auto src = SourceOpener::openImage(corpus.image);
    Carver carver(src, everything());
    uint64_t resume = 0;
    int finds = 0;
    for (uint64_t at = 0; at < src->size; at += 512) {
        if (at < resume) continue;
        Bytes view = src->read(at, 64);
        auto f = carver.check(view, at);
        if (!f) continue;
        ++finds;
        SCOPED_TRACE(describe(f));
        EXPECT_GT(f->size, 0u);
        EXPECT_LE(f->offset + f->size, src->size);
        const Row* inside = nullptr;
        for (const Row& row : corpus.rows)
            if (row.offset <= at && at < row.offset + row.size) inside = &row;
        EXPECT_NE(inside, nullptr) << "a find in the filler";
        if (inside && inside->offset == at) {
            EXPECT_NE(inside->state, "other");
            if (inside->state == "whole") {
                EXPECT_EQ(f->ext, inside->ext);
            }
        }
        if (f->exact) resume = at + (f->size + 511) / 512 * 512;
    }
    EXPECT_GT(finds, 0);
}

// Each whole file cut short by the end of a source: one byte missing, and a
// third missing.
void expectCutFilesNotWhole(const Corpus& corpus) {
    auto image = SourceOpener::openImage(corpus.image);
    test::TempDir dir;
    for (const Row& row : corpus.rows) {
        if (row.state != "whole") continue;
        for (uint64_t keep : {row.size - 1, row.size - row.size / 3}) {
            // A few bytes before the file keep it off a 512-byte boundary.
            Bytes data(37, 0);
            Bytes file = image->read(row.offset, static_cast<int64_t>(keep));
            data.insert(data.end(), file.begin(), file.end());
            fs::path path = dir.path() / "cut.img";
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
            auto src = SourceOpener::openImage(path.string());
            Carver carver(src, everything());
            auto f = checkAt(carver, src, 37);
            SCOPED_TRACE(row.name + " cut to " + std::to_string(keep) + ": " + describe(f));
            if (f) {
                EXPECT_FALSE(f->exact);
                EXPECT_LE(f->offset + f->size, src->size);
            }
        }
    }
}

Corpus ours() { return {test::fixture("carver/carver.img"), readCarverManifest()}; }
Corpus shared() { return {test::fixture("carve/carve.img"), readSharedManifest()}; }

}  // namespace

TEST(CarverFixture, FindsEveryWholeFileWithItsSizeKindAndDate) { expectWholeFilesFound(ours()); }
TEST(CarverFixture, BrokenCutAndForeignFilesAreNeverReportedWhole) { expectDamagedNeverWhole(ours()); }
TEST(CarverFixture, SweepReportsNothingOutsideTheFiles) { expectSweepFindsOnlyFiles(ours()); }
TEST(CarverFixture, FilesCutByTheEndOfTheSourceAreNotExact) { expectCutFilesNotWhole(ours()); }

TEST(CarverSharedCorpus, FindsEveryWholeFileWithItsSizeKindAndDate) { expectWholeFilesFound(shared()); }
TEST(CarverSharedCorpus, BrokenAndForeignFilesAreNeverReportedWhole) { expectDamagedNeverWhole(shared()); }
TEST(CarverSharedCorpus, SweepReportsNothingOutsideTheFiles) { expectSweepFindsOnlyFiles(shared()); }
TEST(CarverSharedCorpus, FilesCutByTheEndOfTheSourceAreNotExact) {
    expectCutFilesNotWhole(shared());
}

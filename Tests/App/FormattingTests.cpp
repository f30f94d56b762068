#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "SovantaApp/BrowserView/FileRowsModel.h"
#include "SovantaApp/Formatting.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;

TEST(Fmt, NumbersUseDanishGrouping) {
    EXPECT_EQ(Fmt::number(1234567), "1.234.567");
    EXPECT_EQ(Fmt::number(0), "0");
    EXPECT_EQ(Fmt::number(999), "999");
    EXPECT_EQ(Fmt::number(-1000), "-1.000");
}

TEST(Fmt, Dates) {
    test::ScopedTimeZone utc("UTC");
    EXPECT_EQ(Fmt::date(std::nullopt), "–");
    auto when = test::parseManifestTime("2024-03-14T11:01:08");
    std::string text = Fmt::date(when);
    EXPECT_EQ(text, "14. mar. 2024 11.01");
    EXPECT_EQ(Fmt::date(when), text);
}

// Whole bytes a second, in the byte counts' decimal units; beyond what a
// count holds, the largest count (9,223,372,036,854,775,807 bytes).
TEST(Fmt, Rates) {
    test::ScopedLocale danish("da_DK");
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {0.0, -0.0, -1.0, inf, -inf, std::nan("")}) EXPECT_EQ(Fmt::rate(v), "–") << v;
    EXPECT_EQ(Fmt::rate(0.5), "0 bytes/s");
    EXPECT_EQ(Fmt::rate(1999.9), "2 KB/s");
    EXPECT_EQ(Fmt::rate(2'500'000), "2,5 MB/s");
    EXPECT_EQ(Fmt::rate(1e30), "9,22 EB/s");
}

TEST(Fmt, Durations) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::optional<double> seconds;
        const char* text;
    } cases[] = {
        {std::nullopt, "–"},     {-0.1, "–"},          {inf, "–"},
        {std::nan(""), "–"},     {-0.0, "0 sek"},      {45, "45 sek"},
        {59.9, "59 sek"},        {60, "1 min 0 sek"},  {125, "2 min 5 sek"},
        {180, "3 min 0 sek"},    {3599, "59 min 59 sek"}, {3600, "1 t 0 min"},
        {3661, "1 t 1 min"},     {5400, "1 t 30 min"}, {86399, "23 t 59 min"},
        {86400, "1 d 0 t"},      {2 * 86400 + 3 * 3600 + 59, "2 d 3 t"},
        {12'345'678'901.0, "142889 d 19 t"},
    };
    for (auto& c : cases) EXPECT_EQ(Fmt::duration(c.seconds), c.text) << (c.seconds ? *c.seconds : -999);
}

namespace {

FileNodePtr file(const std::string& name, FileData data = NoData{}) {
    return FileNode::make(name, false, 10, EntryStatus::existing, Recoverability::partial, std::move(data));
}

}  // namespace

// A name is drawn on one line: line breaks, separators and tabs as escapes;
// a text preview's control characters as visible symbols.
TEST(FileNodeDisplay, NamesAreDrawnOnOneLine) {
    const std::pair<std::string, std::string> names[] = {
        {"ferie.jpg", "ferie.jpg"},
        {"to\nlinjer.txt", "to\\nlinjer.txt"},
        {"a\u2028b\u2029c\u0085d", "a\\u2028b\\u2029c\\u0085d"},
        {"fane\tdelt", "fane\\tdelt"},
    };
    for (auto& [name, shown] : names)
        EXPECT_EQ(FileRowsModel::cellText(*file(name), SortColumn::name).toStdString(), shown) << name;
    const std::pair<char32_t, std::optional<char16_t>> symbols[] = {
        {U'a', std::nullopt}, {U'\u00e6', std::nullopt}, {0, u'\u00B7'},       {U'\n', u'\u21B5'},
        {0x2028, u'\u21B5'}, {0x2029, u'\u00B6'},       {U'\t', u'\u2192'}, {0x07, u'\uFFFD'},
        {0x7F, u'\uFFFD'},   {0x9B, u'\uFFFD'},
    };
    for (auto& [character, symbol] : symbols)
        EXPECT_EQ(Fmt::visibleSymbol(character), symbol) << static_cast<uint32_t>(character);
}

TEST(FileNodeDisplay, SortKeysAndLocation) {
    auto root = FileNode::make("", true);
    auto folder = FileNode::make("Ålborg tur", true, 0, EntryStatus::deleted, Recoverability::good);
    auto photo = file("Billede.JPG");
    photo->modified = Date(std::chrono::seconds(1'700'000'000));
    root->add(folder);
    folder->add(photo);

    EXPECT_EQ(chanceSort(*folder), -1);  // folders first whatever their rating
    EXPECT_EQ(chanceSort(*photo), 2);
    EXPECT_EQ(sizeSort(*photo), 10u);
    EXPECT_EQ(modifiedSort(*photo), *photo->modified);
    EXPECT_EQ(modifiedSort(*folder), Date::min());
    EXPECT_EQ(statusSort(*folder), "Slettet");
    EXPECT_EQ(statusSort(*photo), "Eksisterende");
    EXPECT_EQ(location(*root), "/");
    EXPECT_EQ(location(*folder), "/");
    EXPECT_EQ(location(*photo), "/Ålborg tur");
}

TEST(FileNodeDisplay, Symbols) {
    struct Case {
        FileNodePtr node;
        const char* symbol;
    } cases[] = {
        {FileNode::make("a", true, 0, EntryStatus::existing), "folder.fill"},
        {FileNode::make("a", true, 0, EntryStatus::carved), "folder.fill"},
        {FileNode::make("a", true, 0, EntryStatus::deleted), "folder.badge.minus"},
        {FileNode::make("a", true, 0, EntryStatus::orphaned), "folder.badge.minus"},
        {file("x.JPG"), "photo"},
        {file("x.jpg"), "photo"},
        {file("x.mov"), "film"},
        {file("x.mp3"), "waveform"},
        {file("x.pdf"), "doc.text"},
        {file("x.zip"), "archivebox"},
        {file("README"), "doc"},
        {file("x.qqq"), "doc"},
    };
    for (auto& c : cases) EXPECT_EQ(symbol(*c.node), c.symbol) << c.node->name;
}

TEST(FileNodeDisplay, FirstOffsetAndFragments) {
    using Runs = std::vector<CompressedRuns::Run>;
    struct Case {
        const char* what;
        FileData data;
        std::optional<uint64_t> first;
        int64_t fragments;
    } cases[] = {
        {"hole first", std::vector<Extent>{{std::nullopt, 512}, {4096, 512}, {8192, 100}}, 4096, 2},
        {"touching pieces", std::vector<Extent>{{4096, 512}, {4608, 512}}, 4096, 2},
        {"only holes", std::vector<Extent>{{std::nullopt, 512}}, std::nullopt, 0},
        {"no extents", std::vector<Extent>{}, std::nullopt, 0},
        {"resident", ResidentData{{1, 2, 3}}, std::nullopt, 0},
        {"no data", NoData{}, std::nullopt, 0},
        {"compressed", CompressedRuns{Runs{{std::nullopt, 16}, {10, 4}}, 4096, 16, 1048576}, 1048576 + 10 * 4096, 1},
        {"compressed holes", CompressedRuns{Runs{{std::nullopt, 16}}, 4096, 16, 0}, std::nullopt, 0},
        {"compressed wraps", CompressedRuns{Runs{{UINT64_MAX, 1}}, 2, 16, 3}, 1, 1},
    };
    for (auto& c : cases) {
        auto node = file("f", c.data);
        EXPECT_EQ(firstOffset(*node), c.first) << c.what;
        EXPECT_EQ(fragmentCount(*node), c.fragments) << c.what;
    }
}

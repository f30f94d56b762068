#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QColor>

#include "AppTestSupport.h"
#include "ScanTestSupport.h"
#include "SovantaApp/Preview.h"
#include "SovantaCore/Scanner.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

std::string previewFixture(const std::string& name) { return fixtureSource("preview/" + name); }

// A picture file as a file of a volume: the file itself is the source.
struct PictureFile {
    DiskSourcePtr source;
    FileNodePtr node;
    explicit PictureFile(const std::string& fixtureName, std::string name = "") {
        auto path = previewFixture(fixtureName);
        source = SourceOpener::openImage(path);
        auto size = std::filesystem::file_size(path);
        node = FileNode::make(name.empty() ? fixtureName : name, false, size, EntryStatus::existing,
                              Recoverability::good, std::vector<Extent>{{0, size}});
    }
};

// The thumbnail, made on the preview queue as the views make it.
std::optional<QImage> thumbnailOffTheGUIThread(const PictureFile& file, int maxPixel) {
    std::optional<QImage> result;
    std::atomic<bool> done = false;
    std::atomic<bool> onGUIThread = true;
    Background::onPreviewQueue([&] {
        onGUIThread = isMainThread();
        result = Preview::thumbnail(*file.node, *file.source, maxPixel);
        done = true;
    });
    EXPECT_TRUE(spinUntil([&] { return done.load(); }));
    EXPECT_FALSE(onGUIThread);
    return result;
}

bool near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 60 && std::abs(a.green() - b.green()) < 60 && std::abs(a.blue() - b.blue()) < 60;
}

struct ScannedFixture {
    DiskSourcePtr source;
    std::multimap<std::string, FileNodePtr> nodes;
    explicit ScannedFixture(const std::string& name) : source(openFixture(name)) {
        WorkProgress progress;
        for (auto& volume : QuickScanner::run(*source, progress).volumes)
            for (auto& [path, node] : allNodesByPath(volume->root)) nodes.emplace(path, node);
    }
    FileNodePtr operator[](const std::string& path) const { return findRow(nodes, path, false); }
};

std::string manifestHash(const std::string& fixtureName, const std::string& path) {
    for (auto& row : readManifest(fixtureName))
        if (row.path == path) return row.sha256;
    return "";
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode;
}

}  // namespace

TEST(Preview, ThumbnailsComeOutUprightAtTheAskedSize) {
    struct Case {
        const char* file;
        int maxPixel;
        QSize size;
        QPoint at;
        QColor colour;  // at that point
        QPoint other;
        QColor otherColour;
    };
    const Case cases[] = {
        // Stored 120x60 red|blue with EXIF orientation 6: shown 60x120, red on top.
        {"turned.jpg", 40, {20, 40}, {10, 5}, Qt::red, {10, 35}, Qt::blue},
        {"turned.jpg", 900, {60, 120}, {30, 10}, Qt::red, {30, 110}, Qt::blue},
        {"plain.png", 50, {50, 25}, {2, 2}, QColor(0, 128, 0), {10, 10}, Qt::white},
        {"plain.png", 200, {200, 100}, {150, 50}, QColor(0, 128, 0), {40, 40}, Qt::white},
        {"photo.heic", 64, {64, 32}, {8, 16}, Qt::yellow, {56, 16}, Qt::black},
        {"photo-10bit.heic", 900, {128, 64}, {8, 16}, Qt::yellow, {120, 16}, Qt::black},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.maxPixel));
        PictureFile file(c.file);
        auto image = thumbnailOffTheGUIThread(file, c.maxPixel);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size(), c.size);
        EXPECT_TRUE(near(image->pixelColor(c.at), c.colour)) << image->pixelColor(c.at).name().toStdString();
        EXPECT_TRUE(near(image->pixelColor(c.other), c.otherColour))
            << image->pixelColor(c.other).name().toStdString();
        EXPECT_FALSE(Preview::isBroken(file.node->id));
        EXPECT_TRUE(Preview::cached(Preview::cacheKey(file.node->id, c.maxPixel)));
    }
}

TEST(Preview, CacheKeysAndTheCacheComingFirst) {
    EXPECT_EQ(Preview::cacheKey(7, 400), 70);
    EXPECT_EQ(Preview::cacheKey(7, 401), 71);
    EXPECT_EQ(Preview::cacheKey(7, Preview::galleryPixels), 70);
    EXPECT_EQ(Preview::cacheKey(7, Preview::panePixels), 71);

    PictureFile file("plain.png");
    auto small = thumbnailOffTheGUIThread(file, Preview::galleryPixels);
    auto large = thumbnailOffTheGUIThread(file, Preview::panePixels);
    ASSERT_TRUE(small && large);
    // A node that has since become empty still gets its cached images.
    file.node->size = 0;
    auto again = Preview::thumbnail(*file.node, *file.source, 100);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), small->size());
    EXPECT_TRUE(Preview::thumbnail(*file.node, *file.source, 1000));
    EXPECT_FALSE(Preview::cached(Preview::cacheKey(file.node->id + 1, 100)));
}

TEST(Preview, WhatGivesNoThumbnailAndWhatIsRememberedAsBroken) {
    struct Case {
        const char* fixture;
        const char* name;
        bool isFolder;
        bool empty;
        bool broken;
    };
    const Case cases[] = {
        {"broken.jpg", "broken.jpg", false, false, true},
        {"plain.png", "picture.jpg.zip", false, false, false},  // another extension
        {"plain.png", "picture", false, false, false},          // none at all
        {"plain.png", "empty.png", false, true, false},
        {"plain.png", "folder.png", true, false, false},
        {"plain.png", "fake.heic", false, false, false},  // decodes by its bytes, not its name
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        PictureFile file(c.fixture, c.name);
        auto node = c.isFolder ? FileNode::make(c.name, true) : file.node;
        if (c.empty) node->size = 0;
        auto image = Preview::thumbnail(*node, *file.source, 100);
        EXPECT_EQ(image.has_value(), std::string(c.name) == "fake.heic");
        EXPECT_EQ(Preview::isBroken(node->id), c.broken);
    }
    // Capital letters qualify; the broken set keeps an id once it is there.
    PictureFile shouting("plain.png", "FOTO.PNG");
    EXPECT_TRUE(Preview::thumbnail(*shouting.node, *shouting.source, 100));
    PictureFile broken("broken.jpg");
    EXPECT_FALSE(Preview::thumbnail(*broken.node, *broken.source, 100));
    EXPECT_FALSE(Preview::thumbnail(*broken.node, *broken.source, 100));
    EXPECT_TRUE(Preview::isBroken(broken.node->id));
}

TEST(Preview, ThePreviewQueueRunsAtMostTwoAtOnce) {
    std::atomic<int> running = 0, most = 0, done = 0;
    for (int i = 0; i < 8; ++i)
        Background::onPreviewQueue([&] {
            int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            QThread::msleep(20);
            --running;
            ++done;
        });
    ASSERT_TRUE(spinUntil([&] { return done == 8; }));
    EXPECT_EQ(most, 2);
}

TEST(Preview, CopiesAreTheFilesBytesInAPrivateFolder) {
    TempDir dir;
    auto base = std::filesystem::path(dir.file("SovantaPreview"));
    struct Case {
        const char* fixture;
        const char* path;
    };
    // A small file with Danish letters, and a sparse file of 9 MiB in three fragments (several pieces).
    for (auto [fixtureName, path] : {Case{"fat12", "Dokumenter/Opskrifter/Rødgrød med fløde.txt"},
                                     Case{"ntfs", "sparsom.bin"}}) {
        SCOPED_TRACE(path);
        ScannedFixture scanned(fixtureName);
        auto node = scanned[path];
        ASSERT_TRUE(node);
        auto copy = Preview::extract(*node, *scanned.source, base);
        ASSERT_TRUE(copy);
        EXPECT_EQ(*copy, (base / std::to_string(node->id) / node->name).string());
        EXPECT_EQ(sha256Hex(readBytes(*copy)), manifestHash(fixtureName, path));
        // Asked again: the same copy, nothing read.
        auto read = scanned.source->bytesRead();
        EXPECT_EQ(Preview::extract(*node, *scanned.source, base), copy);
        EXPECT_EQ(scanned.source->bytesRead(), read);
        // Nothing but the copy in its folder.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base / std::to_string(node->id)),
                                std::filesystem::directory_iterator()),
                  1);
    }
    EXPECT_EQ(modeOf(base) & 07777, 0700u);
    EXPECT_TRUE(S_ISDIR(modeOf(base)));

    // Names made safe, each node in its own folder; an empty file gives an empty copy.
    PictureFile file("plain.png");
    for (auto [name, expected] : {std::pair{"", "unavngivet"}, {"..", "unavngivet"}, {"a/b.png", "a:b.png"}}) {
        auto node = FileNode::make(name, false, 0);
        auto copy = Preview::extract(*node, *file.source, base);
        ASSERT_TRUE(copy);
        EXPECT_EQ(*copy, (base / std::to_string(node->id) / expected).string());
        EXPECT_EQ(std::filesystem::file_size(*copy), 0u);
    }

    // Folders and files over 512 MiB give none.
    auto tooLarge = FileNode::make("huge.bin", false, Preview::copyLimit + 1);
    EXPECT_FALSE(Preview::extract(*tooLarge, *file.source, base));
    EXPECT_FALSE(std::filesystem::exists(base / std::to_string(tooLarge->id)));
    EXPECT_FALSE(Preview::extract(*FileNode::make("mappe", true), *file.source, base));

    // Cleanup takes everything and never fails, also when there is nothing.
    Preview::cleanup(base);
    EXPECT_FALSE(std::filesystem::exists(base));
    Preview::cleanup(base);
    Preview::cleanup(dir.file("never/made"));
}

TEST(Preview, AFolderInTheWayIsNotUsed) {
    PictureFile file("plain.png");
    auto node = FileNode::make("kopi.png", false, file.node->size, EntryStatus::existing, Recoverability::good,
                               file.node->data);
    TempDir dir;
    auto elsewhere = std::filesystem::path(dir.file("elsewhere"));
    std::filesystem::create_directory(elsewhere);

    // A link planted where the folder goes.
    auto linked = std::filesystem::path(dir.file("linked"));
    std::filesystem::create_directory_symlink(elsewhere, linked);
    EXPECT_FALSE(Preview::extract(*node, *file.source, linked));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    Preview::cleanup(linked);
    EXPECT_TRUE(std::filesystem::exists(elsewhere));
    EXPECT_TRUE(std::filesystem::is_symlink(linked));

    // A folder others may enter.
    auto open = std::filesystem::path(dir.file("open"));
    std::filesystem::create_directory(open);
    ::chmod(open.c_str(), 0777);
    EXPECT_FALSE(Preview::extract(*node, *file.source, open));
    EXPECT_TRUE(std::filesystem::is_empty(open));

    // Another user's folder.
    if (isRoot()) {
        auto foreign = std::filesystem::path(dir.file("foreign"));
        std::filesystem::create_directory(foreign);
        ::chmod(foreign.c_str(), 0700);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(Preview::extract(*node, *file.source, foreign));
        EXPECT_TRUE(std::filesystem::is_empty(foreign));
        Preview::cleanup(foreign);
        EXPECT_TRUE(std::filesystem::exists(foreign));
    }

    // A private folder of ours left by an earlier run is used.
    auto ours = std::filesystem::path(dir.file("ours"));
    std::filesystem::create_directory(ours);
    ::chmod(ours.c_str(), 0700);
    EXPECT_TRUE(Preview::extract(*node, *file.source, ours));
}

TEST(Preview, ACopyThatCannotBeWrittenInFullIsNeverGiven) {
    ScannedFixture scanned("ntfs");
    auto node = scanned["sparsom.bin"];
    ASSERT_TRUE(node);
    TempDir dir;
    auto base = std::filesystem::path(dir.file("SovantaPreview"));

    // Files of this process may not grow past 1 MiB: the write fails part way.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto failed = Preview::extract(*node, *scanned.source, base);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(failed);
    auto nodeFolder = base / std::to_string(node->id);
    EXPECT_TRUE(!std::filesystem::exists(nodeFolder) || std::filesystem::is_empty(nodeFolder));
    // The next request makes the whole copy.
    auto copy = Preview::extract(*node, *scanned.source, base);
    ASSERT_TRUE(copy);
    EXPECT_EQ(sha256Hex(readBytes(*copy)), manifestHash("ntfs", "sparsom.bin"));
}

TEST(Preview, TheFolderIsFixedAndCleanupOfItNeverFails) {
    auto& folder = Preview::folder();
    EXPECT_EQ(folder.filename(), std::to_string(::getpid()));
    EXPECT_EQ(folder.parent_path().filename(), "SovantaPreview");
    EXPECT_EQ(&folder, &Preview::folder());
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') {
        EXPECT_EQ(folder.parent_path().parent_path(), std::filesystem::path(runtime));
    }
    // Another running program's copies, under its own process id.
    auto others = folder.parent_path() / "1";
    PictureFile file("plain.png");
    auto copy = Preview::extract(*file.node, *file.source);
    ASSERT_TRUE(copy);
    EXPECT_EQ(std::filesystem::path(*copy).parent_path().parent_path(), folder);
    EXPECT_EQ(modeOf(folder.parent_path()) & 022, 0u);
    std::filesystem::create_directory(others);
    writeFile(others / "theirs.txt", std::string("x"));
    Preview::cleanup();
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_TRUE(std::filesystem::exists(others / "theirs.txt"));
    std::filesystem::remove_all(others);
    Preview::cleanup();
}

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QColor>

#include "AppTestSupport.h"
#include "ScanTestSupport.h"
#include "SovantaApp/Preview.h"
#include "SovantaCore/FileReader.h"
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

// Sets an environment variable for the life of the object, then puts back what was there.
struct ScopedVariable {
    std::string name;
    std::optional<std::string> saved;
    ScopedVariable(std::string n, const std::string& value) : name(std::move(n)) {
        if (const char* old = std::getenv(name.c_str())) saved = old;
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (saved) ::setenv(name.c_str(), saved->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
};

// The bytes of the files below a folder.
uint64_t bytesBelow(const std::filesystem::path& folder) {
    uint64_t total = 0;
    for (auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
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
        // Stored 90x45 red|blue; their decoders are Qt's image-format plug-ins.
        {"scan.tif", 900, {90, 45}, {10, 20}, Qt::red, {80, 20}, Qt::blue},
        {"image.webp", 60, {60, 30}, {10, 15}, Qt::red, {50, 15}, Qt::blue},
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

// A request of up to 400 pixels is small, a larger one large: the gallery's
// thumbnails and the pane's images keep a place each in the cache.
TEST(Preview, CacheKeysAndTheCacheComingFirst) {
    EXPECT_EQ(Preview::cacheKey(7, 400), 70);
    EXPECT_EQ(Preview::cacheKey(7, 401), 71);
    EXPECT_EQ(Preview::cacheKey(7, Preview::galleryPixels), 70);
    EXPECT_EQ(Preview::cacheKey(7, Preview::panePixels), 71);

    // plain.png is 200 × 100.
    PictureFile file("plain.png");
    auto small = thumbnailOffTheGUIThread(file, 50);
    auto large = thumbnailOffTheGUIThread(file, Preview::panePixels);
    ASSERT_TRUE(small && large);
    EXPECT_EQ(small->size(), QSize(50, 25));
    EXPECT_EQ(large->size(), QSize(200, 100));
    // A node that has since become empty still gets its cached images: the
    // small one for any small request, the large one for any large request.
    file.node->size = 0;
    auto again = Preview::thumbnail(*file.node, *file.source, Preview::galleryPixels);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), QSize(50, 25));
    auto largeAgain = Preview::thumbnail(*file.node, *file.source, 1000);
    ASSERT_TRUE(largeAgain);
    EXPECT_EQ(largeAgain->size(), QSize(200, 100));
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
    // Bytes that no decoder here knows: a kind without a decoder (camera raw,
    // Photoshop) cannot be shown, which says nothing of the file; named as a
    // kind that has one, they are damaged.
    TempDir dir;
    std::string text;
    while (text.size() < 4000) text += "Ikke et billede, bare tekst. ";
    writeFile(dir.file("noise"), std::string_view(text));
    auto noise = SourceOpener::openImage(dir.file("noise"));
    for (auto [name, broken] : {std::pair{"IMG_0001.CR2", false}, std::pair{"lag.psd", false},
                                std::pair{"foto.webp", true}, std::pair{"scan.tiff", true},
                                std::pair{"foto.jpg", true}, std::pair{"foto.heic", true}}) {
        SCOPED_TRACE(name);
        auto node = FileNode::make(name, false, text.size(), EntryStatus::existing, Recoverability::good,
                                   std::vector<Extent>{{0, text.size()}});
        EXPECT_FALSE(Preview::thumbnail(*node, *noise, 100));
        EXPECT_EQ(Preview::isBroken(node->id), broken);
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
    // Each step waits at a gate that the test opens once two wait there.
    struct State {
        std::atomic<int> running = 0, most = 0, done = 0;
        std::atomic<bool> open = false;
    };
    auto state = std::make_shared<State>();
    struct Opener {
        std::shared_ptr<State> state;
        ~Opener() { state->open = true; }
    } opener{state};
    for (int i = 0; i < 8; ++i)
        Background::onPreviewQueue([state] {
            int now = ++state->running;
            int seen = state->most.load();
            while (now > seen && !state->most.compare_exchange_weak(seen, now)) {
            }
            while (!state->open) QThread::msleep(1);
            --state->running;
            ++state->done;
        });
    ASSERT_TRUE(spinUntil([&] { return state->running == 2; }));
    // A third step, were it let in, would join the two that wait.
    QThread::msleep(50);
    EXPECT_EQ(state->running, 2);
    state->open = true;
    ASSERT_TRUE(spinUntil([&] { return state->done == 8; }));
    EXPECT_EQ(state->most, 2);
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

TEST(Preview, TheProgramsCopiesGoBelowItsPlacesUnderItsProcessID) {
    {
        ScopedVariable runtime("XDG_RUNTIME_DIR", "/run/user/4711");
        ScopedVariable temporary("TMPDIR", "/var/tmp");
        EXPECT_EQ(Preview::places(), (std::vector<std::filesystem::path>{"/run/user/4711", "/var/tmp"}));
        ScopedVariable relative("XDG_RUNTIME_DIR", "run");
        EXPECT_EQ(Preview::places(), std::vector<std::filesystem::path>{"/var/tmp"});
    }
    auto folder = Preview::folder();
    EXPECT_EQ(folder.filename(), std::to_string(::getpid()));
    EXPECT_EQ(folder.parent_path().filename(), "SovantaPreview");
    EXPECT_EQ(folder.parent_path().parent_path(), Preview::places().front());
    // Another running program's copies, under its own process id.
    auto others = folder.parent_path() / "1";
    PictureFile file("plain.png");
    auto copy = Preview::extract(*file.node, *file.source);
    ASSERT_TRUE(copy);
    EXPECT_EQ(std::filesystem::path(*copy).parent_path().parent_path(), folder);
    EXPECT_EQ(modeOf(folder.parent_path()) & 022, 0u);
    EXPECT_EQ(modeOf(folder) & 077, 0u);
    std::filesystem::create_directory(others);
    writeFile(others / "theirs.txt", std::string("x"));
    Preview::cleanup();
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_TRUE(std::filesystem::exists(others / "theirs.txt"));
    std::filesystem::remove_all(others);
    Preview::cleanup();
    // Made again when asked.
    EXPECT_EQ(Preview::extract(*file.node, *file.source), copy);
    Preview::cleanup();
}

// Stepping through videos with Down: only the copies of the latest
// selections stay, within the bound, so that a later preview still has room.
TEST(Preview, OnlyTheLatestCopiesAreKeptWithinTheBound) {
    auto source = openFixture("ntfs");
    TempDir dir;
    constexpr uint64_t mib = 1 << 20;
    Preview::CopyFolder copies({dir.path()}, "4242", 3 * mib);
    auto video = [&](int i, uint64_t size) {
        return FileNode::make("video " + std::to_string(i) + ".mp4", false, size, EntryStatus::existing,
                              Recoverability::good, std::vector<Extent>{{static_cast<uint64_t>(i) * 65536, size}});
    };
    std::vector<FileNodePtr> videos;
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) {
        videos.push_back(video(i, mib));
        auto copy = copies.copy(*videos.back(), *source);
        ASSERT_TRUE(copy.path) << copy.problem;
        EXPECT_EQ(copy.problem, "");
        paths.push_back(*copy.path);
        EXPECT_EQ(readBytes(*copy.path), FileReader::readPrefix(*videos.back(), *source, mib));
        EXPECT_LE(bytesBelow(dir.path()), 3 * mib);
        EXPECT_LE(copies.bytesKept(), 3 * mib);
    }
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(std::filesystem::exists(paths[i]), i >= 5) << i;

    // Asked for again, a kept copy is given as it is and stays longest.
    auto read = source->bytesRead();
    EXPECT_EQ(copies.copy(*videos[5], *source).path, paths[5]);
    EXPECT_EQ(source->bytesRead(), read);
    ASSERT_TRUE(copies.copy(*video(8, mib), *source).path);
    EXPECT_TRUE(std::filesystem::exists(paths[5]));
    EXPECT_FALSE(std::filesystem::exists(paths[6]));
    EXPECT_TRUE(std::filesystem::exists(paths[7]));
    // One that went is made again.
    auto again = copies.copy(*videos[0], *source);
    ASSERT_TRUE(again.path);
    EXPECT_EQ(readBytes(*again.path), FileReader::readPrefix(*videos[0], *source, mib));

    // A file larger than the bound is not copied, says why, and takes nothing away.
    auto refused = copies.copy(*video(9, 4 * mib), *source);
    EXPECT_FALSE(refused.path);
    EXPECT_EQ(refused.problem, "Der er ikke plads til en midlertidig kopi af filen (" + formatBytes(4 * mib) + ") i " +
                                   dir.path().string() + ".");
    EXPECT_TRUE(std::filesystem::exists(*again.path));

    copies.clear();
    EXPECT_EQ(copies.bytesKept(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "SovantaPreview" / "4242"));
}

// A runtime folder of 8 MiB (as /run/user is a small tmpfs): copies there
// take at most a quarter of it, however many videos are stepped through, and
// one that does not fit there goes to the temporary folder.
TEST(Preview, ASmallRuntimeFolderIsNeverFilled) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    auto source = openFixture("ntfs");
    TempDir dir;
    auto runtime = dir.path() / "run", temporary = dir.path() / "tmp";
    std::filesystem::create_directory(runtime);
    std::filesystem::create_directory(temporary);
    if (::mount("tmpfs", runtime.c_str(), "tmpfs", 0, "size=8m,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs";
    struct Unmount {
        std::filesystem::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{runtime};
    const uint64_t mib = 1 << 20;
    auto used = [&] {
        struct statvfs space {};
        ::statvfs(runtime.c_str(), &space);
        return static_cast<uint64_t>(space.f_blocks - space.f_bfree) * space.f_frsize;
    };
    Preview::CopyFolder copies({runtime, temporary}, "4243");
    for (int i = 0; i < 16; ++i) {
        auto node = FileNode::make("video " + std::to_string(i) + ".mp4", false, mib, EntryStatus::existing,
                                   Recoverability::good, std::vector<Extent>{{static_cast<uint64_t>(i) * 65536, mib}});
        auto copy = copies.copy(*node, *source);
        ASSERT_TRUE(copy.path) << i << ": " << copy.problem;
        EXPECT_EQ(copy.path->rfind(runtime.string() + "/", 0), 0u) << *copy.path;
        EXPECT_LE(used(), 2 * mib + 64 * 1024) << i;
    }
    auto large = FileNode::make("large.mp4", false, 3 * mib, EntryStatus::existing, Recoverability::good,
                                std::vector<Extent>{{0, 3 * mib}});
    auto copy = copies.copy(*large, *source);
    ASSERT_TRUE(copy.path) << copy.problem;
    EXPECT_EQ(copy.path->rfind(temporary.string() + "/", 0), 0u) << *copy.path;
    copies.clear();
    EXPECT_TRUE(std::filesystem::is_empty(runtime / "SovantaPreview"));
    EXPECT_TRUE(std::filesystem::is_empty(temporary / "SovantaPreview"));
}

// At start the folders of programs that ended (a kill leaves them behind) go;
// those of programs still running stay, and nothing else is touched.
TEST(Preview, FoldersOfProgramsThatEndedAreRemovedAtStart) {
    PictureFile file("plain.png");
    TempDir dir;
    auto shared = dir.path() / "SovantaPreview";
    auto privateFolder = [](const std::filesystem::path& path) {
        std::filesystem::create_directories(path);
        ::chmod(path.c_str(), 0700);
    };
    // A program that ran and was killed: its number runs no more.
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    privateFolder(shared / std::to_string(child) / "12");
    writeFile(shared / std::to_string(child) / "12" / "film.mp4", std::string(1000, 'x'));
    ::chmod(shared.c_str(), 0700);
    // An older program, without a lock, still running.
    auto older = shared / std::to_string(::getppid());
    privateFolder(older / "3");
    writeFile(older / "3" / "a.txt", std::string("a"));
    // Programs with a lock: one running (whatever its number) and one that ended.
    Preview::CopyFolder running({dir.path()}, "999999991");
    auto kept = running.copy(*file.node, *file.source);
    ASSERT_TRUE(kept.path) << kept.problem;
    std::string gone;
    {
        Preview::CopyFolder ended({dir.path()}, "999999992");
        gone = ended.copy(*file.node, *file.source).path.value_or("");
        ASSERT_FALSE(gone.empty());
    }
    // A link named like a program's folder, and a file.
    std::filesystem::create_directory(dir.path() / "elsewhere");
    writeFile(dir.path() / "elsewhere" / "keep.txt", std::string("k"));
    std::filesystem::create_directory_symlink(dir.path() / "elsewhere", shared / "999999993");
    writeFile(shared / "999999994", std::string("f"));

    Preview::CopyFolder starting({dir.path()}, std::to_string(::getpid()));
    starting.removeLeftovers();
    EXPECT_FALSE(std::filesystem::exists(shared / std::to_string(child)));
    EXPECT_FALSE(std::filesystem::exists(gone));
    EXPECT_FALSE(std::filesystem::exists(shared / "999999992"));
    EXPECT_TRUE(std::filesystem::exists(older / "3" / "a.txt"));
    EXPECT_TRUE(std::filesystem::exists(*kept.path));
    EXPECT_TRUE(std::filesystem::is_symlink(shared / "999999993"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "elsewhere" / "keep.txt"));
    EXPECT_TRUE(std::filesystem::exists(shared / "999999994"));
}

// Another user planted "SovantaPreview" in a folder all may write to, as a
// link to a folder of ours: nothing in it is ever deleted or written, at
// start, at a copy or at the clean-up, and the preview says why it fails.
TEST(Preview, NothingIsDeletedThroughAPlantedLink) {
    PictureFile file("plain.png");
    TempDir dir;
    auto world = dir.path() / "world", victim = dir.path() / "victim";
    std::filesystem::create_directory(world);
    ::chmod(world.c_str(), 01777);
    const std::string name = "4244";
    for (const std::string& folder : {name, std::string("123456789")}) {
        std::filesystem::create_directories(victim / folder);
        writeFile(victim / folder / "keep.txt", std::string("k"));
    }
    auto link = world / "SovantaPreview";
    std::filesystem::create_directory_symlink(victim, link);
    if (isRoot()) {
        ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    }
    auto untouched = [&] {
        for (const std::string& folder : {name, std::string("123456789")})
            EXPECT_TRUE(std::filesystem::exists(victim / folder / "keep.txt")) << folder;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(victim), std::filesystem::directory_iterator()),
                  2);
    };
    {
        Preview::CopyFolder copies({world}, name);
        copies.removeLeftovers();
        auto copy = copies.copy(*file.node, *file.source);
        EXPECT_FALSE(copy.path);
        EXPECT_EQ(copy.problem, "Mappen til midlertidige kopier, " + link.string() +
                                    ", er et symbolsk link. Den bruges ikke, og filen kan ikke vises.");
        copies.clear();
    }
    // Given the path through the link, as the earlier clean-up was.
    if (isRoot()) {
        Preview::cleanup(link / name);
        Preview::cleanup(link / name / "keep.txt");
    }
    untouched();

    // The next place is used when the first is unfit.
    auto good = dir.path() / "good";
    std::filesystem::create_directory(good);
    {
        Preview::CopyFolder copies({world, good}, name);
        auto copy = copies.copy(*file.node, *file.source);
        ASSERT_TRUE(copy.path) << copy.problem;
        EXPECT_EQ(copy.path->rfind(good.string() + "/", 0), 0u);
        copies.clear();
    }
    untouched();

    // A link in place of the program's own folder.
    auto ours = dir.path() / "ours";
    std::filesystem::create_directories(ours / "SovantaPreview");
    ::chmod((ours / "SovantaPreview").c_str(), 0700);
    std::filesystem::create_directory_symlink(victim / name, ours / "SovantaPreview" / name);
    {
        Preview::CopyFolder copies({ours}, name);
        auto copy = copies.copy(*file.node, *file.source);
        EXPECT_FALSE(copy.path);
        EXPECT_EQ(copy.problem, "Mappen til midlertidige kopier, " + (ours / "SovantaPreview" / name).string() +
                                    ", er et symbolsk link. Den bruges ikke, og filen kan ikke vises.");
        copies.clear();
    }
    untouched();

    // Another user's folder in its place, with their files.
    if (isRoot()) {
        auto foreign = dir.path() / "foreign";
        std::filesystem::create_directories(foreign / "SovantaPreview" / name);
        writeFile(foreign / "SovantaPreview" / name / "theirs.txt", std::string("t"));
        ::chmod((foreign / "SovantaPreview").c_str(), 0700);
        for (auto path : {foreign / "SovantaPreview", foreign / "SovantaPreview" / name,
                          foreign / "SovantaPreview" / name / "theirs.txt"})
            ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        Preview::CopyFolder copies({foreign}, name);
        copies.removeLeftovers();
        auto copy = copies.copy(*file.node, *file.source);
        EXPECT_FALSE(copy.path);
        EXPECT_EQ(copy.problem, "Mappen til midlertidige kopier, " + (foreign / "SovantaPreview").string() +
                                    ", tilhører en anden bruger. Den bruges ikke, og filen kan ikke vises.");
        copies.clear();
        Preview::cleanup(foreign / "SovantaPreview" / name);
        EXPECT_TRUE(std::filesystem::exists(foreign / "SovantaPreview" / name / "theirs.txt"));
    }
}

// The file browser's listing over a session of 100,000 files in a tree shaped
// like a user's disk (photo years and events, documents by project, a music
// library, a few deep folders, a tenth of the files deleted or orphaned): a
// folder's reload, a search, a status filter and a sort of the flat listing,
// each as the browser does it on the GUI thread with the table on screen,
// beside a plain walk of the same tree in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <QApplication>

#include "BenchSupport.h"
#include "SovantaApp/BrowserView/BrowserView.h"

using namespace sovanta;
using namespace sovanta::app;

namespace {

struct Tree {
    FileNodePtr root;
    FileNodePtr bigFolder;  // the folder of the largest event: 1,000 photos
    int64_t files = 0;
};

FileNodePtr file(std::mt19937& random, const std::string& name) {
    const auto roll = static_cast<uint32_t>(random() % 100);
    const EntryStatus status = roll < 8 ? EntryStatus::deleted : (roll < 10 ? EntryStatus::orphaned : EntryStatus::existing);
    const Recoverability chance =
        status == EntryStatus::existing ? Recoverability::good : static_cast<Recoverability>(random() % 4);
    auto node = FileNode::make(name, false, 1000 + random() % 8000000, status, chance,
                               std::vector<Extent>{{static_cast<uint64_t>(random()) * 4096, 4096}});
    node->modified = Date(std::chrono::seconds(1262304000 + static_cast<int64_t>(random() % 400000000)));
    return node;
}

const Tree& tree() {
    static const Tree built = [] {
        Tree t;
        std::mt19937 random(7);
        t.root = FileNode::make("", true);
        auto folder = [](const FileNodePtr& parent, const std::string& name) {
            auto node = FileNode::make(name, true);
            parent->add(node);
            return node;
        };
        auto add = [&](const FileNodePtr& parent, const std::string& name) {
            parent->add(file(random, name));
            ++t.files;
        };
        // Photos: 15 years of 20 events; one event of 1,000, the rest of 200.
        auto photos = folder(t.root, "Billeder");
        int photo = 1000;
        for (int year = 2010; year < 2025; ++year) {
            auto y = folder(photos, std::to_string(year));
            for (int event = 0; event < 20; ++event) {
                auto e = folder(y, "Begivenhed " + std::to_string(event + 1) + " – Ærø og Ålborg");
                const int count = year == 2019 && event == 3 ? 1000 : 200;
                if (count == 1000) t.bigFolder = e;
                for (int i = 0; i < count; ++i)
                    add(e, (i % 9 == 0 ? "DSC" : "IMG_") + std::to_string(photo++) + (i % 17 == 0 ? ".HEIC" : ".JPG"));
            }
        }
        // Documents: 200 projects of 60 files each.
        const char* kinds[] = {".docx", ".pdf", ".xlsx", ".txt", ".pptx", ".odt"};
        auto documents = folder(t.root, "Dokumenter");
        for (int project = 0; project < 200; ++project) {
            auto p = folder(documents, "Projekt " + std::to_string(project) + " (kunde)");
            auto old = folder(p, "Gamle udkast");
            for (int i = 0; i < 60; ++i)
                add(i < 40 ? p : old, "Rapport " + std::to_string(2000 + i) + " v" + std::to_string(i % 7) +
                                          kinds[i % 6]);
        }
        // Music: 300 albums of 12 tracks.
        auto music = folder(t.root, "Musik");
        for (int album = 0; album < 300; ++album) {
            auto a = folder(music, "Kunstner " + std::to_string(album / 5) + " – Album " + std::to_string(album));
            for (int track = 1; track <= 12; ++track)
                add(a, std::to_string(track) + " Sang nummer " + std::to_string(track) + ".mp3");
        }
        // The rest: a deep chain of program folders with small files.
        FileNodePtr deep = folder(t.root, "Programmer");
        while (t.files < 100000) {
            deep = folder(deep, "lib" + std::to_string(t.files % 97));
            for (int i = 0; i < 50 && t.files < 100000; ++i) add(deep, "modul_" + std::to_string(i) + ".dll");
        }
        return t;
    }();
    return built;
}

// A browser over a session of a tiny image, shown offscreen, looking at the
// synthetic tree.
BrowserView& browser() {
    static BrowserView* view = [] {
        auto session = Session::make(SourceOpener::openImage(bench::fixtureImage("fat12")), "bench");
        auto* b = new BrowserView(session);
        b->resize(1440, 900);
        b->show();
        b->setFolder(tree().root);
        return b;
    }();
    return *view;
}

void report(benchmark::State& state, BrowserView& b) {
    state.counters["rows"] = static_cast<double>(b.rows().size());
    state.counters["files"] = static_cast<double>(tree().files);
}

void BM_PlainWalk(benchmark::State& state) {
    for (auto _ : state) {
        int64_t files = bench::countBelow(tree().root, [](const FileNode& node) { return !node.isDirectory; });
        benchmark::DoNotOptimize(files);
    }
    state.counters["files"] = static_cast<double>(tree().files);
}
BENCHMARK(BM_PlainWalk)->Unit(benchmark::kMillisecond);

void BM_ReloadFolder(benchmark::State& state) {
    auto& b = browser();
    b.setSearch("");
    b.setStatusFilter(StatusFilter::all);
    b.setSortOrder({SortKey{}});
    b.setFolder(tree().bigFolder);
    for (auto _ : state) b.reload();
    report(state, b);
}
BENCHMARK(BM_ReloadFolder)->Unit(benchmark::kMillisecond);

void BM_Search(benchmark::State& state) {
    auto& b = browser();
    b.setFolder(tree().root);
    b.setStatusFilter(StatusFilter::all);
    b.setSortOrder({SortKey{}});
    b.setSearch(" Img_1 ");
    for (auto _ : state) b.reload();
    report(state, b);
}
BENCHMARK(BM_Search)->Unit(benchmark::kMillisecond);

// A search that every name matches: the walk, the filter and the sort by name
// of all 100,000 files in one reload.
void BM_SearchEveryFile(benchmark::State& state) {
    auto& b = browser();
    b.setFolder(tree().root);
    b.setStatusFilter(StatusFilter::all);
    b.setSortOrder({SortKey{}});
    b.setSearch(".");
    for (auto _ : state) b.reload();
    report(state, b);
}
BENCHMARK(BM_SearchEveryFile)->Unit(benchmark::kMillisecond);

void BM_StatusFilter(benchmark::State& state) {
    auto& b = browser();
    b.setFolder(tree().root);
    b.setSearch("");
    b.setSortOrder({SortKey{}});
    b.setStatusFilter(StatusFilter::lost);
    for (auto _ : state) b.reload();
    report(state, b);
}
BENCHMARK(BM_StatusFilter)->Unit(benchmark::kMillisecond);

// Every file listed (a search that all names match), sorted by the name and
// then by size descending, by location, and by status then modification date.
void BM_SortEveryFile(benchmark::State& state) {
    auto& b = browser();
    b.setFolder(tree().root);
    b.setStatusFilter(StatusFilter::all);
    b.setSearch(".");
    const std::vector<SortOrder> orders = {
        {{SortColumn::name, false}},
        {{SortColumn::size, false}, {SortColumn::name, true}},
        {{SortColumn::location, true}, {SortColumn::name, true}},
        {{SortColumn::status, true}, {SortColumn::modified, false}, {SortColumn::name, true}},
    };
    const SortOrder& order = orders[static_cast<size_t>(state.range(0))];
    for (auto _ : state) {
        state.PauseTiming();
        b.setSortOrder({SortKey{SortColumn::chance, true}});
        state.ResumeTiming();
        b.setSortOrder(order);
    }
    report(state, b);
}
BENCHMARK(BM_SortEveryFile)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    tree();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

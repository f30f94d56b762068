// Thumbnails of a folder of 500 photos (12 megapixels, JPEG) at the gallery's
// size, made as the gallery makes them (on the preview queue, two at a time,
// each file read through the file reader), beside decoding the same files at
// full size the same way. The photos are made once with ImageMagick (20
// different pictures, each kept as 25 files) and kept for later runs; every
// timed pass asks for new nodes, so the thumbnail cache never answers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QGuiApplication>

#include "SovantaApp/Preview.h"
#include "SovantaCore/FileReader.h"

namespace fs = std::filesystem;
using namespace sovanta;
using namespace sovanta::app;

namespace {

const fs::path scratch = "/tmp/sovanta-bench-thumbnails";
constexpr int pictureCount = 20;
constexpr int copiesEach = 25;

struct Photo {
    DiskSourcePtr source;
    uint64_t size = 0;
};

const std::vector<Photo>& photos() {
    static const std::vector<Photo> all = [] {
        const fs::path folder = scratch / "photos", stamp = scratch / "complete";
        if (!fs::exists(stamp)) {
            fs::remove_all(scratch);
            fs::create_directories(folder);
            for (int i = 0; i < pictureCount; ++i) {
                // A plasma fractal with grain: detail everywhere, as in a photo.
                auto first = folder / ("IMG_" + std::to_string(1000 + i * copiesEach) + ".jpg");
                std::string command = "convert -seed " + std::to_string(i + 1) +
                                      " -size 1008x756 plasma:fractal -resize 4032x3024! -attenuate 0.6 "
                                      "+noise Gaussian -quality 90 '" + first.string() + "'";
                if (std::system(command.c_str()) != 0) {
                    std::fprintf(stderr, "ImageMagick (convert) is needed to make the photos\n");
                    std::exit(1);
                }
                for (int c = 1; c < copiesEach; ++c)
                    fs::copy_file(first, folder / ("IMG_" + std::to_string(1000 + i * copiesEach + c) + ".jpg"));
            }
            std::ofstream(stamp.string()) << "ok\n";
        }
        std::vector<Photo> out;
        for (auto& entry : fs::directory_iterator(folder))
            out.push_back({SourceOpener::openImage(entry.path().string()), entry.file_size()});
        return out;
    }();
    return all;
}

// New nodes over the photos, named as photos.
std::vector<FileNodePtr> freshNodes() {
    std::vector<FileNodePtr> nodes;
    for (auto& photo : photos())
        nodes.push_back(FileNode::make("IMG.jpg", false, photo.size, EntryStatus::existing, Recoverability::good,
                                       std::vector<Extent>{{0, photo.size}}));
    return nodes;
}

template <class Work>
void onQueue(benchmark::State& state, Work work) {
    auto& all = photos();
    std::atomic<int> failures = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto nodes = freshNodes();
        state.ResumeTiming();
        for (size_t i = 0; i < nodes.size(); ++i)
            Background::onPreviewQueue([&, i] {
                if (!work(*nodes[i], *all[i].source)) ++failures;
            });
        Background::previewQueue().waitForDone();
    }
    if (failures > 0) state.SkipWithError("a photo did not decode");
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(all.size()));
    state.counters["photos"] = static_cast<double>(all.size());
}

void BM_GalleryThumbnails(benchmark::State& state) {
    onQueue(state, [](const FileNode& node, DiskSource& source) {
        return Preview::thumbnail(node, source, Preview::galleryPixels).has_value();
    });
}
BENCHMARK(BM_GalleryThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FullSizeDecoding(benchmark::State& state) {
    onQueue(state, [](const FileNode& node, DiskSource& source) {
        auto bytes = FileReader::readPrefix(node, source, Preview::thumbnailReadLimit);
        auto image = Preview::decodeImage(bytes, INT_MAX);
        return image && image->width() == 4032;
    });
}
BENCHMARK(BM_FullSizeDecoding)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    photos();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

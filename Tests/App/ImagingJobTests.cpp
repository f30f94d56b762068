#include <gtest/gtest.h>

#include <algorithm>

#include "AppTestSupport.h"
#include "SovantaApp/Models/ImagingJob.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::app;
using namespace sovanta::test;

namespace {

// fat12 with two unreadable stretches.
const std::vector<ByteRange> badRanges = {{64 * 1024, 64 * 1024 + 4096}, {300 * 1024, 300 * 1024 + 512}};

DiskSourcePtr badSource() {
    auto source = openFixture("fat12", withBadRanges(badRanges));
    return source;
}

ImagingJobPtr makeJob(const DiskSourcePtr& source, const std::string& image) {
    return ImagingJob::make("fat12", image, std::make_shared<DiskImager>(source, image, ImagingOptions{1, 65536, 1 << 20}));
}

bool waitFinished(const ImagingJobPtr& job) {
    return spinUntil([&] { return job->finished(); });
}

// The image holds the source's bytes except in the bad ranges, which are zeros.
void expectImageMatches(const std::string& image) {
    Bytes expected = readBytes(fixtureImage("fat12"));
    for (auto& r : badRanges) std::fill(expected.begin() + static_cast<std::ptrdiff_t>(r.lower), expected.begin() + static_cast<std::ptrdiff_t>(r.upper), 0);
    Bytes written = readBytes(image);
    written.resize(expected.size());
    EXPECT_TRUE(written == expected);
}

}  // namespace

TEST(ImagingJob, RunsToTheEndWithItsMapPausesAndSamples) {
    TempDir dir;
    auto source = badSource();
    auto job = makeJob(source, dir.file("copy.img"));
    ASSERT_EQ(job->cells().size(), 1200u);
    EXPECT_TRUE(std::all_of(job->cells().begin(), job->cells().end(),
                            [](auto s) { return s == RangeMap::Status::nonTried; }));
    EXPECT_EQ(job->fraction(), 0.0);

    job->togglePause();  // paused before the first read: updates keep coming while it waits
    EXPECT_TRUE(job->paused());
    EXPECT_TRUE(job->imager->paused());
    job->start();
    EXPECT_TRUE(job->running());
    ASSERT_TRUE(spinUntil([&] { return job->samples().size() >= 2; }));
    EXPECT_TRUE(job->running());
    EXPECT_FALSE(job->finished());
    EXPECT_EQ(job->stats().rescued, 0u);
    job->start();  // ignored while running
    job->togglePause();
    EXPECT_FALSE(job->imager->paused());
    ASSERT_TRUE(waitFinished(job));

    EXPECT_FALSE(job->running());
    EXPECT_TRUE(job->stats().finished);
    EXPECT_EQ(job->stats().phase, "Færdig");
    uint64_t badBytes = 0;
    for (auto& r : badRanges) badBytes += r.upper - r.lower;
    EXPECT_EQ(job->stats().bad, badBytes);
    EXPECT_EQ(job->stats().rescued + job->stats().bad, source->size);
    EXPECT_DOUBLE_EQ(job->fraction(), 1.0);
    auto bad = std::count(job->cells().begin(), job->cells().end(), RangeMap::Status::bad);
    auto done = std::count(job->cells().begin(), job->cells().end(), RangeMap::Status::finished);
    EXPECT_GE(bad, 2);
    EXPECT_EQ(bad + done, 1200);
    for (size_t i = 1; i < job->samples().size(); ++i) EXPECT_GE(job->samples()[i].time, job->samples()[i - 1].time);
    expectImageMatches(dir.file("copy.img"));
}

TEST(ImagingJob, StopLeavesAMapThatANewJobResumesFrom) {
    TempDir dir;
    auto source = badSource();
    auto job = makeJob(source, dir.file("copy.img"));
    job->togglePause();
    job->start();
    ASSERT_TRUE(spinUntil([&] { return !job->samples().empty(); }));
    job->stop();
    EXPECT_FALSE(job->paused());
    ASSERT_TRUE(waitFinished(job));
    EXPECT_EQ(job->stats().phase, "Stoppet");
    EXPECT_GT(job->stats().pending, 0u);
    auto samples = job->samples();

    // The same job again keeps its history.
    job->start();
    EXPECT_FALSE(job->finished());
    ASSERT_TRUE(waitFinished(job));
    EXPECT_EQ(job->stats().pending, 0u);
    ASSERT_GE(job->samples().size(), samples.size());
    EXPECT_EQ(job->samples()[0].id, samples[0].id);

    // A new job over the same image file picks up the saved map.
    auto again = makeJob(badSource(), dir.file("copy.img"));
    EXPECT_TRUE(again->imager->isResuming());
    EXPECT_GT(std::count(again->cells().begin(), again->cells().end(), RangeMap::Status::bad), 0);
    again->start();
    ASSERT_TRUE(waitFinished(again));
    EXPECT_EQ(again->stats().pending, 0u);
    expectImageMatches(dir.file("copy.img"));
}

TEST(ImagingJob, ImageThatCannotBeCreatedEndsWithTheImagersMessage) {
    TempDir dir;
    auto job = makeJob(openFixture("fat12"), dir.file("missing/copy.img"));
    job->start();
    ASSERT_TRUE(waitFinished(job));
    EXPECT_TRUE(job->stats().finished);
    ASSERT_TRUE(job->stats().message);
    EXPECT_EQ(job->stats().message->rfind("Kunne ikke oprette billedfilen: ", 0), 0u);
    EXPECT_TRUE(job->samples().empty());
    EXPECT_EQ(job->fraction(), 0.0);
}

TEST(ImagingJob, SamplesAreMegabytesAndTheNewest600) {
    std::vector<RateSample> samples;
    for (int i = 0; i < 601; ++i) {
        ImagingStats update;
        update.elapsed = i;
        update.currentRate = 2'500'000;
        ImagingJob::appendSample(samples, update);
    }
    ASSERT_EQ(samples.size(), 600u);
    EXPECT_EQ(samples.front().time, 1.0);
    EXPECT_EQ(samples.back().time, 600.0);
    EXPECT_EQ(samples.back().rate, 2.5);
    EXPECT_NE(samples[0].id, samples[1].id);
}

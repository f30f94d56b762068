#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QPointer>

#include "AppTestSupport.h"
#include "SovantaApp/Threads.h"

using namespace sovanta::app;
using namespace std::chrono_literals;

namespace {

// Something a step holds, which notes the thread it is released on.
struct Releases {
    std::atomic<int> onMain{0}, elsewhere{0};
    std::shared_ptr<void> holding() {
        return std::shared_ptr<void>(nullptr, [this](void*) { ++(isMainThread() ? onMain : elsewhere); });
    }
};

}  // namespace

// Steps posted from a worker for objects that have gone by their turn do not
// run; what they hold is released on the GUI thread all the same (a worker's
// file nodes must not be freed beside the GUI thread's reads). Steps whose
// objects live are given them.
TEST(Threads, StepsForAnObjectThatHasGoneAreDropped) {
    auto* kept = new QObject;
    auto* deleted = new QObject;
    QPointer<QObject> keptContext(kept), deletedContext(deleted);
    auto keptModel = std::make_shared<std::string>("kept");
    auto releasedModel = std::make_shared<std::string>("released");
    std::weak_ptr<std::string> keptWeak = keptModel, releasedWeak = releasedModel;
    Releases releases;
    std::vector<std::string> ran;

    std::thread worker([&] {
        onMain(deletedContext, [&, held = releases.holding()](QObject&) { ran.push_back("deleted object"); });
        onMain(keptContext, [&, held = releases.holding()](QObject& object) {
            ran.push_back(&object == kept ? "kept object" : "another object");
        });
        onMain(releasedWeak, [&, held = releases.holding()](std::string&) { ran.push_back("released model"); });
        onMain(keptWeak, [&, held = releases.holding()](std::string& model) { ran.push_back(model + " model"); });
        onMain(releasedWeak, [&, held = releases.holding()] { ran.push_back("released model, no argument"); });
        onMain([&] { ran.push_back("last"); });
    });
    worker.join();
    delete deleted;
    releasedModel.reset();
    ASSERT_TRUE(sovanta::test::spinUntil([&] { return !ran.empty() && ran.back() == "last"; }, 60s));

    EXPECT_EQ(ran, (std::vector<std::string>{"kept object", "kept model", "last"}));
    EXPECT_EQ(releases.onMain.load(), 5);
    EXPECT_EQ(releases.elsewhere.load(), 0);
    delete kept;
}

// One thread's steps arrive in the order posted, whatever context each names.
TEST(Threads, StepsOfOneThreadArriveInOrder) {
    auto* object = new QObject;
    QPointer<QObject> context(object);
    auto model = std::make_shared<int>(0);
    std::weak_ptr<int> weak = model;
    constexpr int count = 300;
    std::vector<int> arrived;

    std::thread worker([&] {
        for (int i = 0; i < count; ++i) {
            switch (i % 3) {
                case 0: onMain([&, i] { arrived.push_back(i); }); break;
                case 1: onMain(context, [&, i](QObject&) { arrived.push_back(i); }); break;
                default: onMain(weak, [&, i](int&) { arrived.push_back(i); }); break;
            }
        }
    });
    worker.join();
    ASSERT_TRUE(sovanta::test::spinUntil([&] { return arrived.size() == count; }, 60s));
    for (int i = 0; i < count; ++i) ASSERT_EQ(arrived[static_cast<size_t>(i)], i);
    delete object;
}

// The first update goes, those within the interval after it are dropped (and
// what a dropped step would carry is never gathered), a final one goes
// whatever the time; a copy of the hand-over, as each reporting thread holds,
// shares its throttle.
TEST(Threads, ProgressHandOverLetsTheFirstAndTheFinalUpdateThrough) {
    auto now = std::chrono::steady_clock::time_point{} + 1000s;
    auto model = std::make_shared<std::vector<int>>();
    ProgressHandOver<std::vector<int>> progress(0.4, model, [&] { return now; });
    const ProgressHandOver<std::vector<int>> copy = progress;
    int gathered = 0;
    auto post = [&](const ProgressHandOver<std::vector<int>>& through, int update, bool final = false) {
        using Pass = ProgressHandOver<std::vector<int>>::Pass;
        through.postMade(
            [&] {
                ++gathered;
                return [update](std::vector<int>& updates) { updates.push_back(update); };
            },
            final ? Pass::always : Pass::whenDue);
    };

    post(progress, 1);
    now += 150ms;
    post(copy, 2);
    now += 150ms;
    progress.post([](std::vector<int>& updates) { updates.push_back(3); });
    now += 50ms;
    post(progress, 4, true);
    sovanta::test::drainEvents();
    EXPECT_EQ(*model, (std::vector<int>{1, 4}));
    EXPECT_EQ(gathered, 2);

    now += 400ms;
    post(copy, 5);
    sovanta::test::drainEvents();
    EXPECT_EQ(*model, (std::vector<int>{1, 4, 5}));
}

// A later request makes the earlier tokens stale, also those of a ticket made
// before (a gallery cell that leaves and comes back gets a new ticket).
TEST(Threads, TicketMakesEarlierRequestsStale) {
    Ticket ticket;
    const Ticket::Token first = ticket.next();
    EXPECT_TRUE(ticket.isCurrent(first));
    const Ticket::Token second = ticket.next();
    EXPECT_FALSE(ticket.isCurrent(first));
    EXPECT_TRUE(ticket.isCurrent(second));
    EXPECT_EQ(ticket.current(), second);

    Ticket remade;
    const Ticket::Token fresh = remade.next();
    EXPECT_TRUE(remade.isCurrent(fresh));
    EXPECT_FALSE(remade.isCurrent(first));
    EXPECT_FALSE(remade.isCurrent(second));

    ticket.expire();
    EXPECT_FALSE(ticket.isCurrent(second));
}

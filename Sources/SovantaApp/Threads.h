// How work moves between the application's threads, beneath the models and
// the views alike: steps posted to the GUI thread in the order one thread
// posts them, dropped when what they are for has gone; the pools of
// background work; progress handed over through a throttle; and tickets by
// which the latest of several requests wins.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include "SovantaApp/Throttle.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace sovanta::app {

namespace detail {
// Qt is not built with ThreadSanitizer, which so cannot see that work handed
// to another thread through Qt's queues runs after it was handed over; these
// two tell it (and do nothing in other builds).
inline char handOver;
inline void handedOver() {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&handOver);
#endif
}
inline void takenOver() {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(&handOver);
#endif
}
// A handed-over step, which also takes over when it is destroyed: a step
// that never runs (its event dropped as the program ends) lets go of what it
// holds on the thread it was handed to.
template <class F>
struct Handed {
    F step;
    ~Handed() { takenOver(); }
    void operator()() {
        takenOver();
        step();
    }
};
}  // namespace detail

// Whether the caller runs on the GUI thread (the thread of the application object).
inline bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Every write of a model member goes through this; the check runs in debug builds.
inline void assertMainThread() { Q_ASSERT_X(isMainThread(), "sovanta", "model written off the GUI thread"); }

namespace detail {
// A step on its way to the GUI thread. It is made whole before it is handed
// over and Qt carries only the event's pointer, so nothing of the step is
// written after the hand-over that the GUI thread's reads are ordered after.
struct Step {
    virtual ~Step() = default;
    virtual void run() = 0;
};
template <class F>
struct StepOf final : Step {
    explicit StepOf(F&& f) : handed{std::move(f)} {}
    Handed<F> handed;
    void run() override { handed(); }
};
class StepEvent final : public QEvent {
public:
    explicit StepEvent(std::unique_ptr<Step> step) : QEvent(type()), step_(std::move(step)) {}
    ~StepEvent() override { takenOver(); }
    void run() { step_->run(); }
    static QEvent::Type type() {
        static const int registered = QEvent::registerEventType();
        return static_cast<QEvent::Type>(registered);
    }

private:
    std::unique_ptr<Step> step_;
};
// Runs the steps on the GUI thread, in the order they were posted.
class StepReceiver final : public QObject {
public:
    bool event(QEvent* event) override {
        takenOver();
        if (event->type() != StepEvent::type()) return QObject::event(event);
        static_cast<StepEvent*>(event)->run();
        return true;
    }
};
inline QObject* stepReceiver() {
    static QObject* const receiver = [] {
        auto* made = new StepReceiver;
        made->moveToThread(QCoreApplication::instance()->thread());
        return made;
    }();
    return receiver;
}
}  // namespace detail

// Posts step to the GUI thread. Steps posted by one thread arrive in the order
// posted. A step for an object that may go before it runs names the object as
// its context (below) or holds it itself; without an application object
// nothing is posted.
template <class F>
void onMain(F&& step) {
    if (!QCoreApplication::instance()) return;
    auto* event = new detail::StepEvent(std::make_unique<detail::StepOf<std::decay_t<F>>>(std::decay_t<F>(std::forward<F>(step))));
    QObject* receiver = detail::stepReceiver();
    detail::handedOver();
    QCoreApplication::postEvent(receiver, event);
}

namespace detail {
// Runs a step with its context's object when it takes one, else on its own.
template <class T, class F>
void runWith(T& object, F& step) {
    static_assert(std::is_invocable_v<F&, T&> || std::is_invocable_v<F&>,
                  "a step takes its context's object, or nothing");
    if constexpr (std::is_invocable_v<F&, T&>)
        step(object);
    else
        step();
}
}  // namespace detail

// Posts step to the GUI thread for an object that lives there: the step runs
// only if the object still lives when its turn comes, and is then given it
// (when it takes a T&); otherwise it is dropped, and what it holds is released
// on the GUI thread all the same. The order is that of onMain(step). The
// QPointer is taken on the GUI thread, where the object cannot go meanwhile.
template <class T, class F>
    requires std::derived_from<T, QObject>
void onMain(QPointer<T> context, F&& step) {
    onMain([context = std::move(context), step = std::decay_t<F>(std::forward<F>(step))]() mutable {
        if (T* object = context.data()) detail::runWith(*object, step);
    });
}

// The same for a model shared by std::shared_ptr: the step holds it only
// weakly until it runs, and then runs with it while it lives.
template <class T, class F>
void onMain(std::weak_ptr<T> context, F&& step) {
    onMain([context = std::move(context), step = std::decay_t<F>(std::forward<F>(step))]() mutable {
        if (auto object = context.lock()) detail::runWith(*object, step);
    });
}
template <class T, class F>
void onMain(const std::shared_ptr<T>& context, F&& step) {
    onMain(std::weak_ptr<T>(context), std::forward<F>(step));
}

namespace detail {
// The work that holdBackgroundWork keeps back; the GUI thread's only.
struct HeldWork {
    bool holding = false;
    std::vector<std::function<void()>> tasks;
};
inline HeldWork heldWork;
}  // namespace detail

// The pool of the models' background work (scans, copies, recoveries,
// openings): a pool of its own, not Qt's global one, where Qt also runs parts
// of its painting. Long jobs there (a paused copy keeps its thread) could leave
// the GUI thread waiting for a free thread to paint with.
inline QThreadPool& backgroundPool() {
    static QThreadPool pool;
    static const bool sized = [] {
        pool.setMaxThreadCount(std::max(64, QThread::idealThreadCount()));
        return true;
    }();
    (void)sized;
    return pool;
}

// Runs work on the process-wide pool of background threads.
template <class F>
void inBackground(F&& work) {
    std::function<void()> task = [work = std::forward<F>(work)]() mutable {
        detail::takenOver();
        work();
    };
    detail::handedOver();
    if (isMainThread() && detail::heldWork.holding) {
        detail::heldWork.tasks.push_back(std::move(task));
        return;
    }
    backgroundPool().start(std::move(task));
}

// A seam for tests: while held, work started from the GUI thread waits, on no
// thread, until the hold ends, so that a test sees a scan or a copy running
// (and reading nothing) however fast or slow the machine is. GUI thread only.
inline void holdBackgroundWork(bool hold) {
    assertMainThread();
    detail::heldWork.holding = hold;
    if (hold) return;
    std::vector<std::function<void()>> tasks;
    tasks.swap(detail::heldWork.tasks);
    for (auto& task : tasks) backgroundPool().start(std::move(task));
}

namespace Background {

// The one queue for short disk reads and decodes: at most 2 at once.
QThreadPool& previewQueue();

// Adds work to the preview queue; it runs to its end once added.
template <class F>
void onPreviewQueue(F&& work) {
    std::function<void()> task = [work = std::forward<F>(work)]() mutable {
        detail::takenOver();
        work();
    };
    detail::handedOver();
    previewQueue().start(std::move(task));
}

}  // namespace Background

// A model object shared by std::shared_ptr whose last holder may be a worker
// thread: the object is then deleted on the GUI thread, where it lives.
template <class T, class... Args>
std::shared_ptr<T> makeModel(Args&&... args) {
    return std::shared_ptr<T>(new T(std::forward<Args>(args)...), [](T* object) {
        if (isMainThread() || !QCoreApplication::instance())
            delete object;
        else
            object->deleteLater();
    });
}

// Progress from a worker handed to a model on the GUI thread: at most one
// update per interval goes (the first always does), the rest are dropped
// where they are reported. A copy shares the throttle of the original, so
// that each thread that reports may hold one.
template <class T>
class ProgressHandOver {
public:
    enum class Pass { whenDue, always };

    // The clock is replaceable so that tests need not sleep.
    ProgressHandOver(double seconds, std::weak_ptr<T> context, Throttle::Clock clock = std::chrono::steady_clock::now)
        : throttle_(std::make_shared<Throttle>(seconds, std::move(clock))), context_(std::move(context)) {}

    // Posts step for the model (as onMain(context, step)) when it is due; a
    // final update passes always.
    template <class F>
    void post(F&& step, Pass pass = Pass::whenDue) const {
        if (due(pass)) onMain(context_, std::forward<F>(step));
    }
    // The same, with the step made only when it goes: for a step that carries
    // what costs to gather.
    template <class Make>
    void postMade(Make&& make, Pass pass = Pass::whenDue) const {
        if (due(pass)) onMain(context_, std::forward<Make>(make)());
    }

private:
    // The throttle notes a final update too, as any that passes.
    bool due(Pass pass) const { return throttle_->ready() || pass == Pass::always; }

    std::shared_ptr<Throttle> throttle_;
    std::weak_ptr<T> context_;
};

namespace detail {
// Tokens are unique in the process, so that a token from one ticket is never
// current in another (a view may drop a ticket and make a new one).
inline std::atomic<uint64_t> issuedTokens{0};
}  // namespace detail

// The latest request wins: each request takes a token, and a later request
// makes every earlier token stale, so that work that comes back after a newer
// request began is dropped. Safe on any thread: a worker may ask whether its
// request still stands before it reads anything.
class Ticket {
public:
    using Token = uint64_t;

    // A new request; the earlier ones are stale from now on.
    Token next() {
        const Token token = detail::issuedTokens.fetch_add(1) + 1;
        current_.store(token);
        return token;
    }
    // The latest request's token.
    Token current() const { return current_.load(); }
    bool isCurrent(Token token) const { return current_.load() == token; }
    // Makes every request made so far stale, with none after it.
    void expire() { next(); }

private:
    std::atomic<Token> current_{0};
};

}  // namespace sovanta::app

// The one way background work reaches the application's state: steps posted to
// the GUI thread, in the order one thread posts them.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

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
// posted; a step that needs an object holds it itself (strongly or weakly).
template <class F>
void onMain(F&& step) {
    if (!QCoreApplication::instance()) return;
    auto* event = new detail::StepEvent(std::make_unique<detail::StepOf<std::decay_t<F>>>(std::decay_t<F>(std::forward<F>(step))));
    QObject* receiver = detail::stepReceiver();
    detail::handedOver();
    QCoreApplication::postEvent(receiver, event);
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
    if (detail::heldWork.holding && isMainThread()) {
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

}  // namespace sovanta::app

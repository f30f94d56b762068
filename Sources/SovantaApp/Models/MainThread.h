// The one way background work reaches the application's state: steps posted to
// the GUI thread, in the order one thread posts them.
#pragma once

#include <memory>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

namespace sovanta::app {

// Whether the caller runs on the GUI thread (the thread of the application object).
inline bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Every write of a model member goes through this; the check runs in debug builds.
inline void assertMainThread() { Q_ASSERT_X(isMainThread(), "sovanta", "model written off the GUI thread"); }

// Posts step to the GUI thread. Steps posted by one thread arrive in the order
// posted; a step that needs an object holds it itself (strongly or weakly).
template <class F>
void onMain(F&& step) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(step), Qt::QueuedConnection);
}

// Runs work on the process-wide pool of background threads.
template <class F>
void inBackground(F&& work) {
    QThreadPool::globalInstance()->start(std::forward<F>(work));
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

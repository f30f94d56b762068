// Helpers of the application's tests: spinning the GUI thread's event loop.
#pragma once

#include <chrono>
#include <functional>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

namespace sovanta::test {

// Processes events until done() holds or the bound passes; the result of done().
inline bool spinUntil(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(120)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// Processes what is already queued.
inline void drainEvents() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace sovanta::test

// Helpers of the application's tests: spinning the GUI thread's event loop.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

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

// Puts a value in place of a seam (a replaceable function) for one test.
template <class T>
class Replaced {
public:
    Replaced(T& seam, T value) : seam_(seam), saved_(std::move(seam)) { seam_ = std::move(value); }
    ~Replaced() { seam_ = std::move(saved_); }
    Replaced(const Replaced&) = delete;
    Replaced& operator=(const Replaced&) = delete;

private:
    T& seam_;
    T saved_;
};

// Processes what is already queued.
inline void drainEvents() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace sovanta::test

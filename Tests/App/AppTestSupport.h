// Helpers of the application's tests: spinning the GUI thread's event loop.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QThreadPool>

#include "SovantaCore/Recovery.h"

#include "SovantaApp/Threads.h"

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

// Holds every recovery of the process after its first written piece until
// release() (or the end of the scope, which also waits for the background
// work to end): a run the test wants running stays running.
class RecoveryHold {
public:
    RecoveryHold() {
        sovanta::RecoveryEngine::afterPiece = [this](const sovanta::RecoveryProgress&) {
            held_ = true;
            while (!released_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        };
    }
    ~RecoveryHold() {
        release();
        sovanta::app::backgroundPool().waitForDone();
        sovanta::RecoveryEngine::afterPiece = nullptr;
    }
    RecoveryHold(const RecoveryHold&) = delete;
    RecoveryHold& operator=(const RecoveryHold&) = delete;

    // Whether a run waits at the hold.
    bool held() const { return held_; }
    void release() { released_ = true; }

private:
    std::atomic<bool> held_{false}, released_{false};
};

// Processes what is already queued.
inline void drainEvents() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Holds back the background work that the models start (their scans, copies
// and recoveries) until release() or the end of its scope: a job the test
// wants running is still running, and has read nothing, however fast or slow
// the machine is. Work already under way runs on.
class BackgroundHold {
public:
    BackgroundHold() { app::holdBackgroundWork(true); }
    ~BackgroundHold() { release(); }
    BackgroundHold(const BackgroundHold&) = delete;
    BackgroundHold& operator=(const BackgroundHold&) = delete;

    void release() {
        if (!held_) return;
        held_ = false;
        app::holdBackgroundWork(false);
    }

private:
    bool held_ = true;
};

}  // namespace sovanta::test

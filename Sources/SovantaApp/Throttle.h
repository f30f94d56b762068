// Lets at most one progress update through per interval; the rest are dropped.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace sovanta::app {

class Throttle {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The clock is replaceable so that tests need not sleep.
    explicit Throttle(double seconds, Clock clock = std::chrono::steady_clock::now)
        : interval(seconds), clock_(std::move(clock)) {}

    const double interval;  // seconds

    // True, and the time noted, when interval seconds or more have passed since
    // the last update that passed; the first update always passes.
    bool ready() {
        std::lock_guard guard(lock_);
        auto now = clock_();
        if (last_ && std::chrono::duration<double>(now - *last_).count() < interval) return false;
        last_ = now;
        return true;
    }

private:
    std::mutex lock_;
    std::optional<std::chrono::steady_clock::time_point> last_;  // none: the most distant past
    const Clock clock_;
};

}  // namespace sovanta::app

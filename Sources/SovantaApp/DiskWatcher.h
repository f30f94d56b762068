// Reloads the disk list shortly after disks come and go: a udev monitor of
// block devices on the GUI thread's event loop, one reload 0.8 s after the last
// event of a burst.
#pragma once

#include <chrono>
#include <functional>

#include <QObject>
#include <QTimer>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace sovanta::app {

class DiskWatcher : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds debounce{800};

    // Made on the GUI thread. Without udev (a container, say) it watches
    // nothing and never calls onChange by itself.
    explicit DiskWatcher(std::function<void()> onChange);
    ~DiskWatcher() override;
    DiskWatcher(const DiskWatcher&) = delete;
    DiskWatcher& operator=(const DiskWatcher&) = delete;

    // Whether a monitor session is open.
    bool isWatching() const { return monitor_ != nullptr; }
    // One disk arrival or removal: the pending reload, if any, is dropped and
    // a new one runs onChange debounce from now.
    void trigger();

private:
    void readEvents();
    // Closes the monitor session; also when the application quits, as the
    // shared model outlives the event loop.
    void stopWatching();

    std::function<void()> onChange_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    QTimer pending_;
};

}  // namespace sovanta::app

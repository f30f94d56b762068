#include "SovantaApp/DiskWatcher.h"

#include <cstring>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <libudev.h>

#include "SovantaApp/Threads.h"

namespace sovanta::app {

DiskWatcher::DiskWatcher(std::function<void()> onChange) : onChange_(std::move(onChange)) {
    assertMainThread();
    pending_.setSingleShot(true);
    pending_.setTimerType(Qt::PreciseTimer);
    pending_.setInterval(debounce);
    connect(&pending_, &QTimer::timeout, this, [this] {
        if (onChange_) onChange_();
    });

    udev_ = udev_new();
    if (!udev_) return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_) >= 0) {
        int fd = udev_monitor_get_fd(monitor_);
        if (fd >= 0) {
            notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, &DiskWatcher::readEvents);
            connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &DiskWatcher::stopWatching);
            return;
        }
    }
    if (monitor_) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    udev_unref(udev_);
    udev_ = nullptr;
}

DiskWatcher::~DiskWatcher() { stopWatching(); }

void DiskWatcher::stopWatching() {
    pending_.stop();
    delete notifier_;
    notifier_ = nullptr;
    if (monitor_) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    if (udev_) udev_unref(udev_);
    udev_ = nullptr;
}

void DiskWatcher::trigger() {
    assertMainThread();
    pending_.start();  // restarts a pending one
}

void DiskWatcher::readEvents() {
    // Take every queued event; the monitor's socket is non-blocking.
    bool changed = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 ||
                       std::strcmp(action, "change") == 0))
            changed = true;
        udev_device_unref(device);
    }
    if (changed) trigger();
}

}  // namespace sovanta::app

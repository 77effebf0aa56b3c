// Arrivals on Linux: the "add" events of the hidraw subsystem from udev's monitor. The events
// come after udev has run its rules, so the node exists and carries its permissions by then.
#include "hotplugevents.h"

#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

class UdevArrivals final : public HotplugEvents {
public:
    UdevArrivals(udev *context, udev_monitor *monitor) : m_udev(context), m_monitor(monitor) {}
    ~UdevArrivals() override
    {
        udev_monitor_unref(m_monitor);
        udev_unref(m_udev);
    }
    UdevArrivals(const UdevArrivals &) = delete;
    UdevArrivals &operator=(const UdevArrivals &) = delete;

    bool waitForArrival(int timeoutMs) override
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        const int fd = udev_monitor_get_fd(m_monitor);
        bool arrived = false;
        int wait = timeoutMs;
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            const int ready = poll(&pfd, 1, arrived ? 0 : wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                break;
            if (ready < 0 || (pfd.revents & POLLIN) == 0) {
                // A broken socket must not turn the pass's sleep into a spin: sleep out the wait.
                if (!arrived)
                    std::this_thread::sleep_until(deadline);
                break;
            }
            // Other actions on hidraw nodes (removals, changes) are read and dropped: removals are
            // seen by the failed read, and they must not end the wait of a pass early.
            if (udev_device *device = udev_monitor_receive_device(m_monitor)) {
                const char *action = udev_device_get_action(device);
                arrived = arrived || (action != nullptr && std::strcmp(action, "add") == 0);
                udev_device_unref(device);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? int(left) : 0;
        }
        return arrived;
    }

private:
    udev *m_udev;
    udev_monitor *m_monitor;
};

} // namespace

std::unique_ptr<HotplugEvents> openHotplugEvents()
{
    udev *context = udev_new();
    if (context == nullptr)
        return nullptr;
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor != nullptr)
            udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<UdevArrivals>(context, monitor);
}

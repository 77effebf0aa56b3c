// The port of a hidraw node: the kernel name of the USB device above it, which is its port chain.
// In a file of its own so that a stand-in for the layer's functions can link beside it.
#include "port.h"

#include <libudev.h>
#include <sys/stat.h>

#include <memory>

#include "helpers.h"

std::string hidport::portOf(const char *path)
{
    hidlinux::CollectionPath parsed;
    if (path == nullptr || !hidlinux::parseCollectionPath(path, parsed))
        return {};
    struct stat st;
    if (stat(parsed.node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    const std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), &udev_unref);
    if (!context)
        return {};
    const std::unique_ptr<udev_device, decltype(&udev_device_unref)> hidraw(
        udev_device_new_from_devnum(context.get(), 'c', st.st_rdev), &udev_device_unref);
    // The parent is owned by its child and freed with it.
    udev_device *usb =
        hidraw ? udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_device") : nullptr;
    const char *name = usb ? udev_device_get_sysname(usb) : nullptr;
    return name ? std::string(name) : std::string();
}

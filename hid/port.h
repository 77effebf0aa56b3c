// Where a HID device is plugged in. Internal to the program's layers: the exported functions and
// their records stay as they are, and the monitor asks for the port of each device it opens.
#pragma once

#include <string>

namespace hidport {

// The physical port of the device behind an enumeration path: on Linux the USB port chain of the
// device ("1-4.2", a port of the hub on port 4 of bus 1), on Windows the location of the USB
// device the HID interface belongs to ("Port_#0002.Hub_#0001"). Empty where the platform tells
// none: a Bluetooth or virtual device, a path that names nothing.
//
// A controller that restarts into its bootloader and back keeps its port, while its path and
// often its serial text say nothing about which unit it is.
std::string portOf(const char *path);

} // namespace hidport

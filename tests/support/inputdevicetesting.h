// A device's private state, for the tests that fabricate devices without hardware (the window's
// suites fill in their identity texts by hand) and for those that look at what a device keeps to
// itself between two reads.
#pragma once

#include <QString>

#include <utility>

#include "device/inputdevice.h"

struct InputDeviceTesting {
    // The identity texts' buffers, InputDevice::TextSize bytes each, as discovery fills them.
    static char *product(InputDevice &device) { return device.m_product; }
    static char *serial(InputDevice &device) { return device.m_serial; }
    static char *manufacturer(InputDevice &device) { return device.m_manufacturer; }
    static char *versionText(InputDevice &device) { return device.m_versionText; }
    static char *path(InputDevice &device) { return device.m_path; }
    static void setPort(InputDevice &device, QString port) { device.m_port = std::move(port); }

    static const uint8_t *hardwareArea(const InputDevice &device) { return &device.m_hardwareArea[0][0][0]; }
    static int32_t readTimeout(const InputDevice &device) { return device.m_readTimeout; }
    static const bool *lastButtons(const InputDevice &device) { return device.m_lastButtons; }
    static const int32_t *lastAnalog(const InputDevice &device) { return device.m_lastAnalog; }
};

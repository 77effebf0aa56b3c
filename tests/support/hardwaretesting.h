// The monitor's private tables, for the tests that fill them by hand: the window's suites register
// devices without hardware, and the plug-in suite starts from a stale table.
#pragma once

#include <QHash>
#include <QMap>
#include <QString>

#include "monitor/hardwareinterface.h"

struct HardwareInterfaceTesting {
    static QHash<QString, InputDevice *> &registry(HardwareInterface &monitor) { return monitor.devices; }
    static QMap<QString, CreatePluginFunction> &plugins(HardwareInterface &monitor)
    {
        return monitor.plugins;
    }
};

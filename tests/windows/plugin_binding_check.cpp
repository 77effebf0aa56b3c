// A hardware plug-in as a Windows user installs it: a .dll in the folder `hardware` under the
// current folder, loaded and bound by bindPlugins to the simulated controllers that wine's HID bus
// presents (run inside wine_testbed). The program itself never calls bindPlugins.
//   plugin_binding_check PLUGIN_DLL
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

#include "check.h"
#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "monitor/flashhardware.h"

namespace {

QString pluginPath;

// What `question` answers of the behaviour object of every registered controller.
QList<int32_t> ask(HardwareInterface &monitor, int32_t (AbstractHardware::*question)())
{
    QList<int32_t> answers;
    for (const DeviceSnapshot &device : monitor.snapshot())
        monitor.withDevice(device.path,
                           [&](InputDevice &input) { answers.append((input.hardware()->*question)()); });
    return answers;
}

void testPluginIsLoadedAndBound()
{
    QTemporaryDir folder;
    if (!CHECK(folder.isValid() && QDir(folder.path()).mkdir(QStringLiteral("hardware"))))
        return;
    if (!CHECK(QFile::copy(pluginPath, folder.filePath(QStringLiteral("hardware/test-plugin.dll")))))
        return;
    const QString before = QDir::currentPath();
    QDir::setCurrent(folder.path());

    FlashHardware monitor;
    monitor.setHotplugEvents(nullptr);
    for (int pass = 0; pass < 200 && monitor.deviceCount() < 2; ++pass) {
        monitor.requestScan();
        monitor.runPass();
        QThread::msleep(50);
    }
    CHECK(monitor.deviceCount() == 2);
    CHECK(ask(monitor, &AbstractHardware::queryA) == QList<int32_t>({50, 50})); // the built-in object

    monitor.bindPlugins();
    CHECK(monitor.pluginIdentifiers() == QStringList{QStringLiteral("0x1209-0x5a51")});
    CHECK(ask(monitor, &AbstractHardware::queryA) == QList<int32_t>({9, 9}));           // the plug-in's tag
    CHECK(ask(monitor, &AbstractHardware::queryC) == QList<int32_t>({0x0102, 0x0102})); // the release
    // The plug-in's objects receive the controllers' input reports.
    for (int pass = 0; pass < 100; ++pass)
        monitor.runPass();
    const QList<int32_t> reports = ask(monitor, &AbstractHardware::queryB);
    std::printf("  input reports the plug-in's objects received: %d, %d\n", int(reports.value(0)),
                int(reports.value(1)));
    CHECK(reports.size() == 2 && reports[0] > 0 && reports[1] > 0);
    QDir::setCurrent(before);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: plugin_binding_check PLUGIN_DLL\n");
        return 2;
    }
    pluginPath = QString::fromLocal8Bit(argv[1]);
    testsupport::checker().run("a plug-in in hardware\\ is loaded and bound", testPluginIsLoadedAndBound);
    return testsupport::checker().finish();
}

// The monitor with discovery and the devices, end to end on fake hidraw controllers through the
// real HID layer: controllers plugged in and pulled out while it runs, and devices whose reads fail.
#include "hidrawtesting.h"

#include <QCoreApplication>
#include <QScopeGuard>

#include <cerrno>

using namespace hidrawtest;

namespace {

constexpr int kGenerous = 60000; // ms; generous for a loaded machine

const QString kJoystickLine = "Device: 0x1209-0x0001:(b018,a006) Test Maker - Test Joystick :: ";

// The debug line is written as two items, so the channel puts a space between them.
QStringList removal(const QString &serial)
{
    return {"Failed to get info for device, assuming disconnected:  Test Joystick", "disconnect " + serial,
            "changed"};
}

} // namespace

class MonitorHidrawTest : public QObject {
    Q_OBJECT
    fakehid::Testbed bed;

    Fake plug(DeviceConfig config) { return std::make_unique<FakeHidraw>(bed, std::move(config)); }
    Fake joystick(const std::string &serial)
    {
        return plug(controller(0x1209, 0x0001, vectorDescriptor("device-01"), serial));
    }

private slots:
    // What the window relies on: a controller plugged in while the monitor thread runs is announced
    // by the next scan, one pulled out is dropped with the removal sequence, and one plugged back
    // before the next scan comes back as a new object.
    void plugUnplugAndReplugWhileTheMonitorRuns()
    {
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.start();
        auto stopOnFailure = qScopeGuard([&] {
            monitor.stop();
            monitor.wait();
        });

        // Plug in right after a scan, so the next scan is the one that must find the device.
        QTRY_VERIFY_WITH_TIMEOUT(monitor.scans >= 1, kGenerous);
        const int scansBefore = monitor.scans;
        Fake stick = joystick("E2E");
        QTRY_VERIFY_WITH_TIMEOUT(timeline.lines().contains("changed"), kGenerous);
        QCOMPARE(monitor.scans.load(), scansBefore + 1);
        QCOMPARE(timeline.take(), (QStringList{kJoystickLine + "E2E", "connect E2E", "changed"}));
        const QPointer<InputDevice> first = timeline.lastConnected();
        QCOMPARE(registered(monitor, stick->devnode), first.data());

        stick->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(timeline.lines().size(), 6, kGenerous);
        QCOMPARE(timeline.take(), removal("E2E"));
        QVERIFY(first.isNull());
        QVERIFY(!registered(monitor, stick->devnode));

        stick = joystick("E2E"); // a re-plugged device gets a new node
        QTRY_COMPARE_WITH_TIMEOUT(timeline.lines().size(), 9, kGenerous);
        QCOMPARE(timeline.take(), (QStringList{kJoystickLine + "E2E", "connect E2E", "changed"}));
        const QPointer<InputDevice> second = timeline.lastConnected();
        QVERIFY(second);
        QCOMPARE(registered(monitor, stick->devnode), second.data());

        // Stopping destroys the device without announcing anything.
        monitor.stop();
        QVERIFY(monitor.wait(kGenerous));
        QCOMPARE(timeline.take(), QStringList{"Stopping polling"});
        QVERIFY(second.isNull());
    }

    // A controller plugged in while others are listed is found in the pass after its arrival
    // event, long before the periodic scan (whose clock stands still here). Removals start no scan.
    void arrivalIsScannedForInTheNextPass()
    {
        const Fake a = joystick("A"), b = joystick("B");
        Monitor<FlashHardware> monitor;
        monitor.stillClock = true;
        monitor.setHotplugEvents(openHotplugEvents());
        monitor.pass();
        QCOMPARE(monitor.deviceCount(), 2);
        for (int i = 0; i < 5; ++i)
            monitor.pass();
        QCOMPARE(monitor.scans.load(), 1);

        Fake c = joystick("C");
        QVERIFY2(monitor.passUntil([&] { return registered(monitor, c->devnode) != nullptr; }, 50),
                 "the plugged controller was not registered within 50 passes");
        QCOMPARE(monitor.scans.load(), 2);

        c->unplug();
        QVERIFY2(monitor.passUntil([&] { return monitor.deviceCount() == 2; }, 50),
                 "the unplugged controller was not dropped within 50 passes");
        for (int i = 0; i < 5; ++i)
            monitor.pass();
        QCOMPARE(monitor.scans.load(), 2);
    }

    // With the event source switched off, a plugged controller waits for the clock-timed scan.
    void withoutEventsTheClockTimedScanFindsArrivals()
    {
        const Fake a = joystick("A");
        Monitor<FlashHardware> monitor;
        monitor.stillClock = true;
        monitor.setHotplugEvents(nullptr);
        monitor.pass();
        const Fake b = joystick("B");
        for (int i = 0; i < 20; ++i)
            monitor.pass();
        QCOMPARE(monitor.scans.load(), 1);
        QVERIFY(!registered(monitor, b->devnode));

        monitor.advance(HardwareInterface::DefaultScanPeriod);
        monitor.pass();
        QCOMPARE(monitor.scans.load(), 2);
        QVERIFY(registered(monitor, b->devnode));
    }

    void devicesVanishingTogetherAreDroppedOnceEach()
    {
        const Fake a = joystick("A"), b = joystick("B");
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        QCOMPARE(monitor.deviceCount(), 2);
        timeline.take();

        a->unplug();
        b->unplug();
        QVERIFY(monitor.passUntil([&] { return (monitor.deviceCount() == 0); }));
        for (int i = 0; i < 10; ++i)
            monitor.pass();
        const QStringList lines = timeline.take();
        // The registry's order decides which goes first; each sequence stays whole.
        QVERIFY2(lines == removal("A") + removal("B") || lines == removal("B") + removal("A"),
                 qPrintable(lines.join(" | ")));
    }

    // A device that keeps failing its reads is dropped once; scans find it again but reject it,
    // silently, until it reads again, and then it comes back as a new device.
    void deviceWhoseReadsFailIsDroppedOnceAndRejectedUntilItRecovers()
    {
        const Fake stick = joystick("R");
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        const QPointer<InputDevice> first = timeline.lastConnected();
        QVERIFY(first);
        timeline.take();

        stick->failReads(EIO);
        QVERIFY(monitor.passUntil([&] { return (monitor.deviceCount() == 0); }));
        QCOMPARE(timeline.take(), removal("R"));
        QVERIFY(first.isNull());
        for (int i = 0; i < 3; ++i)
            monitor.scanPass();
        QCOMPARE(timeline.take(), QStringList{});

        stick->failReads(0);
        monitor.scanPass();
        QCOMPARE(timeline.take(), (QStringList{kJoystickLine + "R", "connect R", "changed"}));
        QVERIFY(registered(monitor, stick->devnode));
    }
};

HIDRAW_TEST_MAIN(MonitorHidrawTest)
#include "tst_monitor_hidraw.moc"

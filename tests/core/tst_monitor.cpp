// The monitor: its scan schedule, the removal of vanished devices, relaying progress and stopping.
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <chrono>

#include "device/inputdevice.h"
#include "messagelog.h"
#include "monitor/hardwareinterface.h"
#include "scriptedhid.h"

using namespace scripted;

namespace {

// Counts scans and lets the test run single passes of the loop on its own thread. Its clock moves
// only when the test moves it, and no arrival events reach it.
class CountingMonitor : public HardwareInterface {
public:
    CountingMonitor() { setHotplugEvents(nullptr); }
    std::atomic<int> scans{0};
    std::atomic<Clock::rep> elapsed{0};
    void advance(std::chrono::milliseconds by) { elapsed += Clock::duration(by).count(); }
    Clock::time_point now() const override { return Clock::time_point(Clock::duration(elapsed.load())); }
    bool scan() override
    {
        ++scans;
        return HardwareInterface::scan();
    }
    void pass() { runPass(); }
    // Passes the way the loop runs them: the clock moves by `each` (a sleep and the polls) before
    // every pass.
    void passes(int count, std::chrono::milliseconds each = std::chrono::milliseconds(20))
    {
        for (int i = 0; i < count; ++i) {
            advance(each);
            runPass();
        }
    }
};

// The opens of a scripted device while the monitor thread runs, which counts them under the lock.
int opensOf(const std::string &path)
{
    std::lock_guard guard(lock());
    return byPath(path)->opens;
}

// Every signal of the monitor with the log lines in between, in order.
void recordSequence(HardwareInterface &monitor, MessageLog &log, QStringList &events)
{
    QObject::connect(
        &monitor, &HardwareInterface::disconnectHardware, &monitor,
        [&](const QString &serial) { events << log.lines().join('|') << "disconnect " + serial; },
        Qt::DirectConnection);
    QObject::connect(
        &monitor, &HardwareInterface::hardwareChanged, &monitor, [&] { events << "changed"; },
        Qt::DirectConnection);
}

} // namespace

class MonitorTest : public QObject {
    Q_OBJECT
private slots:
    void init() { reset(); }

    // The periodic scan follows the clock, not the number of passes: passes of 20 ms scan every
    // 200th, as ever, and passes slowed down by many silent devices do not stretch the period.
    void scansInTheFirstPassThenEveryFourSeconds()
    {
        using std::chrono::milliseconds;
        CountingMonitor monitor;
        monitor.pass();
        QCOMPARE(monitor.scans.load(), 1);
        monitor.passes(199);
        QCOMPARE(monitor.scans.load(), 1);
        monitor.passes(1); // pass 201, 4 s on
        QCOMPARE(monitor.scans.load(), 2);
        monitor.passes(39, milliseconds(100));
        QCOMPARE(monitor.scans.load(), 2);
        monitor.passes(1, milliseconds(100)); // 40 slow passes, 4 s on
        QCOMPARE(monitor.scans.load(), 3);
        monitor.passes(2, milliseconds(9000)); // a stall is made up by one scan per pass, not more
        QCOMPARE(monitor.scans.load(), 5);
        monitor.passes(500, milliseconds(0));
        QCOMPARE(monitor.scans.load(), 5);
        monitor.setScanPeriod(milliseconds(50));
        monitor.passes(5, milliseconds(10));
        QCOMPARE(monitor.scans.load(), 6);
    }

    void scanAnnouncesChangeOnceForSeveralDevices()
    {
        for (const char *path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"})
            devices().push_back(joystick(path, {{1, 0x30}}, 4));
        CountingMonitor monitor;
        QSignalSpy changed(&monitor, &HardwareInterface::hardwareChanged);
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        monitor.pass();
        QCOMPARE(connected.size(), 3);
        QCOMPARE(changed.size(), 1);
        monitor.passes(200); // a second scan that finds nothing new
        QCOMPARE(monitor.scans.load(), 2);
        QCOMPARE(changed.size(), 1);
    }

    void vanishedDeviceIsDroppedOnceInOrder()
    {
        devices().push_back(joystick("/dev/hidraw1", {{1, 0x30}}, 4));
        devices().back().serial = L"SER-1";
        devices().back().product = L"Wheel";
        devices().push_back(joystick("/dev/hidraw2", {{1, 0x30}}, 4));
        CountingMonitor monitor;
        monitor.pass();
        QCOMPARE(monitor.deviceCount(), 2);
        QPointer<InputDevice> gone = monitor.findDeviceAt("/dev/hidraw1");

        MessageLog log;
        QStringList events;
        recordSequence(monitor, log, events);
        {
            std::lock_guard guard(lock());
            byPath("/dev/hidraw1")->failEveryRead = true;
        }
        monitor.pass();
        QCOMPARE(events, (QStringList{"Failed to get info for device, assuming disconnected:  Wheel",
                                      "disconnect SER-1", "changed"}));
        QVERIFY(gone.isNull());
        QCOMPARE(monitor.devicePaths(), QStringList{"/dev/hidraw2"});
        const Device &script = *byPath("/dev/hidraw1");
        QCOMPARE(script.closes, 1);
        QCOMPARE(script.preparsedFreed, 1);

        monitor.passes(5);
        QCOMPARE(events.size(), 3); // dropped once
    }

    void twoVanishedDevicesGiveTwoSequences()
    {
        devices().push_back(joystick("/dev/hidraw1", {}, 4));
        devices().push_back(joystick("/dev/hidraw2", {}, 4));
        CountingMonitor monitor;
        monitor.pass();
        QSignalSpy changed(&monitor, &HardwareInterface::hardwareChanged);
        QSignalSpy disconnected(&monitor, &HardwareInterface::disconnectHardware);
        for (Device &device : devices())
            device.failEveryRead = true;
        monitor.pass();
        QCOMPARE(disconnected.size(), 2);
        QCOMPARE(changed.size(), 2);
        QVERIFY((monitor.deviceCount() == 0));
    }

    void timeoutsKeepTheDevice()
    {
        devices().push_back(joystick("/dev/hidraw1", {}, 4)); // never sends a report
        CountingMonitor monitor;
        QSignalSpy disconnected(&monitor, &HardwareInterface::disconnectHardware);
        monitor.passes(450);
        QVERIFY(disconnected.isEmpty());
        QCOMPARE(monitor.deviceCount(), 1);
        QCOMPARE(byPath("/dev/hidraw1")->opens, 1);
    }

    void replugBeforeNextScanComesBackAsNewObject()
    {
        devices().push_back(joystick("/dev/hidraw1", {}, 4));
        CountingMonitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        monitor.pass();
        QPointer<InputDevice> first = monitor.findDeviceAt("/dev/hidraw1");
        devices().back().failEveryRead = true; // unplugged ...
        monitor.passes(1);
        devices().back().failEveryRead = false; // ... and back before the next scan
        monitor.passes(199);
        QCOMPARE(connected.size(), 2);
        QVERIFY(first.isNull());
        QCOMPARE(monitor.findDeviceAt("/dev/hidraw1"), connected.at(1).at(0).value<InputDevice *>());
        QCOMPARE(byPath("/dev/hidraw1")->opens, 2);
    }

    void firstPollReportsHeldButtons()
    {
        devices().push_back(joystick("/dev/hidraw1", {{1, 0x30}}, 8));
        // The acceptance read sees nothing; the first poll sees button 2 held and X at 40.
        devices().back().reads = {Read::timeout(), Read::data({0, 40, 0b10})};
        struct Catcher : QObject {
            QStringList events;
        } catcher;
        CountingMonitor monitor;
        QObject::connect(&monitor, &HardwareInterface::connectHardware, &catcher, [&](InputDevice *device) {
            QObject::connect(device, &InputDevice::buttonEvent, &catcher, [&](uint index, bool value) {
                catcher.events << QStringLiteral("button %1 %2").arg(index).arg(value);
            });
            QObject::connect(device, &InputDevice::analogEvent, &catcher, [&](uint index, int value, int) {
                catcher.events << QStringLiteral("analog %1 %2").arg(index).arg(value);
            });
        });
        monitor.pass();
        QCOMPARE(catcher.events, (QStringList{"button 2 1", "analog 0 40"}));
    }

    void firmwareProgressIsRelayedUnchanged()
    {
        HardwareInterface monitor;
        QSignalSpy ticks(&monitor, &HardwareInterface::flashTick);
        monitor.FirmwareFlash(100, 40);
        QCOMPARE(ticks.size(), 1);
        QCOMPARE(ticks.at(0), (QVariantList{100u, 40u}));
    }

    void stopEndsTheThreadAndDestroysDevices()
    {
        devices().push_back(joystick("/dev/hidraw1", {}, 4));
        CountingMonitor monitor;
        QSignalSpy disconnected(&monitor, &HardwareInterface::disconnectHardware);
        MessageLog log;
        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.scans.load() == 1 && monitor.isPolling(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(opensOf("/dev/hidraw1"), 1, 30000);
        monitor.stop();
        QVERIFY(monitor.wait(60000));
        QCOMPARE(log.count("Stopping polling"), 1);
        QVERIFY((monitor.deviceCount() == 0));
        QCOMPARE(byPath("/dev/hidraw1")->closes, 1);
        QCOMPARE(byPath("/dev/hidraw1")->preparsedFreed, 1);
        QVERIFY(disconnected.isEmpty());
    }

    void stopBeforeStartIsKept()
    {
        devices().push_back(joystick("/dev/hidraw1", {}, 4));
        CountingMonitor monitor;
        MessageLog log;
        monitor.stop();
        monitor.start();
        QVERIFY(monitor.wait(60000));
        QCOMPARE(monitor.scans.load(), 0);
        QCOMPARE(log.count("Stopping polling"), 1);
        // A later start runs normally.
        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.scans.load() == 1, 30000);
        monitor.stop();
        QVERIFY(monitor.wait(60000));
    }
};

QTEST_GUILESS_MAIN(MonitorTest)
#include "tst_monitor.moc"

// A supported controller the user may not open: the log says so once while it stays plugged in,
// names the fix, and stays quiet about every other reason an open fails.
#include <QSignalSpy>
#include <QTest>

#include <cerrno>

#include "device/inputdevice.h"
#include "messagelog.h"
#include "monitor/flashhardware.h"
#include "scriptedhid.h"

using namespace scripted;

namespace {

// The monitor the window uses, scanning in every pass the test runs.
using Monitor = FlashHardware;

// Passes that scan, whatever the clock says.
void scans(Monitor &monitor, int count = 1)
{
    for (int i = 0; i < count; ++i) {
        monitor.requestScan();
        monitor.runPass();
    }
}

Device deniedStick(const std::string &path, uint16_t vendor = 0x1209, uint16_t product = 0x0001)
{
    Device device = joystick(path, {{1, 0x30}}, 8);
    device.vendorId = vendor;
    device.productId = product;
    device.failOpen = true;
    device.openErrno = EACCES;
    return device;
}

QStringList permissionLines(const MessageLog &log)
{
    return log.lines().filter("No permission");
}

void setPlugged(const std::string &path, bool plugged)
{
    std::lock_guard guard(lock());
    byPath(path)->plugged = plugged;
}

} // namespace

class AccessNoticesTest : public QObject {
    Q_OBJECT
private slots:
    void init() { reset(); }

    void deniedControllerIsReportedOnceWithTheFix()
    {
        devices().push_back(deniedStick("/dev/hidraw1"));
        devices().push_back(deniedStick("/dev/hidraw2&col01", 0x16C0, 0x27DB));
        Monitor monitor;
        MessageLog log;
        QSignalSpy changed(&monitor, &HardwareInterface::hardwareChanged);

        scans(monitor, 5);
        QCOMPARE(
            permissionLines(log),
            (QStringList{"No permission to open device 0x1209-0x0001 at /dev/hidraw1: install the udev "
                         "rules (70-firmware-flasher.rules) and plug the controller in again",
                         "No permission to open device 0x16c0-0x27db at /dev/hidraw2&col01: install "
                         "the udev rules (70-firmware-flasher.rules) and plug the controller in again"}));
        QVERIFY((monitor.deviceCount() == 0));
        QVERIFY(changed.isEmpty());
        QCOMPARE(byPath("/dev/hidraw1")->opens, 0);
    }

    void replugReportsAgain()
    {
        devices().push_back(deniedStick("/dev/hidraw1"));
        Monitor monitor;
        MessageLog log;

        scans(monitor, 2);
        setPlugged("/dev/hidraw1", false);
        scans(monitor, 2);
        QCOMPARE(permissionLines(log).size(), 1);
        setPlugged("/dev/hidraw1", true); // back at the same node, still without the rules
        scans(monitor, 3);
        QCOMPARE(permissionLines(log).size(), 2);
    }

    void grantedAccessEndsTheNotices()
    {
        devices().push_back(deniedStick("/dev/hidraw1"));
        Monitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        MessageLog log;

        scans(monitor);
        byPath("/dev/hidraw1")->failOpen = false; // the rules are in and udev has re-tagged the node
        scans(monitor, 2);
        QCOMPARE(connected.size(), 1);
        QCOMPARE(permissionLines(log).size(), 1);

        // Taken away again while registered: the poll drops it, the next scan reports anew.
        {
            std::lock_guard guard(lock());
            byPath("/dev/hidraw1")->failEveryRead = true;
            byPath("/dev/hidraw1")->failOpen = true;
        }
        scans(monitor, 3);
        QVERIFY((monitor.deviceCount() == 0));
        QCOMPARE(permissionLines(log).size(), 2);
    }

    void onlyPermissionFailuresOfControllersAreReported_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("usage");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("expectedLines");
        QTest::newRow("access denied") << EACCES << 4 << 0x1209 << 1;
        QTest::newRow("operation not permitted") << EPERM << 5 << 0x1209 << 1;
        QTest::newRow("node gone") << ENOENT << 4 << 0x1209 << 0;
        QTest::newRow("device error") << EIO << 4 << 0x1209 << 0;
        QTest::newRow("not a usable collection") << EINVAL << 4 << 0x1209 << 0;
        QTest::newRow("no cause given") << 0 << 4 << 0x1209 << 0;
        QTest::newRow("mouse of a supported vendor") << EACCES << 2 << 0x1209 << 0;
        QTest::newRow("controller outside the scan table") << EACCES << 4 << 0x1234 << 0;
    }

    void onlyPermissionFailuresOfControllersAreReported()
    {
        QFETCH(int, error);
        QFETCH(int, usage);
        QFETCH(int, vendor);
        QFETCH(int, expectedLines);
        Device device = deniedStick("/dev/hidraw1", uint16_t(vendor));
        device.openErrno = error;
        device.usage = uint16_t(usage);
        devices().push_back(device);
        Monitor monitor;
        MessageLog log;

        scans(monitor, 2);
        QCOMPARE(permissionLines(log).size(), expectedLines);
        QVERIFY((monitor.deviceCount() == 0));
    }
};

QTEST_GUILESS_MAIN(AccessNoticesTest)
#include "tst_accessnotices.moc"

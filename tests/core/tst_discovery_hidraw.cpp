// Discovery on fake hidraw controllers through the real HID layer and parser: which collections are
// opened and registered, what the log says about each, the identity texts, and devices that
// declare more than the device object holds.
#include "hidrawtesting.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

using namespace hidrawtest;

namespace {

QString deviceLine(const QString &ids, const QString &counts, const QString &texts)
{
    return "Device: " + ids + ":(" + counts + ") " + texts;
}

QStringList deviceLines(const Timeline &timeline)
{
    QStringList lines = timeline.lines().filter(QRegularExpression("^Device: "));
    lines.sort(); // the order of the nodes is the system's
    return lines;
}

QStringList keys(HardwareInterface &monitor)
{
    return monitor.devicePaths();
}

QString path(const Fake &fake, const char *suffix = "")
{
    return QString::fromStdString(fake->devnode) + suffix;
}

// Scans the rows (0x1209, any product) and (0x1209, 0x0001): a 0x1209:0x0001 device is on both lists.
class TwoRowMonitor : public HardwareInterface {
public:
    bool secondListOpened = true;
    bool scan() override
    {
        const qsizetype before = deviceCount();
        connectDevices(hid_enumerate(0x1209, 0));
        secondListOpened = connectDevices(hid_enumerate(0x1209, 0x0001));
        return deviceCount() != before;
    }
};

} // namespace

class DiscoveryHidrawTest : public QObject {
    Q_OBJECT
    fakehid::Testbed bed;

    Fake plug(DeviceConfig config) { return std::make_unique<FakeHidraw>(bed, std::move(config)); }

private slots:
    void opensOnlyTheFirstControllerCollectionOfEachDevice()
    {
        const Fake joystick = plug(controller(0x1209, 0x0001, vectorDescriptor("device-01"), "J1"));
        const Fake gamepad = plug(controller(0x1209, 0x0002, vectorDescriptor("device-11"), "G1"));
        const Fake twoSticks = plug(controller(0x1209, 0x0003, descriptors::twoJoysticks, "T1"));
        const Fake mouse = plug(controller(0x1209, 0x0004, vectorDescriptor("device-16"), "M1"));
        const Fake pointer = plug(controller(0x1209, 0x0005, vectorDescriptor("device-18"), "P1"));
        Timeline timeline;
        Monitor<HardwareInterface> monitor;
        timeline.watch(&monitor, false);

        monitor.scanPass();
        // The gamepad's second collection is a vendor one, the second joystick collection is not
        // number 01, and the mouse and pointer have no joystick or gamepad collection.
        QCOMPARE(keys(monitor),
                 (QStringList{path(joystick), path(gamepad, "&col01"), path(twoSticks, "&col01")}));
        // A range counts with its highest data index: device-01's buttons 1..12 sit at indices 4..15
        // and its three single buttons add one each; device-11's buttons sit at 1..14.
        QCOMPARE(deviceLines(timeline),
                 (QStringList{deviceLine("0x1209-0x0001", "b018,a006", "Test Maker - Test Joystick :: J1"),
                              deviceLine("0x1209-0x0002", "b014,a003", "Test Maker - Test Joystick :: G1"),
                              deviceLine("0x1209-0x0003", "b007,a000", "Test Maker - Test Joystick :: T1")}));
        QCOMPARE(timeline.count("changed"), 1);
        QCOMPARE(timeline.lines().filter(QRegularExpression("^connect ")).size(), 3);
        QCOMPARE(timeline.lines().last(), QStringLiteral("changed"));

        // Registered paths are not opened again.
        const int before = int(timeline.lines().size());
        monitor.scanPass();
        QCOMPARE(timeline.lines().size(), before);
        QCOMPARE(monitor.deviceCount(), 3);
    }

    void flashHardwareOpensOnlyTheTableRows()
    {
        const Fake listed = plug(controller(0x16C0, 0x27DB, vectorDescriptor("device-07"), "L1"));
        const Fake unlisted = plug(controller(0x16C0, 0x1234, vectorDescriptor("device-05"), "U1"));
        const Fake foreign = plug(controller(0x1234, 0x5678, vectorDescriptor("device-01"), "F1"));
        Timeline timeline;
        {
            Monitor<FlashHardware> monitor;
            monitor.scanPass();
            QCOMPARE(keys(monitor), QStringList{path(listed)});
            QCOMPARE(deviceLines(timeline), QStringList{deviceLine("0x16c0-0x27db", "b023,a009",
                                                                   "Test Maker - Test Joystick :: L1")});
        }
        // The two left out are controllers all the same: a monitor without the table takes them.
        Monitor<HardwareInterface> everything;
        everything.scanPass();
        QCOMPARE(keys(everything).size(), 3);
    }

    void deviceOnTwoListsIsOpenedAndAnnouncedOnce()
    {
        const Fake joystick = plug(controller(0x1209, 0x0001, vectorDescriptor("device-01"), "J2"));
        Timeline timeline;
        Monitor<TwoRowMonitor> monitor;
        timeline.watch(&monitor, false);
        monitor.scanPass();
        QVERIFY(!monitor.secondListOpened);
        QCOMPARE(timeline.lines().filter(QRegularExpression("^Device: ")).size(), 1);
        QCOMPARE(timeline.count("connect J2"), 1);
        QCOMPARE(timeline.count("changed"), 1);
    }

    void versionTextsFromTheReleaseNumber_data()
    {
        QTest::addColumn<int>("release");
        QTest::addColumn<QString>("text");
        QTest::newRow("0x0102") << 0x0102 << "1.2";
        QTest::newRow("0x1a0f") << 0x1A0F << "1a.f";
        QTest::newRow("0x00ff") << 0x00FF << "0.ff";
        QTest::newRow("0x1234") << 0x1234 << "12.34";
    }
    void versionTextsFromTheReleaseNumber()
    {
        QFETCH(int, release);
        QFETCH(QString, text);
        DeviceConfig config = controller(0x1209, 0x0042, vectorDescriptor("device-01"));
        config.bcdDevice = uint16_t(release);
        const Fake joystick = plug(config);
        Monitor<FlashHardware> monitor;
        monitor.scanPass();
        InputDevice *device = registered(monitor, joystick->devnode);
        QVERIFY(device);
        QCOMPARE(QString::fromLatin1(device->versionText()), text);
        QCOMPARE(int(device->releaseNumber()), release);
        QCOMPARE(int(device->vendorId()), 0x1209);
        QCOMPARE(int(device->productId()), 0x0042);
    }

    // The fields hold UTF-8 whatever the device sends: a missing string leaves its field empty with
    // a message, bytes that are not UTF-8 become U+FFFD, and a long text is cut at a character.
    void deviceStringsBecomeUtf8Fields()
    {
        DeviceConfig noSerial = controller(0x1209, 0x0001, vectorDescriptor("device-01"));
        noSerial.serial.reset();
        DeviceConfig odd = controller(0x1209, 0x0002, vectorDescriptor("device-11"), "S2");
        odd.manufacturer = "Caf\xe9";
        odd.product = "P\xc3\xa9"
                      "dalier \xc3\x9c";
        DeviceConfig longName = controller(0x1209, 0x0003, vectorDescriptor("device-07"), "S3");
        QString euros(200, QChar(0x20AC));
        longName.product = euros.toStdString();
        const Fake a = plug(noSerial), b = plug(odd), c = plug(longName);
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        monitor.scanPass();
        QCOMPARE(monitor.deviceCount(), 3);
        QCOMPARE(timeline.count("Error reading serial"), 1);

        InputDevice *missing = registered(monitor, a->devnode);
        QCOMPARE(missing->serial()[0], '\0');
        QCOMPARE(QString::fromUtf8(missing->product()), QStringLiteral("Test Joystick"));

        InputDevice *mixed = registered(monitor, b->devnode + "&col01");
        QCOMPARE(QString::fromUtf8(mixed->manufacturer()), QString::fromUtf8("Caf\xef\xbf\xbd"));
        QCOMPARE(QString::fromUtf8(mixed->product()), QString::fromUtf8("P\xc3\xa9"
                                                                        "dalier \xc3\x9c"));

        // The layer hands over at most 124 characters (372 bytes here); the field keeps the 86 whole
        // characters that fit 259 bytes.
        InputDevice *cut = registered(monitor, c->devnode);
        QCOMPARE(std::strlen(cut->product()), size_t(258));
        QCOMPARE(QString::fromUtf8(cut->product()), euros.left(86));

        QCOMPARE(deviceLines(timeline),
                 (QStringList{
                     deviceLine("0x1209-0x0001", "b018,a006", "Test Maker - Test Joystick :: "),
                     deviceLine("0x1209-0x0002", "b014,a003",
                                QString::fromUtf8("Caf\xef\xbf\xbd - P\xc3\xa9"
                                                  "dalier \xc3\x9c :: S2")),
                     deviceLine("0x1209-0x0003", "b023,a009", "Test Maker - " + euros.left(86) + " :: S3")}));
    }

    void emptyDeviceStringLeavesFieldEmptySilently()
    {
        DeviceConfig config = controller(0x1209, 0x0001, vectorDescriptor("device-01"), "");
        config.manufacturer = "";
        const Fake joystick = plug(config);
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        monitor.scanPass();
        InputDevice *device = registered(monitor, joystick->devnode);
        QVERIFY(device);
        QCOMPARE(device->manufacturer()[0], '\0');
        QCOMPARE(device->serial()[0], '\0');
        QCOMPARE(timeline.lines().filter("Error reading").size(), 0);
    }

    // Declarations beyond the device object's arrays are cut to them, and the log says so.
    void oversizedDeclarationsAreCutAndLogged()
    {
        const Fake valueCaps = plug(controller(0x1209, 0x0001, descriptors::twentyValueCaps(), "V1"));
        const Fake valueUsages = plug(controller(0x1209, 0x0002, descriptors::twentyValueUsages, "V2"));
        const Fake buttonCaps = plug(controller(0x1209, 0x0003, descriptors::manyButtonCaps(), "B1"));
        const Fake longReports = plug(controller(0x1209, 0x0004, descriptors::longReports, "L1"));
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        monitor.scanPass();
        QCOMPARE(monitor.deviceCount(), 4);
        const QStringList log = timeline.lines();
        QVERIFY(log.contains("Device " + path(valueCaps) +
                             " declares 20 input value capabilities; only the first 16 are used"));
        QVERIFY(log.contains("Device " + path(valueUsages) +
                             " declares 20 input value usages; only the first 16 are decoded"));
        QVERIFY(log.contains("Device " + path(buttonCaps) +
                             " declares 131 input button capabilities; only the first 128 are used"));
        QVERIFY(log.contains("Device " + path(longReports) +
                             " has 1503-byte input reports; only the first 1024 bytes are read and its "
                             "reports are not decoded"));
        QCOMPARE(int(registered(monitor, valueCaps->devnode)->caps().NumberInputValueCaps), 16);
        QCOMPARE(int(registered(monitor, buttonCaps->devnode)->caps().NumberInputButtonCaps), 128);
        // The single buttons past the array are not counted: the range adds 7, 127 singles add one each.
        QVERIFY(log.contains(deviceLine("0x1209-0x0003", "b134,a000", "Test Maker - Test Joystick :: B1")));
    }

    // A device whose every read fails is opened, rejected and closed again at each scan.
    void deviceFailingEveryReadIsNeverRegistered()
    {
        const Fake broken = plug(controller(0x1209, 0x0001, vectorDescriptor("device-01"), "X1"));
        broken->failReads(EIO);
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor, false);
        for (int i = 0; i < 6; ++i)
            monitor.scanPass();
        QCOMPARE(monitor.scans.load(), 6);
        QVERIFY((monitor.deviceCount() == 0));
        QVERIFY(timeline.lines().isEmpty());
        QCOMPARE(fakehid::descriptorsOnFakeNodes(), 0);
    }
};

HIDRAW_TEST_MAIN(DiscoveryHidrawTest)
#include "tst_discovery_hidraw.moc"

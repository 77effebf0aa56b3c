// Discovery: which enumeration records become registered devices, and what a new device looks like.
#include <QSignalSpy>
#include <QTest>

#include "device/inputdevice.h"
#include "messagelog.h"
#include "monitor/flashhardware.h"
#include "scriptedhid.h"

using namespace scripted;

namespace {

Device stick(const std::string &path, uint16_t usage = 4)
{
    Device device = joystick(path, {{1, 0x30}}, 8);
    device.usage = usage;
    return device;
}

// It destroys its devices when it goes.
using Monitor = HardwareInterface;

} // namespace

class DiscoveryTest : public QObject {
    Q_OBJECT
private slots:
    void init() { reset(); }

    void nullListDoesNothing()
    {
        Monitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        QVERIFY(!monitor.connectDevices(nullptr));
        QVERIFY(connected.isEmpty());
    }

    void filtersDecideWhatIsOpened()
    {
        devices().push_back(stick("/dev/hidraw1"));
        devices().push_back(stick("/dev/hidraw2", 5));
        devices().push_back(stick("/dev/hidraw3", 2)); // mouse
        devices().push_back(stick("/dev/hidraw4", 6)); // keyboard
        Device otherPage = stick("/dev/hidraw5");
        otherPage.usagePage = 0xFF00;
        devices().push_back(otherPage);
        devices().push_back(stick("/dev/hidraw6&col01"));
        devices().push_back(stick("/dev/hidraw6&col02"));
        devices().push_back(stick("/dev/hidraw7&colzz"));
        devices().push_back(stick("/dev/hidraw8&col 1")); // leading blanks are skipped like strtoul does
        devices().push_back(stick("/dev/" + std::string(260, 'x'))); // does not fit the path field
        devices().push_back(stick("/dev/" + std::string(254, 'y'))); // 259 characters: fits
        // 260 characters: no room left for the terminator.
        const std::string oneTooLong = "/dev/" + std::string(255, 'z');
        devices().push_back(stick(oneTooLong));
        Monitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);

        QVERIFY(monitor.connectDevices(hid_enumerate(0, 0)));
        QCOMPARE(
            monitor.devicePaths(),
            (QStringList{"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw5", "/dev/hidraw6&col01",
                         "/dev/hidraw8&col 1", QString::fromStdString("/dev/" + std::string(254, 'y'))}));
        QCOMPARE(connected.size(), 6);
        for (const char *skipped :
             {"/dev/hidraw3", "/dev/hidraw4", "/dev/hidraw6&col02", "/dev/hidraw7&colzz"})
            QCOMPARE(byPath(skipped)->opens, 0);
        QCOMPARE(byPath(oneTooLong)->opens, 0);
        for (const QString &path : monitor.devicePaths())
            QCOMPARE(QString::fromUtf8(monitor.findDeviceAt(path)->path()), path);
        QCOMPARE(listsFreed(), listsHandedOut());
    }

    void knownPathsAreNeitherReopenedNorAnnounced()
    {
        devices().push_back(stick("/dev/hidraw1"));
        Monitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        QVERIFY(monitor.connectDevices(hid_enumerate(0, 0)));
        // The same device in a second list, as when two filter rows list it.
        QVERIFY(!monitor.connectDevices(hid_enumerate(0x1209, 0)));
        QCOMPARE(byPath("/dev/hidraw1")->opens, 1);
        QCOMPARE(connected.size(), 1);
        QCOMPARE(listsFreed(), 2);
    }

    void acceptedDeviceIsDescribedAndLogged()
    {
        Device device = joystick("/dev/hidraw1", {{1, 0x30}, {1, 0x31}, {1, 0x32}}, 12);
        device.vendorId = 0x16C0;
        device.productId = 0x05DF;
        device.releaseNumber = 0x1A0F;
        device.manufacturer = L"Maker";
        device.product = L"Pédalier";
        device.serial = L"A12";
        devices().push_back(device);
        Monitor monitor;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);
        MessageLog log;
        QVERIFY(monitor.connectDevices(hid_enumerate(0, 0)));

        QCOMPARE(log.lines(),
                 QStringList{QString::fromUtf8("Device: 0x16c0-0x05df:(b011,a003) Maker - Pédalier :: A12")});
        QCOMPARE(connected.size(), 1);
        auto *input = connected.at(0).at(0).value<InputDevice *>();
        QCOMPARE(monitor.findDeviceAt("/dev/hidraw1"), input);
        QVERIFY(input->isActive());
        QCOMPARE(input->releaseNumber(), uint16_t(0x1A0F));
        QCOMPARE(QByteArray(input->versionText()), QByteArray("1a.f"));
        QCOMPARE(QByteArray(input->serial()), QByteArray("A12"));
    }

    void versionText_data()
    {
        QTest::addColumn<int>("release");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("0x0102") << 0x0102 << QByteArray("1.2");
        QTest::newRow("0x0100") << 0x0100 << QByteArray("1.0");
        QTest::newRow("0x1234") << 0x1234 << QByteArray("12.34");
        QTest::newRow("0x00FF") << 0x00FF << QByteArray("0.ff");
        QTest::newRow("0xFFFF") << 0xFFFF << QByteArray("ff.ff");
    }

    void versionText()
    {
        QFETCH(int, release);
        QFETCH(QByteArray, text);
        Device device = stick("/dev/hidraw1");
        device.releaseNumber = uint16_t(release);
        devices().push_back(device);
        Monitor monitor;
        monitor.connectDevices(hid_enumerate(0, 0));
        QCOMPARE(QByteArray(monitor.findDeviceAt("/dev/hidraw1")->versionText()), text);
    }

    // The log line is built at full length whatever the texts hold.
    void longTextsAreLoggedWhole()
    {
        Device device = stick("/dev/hidraw1");
        device.manufacturer = std::wstring(259, L'm');
        device.product = std::wstring(259, L'p');
        device.serial = std::wstring(259, L's');
        devices().push_back(device);
        Monitor monitor;
        MessageLog log;
        monitor.connectDevices(hid_enumerate(0, 0));
        QCOMPARE(log.lines().value(0), QStringLiteral("Device: 0x1209-0x0001:(b007,a001) %1 - %2 :: %3")
                                           .arg(QString(259, 'm'), QString(259, 'p'), QString(259, 's')));
    }

    void failingSerialStillAccepts()
    {
        Device device = stick("/dev/hidraw1");
        device.serial.reset();
        devices().push_back(device);
        Monitor monitor;
        MessageLog log;
        monitor.connectDevices(hid_enumerate(0, 0));
        QCOMPARE(log.lines().value(0), QStringLiteral("Error reading serial"));
        QCOMPARE(monitor.findDeviceAt("/dev/hidraw1")->serial()[0], '\0');
    }

    void rejectedCandidatesLeaveNoTrace_data()
    {
        QTest::addColumn<bool>("failPreparsed");
        QTest::addColumn<bool>("failCaps");
        QTest::addColumn<bool>("failRead");
        QTest::addColumn<int>("preparsedFreed");
        QTest::newRow("description") << true << false << false << 0;
        QTest::newRow("capabilities") << false << true << false << 1;
        QTest::newRow("acceptance read") << false << false << true << 1;
    }

    void rejectedCandidatesLeaveNoTrace()
    {
        QFETCH(bool, failPreparsed);
        QFETCH(bool, failCaps);
        QFETCH(bool, failRead);
        QFETCH(int, preparsedFreed);
        Device device = stick("/dev/hidraw1");
        device.failPreparsed = failPreparsed;
        device.failCaps = failCaps;
        device.failEveryRead = failRead;
        devices().push_back(device);
        devices().push_back(stick("/dev/hidraw2"));
        Monitor monitor;
        MessageLog log;
        QSignalSpy connected(&monitor, &HardwareInterface::connectHardware);

        QVERIFY(monitor.connectDevices(hid_enumerate(0, 0)));
        QCOMPARE(monitor.devicePaths(), QStringList{"/dev/hidraw2"}); // the walk goes on
        QCOMPARE(connected.size(), 1);
        const Device &rejected = *byPath("/dev/hidraw1");
        QCOMPARE(rejected.opens, 1);
        QCOMPARE(rejected.closes, 1);
        QCOMPARE(rejected.preparsedFreed, preparsedFreed);
        QCOMPARE(log.lines().size(), 1); // only the accepted device's line
    }

    void openFailureIsSkippedSilently()
    {
        Device device = stick("/dev/hidraw1");
        device.failOpen = true;
        devices().push_back(device);
        Monitor monitor;
        QVERIFY(!monitor.connectDevices(hid_enumerate(0, 0)));
        QVERIFY((monitor.deviceCount() == 0));
        QCOMPARE(listsFreed(), 1);
    }

    void firstReadTimingOutIsAccepted()
    {
        devices().push_back(stick("/dev/hidraw1")); // no scripted reads: every read times out
        Monitor monitor;
        monitor.connectDevices(hid_enumerate(0, 0));
        QVERIFY((monitor.findDeviceAt("/dev/hidraw1") != nullptr));
    }

    void capacitiesAreLimitedToTheArrays()
    {
        Device device = stick("/dev/hidraw1");
        device.buttonCaps.assign(200, buttonRange(9, 1, 8, 0, 7));
        device.valueCaps.assign(20, valueSingle(1, 0x30));
        device.caps.NumberInputButtonCaps = 200;
        device.caps.NumberInputValueCaps = 20;
        devices().push_back(device);
        Monitor monitor;
        MessageLog log;
        monitor.connectDevices(hid_enumerate(0, 0));
        const Device &script = *byPath("/dev/hidraw1");
        QCOMPARE(script.buttonCapsCapacities, std::vector<USHORT>{128});
        QCOMPARE(script.valueCapsCapacities, std::vector<USHORT>{16});
        QCOMPARE(log.lines().filter("only the first").size(), 2);
        QVERIFY((monitor.findDeviceAt("/dev/hidraw1") != nullptr));
    }

    void flashHardwareScansOnlyTheTable()
    {
        Device supported = stick("/dev/hidraw1");
        supported.vendorId = 0x16C0;
        supported.productId = 0x27DB;
        Device sameVendorOtherProduct = stick("/dev/hidraw2");
        sameVendorOtherProduct.vendorId = 0x16C0;
        sameVendorOtherProduct.productId = 0x1234;
        Device anyProductOfA = stick("/dev/hidraw3");
        anyProductOfA.productId = 0xBEEF;
        Device foreign = stick("/dev/hidraw4");
        foreign.vendorId = 0x046D;
        devices() = {supported, sameVendorOtherProduct, anyProductOfA, foreign};
        FlashHardware monitor;
        QVERIFY(monitor.scan());
        QCOMPARE(monitor.deviceCount(), 2);
        QCOMPARE(byPath("/dev/hidraw2")->opens, 0);
        QCOMPARE(byPath("/dev/hidraw4")->opens, 0);
        QVERIFY(!monitor.scan()); // unchanged hardware: nothing opened again
        QCOMPARE(byPath("/dev/hidraw1")->opens, 1);
    }
};

QTEST_GUILESS_MAIN(DiscoveryTest)
#include "tst_discovery.moc"

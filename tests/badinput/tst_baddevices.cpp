// Devices that send bad input, on fake hidraw devices through the real HID layer, parser, monitor
// and window: declarations at and one past what a device object holds, reads that always fail,
// and identity strings that are not UTF-8 or longer than the layer hands over.
#include "hidrawtesting.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

using namespace hidrawtest;

namespace {

const Bytes eightButtons = hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02");

// Eight buttons, then `count` vendor values (usages 1..count) in main items of their own.
Bytes valueCaps(uint8_t count)
{
    Bytes d = eightButtons;
    d.insert(d.end(), {0x06, 0x00, 0xff, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x01});
    for (uint8_t usage = 1; usage <= count; ++usage)
        d.insert(d.end(), {0x09, usage, 0x81, 0x02});
    d.push_back(0xc0);
    return d;
}

// Eight buttons, then one value range over `count` vendor usages.
Bytes valueUsages(uint8_t count)
{
    Bytes d = eightButtons;
    d.insert(d.end(), {0x06, 0x00, 0xff, 0x19, 0x01, 0x29, count, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08,
                       0x95, count, 0x81, 0x02, 0xc0});
    return d;
}

// Buttons 1..8 as a range, then one main item per button from 9 on: `count` button capabilities,
// padded to whole bytes.
Bytes buttonCaps(int count)
{
    Bytes d = eightButtons;
    d.insert(d.end(), {0x75, 0x01, 0x95, 0x01});
    const int last = count + 7;
    for (int usage = 9; usage <= last; ++usage)
        d.insert(d.end(), {0x09, uint8_t(usage), 0x81, 0x02});
    if (last % 8 != 0)
        d.insert(d.end(), {0x75, uint8_t(8 - last % 8), 0x95, 0x01, 0x81, 0x03});
    d.push_back(0xc0);
    return d;
}

// Eight buttons, constant padding, then X in the last byte: input reports of `length` bytes with
// the report-ID byte (no report IDs).
Bytes inputLength(int length)
{
    const int padding = length - 3;
    Bytes d = eightButtons;
    d.insert(d.end(), {0x75, 0x08, 0x96, uint8_t(padding & 0xff), uint8_t(padding >> 8), 0x81, 0x03});
    d.insert(d.end(), {0x05, 0x01, 0x09, 0x30, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81,
                       0x02, 0xc0});
    return d;
}

QString pathOf(const Fake &fake)
{
    return QString::fromStdString(fake->devnode);
}

// The descriptors of this process open on the fake's node. Other descriptors come and go with
// the testbed's own threads, so only these tell a handle left open.
int descriptorsOn(const Fake &fake)
{
    const QString node = QFileInfo(qEnvironmentVariable("UMOCKDEV_DIR") + pathOf(fake)).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int count = 0;
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        count += QFileInfo(fds.filePath(fd)).symLinkTarget() == node ? 1 : 0;
    return count;
}

int registeredCount(HardwareInterface &monitor)
{
    return int(monitor.deviceCount());
}

} // namespace

class BadDevicesTest : public QObject {
    Q_OBJECT
    fakehid::Testbed &bed;

    Fake plug(DeviceConfig config) { return std::make_unique<FakeHidraw>(bed, std::move(config)); }

public:
    explicit BadDevicesTest(fakehid::Testbed &bed) : bed(bed) {}

private slots:
    // Each limit of the device object, met exactly and passed by one: only the devices past a
    // limit are logged as cut, and a report of exactly the buffer's length is still decoded.
    void limitsMetAndPassedByOne()
    {
        const Fake values16 = plug(controller(0x1209, 0x0001, valueCaps(16), "VC16"));
        const Fake values17 = plug(controller(0x1209, 0x0002, valueCaps(17), "VC17"));
        const Fake usages16 = plug(controller(0x1209, 0x0003, valueUsages(16), "VU16"));
        const Fake usages17 = plug(controller(0x1209, 0x0004, valueUsages(17), "VU17"));
        const Fake buttons128 = plug(controller(0x1209, 0x0005, buttonCaps(128), "BC128"));
        const Fake buttons129 = plug(controller(0x1209, 0x0006, buttonCaps(129), "BC129"));
        const Fake report1024 = plug(controller(0x1209, 0x0007, inputLength(1024), "R1024"));
        const Fake report1025 = plug(controller(0x1209, 0x0008, inputLength(1025), "R1025"));
        Timeline timeline;
        Monitor<HardwareInterface> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        QCOMPARE(registeredCount(monitor), 8);

        // The order of the lines is the order of the nodes, which is the system's.
        QStringList cut = timeline.lines().filter(QRegularExpression("only the first"));
        cut.sort();
        QStringList expected{"Device " + pathOf(values17) +
                                 " declares 17 input value capabilities; only the first 16 are used",
                             "Device " + pathOf(usages17) +
                                 " declares 17 input value usages; only the first 16 are decoded",
                             "Device " + pathOf(buttons129) +
                                 " declares 129 input button capabilities; only the first 128 are used",
                             "Device " + pathOf(report1025) +
                                 " has 1025-byte input reports; only the first 1024 bytes are read and its "
                                 "reports are not decoded"};
        expected.sort();
        QCOMPARE(cut, expected);
        QCOMPARE(int(registered(monitor, values16->devnode)->caps().NumberInputValueCaps), 16);
        QCOMPARE(int(registered(monitor, values17->devnode)->caps().NumberInputValueCaps), 16);
        QCOMPARE(int(registered(monitor, buttons128->devnode)->caps().NumberInputButtonCaps), 128);
        QCOMPARE(int(registered(monitor, buttons129->devnode)->caps().NumberInputButtonCaps), 128);
        QCOMPARE(int(registered(monitor, report1024->devnode)->caps().InputReportByteLength), 1024);

        // X sits in the last byte of the report: decoded at 1024 bytes, left alone at 1025.
        timeline.take();
        const int before = timeline.reports;
        Bytes full(1023, 0);
        full.back() = 0x42;
        report1024->injectInput(full);
        Bytes longer(1024, 0);
        longer.back() = 0x42;
        report1025->injectInput(longer);
        QVERIFY(monitor.passUntil([&] { return timeline.reports >= before + 2; }));
        const QStringList changes = timeline.take();
        QCOMPARE(changes, QStringList{"analog 0 66 0x30"});
        QCOMPARE(registered(monitor, report1024->devnode)->analog()[0], 0x42);
        QCOMPARE(registered(monitor, report1025->devnode)->analog()[0], 0);
        QCOMPARE(registered(monitor, report1025->devnode)->inputData()[1023], uint8_t(0));
    }

    // A node whose every read fails. The HID layer says so at once; a read that finds nothing to
    // take (EAGAIN, EINTR) however often it tries returns at its timeout with no report.
    void readsThatAlwaysFail()
    {
        const Fake broken = plug(controller(0x1209, 0x0010, simulatedDescriptor(), "RF1"));
        hid_device *dev = hid_open_path(broken->devnode.c_str());
        QVERIFY(dev != nullptr);
        unsigned char report[64];
        broken->failReads(EIO);
        QCOMPARE(hid_read_timeout(dev, report, sizeof report, 1000), -1);
        QCOMPARE(hid_read(dev, report, sizeof report), -1);
        QCOMPARE(hid_set_nonblocking(dev, 1), 0);
        for (int error : {EAGAIN, EINTR}) {
            broken->failReads(error);
            QCOMPARE(hid_read_timeout(dev, report, sizeof report, 20), 0);
            QCOMPARE(hid_read(dev, report, sizeof report), 0);
        }
        broken->failReads(0);
        broken->injectInput(Bytes(10, 0x11));
        QCOMPARE(hid_read_timeout(dev, report, sizeof report, 5000), 11);
        hid_close(dev);
    }

    // A registered device whose reads start failing is dropped once, and is not registered again
    // while its reads keep failing; no descriptor is left open. Once reads work it comes back.
    // Reads that merely find nothing keep it registered.
    void registeredDeviceWhoseReadsFail()
    {
        const Fake device = plug(controller(0x1209, 0x0011, simulatedDescriptor(), "RF2"));
        Timeline timeline;
        Monitor<HardwareInterface> monitor;
        timeline.watch(&monitor, false);
        monitor.scanPass();
        QVERIFY(registered(monitor, device->devnode));
        const int withHandle = descriptorsOn(device);
        QVERIFY(withHandle >= 1);
        timeline.take();

        device->failReads(EAGAIN);
        for (int i = 0; i < 3; ++i)
            monitor.pass();
        QVERIFY(registered(monitor, device->devnode));
        QCOMPARE(timeline.take(), QStringList{});

        device->failReads(EIO);
        monitor.pass();
        QVERIFY(!registered(monitor, device->devnode));
        for (int i = 0; i < 3; ++i)
            monitor.scanPass();
        QVERIFY(!registered(monitor, device->devnode));
        QCOMPARE(timeline.take(),
                 (QStringList{"Failed to get info for device, assuming disconnected:  Test Joystick",
                              "disconnect RF2", "changed"}));
        QCOMPARE(descriptorsOn(device), withHandle - 1);

        device->failReads(0);
        monitor.scanPass();
        QVERIFY(registered(monitor, device->devnode));
    }

    // Identity strings as the device sends them, through the HID layer and the device fields to the
    // window: bytes that are not UTF-8 show as U+FFFD, and of 125 characters the first 124 show,
    // which is what the layer hands over. The window still finds the device by that serial.
    void identityStringsReachTheWindow()
    {
        DeviceConfig config = controller(0x1209, 0x0012, simulatedDescriptor());
        // A stray Latin-1 byte, an overlong '/', a UTF-16 surrogate, a cut sequence, a byte never used.
        config.manufacturer = "Caf\xe9 \xc0\xaf\xed\xa0\x80\xe2\x82X\xff";
        config.product = std::string(125, 'P');
        std::string serial;
        for (int i = 0; i < 125; ++i)
            serial += "\xc3\xa9"; // é
        config.serial = serial;
        const Fake device = plug(config);

        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoxWatcher boxes;
        const QString product(124, QLatin1Char('P'));
        const QString shownSerial(124, QChar(0xE9));
        QVERIFY2(windowdriver::waitForListed(window, product + " - " + shownSerial),
                 "the device was never listed");
        QCOMPARE(window.form->lbl_manufacturer->text(),
                 QStringLiteral("Caf\uFFFD \uFFFD\uFFFD\uFFFDX\uFFFD"));
        QCOMPARE(window.form->lbl_product->text(), product);
        QCOMPARE(window.form->lbl_serial->text(), shownSerial);
        QCOMPARE(QString::fromUtf8(window.selectedSerial), shownSerial);

        windowdriver::click(windowdriver::buttonLabelled(window, QStringLiteral("1. Bootloader")));
        QCoreApplication::processEvents();
        QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.boxes.value(0).text));
        Bytes command(54, 0);
        command[1] = 0xDE;
        command[2] = 0xFA;
        command[3] = 0xCE;
        QCOMPARE(device->featuresSet(), std::vector<Bytes>{command});
    }

private:
    // The simulated controller's application descriptor: 16 buttons, four axes, a 54-byte feature
    // report, no report IDs.
    static Bytes simulatedDescriptor() { return fakehid::simulated::applicationDescriptor; }
};

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    QApplication app(argc, argv);
    BadDevicesTest suite(bed);
    return QTest::qExec(&suite, argc, argv);
}

#include "tst_baddevices.moc"

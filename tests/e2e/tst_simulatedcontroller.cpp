// The simulated controller seen through the flasher's own HID layer and monitor: what it presents
// in each mode, which reports it takes, and its failures in the middle of a transfer.

#include <QFile>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include "device/inputdevice.h"
#include "hid/hid.h"
#include "monitor/flashhardware.h"
#include "simulated_controller.h"

namespace {

using fakehid::Bytes;
using fakehid::SimulatedController;
namespace simulated = fakehid::simulated;

constexpr int kTimeoutMs = 30000;

struct Listing {
    std::string path;
    uint16_t release = 0;
    uint16_t usagePage = 0, usage = 0;
};

std::vector<Listing> listSimulated()
{
    std::vector<Listing> found;
    hid_device_info *list = hid_enumerate(simulated::vendorId, simulated::productId);
    for (hid_device_info *d = list; d != nullptr; d = d->next)
        found.push_back({d->path, d->release_number, d->usage_page, d->usage});
    hid_free_enumeration(list);
    return found;
}

QString productOf(hid_device *device)
{
    wchar_t text[128] = {};
    if (hid_get_product_string(device, text, 128) < 0)
        return {};
    return QString::fromWCharArray(text);
}

HIDP_CAPS capsOf(hid_device *device)
{
    HIDP_CAPS caps{};
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (hid_get_preparsed_data(device, &preparsed) >= 0) {
        hid_get_caps(device, preparsed, &caps);
        hid_free_preparsed_data(device, preparsed);
    }
    return caps;
}

Bytes bootloaderCommand(size_t length = simulated::applicationFeatureLength)
{
    Bytes report(length, 0);
    report[1] = 0xDE;
    report[2] = 0xFA;
    report[3] = 0xCE;
    return report;
}

int sendFeature(hid_device *device, const Bytes &report)
{
    return hid_send_feature_report(device, report.data(), report.size());
}

// Waits until the controller is on the bus again, at a node other than `previous`.
bool waitForNewNode(SimulatedController &controller, const std::string &previous)
{
    return QTest::qWaitFor(
        [&] {
            const std::string node = controller.devnode();
            return !node.empty() && node != previous;
        },
        kTimeoutMs);
}

// A monitor whose passes the test runs by hand, on its own thread.
class Monitor : public FlashHardware {
public:
    void pass() { runPass(); }

    // Runs passes, each with a scan, until a device with this product text is registered.
    bool waitForProduct(const char *product)
    {
        return QTest::qWaitFor(
            [&] {
                requestScan();
                runPass();
                for (const DeviceSnapshot &device : snapshot())
                    if (device.product == QLatin1String(product))
                        return true;
                return false;
            },
            kTimeoutMs);
    }

    bool waitUntilEmpty()
    {
        return QTest::qWaitFor(
            [&] {
                runPass();
                return deviceCount() == 0;
            },
            kTimeoutMs);
    }
};

} // namespace

class SimulatedControllerTest : public QObject {
    Q_OBJECT
public:
    explicit SimulatedControllerTest(fakehid::Testbed &bed) : m_bed(bed) {}

private slots:
    void applicationModeIsAMovingJoystick();
    void bootloaderCommandRestartsIntoTheBootloader();
    void imageEndsAfterAQuietPeriod();
    void refusedBlockFailsTheTransferAndARetrySucceeds();
    void controllerVanishingDuringATransfer();
    void silentControllerStaysInItsApplication();

private:
    QString writeImage(const QByteArray &image)
    {
        const QString name = m_dir.filePath(QStringLiteral("image-%1.bin").arg(image.size()));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            qFatal("cannot write the test image");
        return name;
    }

    static QByteArray imageOf(int length)
    {
        QByteArray image(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i)
            image[i] = char((i * 7 + i / 251) & 0xff);
        return image;
    }

    static bool imageIs(SimulatedController &controller, const QByteArray &image)
    {
        const Bytes received = controller.lastImage();
        return QByteArray(reinterpret_cast<const char *>(received.data()), qsizetype(received.size())) ==
               image;
    }

    fakehid::Testbed &m_bed;
    QTemporaryDir m_dir;
};

void SimulatedControllerTest::applicationModeIsAMovingJoystick()
{
    SimulatedController controller(m_bed, {});
    const std::vector<Listing> listed = listSimulated();
    QCOMPARE(listed.size(), size_t(1));
    QCOMPARE(listed[0].path, controller.devnode());
    QCOMPARE(listed[0].release, uint16_t(0x0102));
    QCOMPARE(listed[0].usagePage, uint16_t(0x01));
    QCOMPARE(listed[0].usage, uint16_t(0x04));

    hid_device *device = hid_open_path(listed[0].path.c_str());
    QVERIFY(device != nullptr);
    QCOMPARE(productOf(device), QStringLiteral("Sim Flight Stick"));
    wchar_t serial[32] = {};
    QCOMPARE(hid_get_serial_number_string(device, serial, 32), 0);
    QCOMPARE(QString::fromWCharArray(serial), QStringLiteral("SIM-0001"));
    const HIDP_CAPS caps = capsOf(device);
    QCOMPARE(caps.FeatureReportByteLength, USHORT(54));
    QCOMPARE(caps.InputReportByteLength, USHORT(11));

    // Reports keep coming, and the axes move between them.
    uint8_t first[16] = {}, later[16] = {};
    QTRY_COMPARE_WITH_TIMEOUT(hid_read_timeout(device, first, sizeof first, 100), 11, kTimeoutMs);
    QCOMPARE(first[0], uint8_t(0));
    QTRY_VERIFY_WITH_TIMEOUT(hid_read_timeout(device, later, sizeof later, 100) == 11 &&
                                 std::memcmp(first + 3, later + 3, 8) != 0,
                             kTimeoutMs);
    hid_close(device);
}

void SimulatedControllerTest::bootloaderCommandRestartsIntoTheBootloader()
{
    std::vector<fakehid::ControllerEvent::Kind> events;
    std::mutex eventsLock;
    SimulatedController controller(m_bed, {}, [&](const fakehid::ControllerEvent &event) {
        std::lock_guard<std::mutex> lock(eventsLock);
        events.push_back(event.kind);
    });
    const std::string applicationNode = controller.devnode();
    hid_device *application = hid_open_path(applicationNode.c_str());
    QVERIFY(application != nullptr);

    // Windows takes a feature report only at the collection's length: the command padded to the
    // bootloader's 65 bytes is refused, and so is one with a report ID.
    QCOMPARE(sendFeature(application, bootloaderCommand(65)), -1);
    Bytes withId = bootloaderCommand();
    withId[0] = 2;
    QCOMPARE(sendFeature(application, withId), -1);
    Bytes other(54, 0);
    other[1] = 0xDE;
    QCOMPARE(sendFeature(application, other), 54);
    QCOMPARE(controller.mode(), SimulatedController::Mode::Application);

    QCOMPARE(sendFeature(application, bootloaderCommand()), 54);
    // The old node goes away: its reads fail.
    uint8_t report[16];
    QTRY_COMPARE_WITH_TIMEOUT(hid_read_timeout(application, report, sizeof report, 50), -1, kTimeoutMs);
    hid_close(application);

    QVERIFY(waitForNewNode(controller, applicationNode));
    QCOMPARE(controller.mode(), SimulatedController::Mode::Bootloader);
    const std::vector<Listing> listed = listSimulated();
    QCOMPARE(listed.size(), size_t(1));
    QCOMPARE(listed[0].path, controller.devnode());
    QCOMPARE(listed[0].release, uint16_t(0x0100));
    QCOMPARE(listed[0].usage, uint16_t(0x04));
    hid_device *bootloader = hid_open_path(listed[0].path.c_str());
    QVERIFY(bootloader != nullptr);
    QCOMPARE(productOf(bootloader), QStringLiteral("Bootloader"));
    QCOMPARE(capsOf(bootloader).FeatureReportByteLength, USHORT(65));
    QCOMPARE(sendFeature(bootloader, bootloaderCommand()), -1);
    hid_close(bootloader);

    using Kind = fakehid::ControllerEvent::Kind;
    std::lock_guard<std::mutex> lock(eventsLock);
    const std::vector<Kind> expected = {Kind::ReportRefused,      Kind::ReportRefused,
                                        Kind::OtherFeatureReport, Kind::BootloaderCommand,
                                        Kind::BootloaderUp,       Kind::ReportRefused};
    QVERIFY(events == expected);
}

void SimulatedControllerTest::imageEndsAfterAQuietPeriod()
{
    SimulatedController controller(m_bed, {});
    const std::string applicationNode = controller.devnode();
    hid_device *application = hid_open_path(applicationNode.c_str());
    QCOMPARE(sendFeature(application, bootloaderCommand()), 54);
    hid_close(application);
    QVERIFY(waitForNewNode(controller, applicationNode));
    const std::string bootloaderNode = controller.devnode();

    // Three blocks of a 150-byte image, the last padded with zeros, as the flasher sends them.
    const QByteArray image = imageOf(150);
    hid_device *bootloader = hid_open_path(bootloaderNode.c_str());
    QVERIFY(bootloader != nullptr);
    for (int offset = 0; offset < image.size(); offset += 64) {
        Bytes block(65, 0);
        const QByteArray part = image.mid(offset, 64);
        std::memcpy(block.data() + 1, part.constData(), size_t(part.size()));
        QCOMPARE(sendFeature(bootloader, block), 65);
    }
    hid_close(bootloader);

    // Without a known size the device cannot tell the padding from the image.
    QTRY_COMPARE_WITH_TIMEOUT(controller.completedImages(), 1, kTimeoutMs);
    QVERIFY(imageIs(controller, image + QByteArray(42, '\0')));
    QVERIFY(waitForNewNode(controller, bootloaderNode));
    QCOMPARE(controller.mode(), SimulatedController::Mode::Application);
    const std::vector<Listing> listed = listSimulated();
    QCOMPARE(listed.size(), size_t(1));
    QCOMPARE(listed[0].release, uint16_t(0x0103));
}

void SimulatedControllerTest::refusedBlockFailsTheTransferAndARetrySucceeds()
{
    const QByteArray image = imageOf(1000);
    fakehid::SimulatedControllerConfig config;
    config.imageSize = size_t(image.size());
    config.refuseBlock = 3;
    SimulatedController controller(m_bed, config);
    Monitor monitor;
    QVERIFY(monitor.waitForProduct("Sim Flight Stick"));
    QVERIFY(monitor.enterBootloader("SIM-0001"));
    QVERIFY(monitor.waitForProduct("Bootloader"));

    const QString file = writeImage(image);
    QVERIFY(!monitor.flashFirmware("SIM-0001", file));
    QCOMPARE(controller.completedImages(), 0);
    QCOMPARE(controller.mode(), SimulatedController::Mode::Bootloader);

    QVERIFY(monitor.flashFirmware("SIM-0001", file));
    QCOMPARE(controller.completedImages(), 1);
    QVERIFY(imageIs(controller, image));
}

// The controller leaves in the middle of a transfer: the transfer fails, and the monitor drops
// the device once the transfer has let go of it.
void SimulatedControllerTest::controllerVanishingDuringATransfer()
{
    fakehid::SimulatedControllerConfig config;
    config.vanishAtBlock = 5;
    SimulatedController controller(m_bed, config);
    Monitor monitor;
    QVERIFY(monitor.waitForProduct("Sim Flight Stick"));
    QVERIFY(monitor.enterBootloader("SIM-0001"));
    QVERIFY(monitor.waitForProduct("Bootloader"));

    QVERIFY(!monitor.flashFirmware("SIM-0001", writeImage(imageOf(4096))));
    QCOMPARE(controller.mode(), SimulatedController::Mode::Vanished);
    QVERIFY(monitor.waitUntilEmpty());
    QVERIFY(!monitor.flashFirmware("SIM-0001", writeImage(imageOf(4096))));
    QVERIFY(listSimulated().empty());
}

void SimulatedControllerTest::silentControllerStaysInItsApplication()
{
    fakehid::SimulatedControllerConfig config;
    config.silentAfterBootloaderCommand = true;
    SimulatedController controller(m_bed, config);
    Monitor monitor;
    QVERIFY(monitor.waitForProduct("Sim Flight Stick"));
    const std::string node = controller.devnode();
    QVERIFY(monitor.enterBootloader("SIM-0001"));
    QCOMPARE(controller.bootloaderCommands(), 1);
    QCOMPARE(controller.mode(), SimulatedController::Mode::Silent);

    // Still on the bus as the application: it neither restarts nor fails reads.
    monitor.pass();
    QCOMPARE(controller.devnode(), node);
    QCOMPARE(monitor.deviceCount(), 1);
    QCOMPARE(monitor.snapshot().value(0).product, QStringLiteral("Sim Flight Stick"));
}

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    QCoreApplication app(argc, argv);
    SimulatedControllerTest test(bed);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simulatedcontroller.moc"

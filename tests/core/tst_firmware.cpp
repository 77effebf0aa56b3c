// Device lookup, the bootloader command and the firmware transfer, as the controller receives them.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "device/flashfailure.h"
#include "device/inputdevice.h"
#include "firmwareimages.h"
#include "messagelog.h"
#include "monitor/hardwareinterface.h"
#include "scriptedhid.h"

using namespace scripted;

namespace {

using firmwareimages::expectedBlocks;
using firmwareimages::imageOf;

using Monitor = HardwareInterface;

Device controller(const std::string &path, const wchar_t *serial, USHORT featureLength = 65)
{
    Device device = joystick(path, {}, 4);
    device.serial = serial;
    device.caps.FeatureReportByteLength = featureLength;
    return device;
}

QVariantList tick(uint total, uint current)
{
    return {total, current};
}

} // namespace

class FirmwareTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString writeImage(const Bytes &image)
    {
        const QString name = m_dir.filePath(QStringLiteral("image-%1.bin").arg(image.size()));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write the test image");
        file.write(reinterpret_cast<const char *>(image.data()), qint64(image.size()));
        return name;
    }

private slots:
    void init() { reset(); }

    void lookupComparesWholeSerials()
    {
        devices() = {controller("/dev/hidraw1", L"A1"), controller("/dev/hidraw2", L"")};
        Monitor monitor;
        monitor.runPass();
        QMutexLocker locker(&monitor.registryLock());
        QCOMPARE(monitor.findDevice("A12"), nullptr);
        QCOMPARE(monitor.findDevice("A"), nullptr);
        QCOMPARE(QByteArray(monitor.findDevice("A1")->path()), QByteArray("/dev/hidraw1"));
        QCOMPARE(QByteArray(monitor.findDevice("")->path()), QByteArray("/dev/hidraw2"));
    }

    // Units whose firmware shares its serial text: the serial names none of them, the path each.
    void sharedSerialFindsNoneThePathFindsEach()
    {
        devices() = {controller("/dev/hidraw1", L"TWIN"), controller("/dev/hidraw2", L"TWIN")};
        Monitor monitor;
        monitor.runPass();
        MessageLog log;
        {
            QMutexLocker locker(&monitor.registryLock());
            QCOMPARE(monitor.findDevice("TWIN"), nullptr);
            QCOMPARE(log.lines(),
                     QStringList{"2 registered devices carry the serial \"TWIN\" - acting on none"});
            QCOMPARE(QByteArray(monitor.findDeviceAt("/dev/hidraw2")->path()), QByteArray("/dev/hidraw2"));
        }
        QVERIFY(!monitor.enterBootloader("TWIN"));
        QVERIFY(monitor.flashFirmwareAt("/dev/hidraw2", writeImage(imageOf(10))));
        QVERIFY(byPath("/dev/hidraw1")->featureReports.empty());
        QCOMPARE(byPath("/dev/hidraw2")->featureReports.size(), size_t(1));
    }

    void bootloaderCommand()
    {
        devices() = {controller("/dev/hidraw1", L"SN1", 9)};
        Monitor monitor;
        monitor.runPass();
        MessageLog log;
        QVERIFY(monitor.enterBootloader("SN1"));
        QVERIFY(!monitor.enterBootloader("SN2"));
        Bytes expected(54, 0);
        expected[1] = 0xDE;
        expected[2] = 0xFA;
        expected[3] = 0xCE;
        QCOMPARE(byPath("/dev/hidraw1")->featureReports, std::vector<Bytes>{expected});
        QCOMPARE(log.lines(), QStringList{"Found  Stick"});
        devices()[0].refuseFeatureReportNumber = 1;
        QVERIFY(!monitor.enterBootloader("SN1"));
    }

    void transfer_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<QVariantList>>("ticks");
        QTest::addColumn<QStringList>("lines");
        const QString sent = QStringLiteral("Firmware block sent:  %1");
        QTest::newRow("two full blocks") << 128 << QList<QVariantList>{tick(128, 65), tick(128, 100)}
                                         << QStringList{sent.arg(65), sent.arg(65)};
        QTest::newRow("padded last block")
            << 129 << QList<QVariantList>{tick(129, 65), tick(129, 100), tick(129, 100)}
            << QStringList{sent.arg(65), sent.arg(65), sent.arg(2)};
        QTest::newRow("one block exactly")
            << 64 << QList<QVariantList>{tick(64, 100)} << QStringList{sent.arg(65)};
        // Fewer than 100 bytes: percent of the image, never a division by zero.
        QTest::newRow("short image") << 70 << QList<QVariantList>{tick(70, 92), tick(70, 100)}
                                     << QStringList{sent.arg(65), sent.arg(7)};
    }

    void transfer()
    {
        QFETCH(int, length);
        QFETCH(QList<QVariantList>, ticks);
        QFETCH(QStringList, lines);
        devices() = {controller("/dev/hidraw1", L"BOOT")};
        Monitor monitor;
        monitor.runPass();
        QSignalSpy progress(&monitor, &HardwareInterface::flashTick);
        const Bytes image = imageOf(size_t(length));
        const QString file = writeImage(image);
        MessageLog log;

        QVERIFY(monitor.flashFirmware("BOOT", file));
        QCOMPARE(byPath("/dev/hidraw1")->featureReports, expectedBlocks(image, 65));
        QCOMPARE(QList<QVariantList>(progress.begin(), progress.end()), ticks);
        QCOMPARE(log.lines().mid(1), lines);
    }

    void progressOfLargeImagesStaysAPercentage()
    {
        devices() = {controller("/dev/hidraw1", L"BOOT")};
        Monitor monitor;
        monitor.runPass();
        QSignalSpy progress(&monitor, &HardwareInterface::flashTick);
        QVERIFY(monitor.flashFirmware("BOOT", writeImage(imageOf(10000))));
        QCOMPARE(byPath("/dev/hidraw1")->featureReports.size(), size_t(157));
        QCOMPARE(progress.size(), 157); // one tick per block
        QCOMPARE(progress.at(0), tick(10000, 0));
        QCOMPARE(progress.at(1), tick(10000, 1));
        QCOMPARE(progress.last(), tick(10000, 100)); // the end is a percentage too
        for (qsizetype i = 0; i + 1 < progress.size(); ++i)
            QVERIFY(progress.at(i).at(1).toUInt() <= 100);
    }

    void refusedBlockStopsTheTransfer()
    {
        devices() = {controller("/dev/hidraw1", L"BOOT")};
        devices()[0].refuseFeatureReportNumber = 2;
        Monitor monitor;
        monitor.runPass();
        QSignalSpy progress(&monitor, &HardwareInterface::flashTick);
        MessageLog log;
        FlashFailure failure;
        QVERIFY(!monitor.flashFirmware("BOOT", writeImage(imageOf(500)), &failure));
        QCOMPARE(failure.reason, FlashFailure::Reason::BlockRefused);
        QCOMPARE(failure.block, 3u); // two delivered, the third refused
        QCOMPARE(failure.blocks, 8u);
        QCOMPARE(byPath("/dev/hidraw1")->featureReports.size(), size_t(2));
        QCOMPARE(progress.size(), 2);
        QVERIFY(progress.last().at(1).toUInt() != 500);
        QCOMPARE(log.lines().last(), QStringLiteral("Unable to send firmware block 65"));
    }

    // A unit pulled mid-transfer is told as gone, and a block the system took only in part is no
    // block sent: neither may pass for a refusal or a success.
    void theEndOfATransferIsToldAsItWas()
    {
        devices() = {controller("/dev/hidraw1", L"GONE"), controller("/dev/hidraw2", L"SHORT")};
        devices()[0].unplugAtFeatureReportNumber = 3;
        devices()[1].shortFeatureReportNumber = 1;
        Monitor monitor;
        monitor.runPass();
        FlashFailure failure;
        QVERIFY(!monitor.flashFirmware("GONE", writeImage(imageOf(500)), &failure));
        QCOMPARE(failure.reason, FlashFailure::Reason::Vanished);
        QCOMPARE(describeFlashFailure(failure),
                 QStringLiteral("The controller disappeared during block 4 of 8."));
        QVERIFY(!monitor.flashFirmware("SHORT", writeImage(imageOf(500)), &failure));
        QCOMPARE(failure.reason, FlashFailure::Reason::BlockIncomplete);
        QCOMPARE(failure.block, 2u);
        QCOMPARE(byPath("/dev/hidraw2")->featureReports.size(), size_t(2)); // no block after it
    }

    // Where no port is known, a unit is found again after its restart only by a serial text of its
    // own: twins get nothing at all, a unit with its own text is followed there and back.
    void withoutPortsOnlyAnOwnSerialFindsTheUnitAgain()
    {
        devices() = {controller("/dev/hidraw1", L"TWIN"), controller("/dev/hidraw2", L"TWIN"),
                     controller("/dev/hidraw3", L"SOLO")};
        Monitor monitor;
        monitor.setScanPeriod(std::chrono::milliseconds(0)); // every pass scans
        monitor.runPass();
        const Bytes image = imageOf(300);
        const QByteArray bytes(reinterpret_cast<const char *>(image.data()), qsizetype(image.size()));
        const auto twin = monitor.startFlash("/dev/hidraw1", bytes);
        const auto solo = monitor.startFlash("/dev/hidraw3", bytes);
        monitor.runPass();
        QCOMPARE(twin->status().failure.reason, FlashFailure::Reason::UnitAmbiguous);
        QVERIFY(byPath("/dev/hidraw1")->featureReports.empty() &&
                byPath("/dev/hidraw2")->featureReports.empty());
        QCOMPARE(solo->status().stage, FlashSession::Stage::AwaitingBootloader);
        QCOMPARE(byPath("/dev/hidraw3")->featureReports.size(), size_t(1)); // the bootloader command

        const auto restart = [](const char *from, const char *to, const wchar_t *product) {
            byPath(from)->failEveryRead = true;
            byPath(from)->plugged = false;
            Device next = controller(to, L"SOLO");
            next.product = product;
            devices().push_back(next);
        };
        restart("/dev/hidraw3", "/dev/hidraw4", L"Bootloader");
        monitor.runPass();
        QCOMPARE(solo->status().stage, FlashSession::Stage::AwaitingReturn);
        QCOMPARE(byPath("/dev/hidraw4")->featureReports, expectedBlocks(image, 65));
        restart("/dev/hidraw4", "/dev/hidraw5", L"Stick");
        monitor.runPass();
        QCOMPARE(solo->status().stage, FlashSession::Stage::Finished);
        QCOMPARE(solo->status().failure.reason, FlashFailure::Reason::None);
        QCOMPARE(solo->status().returned.path, QStringLiteral("/dev/hidraw5"));
        QVERIFY(byPath("/dev/hidraw1")->featureReports.empty() &&
                byPath("/dev/hidraw2")->featureReports.empty());
    }

    // The unit's application device may still be registered when its bootloader arrives on its
    // port; as long as it is, it must not pass for the unit come back with its new firmware.
    void theUnitCountsAsBackOnlyAfterItLeft()
    {
        devices() = {controller("/dev/hidraw1", L"")};
        devices()[0].port = "1-4.2";
        Monitor monitor;
        monitor.setScanPeriod(std::chrono::milliseconds(0));
        monitor.runPass();
        const Bytes image = imageOf(200);
        const auto session =
            monitor.startFlash("/dev/hidraw1", QByteArray(reinterpret_cast<const char *>(image.data()),
                                                          qsizetype(image.size())));
        monitor.runPass();
        Device bootloader = controller("/dev/hidraw2", L"");
        bootloader.product = L"Bootloader";
        bootloader.port = "1-4.2";
        devices().push_back(bootloader);
        monitor.runPass();
        QCOMPARE(byPath("/dev/hidraw2")->featureReports, expectedBlocks(image, 65));
        monitor.runPass();
        QCOMPARE(session->status().stage, FlashSession::Stage::AwaitingReturn);
        byPath("/dev/hidraw1")->failEveryRead = true;
        byPath("/dev/hidraw1")->plugged = false;
        monitor.runPass();
        QCOMPARE(session->status().stage, FlashSession::Stage::AwaitingReturn);
        Device back = controller("/dev/hidraw3", L"");
        back.port = "1-4.2";
        devices().push_back(back);
        monitor.runPass();
        QCOMPARE(session->status().failure.reason, FlashFailure::Reason::None);
        QCOMPARE(session->status().returned.path, QStringLiteral("/dev/hidraw3"));
    }

    void nothingIsSentWhenTheTransferCannotStart()
    {
        devices() = {controller("/dev/hidraw1", L"BOOT"), controller("/dev/hidraw2", L"TINY", 1)};
        Monitor monitor;
        monitor.runPass();
        MessageLog log;
        const QString missing = m_dir.filePath("missing.bin");
        QVERIFY(!monitor.flashFirmware("BOOT", missing));
        QCOMPARE(log.lines().last(), QStringLiteral("\"%1\"  Can't open for reading").arg(missing));
        QVERIFY(!monitor.flashFirmware("TINY", writeImage(imageOf(10))));
        QVERIFY(!monitor.flashFirmware("NONE", writeImage(imageOf(10))));
        // An empty file is a failed download, not an image of no bytes.
        FlashFailure failure;
        QVERIFY(!monitor.flashFirmware("BOOT", writeImage({}), &failure));
        QCOMPARE(failure.reason, FlashFailure::Reason::FileEmpty);
        QVERIFY(byPath("/dev/hidraw1")->featureReports.empty());
        QVERIFY(byPath("/dev/hidraw2")->featureReports.empty());
    }
};

QTEST_GUILESS_MAIN(FirmwareTest)
#include "tst_firmware.moc"

// The whole job as a user does it, on the real window, monitor and HID layer: a simulated
// controller appears, is restarted into its bootloader, takes a firmware file chosen in the file
// dialog and comes back with the new firmware.

#include <QFile>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>

#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

using namespace windowdriver;

class FlashByHandTest : public QObject {
    Q_OBJECT
public:
    explicit FlashByHandTest(fakehid::Testbed &bed) : m_bed(bed) {}

private slots:
    void flashAControllerLikeAUser();

private:
    fakehid::Testbed &m_bed;
};

void FlashByHandTest::flashAControllerLikeAUser()
{
    // Not a multiple of the 64 image bytes a block carries: the last block is padded.
    QByteArray image(64 * 40 + 23, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char &byte : image)
        byte = char(generator.bounded(256));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("stick-1.03.bin"));
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(image), qint64(image.size()));
    }

    fakehid::SimulatedControllerConfig config;
    config.imageSize = size_t(image.size());
    fakehid::SimulatedController controller(m_bed, config);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxWatcher boxes;
    QList<int> progress;
    connect(window.form->pbFirmware, &QProgressBar::valueChanged, [&](int value) { progress.append(value); });

    const QString application = QStringLiteral("Sim Flight Stick - SIM-0001");
    QVERIFY2(waitForListed(window, application), "the controller was never listed");
    QVERIFY(pickDevice(window, application));
    QCOMPARE(window.form->lbl_serial->text(), QStringLiteral("SIM-0001"));
    QCOMPARE(window.form->lbl_version->text(), QStringLiteral("1.2"));

    click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.boxes.value(0).text));
    QCOMPARE(controller.bootloaderCommands(), 1);
    QVERIFY2(waitForListed(window, QStringLiteral("Bootloader - SIM-0001")),
             "the bootloader was never listed");
    QCOMPARE(window.form->lbl_product->text(), QStringLiteral("Bootloader"));

    QVERIFY2(chooseFile(window, file), "the file dialog did not open or did not take the path");
    QCOMPARE(window.firmwareFile, file);
    QCOMPARE(window.form->lbl_firmware->text(), file);

    progress.clear();
    click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), 1, 10000);
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Firmware flash finished"));
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);

    QCOMPARE(controller.completedImages(), 1);
    const fakehid::Bytes received = controller.lastImage();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(received.data()), qsizetype(received.size())), image);

    // The bar climbs through the transfer; the final tick carries the image length, which lies
    // outside the bar's range and leaves it where the last block put it.
    const qsizetype climb = std::is_sorted_until(progress.begin(), progress.end()) - progress.begin();
    QVERIFY2(climb >= 20, qPrintable(QStringLiteral("progress values: %1").arg(climb)));
    QVERIFY(progress.at(climb - 1) >= 95 && progress.at(climb - 1) <= 100);

    // About a second later the controller reboots with the new firmware, and the window follows.
    QTRY_COMPARE_WITH_TIMEOUT(window.form->lbl_version->text(), QStringLiteral("1.3"), kDeviceTimeoutMs);
    QCOMPARE(window.form->deviceBox->currentText(), application);
    QCOMPARE(window.form->pbFirmware->value(), 0);
    QCOMPARE(boxes.boxes.size(), 1);
}

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    QApplication app(argc, argv);
    FlashByHandTest test(bed);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_flashbyhand.moc"

// The whole job as a user does it, on the real window, monitor and HID layer: a simulated
// controller appears, is restarted into its bootloader, takes a firmware file chosen in the file
// dialog and comes back with the new firmware.

#include <QFile>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

using namespace windowdriver;

namespace {

QByteArray randomImage(qsizetype size)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char &byte : image)
        byte = char(generator.bounded(256));
    return image;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

// Counts the feature reports a controller was sent, whatever it made of them.
auto countReports(std::atomic<int> &reports)
{
    return [&reports](const fakehid::ControllerEvent &event) {
        using Event = fakehid::ControllerEvent;
        if (event.kind <= Event::BlockRefused) // the kinds up to it are each one report
            ++reports;
    };
}

} // namespace

class FlashByHandTest : public QObject {
    Q_OBJECT
public:
    explicit FlashByHandTest(fakehid::Testbed &bed) : m_bed(bed) {}

private slots:
    void flashAControllerLikeAUser();
    void twinsWithOneSerialEachGetTheirOwnAction();

private:
    fakehid::Testbed &m_bed;
};

void FlashByHandTest::flashAControllerLikeAUser()
{
    // Not a multiple of the 64 image bytes a block carries: the last block is padded.
    const QByteArray image = randomImage(64 * 40 + 23);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("stick-1.03.bin"));
    QVERIFY(writeFile(file, image));

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

    // The bar climbs through the transfer and ends full.
    const qsizetype climb = std::is_sorted_until(progress.begin(), progress.end()) - progress.begin();
    QVERIFY2(climb >= 20, qPrintable(QStringLiteral("progress values: %1").arg(climb)));
    QCOMPARE(progress.at(climb - 1), 100);

    // About a second later the controller reboots with the new firmware, and the window follows.
    QTRY_COMPARE_WITH_TIMEOUT(window.form->lbl_version->text(), QStringLiteral("1.3"), kDeviceTimeoutMs);
    QCOMPARE(window.form->deviceBox->currentText(), application);
    QCOMPARE(window.form->pbFirmware->value(), 0);
    QCOMPARE(boxes.boxes.size(), 1);
}

// Two units whose firmware shares its serial text. Unit B waits in its bootloader; unit A is
// chosen and restarted, and the selection follows A into its bootloader, not B's. Each button
// reaches A alone. A's bootloader refuses its fifth block once, which the window tells; during
// the second transfer the window keeps handling events.
void FlashByHandTest::twinsWithOneSerialEachGetTheirOwnAction()
{
    // 16 blocks: the last of the 15 intermediate ticks says 97%, so only the end fills the bar.
    const QByteArray image = randomImage(1000);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("twin.bin"));
    QVERIFY(writeFile(file, image));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxWatcher boxes;
    const QString application = QStringLiteral("Sim Flight Stick - TWIN");

    fakehid::SimulatedControllerConfig configB;
    configB.number = 2; // on USB port 1-2
    configB.serialText = "TWIN";
    std::atomic<int> toB{0};
    fakehid::SimulatedController unitB(m_bed, configB, countReports(toB));
    QVERIFY2(waitForListed(window, application), "the second unit was never listed");
    click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
    QVERIFY2(waitForListed(window, QStringLiteral("Bootloader - TWIN")), "its bootloader was never listed");

    // Unit A holds its second block until the test lets it go, once armed.
    fakehid::SimulatedControllerConfig configA;
    configA.serialText = "TWIN"; // number 1, on USB port 1-1
    configA.imageSize = size_t(image.size());
    configA.refuseBlock = 5;
    std::atomic<int> toA{0};
    std::atomic<bool> holdArmed{false}, holding{false};
    std::mutex releaseLock;
    std::condition_variable releaseSignal;
    bool released = false;
    fakehid::SimulatedController unitA(m_bed, configA, [&](const fakehid::ControllerEvent &event) {
        countReports(toA)(event);
        if (event.kind != fakehid::ControllerEvent::Block || event.block != 2 || !holdArmed.exchange(false))
            return;
        holding = true;
        std::unique_lock lock(releaseLock);
        releaseSignal.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
    });
    QVERIFY2(
        QTest::qWaitFor([&] { return window.form->deviceBox->findText(application) >= 0; }, kDeviceTimeoutMs),
        "the first unit was never listed");
    QCOMPARE(window.form->deviceBox->currentText(), QStringLiteral("Bootloader - TWIN"));

    QVERIFY(pickDevice(window, application));
    click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.boxes.value(0).text));
    QCOMPARE(unitA.bootloaderCommands(), 1);
    QCOMPARE(toB.load(), 1); // its own bootloader command, no more
    const QString bootloaderA = QStringLiteral("Bootloader - TWIN (port 1-1)");
    QVERIFY2(waitForListed(window, bootloaderA),
             qPrintable(QStringLiteral("the selection did not follow the unit into its bootloader: ") +
                        window.form->deviceBox->currentText()));
    QCOMPARE(window.form->deviceBox->findText(QStringLiteral("Bootloader - TWIN (port 1-2)")) >= 0, true);

    QVERIFY2(chooseFile(window, file), "the file dialog did not open or did not take the path");
    QCOMPARE(window.form->deviceBox->currentText(), bootloaderA);
    QList<int> progress;
    connect(window.form->pbFirmware, &QProgressBar::valueChanged, [&](int value) { progress.append(value); });
    click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), 1, 10000);
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(boxes.boxes[0].text,
             QStringLiteral("Firmware flash failed\nThe controller refused block 5 of 16."));
    QVERIFY(!progress.isEmpty()); // the four accepted blocks moved the bar, and it stays there
    QCOMPARE(window.form->pbFirmware->value(), progress.last());
    QVERIFY(progress.last() > 0 && progress.last() < 100);

    // While A holds its second block, the window handles events, with its buttons disabled.
    progress.clear();
    holdArmed = true;
    click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
    QVERIFY2(QTest::qWaitFor([&] { return holding.load(); }, 10000), "the second transfer never began");
    QCOMPARE(boxes.boxes.size(), 1); // the transfer has not ended
    QVERIFY(!window.form->buttonFlash->isEnabled() && !window.form->buttonBootloader->isEnabled() &&
            !window.form->buttonFile->isEnabled());
    {
        std::lock_guard lock(releaseLock);
        released = true;
    }
    releaseSignal.notify_all();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), 2, 10000);
    QCOMPARE(boxes.boxes[1].title, QStringLiteral("Firmware flash finished"));
    QVERIFY(window.form->buttonFlash->isEnabled());
    QCOMPARE(unitA.completedImages(), 1);
    const fakehid::Bytes received = unitA.lastImage();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(received.data()), qsizetype(received.size())), image);
    QCOMPARE(toB.load(), 1); // not one block went astray
    QCOMPARE(unitB.completedImages(), 0);
    // The bar ends full (a rebuild after the unit's reboot may set it back to 0 later).
    const qsizetype climb = std::is_sorted_until(progress.begin(), progress.end()) - progress.begin();
    QVERIFY(climb >= 2);
    QCOMPARE(progress.at(climb - 1), 100);
    // A comes back with its new firmware, and the selection with it.
    QVERIFY2(waitForListed(window, application), "the selection did not follow the unit back");
    QTRY_COMPARE_WITH_TIMEOUT(window.form->lbl_version->text(), QStringLiteral("1.3"), kDeviceTimeoutMs);
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

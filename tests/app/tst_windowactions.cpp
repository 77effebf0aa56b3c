// What the window does with a registry filled by hand: the list rebuild and the selection, the three
// numbered steps and their message boxes, the progress bar and the About box.

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "ui_mainwindow.h"
#include "windowtesting.h"

class WindowActionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listShowsEveryDeviceAndSelectsTheFirst();
    void entryTextsAndDetailsDecodeTheDeviceFields();
    void unterminatedFieldsAreReadWithinTheirBounds();
    void selectionStaysOnItsUnitAcrossRebuilds();
    void lastDeviceGoneClearsTheDetails();
    void rebuildArrivesQueuedFromAnotherThread();
    void bootloaderProductRule_data();
    void bootloaderProductRule();
    void bootloaderButton();
    void flashButtonChecksInOrder();
    void failedFlashIsToldAndKeepsTheBar();
    void fileDialog();
    void progressBar_data();
    void progressBar();
    void progressTravelsFromTheMonitor();
    void aboutBox();

private:
    QString firmwarePath() const { return home.filePath(QStringLiteral("image.bin")); }
    void rebuild() { invokeSlot(*window, "onHardwareChange"); }
    void click(QPushButton *button) { QTest::mouseClick(button, Qt::LeftButton); }
    void checkBox(const SeenBox &box, const char *title, QMessageBox::Icon icon, Qt::TextFormat format,
                  const QString &text);
    void checkError(const QList<SeenBox> &boxes, const char *text);

    QTemporaryDir home;
    MainWindow *window = nullptr;
    MainWindowForm *form = nullptr;
};

void WindowActionsTest::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    QFile image(firmwarePath());
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(300, '\x5a'));
}

void WindowActionsTest::init()
{
    window = new MainWindow;
    form = window->form;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    stopMonitor(*window);
    QCoreApplication::processEvents(); // a change the monitor announced before it stopped
    rebuild();
}

void WindowActionsTest::cleanup()
{
    removeAllDevices(*window);
    delete window;
    window = nullptr;
}

void WindowActionsTest::checkBox(const SeenBox &box, const char *title, QMessageBox::Icon icon,
                                 Qt::TextFormat format, const QString &text)
{
    QCOMPARE(box.title, QString::fromLatin1(title));
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.format, format);
    QCOMPARE(box.text, text);
    QCOMPARE(box.parent, window);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(box.modal);
}

// The checks of checkBox and checkError return only from the helper: a test that goes on after
// one of them asks QTest::currentTestFailed() first.
void WindowActionsTest::checkError(const QList<SeenBox> &boxes, const char *text)
{
    QCOMPARE(boxes.size(), 1);
    checkBox(boxes.first(), "Error", QMessageBox::Warning, Qt::AutoText, QString::fromLatin1(text));
}

void WindowActionsTest::listShowsEveryDeviceAndSelectsTheFirst()
{
    addDevice(*window, "/dev/hidraw1", {"Flight Stick", "FS-1", "Stick Works", "2.10"});
    addDevice(*window, "/dev/hidraw2", {"Pedals", "PD-7", "Pedal Works", "0.99"});
    form->pbFirmware->setValue(70);
    rebuild();

    const QList<InputDevice *> order = registryOrder(*window);
    QCOMPARE(form->deviceBox->count(), 2);
    for (int i = 0; i < order.size(); ++i) {
        QCOMPARE(form->deviceBox->itemText(i),
                 QString::fromUtf8(order[i]->product()) + " - " + QString::fromUtf8(order[i]->serial()));
        QVERIFY(form->deviceBox->itemIcon(i).isNull());
        QVERIFY(!form->deviceBox->itemData(i).isValid());
    }
    QCOMPARE(form->deviceBox->currentIndex(), 0);
    QCOMPARE(form->lbl_manufacturer->text(), QString::fromUtf8(order[0]->manufacturer()));
    QCOMPARE(form->lbl_product->text(), QString::fromUtf8(order[0]->product()));
    QCOMPARE(form->lbl_version->text(), QString::fromUtf8(order[0]->versionText()));
    QCOMPARE(form->lbl_serial->text(), QString::fromUtf8(order[0]->serial()));
    QCOMPARE(QByteArray(window->selectedSerial), QByteArray(order[0]->serial()));
    QCOMPARE(QByteArray(window->selectedProduct), QByteArray(order[0]->product()));
    QCOMPARE(form->pbFirmware->value(), 0);
}

void WindowActionsTest::entryTextsAndDetailsDecodeTheDeviceFields()
{
    addDevice(*window, "/dev/hidraw3", {"Lenkrad Größe M", "", "Pédalier & Co", "1.0"});
    rebuild();
    QCOMPARE(form->deviceBox->itemText(0), QStringLiteral("Lenkrad Größe M - "));
    QCOMPARE(form->lbl_product->text(), QStringLiteral("Lenkrad Größe M"));
    QCOMPARE(form->lbl_manufacturer->text(), QStringLiteral("Pédalier & Co"));
    QVERIFY(form->lbl_serial->text().isEmpty());
    QCOMPARE(window->selectedSerial[0], '\0');
}

void WindowActionsTest::unterminatedFieldsAreReadWithinTheirBounds()
{
    InputDevice *device = addDevice(*window, "/dev/hidraw4", {"x", "y"});
    {
        QMutexLocker registry(&window->monitor.registryLock());
        std::memset(InputDeviceTesting::product(*device), 'P', InputDevice::TextSize);
        std::memset(InputDeviceTesting::serial(*device), 'S', InputDevice::TextSize);
    }
    rebuild();
    QCOMPARE(form->lbl_product->text(), QString(MainWindow::TextSize, QLatin1Char('P')));
    QCOMPARE(form->lbl_serial->text(), QString(MainWindow::TextSize, QLatin1Char('S')));
    // The copies keep their terminator, so they stay usable as text.
    QCOMPARE(qstrlen(window->selectedSerial), uint(MainWindow::TextSize - 1));
    QCOMPARE(qstrlen(window->selectedProduct), uint(MainWindow::TextSize - 1));
}

void WindowActionsTest::selectionStaysOnItsUnitAcrossRebuilds()
{
    addDevice(*window, "/dev/hidraw1", {"Flight Stick", "FS-1", "Stick Works", "2.10"});
    addDevice(*window, "/dev/hidraw2", {"Pedals", "PD-7", "Pedal Works", "0.99"});
    rebuild();
    form->pbFirmware->setValue(33);

    form->deviceBox->setCurrentIndex(1);
    InputDevice *second = registryOrder(*window).at(1);
    QCOMPARE(form->lbl_product->text(), QString::fromUtf8(second->product()));
    QCOMPARE(form->lbl_manufacturer->text(), QString::fromUtf8(second->manufacturer()));
    QCOMPARE(QByteArray(window->selectedSerial), QByteArray(second->serial()));
    QCOMPARE(form->pbFirmware->value(), 33); // the selection leaves the bar alone

    // An index the list does not reach changes nothing.
    invokeSlot(*window, "on_deviceBox_currentIndexChanged", Q_ARG(int, 5));
    invokeSlot(*window, "on_deviceBox_currentIndexChanged", Q_ARG(int, -1));
    QCOMPARE(QByteArray(window->selectedSerial), QByteArray(second->serial()));

    // A plug elsewhere keeps the chosen unit selected; twins of one text show where they sit.
    addDevice(*window, "/dev/hidraw0", {"Pedals", "PD-7", "Pedal Works", "0.99", "1-3"});
    addDevice(*window, "/dev/hidraw9", {"Pedals", "PD-7", "Pedal Works", "0.99", "1-9"});
    rebuild();
    QCOMPARE(form->deviceBox->count(), 4);
    QCOMPARE(form->deviceBox->currentText(), QStringLiteral("Pedals - PD-7 (/dev/hidraw2)"));
    QCOMPARE(window->selectedPath, QStringLiteral("/dev/hidraw2"));
    QCOMPARE(form->deviceBox->itemText(3), QStringLiteral("Pedals - PD-7 (port 1-9)"));

    // Once it is gone, the first entry is the selection.
    removeDevice(*window, "/dev/hidraw2");
    rebuild();
    QCOMPARE(form->deviceBox->currentIndex(), 0);
    QCOMPARE(window->selectedPath, QStringLiteral("/dev/hidraw0"));
    QCOMPARE(form->lbl_product->text(), QStringLiteral("Pedals"));
}

void WindowActionsTest::lastDeviceGoneClearsTheDetails()
{
    addDevice(*window, "/dev/hidraw1", {"Flight Stick", "FS-1", "Stick Works", "2.10"});
    rebuild();
    form->pbFirmware->setValue(55);
    removeAllDevices(*window);
    rebuild();

    QCOMPARE(form->deviceBox->count(), 0);
    QCOMPARE(form->lbl_manufacturer->text(), QStringLiteral("n.a."));
    QVERIFY(form->lbl_product->text().isEmpty());
    QVERIFY(form->lbl_serial->text().isEmpty());
    QVERIFY(form->lbl_version->text().isEmpty());
    QCOMPARE(form->pbFirmware->value(), 0);
    // The selection keeps naming the device that has gone.
    QCOMPARE(QByteArray(window->selectedSerial), QByteArray("FS-1"));
    QCOMPARE(QByteArray(window->selectedProduct), QByteArray("Flight Stick"));
}

void WindowActionsTest::rebuildArrivesQueuedFromAnotherThread()
{
    addDevice(*window, "/dev/hidraw1", {"Flight Stick", "FS-1"});
    QThread *other = QThread::create([this] { emit window->monitor.hardwareChanged(); });
    other->start();
    QVERIFY(other->wait(QDeadlineTimer(60000)));
    delete other;
    QCOMPARE(form->deviceBox->count(), 0); // not before the event loop delivers it
    QTRY_COMPARE_WITH_TIMEOUT(form->deviceBox->count(), 1, 30000);
    QCOMPARE(form->deviceBox->itemText(0), QStringLiteral("Flight Stick - FS-1"));
}

void WindowActionsTest::bootloaderProductRule_data()
{
    QTest::addColumn<QByteArray>("product");
    QTest::addColumn<bool>("inBootloader");
    QTest::newRow("exact") << QByteArray("boot") << true;
    QTest::newRow("capitalised") << QByteArray("Bootloader") << true;
    QTest::newRow("upper case") << QByteArray("BOOTLOADER v2") << true;
    QTest::newRow("mixed case") << QByteArray("bOoT") << true;
    QTest::newRow("three letters") << QByteArray("boo") << false;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("not at the start") << QByteArray("Reboot") << false;
    QTest::newRow("application") << QByteArray("Flight Stick") << false;
    QTest::newRow("near miss") << QByteArray("bo0tloader") << false;
}

void WindowActionsTest::bootloaderProductRule()
{
    QFETCH(QByteArray, product);
    QFETCH(bool, inBootloader);
    QCOMPARE(isBootloaderProduct(product.constData()), inBootloader);
}

void WindowActionsTest::bootloaderButton()
{
    addDevice(*window, "/dev/hidraw1", {"BootLoader", "FS-1"});
    rebuild();
    {
        BoxWatcher watcher;
        click(form->buttonBootloader);
        checkError(watcher.boxes, "Device is already in bootloader");
        if (QTest::currentTestFailed())
            return;
    }

    // A device that is not in its bootloader and has gone by the time the button is pressed: the
    // monitor finds no device with the selected serial and says so.
    removeAllDevices(*window);
    addDevice(*window, "/dev/hidraw2", {"Flight Stick", "FS-2"});
    rebuild();
    removeDevice(*window, "/dev/hidraw2");
    {
        BoxWatcher watcher;
        click(form->buttonBootloader);
        checkError(watcher.boxes, "Unable to put device into bootloader");
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(form->deviceBox->count(), 1); // the list is left as it was
}

void WindowActionsTest::flashButtonChecksInOrder()
{
    {
        BoxWatcher watcher; // no device, no file
        click(form->buttonFlash);
        checkError(watcher.boxes, "No file selected");
        if (QTest::currentTestFailed())
            return;
    }
    addDevice(*window, "/dev/hidraw1", {"Bootloader", "FS-1"});
    rebuild();
    {
        BoxWatcher watcher; // the file check comes first, whatever the device
        click(form->buttonFlash);
        checkError(watcher.boxes, "No file selected");
        if (QTest::currentTestFailed())
            return;
    }
    removeAllDevices(*window);
    addDevice(*window, "/dev/hidraw2", {"Flight Stick", "FS-1"});
    rebuild();
    window->firmwareFile = firmwarePath();
    {
        BoxWatcher watcher;
        click(form->buttonFlash);
        checkError(watcher.boxes, "Device is NOT in bootloader");
        if (QTest::currentTestFailed())
            return;
    }
    // An empty file, as a failed download leaves, is no image: refused before anything is sent.
    removeAllDevices(*window);
    addDevice(*window, "/dev/hidraw3", {"Bootloader", "FS-1"});
    rebuild();
    QTemporaryDir dir;
    window->firmwareFile = dir.filePath(QStringLiteral("empty.bin"));
    QVERIFY(QFile(window->firmwareFile).open(QIODevice::WriteOnly));
    {
        BoxWatcher watcher;
        click(form->buttonFlash);
        checkError(watcher.boxes, "Firmware flash failed\nThe firmware file is empty.");
        QVERIFY(form->buttonFlash->isEnabled());
    }
}

void WindowActionsTest::failedFlashIsToldAndKeepsTheBar()
{
    addDevice(*window, "/dev/hidraw1", {"Bootloader", "FS-1"});
    rebuild();
    // Gone before the transfer starts; another unit with the same texts is registered elsewhere and
    // must not be taken for it.
    removeAllDevices(*window);
    addDevice(*window, "/dev/hidraw2", {"Bootloader", "FS-1"});
    window->firmwareFile = firmwarePath();
    invokeSlot(*window, "FirmwareFlash", Q_ARG(uint, 100), Q_ARG(uint, 30));

    BoxWatcher watcher;
    click(form->buttonFlash);
    checkError(watcher.boxes,
               "Firmware flash failed\nThe controller is gone: it was unplugged or restarted.");
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(form->pbFirmware->value(), 30);
    QCOMPARE(window->firmwareFile, firmwarePath());
}

void WindowActionsTest::fileDialog()
{
    struct SeenDialog {
        QString title, directory;
        QStringList filters;
    } seen;
    QString answer;       // empty: cancel
    QStringList unclosed; // dialogs the answerer had to close because they stayed open
    QPointer<QDialog> answered;
    int ticksSinceAnswer = 0;
    QTimer answerer;
    answerer.setInterval(10);
    // Answers and closes through queued calls, as the dialog's buttons do: a box that the answer
    // opens must find this timer free to close it.
    auto close = [](QDialog *dialog, void (QDialog::*how)()) {
        QMetaObject::invokeMethod(dialog, how, Qt::QueuedConnection);
    };
    connect(&answerer, &QTimer::timeout, [&] {
        auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (modal == nullptr || !modal->isVisible())
            return;
        // Anything else, or a dialog that did not take its answer, would leave the click waiting
        // for ever: it is closed and the test fails on it.
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (dialog == nullptr || (modal == answered && ++ticksSinceAnswer > 10)) {
            unclosed.append(modal->windowTitle());
            close(modal, &QDialog::reject);
            return;
        }
        if (modal == answered)
            return; // the answer is on its way
        answered = dialog;
        ticksSinceAnswer = 0;
        seen = {dialog->windowTitle(), dialog->directory().absolutePath(), dialog->nameFilters()};
        if (answer.isEmpty()) {
            close(dialog, &QDialog::reject);
            return;
        }
        // Typed into the name field, as a user does. selectFile() leaves that field alone while it
        // has the keyboard focus, which the dialog gets as soon as it is activated.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) {
            unclosed.append(QStringLiteral("a file dialog without its name field"));
            close(dialog, &QDialog::reject);
            return;
        }
        name->setText(answer);
        close(dialog, &QDialog::accept); // as the Open button does
    });
    answerer.start();

    answer = firmwarePath();
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QLatin1Char('"') + firmwarePath() + QLatin1Char('"')));
    click(form->buttonFile);
    QVERIFY2(unclosed.isEmpty(), qPrintable(QStringLiteral("closed unanswered: ") + unclosed.join(u", ")));
    QCOMPARE(seen.title, QStringLiteral("Select file"));
    QCOMPARE(seen.directory, QDir(home.path()).absolutePath());
    QCOMPARE(seen.filters, QStringList{QStringLiteral("Firmware files (*.bin)")});
    QCOMPARE(window->firmwareFile, firmwarePath());
    QCOMPARE(form->lbl_firmware->text(), firmwarePath());

    // A rebuild leaves the choice alone.
    rebuild();
    QCOMPARE(window->firmwareFile, firmwarePath());

    // Cancelling replaces the earlier choice with nothing.
    answer.clear();
    seen = {};
    QTest::ignoreMessage(QtDebugMsg, "\"\"");
    click(form->buttonFile);
    QVERIFY2(unclosed.isEmpty(), qPrintable(QStringLiteral("closed unanswered: ") + unclosed.join(u", ")));
    QCOMPARE(seen.title, QStringLiteral("Select file"));
    QVERIFY(window->firmwareFile.isEmpty());
    QVERIFY(form->lbl_firmware->text().isEmpty());
    answerer.stop();

    addDevice(*window, "/dev/hidraw1", {"Bootloader", "FS-1"});
    rebuild();
    BoxWatcher watcher;
    click(form->buttonFlash);
    checkError(watcher.boxes, "No file selected");
}

void WindowActionsTest::progressBar_data()
{
    QTest::addColumn<uint>("current");
    QTest::addColumn<int>("shown");
    QTest::newRow("zero") << 0u << 0;
    QTest::newRow("middle") << 57u << 57;
    QTest::newRow("full") << 100u << 100;
    QTest::newRow("above the range") << 101u << 42;
    QTest::newRow("a byte count") << 65536u << 42;
    QTest::newRow("negative as a signed value") << 0xFFFFFFFFu << 42;
}

void WindowActionsTest::progressBar()
{
    QFETCH(uint, current);
    QFETCH(int, shown);
    invokeSlot(*window, "FirmwareFlash", Q_ARG(uint, 100), Q_ARG(uint, 42));
    invokeSlot(*window, "FirmwareFlash", Q_ARG(uint, 100), Q_ARG(uint, current));
    QCOMPARE(form->pbFirmware->value(), shown);
}

void WindowActionsTest::progressTravelsFromTheMonitor()
{
    window->monitor.FirmwareFlash(100, 40); // what a device's flashTick reaches during a transfer
    QCOMPARE(form->pbFirmware->value(), 40);
    emit window->monitor.flashTick(4096, 77);
    QCOMPARE(form->pbFirmware->value(), 77);
}

void WindowActionsTest::aboutBox()
{
    BoxWatcher watcher;
    form->action_About->trigger();
    QCOMPARE(watcher.boxes.size(), 1);
    const SeenBox &box = watcher.boxes.first();
    checkBox(box, "Help / About", QMessageBox::Information, Qt::RichText, box.text);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(box.linksOpen);
    QVERIFY(box.text.contains(QStringLiteral("Firmware flasher")));
    QVERIFY(box.text.contains(QStringLiteral(FLASHER_VERSION)));
    QVERIFY(box.text.contains(QString::fromLatin1(qVersion())));
    QVERIFY(box.text.contains(
        QStringLiteral("<a href=\"https://example.com/firmware-flasher\">example.com</a>")));
}

QTEST_MAIN(WindowActionsTest)
#include "tst_windowactions.moc"

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

#include <cstdlib>

#include "device/flashfailure.h"
#include "device/inputdevice.h"

#ifndef FLASHER_VERSION
#define FLASHER_VERSION "unknown"
#endif

namespace {

// Device texts are NUL-terminated UTF-8 in fixed fields; the bound keeps a field that lost its
// terminator from being read past its end.
template <std::size_t N> QString fieldText(const char (&field)[N])
{
    return QString::fromUtf8(field, qsizetype(qstrnlen(field, N)));
}

struct DeviceDetails {
    QString manufacturer, product, serial, versionText;
};

// The registry entry that list entry `index` stands for: the list holds one entry per registered
// device, in the registry's order. The end when there is no such device. The caller holds the
// registry lock.
QHash<QString, InputDevice *>::const_iterator listedDevice(const QHash<QString, InputDevice *> &devices,
                                                           int index)
{
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        if (it.value() == nullptr)
            continue;
        if (index-- == 0)
            return it;
    }
    return devices.cend();
}

QString aboutText()
{
    return MainWindow::tr("<b>Firmware flasher</b> version %1<br/>"
                          "Restarts USB game controllers into their bootloader and writes new "
                          "firmware to them.<br/><br/>"
                          "Uses Qt %2.<br/>"
                          "<a href=\"https://example.com/firmware-flasher\">example.com</a>")
        .arg(QStringLiteral(FLASHER_VERSION), QString::fromLatin1(qVersion()));
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), form(new MainWindowForm), monitor(nullptr),
      firmwareFile(QStringLiteral("")) // empty, not null: no file chosen yet
{
    form->setupUi(this);
    form->lbl_firmware->setText(QStringLiteral("(none)"));

    connect(&monitor, &HardwareInterface::hardwareChanged, this, &MainWindow::onHardwareChange,
            Qt::AutoConnection);
    connect(&monitor, &HardwareInterface::flashTick, this, &MainWindow::FirmwareFlash, Qt::AutoConnection);
    monitor.start(QThread::InheritPriority);
}

MainWindow::~MainWindow()
{
    monitor.stop();
    monitor.wait(QDeadlineTimer(QDeadlineTimer::Forever));
    delete form;
    // The members go next (the file name, then the monitor), and the base deletes the widgets.
}

void MainWindow::showMessage(QMessageBox::Icon icon, const QString &title, const QString &text,
                             Qt::TextFormat format)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    box.setTextFormat(format);
    box.exec();
}

void MainWindow::showError(const QString &text)
{
    showMessage(QMessageBox::Warning, tr("Error"), text);
}

void MainWindow::on_actionClose_triggered()
{
    // The monitor is stopped and waited for first: std::exit runs the static destructors at once,
    // and a monitor thread still inside a HID call or writing a debug line would run under them.
    monitor.stop();
    monitor.wait(QDeadlineTimer(QDeadlineTimer::Forever));
    std::exit(0);
}

void MainWindow::on_action_About_triggered()
{
    showMessage(QMessageBox::Information, tr("Help / About"), aboutText(), Qt::RichText);
}

void MainWindow::on_deviceBox_currentIndexChanged(int index)
{
    if (index < 0)
        return; // the list was cleared

    DeviceDetails details;
    {
        // The lock keeps the monitor thread from destroying the device while its fields are copied.
        QMutexLocker registry(&monitor.registryLock());
        const auto entry = listedDevice(monitor.devices, index);
        if (entry == monitor.devices.cend())
            return;
        const InputDevice *device = entry.value();
        selectedPath = entry.key();
        qstrncpy(selectedSerial, device->serial, sizeof selectedSerial);
        qstrncpy(selectedProduct, device->product, sizeof selectedProduct);
        details = {fieldText(device->manufacturer), fieldText(device->product), fieldText(device->serial),
                   fieldText(device->versionText)};
    }
    form->lbl_manufacturer->setText(details.manufacturer);
    form->lbl_product->setText(details.product);
    form->lbl_serial->setText(details.serial);
    form->lbl_version->setText(details.versionText);
}

void MainWindow::on_buttonBootloader_clicked()
{
    if (isBootloaderProduct(selectedProduct)) {
        showError(tr("Device is already in bootloader"));
        return;
    }
    if (!monitor.enterBootloaderAt(selectedPath))
        showError(tr("Unable to put device into bootloader"));
}

void MainWindow::on_buttonFile_clicked()
{
    firmwareFile =
        QFileDialog::getOpenFileName(this, tr("Select file"), QDir::homePath(), tr("Firmware files (*.bin)"));
    form->lbl_firmware->setText(firmwareFile);
    qDebug() << firmwareFile;
}

void MainWindow::on_buttonFlash_clicked()
{
    if (firmwareFile.isEmpty()) {
        showError(tr("No file selected"));
        return;
    }
    if (!isBootloaderProduct(selectedProduct)) {
        showError(tr("Device is NOT in bootloader"));
        return;
    }
    FlashFailure failure;
    if (!monitor.flashFirmwareAt(selectedPath, firmwareFile, &failure)) {
        // Said plainly, so that nobody unplugs a half-written controller waiting for the end.
        showError(tr("Firmware flash failed") + QLatin1Char('\n') + describeFlashFailure(failure));
        return;
    }
    showMessage(QMessageBox::Information, tr("Firmware flash finished"),
                tr("Finished flashing firmware.<br/>The device will now reboot.<br/><br/>"
                   "If it doesn't, the firmware hasn't been succesfully flashed."),
                Qt::RichText);
}

void MainWindow::onHardwareChange()
{
    form->deviceBox->clear();

    // The entry texts are taken under the lock; the items are added after it is released, since
    // adding the first item selects it and the selection takes the lock itself.
    QStringList entries;
    {
        QMutexLocker registry(&monitor.registryLock());
        entries.reserve(monitor.devices.size());
        for (const InputDevice *device : std::as_const(monitor.devices)) {
            if (device != nullptr)
                entries.append(fieldText(device->product) + QStringLiteral(" - ") +
                               fieldText(device->serial));
        }
    }
    for (const QString &entry : std::as_const(entries))
        form->deviceBox->addItem(entry);

    bool registryEmpty;
    {
        QMutexLocker registry(&monitor.registryLock());
        registryEmpty = monitor.devices.isEmpty();
    }
    if (!registryEmpty) {
        form->deviceBox->setCurrentIndex(0);
    } else {
        form->lbl_manufacturer->setText(tr("n.a."));
        form->lbl_product->setText(QString());
        form->lbl_serial->setText(QString());
        form->lbl_version->setText(QString());
    }
    form->pbFirmware->setValue(0);
}

void MainWindow::FirmwareFlash(uint totalSize, uint currentSize)
{
    Q_UNUSED(totalSize);
    form->pbFirmware->setValue(int(currentSize));
    form->pbFirmware->update();
}

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>
#include <cstdlib>

#include "device/flashfailure.h"
#include "device/inputdevice.h"

#ifndef FLASHER_VERSION
#define FLASHER_VERSION "unknown"
#endif

namespace {

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
    connect(
        &monitor, &HardwareInterface::flashSessionChanged, this, [this] { onFlashSessionChanged(); },
        Qt::QueuedConnection);
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
    if (!mayClose())
        return;
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
    // A rebuild chooses its selection itself; -1 is the list being cleared.
    if (index < 0 || m_rebuilding)
        return;
    showSelection(index, true);
}

void MainWindow::showSelection(int index, bool follow)
{
    if (index < 0 || index >= m_listed.size())
        return;
    const DeviceSnapshot &device = m_listed.at(index);
    selectedPath = device.path;
    qstrncpy(selectedSerial, device.serial.toUtf8().constData(), sizeof selectedSerial);
    qstrncpy(selectedProduct, device.product.toUtf8().constData(), sizeof selectedProduct);
    if (follow) {
        m_followed = UnitIdentity::of(device);
        m_awaitingUnit = false;
    }
    form->lbl_manufacturer->setText(device.manufacturer);
    form->lbl_product->setText(device.product);
    form->lbl_serial->setText(device.serial);
    form->lbl_version->setText(device.version);
}

void MainWindow::on_buttonBootloader_clicked()
{
    // Judged on the device itself at this moment, not on what the list showed when it was chosen.
    enum class Outcome { Gone, InBootloader, Refused, Sent } outcome = Outcome::Gone;
    monitor.withDevice(selectedPath, [&outcome](InputDevice &device) {
        if (isBootloaderProduct(device.product()))
            outcome = Outcome::InBootloader;
        else
            outcome = device.enterBootloader() ? Outcome::Sent : Outcome::Refused;
    });
    switch (outcome) {
    case Outcome::InBootloader:
        showError(tr("Device is already in bootloader"));
        return;
    case Outcome::Gone:
    case Outcome::Refused:
        showError(tr("Unable to put device into bootloader"));
        return;
    case Outcome::Sent:
        // The unit leaves the list for a moment; the selection waits for its bootloader.
        m_awaitingUnit = true;
        m_awaitedFrom = selectedPath;
        return;
    }
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
    const std::optional<DeviceSnapshot> device = monitor.deviceAt(selectedPath);
    if (device && !device->bootloader) {
        showError(tr("Device is NOT in bootloader"));
        return;
    }
    // Said plainly, so that nobody unplugs a half-written controller waiting for the end.
    const auto failed = [this](const FlashFailure &failure) {
        showError(tr("Firmware flash failed") + QLatin1Char('\n') + describeFlashFailure(failure));
    };
    if (!device) {
        failed({FlashFailure::Reason::DeviceGone});
        return;
    }
    // The image is read whole now, and these bytes are the ones sent.
    QByteArray image;
    const FlashFailure problem = readFirmwareImage(firmwareFile, image);
    if (problem.reason != FlashFailure::Reason::None) {
        failed(problem);
        return;
    }
    // The transfer runs on the monitor thread; its progress and its end arrive queued.
    m_session = monitor.startFlash(selectedPath, image);
    m_awaitingUnit = true;
    m_awaitedFrom = selectedPath;
    setTransferRunning(true);
}

void MainWindow::onFlashSessionChanged()
{
    if (!m_session)
        return;
    const FlashSession::Status status = m_session->status();
    const bool sent = status.stage == FlashSession::Stage::AwaitingReturn ||
                      (status.stage == FlashSession::Stage::Finished &&
                       status.failure.reason == FlashFailure::Reason::None);
    if (!sent && status.stage != FlashSession::Stage::Finished)
        return;
    // Told once, at the end of the transfer; the unit's return is followed by the list.
    m_session.reset();
    setTransferRunning(false);
    if (!sent) {
        showError(tr("Firmware flash failed") + QLatin1Char('\n') + describeFlashFailure(status.failure));
        return;
    }
    showMessage(QMessageBox::Information, tr("Firmware flash finished"),
                tr("Finished flashing firmware.<br/>The device will now reboot.<br/><br/>"
                   "If it doesn't, the firmware hasn't been succesfully flashed."),
                Qt::RichText);
}

bool MainWindow::transferRunning() const
{
    return m_session != nullptr;
}

void MainWindow::setTransferRunning(bool running)
{
    for (QPushButton *button : {form->buttonBootloader, form->buttonFile, form->buttonFlash})
        button->setEnabled(!running);
}

bool MainWindow::mayClose()
{
    if (!transferRunning())
        return true;
    QMessageBox box(QMessageBox::Warning, tr("Firmware transfer running"),
                    tr("A firmware image is being sent to the controller. Closing now leaves it "
                       "half-written.\n\nClose anyway?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (mayClose())
        event->accept();
    else
        event->ignore();
}

QString MainWindow::entryText(int index) const
{
    const DeviceSnapshot &device = m_listed.at(index);
    const QString text = device.product + QStringLiteral(" - ") + device.serial;
    // Twins of one batch would show one text twice; where they are plugged in tells them apart.
    const bool shared = std::any_of(m_listed.cbegin(), m_listed.cend(), [&](const DeviceSnapshot &other) {
        return &other != &device && other.product == device.product && other.serial == device.serial;
    });
    if (!shared)
        return text;
    return device.port.isEmpty() ? tr("%1 (%2)").arg(text, device.path)
                                 : tr("%1 (port %2)").arg(text, device.port);
}

int MainWindow::entryToSelect() const
{
    const auto indexOf = [this](const QString &path) {
        for (int i = 0; i < m_listed.size(); ++i) {
            if (m_listed.at(i).path == path)
                return i;
        }
        return -1;
    };
    if (m_followed) {
        if (const std::optional<DeviceSnapshot> unit = findUnit(*m_followed, m_listed))
            return indexOf(unit->path);
    }
    // A unit that cannot be told from a twin stays selected as long as its own entry is there.
    const int same = indexOf(selectedPath);
    return same >= 0 ? same : 0;
}

void MainWindow::onHardwareChange()
{
    m_listed = monitor.snapshot();
    {
        const QSignalBlocker quiet(form->deviceBox);
        m_rebuilding = true;
        form->deviceBox->clear();
        for (int i = 0; i < m_listed.size(); ++i)
            form->deviceBox->addItem(entryText(i));
        m_rebuilding = false;
    }
    if (!m_listed.isEmpty()) {
        const int index = entryToSelect();
        const std::optional<DeviceSnapshot> unit =
            m_followed ? findUnit(*m_followed, m_listed) : std::nullopt;
        // Back means under another path: the entry it left may still be listed for a moment.
        const bool unitBack = unit && unit->path != m_awaitedFrom;
        form->deviceBox->setCurrentIndex(index);
        // The unit is followed on; the first entry becomes the unit only when nothing is awaited.
        showSelection(index, !m_awaitingUnit || unitBack);
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

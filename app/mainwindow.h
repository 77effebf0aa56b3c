// The flasher's one window: the device list and details, the three numbered steps and the progress
// bar. It owns the hardware monitor and follows its registry.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <memory>
#include <optional>

#include "monitor/flashhardware.h"

QT_BEGIN_NAMESPACE
class Ui_MainWindow;
QT_END_NAMESPACE

// The record uic generates from mainwindow.ui: one pointer per object of the window's form.
using MainWindowForm = Ui_MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int TextSize = 260;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    MainWindowForm *form;
    FlashHardware monitor;
    char selectedSerial[TextSize] = {};
    char selectedProduct[TextSize] = {};
    // The identity of the selected entry: its registry key, the device path. The buttons act on
    // this device alone, since units of one model may share their serial text.
    QString selectedPath;
    QString firmwareFile;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_actionClose_triggered();
    void on_action_About_triggered();
    void on_deviceBox_currentIndexChanged(int index);
    void on_buttonBootloader_clicked();
    void on_buttonFile_clicked();
    void on_buttonFlash_clicked();
    void onHardwareChange();
    void FirmwareFlash(uint totalSize, uint currentSize);

private:
    // The flash session moved on: at the end of its transfer the window tells how it went.
    void onFlashSessionChanged();
    // Shows entry `index` of the list as the selection; `follow` makes its unit the one the list
    // keeps selected across rebuilds.
    void showSelection(int index, bool follow);
    QString entryText(int index) const;
    // The list entry that the selection belongs on after a rebuild.
    int entryToSelect() const;
    void setTransferRunning(bool running);
    bool transferRunning() const;
    // While a transfer runs: asks whether to leave anyway. True when the window may close.
    bool mayClose();
    void showMessage(QMessageBox::Icon icon, const QString &title, const QString &text,
                     Qt::TextFormat format = Qt::AutoText);
    void showError(const QString &text);

    QList<DeviceSnapshot> m_listed; // what the list shows, entry by entry
    // The unit the selection stays on: the one the user chose, or the first entry once it is gone.
    // While `m_awaitingUnit` is set the unit is on its way back (a restart into its bootloader or
    // out of it) and the first entry only stands in until it returns under a path other than
    // `m_awaitedFrom`, the one it left.
    std::optional<UnitIdentity> m_followed;
    bool m_awaitingUnit = false;
    QString m_awaitedFrom;
    bool m_rebuilding = false;
    std::shared_ptr<FlashSession> m_session; // the transfer until its end is told
};

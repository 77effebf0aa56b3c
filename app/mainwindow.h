// The flasher's one window: the device list and details, the three numbered steps and the progress
// bar. It owns the hardware monitor and follows its registry.
#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

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
    void showMessage(QMessageBox::Icon icon, const QString &title, const QString &text,
                     Qt::TextFormat format = Qt::AutoText);
    void showError(const QString &text);
};

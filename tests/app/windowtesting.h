// Helpers for driving the main window without hardware: a registry filled by hand and a watcher
// that records and closes the modal boxes a slot shows.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <cstring>
#include <functional>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "mainwindow.h"
#include "tests/support/hardwaretesting.h"
#include "tests/support/inputdevicetesting.h"

struct FakeDevice {
    const char *product;
    const char *serial;
    const char *manufacturer = "Test Maker";
    const char *versionText = "1.02";
    const char *port = "";
};

// Ends the monitor thread and leaves the registry to the caller. The monitor changes the registry
// only on its own thread and reads it there without the lock, so nothing else may change it while
// that thread runs. Its end destroys whatever its scans registered.
inline void stopMonitor(MainWindow &window)
{
    window.monitor.stop();
    window.monitor.wait();
}

// Registers a device by hand (after stopMonitor). removeAllDevices frees it again.
inline InputDevice *addDevice(MainWindow &window, const QString &path, const FakeDevice &fake)
{
    // Neither active nor opened, so the monitor never polls it.
    auto *device = new InputDevice(new AbstractHardware);
    qstrncpy(InputDeviceTesting::product(*device), fake.product, InputDevice::TextSize);
    qstrncpy(InputDeviceTesting::serial(*device), fake.serial, InputDevice::TextSize);
    qstrncpy(InputDeviceTesting::manufacturer(*device), fake.manufacturer, InputDevice::TextSize);
    qstrncpy(InputDeviceTesting::versionText(*device), fake.versionText, InputDevice::TextSize);
    device->attach(nullptr, path.toUtf8().constData());
    InputDeviceTesting::setPort(*device, QString::fromUtf8(fake.port));
    QMutexLocker registry(&window.monitor.registryLock());
    HardwareInterfaceTesting::registry(window.monitor).insert(path, device);
    return device;
}

inline void removeDevice(MainWindow &window, const QString &path)
{
    QMutexLocker registry(&window.monitor.registryLock());
    delete HardwareInterfaceTesting::registry(window.monitor).take(path);
}

inline void removeAllDevices(MainWindow &window)
{
    QMutexLocker registry(&window.monitor.registryLock());
    qDeleteAll(HardwareInterfaceTesting::registry(window.monitor));
    HardwareInterfaceTesting::registry(window.monitor).clear();
}

// The registered devices in the order the list must show them: by path.
inline QList<InputDevice *> registryOrder(MainWindow &window)
{
    QList<InputDevice *> order;
    for (const DeviceSnapshot &device : window.monitor.snapshot())
        order.append(window.monitor.findDeviceAt(device.path));
    return order;
}

// Calls a slot through the meta-object, the way its connections reach it. A window without the
// slot ends the suite: a QVERIFY here would return only from this helper, and the test calling it
// would go on as if the slot had run.
template <typename... Args> void invokeSlot(MainWindow &window, const char *name, Args... args)
{
    if (!QMetaObject::invokeMethod(&window, name, Qt::DirectConnection, args...))
        qFatal("MainWindow has no slot %s taking these arguments", name);
}

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::PlainText;
    QObject *parent = nullptr;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
    bool linksOpen = false; // a link in the text opens in the browser when clicked
};

// Records every message box that becomes the active modal widget and closes it with its button,
// as a user would.
class BoxWatcher {
public:
    BoxWatcher()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { closeOpenBox(); });
        m_timer.start();
    }

    QList<SeenBox> boxes;

private:
    static bool linksOpen(const QMessageBox *box)
    {
        const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        return label != nullptr && label->openExternalLinks() &&
               (label->textInteractionFlags() & Qt::LinksAccessibleByMouse);
    }

    void closeOpenBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr || box == m_lastClosed)
            return;
        m_lastClosed = box;
        boxes.append({box->windowTitle(), box->text(), box->icon(), box->textFormat(), box->parent(),
                      box->standardButtons(), box->isModal(), linksOpen(box)});
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        if (ok != nullptr)
            ok->click();
        else
            box->reject();
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_lastClosed;
};

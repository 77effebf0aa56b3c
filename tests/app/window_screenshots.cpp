// Renders the window in the situations the README shows, into PNG files:
//
//     window-screenshots <output folder>
//
// Each scene fills the monitor's registry with the controllers it needs, sets the window up as a
// user would have and grabs it. Add a scene by adding a function to `scenes`.

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

#include <cstdio>
#include <functional>

#include "ui_mainwindow.h"
#include "windowtesting.h"

namespace {

bool save(QWidget *widget, const QDir &out, const char *file)
{
    const QString path = out.filePath(QString::fromLatin1(file));
    if (widget == nullptr || !widget->grab().save(path, "PNG")) {
        std::fprintf(stderr, "window-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void listController(MainWindow &window, const FakeDevice &device)
{
    removeAllDevices(window);
    addDevice(window, QStringLiteral("/dev/hidraw0"), device);
    QMetaObject::invokeMethod(&window, "onHardwareChange", Qt::DirectConnection);
    QCoreApplication::processEvents();
}

// Grabs the box that `open` shows, then closes it as its OK button would.
bool saveBox(const std::function<void()> &open, const QDir &out, const char *file)
{
    bool saved = false;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        saved = save(box, out, file);
        if (box != nullptr)
            box->accept();
    });
    open();
    return saved;
}

using Scene = std::function<bool(MainWindow &, const QDir &)>;

const Scene scenes[] = {
    // A controller in application mode, listed and selected.
    [](MainWindow &window, const QDir &out) {
        listController(window, {"Sim Flight Stick", "SIM-0001", "Example Controls", "1.02"});
        return save(&window, out, "window.png");
    },
    // The same controller in its bootloader, part way through a transfer.
    [](MainWindow &window, const QDir &out) {
        listController(window, {"Bootloader", "SIM-0001", "Example Controls", "1.02"});
        window.firmwareFile = QStringLiteral("/home/user/stick-1.03.bin");
        window.form->lbl_firmware->setText(window.firmwareFile);
        window.monitor.FirmwareFlash(100, 62);
        return save(&window, out, "window-flashing.png");
    },
    [](MainWindow &window, const QDir &out) {
        return saveBox([&window] { window.form->action_About->trigger(); }, out, "about.png");
    },
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: window-screenshots <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    for (const Scene &scene : scenes) {
        MainWindow window;
        stopMonitor(window);
        window.show();
        ok = scene(window, out) && ok;
        removeAllDevices(window);
    }
    return ok ? 0 : 1;
}

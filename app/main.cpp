#include "flashermain.h"

#include <QApplication>
#include <QIcon>

#include "mainwindow.h"

int flasherMain(int argc, char **argv)
{
    QApplication app(argc, argv);
#ifndef Q_OS_WIN
    // Windows takes the window icon from the program file's icon resource; elsewhere it comes from
    // the compiled-in PNG set.
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/icons/flasher-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    // Lets the desktop match the window to the installed menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("firmware-flasher"));
#endif

    // The window is destroyed before the application object: its teardown stops and waits for
    // the monitor thread while the toolkit is still alive.
    MainWindow window;
    window.show();
    return app.exec();
}

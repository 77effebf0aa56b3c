// The flasher's main routine with one scripted user action, for tst_mainroutine:
//   window-main-probe close-action   chooses File > Close
//   window-main-probe close-window   closes the window as the title bar's button does
//   window-main-probe exit <code>    ends the event loop with <code>
// It prints whether the compiled-in images were there before main() ran, then, before acting, whether
// the window is shown and the sizes of the window icon, and the routine's result when it returns.

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flashermain.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

namespace {

int probeArgc = 0;
char **probeArgv = nullptr;

void act()
{
    MainWindow *window = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *candidate = qobject_cast<MainWindow *>(widget))
            window = candidate;
    }
    if (window == nullptr) {
        std::printf("no window\n");
        std::fflush(stdout);
        std::_Exit(3);
    }
    std::printf("window shown: %s\n", window->isVisible() ? "yes" : "no");
    std::printf("icon sizes:");
    for (const QSize &size : window->windowIcon().availableSizes())
        std::printf(" %dx%d", size.width(), size.height());
    std::printf("\n");
    std::fflush(stdout);

    const char *mode = probeArgc > 1 ? probeArgv[1] : "";
    if (std::strcmp(mode, "close-action") == 0)
        window->form->actionClose->trigger();
    else if (std::strcmp(mode, "close-window") == 0)
        window->close();
    else if (std::strcmp(mode, "exit") == 0 && probeArgc > 2)
        QCoreApplication::exit(std::atoi(probeArgv[2]));
    else
        std::_Exit(4);
}

void scheduleAction()
{
    QTimer::singleShot(0, act);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(scheduleAction)

int main(int argc, char **argv)
{
    std::printf("images before main: %s\n",
                QFile::exists(QStringLiteral(":/img/img/wheel.fw.png")) ? "yes" : "no");
    probeArgc = argc;
    probeArgv = argv;
    const int result = flasherMain(argc, argv);
    std::printf("main routine returned %d\n", result);
    return result;
}

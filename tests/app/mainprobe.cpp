// The flasher's main routine with one scripted user action, for tst_mainroutine:
//   window-main-probe close-action   chooses File > Close
//   window-main-probe close-window   closes the window as the title bar's button does
//   window-main-probe exit <code>    ends the event loop with <code>
// Before acting it prints whether the window is shown, and the routine's own result when it returns.

#include <QApplication>
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
    probeArgc = argc;
    probeArgv = argv;
    const int result = flasherMain(argc, argv);
    std::printf("main routine returned %d\n", result);
    return result;
}

// Renders the window with a simulated controller into PNG files:
//
//     flash-screenshots <output folder>
//
// window.png: the controller listed and selected. window-flashing.png: the same controller in its
// bootloader, part way through a real transfer started with the window's own buttons.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include <cstdio>

#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

using namespace windowdriver;

namespace {

bool save(QWidget &widget, const QDir &out, const char *file)
{
    const QString path = out.filePath(QString::fromLatin1(file));
    if (!widget.grab().save(path, "PNG")) {
        std::fprintf(stderr, "flash-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool failed(const char *what)
{
    std::fprintf(stderr, "flash-screenshots: %s\n", what);
    return false;
}

bool render(fakehid::Testbed &bed, const QDir &out)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/fw-XXXXXX")); // short enough for the label
    const QString file = dir.filePath(QStringLiteral("stick-1.03.bin"));
    QByteArray image(64 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + i / 97) & 0xff);
    QFile imageFile(file);
    if (!dir.isValid() || !imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != image.size())
        return failed("cannot write the firmware image");
    imageFile.close();

    fakehid::SimulatedControllerConfig config;
    config.imageSize = size_t(image.size());
    fakehid::SimulatedController controller(bed, config);
    MainWindow window;
    window.show();
    BoxWatcher boxes; // closes "Firmware flash finished"
    if (!waitForListed(window, QStringLiteral("Sim Flight Stick - SIM-0001")))
        return failed("the controller was never listed");
    if (!save(window, out, "window.png"))
        return false;

    click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
    if (!waitForListed(window, QStringLiteral("Bootloader - SIM-0001")))
        return failed("the bootloader was never listed");
    if (!chooseFile(window, file))
        return failed("the file dialog did not open");

    bool saved = false;
    QObject::connect(window.form->pbFirmware, &QProgressBar::valueChanged, [&](int value) {
        if (!saved && value >= 60)
            saved = save(window, out, "window-flashing.png");
    });
    click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
    // The transfer runs on the monitor thread; its progress reaches the bar through the event loop.
    if (!QTest::qWaitFor([&] { return saved || !boxes.boxes.isEmpty(); }, 60000))
        return failed("the transfer did not end within a minute");
    return saved || failed("the transfer did not get far enough");
}

} // namespace

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: flash-screenshots <output folder>\n");
        return 2;
    }
    return render(bed, QDir(QString::fromLocal8Bit(argv[1]))) ? 0 : 1;
}

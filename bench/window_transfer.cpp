// How long the window's event loop goes without starting an event while a firmware image is sent
// to a simulated controller's bootloader: the real window, monitor and HID layer on the fake
// hidraw testbed, on the offscreen platform, driven through the window's own buttons. The
// transfer runs on the monitor thread; its progress reaches the window as queued signals, one per
// block, so a flood of them or a slot that takes long shows as a gap here.
//
// Every event the GUI thread delivers, at any depth of nesting, is time-stamped (the application's
// notify), and a 1 ms timer keeps the loop busy, so that an idle loop shows gaps of about 1 ms and
// a longer gap is time the loop spent in one piece of work. Each round puts the controller into
// its bootloader, measures the longest gap over a second of rest (the reference, with the same
// timer), then sends the image and measures the longest gap from the click on "3. Flash firmware"
// to the message that the flash finished.
//
// Usage: bench_window_transfer [--rounds N] [--image-kib K]
//   --rounds N     transfers, one after the other (default 3)
//   --image-kib K  the image's size (default 1024)
// The last line is "RESULT key=value ...", for scripts.
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "arguments.h"
#include "paired.h"
#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

namespace {

using Clock = std::chrono::steady_clock;

// Time-stamps the start of every event delivered on the GUI thread.
class GapApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_measuring && QThread::currentThread() == thread()) {
            const Clock::time_point now = Clock::now();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
            ++m_events;
        }
        return QApplication::notify(receiver, event);
    }

    void startMeasuring()
    {
        m_last = Clock::now();
        m_longest = {};
        m_events = 0;
        m_measuring = true;
    }
    // The longest gap since startMeasuring, in milliseconds, the end counted as an event.
    double stopMeasuring()
    {
        m_measuring = false;
        m_longest = std::max(m_longest, Clock::now() - m_last);
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }
    long events() const { return m_events; }

private:
    bool m_measuring = false;
    Clock::time_point m_last;
    Clock::duration m_longest{};
    long m_events = 0;
};

struct Options {
    int rounds = 3;
    int imageKib = 1024;
};

Options parseOptions(int argc, char **argv)
{
    Options o;
    BenchArguments args(argc, argv, "bench_window_transfer", "[--rounds N] [--image-kib K]");
    while (const char *option = args.next()) {
        const std::string arg = option;
        if (arg == "--rounds")
            o.rounds = std::atoi(args.value());
        else if (arg == "--image-kib")
            o.imageKib = std::atoi(args.value());
        else
            args.fail("unknown option " + arg);
    }
    if (o.rounds < 1 || o.rounds > 100 || o.imageKib < 1 || o.imageKib > 4096)
        args.fail("values out of range");
    return o;
}

// Runs the event loop until `done` holds or `timeoutMs` pass; whether it held. QTest::qWait and
// qWaitFor sleep 10 ms between their rounds of events, which would be the longest gap measured.
bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return done();
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

int fail(const char *what)
{
    std::fprintf(stderr, "bench_window_transfer: %s\n", what);
    return 1;
}

int measure(const Options &o, fakehid::Testbed &bed, GapApplication &app)
{
    using namespace windowdriver;
    QByteArray image(qsizetype(o.imageKib) * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + i / 256);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("image.bin"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(image) != image.size())
        return fail("cannot write the image");
    out.close();

    fakehid::SimulatedControllerConfig config;
    config.imageSize = size_t(image.size());
    fakehid::SimulatedController controller(bed, config);
    MainWindow window;
    window.show();
    BoxWatcher boxes;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    tick.start();

    const QString application = QStringLiteral("Sim Flight Stick - SIM-0001");
    const QString bootloader = QStringLiteral("Bootloader - SIM-0001");
    std::vector<double> transferGap, restGap, seconds;
    std::vector<double> events;
    for (int round = 0; round < o.rounds; ++round) {
        if (!waitForListed(window, application))
            return fail("the controller was never listed");
        click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
        if (!waitForListed(window, bootloader))
            return fail("the bootloader was never listed");
        window.firmwareFile = file;

        app.startMeasuring();
        runUntil([] { return false; }, 1000);
        restGap.push_back(app.stopMeasuring());

        const qsizetype before = boxes.boxes.size();
        const Clock::time_point start = Clock::now();
        app.startMeasuring();
        click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
        const bool ended = runUntil([&] { return boxes.boxes.size() > before; }, 120000);
        transferGap.push_back(app.stopMeasuring());
        events.push_back(double(app.events()));
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (!ended)
            return fail("the transfer did not end within two minutes");
        if (boxes.boxes.last().title != QStringLiteral("Firmware flash finished"))
            return fail(qPrintable(QStringLiteral("the flash failed: ") + boxes.boxes.last().text));
    }
    const auto median = [](const std::vector<double> &v) { return paired::spread(v).median; };
    const auto [shortest, longest] = std::minmax_element(transferGap.begin(), transferGap.end());
    std::printf("%d transfers of %d KiB through the window: the event loop's longest gap %.1f ms "
                "(median; %.1f-%.1f ms), at rest %.1f ms; a transfer %.2f s, %.0f events\n",
                o.rounds, o.imageKib, median(transferGap), *shortest, *longest, median(restGap),
                median(seconds), median(events));
    std::printf("RESULT rounds=%d image_kib=%d gap_ms=%.1f gap_min_ms=%.1f gap_max_ms=%.1f rest_gap_ms=%.1f "
                "transfer_s=%.2f events=%.0f\n",
                o.rounds, o.imageKib, median(transferGap), *shortest, *longest, median(restGap),
                median(seconds), median(events));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    GapApplication app(argc, argv);
    qInstallMessageHandler(dropMessage);
    return measure(options, bed, app);
}

// How soon the monitor lists a controller that is plugged in: the time from a simulated
// controller's appearance on the fake bus to the monitor's hardwareChanged, with N silent
// controllers (no input reports, so each of their polls waits its full read timeout) already
// listed. The monitor is the window's FlashHardware on its own thread, as the program runs it.
//
// Each run plugs one more controller at a random moment of a pass, waits for the monitor to list
// it, then unplugs it and waits for its removal. The clock starts before the controller is
// created, so the fake bus's own work to plug it counts too.
//
// Usage: bench_hotplug_latency [--controllers N] [--runs R] [--periodic-only] [--every-200-passes]
//   --controllers N     silent controllers listed before the runs (default 0)
//   --runs R            controllers plugged one after the other (default 10)
//   --periodic-only     arrival events switched off: the clock-timed scan alone
//   --every-200-passes  arrival events off and a scan every 200th pass, the cadence the monitor had
//                       before its scan was timed by the clock (for comparison)
// The last line is "RESULT key=value ...", for scripts.
#include <QCoreApplication>
#include <QMutexLocker>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "monitor/flashhardware.h"
#include "simulated_controller.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int controllers = 0;
    int runs = 10;
    bool periodicOnly = false;
    bool every200Passes = false;
};

Options parseOptions(int argc, char **argv)
{
    Options o;
    BenchArguments args(argc, argv, "bench_hotplug_latency",
                        "[--controllers N] [--runs R] [--periodic-only] [--every-200-passes]");
    while (const char *option = args.next()) {
        const std::string arg = option;
        if (arg == "--controllers")
            o.controllers = std::atoi(args.value());
        else if (arg == "--runs")
            o.runs = std::atoi(args.value());
        else if (arg == "--periodic-only")
            o.periodicOnly = true;
        else if (arg == "--every-200-passes")
            o.every200Passes = true;
        else
            args.fail("unknown option " + arg);
    }
    if (o.controllers < 0 || o.controllers > 16 || o.runs < 1 || o.runs > 1000)
        args.fail("values out of range");
    return o;
}

// The monitor as the window has it. With `passClock` its periodic scan counts passes instead of
// reading the clock: the clock is read once per pass, and each reading moves it by 20 ms.
class Monitor : public FlashHardware {
public:
    bool passClock = false;
    std::atomic<Clock::rep> lastScanStart{0}, lastScanEnd{0};
    bool scan() override
    {
        lastScanStart = Clock::now().time_since_epoch().count();
        const bool found = FlashHardware::scan();
        lastScanEnd = Clock::now().time_since_epoch().count();
        return found;
    }
    Clock::time_point now() const override
    {
        if (!passClock)
            return FlashHardware::now();
        return Clock::time_point(std::chrono::milliseconds(20) * ++m_passes);
    }

private:
    mutable std::atomic<long> m_passes{0};
};

qsizetype registered(Monitor &monitor)
{
    return monitor.deviceCount();
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

fakehid::SimulatedControllerConfig silent(int number)
{
    fakehid::SimulatedControllerConfig config;
    config.number = number;
    config.inputInterval = std::chrono::hours(24); // its first report, then nothing
    return config;
}

const char *modeName(const Options &o)
{
    return o.every200Passes ? "passes" : o.periodicOnly ? "periodic" : "events";
}

int measure(const Options &o, fakehid::Testbed &bed)
{
    std::vector<std::unique_ptr<fakehid::SimulatedController>> listed;
    for (int i = 0; i < o.controllers; ++i)
        listed.push_back(std::make_unique<fakehid::SimulatedController>(bed, silent(i + 1)));

    Monitor monitor;
    if (o.periodicOnly || o.every200Passes)
        monitor.setHotplugEvents(nullptr);
    monitor.passClock = o.every200Passes;
    std::mutex mutex;
    std::condition_variable changed;
    long changes = 0;
    Clock::time_point lastChange;
    QObject::connect(
        &monitor, &HardwareInterface::hardwareChanged, &monitor,
        [&] {
            const Clock::time_point at = Clock::now();
            std::lock_guard lock(mutex);
            ++changes;
            lastChange = at;
            changed.notify_all();
        },
        Qt::DirectConnection);
    monitor.start();

    // Waits until `count` changes have been announced; false if that takes more than a minute.
    auto waitForChanges = [&](long count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return changes >= count; });
    };
    int status = 0;
    // The first scan lists the silent controllers in one change.
    if (o.controllers > 0 && (!waitForChanges(1) || registered(monitor) != o.controllers)) {
        std::fprintf(stderr, "bench_hotplug_latency: %lld of %d controllers registered\n",
                     static_cast<long long>(registered(monitor)), o.controllers);
        status = 1;
    }

    std::mt19937 random(12345);
    std::vector<double> latencies, plugging, untilScan, scanning, scanShare;
    for (int run = 0; status == 0 && run < o.runs; ++run) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200)); // any moment of a pass
        long before = 0;
        {
            std::lock_guard lock(mutex);
            before = changes;
        }
        const Clock::time_point plugged = Clock::now();
        auto controller = std::make_unique<fakehid::SimulatedController>(bed, silent(o.controllers + 1));
        const Clock::time_point onTheBus = Clock::now();
        if (!waitForChanges(before + 1) || registered(monitor) != o.controllers + 1) {
            std::fprintf(stderr, "bench_hotplug_latency: run %d: the controller was not listed\n", run + 1);
            status = 1;
            break;
        }
        {
            std::lock_guard lock(mutex);
            latencies.push_back(std::chrono::duration<double, std::milli>(lastChange - plugged).count());
            const auto ms = [&](Clock::rep from, Clock::rep to) {
                return std::chrono::duration<double, std::milli>(Clock::duration(to - from)).count();
            };
            const Clock::rep zero = plugged.time_since_epoch().count();
            plugging.push_back(ms(zero, onTheBus.time_since_epoch().count()));
            untilScan.push_back(ms(zero, monitor.lastScanStart));
            scanning.push_back(ms(monitor.lastScanStart, monitor.lastScanEnd));
            scanShare.push_back(100 * scanning.back() / latencies.back());
        }
        controller.reset();
        if (!waitForChanges(before + 2) || registered(monitor) != o.controllers) {
            std::fprintf(stderr, "bench_hotplug_latency: run %d: the controller was not dropped\n", run + 1);
            status = 1;
        }
    }
    monitor.stop();
    monitor.wait();
    if (status != 0)
        return status;

    const auto medianOf = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    const double median = medianOf(latencies);
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "medians of the parts: the fake bus plugging the controller %.1f ms, plug to the scan's start "
        "%.1f ms, the scan %.1f ms\n",
        medianOf(plugging), medianOf(untilScan), medianOf(scanning));
    std::printf(
        "plugged beside %d silent controller%s (%s), %d runs: median %.1f ms, min %.1f ms, max %.1f ms\n",
        o.controllers, o.controllers == 1 ? "" : "s", modeName(o), o.runs, median, latencies.front(),
        latencies.back());
    std::printf("the scan's share of each run's time, median: %.0f%%\n", medianOf(scanShare));
    std::printf("RESULT controllers=%d runs=%d mode=%s median_ms=%.1f min_ms=%.1f max_ms=%.1f scan_ms=%.1f "
                "scan_share_pct=%.0f\n",
                o.controllers, o.runs, modeName(o), median, latencies.front(), latencies.back(),
                medianOf(scanning), medianOf(scanShare));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed;
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropMessage);
    return measure(options, bed);
}

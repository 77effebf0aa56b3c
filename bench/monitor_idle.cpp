// The monitor's CPU use while it idles: a real FlashHardware thread polling and rescanning, with no
// controller or with simulated controllers on the fake hidraw testbed, for a fixed time. The figure
// is the process's own CPU time (getrusage) over that time, as a share of one core; the monitor
// thread's own share (its thread CPU clock) is given beside it, so that what the simulated
// controllers and the fake devices cost in their own threads is not taken for the monitor's cost.
// The rest of the process is split by thread as well: the simulated controllers' threads (known
// by their name), the main thread, and the testbed's threads, which are all the others: umockdev's
// worker, which answers every call on a fake device node, and GLib's main-loop thread.
//
// The same run with --raw-reader replaces the monitor by the least any poller of that cadence does:
// one thread that waits up to 10 ms for a report from each device in turn, reads it with read(2)
// when there is one, and sleeps 20 ms, with no scan and no decoding. It asks read(2) for as many
// bytes as the HID layer does (the largest report hidraw delivers), since the fake device copies
// the whole read buffer to its handler and back, unlike the kernel. With no controller that is a
// bare 20 ms sleep loop. The difference between the two runs is what the monitor itself costs; the
// raw reader's figure is what the machine and the fake devices charge for that cadence.
//
// With --pairs N the two take turns over the same controllers in one process: N pairs of a window
// of the monitor and a window of the raw reader (in turns first, each started afresh and given
// 0.3 s to settle before its window), and the ratio judged is the monitor thread's CPU,
// less its scans, over the raw reader thread's, per pair; its median and the range that median
// lies in with 95 % confidence (bench/paired.h) are printed. The scans are given apart, as one
// scan's CPU time and its share at the monitor's period: their cost is the fake bus's enumeration
// (see docs/performance.md), and a window holds one or none of them.
// The same ratio per pass, and both pollers' passes a second, show what the two loops do apart.
//
// Usage: bench_monitor_idle [--controllers N] [--seconds S] [--interval-ms M] [--real-bus] [--raw-reader]
//   --controllers N  simulated controllers on the bus (default 0)
//   --interval-ms M  each sends an input report every M ms; 0: they send nothing (default 20)
//   --real-bus       no fake testbed: the monitor scans this machine's own bus (needs N = 0)
//   --raw-reader     the raw reader instead of the monitor
//   --read-size B    bytes the raw reader asks read(2) for (default 16384)
//   --pairs N        N pairs of windows of S seconds each, monitor against raw reader (see above)
// The last line is "RESULT key=value ...", for scripts.
#include <QCoreApplication>
#include <QMutexLocker>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "hid/hid.h"
#include "monitor/flashhardware.h"
#include "monitor/scanfilter.h"
#include "paired.h"
#include "simulated_controller.h"

namespace {

struct Options {
    int controllers = 0;
    double seconds = 30;
    int intervalMs = 20;
    bool realBus = false;
    bool rawReader = false;
    int readSize = 16384;
    int pairs = 0;
};

Options parseOptions(int argc, char **argv)
{
    Options o;
    BenchArguments args(argc, argv, "bench_monitor_idle",
                        "[--controllers N] [--seconds S] [--interval-ms M] [--real-bus] [--raw-reader] "
                        "[--read-size B] [--pairs N]");
    while (const char *option = args.next()) {
        const std::string arg = option;
        if (arg == "--controllers")
            o.controllers = std::atoi(args.value());
        else if (arg == "--seconds")
            o.seconds = std::atof(args.value());
        else if (arg == "--interval-ms")
            o.intervalMs = std::atoi(args.value());
        else if (arg == "--real-bus")
            o.realBus = true;
        else if (arg == "--raw-reader")
            o.rawReader = true;
        else if (arg == "--read-size")
            o.readSize = std::atoi(args.value());
        else if (arg == "--pairs")
            o.pairs = std::atoi(args.value());
        else
            args.fail("unknown option " + arg);
    }
    if (o.controllers < 0 || o.controllers > 16 || o.seconds <= 0 || o.intervalMs < 0 || o.readSize < 1 ||
        o.readSize > 16384 || o.pairs < 0 || o.pairs > 1000)
        args.fail("values out of range");
    if (o.realBus && o.controllers != 0)
        args.fail("--real-bus takes no fake controllers");
    if (o.pairs > 0 && (o.realBus || o.rawReader))
        args.fail("--pairs runs both pollers on the fake bus");
    return o;
}

double seconds(const timespec &t)
{
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds(pthread_t thread)
{
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return 0;
    return seconds(t);
}

// The CPU time of any thread of this process, by its id: the kernel's per-thread scheduler clock,
// under the clock id that pthread_getcpuclockid makes for a thread.
double threadCpuSeconds(pid_t tid)
{
    const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec t{};
    return clock_gettime(clock, &t) == 0 ? seconds(t) : 0;
}

// The name of a thread of this process, without the newline; empty when it has ended.
std::string threadName(pid_t tid)
{
    char name[32] = {};
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/comm";
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        if (!std::fgets(name, sizeof name, file))
            name[0] = 0;
        std::fclose(file);
    }
    std::string text = name;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// The ids of the threads of this process, but the main thread and `poller`, named `name` or, with
// `others`, not.
std::vector<pid_t> threadIds(const std::string &name, bool others, pid_t poller)
{
    std::vector<pid_t> ids;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(dir)) {
            const auto id = static_cast<pid_t>(std::atoi(entry->d_name));
            if (entry->d_name[0] != '.' && id != getpid() && id != poller &&
                (threadName(id) == name) != others)
                ids.push_back(id);
        }
        closedir(dir);
    }
    return ids;
}

// The threads of a kind and their CPU time; a thread that ends meanwhile counts no more.
struct ThreadGroup {
    std::vector<pid_t> ids;
    double cpuSeconds() const
    {
        double total = 0;
        for (const pid_t id : ids)
            total += threadCpuSeconds(id);
        return total;
    }
};

double wallSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return seconds(t);
}

// The least a poller of the monitor's cadence does; see the head of this file.
class RawReader {
public:
    RawReader(const std::vector<std::unique_ptr<fakehid::SimulatedController>> &controllers, int readSize)
        : m_buffer(size_t(readSize))
    {
        for (const auto &controller : controllers)
            m_fds.push_back(open(controller->devnode().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        m_thread = std::thread([this] { run(); });
    }
    ~RawReader()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            close(fd);
    }
    bool opened() const { return std::find(m_fds.begin(), m_fds.end(), -1) == m_fds.end(); }
    double cpuSeconds() { return threadCpuSeconds(m_thread.native_handle()); }
    pid_t threadId() const { return m_threadId; }
    uint64_t passCount() const { return m_passes; }

private:
    void run()
    {
        m_threadId = gettid();
        while (!m_stop) {
            for (int fd : m_fds) {
                pollfd pfd{fd, POLLIN, 0};
                if (poll(&pfd, 1, 10) > 0 && read(fd, m_buffer.data(), m_buffer.size()) < 0 &&
                    errno != EAGAIN)
                    m_stop = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++m_passes;
        }
    }

    std::vector<int> m_fds;
    std::vector<uint8_t> m_buffer;
    std::atomic<bool> m_stop{false};
    std::atomic<pid_t> m_threadId{0};
    std::atomic<uint64_t> m_passes{0};
    std::thread m_thread;
};

// The monitor as the window has it, counting its scans and their CPU time on its own thread.
class CountingMonitor : public FlashHardware {
public:
    bool scan() override
    {
        const double before = threadCpuSeconds(pthread_self());
        const bool changed = FlashHardware::scan();
        // Read by the main thread while this one runs; a torn pair only shifts one scan.
        scanCpuSeconds = scanCpuSeconds + (threadCpuSeconds(pthread_self()) - before);
        ++scans;
        return changed;
    }

    std::atomic<int> scans{0};
    std::atomic<double> scanCpuSeconds{0};
};

qsizetype registered(FlashHardware &monitor)
{
    return monitor.deviceCount();
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// What one scan costs: the six enumerations of the scan filter table, on this bus, row by row (in
// `rows`, milliseconds); the mean of five.
double oneScanCpuSeconds(std::string &rows)
{
    std::array<double, scanFilters.size()> rowCpu{};
    constexpr int kScans = 5;
    for (int i = 0; i < kScans; ++i) {
        for (size_t r = 0; r < scanFilters.size(); ++r) {
            const double before = threadCpuSeconds(pthread_self());
            hid_free_enumeration(hid_enumerate(scanFilters[r].vendorId, scanFilters[r].productId));
            rowCpu[r] += (threadCpuSeconds(pthread_self()) - before) / kScans;
        }
    }
    double scanCpu = 0;
    for (const double cpu : rowCpu) {
        scanCpu += cpu;
        rows += (rows.empty() ? "" : ", ") + std::to_string(cpu * 1e3).substr(0, 5);
    }
    return scanCpu;
}

// The controllers of a run, plugged in on `bed`. A silent one (no interval) sends its first report
// and then none for as long as the run lasts.
std::vector<std::unique_ptr<fakehid::SimulatedController>> plugControllers(const Options &o,
                                                                           fakehid::Testbed &bed)
{
    std::vector<std::unique_ptr<fakehid::SimulatedController>> controllers;
    for (int i = 0; i < o.controllers; ++i) {
        fakehid::SimulatedControllerConfig config;
        config.number = i + 1;
        config.inputInterval =
            o.intervalMs > 0 ? std::chrono::milliseconds(o.intervalMs) : std::chrono::hours(24);
        controllers.push_back(std::make_unique<fakehid::SimulatedController>(bed, config));
    }
    return controllers;
}

int measure(const Options &o, fakehid::Testbed *bed)
{
    // On the real bus (no testbed) the controllers are whatever is plugged in.
    std::vector<std::unique_ptr<fakehid::SimulatedController>> controllers;
    if (bed != nullptr)
        controllers = plugControllers(o, *bed);

    std::string rows;
    const double scanCpu = oneScanCpuSeconds(rows);

    // The poller under measurement, and its thread's CPU time.
    std::unique_ptr<CountingMonitor> monitor;
    std::unique_ptr<RawReader> reader;
    std::atomic<pthread_t> monitorThread{};
    std::atomic<pid_t> pollerId{0};
    std::function<double()> pollerCpu;
    if (o.rawReader) {
        reader = std::make_unique<RawReader>(controllers, o.readSize);
        if (!reader->opened()) {
            std::fprintf(stderr, "bench_monitor_idle: cannot open the fake devices\n");
            return 1;
        }
        pollerCpu = [&] { return reader->cpuSeconds(); };
    } else {
        monitor = std::make_unique<CountingMonitor>();
        std::atomic<bool> started{false};
        QObject::connect(
            monitor.get(), &QThread::started, monitor.get(),
            [&] {
                monitorThread = pthread_self();
                pollerId = gettid();
                started = true;
            },
            Qt::DirectConnection);
        monitor->start();
        // The first pass scans; wait for it to register every controller.
        const double deadline = wallSeconds() + 30;
        while ((!started || registered(*monitor) < o.controllers) && wallSeconds() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (registered(*monitor) != o.controllers) {
            std::fprintf(stderr, "bench_monitor_idle: %lld of %d controllers registered\n",
                         static_cast<long long>(registered(*monitor)), o.controllers);
            monitor->stop();
            monitor->wait();
            return 1;
        }
        pollerCpu = [&] { return threadCpuSeconds(monitorThread); };
    }

    std::this_thread::sleep_for(std::chrono::seconds(1)); // past discovery and the first reports
    if (reader)
        pollerId = reader->threadId();
    const ThreadGroup controllerThreads{
        threadIds(fakehid::SimulatedController::kThreadName, false, pollerId)};
    const ThreadGroup testbedThreads{threadIds(fakehid::SimulatedController::kThreadName, true, pollerId)};
    const ThreadGroup mainThread{{getpid()}};

    const double wall0 = wallSeconds(), process0 = processCpuSeconds();
    const int scans0 = monitor ? monitor->scans.load() : 0;
    const double scanCpu0 = monitor ? monitor->scanCpuSeconds.load() : 0;
    const double poller0 = pollerCpu(), controllers0 = controllerThreads.cpuSeconds(),
                 testbed0 = testbedThreads.cpuSeconds(), main0 = mainThread.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const double wall = wallSeconds() - wall0, process = processCpuSeconds() - process0;
    const double pollerCpuUsed = pollerCpu() - poller0;
    const int scans = monitor ? monitor->scans - scans0 : 0;
    const double monitorScanCpu = monitor ? monitor->scanCpuSeconds - scanCpu0 : 0;
    const double controllersCpu = controllerThreads.cpuSeconds() - controllers0,
                 testbedCpu = testbedThreads.cpuSeconds() - testbed0,
                 mainCpu = mainThread.cpuSeconds() - main0;
    const qsizetype stillRegistered = monitor ? registered(*monitor) : o.controllers;

    if (monitor) {
        monitor->stop();
        monitor->wait();
    }
    reader.reset();

    const auto percent = [&](double cpu) { return 100.0 * cpu / wall; };
    const double rest = process - pollerCpuUsed;
    std::printf("%s idle, %d controller%s%s, %.1f s: process %.3f%% of one core "
                "(its thread %.3f%%, simulated controllers, fake devices and the rest %.3f%%)\n",
                o.rawReader ? "raw reader" : "monitor", o.controllers, o.controllers == 1 ? "" : "s",
                o.controllers == 0
                    ? (o.realBus ? " on this machine's bus" : " on an empty fake bus")
                    : (o.intervalMs > 0
                           ? (", a report every " + std::to_string(o.intervalMs) + " ms each").c_str()
                           : ", no reports"),
                wall, percent(process), percent(pollerCpuUsed), percent(rest));
    std::printf(
        "by thread: %s %.3f%%, simulated controllers %.3f%% (%zu threads), testbed %.3f%% (%zu threads: "
        "the fake devices' worker and GLib's), main %.3f%%, the rest %.3f%%\n",
        o.rawReader ? "raw reader" : "monitor", percent(pollerCpuUsed), percent(controllersCpu),
        controllerThreads.ids.size(), percent(testbedCpu), testbedThreads.ids.size(), percent(mainCpu),
        percent(rest - controllersCpu - testbedCpu - mainCpu));
    if (monitor)
        std::printf("the monitor's own scans: %d, %.3f%% (the rest of its thread %.3f%%)\n", scans,
                    percent(monitorScanCpu), percent(pollerCpuUsed - monitorScanCpu));
    std::printf("one scan of the %zu filter rows: %.2f ms of CPU (by row: %s ms)\n", scanFilters.size(),
                scanCpu * 1e3, rows.c_str());
    std::printf(
        "RESULT poller=%s read_size=%d controllers=%d interval_ms=%d real_bus=%d seconds=%.1f "
        "process_cpu_pct=%.3f "
        "poller_thread_cpu_pct=%.3f other_cpu_pct=%.3f controller_threads_cpu_pct=%.3f "
        "testbed_threads_cpu_pct=%.3f main_thread_cpu_pct=%.3f monitor_scans=%d monitor_scan_cpu_pct=%.3f "
        "registered=%lld scan_cpu_ms=%.2f\n",
        o.rawReader ? "raw" : "monitor", o.rawReader ? o.readSize : 16384, o.controllers,
        o.controllers ? o.intervalMs : 0, o.realBus ? 1 : 0, wall, percent(process), percent(pollerCpuUsed),
        percent(rest), percent(controllersCpu), percent(testbedCpu), percent(mainCpu), scans,
        percent(monitorScanCpu), static_cast<long long>(stillRegistered), scanCpu * 1e3);
    return stillRegistered == o.controllers ? 0 : 1;
}

// One window of a poller, after it has settled.
struct Window {
    double wall = 0, process = 0, poller = 0, scans = 0; // seconds
    uint64_t passes = 0;
};

// Starts a fresh monitor, waits for it to register every controller and settle, measures it for
// `seconds` and stops it. False when the controllers were not all registered.
bool monitorWindow(int controllers, double seconds, Window &w)
{
    CountingMonitor monitor;
    std::atomic<pthread_t> thread{};
    std::atomic<bool> started{false};
    QObject::connect(
        &monitor, &QThread::started, &monitor,
        [&] {
            thread = pthread_self();
            started = true;
        },
        Qt::DirectConnection);
    monitor.start();
    const double deadline = wallSeconds() + 30;
    while ((!started || registered(monitor) < controllers) && wallSeconds() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double wall0 = wallSeconds(), process0 = processCpuSeconds(), poller0 = threadCpuSeconds(thread);
    const double scans0 = monitor.scanCpuSeconds;
    const uint64_t passes0 = monitor.passCount();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    w.poller = threadCpuSeconds(thread) - poller0;
    w.process = processCpuSeconds() - process0;
    w.wall = wallSeconds() - wall0;
    w.scans = monitor.scanCpuSeconds - scans0;
    w.passes = monitor.passCount() - passes0;
    const bool all = registered(monitor) == controllers;
    monitor.stop();
    monitor.wait();
    return all;
}

bool rawWindow(const std::vector<std::unique_ptr<fakehid::SimulatedController>> &controllers, double seconds,
               Window &w)
{
    RawReader reader(controllers, 16384);
    if (!reader.opened())
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double wall0 = wallSeconds(), process0 = processCpuSeconds(), poller0 = reader.cpuSeconds();
    const uint64_t passes0 = reader.passCount();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    w.poller = reader.cpuSeconds() - poller0;
    w.process = processCpuSeconds() - process0;
    w.wall = wallSeconds() - wall0;
    w.passes = reader.passCount() - passes0;
    return true;
}

// --pairs: the monitor and the raw reader in turns over the same controllers.
int measurePairs(const Options &o, fakehid::Testbed &bed)
{
    auto controllers = plugControllers(o, bed);
    std::string rows;
    const double scanCpu = oneScanCpuSeconds(rows);
    const double scanPeriod = std::chrono::duration<double>(HardwareInterface::DefaultScanPeriod).count();
    std::vector<double> ratio, perPass, monitorPct, rawPct, monitorProcessPct, rawProcessPct, monitorRate,
        rawRate;
    for (int pair = 0; pair < o.pairs; ++pair) {
        Window m, r;
        bool ok = true;
        if (pair % 2 == 0) {
            ok = monitorWindow(o.controllers, o.seconds, m) && rawWindow(controllers, o.seconds, r);
        } else {
            ok = rawWindow(controllers, o.seconds, r) && monitorWindow(o.controllers, o.seconds, m);
        }
        if (!ok || m.passes == 0 || r.passes == 0 || r.poller <= 0) {
            std::fprintf(stderr, "bench_monitor_idle: pair %d: a poller did not run or lost a controller\n",
                         pair + 1);
            return 1;
        }
        const double monitorShare = (m.poller - m.scans) / m.wall, rawShare = r.poller / r.wall;
        ratio.push_back(monitorShare / rawShare);
        perPass.push_back(((m.poller - m.scans) / double(m.passes)) / (r.poller / double(r.passes)));
        monitorPct.push_back(100 * monitorShare);
        rawPct.push_back(100 * rawShare);
        monitorProcessPct.push_back(100 * m.process / m.wall);
        rawProcessPct.push_back(100 * r.process / r.wall);
        monitorRate.push_back(double(m.passes) / m.wall);
        rawRate.push_back(double(r.passes) / r.wall);
    }
    const paired::Spread ratioSpread = paired::spread(ratio), passSpread = paired::spread(perPass);
    const auto median = [](const std::vector<double> &v) { return paired::spread(v).median; };
    std::printf(
        "monitor against raw reader, %d controller%s, %d pairs of %.1f s: monitor thread less its "
        "scans %.3f%%, raw reader %.3f%%, ratio %.2f (95%% range %.2f-%.2f); per pass %.2f "
        "(%.2f-%.2f), passes a second %.1f against %.1f; one scan %.2f ms of CPU, every %.0f s: %.3f%%\n",
        o.controllers, o.controllers == 1 ? "" : "s", o.pairs, o.seconds, median(monitorPct), median(rawPct),
        ratioSpread.median, ratioSpread.low, ratioSpread.high, passSpread.median, passSpread.low,
        passSpread.high, median(monitorRate), median(rawRate), scanCpu * 1e3, scanPeriod,
        100 * scanCpu / scanPeriod);
    std::printf("RESULT pairs=%d controllers=%d seconds=%.1f ratio=%.3f ratio_low=%.3f ratio_high=%.3f "
                "per_pass_ratio=%.3f per_pass_low=%.3f per_pass_high=%.3f monitor_cpu_pct=%.3f "
                "raw_cpu_pct=%.3f monitor_process_pct=%.3f raw_process_pct=%.3f monitor_passes_per_s=%.1f "
                "raw_passes_per_s=%.1f scan_cpu_ms=%.2f scan_share_pct=%.3f\n",
                o.pairs, o.controllers, o.seconds, ratioSpread.median, ratioSpread.low, ratioSpread.high,
                passSpread.median, passSpread.low, passSpread.high, median(monitorPct), median(rawPct),
                median(monitorProcessPct), median(rawProcessPct), median(monitorRate), median(rawRate),
                scanCpu * 1e3, 100 * scanCpu / scanPeriod);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    if (options.realBus) {
        QCoreApplication app(argc, argv);
        qInstallMessageHandler(dropMessage);
        return measure(options, nullptr);
    }
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed;
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropMessage);
    return options.pairs > 0 ? measurePairs(options, bed) : measure(options, &bed);
}

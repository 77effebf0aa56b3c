// The firmware transfer's own cost. An image (1 MiB unless --image-kib says otherwise) goes to a fake
// bootloader with 65-byte feature reports through InputDevice::flashFirmware; the same number of bare
// HIDIOCSFEATURE calls of 65 bytes goes to the same fake device in the same run. The difference per block is
// what the transfer adds to the kernel call: reading the file, filling and zeroing the block buffer, the HID
// layer's checks, the debug line and the progress signal. The budget is 5% of the bare calls.
//
// Each fake call is a round trip to umockdev's worker thread, so the wall-clock times carry the
// scheduling noise of the machine; the calling thread's CPU time is reported beside them. The
// process keeps to one CPU, the worker thread included: each call is then a switch to that thread
// and back. Spread over two CPUs, the worker wakes on the other one after a delay that grows with
// how long it slept, so the few microseconds of the transfer's own work between two calls moved
// the round trip by as much again, and the ratio measured the fake device's wake-ups.
// The debug lines are formatted as in the program and then dropped, so that the terminal's speed
// is not measured.
//
// Beside Google Benchmark's options it takes --pairs N, the number of pairs of runs (default 10),
// and --image-kib K, the image's size (default 1024). Many pairs of smaller images judge the
// overhead better than a few of whole ones: each pair's two sides then share the machine's state
// for a shorter while, and the median of many pairs' ratios stands still where a few move.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "fake_hidraw.h"
#include "paired.h"

namespace {

constexpr size_t kReportLength = 65;
size_t g_imageSize = 1 << 20;
size_t blocks()
{
    return (g_imageSize + kReportLength - 2) / (kReportLength - 1);
}

// A bootloader: a joystick collection with 64 vendor feature bytes, no report IDs.
const fakehid::Bytes kBootloaderDescriptor = {0x05, 0x01, 0x09, 0x04, 0xa1, 0x01, 0x05, 0x09, 0x19, 0x01,
                                              0x29, 0x08, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,
                                              0x81, 0x02, 0x06, 0x00, 0xff, 0x09, 0x01, 0x15, 0x00, 0x26,
                                              0xff, 0x00, 0x75, 0x08, 0x95, 0x40, 0xb1, 0x02, 0xc0};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_transfer: %s\n", what);
    std::exit(1);
}

struct Bench {
    fakehid::FakeHidraw *device = nullptr;
    InputDevice *input = nullptr;
    QString imageFile;
    int fd = -1;
};
Bench g_bench;

void transfer()
{
    if (!g_bench.input->flashFirmware(g_bench.imageFile))
        fail("the transfer failed");
}

void bareFeatureCalls()
{
    unsigned char report[kReportLength] = {};
    const size_t count = blocks();
    for (size_t block = 0; block < count; ++block) {
        report[1] = static_cast<unsigned char>(block);
        if (ioctl(g_bench.fd, HIDIOCSFEATURE(kReportLength), report) < 0)
            fail("HIDIOCSFEATURE failed");
    }
}

// CPU time of the calling thread: the transfer's own work and the system calls it makes, without
// the time spent waiting for the device's answer, which other work on a busy machine stretches.
std::chrono::nanoseconds threadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

struct Sample {
    double wall = 0, cpu = 0; // microseconds per block
};

template <typename F> Sample measure(F &&run)
{
    using Clock = std::chrono::steady_clock;
    const auto wallStart = Clock::now();
    const auto cpuStart = threadCpuTime();
    run();
    const auto cpu = threadCpuTime() - cpuStart;
    const auto wall = Clock::now() - wallStart;
    const auto us = [](auto d) { return std::chrono::duration<double, std::micro>(d).count(); };
    return {us(wall) / double(blocks()), us(cpu) / double(blocks())};
}

double minimum(const std::vector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

// Pairs of runs, the two sides back to back and in turns first. The median of the pairs' ratios is
// judged, with the range it lies in with 95 % confidence as its spread (paired.h); the fastest run
// of each side is shown beside it.
void transferAgainstBareCalls(benchmark::State &state)
{
    const int pairs = int(state.range(0));
    std::vector<double> transferWall, bareWall, transferCpu, bareCpu, wallRatio;
    for (auto _ : state) {
        for (int pair = 0; pair < pairs; ++pair) {
            Sample t, b;
            if (pair % 2 == 0) {
                t = measure(transfer);
                b = measure(bareFeatureCalls);
            } else {
                b = measure(bareFeatureCalls);
                t = measure(transfer);
            }
            transferWall.push_back(t.wall);
            bareWall.push_back(b.wall);
            transferCpu.push_back(t.cpu);
            bareCpu.push_back(b.cpu);
            wallRatio.push_back(t.wall / b.wall);
        }
    }
    state.counters["transfer_us_min"] = minimum(transferWall);
    state.counters["bare_us_min"] = minimum(bareWall);
    state.counters["extra_pct_min"] = 100.0 * (minimum(transferWall) / minimum(bareWall) - 1.0);
    const paired::Spread ratio = paired::spread(wallRatio);
    state.counters["extra_pct_median_pair"] = 100.0 * (ratio.median - 1.0);
    state.counters["extra_pct_low"] = 100.0 * (ratio.low - 1.0);
    state.counters["extra_pct_high"] = 100.0 * (ratio.high - 1.0);
    state.counters["extra_pct_quartile1"] = 100.0 * (ratio.quartile1 - 1.0);
    state.counters["extra_pct_quartile3"] = 100.0 * (ratio.quartile3 - 1.0);
    state.counters["pairs"] = double(wallRatio.size());
    state.counters["cpu_transfer_us_min"] = minimum(transferCpu);
    state.counters["cpu_bare_us_min"] = minimum(bareCpu);
    state.counters["cpu_extra_pct_min"] = 100.0 * (minimum(transferCpu) / minimum(bareCpu) - 1.0);
}

// Takes "NAME N" out of the arguments; N, or `otherwise` without it.
int takeOption(int &argc, char **argv, const char *name, int otherwise)
{
    int value = otherwise;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) != 0)
            continue;
        if (i + 1 >= argc || (value = std::atoi(argv[i + 1])) < 1)
            fail("--pairs and --image-kib take a number, 1 or more");
        for (int j = i + 2; j <= argc; ++j)
            argv[j - 2] = argv[j];
        argc -= 2;
        break;
    }
    return value;
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// Before the testbed starts its thread, which inherits the mask.
void keepToOneCpu()
{
    const int cpu = sched_getcpu();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu < 0 ? 0 : cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0)
        std::perror("bench_transfer: running on every CPU; cannot keep to one");
}

} // namespace

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    const int pairs = takeOption(argc, argv, "--pairs", 10);
    g_imageSize = size_t(takeOption(argc, argv, "--image-kib", 1024)) * 1024;
    keepToOneCpu();
    fakehid::Testbed bed;
    fakehid::DeviceConfig config;
    config.product = config.hidName = "Bootloader";
    config.reportDescriptor = kBootloaderDescriptor;
    auto device = std::make_unique<fakehid::FakeHidraw>(bed, config);
    g_bench.device = device.get();

    QTemporaryDir dir;
    g_bench.imageFile = dir.filePath(QStringLiteral("image.bin"));
    QFile file(g_bench.imageFile);
    QByteArray image(qsizetype(g_imageSize), Qt::Uninitialized);
    for (size_t i = 0; i < g_imageSize; ++i)
        image[qsizetype(i)] = char(i * 13 + i / 256);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        fail("cannot write the image");
    file.close();

    auto *input = new InputDevice(new AbstractHardware);
    input->attach(hid_open_path(device->devnode.c_str()), device->devnode.c_str());
    if (input->handle() == nullptr || !input->describe())
        fail("cannot open the fake bootloader");
    if (input->caps().FeatureReportByteLength != kReportLength)
        fail("the fake bootloader has the wrong feature report length");
    g_bench.input = input;
    g_bench.fd = open(device->devnode.c_str(), O_RDWR | O_CLOEXEC);
    if (g_bench.fd < 0)
        fail("cannot open the fake device node");

    qInstallMessageHandler(dropMessage);
    benchmark::RegisterBenchmark("transferAgainstBareCalls", transferAgainstBareCalls)
        ->Arg(pairs)
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    qInstallMessageHandler(nullptr);

    close(g_bench.fd);
    hid_free_preparsed_data(input->handle(), input->preparsedData());
    delete input;
    device.reset();
    return 0;
}

// The firmware transfer's own cost. A 1 MiB image goes to a fake bootloader with 65-byte feature
// reports through InputDevice::flashFirmware; the same number of bare HIDIOCSFEATURE calls of
// 65 bytes goes to the same fake device in the same run. The difference per block is what the
// transfer adds to the kernel call: reading the file, filling and zeroing the block buffer, the
// HID layer's checks, the debug line and the progress signal. The budget is 5% of the bare calls.
//
// The debug lines are formatted as in the program and then dropped, so that the terminal's
// speed is not measured.
#include <benchmark/benchmark.h>

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "device/inputdevice.h"
#include "fake_hidraw.h"
#include "monitor/abstracthardware.h"

namespace {

constexpr size_t kImageSize = 1 << 20;
constexpr size_t kReportLength = 65;
constexpr size_t kBlocks = (kImageSize + kReportLength - 2) / (kReportLength - 1);

// A bootloader: a joystick collection with 64 vendor feature bytes, no report IDs.
const fakehid::Bytes kBootloaderDescriptor = {0x05, 0x01, 0x09, 0x04, 0xa1, 0x01, 0x05, 0x09, 0x19, 0x01,
                                              0x29, 0x08, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,
                                              0x81, 0x02, 0x06, 0x00, 0xff, 0x09, 0x01, 0x15, 0x00, 0x26,
                                              0xff, 0x00, 0x75, 0x08, 0x95, 0x40, 0xb1, 0x02, 0xc0};

struct Bench {
    fakehid::FakeHidraw *device = nullptr;
    InputDevice *input = nullptr;
    QString imageFile;
    int fd = -1;
};
Bench g_bench;

void counters(benchmark::State &state)
{
    state.counters["blocks"] = double(kBlocks);
    state.counters["per_block"] = benchmark::Counter(
        double(kBlocks), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void transfer(benchmark::State &state)
{
    for (auto _ : state) {
        if (!g_bench.input->flashFirmware(g_bench.imageFile))
            state.SkipWithError("the transfer failed");
    }
    counters(state);
}

void bareFeatureCalls(benchmark::State &state)
{
    unsigned char report[kReportLength] = {};
    for (auto _ : state) {
        for (size_t block = 0; block < kBlocks; ++block) {
            report[1] = static_cast<unsigned char>(block);
            if (ioctl(g_bench.fd, HIDIOCSFEATURE(kReportLength), report) < 0)
                state.SkipWithError("HIDIOCSFEATURE failed");
        }
    }
    counters(state);
}

// On a busy machine add --benchmark_enable_random_interleaving=true, so that a change of load
// meets both sides alike.
BENCHMARK(transfer)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(5);
BENCHMARK(bareFeatureCalls)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(5);

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_transfer: %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed;
    fakehid::DeviceConfig config;
    config.product = config.hidName = "Bootloader";
    config.reportDescriptor = kBootloaderDescriptor;
    auto device = std::make_unique<fakehid::FakeHidraw>(bed, config);
    g_bench.device = device.get();

    QTemporaryDir dir;
    g_bench.imageFile = dir.filePath(QStringLiteral("image.bin"));
    QFile file(g_bench.imageFile);
    QByteArray image(kImageSize, Qt::Uninitialized);
    for (size_t i = 0; i < kImageSize; ++i)
        image[qsizetype(i)] = char(i * 13 + i / 256);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        fail("cannot write the image");
    file.close();

    auto *input = new InputDevice(new AbstractHardware);
    input->handle = hid_open_path(device->devnode.c_str());
    if (input->handle == nullptr || hid_get_preparsed_data(input->handle, &input->preparsedData) < 0 ||
        hid_get_caps(input->handle, input->preparsedData, &input->caps) < 0)
        fail("cannot open the fake bootloader");
    if (input->caps.FeatureReportByteLength != kReportLength)
        fail("the fake bootloader has the wrong feature report length");
    g_bench.input = input;
    g_bench.fd = open(device->devnode.c_str(), O_RDWR | O_CLOEXEC);
    if (g_bench.fd < 0)
        fail("cannot open the fake device node");

    qInstallMessageHandler(dropMessage);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    qInstallMessageHandler(nullptr);

    close(g_bench.fd);
    hid_free_preparsed_data(input->handle, input->preparsedData);
    delete input;
    device.reset();
    return 0;
}

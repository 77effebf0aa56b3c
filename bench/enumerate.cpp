// One enumeration of one hidraw node on the fake hidraw testbed: hid_enumerate filtered to the
// node's vendor and product, and hid_free_enumeration. The worst node carries a 4 KiB descriptor of
// 255 top-level collections, the most the layer lists; beside it a plain joystick node shows what
// the testbed itself charges for an enumeration (libudev walking the fake sysfs, through
// umockdev's preload library). Google Benchmark's CPU time is the calling thread's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fake_hidraw.h"
#include "hid.h"
#include "paired.h"
#include "test_descriptors.h"
#include "worst_cases.h"

namespace {

constexpr uint16_t kWorstProduct = 0x00F1, kJoystickProduct = 0x00F2;

void enumerateLoop(benchmark::State &state, uint16_t product, size_t expectedRecords)
{
    size_t records = 0;
    for (auto _ : state) {
        hid_device_info *list = hid_enumerate(0x1209, product);
        records = 0;
        for (hid_device_info *d = list; d; d = d->next)
            ++records;
        hid_free_enumeration(list);
    }
    if (records != expectedRecords)
        state.SkipWithError("the enumeration did not list one record per collection");
    state.counters["records"] = double(records);
}

void BM_EnumerateWorstNode(benchmark::State &state)
{
    enumerateLoop(state, kWorstProduct, 255);
}
BENCHMARK(BM_EnumerateWorstNode)->Unit(benchmark::kMicrosecond);

void BM_EnumerateJoystickNode(benchmark::State &state)
{
    enumerateLoop(state, kJoystickProduct, 1);
}
BENCHMARK(BM_EnumerateJoystickNode)->Unit(benchmark::kMicrosecond);

// The budget's figure: what the worst node costs beyond the plain one, in interleaved pairs of one
// enumeration each (see paired.h), with the range the median difference lies in.
void BM_PairWorstBeyondJoystickNode(benchmark::State &state)
{
    const auto enumerate = [](uint16_t product) {
        return [product] { hid_free_enumeration(hid_enumerate(0x1209, product)); };
    };
    paired::Result r;
    for (auto _ : state)
        r = paired::run(int(state.range(0)), 1, enumerate(kWorstProduct), 1, enumerate(kJoystickProduct));
    state.counters["extra_us"] = r.difference.median / 1e3;
    state.counters["extra_low_us"] = r.difference.low / 1e3;
    state.counters["extra_high_us"] = r.difference.high / 1e3;
    state.counters["worst_us"] = r.aNs / 1e3;
    state.counters["plain_us"] = r.bNs / 1e3;
}
BENCHMARK(BM_PairWorstBeyondJoystickNode)->Arg(301)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed;
    fakehid::DeviceConfig worst;
    worst.pid = kWorstProduct;
    worst.reportDescriptor = worstcase::collections255();
    fakehid::DeviceConfig joystick;
    joystick.pid = kJoystickProduct;
    joystick.reportDescriptor = fakehid::descriptors::joystickWithIds;
    auto worstNode = std::make_unique<fakehid::FakeHidraw>(bed, worst);
    auto joystickNode = std::make_unique<fakehid::FakeHidraw>(bed, joystick);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    worstNode.reset();
    joystickNode.reset();
    return 0;
}

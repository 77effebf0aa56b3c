// One monitor poll step of a 16-button, 6-axis, 1-hat joystick that always has a report waiting.
// The HID layer is the scripted in-process one of the core tests, whose read is a plain copy of a
// prepared report and whose queries are table look-ups, so the time measured is the device's own
// decode and change detection. Heap allocations are counted by replacing the global operator new.
#include <benchmark/benchmark.h>

#include "counting_new.h"
#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "scriptedhid.h"

static void pollStep(benchmark::State &state)
{
    using namespace scripted;
    reset();
    Device stick = joystick(
        "/dev/hidraw1", {{1, 0x30}, {1, 0x31}, {1, 0x32}, {1, 0x33}, {1, 0x34}, {1, 0x35}, {1, 0x39}}, 16);
    // Two reports in turn, so every step changes buttons, axes and the hat.
    stick.steadyReports = {{0, 10, 20, 30, 40, 50, 60, 0, 0x55, 0xAA},
                           {0, 11, 21, 31, 41, 51, 61, 4, 0xAA, 0x55}};
    devices().push_back(stick);

    InputDevice device(new AbstractHardware);
    device.attach(hid_open_path("/dev/hidraw1"), "/dev/hidraw1");
    device.describe();
    device.poll(); // the first step compares with the cleared state

    const long before = countingnew::allocations.load();
    for (auto _ : state)
        benchmark::DoNotOptimize(device.poll());
    const long allocations = countingnew::allocations.load() - before;
    state.counters["allocations"] = double(allocations);
    state.counters["allocations_per_step"] =
        benchmark::Counter(double(allocations), benchmark::Counter::kAvgIterations);
    hid_free_preparsed_data(device.handle(), device.preparsedData());
}
BENCHMARK(pollStep);

BENCHMARK_MAIN();

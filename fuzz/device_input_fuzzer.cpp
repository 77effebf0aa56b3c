// A controller's input path: a report descriptor and a stream of input reports, through the device's
// description queries, as discovery runs them, and its read, decode and change signals, on the
// scripted HID layer (tests/support/scriptedhid.h) with a device described by the descriptor, so the
// real parser answers.
//
// Input: a two-byte little-endian descriptor length, the descriptor (cut at the end of the input),
// then a sequence of report records: a two-byte little-endian length, then that many report bytes
// (cut at the end of the input). A record of length 0 is a read that times out; after the last
// record every read fails, as when the device is unplugged.
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "scriptedhid.h"

namespace {

// Polls per input; the stream usually ends first.
constexpr int kMaxPolls = 256;

constexpr const char *kDevicePath = "/dev/hidraw0";

volatile uint32_t sink;

// Every byte a listener may read: the report handed over and the device's work area.
uint32_t touch(const uint8_t *data, uint32_t bytes)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < bytes; ++i)
        sum += data[i];
    return sum;
}

struct Behaviour : AbstractHardware {
    uint8_t *area = nullptr;
    void setBuffers(uint8_t *buffers) override { area = buffers; }
    void processInput(uint8_t *data, uint32_t bytes) override
    {
        if (bytes > InputDevice::ReportSize)
            __builtin_trap(); // listeners read the report from the device's fixed buffer
        sink = touch(data, bytes) + touch(area, InputDevice::HardwareAreaSize);
    }
};

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// The device the input describes: its descriptor and its reads.
void serve(const uint8_t *descriptor, size_t descriptorSize, const uint8_t *stream, size_t streamSize)
{
    scripted::reset();
    scripted::Device device;
    device.path = kDevicePath;
    device.descriptor.assign(descriptor, descriptor + descriptorSize);
    size_t position = 0;
    while (position + 2 <= streamSize) {
        size_t length = size_t(stream[position]) | size_t(stream[position + 1]) << 8;
        position += 2;
        length = std::min(length, streamSize - position);
        if (length == 0)
            device.reads.push_back(scripted::Read::timeout());
        else
            device.reads.push_back(scripted::Read::data({stream + position, stream + position + length}));
        position += length;
    }
    device.reads.push_back(scripted::Read::failure());
    scripted::devices().push_back(std::move(device));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t descriptorSize = std::min(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
    const uint8_t *descriptor = data + 2;
    serve(descriptor, descriptorSize, descriptor + descriptorSize, size - 2 - descriptorSize);

    hid_device *handle = hid_open_path(kDevicePath);
    if (handle == nullptr)
        return 0;
    InputDevice device(new Behaviour);
    device.attach(handle, kDevicePath);
    QObject::connect(&device, &InputDevice::inputEvent, [](uchar *report, uint bytes) {
        if (bytes > InputDevice::ReportSize)
            __builtin_trap();
        sink = touch(report, bytes);
    });
    QObject::connect(&device, &InputDevice::buttonEvent,
                     [](uint index, bool value) { sink = index + value; });
    QObject::connect(&device, &InputDevice::analogEvent, [](uint index, int value, int usage) {
        sink = index + uint32_t(value) + uint32_t(usage);
    });

    if (device.describe()) {
        // Discovery's acceptance read, then the monitor's polls.
        if (device.readInput()) {
            for (int i = 0; i < kMaxPolls && device.poll(); ++i) {
            }
        }
    }
    if (device.preparsedData() != nullptr)
        hid_free_preparsed_data(device.handle(), device.preparsedData());
    return 0;
}

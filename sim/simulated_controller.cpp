#include "simulated_controller.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace fakehid {

namespace simulated {

// Joystick: 16 buttons, X, Y, Z and Rz of 16 bits each (input report of 10 bytes); 53 vendor
// feature bytes. No report IDs.
const Bytes applicationDescriptor = {
    0x05, 0x01, 0x09, 0x04, 0xa1, 0x01,                         // Generic Desktop, Joystick, Application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x15, 0x00, 0x25, 0x01, // Buttons 1..16, 0..1
    0x75, 0x01, 0x95, 0x10, 0x81, 0x02,                         // 16 x 1 bit, Input
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35, // X, Y, Z, Rz
    0x16, 0x00, 0x80, 0x26, 0xff, 0x7f,                         // -32768..32767
    0x75, 0x10, 0x95, 0x04, 0x81, 0x02,                         // 4 x 16 bits, Input
    0x06, 0x00, 0xff, 0x09, 0x01, 0x15, 0x00, 0x26, 0xff, 0x00, // vendor usage, 0..255
    0x75, 0x08, 0x95, 0x35, 0xb1, 0x02,                         // 53 x 8 bits, Feature
    0xc0};

// The bootloader stays a joystick collection (8 idle buttons) so that the flasher lists it; its
// feature report carries 64 image bytes.
const Bytes bootloaderDescriptor = {
    0x05, 0x01, 0x09, 0x04, 0xa1, 0x01,                         // Generic Desktop, Joystick, Application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x15, 0x00, 0x25, 0x01, // Buttons 1..8, 0..1
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02,                         // 8 x 1 bit, Input
    0x06, 0x00, 0xff, 0x09, 0x01, 0x15, 0x00, 0x26, 0xff, 0x00, // vendor usage, 0..255
    0x75, 0x08, 0x95, 0x40, 0xb1, 0x02,                         // 64 x 8 bits, Feature
    0xc0};

} // namespace simulated

namespace {

constexpr const char *kManufacturer = "Example Controls";
constexpr const char *kApplicationProduct = "Sim Flight Stick";
constexpr const char *kBootloaderProduct = "Bootloader";
constexpr uint8_t kBootloaderCommand[] = {0x00, 0xDE, 0xFA, 0xCE};
constexpr size_t kQueuedInputLimit = 2; // a reader that lags behind gets fresh reports, not a backlog

// The testbed and its index counter are not meant for several threads; every controller plugs
// and unplugs through this lock.
std::mutex &testbedLock()
{
    static std::mutex lock;
    return lock;
}

bool isBootloaderCommand(const Bytes &report)
{
    return report.size() == simulated::applicationFeatureLength &&
           std::equal(std::begin(kBootloaderCommand), std::end(kBootloaderCommand), report.begin());
}

void putInt16(Bytes &report, size_t offset, int value)
{
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(value));
    report[offset] = static_cast<uint8_t>(v & 0xff);
    report[offset + 1] = static_cast<uint8_t>(v >> 8);
}

} // namespace

SimulatedController::SimulatedController(Testbed &bed, SimulatedControllerConfig config,
                                         std::function<void(const ControllerEvent &)> onEvent)
    : m_bed(bed), m_cfg(config), m_onEvent(std::move(onEvent))
{
    plugIn(Role::Application);
    m_thread = std::thread([this] { run(); });
    // Named so that a profile or a per-thread CPU measurement tells it from the testbed's threads.
    pthread_setname_np(m_thread.native_handle(), kThreadName);
}

SimulatedController::~SimulatedController()
{
    {
        std::lock_guard<std::mutex> lock(m_mx);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
    unplugCurrent();
    std::lock_guard<std::mutex> lock(testbedLock());
    m_retired.clear();
}

std::string SimulatedController::serial() const
{
    if (m_cfg.withoutSerial)
        return {};
    if (!m_cfg.serialText.empty())
        return m_cfg.serialText;
    char text[16];
    snprintf(text, sizeof text, "SIM-%04d", m_cfg.number);
    return text;
}

SimulatedController::Mode SimulatedController::mode()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_mode;
}

uint16_t SimulatedController::release()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_release;
}

std::string SimulatedController::devnode()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_devnode;
}

Bytes SimulatedController::lastImage()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_lastImage;
}

int SimulatedController::completedImages()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_completedImages;
}

int SimulatedController::bootloaderCommands()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_bootloaderCommands;
}

int SimulatedController::judgeFeatureReport(Role role, const Bytes &report)
{
    std::vector<ControllerEvent> events;
    int error;
    {
        std::lock_guard<std::mutex> lock(m_mx);
        const bool onBus = role == Role::Application
                               ? (m_mode == Mode::Application || m_mode == Mode::Silent)
                               : (m_mode == Mode::Bootloader || m_mode == Mode::Rebooting);
        if (!onBus) // the device is leaving the bus
            return ENODEV;
        error =
            role == Role::Application ? judgeApplicationReport(report, events) : judgeBlock(report, events);
    }
    m_cv.notify_all();
    emitEvents(events);
    return error;
}

int SimulatedController::judgeApplicationReport(const Bytes &report, std::vector<ControllerEvent> &events)
{
    if (report.size() != simulated::applicationFeatureLength || report[0] != 0) {
        events.push_back({ControllerEvent::ReportRefused, 0, report.size()});
        return EINVAL;
    }
    if (!isBootloaderCommand(report)) {
        events.push_back({ControllerEvent::OtherFeatureReport, 0, report.size()});
        return 0;
    }
    ++m_bootloaderCommands;
    events.push_back({ControllerEvent::BootloaderCommand});
    if (m_mode != Mode::Application)
        return 0;
    if (m_cfg.silentAfterBootloaderCommand) {
        m_mode = Mode::Silent;
        return 0;
    }
    const auto now = Clock::now();
    m_mode = Mode::Restarting;
    m_unplugAt = now;
    m_bootloaderAt = now + m_cfg.restartDelay;
    return 0;
}

int SimulatedController::judgeBlock(const Bytes &report, std::vector<ControllerEvent> &events)
{
    if (report.size() != simulated::bootloaderFeatureLength || report[0] != 0 || m_mode == Mode::Rebooting) {
        events.push_back({ControllerEvent::ReportRefused, 0, report.size()});
        return report.size() == simulated::bootloaderFeatureLength && report[0] == 0 ? EPIPE : EINVAL;
    }
    const int block = m_blocks + 1;
    if (block == m_cfg.vanishAtBlock) {
        m_mode = Mode::Vanished;
        m_unplugAt = Clock::now();
        m_imageEndsAt.reset();
        events.push_back({ControllerEvent::Vanished, block});
        return ENODEV;
    }
    if (block == m_cfg.refuseBlock && !m_refusalDone) {
        m_refusalDone = true;
        m_blocks = 0;
        m_image.clear();
        m_imageEndsAt.reset();
        events.push_back({ControllerEvent::BlockRefused, block});
        return EPIPE;
    }
    m_blocks = block;
    size_t take = simulated::blockDataLength;
    if (m_cfg.imageSize)
        take = std::min(take, *m_cfg.imageSize - m_image.size());
    m_image.insert(m_image.end(), report.begin() + 1, report.begin() + 1 + static_cast<ptrdiff_t>(take));
    events.push_back({ControllerEvent::Block, block, take});
    if (!m_cfg.imageSize)
        m_imageEndsAt = Clock::now() + m_cfg.rebootDelay;
    else if (m_image.size() == *m_cfg.imageSize)
        completeImage(events);
    return 0;
}

// The image is in; the controller leaves the bus and comes back with the new firmware. With a
// known image size it first waits the reboot delay; after a quiet period that wait is over.
void SimulatedController::completeImage(std::vector<ControllerEvent> &events)
{
    const auto now = Clock::now();
    m_lastImage = std::move(m_image);
    m_image.clear();
    ++m_completedImages;
    ControllerEvent complete{ControllerEvent::ImageComplete};
    complete.bytes = m_lastImage.size();
    complete.image = m_lastImage;
    events.push_back(std::move(complete));
    m_mode = Mode::Rebooting;
    m_release = simulated::updatedRelease;
    m_imageEndsAt.reset();
    m_unplugAt = m_cfg.imageSize ? now + m_cfg.rebootDelay : now;
    m_applicationAt = *m_unplugAt + m_cfg.restartDelay;
}

void SimulatedController::run()
{
    auto nextInput = Clock::now();
    std::unique_lock<std::mutex> lock(m_mx);
    while (!m_stop) {
        const auto now = Clock::now();
        auto due = [&](std::optional<Clock::time_point> &at) {
            const bool isDue = at && *at <= now;
            if (isDue)
                at.reset();
            return isDue;
        };
        std::vector<ControllerEvent> events;
        if (due(m_imageEndsAt) && m_mode == Mode::Bootloader)
            completeImage(events);
        const bool unplug = due(m_unplugAt);
        const bool bootloaderUp = due(m_bootloaderAt);
        const bool applicationUp = due(m_applicationAt);
        if (bootloaderUp) { // each start of the bootloader begins a new image
            m_mode = Mode::Bootloader;
            m_blocks = 0;
            m_image.clear();
        } else if (applicationUp) {
            m_mode = Mode::Application;
        }
        const bool input = m_mode == Mode::Application && nextInput <= now;
        lock.unlock();

        emitEvents(events);
        if (unplug)
            unplugCurrent();
        if (bootloaderUp || applicationUp) {
            plugIn(bootloaderUp ? Role::Bootloader : Role::Application);
            ControllerEvent up{bootloaderUp ? ControllerEvent::BootloaderUp : ControllerEvent::ApplicationUp};
            up.devnode = devnode();
            up.release = bootloaderUp ? simulated::bootloaderRelease : release();
            emitEvents({up});
        }
        if (input) {
            sendInput();
            nextInput = now + m_cfg.inputInterval;
        }

        lock.lock();
        auto wake = Clock::time_point::max();
        for (const auto &at : {m_imageEndsAt, m_unplugAt, m_bootloaderAt, m_applicationAt})
            if (at)
                wake = std::min(wake, *at);
        if (m_mode == Mode::Application)
            wake = std::min(wake, nextInput);
        if (m_stop)
            break;
        if (wake == Clock::time_point::max())
            m_cv.wait(lock);
        else
            m_cv.wait_until(lock, wake);
    }
}

void SimulatedController::plugIn(Role role)
{
    const bool application = role == Role::Application;
    DeviceConfig config;
    config.vid = simulated::vendorId;
    config.pid = m_cfg.productId;
    config.bcdDevice = application ? release() : simulated::bootloaderRelease;
    const std::string product = application ? kApplicationProduct : kBootloaderProduct;
    // The product text alone, where the kernel would prefix the maker: wine answers the kernel's
    // name as the product string, while Windows answers the device's own product string, which
    // is what tells a bootloader ("Bootloader") from the application.
    config.hidName = product;
    config.hidUniq = serial();
    config.manufacturer = kManufacturer;
    config.product = product;
    config.serial = m_cfg.withoutSerial ? std::nullopt : std::optional<std::string>(serial());
    config.usbPort = m_cfg.usbPort.empty() ? "1-" + std::to_string(m_cfg.number) : m_cfg.usbPort;
    config.reportDescriptor =
        application ? simulated::applicationDescriptor : simulated::bootloaderDescriptor;
    config.featureSetFilter = [this, role](const Bytes &report) { return judgeFeatureReport(role, report); };
    {
        // A node name cannot be added twice to a testbed, so each appearance takes a fresh index,
        // as the kernel may also give a re-enumerated device a new hidraw number.
        std::lock_guard<std::mutex> lock(testbedLock());
        m_device = std::make_shared<FakeHidraw>(m_bed, std::move(config));
    }
    std::lock_guard<std::mutex> lock(m_mx);
    m_devnode = m_device->devnode;
}

void SimulatedController::unplugCurrent()
{
    if (!m_device)
        return;
    {
        std::lock_guard<std::mutex> lock(testbedLock());
        m_device->unplug();
    }
    m_retired.push_back(std::move(m_device));
    m_device.reset();
    std::lock_guard<std::mutex> lock(m_mx);
    m_devnode.clear();
}

// Axes on circles and ramps and one button at a time walking along the row, so that every read
// of a running monitor sees something change.
void SimulatedController::sendInput()
{
    if (!m_device || m_device->queuedInput() >= kQueuedInputLimit)
        return;
    const double t = m_tick++ * 0.05;
    Bytes report(10, 0);
    const unsigned button = (m_tick / 10) % 16;
    report[0] = static_cast<uint8_t>(button < 8 ? 1u << button : 0);
    report[1] = static_cast<uint8_t>(button >= 8 ? 1u << (button - 8) : 0);
    putInt16(report, 2, static_cast<int>(30000 * std::sin(t)));
    putInt16(report, 4, static_cast<int>(30000 * std::cos(t)));
    putInt16(report, 6, static_cast<int>((m_tick * 331) % 65536) - 32768);
    putInt16(report, 8, static_cast<int>(20000 * std::sin(t / 3)));
    m_device->injectInput(report);
}

void SimulatedController::emitEvents(const std::vector<ControllerEvent> &events)
{
    if (!m_onEvent)
        return;
    std::lock_guard<std::mutex> lock(m_eventMx);
    for (const ControllerEvent &event : events)
        m_onEvent(event);
}

} // namespace fakehid

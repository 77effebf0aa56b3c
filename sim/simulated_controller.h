// A simulated controller: the device side of the flasher's protocol on fake hidraw devices.
//
// In application mode it is a joystick (16 buttons, four 16-bit axes) that sends an input report
// every few milliseconds with moving axes and buttons, and has one feature report of 53 bytes
// (54 with the report-ID byte, no report IDs). A feature report of exactly that length starting
// 00 DE FA CE is the bootloader command: the controller leaves the bus and comes back half a
// second later as its bootloader, a joystick collection with the product text "Bootloader" and a
// feature report of 64 bytes (65 with the report-ID byte). The bootloader appends the data bytes
// of every 65-byte feature report to the image, in the order they arrive; once the image is
// complete it reboots into application mode with the new release number.
//
// The protocol marks neither the start nor the end of an image. The bootloader starts a new image
// each time it comes up, and decides that the image is complete in one of two ways:
//   - with `imageSize` set, when that many bytes have arrived (the zero padding of the last block
//     is dropped, so the image equals the file); it reboots `rebootDelay` later;
//   - without it, when no block has arrived for `rebootDelay` (the image then ends with the last
//     block's zero padding, since the device cannot tell padding from data); it reboots at once.
// Either way the controller restarts about a second after the last block, as a real one does.
//
// Like Windows, the controller takes a feature report only at its collection's own length and
// without a report ID; anything else fails with EINVAL.
//
// Thread-safety: feature reports are judged on umockdev's worker thread; the controller's own
// thread sends input reports and plugs and unplugs its devices. Events reach `onEvent` from
// either thread, one at a time. Every public member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_hidraw.h"

namespace fakehid {

namespace simulated {
constexpr uint16_t vendorId = 0x1209;
constexpr uint16_t productId = 0x5A51;
constexpr uint16_t applicationRelease = 0x0102;
constexpr uint16_t bootloaderRelease = 0x0100;
constexpr uint16_t updatedRelease = 0x0103;
constexpr size_t applicationFeatureLength = 54; // with the report-ID byte
constexpr size_t bootloaderFeatureLength = 65;
constexpr size_t blockDataLength = bootloaderFeatureLength - 1;
extern const Bytes applicationDescriptor;
extern const Bytes bootloaderDescriptor;
} // namespace simulated

struct SimulatedControllerConfig {
    int number = 1;             // the serial number text is "SIM-0001" for 1
    std::string serialText;     // replaces that text when set: units whose firmware shares a serial
    bool withoutSerial = false; // no serial text at all, as from firmware that sets none
    // The USB port chain it sits on, in application mode and in its bootloader alike; empty:
    // "1-<number>". "1-1.3" puts it behind a hub.
    std::string usbPort;
    uint16_t productId = simulated::productId; // another model of the same maker when changed
    std::optional<size_t> imageSize;
    std::chrono::milliseconds restartDelay{500};
    std::chrono::milliseconds rebootDelay{1000};
    std::chrono::milliseconds inputInterval{20};
    int refuseBlock = 0;   // the bootloader refuses its k-th block once (1-based; 0: never)
    int vanishAtBlock = 0; // the controller leaves the bus for good at its k-th block
    // Takes the bootloader command and then does nothing at all: no restart, no more input.
    bool silentAfterBootloaderCommand = false;
};

struct ControllerEvent {
    enum Kind {
        BootloaderCommand,  // the command arrived in application mode
        OtherFeatureReport, // a 54-byte report that is not the command, taken and ignored
        ReportRefused,      // wrong length or a report ID; `bytes` is the length
        Block,              // a block was taken; `block` counts from 1, `bytes` are its data bytes
        BlockRefused,       // the configured refusal; the partial image is dropped
        Vanished,           // left the bus for good at block `block`
        BootloaderUp,       // the bootloader is on the bus at `devnode`
        ImageComplete,      // `image` holds the received image
        ApplicationUp,      // application mode is on the bus at `devnode` with `release`
    };
    ControllerEvent(Kind kind, int block = 0, size_t bytes = 0) : kind(kind), block(block), bytes(bytes) {}

    Kind kind;
    int block = 0;
    size_t bytes = 0;
    uint16_t release = 0;
    std::string devnode;
    Bytes image;
};

class SimulatedController {
public:
    enum class Mode { Application, Restarting, Bootloader, Rebooting, Silent, Vanished };

    static constexpr const char *kThreadName = "sim-controller"; // its own thread's name

    // Plugs the controller in, in application mode. `onEvent` is set before anything can happen.
    SimulatedController(Testbed &bed, SimulatedControllerConfig config,
                        std::function<void(const ControllerEvent &)> onEvent = {});
    ~SimulatedController(); // unplugs it
    SimulatedController(const SimulatedController &) = delete;
    SimulatedController &operator=(const SimulatedController &) = delete;

    std::string serial() const;
    Mode mode();
    uint16_t release();    // of the application firmware
    std::string devnode(); // of the device on the bus now; empty while off the bus
    Bytes lastImage();     // the last complete image
    int completedImages();
    int bootloaderCommands();

private:
    enum class Role { Application, Bootloader };
    struct Plan; // what the controller's thread is to do next

    int judgeFeatureReport(Role role, const Bytes &report); // umockdev's worker thread
    int judgeApplicationReport(const Bytes &report, std::vector<ControllerEvent> &events);
    int judgeBlock(const Bytes &report, std::vector<ControllerEvent> &events);
    void completeImage(std::vector<ControllerEvent> &events);
    void run();
    void plugIn(Role role);
    void unplugCurrent();
    void sendInput();
    void emitEvents(const std::vector<ControllerEvent> &events);

    Testbed &m_bed;
    const SimulatedControllerConfig m_cfg;
    const std::function<void(const ControllerEvent &)> m_onEvent;
    std::mutex m_eventMx; // one event at a time

    std::mutex m_mx; // guards everything below; never held while calling into a FakeHidraw
    std::condition_variable m_cv;
    bool m_stop = false;
    Mode m_mode = Mode::Application;
    uint16_t m_release = simulated::applicationRelease;
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> m_unplugAt, m_bootloaderAt, m_applicationAt, m_imageEndsAt;
    Bytes m_image, m_lastImage;
    int m_blocks = 0, m_completedImages = 0, m_bootloaderCommands = 0;
    bool m_refusalDone = false;
    std::string m_devnode;

    // Only the controller's thread (and the constructor and destructor) touches these.
    std::shared_ptr<FakeHidraw> m_device;
    std::vector<std::shared_ptr<FakeHidraw>> m_retired; // unplugged; freed with the controller
    uint32_t m_tick = 0;
    std::thread m_thread;
};

} // namespace fakehid

// A fake hidraw device for tests: a sysfs tree that libudev walks like a real one and a /dev/hidrawN
// node whose reads, writes and ioctls are answered by this fixture, all through the real syscalls
// of the code under test (umockdev's preload library intercepts them).
//
// The header carries no glib or umockdev types, so Qt test code can include it freely.
//
// Usage: call fakehid::ensurePreloaded(argc, argv) first thing in main(); then create one
// fakehid::Testbed for the whole process before the code under test touches /sys or /dev, and
// create FakeHidraw devices on it. Destroy every FakeHidraw before its Testbed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace fakehid {

using Bytes = std::vector<uint8_t>;

// The descriptors this process holds open on fake hidraw nodes, the fixture's own ends excluded:
// what the code under test opened and has not closed yet. The testbed's and GLib's sockets and
// pipes, which come and go on their own threads, are not counted, so the number is exact at any
// moment and a handle left open always shows.
int descriptorsOnFakeNodes();

// Re-executes the process with umockdev's preload library in LD_PRELOAD unless it is loaded
// already. Returns only in the preloaded process; exits with status 1 if the re-exec fails.
void ensurePreloaded(int argc, char **argv);

// The faked /sys and /dev of the process. One per process: umockdev cannot re-add a node name
// within one testbed, so devices take fresh hidraw indices from it (90 and up, far from the
// numbers real devices get, because /dev paths the testbed lacks fall through to the real system).
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    int allocateIndex() { return m_nextIndex++; }
    void *handle() const { return m_tb; } // the UMockdevTestbed
    // The folder that holds the fake /sys and /dev, and umockdev's sockets.
    const std::string &rootDir() const { return m_rootDir; }
    // Keeps a removed device's ioctl handler attached while the code under test holds its node
    // open (see ~FakeHidraw); `terminal` is the device number of the node's pseudo-terminal.
    void retireHandler(void *handler, const std::string &devnode, dev_t terminal);
    // umockdev hands each uevent to every udev monitor under the testbed, in any process, with a
    // send that does not wait, and aborts this process when a monitor's queue is full: 10
    // datagrams (net.unix.max_dgram_qlen), where a kernel socket holds hundreds. So the fixture
    // counts what it sent since it last saw every queue empty, and before `count` more events
    // would overflow a queue it waits until every monitor has read its queue (or 10 s, saying
    // so). Held while the events are sent.
    std::unique_lock<std::mutex> makeRoomForEvents(int count);

private:
    struct Retired {
        void *handler;
        std::string devnode;
        dev_t terminal;
    };
    void *m_tb;
    std::string m_rootDir;
    std::mutex m_retiredLock;
    std::mutex m_eventLock;
    int m_eventsMaybeUnread = 0; // under m_eventLock
    std::vector<Retired> m_retired;
    int m_nextIndex = 90;
};

constexpr uint16_t kBusUsb = 0x03;
constexpr uint16_t kBusBluetooth = 0x05;

struct DeviceConfig {
    int index = -1;         // N of /dev/hidrawN; -1 takes the testbed's next free index
    uint16_t bus = kBusUsb; // USB devices get usb_device and usb_interface parents
    // The USB port chain, the usb_device's kernel name ("1-4.2": port 2 of the hub on port 4 of
    // bus 1); empty gives a port of its own on bus 1 from the index. A device that re-enumerates
    // on the same port passes its port again.
    std::string usbPort;
    uint16_t vid = 0x1209, pid = 0x0001, bcdDevice = 0x0110;
    int interfaceNumber = 0;
    std::string hidName = "Test Joystick", hidUniq = "aa:bb:cc:dd:ee:ff";
    std::optional<std::string> manufacturer = "Test Maker", product = "Test Joystick", serial = "SN0001";
    // A vendor-page collection with a 64-byte input and a 64-byte output report, no report IDs.
    Bytes reportDescriptor = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75,
                              0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xc0};
    bool framedReads = true;       // one read() returns exactly one injected report
    bool blockOnEmptyRead = false; // framed reads: hold a read on an empty queue until an injection
    // Decides each HIDIOCSFEATURE before it is answered, as a device that can refuse a report:
    // 0 takes it, an errno fails the call with that error (a refused report is not recorded).
    // Runs on umockdev's worker thread, without the fixture's lock held.
    std::function<int(const Bytes &)> featureSetFilter;
};

class FakeHidraw {
public:
    FakeHidraw(Testbed &bed, DeviceConfig config);
    ~FakeHidraw(); // removes the device from the testbed if it is still plugged in
    FakeHidraw(const FakeHidraw &) = delete;
    FakeHidraw &operator=(const FakeHidraw &) = delete;

    // Queues one input report exactly as the kernel hands it to readers (report-ID byte first
    // only when the device uses report IDs).
    void injectInput(const Bytes &report);

    std::vector<Bytes> writes();      // every write() payload, in order
    std::vector<Bytes> featuresSet(); // every HIDIOCSFEATURE payload, in order
    bool waitForWrites(size_t count, int timeoutMs);
    // The answer to HIDIOCGFEATURE for report `id` (the first request byte). Without an answer
    // the request fails with EPIPE, as a device that stalls the request.
    void setFeatureReport(uint8_t id, const Bytes &answer);
    // Makes every following HIDIOCSFEATURE fail with this errno (0: succeed again).
    void failFeatureSets(int error);
    // Makes every following read fail with this errno while the node stays plugged in and
    // readable to poll() (0: reads behave again).
    void failReads(int error);
    // Input reports injected but not read yet.
    size_t queuedInput();

    std::function<void(const Bytes &)> onWrite; // runs on umockdev's worker thread
    std::function<void(const Bytes &)> onSetFeature;

    // Pulls the device: "remove" uevents, sysfs entries gone, open descriptors see POLLHUP and
    // fail reads with EIO and writes and ioctls with ENODEV.
    void unplug(bool sendUevents = true);

    const DeviceConfig &config() const { return m_cfg; }
    std::string devnode, hidrawSysPath, hidSysPath, ifaceSysPath, usbSysPath;

private:
    struct Glue; // the umockdev signal callbacks
    friend struct Glue;
    struct Gate; // the callbacks' only way to this fake

    std::string sysfsDescription() const;
    std::string hidrawDescription() const;
    int handleIoctl(void *client);
    void deliver(void *client, const Bytes &report);

    Testbed &m_bed;
    void *m_tb;
    DeviceConfig m_cfg;
    std::shared_ptr<Gate> m_gate;
    void *m_handler = nullptr;
    int m_master = -1, m_slaveOwn = -1;
    dev_t m_terminal = 0; // the device number of the node's pseudo-terminal
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::deque<Bytes> m_in;
    std::vector<Bytes> m_writes, m_features;
    std::vector<std::pair<uint8_t, Bytes>> m_featureAnswers;
    int m_featureSetError = 0;
    int m_readError = 0;
    void *m_pendingRead = nullptr;
    // Set under m_mx; umockdev's worker thread also reads it without the lock.
    std::atomic<bool> m_unplugged{false};
};

} // namespace fakehid

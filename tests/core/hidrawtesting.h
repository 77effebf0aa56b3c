// Shared by the suites that run the monitor, discovery and the devices on fake hidraw controllers,
// through the real Linux HID layer and the real descriptor parser.
#pragma once

#include "fake_hidraw.h"

#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "check.h"
#include "device/inputdevice.h"
#include "json.h"
#include "monitor/flashhardware.h"
#include "monitor/hardwareinterface.h"

namespace hidrawtest {

using fakehid::Bytes;
using fakehid::DeviceConfig;
using fakehid::FakeHidraw;
using Fake = std::unique_ptr<FakeHidraw>;

// ---- Test data --------------------------------------------------------------------------------

// A device of tests/data/devices.json, found by the start of its name ("device-01").
inline const testsupport::Json &vectorDevice(const std::string &name)
{
    static const testsupport::Json root = [] {
        std::string text, error;
        testsupport::Json json;
        if (!testsupport::readFile(HIDRAW_TEST_DATA_DIR "/devices.json", text) ||
            !testsupport::Json::parse(text, json, error))
            qFatal("cannot load devices.json: %s", error.c_str());
        return json;
    }();
    for (const testsupport::Json &device : root.items())
        if (device["name"].asString().rfind(name, 0) == 0)
            return device;
    qFatal("no device %s in devices.json", name.c_str());
}

inline Bytes hexBytes(const std::string &hex)
{
    Bytes bytes;
    if (!testsupport::parseHex(hex, bytes))
        qFatal("bad hex: %s", hex.c_str());
    return bytes;
}

inline Bytes vectorDescriptor(const std::string &device)
{
    return hexBytes(vectorDevice(device)["descriptor_hex"].asString());
}

// A report of a device in devices.json, by its label.
inline Bytes vectorReport(const std::string &device, const std::string &label)
{
    for (const testsupport::Json &report : vectorDevice(device)["reports"].items())
        if (report["label"].asString() == label)
            return hexBytes(report["report_hex"].asString());
    qFatal("no report \"%s\" of %s", label.c_str(), device.c_str());
}

// Descriptors made for the cases the recorded devices do not cover.
namespace descriptors {

// Two joystick collections, report IDs 1 and 2, eight buttons each.
inline const Bytes twoJoysticks =
    hexBytes("05 01 09 04 a1 01 85 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02 c0"
             "05 01 09 04 a1 01 85 02 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02 c0");

// Eight buttons, then one value range over 20 vendor usages (1..20), one byte each; no report IDs.
inline const Bytes twentyValueUsages =
    hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02"
             "06 00 ff 19 01 29 14 15 00 26 ff 00 75 08 95 14 81 02 c0");

// Eight buttons, then 20 vendor values (usages 1..20) in main items of their own.
inline Bytes twentyValueCaps()
{
    Bytes d = hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02"
                       "06 00 ff 15 00 26 ff 00 75 08 95 01");
    for (uint8_t usage = 1; usage <= 20; ++usage)
        d.insert(d.end(), {0x09, usage, 0x81, 0x02});
    d.push_back(0xc0);
    return d;
}

// Buttons 1..8 as a range, then buttons 9..138 one main item each (131 button capabilities),
// padded to 18 bytes; no report IDs.
inline Bytes manyButtonCaps()
{
    Bytes d = hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02 75 01 95 01");
    for (int usage = 9; usage <= 138; ++usage)
        d.insert(d.end(), {0x09, static_cast<uint8_t>(usage), 0x81, 0x02});
    d.insert(d.end(), {0x75, 0x06, 0x95, 0x01, 0x81, 0x03, 0xc0});
    return d;
}

// Eight buttons, 1500 constant bytes, then X: 1503-byte input reports (no report IDs), X past the
// first 1024 bytes.
inline const Bytes longReports =
    hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02"
             "75 08 96 dc 05 81 03 05 01 09 30 15 00 26 ff 00 75 08 95 01 81 02 c0");

} // namespace descriptors

// ---- Devices ----------------------------------------------------------------------------------

inline DeviceConfig controller(uint16_t vid, uint16_t pid, Bytes descriptor, std::string serial = "SN0001")
{
    DeviceConfig config;
    config.vid = vid;
    config.pid = pid;
    config.reportDescriptor = std::move(descriptor);
    config.serial = std::move(serial);
    return config;
}

// The device registered under `path`, or null. Called on the thread that runs the passes, or with
// the monitor stopped.
inline InputDevice *registered(HardwareInterface &monitor, const std::string &path)
{
    QMutexLocker locker(&monitor.registryLock());
    return monitor.findDeviceAt(QString::fromStdString(path));
}

// A monitor whose passes the test runs one by one on its own thread, and that counts its scans.
template <class Base> class Monitor : public Base {
public:
    std::atomic<int> scans{0};

    bool scan() override
    {
        const bool changed = Base::scan();
        ++scans;
        return changed;
    }
    void pass() { this->runPass(); }
    // Runs passes until `done` holds, at most `limit` of them; false if it never held. A report
    // injected into a fake reaches its reader with a delay on a loaded machine, so a test waits for
    // what the report causes rather than assuming the next pass reads it.
    template <class Condition> bool passUntil(Condition done, int limit = 1000)
    {
        for (int i = 0; i < limit && !done(); ++i)
            this->runPass();
        return done();
    }
    // One pass that scans, whatever the clock says.
    void scanPass()
    {
        this->requestScan();
        this->runPass();
    }

    // With `stillClock`, the clock of the periodic scan moves only by advance().
    bool stillClock = false;
    void advance(std::chrono::milliseconds by) { m_elapsed += by; }
    typename Base::Clock::time_point now() const override
    {
        return stillClock ? typename Base::Clock::time_point(m_elapsed) : Base::now();
    }

private:
    std::chrono::milliseconds m_elapsed{0};
};

// ---- What happened, in order ------------------------------------------------------------------

// The debug channel and the signals of a monitor and of its devices, as one sequence of lines in
// the order they happened, from whichever thread.
class Timeline {
public:
    Timeline()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&Timeline::handle);
    }
    ~Timeline()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    Timeline(const Timeline &) = delete;
    Timeline &operator=(const Timeline &) = delete;

    void add(const QString &line)
    {
        QMutexLocker locker(&m_mutex);
        m_lines.append(line);
    }
    QStringList lines() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines;
    }
    // The lines added since the last call.
    QStringList take()
    {
        QMutexLocker locker(&m_mutex);
        QStringList fresh = m_lines.mid(m_taken);
        m_taken = m_lines.size();
        return fresh;
    }
    int count(const QString &line) const { return int(lines().count(line)); }

    // Monitor signals: "connect <serial>", "disconnect <serial>", "changed". Each device announced
    // is watched too (see watch(InputDevice *)), and the last one is kept in lastConnected.
    void watch(HardwareInterface *monitor, bool withDevices = true)
    {
        QObject::connect(
            monitor, &HardwareInterface::connectHardware, monitor,
            [this, withDevices](InputDevice *device) {
                add("connect " + QString::fromUtf8(device->serial()));
                if (withDevices)
                    watch(device);
                QMutexLocker locker(&m_mutex);
                m_lastConnected = device;
            },
            Qt::DirectConnection);
        QObject::connect(
            monitor, &HardwareInterface::disconnectHardware, monitor,
            [this](const QString &serial) { add("disconnect " + serial); }, Qt::DirectConnection);
        QObject::connect(
            monitor, &HardwareInterface::hardwareChanged, monitor, [this] { add("changed"); },
            Qt::DirectConnection);
    }

    // Device signals: "button <index> <0|1>" and "analog <slot> <value> <usage>"; inputAllEvent
    // and inputEvent are counted, not listed, as they come with every poll and every report.
    void watch(InputDevice *device)
    {
        QObject::connect(
            device, &InputDevice::buttonEvent, device,
            [this](uint index, bool value) {
                add(QStringLiteral("button %1 %2").arg(index).arg(int(value)));
            },
            Qt::DirectConnection);
        QObject::connect(
            device, &InputDevice::analogEvent, device,
            [this](uint slot, int value, int usage) {
                add(QStringLiteral("analog %1 %2 0x%3").arg(slot).arg(value).arg(usage, 0, 16));
            },
            Qt::DirectConnection);
        QObject::connect(
            device, &InputDevice::inputAllEvent, device, [this](bool *, int *) { ++polls; },
            Qt::DirectConnection);
        QObject::connect(
            device, &InputDevice::inputEvent, device,
            [this](uchar *, uint bytes) {
                ++reports;
                lastReportBytes = bytes;
            },
            Qt::DirectConnection);
    }

    QPointer<InputDevice> lastConnected() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lastConnected;
    }

    std::atomic<int> polls{0};
    std::atomic<int> reports{0};
    std::atomic<uint> lastReportBytes{0};

private:
    static Timeline *&current()
    {
        static Timeline *timeline = nullptr;
        return timeline;
    }
    static void handle(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (Timeline *timeline = current())
            timeline->add(message);
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    qsizetype m_taken = 0;
    QPointer<InputDevice> m_lastConnected;
    QtMessageHandler m_previous = nullptr;
};

} // namespace hidrawtest

// The suites' main(): re-executes under umockdev's preload library first, so the suite (and its
// testbed) is only ever built in the preloaded process.
#define HIDRAW_TEST_MAIN(TestClass)                                                                          \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        fakehid::ensurePreloaded(argc, argv);                                                                \
        QCoreApplication app(argc, argv);                                                                    \
        TestClass suite;                                                                                     \
        return QTest::qExec(&suite, argc, argv);                                                             \
    }

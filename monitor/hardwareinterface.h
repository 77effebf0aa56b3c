// The hardware monitor: a thread that owns the registry of opened controllers, polls each of them
// every pass, drops the ones whose read fails, scans the bus in the pass after a HID device has
// arrived and, as a safety net, every four seconds.
#pragma once

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "accessnotices.h"
#include "flashsession.h"
#include "hotplugevents.h"
#include "unitidentity.h"

class InputDevice;
struct FlashFailure;
struct hid_device_info;
class AbstractHardware;
using CreatePluginFunction = AbstractHardware *(*)(uint16_t releaseNumber);

Q_MOC_INCLUDE("device/inputdevice.h")

class HardwareInterface : public QThread {
    Q_OBJECT
public:
    explicit HardwareInterface(QObject *parent = nullptr);
    ~HardwareInterface() override;

    // The loop's cadence; set while the thread does not run. The bus is scanned in the first pass,
    // in the pass after a HID device arrived (see setHotplugEvents), and whenever the scan period
    // of wall time has passed since the last scan: the safety net for a missed arrival and for
    // systems without arrival events. The period is timed by the clock, so it does not stretch
    // with the time the polls of a pass take.
    static constexpr std::chrono::milliseconds DefaultScanPeriod{4000};
    void setScanPeriod(std::chrono::milliseconds period) { scanPeriod = period; }
    void setPollInterval(int32_t milliseconds) { pollInterval = milliseconds; }
    // The next pass scans, whatever the clock says. The thread that runs the passes.
    void requestScan() { scanDue = true; }
    bool isPolling() const { return running; }

    qsizetype deviceCount() const;   // any thread
    QStringList devicePaths() const; // sorted; any thread
    // The plug-in table (see loadPlugins); not while loadPlugins runs.
    QStringList pluginIdentifiers() const { return plugins.keys(); }
    CreatePluginFunction pluginCreator(const QString &identifier) const { return plugins.value(identifier); }

    // The registry lock. The monitor thread holds it to insert, remove and destroy devices;
    // any other thread holds it for as long as it reads `devices` or uses a device from it.
    // Nobody waits on the other thread while holding it. Not recursive: never call
    // enterBootloader/flashFirmware (which take it themselves) while holding it.
    QMutex &registryLock() const;

    void stop(); // lowers running; any thread; does not wait
    // Replaces the source of arrival events, which the thread opens for this platform while its
    // loop runs; null switches events off, so that only the clock-timed scans find new devices.
    // Call it while the thread does not run.
    void setHotplugEvents(std::unique_ptr<HotplugEvents> events);
    virtual bool scan();                        // hid_enumerate(0,0) in the base
    bool connectDevices(hid_device_info *list); // discovery.cpp
    // Rebuild the plug-in table from the folder `hardware` under the current directory; bindPlugins
    // then gives every registered device the object of the plug-in declaring its vendor-product
    // key. Callable from any thread: while the loop runs, the work is handed to the monitor thread,
    // runs there between two passes and the caller waits for it; otherwise it runs at once on the
    // calling thread. Never call them while holding registryLock().
    virtual void loadPlugins();
    virtual void bindPlugins();
    // The one registered device with this serial text; none when no device or several carry it,
    // since units that share a serial cannot be told apart by it. The caller holds the lock.
    InputDevice *findDevice(const char *serial);
    // The device registered under this key (its path); the caller holds the lock.
    InputDevice *findDeviceAt(const QString &path);
    bool enterBootloader(const char *serial);
    bool flashFirmware(const char *serial, QString fileName, FlashFailure *failure = nullptr);
    // The same for the device registered under `path`. When it is not registered nothing is sent,
    // and the failure says the controller is gone.
    bool flashFirmwareAt(const QString &path, const QString &fileName, FlashFailure *failure = nullptr);

    // The registered devices as the programs show them, ordered by path; any thread.
    QList<DeviceSnapshot> snapshot() const;
    // The device registered under `path`, as a snapshot; any thread.
    std::optional<DeviceSnapshot> deviceAt(const QString &path) const;
    // Runs `work` on the device registered under `path` with the registry locked, so that the
    // device stays alive meanwhile; false when there is none. Any thread but the monitor's own
    // while it holds the lock; `work` must not take the lock again.
    bool withDevice(const QString &path, const std::function<void(InputDevice &)> &work);

    // Starts a firmware update of the unit registered under `path` (see FlashSession). The session
    // advances after every pass, on the thread that runs them, and its transfer runs there between
    // two passes: several sessions' transfers run side by side, each on a thread of its own, while
    // the pass waits for them. Any thread. `flashSessionChanged` tells of every change of stage.
    std::shared_ptr<FlashSession> startFlash(const QString &path, QByteArray image,
                                             FlashSession::Waits waits = {});

    // One pass of the loop without its closing sleep: the scan when it is due, one poll of every
    // registered device, then the flash sessions' steps. The loop runs it; a program or a test
    // that runs no monitor thread runs passes itself, never beside a running loop.
    void runPass();
    // The passes run so far; any thread.
    uint64_t passCount() const { return m_passes; }

signals:
    void hardwareChanged();
    void connectHardware(InputDevice *device);
    void disconnectHardware(QString serial);
    void flashTick(uint totalSize, uint currentSize);
    // A flash session moved to another stage; emitted on the thread that runs the passes.
    void flashSessionChanged();

public slots:
    void FirmwareFlash(uint totalSize, uint currentSize);

protected:
    void run() override;

    using Clock = std::chrono::steady_clock;
    // The clock that times the periodic scan.
    virtual Clock::time_point now() const { return Clock::now(); }

private:
    friend struct HardwareInterfaceTesting; // the tests' registries filled by hand

    QHash<QString, InputDevice *> devices; // path -> device; owned; see registryLock
    std::atomic<bool> running{false};
    // The plug-in table, identifier -> creator. Changed only by loadPlugins, which runs on the monitor
    // thread while the loop runs; other threads read it only when no loadPlugins/bindPlugins runs.
    QMap<QString, CreatePluginFunction> plugins;
    std::chrono::milliseconds scanPeriod = DefaultScanPeriod;
    // Set for the first pass and by an arrival, cleared by every scan.
    bool scanDue = true;
    int32_t pollInterval = 20;

    void pollDevices();
    void advanceSessions();
    void sendImages(const std::vector<std::shared_ptr<FlashSession>> &due);
    // The pause between two passes: `pollInterval`, or less when a device arrives meanwhile.
    void sleepBetweenPasses();
    void dropVanishedDevice(const QString &path, InputDevice *device);
    void destroyAllDevices();
    // Releases the device's report description and destroys it; the caller holds the lock.
    static void destroyDevice(InputDevice *device);

    // Runs `work` where it cannot race the loop: on the monitor thread between two passes while the
    // loop runs (the caller waits), otherwise on the calling thread with the loop kept from starting.
    void runBetweenPasses(const std::function<void()> &work);
    void runPendingWork();
    void registerPluginLibrary(const QString &path, const QString &fileName);
    void bindRegisteredDevices();

    mutable QMutex m_registryLock;
    std::atomic<uint64_t> m_passes{0};
    std::mutex m_sessionLock; // guards m_sessions
    std::vector<std::shared_ptr<FlashSession>> m_sessions;
    std::unique_ptr<HotplugEvents> m_hotplugEvents; // monitor thread, once started
    bool m_hotplugEventsChosen = false;             // set by setHotplugEvents
    Clock::time_point m_lastScan{};                 // monitor thread
    AccessNotices m_accessNotices;                  // monitor thread only: discovery and scans

    struct PendingWork {
        const std::function<void()> &work;
        bool done = false;
    };
    // Guards the hand-over of work to the monitor thread. Recursive so that work running on a
    // calling thread may itself call loadPlugins.
    std::recursive_mutex m_workLock;
    std::condition_variable_any m_workDone;
    std::deque<PendingWork *> m_pendingWork;
    bool m_loopTakesWork = false;
    // Set by stop() and kept until run() ends, so that a stop requested before the thread
    // entered run() is not undone when run() raises `running`.
    std::atomic<bool> m_stopRequested{false};
};

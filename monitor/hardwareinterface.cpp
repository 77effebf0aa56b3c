#include "hardwareinterface.h"

#include <QDebug>
#include <QMetaType>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>
#include <thread>

#include "device/flashfailure.h"
#include "device/inputdevice.h"
#include "hid/hid.h"

namespace {

// A device that was not found has left the bus since it was listed.
bool flashFoundDevice(InputDevice *device, const QString &fileName, FlashFailure *failure)
{
    if (device == nullptr) {
        if (failure != nullptr)
            *failure = {FlashFailure::Reason::DeviceGone};
        return false;
    }
    return device->flashFirmware(fileName, failure);
}

} // namespace

HardwareInterface::HardwareInterface(QObject *parent) : QThread(parent)
{
    // connectHardware carries the device to receivers on other threads.
    qRegisterMetaType<InputDevice *>("InputDevice*");
}

// The owner has stopped the thread and waited for it, so run() has destroyed its devices on its way
// out. Devices registered without the thread ever running (passes run by hand) are destroyed here.
HardwareInterface::~HardwareInterface()
{
    destroyAllDevices();
}

QMutex &HardwareInterface::registryLock() const
{
    return m_registryLock;
}

void HardwareInterface::stop()
{
    m_stopRequested = true;
    running = false;
}

void HardwareInterface::setHotplugEvents(std::unique_ptr<HotplugEvents> events)
{
    m_hotplugEvents = std::move(events);
    m_hotplugEventsChosen = true;
}

bool HardwareInterface::scan()
{
    const qsizetype before = devices.size();
    connectDevices(hid_enumerate(0, 0));
    return devices.size() != before;
}

void HardwareInterface::FirmwareFlash(uint totalSize, uint currentSize)
{
    emit flashTick(totalSize, currentSize);
}

void HardwareInterface::run()
{
    // A stop() that came before the thread got here, or while it raised the flag, is kept rather
    // than undone: the request stays set until run() returns.
    running = !m_stopRequested;
    {
        // Waits for work that another thread is running while the loop was not taking any.
        std::lock_guard lock(m_workLock);
        m_loopTakesWork = true;
    }
    // The source is open only while the loop runs: nothing else would read its events, and the
    // queue of an unread source only grows.
    if (!m_hotplugEventsChosen)
        m_hotplugEvents = openHotplugEvents();
    while (running && !m_stopRequested) {
        runPass();
        sleepBetweenPasses();
        runPendingWork();
    }
    running = false;
    if (!m_hotplugEventsChosen)
        m_hotplugEvents.reset();
    // From here on callers run their work themselves, after the devices are gone; work handed over
    // before is still done here, so no caller is left waiting.
    std::lock_guard lock(m_workLock);
    m_loopTakesWork = false;
    runPendingWork();
    qDebug() << "Stopping polling";
    destroyAllDevices();
    m_stopRequested = false;
}

void HardwareInterface::runBetweenPasses(const std::function<void()> &work)
{
    if (QThread::currentThread() == this) {
        work(); // the loop itself, between or inside its passes
        return;
    }
    std::unique_lock lock(m_workLock);
    if (!m_loopTakesWork) {
        work(); // holding the lock keeps run() from starting its loop meanwhile
        return;
    }
    PendingWork pending{work};
    m_pendingWork.push_back(&pending);
    m_workDone.wait(lock, [&] { return pending.done; });
}

void HardwareInterface::runPendingWork()
{
    std::lock_guard lock(m_workLock);
    if (m_pendingWork.empty())
        return;
    while (!m_pendingWork.empty()) {
        PendingWork *pending = m_pendingWork.front();
        m_pendingWork.pop_front();
        pending->work();
        pending->done = true;
    }
    m_workDone.notify_all();
}

void HardwareInterface::sleepBetweenPasses()
{
    // Waiting on the event source instead of sleeping costs no wake-up while nothing happens and
    // lets an arrival start the next pass at once.
    if (m_hotplugEvents) {
        if (m_hotplugEvents->waitForArrival(pollInterval))
            scanDue = true;
    } else {
        QThread::msleep(static_cast<unsigned long>(pollInterval));
    }
}

void HardwareInterface::runPass()
{
    // Arrivals since the loop's pause looked (during pending work), or in passes run without it.
    if (m_hotplugEvents && m_hotplugEvents->waitForArrival(0))
        scanDue = true;
    const Clock::time_point start = now();
    if (scanDue || start - m_lastScan >= scanPeriod) {
        scanDue = false;
        m_lastScan = start;
        const bool changed = scan();
        m_accessNotices.scanFinished();
        if (changed)
            emit hardwareChanged();
    }
    pollDevices();
    advanceSessions();
    ++m_passes;
}

qsizetype HardwareInterface::deviceCount() const
{
    QMutexLocker locker(&m_registryLock);
    return devices.size();
}

QStringList HardwareInterface::devicePaths() const
{
    QStringList paths;
    {
        QMutexLocker locker(&m_registryLock);
        paths = devices.keys();
    }
    paths.sort();
    return paths;
}

QList<DeviceSnapshot> HardwareInterface::snapshot() const
{
    QList<DeviceSnapshot> all;
    {
        QMutexLocker locker(&m_registryLock);
        all.reserve(devices.size());
        for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
            if (it.value() != nullptr)
                all.append(DeviceSnapshot::of(*it.value(), it.key()));
        }
    }
    std::sort(all.begin(), all.end(), [](const DeviceSnapshot &a, const DeviceSnapshot &b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return all;
}

std::optional<DeviceSnapshot> HardwareInterface::deviceAt(const QString &path) const
{
    QMutexLocker locker(&m_registryLock);
    const InputDevice *device = devices.value(path, nullptr);
    if (device == nullptr)
        return std::nullopt;
    return DeviceSnapshot::of(*device, path);
}

bool HardwareInterface::withDevice(const QString &path, const std::function<void(InputDevice &)> &work)
{
    QMutexLocker locker(&m_registryLock);
    InputDevice *device = devices.value(path, nullptr);
    if (device == nullptr)
        return false;
    work(*device);
    return true;
}

std::shared_ptr<FlashSession> HardwareInterface::startFlash(const QString &path, QByteArray image,
                                                            FlashSession::Waits waits)
{
    auto session = std::make_shared<FlashSession>(path, std::move(image), waits);
    std::lock_guard lock(m_sessionLock);
    m_sessions.push_back(session);
    return session;
}

// Runs on the thread that runs the passes, which alone destroys devices: the devices the sessions
// use stay alive without the registry lock, and no other thread waits for that lock meanwhile.
void HardwareInterface::advanceSessions()
{
    std::vector<std::shared_ptr<FlashSession>> sessions;
    {
        std::lock_guard lock(m_sessionLock);
        if (m_sessions.empty())
            return;
        sessions = m_sessions;
    }
    const QList<DeviceSnapshot> present = snapshot();
    const Clock::time_point at = now();
    bool changed = false;
    std::vector<std::shared_ptr<FlashSession>> due;
    for (const auto &session : sessions) {
        // A device one session holds is never given to another, whichever comes first.
        QSet<QString> claimed;
        for (const auto &other : sessions) {
            if (other != session)
                claimed.unite(other->claims());
        }
        const FlashSession::Stage before = session->status().stage;
        session->advance(devices, present, claimed, at);
        changed = changed || session->status().stage != before;
        if (session->sendDue())
            due.push_back(session);
    }
    if (changed)
        emit flashSessionChanged();
    if (!due.empty()) {
        sendImages(due);
        emit flashSessionChanged();
    }
    std::lock_guard lock(m_sessionLock);
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [](const auto &session) {
                                        return session->status().stage == FlashSession::Stage::Finished;
                                    }),
                     m_sessions.end());
}

void HardwareInterface::sendImages(const std::vector<std::shared_ptr<FlashSession>> &due)
{
    std::vector<std::thread> transfers;
    for (const auto &session : due) {
        InputDevice *bootloader = devices.value(session->status().bootloaderPath, nullptr);
        if (bootloader == nullptr) {
            session->finish({FlashFailure::Reason::DeviceGone});
            continue;
        }
        if (due.size() == 1)
            session->send(bootloader);
        else
            transfers.emplace_back([session, bootloader] { session->send(bootloader); });
    }
    for (std::thread &transfer : transfers)
        transfer.join();
}

void HardwareInterface::pollDevices()
{
    // Only this thread changes the registry, so it reads it without the lock. The walk goes over a
    // copy because removals change the live registry. Devices registered by this pass's scan are
    // polled in this pass too.
    const QHash<QString, InputDevice *> snapshot = devices;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it) {
        InputDevice *device = it.value();
        if (device == nullptr || !device->isActive() || device->handle() == nullptr)
            continue;
        if (!device->poll())
            dropVanishedDevice(it.key(), device);
    }
}

// A failed read is the only sign of an unplugged device. The signals are emitted outside the lock
// so that a receiver connected directly may look into the registry itself.
void HardwareInterface::dropVanishedDevice(const QString &path, InputDevice *device)
{
    qDebug() << "Failed to get info for device, assuming disconnected: " << device->product();
    emit disconnectHardware(
        QString::fromUtf8(device->serial(), qsizetype(strnlen(device->serial(), InputDevice::TextSize))));
    {
        QMutexLocker locker(&m_registryLock);
        destroyDevice(device);
        devices.remove(path);
    }
    emit hardwareChanged();
}

void HardwareInterface::destroyAllDevices()
{
    QMutexLocker locker(&m_registryLock);
    const QHash<QString, InputDevice *> remaining = devices;
    devices.clear();
    for (InputDevice *device : remaining) {
        if (device != nullptr)
            destroyDevice(device);
    }
}

void HardwareInterface::destroyDevice(InputDevice *device)
{
    hid_free_preparsed_data(device->handle(), device->preparsedData());
    delete device;
}

InputDevice *HardwareInterface::findDevice(const char *serial)
{
    // The whole serial text must match: a prefix match would let the selection of "A12" reach the
    // device "A1", and a device without a serial would answer every request.
    if (serial == nullptr)
        serial = "";
    InputDevice *found = nullptr;
    int matches = 0;
    for (InputDevice *device : std::as_const(devices)) {
        if (device != nullptr && std::strncmp(device->serial(), serial, InputDevice::TextSize) == 0) {
            found = device;
            ++matches;
        }
    }
    if (matches > 1) {
        // The registry's order changes from run to run, so taking one of them would be a guess.
        qDebug() << matches << "registered devices carry the serial" << QString::fromUtf8(serial)
                 << "- acting on none";
        return nullptr;
    }
    if (found != nullptr)
        qDebug() << "Found " << found->product();
    return found;
}

InputDevice *HardwareInterface::findDeviceAt(const QString &path)
{
    return devices.value(path, nullptr);
}

bool HardwareInterface::enterBootloader(const char *serial)
{
    QMutexLocker locker(&m_registryLock);
    InputDevice *device = findDevice(serial);
    return device != nullptr && device->enterBootloader();
}

bool HardwareInterface::flashFirmware(const char *serial, QString fileName, FlashFailure *failure)
{
    QMutexLocker locker(&m_registryLock);
    return flashFoundDevice(findDevice(serial), fileName, failure);
}

bool HardwareInterface::flashFirmwareAt(const QString &path, const QString &fileName, FlashFailure *failure)
{
    QMutexLocker locker(&m_registryLock);
    return flashFoundDevice(findDeviceAt(path), fileName, failure);
}

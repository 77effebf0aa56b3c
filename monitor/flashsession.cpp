#include "flashsession.h"

#include <QDebug>
#include <QObject>

#include <algorithm>

#include "device/inputdevice.h"

FlashSession::FlashSession(QString unitPath, QByteArray image, Waits waits)
    : m_unitPath(std::move(unitPath)), m_image(std::move(image)), m_waits(waits)
{
}

FlashSession::Status FlashSession::status() const
{
    std::lock_guard lock(m_lock);
    Status status = m_status;
    status.percent = m_percent;
    return status;
}

bool FlashSession::sendDue() const
{
    std::lock_guard lock(m_lock);
    return m_status.stage == Stage::Sending;
}

QSet<QString> FlashSession::claims() const
{
    std::lock_guard lock(m_lock);
    if (m_status.stage == Stage::Finished)
        return {};
    QSet<QString> held{m_unitPath};
    if (!m_status.bootloaderPath.isEmpty())
        held.insert(m_status.bootloaderPath);
    return held;
}

void FlashSession::finish(FlashFailure failure)
{
    std::lock_guard lock(m_lock);
    m_status.stage = Stage::Finished;
    m_status.failure = failure;
}

void FlashSession::advance(const QHash<QString, InputDevice *> &devices, const QList<DeviceSnapshot> &present,
                           const QSet<QString> &claimed, Clock::time_point now)
{
    Stage stage;
    {
        std::lock_guard lock(m_lock);
        stage = m_status.stage;
    }
    switch (stage) {
    case Stage::Starting: {
        const auto unit = std::find_if(present.cbegin(), present.cend(), [&](const DeviceSnapshot &device) {
            return device.path == m_unitPath;
        });
        InputDevice *device = devices.value(m_unitPath);
        if (unit == present.cend() || device == nullptr) {
            finish({FlashFailure::Reason::DeviceGone});
            return;
        }
        m_unit = UnitIdentity::of(*unit);
        // Nothing is sent to a unit that could not be told from its twin afterwards: the image
        // would go to whichever bootloader came first, and the unit could be left in its own.
        if (!canBeFoundAgain(m_unit, present)) {
            qDebug() << "Unit" << m_unitPath << "has no port and no serial text of its own: nothing sent";
            finish({FlashFailure::Reason::UnitAmbiguous});
            return;
        }
        if (unit->bootloader) {
            std::lock_guard lock(m_lock);
            m_status.bootloaderPath = m_unitPath;
            m_status.stage = Stage::Sending;
            return;
        }
        if (!device->enterBootloader()) {
            finish({FlashFailure::Reason::BootloaderRefused});
            return;
        }
        m_deadline = now + m_waits.bootloader;
        std::lock_guard lock(m_lock);
        m_status.restarted = true;
        m_status.stage = Stage::AwaitingBootloader;
        return;
    }
    case Stage::AwaitingBootloader:
        if (const auto bootloader = findUnit(m_unit, present, UnitMode::Bootloader, claimed)) {
            // The monitor may not have seen the unit's application device leave yet; until it
            // has, that device would pass for the unit come back with its new firmware.
            for (const DeviceSnapshot &device : present) {
                if (!device.bootloader && findUnit(m_unit, {device}).has_value())
                    m_leftBehind.insert(device.path);
            }
            std::lock_guard lock(m_lock);
            m_status.bootloaderPath = bootloader->path;
            m_status.stage = Stage::Sending;
        } else if (now >= m_deadline) {
            finish({FlashFailure::Reason::NoBootloader});
        }
        return;
    case Stage::AwaitingReturn:
        if (m_deadline == Clock::time_point{})
            m_deadline = now + m_waits.comeback;
        // A path the unit left behind counts again once its device has gone: on some systems the
        // unit comes back under the same path.
        for (auto it = m_leftBehind.begin(); it != m_leftBehind.end();) {
            const bool stillThere =
                std::any_of(present.cbegin(), present.cend(),
                            [&](const DeviceSnapshot &device) { return device.path == *it; });
            it = stillThere ? std::next(it) : m_leftBehind.erase(it);
        }
        if (const auto back = findUnit(m_unit, present, UnitMode::Application, claimed + m_leftBehind)) {
            std::lock_guard lock(m_lock);
            m_status.returned = *back;
            m_status.stage = Stage::Finished;
        } else if (now >= m_deadline) {
            finish({FlashFailure::Reason::NoComeback});
        }
        return;
    case Stage::Sending:
    case Stage::Finished:
        return;
    }
}

void FlashSession::send(InputDevice *bootloader)
{
    // Connected directly: the progress is kept where any thread can read it, as the blocks go.
    const QMetaObject::Connection progress =
        QObject::connect(bootloader, &InputDevice::flashTick, [this](uint, uint currentSize) {
            m_percent = int(std::min<uint>(currentSize, 100));
        });
    FlashFailure failure;
    const bool sent = bootloader->flashImage(m_image, &failure);
    QObject::disconnect(progress);
    if (!sent) {
        finish(failure);
        return;
    }
    m_percent = 100;
    std::lock_guard lock(m_lock);
    m_status.stage = Stage::AwaitingReturn;
}

// One unit's way through a firmware update, the same for the window and the command line: the
// restart into the bootloader unless the unit is there already, the wait for its bootloader on the
// same port, the transfer of the image, and the wait for the unit's return. The monitor advances
// every session on the thread that owns the devices, between its passes; any thread reads how far
// a session has come.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <chrono>
#include <mutex>

#include "device/flashfailure.h"
#include "unitidentity.h"

class InputDevice;

class FlashSession {
public:
    enum class Stage {
        Starting,           // nothing sent yet
        AwaitingBootloader, // the bootloader command went out
        Sending,            // the unit's bootloader is found; the image goes out next
        AwaitingReturn,     // the whole image went out
        Finished,           // see `failure`
    };
    struct Waits {
        std::chrono::milliseconds bootloader{15000}; // from the command to the bootloader's arrival
        std::chrono::milliseconds comeback{15000};   // from the last block to the unit's return
    };
    struct Status {
        Stage stage = Stage::Starting;
        // Once finished: None when the unit came back after the whole image went out.
        FlashFailure failure;
        bool restarted = false;  // the session sent the bootloader command
        int percent = 0;         // of the image sent
        QString bootloaderPath;  // the unit's bootloader, once found
        DeviceSnapshot returned; // the unit back in application mode, once finished well
    };

    // `unitPath` is the registry key of the unit as it was chosen, in application mode or in its
    // bootloader. The image is sent as it is: its checks are the caller's (readFirmwareImage).
    FlashSession(QString unitPath, QByteArray image, Waits waits);

    Status status() const; // any thread
    const QString &unitPath() const { return m_unitPath; }

private:
    friend class HardwareInterface;
    using Clock = std::chrono::steady_clock;

    // Moves on as far as the present devices allow, short of sending the image. `claimed` are the
    // devices other sessions hold, which this one never takes. Monitor thread.
    void advance(const QHash<QString, InputDevice *> &devices, const QList<DeviceSnapshot> &present,
                 const QSet<QString> &claimed, Clock::time_point now);
    bool sendDue() const;
    // Sends the image to the unit's bootloader; any thread, while the device cannot go away.
    void send(InputDevice *bootloader);
    // The devices this session holds while it runs.
    QSet<QString> claims() const;
    void finish(FlashFailure failure);

    const QString m_unitPath;
    const QByteArray m_image;
    const Waits m_waits;
    UnitIdentity m_unit;            // monitor thread
    QSet<QString> m_leftBehind;     // monitor thread: the unit's devices still listed after it left
    Clock::time_point m_deadline{}; // monitor thread; unset until a wait begins
    mutable std::mutex m_lock;      // guards m_status
    Status m_status;
    std::atomic<int> m_percent{0};
};

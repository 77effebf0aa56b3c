// One opened joystick or gamepad collection: its handle, report description, identity texts and the
// decoded state of its input reports. The monitor thread reads and decodes; other threads read the
// identity fields while holding the monitor's registry lock.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

#include "flashfailure.h"
#include "hid/hid.h"

class AbstractHardware;

class InputDevice : public QObject {
    Q_OBJECT
public:
    static constexpr int TextSize = 260;
    static constexpr int ReportSize = 1024;
    static constexpr int ButtonCount = 128;
    static constexpr int AnalogCount = 16;
    static constexpr int ButtonCapsCount = 128;
    static constexpr int ValueCapsCount = 16;
    // The work area offered to the behaviour object: two arrays of three 1024-byte buffers. Its size
    // is part of the plug-in interface.
    static constexpr int HardwareAreaArrays = 2;
    static constexpr int HardwareAreaBuffers = 3;
    static constexpr int HardwareAreaBufferSize = 1024;
    static constexpr int HardwareAreaSize = HardwareAreaArrays * HardwareAreaBuffers * HardwareAreaBufferSize;
    // The release number as "%x.%x": at most "ff.ff" and the terminator.
    static constexpr int VersionTextBound = 6;

    explicit InputDevice(AbstractHardware *hardware);
    ~InputDevice() override;

    // The identity: set by readIdentity, read by any thread holding the monitor's registry lock.
    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }
    uint16_t releaseNumber() const { return m_releaseNumber; }
    // UTF-8 texts in fields of TextSize bytes, empty until read; read them bounded by TextSize.
    const char *product() const { return m_product; }
    const char *manufacturer() const { return m_manufacturer; }
    const char *serial() const { return m_serial; }
    const char *versionText() const { return m_versionText; }
    const char *path() const { return m_path; }
    // Where it is plugged in (a USB port chain on Linux, a hub port on Windows); empty where the
    // platform tells none. A unit keeps it across its restart into the bootloader and back.
    QString port() const { return m_port; }
    // Raised by discovery once the device is accepted and registered.
    bool isActive() const { return m_active; }

    // The report description, as describe() left it.
    PHIDP_PREPARSED_DATA preparsedData() const { return m_preparsedData; }
    const HIDP_CAPS &caps() const { return m_caps; }
    const HIDP_VALUE_CAPS *valueCaps() const { return m_valueCaps; }
    const HIDP_BUTTON_CAPS *buttonCaps() const { return m_buttonCaps; }
    hid_device *handle() const { return m_handle; }

    // The decoded state of the last report read; the monitor thread's.
    const uint8_t *inputData() const { return m_inputData; }
    const bool *buttons() const { return m_buttons; }
    const int32_t *analog() const { return m_analog; }
    const int32_t *analogUsage() const { return m_analogUsage; }

    // The behaviour object the device feeds and owns.
    AbstractHardware *hardware() const { return m_hardware; }

    // Takes over the opened `handle`, which the device closes, found at `path` (null for none; at
    // most TextSize - 1 bytes).
    void attach(hid_device *handle, const char *path);
    // The four report-description queries discovery runs on a newly opened handle: the preparsed
    // data, the capabilities and the input button and value capabilities, their counts bounded by
    // the arrays above. False when one of the queries fails.
    bool describe();
    // The identity of the enumeration record, then the serial, manufacturer and product texts read
    // from the handle.
    void readIdentity(const hid_device_info &record, QString port);
    void setActive(bool active) { m_active = active; }
    // Hands the device `replacement` to own and returns the object it had, which the caller deletes.
    AbstractHardware *replaceHardware(AbstractHardware *replacement);

    // Reads at most one input report and decodes it. False only when the read fails.
    bool readInput();
    // One monitor step: readInput, then the change signals. False when the read failed.
    bool poll();

    bool enterBootloader();
    // Sends `image` as firmware blocks. True when every block was taken whole; otherwise false,
    // with the reason in `failure` when given.
    bool flashImage(const QByteArray &image, FlashFailure *failure = nullptr);
    // readFirmwareImage, then flashImage.
    bool flashFirmware(QString fileName, FlashFailure *failure = nullptr);

signals:
    void inputAllEvent(bool *buttons, int *analog);
    void inputEvent(uchar *inputData, uint bytes);
    void buttonEvent(uint index, bool value);
    void analogEvent(uint index, int value, int usagePage);
    void flashTick(uint totalSize, uint currentSize);

private:
    friend struct InputDeviceTesting; // the tests' devices fabricated without hardware

    int32_t m_readTimeout = 10;
    uint16_t m_releaseNumber;
    bool m_active;
    uint16_t m_vendorId;
    uint16_t m_productId;
    char m_product[TextSize];
    char m_manufacturer[TextSize];
    char m_serial[TextSize];
    char m_versionText[TextSize];
    char m_path[TextSize];
    QString m_port;
    uint8_t m_inputData[ReportSize];
    bool m_buttons[ButtonCount];
    int32_t m_analog[AnalogCount];
    int32_t m_analogUsage[AnalogCount];
    bool m_lastButtons[ButtonCount];
    int32_t m_lastAnalog[AnalogCount];
    uint8_t m_hardwareArea[HardwareAreaArrays][HardwareAreaBuffers][HardwareAreaBufferSize];
    PHIDP_PREPARSED_DATA m_preparsedData;
    HIDP_CAPS m_caps;
    HIDP_VALUE_CAPS m_valueCaps[ValueCapsCount];
    HIDP_BUTTON_CAPS m_buttonCaps[ButtonCapsCount];
    hid_device *m_handle;
    AbstractHardware *m_hardware;

    // After a failed send: whether the device is still on the bus.
    bool stillPresent();
    void decodeValues(const uint8_t *report);
    void decodeButtons(const uint8_t *report);
    void emitChanges();
    void clearState();
    void logValueUsagesCut() const;
};

// Firmware images are counted in 32 bits.
constexpr quint64 MaxFirmwareImageSize = 0xFFFFFFFFu;

// Reads the firmware file `fileName` whole into `image`, checked once for every program that sends
// one: a regular file, not empty, within MaxFirmwareImageSize. The reason when it is not an image.
FlashFailure readFirmwareImage(const QString &fileName, QByteArray &image);

// A device in its bootloader presents a product text that begins with "boot" in any letter case.
bool isBootloaderProduct(const char *product);

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

    int32_t readTimeout;
    uint16_t releaseNumber;
    bool active;
    uint16_t vendorId;
    uint16_t productId;
    char product[TextSize];
    char manufacturer[TextSize];
    char serial[TextSize];
    char versionText[TextSize];
    char path[TextSize];
    // Where it is plugged in (a USB port chain on Linux, a hub port on Windows); empty where the
    // platform tells none. A unit keeps it across its restart into the bootloader and back.
    QString port;
    uint8_t inputData[ReportSize];
    bool buttons[ButtonCount];
    int32_t analog[AnalogCount];
    int32_t analogUsage[AnalogCount];
    bool lastButtons[ButtonCount];
    int32_t lastAnalog[AnalogCount];
    uint8_t hardwareArea[HardwareAreaArrays][HardwareAreaBuffers][HardwareAreaBufferSize];
    PHIDP_PREPARSED_DATA preparsedData;
    HIDP_CAPS caps;
    HIDP_VALUE_CAPS valueCaps[ValueCapsCount];
    HIDP_BUTTON_CAPS buttonCaps[ButtonCapsCount];
    hid_device *handle;
    AbstractHardware *hardware;

    // Reads at most one input report and decodes it. False only when the read fails.
    bool readInput();
    // One monitor step: readInput, then the change signals. False when the read failed.
    bool poll();

    void readManufacturer(char *dest);
    void readProduct(char *dest);
    void readSerial(char *dest);

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
    // After a failed send: whether the device is still on the bus.
    bool stillPresent();
    void decodeValues(const uint8_t *report);
    void decodeButtons(const uint8_t *report);
    void emitChanges();
    void clearState();
};

// Firmware images are counted in 32 bits.
constexpr quint64 MaxFirmwareImageSize = 0xFFFFFFFFu;

// Reads the firmware file `fileName` whole into `image`, checked once for every program that sends
// one: a regular file, not empty, within MaxFirmwareImageSize. The reason when it is not an image.
FlashFailure readFirmwareImage(const QString &fileName, QByteArray &image);

// A device in its bootloader presents a product text that begins with "boot" in any letter case.
bool isBootloaderProduct(const char *product);

// The four report-description queries discovery runs on a newly opened handle: the preparsed data,
// the capabilities and the input button and value capabilities, their counts bounded by the arrays
// of InputDevice. False when one of the queries fails.
bool describeInputDevice(InputDevice *device);

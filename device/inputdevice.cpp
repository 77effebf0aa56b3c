#include "inputdevice.h"

#include <QByteArray>
#include <QDebug>

#include <algorithm>
#include <cstring>

#include "abstracthardware.h"
#include "widetext.h"

namespace {

constexpr USAGE hatSwitchUsage = 0x39;
constexpr uint hatButtonBase = 130;

using StringQuery = int (*)(hid_device *, wchar_t *, size_t);

// Reads one device string into a 260-byte text field. A failed read logs `failureMessage` and an
// empty string leaves the field as it was.
void readDeviceString(hid_device *handle, StringQuery query, const char *failureMessage, char *dest)
{
    wchar_t text[InputDevice::TextSize] = {};
    if (query(handle, text, InputDevice::TextSize) < 0) {
        qDebug() << failureMessage;
        return;
    }
    if (text[0] == L'\0')
        return;
    wideToUtf8(text, InputDevice::TextSize, dest, InputDevice::TextSize);
}

} // namespace

InputDevice::InputDevice(AbstractHardware *hardware) : QObject(nullptr), readTimeout(10), hardware(hardware)
{
    hardware->setBuffers(&hardwareArea[0][0][0]);
    // Everything else starts cleared, the work area included, whatever setBuffers wrote there.
    releaseNumber = 0;
    active = false;
    vendorId = 0;
    productId = 0;
    std::memset(product, 0, sizeof product);
    std::memset(manufacturer, 0, sizeof manufacturer);
    std::memset(serial, 0, sizeof serial);
    std::memset(versionText, 0, sizeof versionText);
    std::memset(path, 0, sizeof path);
    std::memset(inputData, 0, sizeof inputData);
    clearState();
    std::memset(analogUsage, 0, sizeof analogUsage);
    std::memset(lastButtons, 0, sizeof lastButtons);
    std::memset(lastAnalog, 0, sizeof lastAnalog);
    std::memset(hardwareArea, 0, sizeof hardwareArea);
    preparsedData = nullptr;
    std::memset(&caps, 0, sizeof caps);
    std::memset(valueCaps, 0, sizeof valueCaps);
    std::memset(buttonCaps, 0, sizeof buttonCaps);
    handle = nullptr;
}

InputDevice::~InputDevice()
{
    hid_close(handle);
    delete hardware;
}

void InputDevice::clearState()
{
    std::fill(std::begin(buttons), std::end(buttons), false);
    std::fill(std::begin(analog), std::end(analog), 0);
}

bool InputDevice::readInput()
{
    uint8_t report[ReportSize] = {};
    // Reports longer than the buffer are cut to it; discovery logs such devices.
    const size_t readLength = std::min<size_t>(caps.InputReportByteLength, ReportSize);
    // The queries read a report at its full declared length, so a cut report cannot be decoded.
    const bool decodable = caps.InputReportByteLength <= ReportSize;
    const int result = hid_read_timeout(handle, report, readLength, readTimeout);
    if (result < 0)
        return false;
    if (result == 0)
        return true;
    // The layer answers with the report's full length even when it copied less.
    const uint bytes = static_cast<uint>(std::min<size_t>(static_cast<size_t>(result), readLength));

    clearState();
    if (decodable) {
        decodeValues(report);
        decodeButtons(report);
    }
    std::memcpy(inputData, report, sizeof inputData);
    hardware->processInput(inputData, bytes);
    emit inputEvent(inputData, bytes);
    return true;
}

// Slot i receives the i-th value usage in capability order, ranges expanded in ascending order;
// a failed query leaves the slot 0 with its previous usage.
void InputDevice::decodeValues(const uint8_t *report)
{
    const int capsCount = std::min<int>(caps.NumberInputValueCaps, ValueCapsCount);
    int slot = 0;
    for (int c = 0; c < capsCount && slot < AnalogCount; ++c) {
        const HIDP_VALUE_CAPS &entry = valueCaps[c];
        // int, not USAGE: a range ending at 0xFFFF must not wrap around.
        const int first = entry.IsRange ? entry.Range.UsageMin : entry.NotRange.Usage;
        const int last = entry.IsRange ? entry.Range.UsageMax : entry.NotRange.Usage;
        for (int usage = first; usage <= last && slot < AnalogCount; ++usage, ++slot) {
            ULONG value = 0;
            if (hid_get_usagevalue(handle, report, HidP_Input, preparsedData, &caps, entry.UsagePage,
                                   static_cast<USAGE>(usage), &value) == 0) {
                analogUsage[slot] = usage;
                analog[slot] = static_cast<int32_t>(value);
            }
        }
    }
}

// One usage query covers every button capability on the first capability's usage page, wherever it
// sits in the collection, so later ranges on that page need no query of their own. Ranges on other
// usage pages stay undecoded: `buttons` is indexed by usage number alone, so their usages would land
// on the entries of the first page's buttons and raise buttonEvent for buttons that were not pressed.
void InputDevice::decodeButtons(const uint8_t *report)
{
    const int capsCount = std::min<int>(caps.NumberInputButtonCaps, ButtonCapsCount);
    if (capsCount < 1 || !buttonCaps[0].IsRange)
        return;
    USAGE usages[ButtonCount] = {};
    ULONG usageCount = ButtonCount;
    if (hid_get_usages(handle, report, HidP_Input, preparsedData, &caps, buttonCaps,
                       static_cast<USHORT>(capsCount), usages, &usageCount) != 0)
        return;
    usageCount = std::min<ULONG>(usageCount, ButtonCount);
    for (ULONG i = 0; i < usageCount; ++i) {
        if (usages[i] < ButtonCount)
            buttons[usages[i]] = true;
    }
}

bool InputDevice::poll()
{
    if (!readInput())
        return false;
    emit inputAllEvent(buttons, analog);
    emitChanges();
    std::copy(std::begin(buttons), std::end(buttons), std::begin(lastButtons));
    std::copy(std::begin(analog), std::end(analog), std::begin(lastAnalog));
    return true;
}

void InputDevice::emitChanges()
{
    for (uint i = 0; i < ButtonCount; ++i) {
        if (buttons[i] != lastButtons[i])
            emit buttonEvent(i, buttons[i]);
    }
    for (uint i = 0; i < AnalogCount; ++i) {
        if (analog[i] == lastAnalog[i])
            continue;
        if (analogUsage[i] == hatSwitchUsage) {
            // The hat reports as virtual buttons numbered from 130 by position.
            emit buttonEvent(hatButtonBase + static_cast<uint>(analog[i]), true);
            emit buttonEvent(hatButtonBase + static_cast<uint>(lastAnalog[i]), false);
        } else {
            emit analogEvent(i, analog[i], analogUsage[i]);
        }
    }
}

void InputDevice::readManufacturer(char *dest)
{
    readDeviceString(handle, hid_get_manufacturer_string, "Error reading manufacturer", dest);
}

void InputDevice::readProduct(char *dest)
{
    readDeviceString(handle, hid_get_product_string, "Error reading product", dest);
}

void InputDevice::readSerial(char *dest)
{
    readDeviceString(handle, hid_get_serial_number_string, "Error reading serial", dest);
}

bool isBootloaderProduct(const char *product)
{
    // qstrnicmp stops at the shorter text's terminator, so a product shorter than four
    // characters never matches.
    return product != nullptr && qstrnicmp(product, "boot", 4) == 0;
}

#include "inputdevice.h"

#include <QByteArray>
#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "abstracthardware.h"
#include "widetext.h"

namespace {

constexpr USAGE hatSwitchUsage = 0x39;
constexpr uint hatButtonBase = 130;

// The pause before each identity text is read.
constexpr unsigned long stringReadPauseMs = 10;

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

// Hands the query at most `capacity` entries and says in the log when the device declares more.
USHORT limitCapacity(USHORT declared, USHORT capacity, const char *what, const char *path)
{
    if (declared > capacity)
        qDebug().noquote() << QStringLiteral(
                                  "Device %1 declares %2 input %3 capabilities; only the first %4 are used")
                                  .arg(QString::fromUtf8(path))
                                  .arg(declared)
                                  .arg(QString::fromLatin1(what))
                                  .arg(capacity);
    return std::min(declared, capacity);
}

} // namespace

InputDevice::InputDevice(AbstractHardware *hardware) : QObject(nullptr), m_hardware(hardware)
{
    m_hardware->setBuffers(&m_hardwareArea[0][0][0]);
    // Everything else starts cleared, the work area included, whatever setBuffers wrote there.
    m_releaseNumber = 0;
    m_active = false;
    m_vendorId = 0;
    m_productId = 0;
    std::memset(m_product, 0, sizeof m_product);
    std::memset(m_manufacturer, 0, sizeof m_manufacturer);
    std::memset(m_serial, 0, sizeof m_serial);
    std::memset(m_versionText, 0, sizeof m_versionText);
    std::memset(m_path, 0, sizeof m_path);
    std::memset(m_inputData, 0, sizeof m_inputData);
    clearState();
    std::memset(m_analogUsage, 0, sizeof m_analogUsage);
    std::memset(m_lastButtons, 0, sizeof m_lastButtons);
    std::memset(m_lastAnalog, 0, sizeof m_lastAnalog);
    std::memset(m_hardwareArea, 0, sizeof m_hardwareArea);
    m_preparsedData = nullptr;
    std::memset(&m_caps, 0, sizeof m_caps);
    std::memset(m_valueCaps, 0, sizeof m_valueCaps);
    std::memset(m_buttonCaps, 0, sizeof m_buttonCaps);
    m_handle = nullptr;
}

InputDevice::~InputDevice()
{
    hid_close(m_handle);
    delete m_hardware;
}

void InputDevice::clearState()
{
    std::fill(std::begin(m_buttons), std::end(m_buttons), false);
    std::fill(std::begin(m_analog), std::end(m_analog), 0);
}

bool InputDevice::readInput()
{
    uint8_t report[ReportSize] = {};
    // Reports longer than the buffer are cut to it; discovery logs such devices.
    const size_t readLength = std::min<size_t>(m_caps.InputReportByteLength, ReportSize);
    // The queries read a report at its full declared length, so a cut report cannot be decoded.
    const bool decodable = m_caps.InputReportByteLength <= ReportSize;
    const int result = hid_read_timeout(m_handle, report, readLength, m_readTimeout);
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
    std::memcpy(m_inputData, report, sizeof m_inputData);
    m_hardware->processInput(m_inputData, bytes);
    emit inputEvent(m_inputData, bytes);
    return true;
}

// Slot i receives the i-th value usage in capability order, ranges expanded in ascending order;
// a failed query leaves the slot 0 with its previous usage.
void InputDevice::decodeValues(const uint8_t *report)
{
    const int capsCount = std::min<int>(m_caps.NumberInputValueCaps, ValueCapsCount);
    int slot = 0;
    for (int c = 0; c < capsCount && slot < AnalogCount; ++c) {
        const HIDP_VALUE_CAPS &entry = m_valueCaps[c];
        // int, not USAGE: a range ending at 0xFFFF must not wrap around.
        const int first = entry.IsRange ? entry.Range.UsageMin : entry.NotRange.Usage;
        const int last = entry.IsRange ? entry.Range.UsageMax : entry.NotRange.Usage;
        for (int usage = first; usage <= last && slot < AnalogCount; ++usage, ++slot) {
            ULONG value = 0;
            if (hid_get_usagevalue(m_handle, report, HidP_Input, m_preparsedData, &m_caps, entry.UsagePage,
                                   static_cast<USAGE>(usage), &value) == 0) {
                m_analogUsage[slot] = usage;
                m_analog[slot] = static_cast<int32_t>(value);
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
    const int capsCount = std::min<int>(m_caps.NumberInputButtonCaps, ButtonCapsCount);
    if (capsCount < 1 || !m_buttonCaps[0].IsRange)
        return;
    USAGE usages[ButtonCount] = {};
    ULONG usageCount = ButtonCount;
    if (hid_get_usages(m_handle, report, HidP_Input, m_preparsedData, &m_caps, m_buttonCaps,
                       static_cast<USHORT>(capsCount), usages, &usageCount) != 0)
        return;
    usageCount = std::min<ULONG>(usageCount, ButtonCount);
    for (ULONG i = 0; i < usageCount; ++i) {
        if (usages[i] < ButtonCount)
            m_buttons[usages[i]] = true;
    }
}

bool InputDevice::poll()
{
    if (!readInput())
        return false;
    emit inputAllEvent(m_buttons, m_analog);
    emitChanges();
    std::copy(std::begin(m_buttons), std::end(m_buttons), std::begin(m_lastButtons));
    std::copy(std::begin(m_analog), std::end(m_analog), std::begin(m_lastAnalog));
    return true;
}

void InputDevice::emitChanges()
{
    for (uint i = 0; i < ButtonCount; ++i) {
        if (m_buttons[i] != m_lastButtons[i])
            emit buttonEvent(i, m_buttons[i]);
    }
    for (uint i = 0; i < AnalogCount; ++i) {
        if (m_analog[i] == m_lastAnalog[i])
            continue;
        if (m_analogUsage[i] == hatSwitchUsage) {
            // The hat reports as virtual buttons numbered from 130 by position.
            emit buttonEvent(hatButtonBase + static_cast<uint>(m_analog[i]), true);
            emit buttonEvent(hatButtonBase + static_cast<uint>(m_lastAnalog[i]), false);
        } else {
            emit analogEvent(i, m_analog[i], m_analogUsage[i]);
        }
    }
}

void InputDevice::attach(hid_device *handle, const char *path)
{
    m_handle = handle;
    if (path != nullptr)
        qstrncpy(m_path, path, sizeof m_path);
}

bool InputDevice::describe()
{
    if (hid_get_preparsed_data(m_handle, &m_preparsedData) < 0) {
        m_preparsedData = nullptr;
        return false;
    }
    if (hid_get_caps(m_handle, m_preparsedData, &m_caps) < 0)
        return false;
    if (m_caps.InputReportByteLength > ReportSize)
        qDebug().noquote()
            << QStringLiteral("Device %1 has %2-byte input reports; only the first %3 bytes are read and its "
                              "reports are not decoded")
                   .arg(QString::fromUtf8(m_path))
                   .arg(m_caps.InputReportByteLength)
                   .arg(ReportSize);
    m_caps.NumberInputButtonCaps =
        limitCapacity(m_caps.NumberInputButtonCaps, ButtonCapsCount, "button", m_path);
    if (hid_get_buttoncaps(m_handle, HidP_Input, m_preparsedData, &m_caps, m_buttonCaps) < 0)
        return false;
    m_caps.NumberInputValueCaps = limitCapacity(m_caps.NumberInputValueCaps, ValueCapsCount, "value", m_path);
    if (hid_get_valuecaps(m_handle, HidP_Input, m_preparsedData, &m_caps, m_valueCaps) < 0)
        return false;
    // The layer writes no more than the capacity, but the decode trusts these counts as bounds.
    m_caps.NumberInputButtonCaps = std::min<USHORT>(m_caps.NumberInputButtonCaps, ButtonCapsCount);
    m_caps.NumberInputValueCaps = std::min<USHORT>(m_caps.NumberInputValueCaps, ValueCapsCount);
    logValueUsagesCut();
    return true;
}

// The decode fills one slot per value usage, ranges expanded; the slots past the last are lost.
void InputDevice::logValueUsagesCut() const
{
    long usages = 0;
    for (int i = 0; i < m_caps.NumberInputValueCaps; ++i) {
        const HIDP_VALUE_CAPS &entry = m_valueCaps[i];
        usages += !entry.IsRange ? 1 : std::max(0, int(entry.Range.UsageMax) - int(entry.Range.UsageMin) + 1);
    }
    if (usages > AnalogCount)
        qDebug().noquote() << QStringLiteral(
                                  "Device %1 declares %2 input value usages; only the first %3 are decoded")
                                  .arg(QString::fromUtf8(m_path))
                                  .arg(usages)
                                  .arg(AnalogCount);
}

void InputDevice::readIdentity(const hid_device_info &record, QString port)
{
    m_releaseNumber = record.release_number;
    m_productId = record.product_id;
    m_vendorId = record.vendor_id;
    QThread::msleep(stringReadPauseMs);
    readDeviceString(m_handle, hid_get_serial_number_string, "Error reading serial", m_serial);
    QThread::msleep(stringReadPauseMs);
    readDeviceString(m_handle, hid_get_manufacturer_string, "Error reading manufacturer", m_manufacturer);
    QThread::msleep(stringReadPauseMs);
    readDeviceString(m_handle, hid_get_product_string, "Error reading product", m_product);
    std::snprintf(m_versionText, VersionTextBound, "%x.%x", m_releaseNumber >> 8, m_releaseNumber & 0xFF);
    m_port = std::move(port);
}

AbstractHardware *InputDevice::replaceHardware(AbstractHardware *replacement)
{
    return std::exchange(m_hardware, replacement);
}

bool isBootloaderProduct(const char *product)
{
    // qstrnicmp stops at the shorter text's terminator, so a product shorter than four
    // characters never matches.
    return product != nullptr && qstrnicmp(product, "boot", 4) == 0;
}

// What both HID backends do alike, whatever the system beneath: freeing an enumeration list,
// hid_open's walk over the records, the padding of short output reports and the usable length of a
// caller's usage or data list. Plain C++ on the functions and records of hid.h, no system calls.
#pragma once

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "hid.h"

namespace hidbackend {

// Frees every record of an enumeration list and its texts, all allocated with malloc.
inline void freeEnumeration(hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

// hid_open on an enumeration list: the first record of the vendor and product that opens and, when
// a serial number is given, whose device reports exactly that serial number. Frees the list.
inline hid_device *openFirstMatch(hid_device_info *list, unsigned short vendor_id, unsigned short product_id,
                                  const wchar_t *serial_number)
{
    hid_device *found = nullptr;
    for (hid_device_info *record = list; record && !found; record = record->next) {
        if (record->vendor_id != vendor_id || record->product_id != product_id)
            continue;
        hid_device *candidate = hid_open_path(record->path);
        if (!candidate || !serial_number) {
            found = candidate;
            continue;
        }
        // Records carry no serial number: compare with the one the device reports.
        wchar_t serial[HID_STRING_MAX_CHARS] = {};
        if (hid_get_serial_number_string(candidate, serial, HID_STRING_MAX_CHARS) == 0 &&
            std::wcscmp(serial, serial_number) == 0)
            found = candidate;
        else
            hid_close(candidate);
    }
    hid_free_enumeration(list);
    return found;
}

// The bytes hid_write hands to the system: the caller's report, or a copy padded with zeros to the
// output report length when it is shorter, since devices take only whole output reports.
class PaddedReport {
public:
    PaddedReport() = default;
    PaddedReport(const PaddedReport &) = delete;
    PaddedReport &operator=(const PaddedReport &) = delete;
    ~PaddedReport() { std::free(m_copy); }

    // False when the padded copy cannot be allocated.
    bool prepare(const unsigned char *data, size_t length, size_t reportLength)
    {
        m_data = data;
        m_size = length;
        if (length >= reportLength)
            return true;
        m_copy = static_cast<unsigned char *>(std::calloc(reportLength, 1));
        if (!m_copy)
            return false;
        if (length > 0)
            std::memcpy(m_copy, data, length);
        m_data = m_copy;
        m_size = reportLength;
        return true;
    }

    const unsigned char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    const unsigned char *m_data = nullptr;
    size_t m_size = 0;
    unsigned char *m_copy = nullptr;
};

// The usable length of a caller's usage or data list: its capacity, 0 meaning "as long as the
// parser's maximum", and never more than that maximum.
inline ULONG listCapacity(ULONG callerCapacity, ULONG parserMaximum)
{
    return callerCapacity != 0 && callerCapacity < parserMaximum ? callerCapacity : parserMaximum;
}

} // namespace hidbackend

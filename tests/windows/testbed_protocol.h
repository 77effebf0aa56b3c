// What the Windows tests under wine and the Linux program that plays their devices (wine_testbed)
// agree on. Both sides build this header: the report decoding below runs through the exported
// queries of whichever HID layer the program links, so the same report gives the same text only
// when both layers decode it alike.
//
// The conversation: the Windows program writes a line starting with '@' to its standard output
// and reads the one-line answer from its standard input.
//   @decode SERIAL HEX  -> the report decoded by the Linux layer, as decodeReport() writes it
//   @unplug SERIAL      -> "ok" once the controller has left the bus
//   @commands SERIAL    -> "COMMANDS IMAGES": the bootloader commands it took and the images it
//                          completed so far
//   @hold SERIAL K      -> "ok"; the first controller's bootloader then stops at its K-th block
//   @held SERIAL        -> "held" once it stops there (or "not held" after 30 s)
//   @release SERIAL     -> "ok"; the held block goes on
//   @image SERIAL       -> "BYTES SHA256" of the image the controller's bootloader took, once
//                          it is complete, or "none"
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hid.h"
#include "json.h"

namespace testbed {

// The simulated controllers: the first takes a firmware image of kFirmwareSize bytes; the second
// takes the bootloader command and then falls silent.
constexpr const char *kFlashedSerial = "SIM-0001";
constexpr const char *kSilentSerial = "SIM-0002";
constexpr size_t kFirmwareSize = 5000;

// The descriptors of tests/data with a joystick or game pad collection come as vendor
// kDescriptorVendorId, product kDescriptorProductBase + their index in devices.json.
constexpr unsigned short kDescriptorVendorId = 0x1209;
constexpr unsigned short kDescriptorProductBase = 0xD000;

inline bool hasGameCollection(const testsupport::Json &device)
{
    for (const testsupport::Json &c : device["top_level_collections"].items())
        if (c["usage_page"].asInt() == 0x01 && (c["usage"].asInt() == 0x04 || c["usage"].asInt() == 0x05))
            return true;
    return false;
}

inline std::vector<uint8_t> hexBytes(const std::string &text)
{
    std::vector<uint8_t> bytes;
    unsigned value = 0;
    int digits = 0;
    for (char ch : text) {
        int nibble = ch >= '0' && ch <= '9'   ? ch - '0'
                     : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                     : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                              : -1;
        if (nibble < 0)
            continue;
        value = value << 4 | unsigned(nibble);
        if (++digits == 2) {
            bytes.push_back(uint8_t(value));
            value = 0;
            digits = 0;
        }
    }
    return bytes;
}

inline std::string hexText(const unsigned char *bytes, size_t length)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// The buttons on and the four axes of a simulated controller's input report (report-ID byte
// first, caps.InputReportByteLength long), as "buttons 3 4 axes X Y Z Rz"; a failing query shows
// as "failed".
inline std::string decodeReport(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS &caps,
                                const unsigned char *report)
{
    HIDP_BUTTON_CAPS buttonPage = {};
    buttonPage.UsagePage = 0x09;
    USAGE usages[32];
    ULONG count = 32;
    if (hid_get_usages(dev, report, HidP_Input, preparsed, &caps, &buttonPage, 1, usages, &count) != 0)
        return "failed";
    std::string text = "buttons";
    for (ULONG i = 0; i < count; ++i)
        text += " " + std::to_string(usages[i]);
    text += " axes";
    for (USAGE axis : {0x30, 0x31, 0x32, 0x35}) {
        ULONG value = 0;
        if (hid_get_usagevalue(dev, report, HidP_Input, preparsed, &caps, 0x01, axis, &value) != 0)
            return "failed";
        text += " " + std::to_string(value);
    }
    return text;
}

} // namespace testbed

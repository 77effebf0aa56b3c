// An in-process stand-in for the HID layer (the functions of hid/hid.h), scripted per test. It lets
// the device, discovery and monitor tests choose every answer the layer gives and see every
// argument the code under test hands it, without kernel devices.
//
// A device is scripted in one of two ways. By its answers: the capabilities and usages below, with
// no parser involved. Or by a report descriptor (`descriptor`), as the fuzz targets do: then the
// handle is scoped to the descriptor's first top-level collection, the description queries are
// answered by the real parser, and reads deliver the scripted reports the way the Linux layer
// delivers hidraw's, through the Linux backend's own helpers (hid/linux/helpers.h): report ID
// first (0 when the device uses none), shorter reports zero-filled to the input report length,
// reports of other collections dropped.
//
// A scripted report is laid out as: byte 0 the report ID, then one byte per value usage (in the
// order of `values`), then a bit mask over `buttonUsages` (bit i of byte k: usage buttonUsages[8k+i]).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;

struct ValueUsage {
    USAGE page;
    USAGE usage;
};

// One scripted read: a report, a timeout (no report) or a failure.
struct Read {
    enum Kind { Report, Timeout, Failure } kind;
    Bytes report;
    static Read data(Bytes bytes) { return {Report, std::move(bytes)}; }
    static Read timeout() { return {Timeout, {}}; }
    static Read failure() { return {Failure, {}}; }
};

struct Device {
    // Enumeration record.
    std::string path = "/dev/hidraw0";
    uint16_t vendorId = 0x1209, productId = 0x0001, releaseNumber = 0x0102;
    uint16_t usagePage = 1, usage = 4;
    std::string port; // where it is plugged in; empty: the platform tells none

    bool plugged = true; // listed by hid_enumerate, openable
    bool failOpen = false;
    int openErrno = 0; // errno a failed open leaves
    bool failCaps = false;
    bool failPreparsed = false;

    Bytes descriptor; // not empty: the device is described by this report descriptor

    HIDP_CAPS caps{};
    std::vector<HIDP_BUTTON_CAPS> buttonCaps;
    std::vector<HIDP_VALUE_CAPS> valueCaps;
    std::vector<ValueUsage> values;  // what hid_get_usagevalue finds, in report order
    std::vector<USAGE> buttonUsages; // usages behind the report's button bits
    USAGE buttonPage = 9;            // page on which hid_get_usages answers

    // Strings; nullopt makes the query fail.
    std::optional<std::wstring> manufacturer = L"Maker", product = L"Stick", serial = L"SN1";

    std::deque<Read> reads; // empty: every read times out
    // When not empty, every read answers the next of these reports in turn, and reads and usage
    // queries are not recorded: a device that always has a report waiting, at no cost of its own.
    std::vector<Bytes> steadyReports;
    size_t nextSteadyReport = 0;
    bool failEveryRead = false;

    std::vector<Bytes> featureReports;    // every feature report sent, as sent
    int refuseFeatureReportNumber = -1;   // 0-based index of the feature report to refuse
    int shortFeatureReportNumber = -1;    // ... of the one taken only in part (one byte short)
    int unplugAtFeatureReportNumber = -1; // ... at which the device leaves: it and all after fail

    // Observations.
    int opens = 0, closes = 0, preparsedTaken = 0, preparsedFreed = 0;
    std::vector<size_t> readLengths;
    std::vector<ULONG> usageListCapacities;
    std::vector<USHORT> buttonCapsCapacities, valueCapsCapacities;
};

// The scripted devices. Tests change them only while the code under test is not running on
// another thread, or under lock().
std::vector<Device> &devices();
std::mutex &lock();
void reset();
Device *byPath(const std::string &path);

// Counts of enumeration lists handed out and freed.
int listsHandedOut();
int listsFreed();

// Capabilities helpers.
HIDP_BUTTON_CAPS buttonRange(USAGE page, USAGE first, USAGE last, USHORT dataIndexMin, USHORT dataIndexMax);
HIDP_BUTTON_CAPS buttonSingle(USAGE page, USAGE usage);
HIDP_VALUE_CAPS valueSingle(USAGE page, USAGE usage);
HIDP_VALUE_CAPS valueRange(USAGE page, USAGE first, USAGE last, USHORT dataIndexMax);

// A joystick with the given value usages and button usages 1..buttonCount (one button range),
// capability counts and report length set to match the report layout above.
Device joystick(const std::string &path, std::vector<ValueUsage> values, int buttonCount);

} // namespace scripted

// A stand-in for the HID layer (the functions of hid/hid.h) for the fuzz targets: one device whose
// report descriptor and stream of input reports come from the fuzz input. The description queries
// go to the real report-descriptor parser, and reads deliver reports as the Linux layer does:
// report ID first (0 when the device uses none), shorter reports zero-filled to the input report
// length, reports of other collections dropped, the delivered length answered even when the caller's
// buffer took less.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hid/hid.h"

namespace fuzzhid {

// The path hid_open_path opens.
constexpr const char *DevicePath = "/dev/hidraw0";

// Serves `descriptor` and the reports in `stream` until the next call; both must stay valid until
// then. The stream is a sequence of records: a two-byte little-endian length, then that many report
// bytes (cut at the end of the stream). A record of length 0 is a read that times out; after the
// last record every read fails, as when the device is unplugged.
void serve(const uint8_t *descriptor, size_t descriptorSize, const uint8_t *stream, size_t streamSize);

} // namespace fuzzhid

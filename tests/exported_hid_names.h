// The functions the flasher exports for plug-ins and tools, by name: hidapi's set and the eight
// report-description queries. Shared by the Linux export probe and the Windows backend's tests.
#pragma once

inline constexpr const char *kExportedHidNames[] = {
    "hid_init",
    "hid_exit",
    "hid_enumerate",
    "hid_free_enumeration",
    "hid_open",
    "hid_open_path",
    "hid_close",
    "hid_read",
    "hid_read_timeout",
    "hid_write",
    "hid_set_nonblocking",
    "hid_send_feature_report",
    "hid_get_feature_report",
    "hid_get_manufacturer_string",
    "hid_get_product_string",
    "hid_get_serial_number_string",
    "hid_get_indexed_string",
    "hid_error",
    "hid_get_preparsed_data",
    "hid_free_preparsed_data",
    "hid_get_caps",
    "hid_get_buttoncaps",
    "hid_get_valuecaps",
    "hid_get_usages",
    "hid_get_usagevalue",
    "hid_get_data",
};

/* The HID access layer: hidapi's function set under hidapi's names and result conventions, plus
 * queries of the parsed report description of an opened collection.
 *
 * Every function is exported by the program under its plain name. Integer results are -1 on
 * failure and pointer results null; a failing call with a handle keeps a last-error text on it.
 */
#ifndef FLASHER_HID_H
#define FLASHER_HID_H

#include <stddef.h>
#include <wchar.h>

#include "hidp.h"

#ifdef _WIN32
#define HID_API_EXPORT __declspec(dllexport)
#else
#define HID_API_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct hid_device_;
typedef struct hid_device_ hid_device;

/* One record per top-level collection. The text fields are always null: device strings are read
 * from the opened device. */
struct hid_device_info {
    char *path;
    unsigned short vendor_id;
    unsigned short product_id;
    wchar_t *serial_number;
    unsigned short release_number;
    wchar_t *manufacturer_string;
    wchar_t *product_string;
    unsigned short usage_page;
    unsigned short usage;
    int interface_number;
    struct hid_device_info *next;
};

/* Device strings are bounded at this many wide characters, terminator included. */
#define HID_STRING_MAX_CHARS 125

HID_API_EXPORT int hid_init(void);
HID_API_EXPORT int hid_exit(void);
HID_API_EXPORT struct hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id);
HID_API_EXPORT void hid_free_enumeration(struct hid_device_info *devs);
HID_API_EXPORT hid_device *hid_open(unsigned short vendor_id, unsigned short product_id,
                                    const wchar_t *serial_number);
/* On Linux a failed hid_open_path also leaves the cause in errno: EACCES or EPERM when the user
   may not open the device node. */
HID_API_EXPORT hid_device *hid_open_path(const char *path);
HID_API_EXPORT void hid_close(hid_device *dev);
HID_API_EXPORT int hid_read(hid_device *dev, unsigned char *data, size_t length);
HID_API_EXPORT int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds);
HID_API_EXPORT int hid_write(hid_device *dev, const unsigned char *data, size_t length);
HID_API_EXPORT int hid_set_nonblocking(hid_device *dev, int nonblock);
HID_API_EXPORT int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length);
HID_API_EXPORT int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length);
HID_API_EXPORT int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen);
HID_API_EXPORT int hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen);
HID_API_EXPORT int hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen);
HID_API_EXPORT int hid_get_indexed_string(hid_device *dev, int string_index, wchar_t *string, size_t maxlen);
HID_API_EXPORT const wchar_t *hid_error(hid_device *dev);

/* Report-description queries. 0 on success, -1 on failure (with the handle's last-error text).
 * Report buffers are reports as hid_read_timeout delivers them, report-ID byte first, at least
 * caps->InputReportByteLength bytes long. */
HID_API_EXPORT int hid_get_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA *preparsed);
HID_API_EXPORT int hid_free_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA preparsed);
HID_API_EXPORT int hid_get_caps(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps);

/* caps->NumberInputButtonCaps is the capacity of button_caps on entry and the number written on
 * return, whatever report type is asked for. Succeeds for every parser status. */
HID_API_EXPORT int hid_get_buttoncaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed,
                                      PHIDP_CAPS caps, PHIDP_BUTTON_CAPS button_caps);
/* As hid_get_buttoncaps, with caps->NumberInputValueCaps. */
HID_API_EXPORT int hid_get_valuecaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed,
                                     PHIDP_CAPS caps, PHIDP_VALUE_CAPS value_caps);

/* The usages that are on in the report, on the usage page of page_source->UsagePage, anywhere in
 * the collection. *usage_length: on entry the capacity of usage_list, or 0 to trust that the list
 * holds the page's maximum usage-list length; on return the number of usages written. The list is
 * never written past the smaller of the two. caps_count is not used. */
HID_API_EXPORT int hid_get_usages(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                                  PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps,
                                  const HIDP_BUTTON_CAPS *page_source, USHORT caps_count, PUSAGE usage_list,
                                  ULONG *usage_length);
/* The raw, zero-extended value of one usage (the first element of a value array). */
HID_API_EXPORT int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                                      PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page,
                                      USAGE usage, ULONG *value);
/* The data list of the report. *data_length: on entry the capacity of data_list, or 0 to trust
 * that it holds the maximum data-list length; on return the number of entries written. */
HID_API_EXPORT int hid_get_data(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                                PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, PHIDP_DATA data_list,
                                ULONG *data_length);

#ifdef __cplusplus
}
#endif

#endif /* FLASHER_HID_H */

// The HID access layer on Linux: hidraw device nodes for I/O, libudev for enumeration and device
// strings, and our report-descriptor parser for everything Windows would answer from its HID
// parser.
//
// Collections: a hidraw node carries every top-level collection of a device, while the rest of
// the program expects one device per collection. A single-collection device is listed as
// "/dev/hidrawN"; each collection of a multi-collection device as "/dev/hidrawN&colNN" (two
// lower-case hex digits from 01, in descriptor order). A handle opened on such a path reports the
// lengths of its collection and reads only that collection's reports; the plain node path of a
// multi-collection device names its first collection.
//
// Threads: the monitor thread reads a handle while the GUI thread sends feature reports on it.
// The read path (hid_read, hid_read_timeout) owns the read buffer; the feature, output and string
// paths touch nothing of the handle but the descriptor, which stays unchanged from opening to
// closing. Every call may replace the last-error text, which is guarded by its own lock and kept
// in a fixed buffer inside the handle, so a pointer from hid_error stays valid until hid_close.
// One handle must not be read from two threads, nor closed while another thread uses it.
//
// Errors: a handle keeps the strerror text of its last failing call (or a plain sentence for
// failures that are not system calls, such as a descriptor that cannot be parsed, or the parser
// status name for a failed query). hid_open_path and hid_open have no handle to keep a text on:
// hid_error(NULL) answers the text of the calling thread's last open, null when it succeeded.
// A failed hid_open_path also leaves the cause in errno (EINVAL when no system call failed), so a
// caller can tell a node the user may not open (EACCES, EPERM) from one that is gone or unusable.

#include "hid.h"

#include "descriptor/descriptor.h"
#include "hexdigit.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The parsed description of one top-level collection, owned by whoever got it from
// hid_get_preparsed_data; independent of the handle it came from.
struct _HIDP_PREPARSED_DATA {
    hidparse::CollectionPtr collection;
};

namespace {

// hidraw hands over at most this many bytes per report.
constexpr size_t kMaxReportSize = 16384;
// The length field of the feature-report ioctls is 14 bits wide; a longer length would spill
// into the direction bits and make a different request.
constexpr size_t kMaxIoctlLength = (1u << _IOC_SIZEBITS) - 1;
// Error texts longer than this are cut; they are read by people, not parsed.
constexpr size_t kErrorTextChars = 256;

// ---- Text ----------------------------------------------------------------------------------

// Decodes UTF-8 into at most `capacity - 1` wide characters plus a terminator (capacity >= 1).
// Malformed sequences become U+FFFD, so device strings with stray bytes still read.
size_t decodeUtf8(std::string_view in, wchar_t *out, size_t capacity)
{
    size_t written = 0;
    size_t i = 0;
    while (i < in.size() && written + 1 < capacity) {
        const auto lead = static_cast<unsigned char>(in[i]);
        unsigned extra = 0;
        char32_t cp = 0, min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            extra = 1, cp = lead & 0x1f, min = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2, cp = lead & 0x0f, min = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            extra = 0, cp = 0xfffd;
        }
        ++i;
        bool valid = lead < 0x80 || extra > 0;
        for (unsigned k = 0; k < extra && valid; ++k) {
            if (i >= in.size() || (static_cast<unsigned char>(in[i]) & 0xc0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(in[i]) & 0x3f);
            ++i;
        }
        if (!valid || cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            cp = 0xfffd;
        out[written++] = static_cast<wchar_t>(cp);
    }
    out[written] = L'\0';
    return written;
}

std::string errnoText(int error)
{
    char buf[256];
    return strerror_r(error, buf, sizeof buf); // the GNU variant returns the text
}

// A last-error text: replaced by whichever thread fails, read through hid_error.
class ErrorText {
public:
    void set(std::string_view utf8)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        decodeUtf8(utf8, m_text.data(), m_text.size());
        m_set.store(true, std::memory_order_release);
    }
    void setErrno(int error) { set(errnoText(error)); }
    void clear() { m_set.store(false, std::memory_order_release); }
    const wchar_t *get() const { return m_set.load(std::memory_order_acquire) ? m_text.data() : nullptr; }

private:
    std::mutex m_lock;
    std::array<wchar_t, kErrorTextChars> m_text{};
    std::atomic<bool> m_set{false};
};

// Failures of hid_open_path and hid_open have no handle to keep their text on; hid_error(NULL)
// answers the last one of the calling thread.
thread_local ErrorText openError;

// ---- udev ----------------------------------------------------------------------------------

struct UdevDeleter {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
};
using Udev = std::unique_ptr<udev, UdevDeleter>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeleter>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevDeleter>;

struct HidIdentity {
    unsigned bus = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// The hid device above a hidraw node, with its HID_ID ("0003:00001209:00000001").
udev_device *hidParent(udev_device *hidraw, HidIdentity &id)
{
    udev_device *hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (!hid)
        return nullptr;
    const char *hidId = udev_device_get_property_value(hid, "HID_ID");
    unsigned bus, vendor, product;
    if (!hidId || sscanf(hidId, "%x:%x:%x", &bus, &vendor, &product) != 3)
        return nullptr;
    id = {bus, static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
    return hid;
}

// A hexadecimal sysfs attribute ("0110", "00"), or `fallback`.
long hexAttribute(udev_device *device, const char *name, long fallback)
{
    const char *text = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    const long value = strtol(text, &end, 16);
    return end != text ? value : fallback;
}

// The report descriptor from sysfs. It is binary, so it is read as a file rather than through
// udev's text attributes.
bool readReportDescriptor(udev_device *hid, std::vector<uint8_t> &out)
{
    const std::string path = std::string(udev_device_get_syspath(hid)) + "/report_descriptor";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.assign(HID_MAX_DESCRIPTOR_SIZE + 1, 0);
    size_t size = 0;
    while (size < out.size()) {
        const ssize_t n = read(fd, out.data() + size, out.size() - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += static_cast<size_t>(n);
    }
    close(fd);
    out.resize(size);
    return size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE;
}

// ---- Paths ---------------------------------------------------------------------------------

struct CollectionPath {
    std::string node;      // "/dev/hidrawN"
    size_t collection = 0; // 0-based
    bool named = false;    // the path carried "&colNN"
};

// "/dev/hidrawN&colNN" or a plain node path. False for "&col00" and malformed suffixes.
bool parseCollectionPath(std::string_view path, CollectionPath &out)
{
    const size_t at = path.rfind("&col");
    if (at == std::string_view::npos) {
        out = {std::string(path), 0, false};
        return true;
    }
    const std::string_view digits = path.substr(at + 4);
    const int high = digits.size() == 2 ? hexDigitValue(digits[0]) : -1;
    const int low = digits.size() == 2 ? hexDigitValue(digits[1]) : -1;
    if (high < 0 || low < 0 || high * 16 + low == 0)
        return false;
    out = {std::string(path.substr(0, at)), static_cast<size_t>(high * 16 + low - 1), true};
    return true;
}

std::string collectionPath(const char *node, size_t index, size_t count)
{
    std::string path = node;
    if (count > 1) {
        // Two hex digits: enumeration lists at most kMaxTopLevelCollections (255) collections.
        static_assert(hidparse::kMaxTopLevelCollections <= 0xff);
        char suffix[8];
        snprintf(suffix, sizeof suffix, "&col%02x", static_cast<unsigned>(index + 1) & 0xffu);
        path += suffix;
    }
    return path;
}

// ---- Enumeration ---------------------------------------------------------------------------

struct EnumerationList {
    hid_device_info *head = nullptr;
    hid_device_info *tail = nullptr;

    ~EnumerationList() { hid_free_enumeration(head); }

    bool append(const std::string &path, const HidIdentity &id, unsigned short release, uint16_t usagePage,
                uint16_t usage, int interfaceNumber)
    {
        auto *record = static_cast<hid_device_info *>(calloc(1, sizeof(hid_device_info)));
        if (!record)
            return false;
        record->path = strdup(path.c_str());
        if (!record->path) {
            free(record);
            return false;
        }
        record->vendor_id = id.vendorId;
        record->product_id = id.productId;
        record->release_number = release;
        record->usage_page = usagePage;
        record->usage = usage;
        record->interface_number = interfaceNumber;
        (tail ? tail->next : head) = record;
        tail = record;
        return true;
    }

    hid_device_info *release()
    {
        hid_device_info *list = head;
        head = tail = nullptr;
        return list;
    }
};

// Takes one hexadecimal field of 1 to 8 digits (as many as an unsigned holds) off the front of
// `text`. False when there is none or it is longer.
bool takeHexField(std::string_view &text, unsigned &value)
{
    size_t digits = 0;
    value = 0;
    for (; digits < text.size() && hexDigitValue(text[digits]) >= 0; ++digits) {
        if (digits == 8)
            return false;
        value = value * 16 + static_cast<unsigned>(hexDigitValue(text[digits]));
    }
    text.remove_prefix(digits);
    return digits > 0;
}

// True when the syspath of a hidraw node shows that its device fails the filter. The kernel puts
// the node at <hid device>/hidraw/hidrawN and names the hid device after the numbers of its HID_ID
// ("0003:1209:0001.0004"), so the path tells the vendor and product without building the node's udev
// device and its parents, which is most of what a scan costs. A path of any other form rules
// nothing out and is left to the HID_ID check.
bool pathRulesOut(std::string_view syspath, unsigned short vendorFilter, unsigned short productFilter)
{
    if (!vendorFilter && !productFilter)
        return false;
    constexpr std::string_view kClassDir = "/hidraw";
    const size_t nodeSlash = syspath.rfind('/');
    if (nodeSlash == std::string_view::npos)
        return false;
    std::string_view parent = syspath.substr(0, nodeSlash);
    if (parent.size() < kClassDir.size() || parent.substr(parent.size() - kClassDir.size()) != kClassDir)
        return false;
    parent.remove_suffix(kClassDir.size());
    std::string_view name = parent.substr(parent.rfind('/') + 1);
    unsigned bus, vendor, product, instance;
    const auto separator = [&name](char c) {
        if (name.empty() || name.front() != c)
            return false;
        name.remove_prefix(1);
        return true;
    };
    if (!takeHexField(name, bus) || !separator(':') || !takeHexField(name, vendor) || !separator(':') ||
        !takeHexField(name, product) || !separator('.') || !takeHexField(name, instance) || !name.empty())
        return false;
    return (vendorFilter && vendorFilter != static_cast<uint16_t>(vendor)) ||
           (productFilter && productFilter != static_cast<uint16_t>(product));
}

// Appends the records of one hidraw node: one per top-level collection, or one with usage 0
// when the descriptor cannot be parsed.
bool appendNode(EnumerationList &list, udev_device *hidraw, unsigned short vendorFilter,
                unsigned short productFilter)
{
    const char *node = udev_device_get_devnode(hidraw);
    HidIdentity id;
    udev_device *hid = node ? hidParent(hidraw, id) : nullptr;
    if (!hid)
        return true;
    if ((vendorFilter && vendorFilter != id.vendorId) || (productFilter && productFilter != id.productId))
        return true;

    unsigned short release = 0;
    int interfaceNumber = -1;
    if (id.bus == BUS_USB) {
        udev_device *usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
        udev_device *usbInterface =
            udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_interface");
        release = static_cast<unsigned short>(hexAttribute(usb, "bcdDevice", 0));
        interfaceNumber = static_cast<int>(hexAttribute(usbInterface, "bInterfaceNumber", -1));
    }

    std::vector<uint8_t> descriptor;
    hidparse::DescriptorSummary summary;
    std::string error;
    if (!readReportDescriptor(hid, descriptor) ||
        !hidparse::summarize(descriptor.data(), descriptor.size(), summary, error) ||
        summary.collections.empty())
        return list.append(node, id, release, 0, 0, interfaceNumber);

    // Each collection's usage page and usage are those Windows lists, its capabilities' own; the
    // summary has them from the one parse.
    const size_t count = std::min(summary.collections.size(), hidparse::kMaxTopLevelCollections);
    for (size_t i = 0; i < count; ++i) {
        const hidparse::CollectionSummary &collection = summary.collections[i];
        if (!list.append(collectionPath(node, i, count), id, release, collection.usagePage, collection.usage,
                         interfaceNumber))
            return false;
    }
    return true;
}

// ---- Reading -------------------------------------------------------------------------------

// Milliseconds left until a deadline, for poll(): -1 waits without limit.
class Deadline {
public:
    explicit Deadline(int milliseconds) : m_infinite(milliseconds < 0)
    {
        if (!m_infinite)
            m_end = now() + static_cast<long long>(milliseconds) * 1000000;
    }
    bool expired() const { return !m_infinite && remainingMs() == 0; }
    int remainingMs() const
    {
        if (m_infinite)
            return -1;
        const long long left = m_end - now();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>((left + 999999) / 1000000, INT_MAX));
    }

private:
    static long long now()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    bool m_infinite;
    long long m_end = 0;
};

enum StringKind { Manufacturer, Product, Serial };

} // namespace

struct hid_device_ {
    int fd = -1;
    std::atomic<bool> blocking{true};

    // Set at opening, unchanged until closing.
    std::vector<uint8_t> descriptor;
    size_t collection = 0;
    bool usesReportIds = false;
    std::bitset<256> reportIds;   // this collection's reports
    size_t inputReportLength = 0; // report-ID byte included
    size_t outputReportLength = 0;
    std::string hidrawSysPath;

    // Read path only: one leading byte for the report ID hidraw leaves out when the device
    // uses none, then the largest report hidraw delivers.
    std::unique_ptr<uint8_t[]> readBuffer;

    ErrorText error;

    ~hid_device_()
    {
        if (fd >= 0)
            close(fd);
    }

    bool acceptsReport(uint8_t id) const { return !usesReportIds || reportIds.test(id); }
};

namespace {

// Why an open failed: the text hid_error(NULL) answers and the errno hid_open_path leaves.
struct OpenFailure {
    std::string why;
    int error = EINVAL;

    void fromErrno(int cause)
    {
        error = cause;
        why = errnoText(cause);
    }
};

// The steps of hid_open_path after the path is parsed; false with the reason in `failure`.
bool openNode(hid_device &dev, const CollectionPath &path, OpenFailure &failure)
{
    struct stat st;
    if (stat(path.node.c_str(), &st) != 0) {
        failure.fromErrno(errno);
        return false;
    }
    Udev udev(udev_new());
    UdevDevice hidraw(udev && S_ISCHR(st.st_mode) ? udev_device_new_from_devnum(udev.get(), 'c', st.st_rdev)
                                                  : nullptr);
    const char *subsystem = hidraw ? udev_device_get_subsystem(hidraw.get()) : nullptr;
    if (!subsystem || strcmp(subsystem, "hidraw") != 0) {
        failure.why = "Not a hidraw device: " + path.node;
        return false;
    }
    dev.hidrawSysPath = udev_device_get_syspath(hidraw.get());

    dev.fd = open(path.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (dev.fd < 0) {
        failure.fromErrno(errno);
        return false;
    }
    int size = 0;
    if (ioctl(dev.fd, HIDIOCGRDESCSIZE, &size) < 0) {
        failure.fromErrno(errno);
        return false;
    }
    auto raw = std::make_unique<hidraw_report_descriptor>();
    raw->size = static_cast<uint32_t>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
    if (ioctl(dev.fd, HIDIOCGRDESC, raw.get()) < 0) {
        failure.fromErrno(errno);
        return false;
    }
    dev.descriptor.assign(raw->value, raw->value + raw->size);

    hidparse::DescriptorSummary summary;
    std::string error;
    if (!hidparse::summarize(dev.descriptor.data(), dev.descriptor.size(), summary, error)) {
        failure.why = "Report descriptor cannot be parsed: " + error;
        return false;
    }
    if (path.collection >= summary.collections.size() ||
        path.collection >= hidparse::kMaxTopLevelCollections) {
        char text[96];
        snprintf(text, sizeof text, "No top-level collection %zu on %s", path.collection + 1,
                 path.node.c_str());
        failure.why = text;
        return false;
    }
    // Opening needs the capabilities, as on Windows: a collection that cannot be parsed cannot
    // be sized or decoded.
    hidparse::CollectionPtr collection =
        hidparse::parseCollection(dev.descriptor.data(), dev.descriptor.size(), path.collection, error);
    HIDP_CAPS caps{};
    if (!collection) {
        failure.why = "Report descriptor cannot be parsed: " + error;
        return false;
    }
    if (const NTSTATUS status = hidparse::getCaps(*collection, &caps); status != HIDP_STATUS_SUCCESS) {
        failure.why = std::string("Capabilities cannot be read: ") + hidparse::statusName(status);
        return false;
    }
    dev.collection = path.collection;
    dev.usesReportIds = summary.usesReportIds;
    for (uint8_t id : summary.collections[path.collection].reportIds)
        dev.reportIds.set(id);
    dev.inputReportLength = caps.InputReportByteLength;
    dev.outputReportLength = caps.OutputReportByteLength;
    dev.readBuffer = std::make_unique<uint8_t[]>(std::max(kMaxReportSize + 1, dev.inputReportLength));
    return true;
}

bool validFeatureBuffer(hid_device *dev, const unsigned char *data, size_t length)
{
    if (data && length > 0 && length <= kMaxIoctlLength)
        return true;
    dev->error.setErrno(EINVAL);
    return false;
}

int readString(hid_device *dev, StringKind kind, wchar_t *string, size_t maxlen)
{
    if (!dev)
        return -1;
    if (!string || maxlen == 0) {
        dev->error.setErrno(EINVAL);
        return -1;
    }
    try {
        Udev udev(udev_new());
        UdevDevice hidraw(udev ? udev_device_new_from_syspath(udev.get(), dev->hidrawSysPath.c_str())
                               : nullptr);
        HidIdentity id;
        udev_device *hid = hidraw ? hidParent(hidraw.get(), id) : nullptr;
        if (!hid) {
            dev->error.setErrno(ENODEV);
            return -1;
        }
        const char *value = nullptr;
        if (id.bus == BUS_USB) {
            static constexpr const char *kAttributes[] = {"manufacturer", "product", "serial"};
            udev_device *usb =
                udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_device");
            value = usb ? udev_device_get_sysattr_value(usb, kAttributes[kind]) : nullptr;
        } else if (kind == Product) {
            value = udev_device_get_property_value(hid, "HID_NAME");
        } else if (kind == Serial) {
            value = udev_device_get_property_value(hid, "HID_UNIQ");
        }
        if (!value) {
            static constexpr const char *kMissing[] = {"The device has no manufacturer string",
                                                       "The device has no product string",
                                                       "The device has no serial number string"};
            dev->error.set(kMissing[kind]);
            return -1;
        }
        decodeUtf8(value, string, std::min<size_t>(maxlen, HID_STRING_MAX_CHARS));
        return 0;
    } catch (const std::bad_alloc &) {
        dev->error.setErrno(ENOMEM);
        return -1;
    }
}

// The parsed collection a description query works on, or null when the handle, the preparsed data or
// one of the caller's pointers (`pointersGiven` false) is missing; the handle's error says which.
const hidparse::Collection *collectionForQuery(hid_device *dev, PHIDP_PREPARSED_DATA preparsed,
                                               bool pointersGiven)
{
    if (!dev)
        return nullptr;
    if (!preparsed || !preparsed->collection || !pointersGiven) {
        dev->error.setErrno(EINVAL);
        return nullptr;
    }
    return preparsed->collection.get();
}

int parserResult(hid_device *dev, NTSTATUS status)
{
    if (status == HIDP_STATUS_SUCCESS)
        return 0;
    dev->error.set(hidparse::statusName(status));
    return -1;
}

// Runs a capability query on an array of `capacity` entries and answers how many entries it
// wrote. When the array is too small the parser reports how many caps there are, which would
// send the caller past the end of its array; the count handed back never exceeds what was written.
template <class Query> USHORT capsWritten(USHORT capacity, const void *array, Query query)
{
    if (!array)
        capacity = 0;
    USHORT count = capacity;
    const NTSTATUS status = query(&count);
    if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_BUFFER_TOO_SMALL)
        return 0; // nothing written (no caps of the type, or an invalid type)
    return std::min(count, capacity);
}

// The usable length of a caller's list: its capacity, 0 meaning "as long as the parser's
// maximum", and never more than that maximum.
ULONG listCapacity(ULONG callerCapacity, ULONG parserMaximum)
{
    return callerCapacity == 0 ? parserMaximum : std::min(callerCapacity, parserMaximum);
}

} // namespace

// ---- The exported functions --------------------------------------------------------------------

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

struct hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    try {
        Udev udev(udev_new());
        UdevEnumerate enumerate(udev ? udev_enumerate_new(udev.get()) : nullptr);
        if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw") < 0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0)
            return nullptr;
        EnumerationList list;
        udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
        {
            const char *syspath = udev_list_entry_get_name(entry);
            if (!syspath || pathRulesOut(syspath, vendor_id, product_id))
                continue;
            UdevDevice hidraw(udev_device_new_from_syspath(udev.get(), syspath));
            if (hidraw && !appendNode(list, hidraw.get(), vendor_id, product_id))
                return nullptr;
        }
        return list.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        free(devs->path);
        free(devs->serial_number);
        free(devs->manufacturer_string);
        free(devs->product_string);
        free(devs);
        devs = next;
    }
}

hid_device *hid_open_path(const char *path)
{
    if (!path) {
        openError.setErrno(EINVAL);
        errno = EINVAL;
        return nullptr;
    }
    try {
        CollectionPath parsed;
        if (!parseCollectionPath(path, parsed)) {
            openError.set(std::string("No such HID collection: ") + path);
            errno = ENOENT;
            return nullptr;
        }
        auto dev = std::make_unique<hid_device>();
        OpenFailure failure;
        if (!openNode(*dev, parsed, failure)) {
            dev.reset(); // closing what was opened must not disturb errno below
            openError.set(failure.why);
            errno = failure.error;
            return nullptr;
        }
        openError.clear();
        return dev.release();
    } catch (const std::bad_alloc &) {
        openError.setErrno(ENOMEM);
        errno = ENOMEM;
        return nullptr;
    }
}

hid_device *hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t *serial_number)
{
    openError.clear();
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    hid_device *found = nullptr;
    for (hid_device_info *record = list; record && !found; record = record->next) {
        if (record->vendor_id != vendor_id || record->product_id != product_id)
            continue;
        hid_device *dev = hid_open_path(record->path);
        if (!dev || !serial_number) {
            found = dev;
            continue;
        }
        // Records carry no serial number: ask the device.
        wchar_t serial[HID_STRING_MAX_CHARS];
        if (hid_get_serial_number_string(dev, serial, HID_STRING_MAX_CHARS) == 0 &&
            wcscmp(serial, serial_number) == 0)
            found = dev;
        else
            hid_close(dev);
    }
    hid_free_enumeration(list);
    if (!found && !openError.get())
        openError.set("No matching HID device");
    return found;
}

void hid_close(hid_device *dev)
{
    delete dev;
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds)
{
    if (!dev)
        return -1;
    if (!data && length > 0) {
        dev->error.setErrno(EINVAL);
        return -1;
    }
    // Reports stay queued in the kernel until read(), so a wait that times out loses nothing.
    const Deadline deadline(milliseconds);
    uint8_t *const buffer = dev->readBuffer.get();
    const size_t offset = dev->usesReportIds ? 0 : 1;
    for (;;) {
        pollfd pfd{dev->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, deadline.remainingMs());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            dev->error.setErrno(errno);
            return -1;
        }
        if (ready == 0)
            return 0;
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            dev->error.setErrno(ENODEV);
            return -1;
        }
        const ssize_t n = read(dev->fd, buffer + offset, kMaxReportSize);
        // A node that stays readable but has nothing to hand over must not hold the caller past
        // its timeout.
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (deadline.expired())
                return 0;
            continue;
        }
        if (n < 0) {
            dev->error.setErrno(errno);
            return -1;
        }
        if (n == 0) { // hidraw never delivers an empty report; the node has gone
            dev->error.setErrno(ENODEV);
            return -1;
        }
        if (offset)
            buffer[0] = 0;
        else if (!dev->acceptsReport(buffer[0]))
            continue; // another collection's report: consumed and dropped
        // Shorter reports are handed over zero-filled to the collection's input report
        // length, as Windows delivers them, so callers can pass them to the queries as they are.
        size_t delivered = offset + static_cast<size_t>(n);
        if (delivered < dev->inputReportLength) {
            memset(buffer + delivered, 0, dev->inputReportLength - delivered);
            delivered = dev->inputReportLength;
        }
        memcpy(data, buffer, std::min(delivered, length));
        return static_cast<int>(delivered);
    }
}

int hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    return hid_read_timeout(dev, data, length, dev->blocking.load() ? -1 : 0);
}

int hid_set_nonblocking(hid_device *dev, int nonblock)
{
    if (!dev)
        return -1;
    dev->blocking.store(nonblock == 0);
    return 0;
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    if (!data || length == 0) {
        dev->error.setErrno(EINVAL);
        return -1;
    }
    try {
        // Short reports are padded with zeros to the output report length, as on Windows.
        std::vector<uint8_t> padded;
        if (length < dev->outputReportLength) {
            padded.assign(dev->outputReportLength, 0);
            std::copy(data, data + length, padded.begin());
            data = padded.data();
            length = padded.size();
        }
        ssize_t n;
        do {
            n = write(dev->fd, data, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            dev->error.setErrno(errno);
            return -1;
        }
        return static_cast<int>(n);
    } catch (const std::bad_alloc &) {
        dev->error.setErrno(ENOMEM);
        return -1;
    }
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev || !validFeatureBuffer(dev, data, length))
        return -1;
    // hidraw takes the buffer as it stands: report ID first, 0 for devices without IDs.
    if (ioctl(dev->fd, HIDIOCSFEATURE(length), data) < 0) {
        dev->error.setErrno(errno);
        return -1;
    }
    return static_cast<int>(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev || !validFeatureBuffer(dev, data, length))
        return -1;
    const int n = ioctl(dev->fd, HIDIOCGFEATURE(length), data);
    if (n < 0) {
        dev->error.setErrno(errno);
        return -1;
    }
    return n;
}

int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return readString(dev, Manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return readString(dev, Product, string, maxlen);
}

int hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return readString(dev, Serial, string, maxlen);
}

int hid_get_indexed_string(hid_device *dev, int, wchar_t *, size_t)
{
    // hidraw offers no access to arbitrary string descriptors.
    if (dev)
        dev->error.setErrno(ENOSYS);
    return -1;
}

const wchar_t *hid_error(hid_device *dev)
{
    return dev ? dev->error.get() : openError.get();
}

// ---- Report-description queries ------------------------------------------------------------

int hid_get_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA *preparsed)
{
    if (!dev)
        return -1;
    if (!preparsed) {
        dev->error.setErrno(EINVAL);
        return -1;
    }
    try {
        std::string error;
        hidparse::CollectionPtr collection =
            hidparse::parseCollection(dev->descriptor.data(), dev->descriptor.size(), dev->collection, error);
        if (!collection) {
            dev->error.set("Report descriptor cannot be parsed: " + error);
            return -1;
        }
        *preparsed = new _HIDP_PREPARSED_DATA{std::move(collection)};
        return 0;
    } catch (const std::bad_alloc &) {
        dev->error.setErrno(ENOMEM);
        return -1;
    }
}

int hid_free_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA preparsed)
{
    if (!preparsed) {
        if (dev)
            dev->error.setErrno(EINVAL);
        return -1;
    }
    delete preparsed;
    return 0;
}

int hid_get_caps(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, caps != nullptr);
    if (!c)
        return -1;
    return parserResult(dev, hidparse::getCaps(*c, caps));
}

int hid_get_buttoncaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed,
                       PHIDP_CAPS caps, PHIDP_BUTTON_CAPS button_caps)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, caps != nullptr);
    if (!c)
        return -1;
    // The count is always the input field, whatever type is asked for, and every parser status
    // counts as success.
    caps->NumberInputButtonCaps = capsWritten(caps->NumberInputButtonCaps, button_caps, [&](USHORT *count) {
        return hidparse::getButtonCaps(*c, type, button_caps, count);
    });
    return 0;
}

int hid_get_valuecaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                      PHIDP_VALUE_CAPS value_caps)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, caps != nullptr);
    if (!c)
        return -1;
    caps->NumberInputValueCaps = capsWritten(caps->NumberInputValueCaps, value_caps, [&](USHORT *count) {
        return hidparse::getValueCaps(*c, type, value_caps, count);
    });
    return 0;
}

int hid_get_usages(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                   PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, const HIDP_BUTTON_CAPS *page_source,
                   USHORT, PUSAGE usage_list, ULONG *usage_length)
{
    const hidparse::Collection *c =
        collectionForQuery(dev, preparsed, report && caps && page_source && usage_list && usage_length);
    if (!c)
        return -1;
    const USAGE page = page_source->UsagePage;
    ULONG count = listCapacity(*usage_length, hidparse::maxUsageListLength(*c, type, page));
    const NTSTATUS status =
        hidparse::getUsages(*c, type, page, 0, usage_list, &count, report, caps->InputReportByteLength);
    if (status == HIDP_STATUS_SUCCESS)
        *usage_length = count;
    return parserResult(dev, status);
}

int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                       PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page, USAGE usage,
                       ULONG *value)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, report && caps && value);
    if (!c)
        return -1;
    return parserResult(dev, hidparse::getUsageValue(*c, type, usage_page, 0, usage, value, report,
                                                     caps->InputReportByteLength));
}

int hid_get_data(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                 PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, PHIDP_DATA data_list,
                 ULONG *data_length)
{
    const hidparse::Collection *c =
        collectionForQuery(dev, preparsed, report && caps && data_list && data_length);
    if (!c)
        return -1;
    ULONG count = listCapacity(*data_length, hidparse::maxDataListLength(*c, type));
    const NTSTATUS status =
        hidparse::getData(*c, type, data_list, &count, report, caps->InputReportByteLength);
    if (status == HIDP_STATUS_SUCCESS)
        *data_length = count;
    return parserResult(dev, status);
}

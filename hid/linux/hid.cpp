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

#include "backend.h"
#include "descriptor/descriptor.h"
#include "helpers.h"

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

using namespace hidlinux;

namespace {

// The length field of the feature-report ioctls is 14 bits wide; a longer length would spill
// into the direction bits and make a different request.
constexpr size_t kMaxIoctlLength = (1u << _IOC_SIZEBITS) - 1;
// Error texts longer than this are cut; they are read by people, not parsed.
constexpr size_t kErrorTextChars = 256;

// ---- Text ----------------------------------------------------------------------------------

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

// The hid device above a hidraw node, with its HID_ID ("0003:00001209:00000001").
udev_device *hidParent(udev_device *hidraw, HidIdentity &id)
{
    udev_device *hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (!hid)
        return nullptr;
    return parseHidId(udev_device_get_property_value(hid, "HID_ID"), id) ? hid : nullptr;
}

// A hexadecimal sysfs attribute ("0110", "00"), or `fallback`.
long hexAttribute(udev_device *device, const char *name, long fallback)
{
    return parseHexAttribute(device ? udev_device_get_sysattr_value(device, name) : nullptr, fallback);
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
    CollectionScope scope;
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

    if (!scopeCollection(dev.descriptor, path.collection, path.node, dev.scope, failure.why))
        return false;
    dev.collection = path.collection;
    dev.readBuffer = std::make_unique<uint8_t[]>(dev.scope.readBufferSize());
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
    hidbackend::freeEnumeration(devs);
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
    hid_device *found = hidbackend::openFirstMatch(hid_enumerate(vendor_id, product_id), vendor_id,
                                                   product_id, serial_number);
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
    const size_t offset = dev->scope.readOffset();
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
        const size_t delivered = completeReport(dev->scope, buffer, static_cast<size_t>(n));
        if (delivered == 0)
            continue; // another collection's report: consumed and dropped
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
    hidbackend::PaddedReport report;
    if (!report.prepare(data, length, dev->scope.outputReportLength)) {
        dev->error.setErrno(ENOMEM);
        return -1;
    }
    ssize_t n;
    do {
        n = write(dev->fd, report.data(), report.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        dev->error.setErrno(errno);
        return -1;
    }
    return static_cast<int>(n);
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev || !validFeatureBuffer(dev, data, length))
        return -1;
    // hidraw takes the buffer as it stands: report ID first, 0 for devices without IDs. The count
    // is the kernel's: a report it took only in part must not pass for a whole one.
    const int taken = ioctl(dev->fd, HIDIOCSFEATURE(length), data);
    if (taken < 0) {
        dev->error.setErrno(errno);
        return -1;
    }
    return taken;
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
        std::string why;
        *preparsed = preparse(dev->descriptor, dev->collection, why);
        if (!*preparsed) {
            dev->error.set(why);
            return -1;
        }
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
    queryButtonCaps(*c, type, caps, button_caps);
    return 0;
}

int hid_get_valuecaps(hid_device *dev, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                      PHIDP_VALUE_CAPS value_caps)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, caps != nullptr);
    if (!c)
        return -1;
    queryValueCaps(*c, type, caps, value_caps);
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
    return parserResult(
        dev, queryUsages(*c, type, page_source->UsagePage, report, *caps, usage_list, usage_length));
}

int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                       PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page, USAGE usage,
                       ULONG *value)
{
    const hidparse::Collection *c = collectionForQuery(dev, preparsed, report && caps && value);
    if (!c)
        return -1;
    return parserResult(dev, queryUsageValue(*c, type, usage_page, usage, report, *caps, value));
}

int hid_get_data(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                 PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, PHIDP_DATA data_list,
                 ULONG *data_length)
{
    const hidparse::Collection *c =
        collectionForQuery(dev, preparsed, report && caps && data_list && data_length);
    if (!c)
        return -1;
    return parserResult(dev, queryData(*c, type, report, *caps, data_list, data_length));
}

// The HID access layer on Windows: SetupAPI lists the HID device interfaces, hid.dll answers the
// attribute, string, feature and parser queries, and reads and writes are overlapped file I/O.

#include "hid.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "backend.h"
#include "helpers.h"
#include "port.h"

struct hid_device_ {
    HANDLE file;
    int blocking;
    USHORT outputReportLength;
    size_t inputReportLength;
    // Guards lastError and lastErrorParserStatus: the monitor thread's reads and the GUI thread's
    // feature reports may fail on one handle at the same time (a device unplugged during a
    // transfer), and either may ask for the text while the other replaces it.
    SRWLOCK errorLock;
    wchar_t *lastError; // from LocalAlloc, as FormatMessageW hands it out
    // The parser status that lastError names, so a failure that repeats on every report (a usage
    // missing from this report ID) does not build its text again; 0 when lastError is a system
    // message.
    NTSTATUS lastErrorParserStatus;
    int readPending;
    unsigned char *readBuffer;
    OVERLAPPED readOverlapped;
};

namespace {

// The HID device interface class.
const GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

const DWORD kIoctlHidGetFeature = 0xB0192;
const DWORD kRegistryPropertyBytes = 256;
// Room for any system message's first line.
const size_t kErrorTextChars = 512;

// Hands the text a failure left on `dev` to the handle; the text it replaces is freed.
void keepErrorText(hid_device *dev, wchar_t *text, NTSTATUS parserStatus)
{
    AcquireSRWLockExclusive(&dev->errorLock);
    wchar_t *old = dev->lastError;
    dev->lastError = text;
    dev->lastErrorParserStatus = parserStatus;
    ReleaseSRWLockExclusive(&dev->errorLock);
    LocalFree(old);
}

bool hasParserStatusText(hid_device *dev, NTSTATUS status)
{
    AcquireSRWLockShared(&dev->errorLock);
    const bool same = dev->lastError && dev->lastErrorParserStatus == status;
    ReleaseSRWLockShared(&dev->errorLock);
    return same;
}

wchar_t *allocateCodeText(const wchar_t *prefix, uint32_t value, bool hex)
{
    const size_t capacity = 64;
    auto *text = static_cast<wchar_t *>(LocalAlloc(LMEM_FIXED, capacity * sizeof(wchar_t)));
    if (text)
        hidwin::formatCodeText(text, capacity, prefix, value, hex);
    return text;
}

// Keeps the system's message for `code` as the handle's last-error text. Callers pass
// GetLastError() taken right at the failure, before any clean-up call can overwrite it.
void registerError(hid_device *dev, DWORD code)
{
    if (!dev)
        return;
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 || !text) {
        LocalFree(text);
        text = allocateCodeText(L"Unknown error ", code, false);
    } else {
        hidwin::cutAtFirstCarriageReturn(text);
    }
    keepErrorText(dev, text, 0);
}

// The parser reports a status, not a system error code, so the text names the status.
void registerParserStatus(hid_device *dev, NTSTATUS status)
{
    if (!dev || hasParserStatusText(dev, status))
        return;
    keepErrorText(dev, allocateCodeText(L"HID parser status ", static_cast<uint32_t>(status), true), status);
}

// Releases everything a handle holds. A read still in flight is cancelled and collected first:
// the system writes into the read buffer and the overlapped record until the read is over. The
// read may have been started by another thread (a monitor polling the device) than the one that
// closes, so it is cancelled by its overlapped record: CancelIo would cancel only this thread's
// I/O and leave the wait below hanging until the device sent a report.
void destroyHandle(hid_device *dev)
{
    if (dev->file != INVALID_HANDLE_VALUE && dev->readPending) {
        CancelIoEx(dev->file, &dev->readOverlapped);
        DWORD ignored = 0;
        GetOverlappedResult(dev->file, &dev->readOverlapped, &ignored, TRUE);
    }
    if (dev->readOverlapped.hEvent)
        CloseHandle(dev->readOverlapped.hEvent);
    if (dev->file != INVALID_HANDLE_VALUE)
        CloseHandle(dev->file);
    LocalFree(dev->lastError);
    std::free(dev->readBuffer);
    std::free(dev);
}

HANDLE openDevicePath(const char *path, DWORD access)
{
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// The detail of one device interface, whose DevicePath is the path to open, and in `element` the
// device it belongs to; null when it cannot be had. Freed with free().
SP_DEVICE_INTERFACE_DETAIL_DATA_A *interfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *interface,
                                                   SP_DEVINFO_DATA *element)
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, interface, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return nullptr;
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(std::calloc(1, required));
    if (!detail)
        return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    element->cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiGetDeviceInterfaceDetailA(set, interface, detail, required, nullptr, element)) {
        std::free(detail);
        return nullptr;
    }
    return detail;
}

bool readRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *element, DWORD property,
                          char (&buffer)[kRegistryPropertyBytes])
{
    std::memset(buffer, 0, sizeof buffer);
    if (!SetupDiGetDeviceRegistryPropertyA(set, element, property, nullptr, reinterpret_cast<PBYTE>(buffer),
                                           sizeof buffer, nullptr))
        return false;
    buffer[sizeof buffer - 1] = '\0';
    return true;
}

// Whether the device behind an interface is served by the HID class driver: its class reads
// "HIDClass" and it has a driver. Each interface is judged by its own device, so one device whose
// properties cannot be read hides only its own interfaces.
bool servedByHidDriver(HDEVINFO set, SP_DEVINFO_DATA *element)
{
    char property[kRegistryPropertyBytes];
    return readRegistryProperty(set, element, SPDRP_CLASS, property) &&
           std::strcmp(property, "HIDClass") == 0 &&
           readRegistryProperty(set, element, SPDRP_DRIVER, property);
}

char *copyText(const char *text)
{
    const size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

void fillUsage(HANDLE file, hid_device_info *record)
{
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(file, &preparsed))
        return;
    HIDP_CAPS caps = {};
    if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
        record->usage_page = caps.UsagePage;
        record->usage = caps.Usage;
    }
    HidD_FreePreparsedData(preparsed);
}

// The enumeration record of one device path, or null when the path cannot be opened for querying,
// its attributes cannot be read or its identifiers do not match.
hid_device_info *describeInterface(const char *path, unsigned short vendorId, unsigned short productId)
{
    HANDLE file = openDevicePath(path, 0);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;

    hid_device_info *record = nullptr;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(file, &attributes) && (vendorId == 0 || vendorId == attributes.VendorID) &&
        (productId == 0 || productId == attributes.ProductID)) {
        record = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
        if (record) {
            record->path = copyText(path);
            if (!record->path) {
                std::free(record);
                record = nullptr;
            }
        }
        if (record) {
            fillUsage(file, record);
            record->vendor_id = attributes.VendorID;
            record->product_id = attributes.ProductID;
            record->release_number = attributes.VersionNumber;
            record->interface_number = hidwin::interfaceNumberFromPath(path);
        }
    }
    CloseHandle(file);
    return record;
}

// Starts an overlapped transfer and waits for it to finish. The transferred byte count, or -1
// with the handle's last-error text.
template <typename Start> int transferAndWait(hid_device *dev, Start start)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) {
        registerError(dev, GetLastError());
        return -1;
    }
    DWORD transferred = 0;
    int result = -1;
    if (!start(&overlapped) && GetLastError() != ERROR_IO_PENDING)
        registerError(dev, GetLastError());
    else if (!GetOverlappedResult(dev->file, &overlapped, &transferred, TRUE))
        registerError(dev, GetLastError());
    else
        result = static_cast<int>(transferred);
    CloseHandle(overlapped.hEvent);
    return result;
}

template <typename Query> int queryString(hid_device *dev, wchar_t *string, size_t maxlen, Query query)
{
    if (!dev)
        return -1;
    const ULONG bytes = hidwin::stringQueryBytes(maxlen);
    if (!string || bytes == 0) {
        registerError(dev, ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    if (!query(dev->file, string, bytes)) {
        registerError(dev, GetLastError());
        return -1;
    }
    // A text that fills the whole buffer comes without terminator.
    string[bytes / sizeof(wchar_t) - 1] = L'\0';
    return 0;
}

PCHAR reportBytes(const unsigned char *report)
{
    // The parser only reads the report; its interface just lacks the const.
    return reinterpret_cast<PCHAR>(const_cast<unsigned char *>(report));
}

// Runs a capability query on an array of `capacity` entries and answers how many entries it
// holds now. When the array is too small the parser fills it and answers how many caps there are;
// a caller that took that count would read past the end of its array.
template <typename Query> USHORT capsWritten(USHORT capacity, Query query)
{
    USHORT count = capacity;
    query(&count);
    return count < capacity ? count : capacity;
}

void WINAPI freeErrorCopy(void *copy)
{
    LocalFree(copy);
}

// The calling thread's buffer for hid_error, freed when the thread ends; null when none can be had.
// Fiber-local storage rather than thread_local: the compiler's emulated thread-local storage
// corrupted the heap at process exit once a thread made with CreateThread had run.
wchar_t *threadsErrorCopy()
{
    static const DWORD slot = FlsAlloc(freeErrorCopy);
    if (slot == FLS_OUT_OF_INDEXES)
        return nullptr;
    auto *copy = static_cast<wchar_t *>(FlsGetValue(slot));
    if (copy)
        return copy;
    copy = static_cast<wchar_t *>(LocalAlloc(LMEM_FIXED, kErrorTextChars * sizeof(wchar_t)));
    if (copy && !FlsSetValue(slot, copy)) {
        LocalFree(copy);
        copy = nullptr;
    }
    return copy;
}

// The location of the USB device that a HID interface belongs to. The HID device's parent is that
// USB device, or for a composite device one of its interfaces ("USB\\VID_...&MI_01"), whose own
// parent is the device; a parent outside the USB bus has no port of its own.
std::string portOfDevice(DEVINST node)
{
    for (int depth = 0; depth < 2; ++depth) {
        DEVINST parent = 0;
        char id[MAX_DEVICE_ID_LEN] = {};
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
            CM_Get_Device_IDA(parent, id, sizeof id - 1, 0) != CR_SUCCESS || _strnicmp(id, "USB\\", 4) != 0)
            return {};
        node = parent;
        if (std::strstr(id, "&MI_") != nullptr || std::strstr(id, "&mi_") != nullptr)
            continue;
        char location[kRegistryPropertyBytes] = {};
        ULONG length = sizeof location - 1;
        if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_INFORMATION, nullptr, location, &length,
                                              0) != CR_SUCCESS)
            return {};
        return location;
    }
    return {};
}

} // namespace

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    HDEVINFO set =
        SetupDiGetClassDevsA(&kHidInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return nullptr;

    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface = {};
        interface.cbSize = sizeof interface;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kHidInterfaceClass, index, &interface))
            break;
        SP_DEVINFO_DATA element = {};
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail = interfaceDetail(set, &interface, &element);
        if (!detail)
            continue;
        if (servedByHidDriver(set, &element)) {
            if (hid_device_info *record = describeInterface(detail->DevicePath, vendor_id, product_id)) {
                *tail = record;
                tail = &record->next;
            }
        }
        std::free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return head;
}

void hid_free_enumeration(hid_device_info *devs)
{
    hidbackend::freeEnumeration(devs);
}

hid_device *hid_open_path(const char *path)
{
    if (!path)
        return nullptr;
    auto *dev = static_cast<hid_device *>(std::calloc(1, sizeof(hid_device)));
    if (!dev)
        return nullptr;
    dev->file = INVALID_HANDLE_VALUE;
    dev->blocking = 1;
    InitializeSRWLock(&dev->errorLock);
    dev->readOverlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!dev->readOverlapped.hEvent) {
        destroyHandle(dev);
        return nullptr;
    }

    dev->file = openDevicePath(path, GENERIC_READ | GENERIC_WRITE);
    if (dev->file == INVALID_HANDLE_VALUE) {
        registerError(dev, GetLastError());
        destroyHandle(dev);
        return nullptr;
    }

    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(dev->file, &preparsed)) {
        registerError(dev, GetLastError());
        destroyHandle(dev);
        return nullptr;
    }
    HIDP_CAPS caps = {};
    const NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) {
        registerParserStatus(dev, status);
        destroyHandle(dev);
        return nullptr;
    }
    dev->outputReportLength = caps.OutputReportByteLength;
    dev->inputReportLength = caps.InputReportByteLength;
    // At least one byte, so that a collection without input reports still has a buffer.
    dev->readBuffer =
        static_cast<unsigned char *>(std::malloc(dev->inputReportLength ? dev->inputReportLength : 1));
    if (!dev->readBuffer) {
        destroyHandle(dev);
        return nullptr;
    }
    return dev;
}

hid_device *hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t *serial_number)
{
    return hidbackend::openFirstMatch(hid_enumerate(vendor_id, product_id), vendor_id, product_id,
                                      serial_number);
}

void hid_close(hid_device *dev)
{
    if (dev)
        destroyHandle(dev);
}

int hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds)
{
    if (!dev)
        return -1;
    if (!dev->readPending) {
        dev->readPending = 1;
        std::memset(dev->readBuffer, 0, dev->inputReportLength);
        ResetEvent(dev->readOverlapped.hEvent);
        if (!ReadFile(dev->file, dev->readBuffer, static_cast<DWORD>(dev->inputReportLength), nullptr,
                      &dev->readOverlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                CancelIo(dev->file);
                dev->readPending = 0;
                registerError(dev, error);
                return -1;
            }
        }
    }

    // A read that does not finish in time stays pending; the next call collects it, so no report
    // is lost between polls.
    if (milliseconds >= 0) {
        const DWORD waited =
            WaitForSingleObject(dev->readOverlapped.hEvent, static_cast<DWORD>(milliseconds));
        if (waited == WAIT_TIMEOUT)
            return 0;
        if (waited != WAIT_OBJECT_0) {
            // The read stays pending and is collected by the next call or by hid_close.
            registerError(dev, GetLastError());
            return -1;
        }
    }

    DWORD delivered = 0;
    const BOOL finished = GetOverlappedResult(dev->file, &dev->readOverlapped, &delivered, TRUE);
    const DWORD error = GetLastError();
    dev->readPending = 0;
    if (!finished) {
        registerError(dev, error);
        return -1;
    }
    if (data) {
        const size_t copied = delivered < length ? delivered : length;
        std::memcpy(data, dev->readBuffer, copied);
    }
    return static_cast<int>(delivered);
}

int hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    return hid_read_timeout(dev, data, length, dev->blocking ? -1 : 0);
}

int hid_set_nonblocking(hid_device *dev, int nonblock)
{
    if (!dev)
        return -1;
    dev->blocking = nonblock ? 0 : 1;
    return 0;
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    if (!data) {
        registerError(dev, ERROR_INVALID_PARAMETER);
        return -1;
    }
    hidbackend::PaddedReport report;
    if (!report.prepare(data, length, dev->outputReportLength)) {
        registerError(dev, ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const auto count = static_cast<DWORD>(report.size());
    return transferAndWait(dev, [&](OVERLAPPED *overlapped) {
        return WriteFile(dev->file, report.data(), count, nullptr, overlapped);
    });
}

int hid_send_feature_report(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    if (!data || !HidD_SetFeature(dev->file, const_cast<unsigned char *>(data), static_cast<ULONG>(length))) {
        registerError(dev, data ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return -1;
    }
    return static_cast<int>(length);
}

int hid_get_feature_report(hid_device *dev, unsigned char *data, size_t length)
{
    if (!dev)
        return -1;
    if (!data) {
        registerError(dev, ERROR_INVALID_PARAMETER);
        return -1;
    }
    const DWORD size = static_cast<DWORD>(length);
    return transferAndWait(dev, [&](OVERLAPPED *overlapped) {
        return DeviceIoControl(dev->file, kIoctlHidGetFeature, data, size, data, size, nullptr, overlapped);
    });
}

int hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return queryString(dev, string, maxlen, HidD_GetManufacturerString);
}

int hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return queryString(dev, string, maxlen, HidD_GetProductString);
}

int hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return queryString(dev, string, maxlen, HidD_GetSerialNumberString);
}

int hid_get_indexed_string(hid_device *dev, int string_index, wchar_t *string, size_t maxlen)
{
    return queryString(dev, string, maxlen, [string_index](HANDLE file, PVOID buffer, ULONG bytes) {
        return HidD_GetIndexedString(file, static_cast<ULONG>(string_index), buffer, bytes);
    });
}

// The caller gets a copy of its own: the handle's text is freed by the next failure on it, which
// may come from another thread while this one still reads. The copy stays valid until the same
// thread asks again.
const wchar_t *hid_error(hid_device *dev)
{
    wchar_t *copy = dev ? threadsErrorCopy() : nullptr;
    if (!copy)
        return nullptr;
    AcquireSRWLockShared(&dev->errorLock);
    const bool failed = dev->lastError != nullptr;
    if (failed) {
        std::wcsncpy(copy, dev->lastError, kErrorTextChars - 1);
        copy[kErrorTextChars - 1] = L'\0';
    }
    ReleaseSRWLockShared(&dev->errorLock);
    return failed ? copy : nullptr;
}

int hid_get_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA *preparsed)
{
    if (!dev || !preparsed)
        return -1;
    if (!HidD_GetPreparsedData(dev->file, preparsed)) {
        registerError(dev, GetLastError());
        return -1;
    }
    return 0;
}

int hid_free_preparsed_data(hid_device *dev, PHIDP_PREPARSED_DATA preparsed)
{
    if (!HidD_FreePreparsedData(preparsed)) {
        registerError(dev, GetLastError());
        return -1;
    }
    return 0;
}

int hid_get_caps(hid_device *dev, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps)
{
    if (!caps)
        return -1;
    const NTSTATUS status = HidP_GetCaps(preparsed, caps);
    if (status != HIDP_STATUS_SUCCESS) {
        registerParserStatus(dev, status);
        return -1;
    }
    return 0;
}

int hid_get_buttoncaps(hid_device *, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                       PHIDP_BUTTON_CAPS button_caps)
{
    if (!caps || (!button_caps && caps->NumberInputButtonCaps))
        return -1;
    // The parser's status is deliberately not checked: a collection without input buttons still
    // succeeds, with the count the parser wrote back.
    caps->NumberInputButtonCaps = capsWritten(caps->NumberInputButtonCaps, [&](USHORT *count) {
        return HidP_GetButtonCaps(type, button_caps, count, preparsed);
    });
    return 0;
}

int hid_get_valuecaps(hid_device *, HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps,
                      PHIDP_VALUE_CAPS value_caps)
{
    if (!caps || (!value_caps && caps->NumberInputValueCaps))
        return -1;
    caps->NumberInputValueCaps = capsWritten(caps->NumberInputValueCaps, [&](USHORT *count) {
        return HidP_GetValueCaps(type, value_caps, count, preparsed);
    });
    return 0;
}

int hid_get_usages(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                   PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, const HIDP_BUTTON_CAPS *page_source,
                   USHORT, PUSAGE usage_list, ULONG *usage_length)
{
    if (!report || !caps || !page_source || !usage_list || !usage_length)
        return -1;
    const USAGE page = page_source->UsagePage;
    *usage_length = hidbackend::listCapacity(*usage_length, HidP_MaxUsageListLength(type, page, preparsed));
    const NTSTATUS status = HidP_GetUsages(type, page, 0, usage_list, usage_length, preparsed,
                                           reportBytes(report), caps->InputReportByteLength);
    if (status != HIDP_STATUS_SUCCESS) {
        registerParserStatus(dev, status);
        return -1;
    }
    return 0;
}

int hid_get_usagevalue(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                       PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, USAGE usage_page, USAGE usage,
                       ULONG *value)
{
    if (!report || !caps || !value)
        return -1;
    const NTSTATUS status = HidP_GetUsageValue(type, usage_page, 0, usage, value, preparsed,
                                               reportBytes(report), caps->InputReportByteLength);
    if (status != HIDP_STATUS_SUCCESS) {
        registerParserStatus(dev, status);
        return -1;
    }
    return 0;
}

int hid_get_data(hid_device *dev, const unsigned char *report, HIDP_REPORT_TYPE type,
                 PHIDP_PREPARSED_DATA preparsed, const HIDP_CAPS *caps, PHIDP_DATA data_list,
                 ULONG *data_length)
{
    if (!report || !caps || !data_list || !data_length)
        return -1;
    *data_length = hidbackend::listCapacity(*data_length, HidP_MaxDataListLength(type, preparsed));
    const NTSTATUS status = HidP_GetData(type, data_list, data_length, preparsed, reportBytes(report),
                                         caps->InputReportByteLength);
    if (status != HIDP_STATUS_SUCCESS) {
        registerParserStatus(dev, status);
        return -1;
    }
    return 0;
}

std::string hidport::portOf(const char *path)
{
    // An interface path names its device: "\\?\hid#vid_1209&pid_5a51#7&1a2b&0&0000#{guid}" is the
    // interface of the device instance "hid\vid_1209&pid_5a51\7&1a2b&0&0000" (in any case).
    static const char prefix[] = "\\\\?\\";
    if (path == nullptr || std::strncmp(path, prefix, sizeof prefix - 1) != 0)
        return {};
    std::string instance(path + sizeof prefix - 1);
    const size_t guid = instance.rfind("#{");
    if (guid == std::string::npos || guid == 0 || guid >= MAX_DEVICE_ID_LEN)
        return {};
    instance.resize(guid);
    std::replace(instance.begin(), instance.end(), '#', '\\');
    DEVINST node = 0;
    if (CM_Locate_DevNodeA(&node, instance.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS)
        return {};
    return portOfDevice(node);
}

// Tests of the Windows HID backend, run under wine among fake hidraw devices (wine_testbed plays
// them; testbed_protocol.h). Wine's HID bus takes them for real devices, beside its own virtual
// mouse and keyboard.
//   hid_windows_test layer    the layer: its pure helpers, enumeration, opening, the parser
//                             queries, device strings and their bounds, failing calls with their
//                             error texts, handles, and end to end against two simulated
//                             controllers: input reports, a firmware image through the
//                             bootloader, unplugging during a read and closing during one.
//   hid_windows_test parser DEVICES_JSON
//                             wine's HID parser against ours on the descriptors of DEVICES_JSON.

#include "hid.h"

#include <windows.h>

#include <bcrypt.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../exported_hid_names.h"
#include "check.h"
#include "descriptor/descriptor.h"
#include "firmwareblocks.h"
#include "helpers.h"
#include "hotplugevents.h"
#include "json.h"
#include "port.h"
#include "testbed_protocol.h"

namespace {

struct Record {
    std::string path;
    unsigned short vendorId;
    unsigned short productId;
    unsigned short usagePage;
    unsigned short usage;
    unsigned short release;
    int interfaceNumber;
};

std::vector<Record> listDevices(unsigned short vendorId, unsigned short productId)
{
    std::vector<Record> records;
    hid_device_info *list = hid_enumerate(vendorId, productId);
    for (hid_device_info *r = list; r; r = r->next)
        records.push_back({r->path, r->vendor_id, r->product_id, r->usage_page, r->usage, r->release_number,
                           r->interface_number});
    hid_free_enumeration(list);
    return records;
}

bool isSingleLineText(const wchar_t *text)
{
    return text && text[0] != L'\0' && !std::wcschr(text, L'\r') && !std::wcschr(text, L'\n');
}

// The handle values the system hands out next. Wine gives the lowest free slots, so a handle left
// open among them shows as a changed set.
std::vector<HANDLE> nextHandleSlots()
{
    std::vector<HANDLE> slots(16);
    for (HANDLE &slot : slots)
        slot = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE slot : slots)
        CloseHandle(slot);
    return slots;
}

// True when `operation` leaves as many handles open as it found. Windows counts them; wine
// answers 0, so there the next free handle slots must stay the same.
template <typename Operation> bool leavesNoHandleOpen(Operation operation)
{
    DWORD before = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &before) && before > 0) {
        operation();
        DWORD after = 0;
        GetProcessHandleCount(GetCurrentProcess(), &after);
        return after == before;
    }
    const std::vector<HANDLE> slotsBefore = nextHandleSlots();
    operation();
    return nextHandleSlots() == slotsBefore;
}

// A device opened with its parsed description and capabilities, closed at the end of the scope.
struct OpenDevice {
    hid_device *dev = nullptr;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps = {};
    bool ready = false;

    explicit OpenDevice(const std::string &path)
    {
        dev = hid_open_path(path.c_str());
        ready =
            dev && hid_get_preparsed_data(dev, &preparsed) == 0 && hid_get_caps(dev, preparsed, &caps) == 0;
    }
    ~OpenDevice()
    {
        if (preparsed)
            hid_free_preparsed_data(dev, preparsed);
        hid_close(dev);
    }
    OpenDevice(const OpenDevice &) = delete;
    OpenDevice &operator=(const OpenDevice &) = delete;
};

// ---- the simulated controllers (testbed_protocol.h) ----

const unsigned short kSimVendorId = 0x1209;
const unsigned short kSimProductId = 0x5A51;
const USHORT kApplicationRelease = 0x0102;
const USHORT kBootloaderRelease = 0x0100;
const size_t kApplicationFeatureLength = 54;
const size_t kBootloaderFeatureLength = 65;

// Asks wine_testbed, which plays the devices, and returns its one-line answer.
std::string askTestbed(const std::string &request)
{
    std::printf("@%s\n", request.c_str());
    std::fflush(stdout);
    char line[4096] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return "no answer";
    std::string answer = line;
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return answer;
}

std::wstring wide(const char *text)
{
    return std::wstring(text, text + std::strlen(text));
}

// Polls `condition` every 20 ms until it holds or `seconds` have passed; says what it waited for
// when it gives up.
template <typename Condition> bool waitFor(const char *what, int seconds, Condition condition)
{
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(seconds) * 1000;
    while (!condition()) {
        if (GetTickCount64() > deadline) {
            std::printf("  gave up after %d s waiting for %s\n", seconds, what);
            return false;
        }
        Sleep(20);
    }
    return true;
}

std::vector<Record> controllerRecords(USHORT release)
{
    std::vector<Record> records = listDevices(kSimVendorId, kSimProductId);
    records.erase(
        std::remove_if(records.begin(), records.end(), [&](const Record &r) { return r.release != release; }),
        records.end());
    return records;
}

// The path of the simulated controller with this serial number in this release, or "".
std::string controllerPath(const char *serial, USHORT release)
{
    for (const Record &r : controllerRecords(release)) {
        hid_device *dev = hid_open_path(r.path.c_str());
        wchar_t text[HID_STRING_MAX_CHARS] = {};
        const bool found =
            dev && hid_get_serial_number_string(dev, text, HID_STRING_MAX_CHARS) == 0 && wide(serial) == text;
        hid_close(dev);
        if (found)
            return r.path;
    }
    return {};
}

std::wstring deviceString(hid_device *dev, int (*query)(hid_device *, wchar_t *, size_t))
{
    wchar_t text[HID_STRING_MAX_CHARS] = {};
    return query(dev, text, HID_STRING_MAX_CHARS) == 0 ? std::wstring(text) : std::wstring(L"(failed)");
}

// A command that takes a simulated controller from its application to its bootloader.
std::vector<unsigned char> bootloaderCommand()
{
    std::vector<unsigned char> command(kApplicationFeatureLength, 0);
    command[1] = 0xDE;
    command[2] = 0xFA;
    command[3] = 0xCE;
    return command;
}

std::string sha256Text(const std::vector<unsigned char> &bytes)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    const bool hashed =
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()), ULONG(bytes.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return hashed ? testbed::hexText(digest, sizeof digest) : "no hash";
}

// ---- pure helpers ----

void testInterfaceNumberRule()
{
    const struct {
        const char *path;
        int number;
    } cases[] = {
        {"\\\\?\\hid#vid_1234&pid_5678&mi_02#7&1&0&0000#{guid}", 2},
        {"\\\\?\\hid#vid_1234&pid_5678&mi_1F&col01#x", 31},
        {"\\\\?\\hid#vid_1234&pid_5678&mi_x2#", -1},
        {"\\\\?\\hid#vid_1234&pid_5678&mi_", -1},
        {"\\\\?\\hid#vid_1234&pid_5678#7&1&0&0000#{guid}", -1},
        {"a&mi_01b&mi_05", 0x1b}, // the first marker, all its digits
        {"&mi_-1", -1},           // no sign, blank or "0x" prefix is read as part of a number
        {"&mi_ 3", -1},
        {"&mi_0x5", 0},
        {"", -1},
    };
    for (const auto &c : cases) {
        if (!CHECK(hidwin::interfaceNumberFromPath(c.path) == c.number))
            std::printf("  path \"%s\"\n", c.path);
    }
    CHECK(hidwin::interfaceNumberFromPath(nullptr) == -1);
    CHECK(hidwin::interfaceNumberFromPath("&mi_ffffffffffffffffffff") > 0);
}

void testErrorTextCut()
{
    wchar_t message[] = L"The system cannot find the file specified.\r\n";
    hidwin::cutAtFirstCarriageReturn(message);
    CHECK(std::wcscmp(message, L"The system cannot find the file specified.") == 0);

    wchar_t twoLines[] = L"first\rsecond\r\n";
    hidwin::cutAtFirstCarriageReturn(twoLines);
    CHECK(std::wcscmp(twoLines, L"first") == 0);

    wchar_t leading[] = L"\r\nrest";
    hidwin::cutAtFirstCarriageReturn(leading);
    CHECK(leading[0] == L'\0');

    wchar_t plain[] = L"no line end";
    hidwin::cutAtFirstCarriageReturn(plain);
    CHECK(std::wcscmp(plain, L"no line end") == 0);
    hidwin::cutAtFirstCarriageReturn(nullptr);
}

void testCodeTexts()
{
    wchar_t text[64];
    hidwin::formatCodeText(text, 64, L"HID parser status ", 0xC0110004u, true);
    CHECK(std::wcscmp(text, L"HID parser status 0xC0110004") == 0);
    hidwin::formatCodeText(text, 64, L"Unknown error ", 0, false);
    CHECK(std::wcscmp(text, L"Unknown error 0") == 0);
    hidwin::formatCodeText(text, 64, L"Unknown error ", 4294967295u, false);
    CHECK(std::wcscmp(text, L"Unknown error 4294967295") == 0);

    wchar_t small[6];
    std::wmemset(small, L'#', 6);
    hidwin::formatCodeText(small, 5, L"Unknown error ", 7, false);
    CHECK(std::wcscmp(small, L"Unkn") == 0);
    CHECK(small[5] == L'#');
}

// ---- the layer itself ----

void testExportsAndTrivialCalls()
{
    HMODULE program = GetModuleHandleW(nullptr);
    for (const char *name : kExportedHidNames) {
        if (!GetProcAddress(program, name))
            std::printf("  not exported: %s\n", name);
        CHECK(GetProcAddress(program, name) != nullptr);
    }
    CHECK(hid_init() == 0);
    CHECK(hid_exit() == 0);
    hid_close(nullptr);
    hid_free_enumeration(nullptr);
    CHECK(hid_error(nullptr) == nullptr);
    CHECK(hid_open_path(nullptr) == nullptr);
    unsigned char buffer[8] = {};
    CHECK(hid_read_timeout(nullptr, buffer, sizeof buffer, 0) == -1);
    CHECK(hid_write(nullptr, buffer, sizeof buffer) == -1);
    CHECK(hid_send_feature_report(nullptr, buffer, sizeof buffer) == -1);
}

void testEnumerationRecords()
{
    hid_device_info *list = hid_enumerate(0, 0);
    if (!CHECK(list != nullptr))
        return;
    for (hid_device_info *r = list; r; r = r->next) {
        std::printf("  %s %04x:%04x release %04x usage %04x:%04x interface %d\n", r->path, r->vendor_id,
                    r->product_id, r->release_number, r->usage_page, r->usage, r->interface_number);
        CHECK(r->path != nullptr && std::strlen(r->path) > 4);
        CHECK(r->path && strstr(r->path, "{4d1e55b2-f16f-11cf-88cb-001111000030}") != nullptr);
        CHECK(r->vendor_id != 0);
        CHECK(r->usage_page != 0);
        CHECK(r->usage != 0);
        CHECK(r->interface_number == hidwin::interfaceNumberFromPath(r->path));
        CHECK(r->serial_number == nullptr);
        CHECK(r->manufacturer_string == nullptr);
        CHECK(r->product_string == nullptr);
    }
    hid_free_enumeration(list);
}

void testEnumerationFilters()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    const Record &first = all.front();

    size_t sameVendor = 0;
    size_t sameProduct = 0;
    for (const Record &r : all) {
        sameVendor += r.vendorId == first.vendorId;
        sameProduct += r.vendorId == first.vendorId && r.productId == first.productId;
    }
    const std::vector<Record> byVendor = listDevices(first.vendorId, 0);
    CHECK(byVendor.size() == sameVendor);
    for (const Record &r : byVendor)
        CHECK(r.vendorId == first.vendorId);
    const std::vector<Record> byProduct = listDevices(first.vendorId, first.productId);
    CHECK(byProduct.size() == sameProduct);
    for (const Record &r : byProduct)
        CHECK(r.vendorId == first.vendorId && r.productId == first.productId);
    // The product alone also filters.
    const std::vector<Record> byProductOnly = listDevices(0, first.productId);
    CHECK(!byProductOnly.empty());
    for (const Record &r : byProductOnly)
        CHECK(r.productId == first.productId);

    unsigned short unusedVendor = 1;
    while (std::any_of(all.begin(), all.end(), [&](const Record &r) { return r.vendorId == unusedVendor; }))
        ++unusedVendor;
    CHECK(hid_enumerate(unusedVendor, 0) == nullptr);
}

std::set<std::string> pathsOf(const std::vector<Record> &records)
{
    std::set<std::string> paths;
    for (const Record &r : records)
        paths.insert(r.path);
    return paths;
}

// Takes one value away from a device's key in the system's device list for as long as it lives,
// and puts it back: how a device without a driver, or whose class cannot be read, looks.
class RemovedDeviceValue {
public:
    RemovedDeviceValue(const std::string &instanceId, const char *name) : m_name(name)
    {
        const std::string key = "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &m_key) !=
            ERROR_SUCCESS) {
            m_key = nullptr;
            return;
        }
        m_size = sizeof m_saved;
        removed = RegQueryValueExA(m_key, name, nullptr, &m_type, m_saved, &m_size) == ERROR_SUCCESS &&
                  RegDeleteValueA(m_key, name) == ERROR_SUCCESS;
    }
    ~RemovedDeviceValue()
    {
        if (removed)
            RegSetValueExA(m_key, m_name, 0, m_type, m_saved, m_size);
        if (m_key)
            RegCloseKey(m_key);
    }
    RemovedDeviceValue(const RemovedDeviceValue &) = delete;
    RemovedDeviceValue &operator=(const RemovedDeviceValue &) = delete;

    bool removed = false;

private:
    const char *m_name;
    HKEY m_key = nullptr;
    DWORD m_type = 0;
    BYTE m_saved[512] = {};
    DWORD m_size = 0;
};

// Each interface is let through by its own device's class and driver. The first device of the
// system's set is the one a check of the set instead of the interface would look at: without a
// driver it must disappear alone, and without a readable class it must not take the others along.
void testDriverCheckJudgesEachDevice()
{
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!CHECK(set != INVALID_HANDLE_VALUE))
        return;
    SP_DEVINFO_DATA first = {};
    first.cbSize = sizeof first;
    char instanceId[512] = {};
    CHECK(SetupDiEnumDeviceInfo(set, 0, &first) &&
          SetupDiGetDeviceInstanceIdA(set, &first, instanceId, sizeof instanceId, nullptr));
    std::set<std::string> itsPaths;
    SP_DEVICE_INTERFACE_DATA entry = {};
    entry.cbSize = sizeof entry;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, &first, &hidClass, i, &entry); ++i) {
        char buffer[1024] = {};
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, sizeof buffer, nullptr, nullptr))
            itsPaths.insert(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);

    const std::set<std::string> all = pathsOf(listDevices(0, 0));
    std::set<std::string> others;
    std::set_difference(all.begin(), all.end(), itsPaths.begin(), itsPaths.end(),
                        std::inserter(others, others.end()));
    std::printf("  first device %s: %zu of %zu interfaces\n", instanceId, itsPaths.size(), all.size());
    if (!CHECK(!itsPaths.empty() && !others.empty() && others.size() + itsPaths.size() == all.size()))
        return;
    // Wine answers the class from the class GUID when the class name is missing.
    const std::vector<std::vector<const char *>> removals = {{"Driver"}, {"Class", "ClassGUID"}};
    for (const std::vector<const char *> &names : removals) {
        std::vector<std::unique_ptr<RemovedDeviceValue>> removed;
        for (const char *name : names) {
            removed.push_back(std::make_unique<RemovedDeviceValue>(instanceId, name));
            if (!CHECK(removed.back()->removed))
                std::printf("  the device's %s value could not be taken away\n", name);
        }
        const std::set<std::string> listed = pathsOf(listDevices(0, 0));
        if (!CHECK(listed == others))
            std::printf("  without its %s value: %zu listed, %zu expected\n", names.front(), listed.size(),
                        others.size());
    }
    CHECK(pathsOf(listDevices(0, 0)) == all);
}

void testEveryDeviceOpensAndDescribesItself()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    for (const Record &record : all) {
        std::printf("  %s\n", record.path.c_str());
        OpenDevice device(record.path);
        if (!CHECK(device.ready))
            continue;
        CHECK(hid_error(device.dev) == nullptr);
        CHECK(device.caps.UsagePage == record.usagePage);
        CHECK(device.caps.Usage == record.usage);
        CHECK(device.caps.InputReportByteLength > 0);

        // The capability arrays come back with the counts the summary announced.
        HIDP_CAPS caps = device.caps;
        std::vector<HIDP_BUTTON_CAPS> buttons(
            std::max(caps.NumberInputButtonCaps, caps.NumberFeatureButtonCaps) + 1);
        std::vector<HIDP_VALUE_CAPS> values(std::max(caps.NumberInputValueCaps, caps.NumberFeatureValueCaps) +
                                            1);
        CHECK(hid_get_buttoncaps(device.dev, HidP_Input, device.preparsed, &caps, buttons.data()) == 0);
        CHECK(hid_get_valuecaps(device.dev, HidP_Input, device.preparsed, &caps, values.data()) == 0);
        CHECK(caps.NumberInputButtonCaps == device.caps.NumberInputButtonCaps);
        CHECK(caps.NumberInputValueCaps == device.caps.NumberInputValueCaps);
        for (USHORT i = 0; i < caps.NumberInputButtonCaps; ++i)
            CHECK(buttons[i].UsagePage != 0);

        // Whatever report type is asked for, the input counts carry the capacity in and the
        // number written out (the simulated controllers have a feature value, wine's devices none).
        HIDP_CAPS featureCaps = device.caps;
        featureCaps.NumberInputButtonCaps = static_cast<USHORT>(buttons.size());
        featureCaps.NumberInputValueCaps = static_cast<USHORT>(values.size());
        CHECK(hid_get_buttoncaps(device.dev, HidP_Feature, device.preparsed, &featureCaps, buttons.data()) ==
              0);
        CHECK(hid_get_valuecaps(device.dev, HidP_Feature, device.preparsed, &featureCaps, values.data()) ==
              0);
        CHECK(featureCaps.NumberInputButtonCaps == device.caps.NumberFeatureButtonCaps);
        CHECK(featureCaps.NumberInputValueCaps == device.caps.NumberFeatureValueCaps);
    }
}

// Builds an input report with the given usages of a button capability pressed, through the
// system's own parser, and reads them back through the layer.
void testUsageQueries()
{
    int devicesWithButtons = 0;
    for (const Record &record : listDevices(0, 0)) {
        OpenDevice device(record.path);
        if (!CHECK(device.ready))
            continue;
        HIDP_CAPS caps = device.caps;
        std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberInputButtonCaps);
        hid_get_buttoncaps(device.dev, HidP_Input, device.preparsed, &caps, buttons.data());
        if (buttons.empty() || !buttons[0].IsRange || buttons[0].Range.UsageMax <= buttons[0].Range.UsageMin)
            continue;
        ++devicesWithButtons;
        const HIDP_BUTTON_CAPS &button = buttons[0];
        std::vector<unsigned char> report(caps.InputReportByteLength);
        USAGE list[260];

        // Nothing pressed: success with no usages.
        ULONG count = 0;
        CHECK(hid_get_usages(device.dev, report.data(), HidP_Input, device.preparsed, &caps, &button, 0, list,
                             &count) == 0);
        CHECK(count == 0);

        USAGE pressed[2] = {button.Range.UsageMax, static_cast<USAGE>(button.Range.UsageMax - 1)};
        ULONG pressedCount = 2;
        if (!CHECK(HidP_SetUsages(HidP_Input, button.UsagePage, 0, pressed, &pressedCount, device.preparsed,
                                  reinterpret_cast<PCHAR>(report.data()),
                                  caps.InputReportByteLength) == HIDP_STATUS_SUCCESS))
            continue;
        count = 0;
        CHECK(hid_get_usages(device.dev, report.data(), HidP_Input, device.preparsed, &caps, &button, 0, list,
                             &count) == 0);
        CHECK(count == 2);
        CHECK(count == 2 && ((list[0] == pressed[0] && list[1] == pressed[1]) ||
                             (list[0] == pressed[1] && list[1] == pressed[0])));

        // A list shorter than the pressed usages is never written past its capacity.
        std::fill(std::begin(list), std::end(list), USAGE(0xBEEF));
        count = 1;
        CHECK(hid_get_usages(device.dev, report.data(), HidP_Input, device.preparsed, &caps, &button, 0, list,
                             &count) == -1);
        CHECK(list[1] == 0xBEEF);
        CHECK(isSingleLineText(hid_error(device.dev)));

        HIDP_DATA data[260];
        ULONG dataCount = 0;
        CHECK(hid_get_data(device.dev, report.data(), HidP_Input, device.preparsed, &caps, data,
                           &dataCount) == 0);
        // The two buttons, beside an entry for every single value.
        CHECK(std::count_if(data, data + dataCount, [&](const HIDP_DATA &d) {
                  return d.DataIndex >= button.Range.DataIndexMin && d.DataIndex <= button.Range.DataIndexMax;
              }) == 2);
        data[1].DataIndex = 0xBEEF;
        dataCount = 1;
        CHECK(hid_get_data(device.dev, report.data(), HidP_Input, device.preparsed, &caps, data,
                           &dataCount) == -1);
        CHECK(data[1].DataIndex == 0xBEEF);
    }
    CHECK(devicesWithButtons > 0);
}

void testValueQueryFailure()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    OpenDevice device(all.front().path);
    if (!CHECK(device.ready))
        return;
    std::vector<unsigned char> report(device.caps.InputReportByteLength);
    // A usage page no device defines values on.
    ULONG value = 77;
    CHECK(hid_get_usagevalue(device.dev, report.data(), HidP_Input, device.preparsed, &device.caps, 0xFF7F,
                             0x1234, &value) == -1);
    const wchar_t *text = hid_error(device.dev);
    CHECK(isSingleLineText(text));
    CHECK(text && std::wcsstr(text, L"0xC011") != nullptr);
    // The same failure on every report keeps its text instead of building it again.
    CHECK(hid_get_usagevalue(device.dev, report.data(), HidP_Input, device.preparsed, &device.caps, 0xFF7F,
                             0x1234, &value) == -1);
    CHECK(hid_error(device.dev) == text);
}

void testStringsAreBounded()
{
    const wchar_t kCanary = 0xABCD;
    for (const Record &record : listDevices(0, 0)) {
        hid_device *dev = hid_open_path(record.path.c_str());
        if (!CHECK(dev != nullptr))
            continue;
        using Query = int (*)(hid_device *, wchar_t *, size_t);
        const Query queries[] = {hid_get_manufacturer_string, hid_get_product_string,
                                 hid_get_serial_number_string};
        for (Query query : queries) {
            // The callers' 264-unit buffer with a maximum of 260: the system gets 125 units.
            wchar_t text[264];
            std::wmemset(text, kCanary, 264);
            if (!CHECK(query(dev, text, 260) == 0))
                continue;
            CHECK(std::wcslen(text) < HID_STRING_MAX_CHARS);
            bool canaryIntact = true;
            for (size_t i = HID_STRING_MAX_CHARS; i < 264; ++i)
                canaryIntact = canaryIntact && text[i] == kCanary;
            CHECK(canaryIntact);
            std::printf("  \"%ls\"\n", text);

            // A smaller buffer is never overrun, and what comes back is terminated. (Wine fails
            // the query when the text does not fit.)
            wchar_t small[8];
            std::wmemset(small, kCanary, 8);
            const int shortResult = query(dev, small, 4);
            CHECK(shortResult == -1 || (shortResult == 0 && std::wmemchr(small, L'\0', 4) != nullptr));
            CHECK(small[4] == kCanary && small[7] == kCanary);
            CHECK(query(dev, small, 0) == -1);
            CHECK(isSingleLineText(hid_error(dev)));
        }
        hid_close(dev);
    }
}

void testFailingCallsKeepSystemText()
{
    // A simulated controller: one feature report of 54 bytes, which it never answers and takes
    // only at that length, no output report, no string 0x7F.
    OpenDevice device(controllerPath(testbed::kFlashedSerial, kApplicationRelease));
    if (!CHECK(device.ready))
        return;
    CHECK(device.caps.FeatureReportByteLength == kApplicationFeatureLength);
    CHECK(device.caps.OutputReportByteLength == 0);
    unsigned char report[65] = {};
    CHECK(hid_get_feature_report(device.dev, report, kApplicationFeatureLength) == -1);
    CHECK(isSingleLineText(hid_error(device.dev)));
    CHECK(hid_send_feature_report(device.dev, report, 10) == -1);
    CHECK(isSingleLineText(hid_error(device.dev)));
    CHECK(hid_write(device.dev, report, 3) == -1);
    CHECK(isSingleLineText(hid_error(device.dev)));
    wchar_t text[HID_STRING_MAX_CHARS];
    CHECK(hid_get_indexed_string(device.dev, 0x7F, text, HID_STRING_MAX_CHARS) == -1);
    const wchar_t *error = hid_error(device.dev);
    CHECK(isSingleLineText(error));
    std::printf("  last error: \"%ls\"\n", error ? error : L"(none)");
}

struct AlternatingFailures {
    hid_device *dev;
    PHIDP_PREPARSED_DATA preparsed;
    HIDP_CAPS caps;
    int rounds;
};

// Fails on the handle `rounds` times each way: a system message, then a parser status, each a
// text newly made that replaces the one before.
DWORD WINAPI failAlternately(void *context)
{
    auto *work = static_cast<AlternatingFailures *>(context);
    std::vector<unsigned char> report(std::max<size_t>(work->caps.InputReportByteLength, 65));
    for (int i = 0; i < work->rounds; ++i) {
        hid_get_feature_report(work->dev, report.data(), kApplicationFeatureLength);
        ULONG value = 0;
        hid_get_usagevalue(work->dev, report.data(), HidP_Input, work->preparsed, &work->caps, 0xFF7F, 0x1234,
                           &value);
    }
    return 0;
}

// The text a thread got from hid_error is its own: another thread's failures on the handle
// replace (and free) the handle's text, never what the first one holds or is reading.
void testErrorTextIsEachThreadsOwn()
{
    OpenDevice device(controllerPath(testbed::kFlashedSerial, kApplicationRelease));
    if (!CHECK(device.ready))
        return;
    // A status the other thread never causes: a data list with room for one entry. The buffer
    // also takes the feature report asked for below, which is longer than an input report.
    std::vector<unsigned char> report(std::max<size_t>(device.caps.InputReportByteLength, 65));
    HIDP_DATA data[1];
    ULONG dataCount = 1;
    CHECK(hid_get_data(device.dev, report.data(), HidP_Input, device.preparsed, &device.caps, data,
                       &dataCount) == -1);
    const wchar_t *held = hid_error(device.dev);
    if (!CHECK(isSingleLineText(held)))
        return;
    const std::wstring expected = held;

    AlternatingFailures work{device.dev, device.preparsed, device.caps, 50};
    HANDLE thread = CreateThread(nullptr, 0, failAlternately, &work, 0, nullptr);
    if (!CHECK(WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0))
        std::printf("  gave up after 60 s waiting for the other thread's 100 failures\n");
    CloseHandle(thread);
    CHECK(held == expected);
    const std::wstring last = hid_error(device.dev);
    CHECK(last != expected && last.find(L"0xC011") != std::wstring::npos);

    // While the other thread fails, every text read here is one of its two, whole.
    CHECK(hid_get_feature_report(device.dev, report.data(), kApplicationFeatureLength) == -1);
    const std::wstring systemText = hid_error(device.dev);
    work.rounds = 200;
    thread = CreateThread(nullptr, 0, failAlternately, &work, 0, nullptr);
    int reads = 0, torn = 0;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT && GetTickCount64() < deadline) {
        const std::wstring text = hid_error(device.dev);
        torn += text != systemText && text != last;
        ++reads;
    }
    if (!CHECK(WaitForSingleObject(thread, 0) == WAIT_OBJECT_0))
        std::printf("  gave up after 60 s waiting for the other thread's 400 failures\n");
    CloseHandle(thread);
    std::printf("  %d texts read during the other thread's failures\n", reads);
    CHECK(reads > 0 && torn == 0);
}

// Reads that time out stay pending, and closing a handle with its read in flight, like
// enumerating, leaves no handle behind.
void testReadsStayPendingAndCloseCleanly()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    CHECK(leavesNoHandleOpen([] { hid_free_enumeration(hid_enumerate(0, 0)); }));
    for (const Record &record : all) {
        CHECK(leavesNoHandleOpen([&] {
            OpenDevice device(record.path);
            if (!CHECK(device.ready))
                return;
            const int reportLength = device.caps.InputReportByteLength;
            unsigned char data[1024] = {};
            // Nobody moves wine's virtual devices, so reads time out; a report that does come is
            // delivered whole.
            const int first = hid_read_timeout(device.dev, data, sizeof data, 0);
            CHECK(first == 0 || first == reportLength);
            const int second = hid_read_timeout(device.dev, data, sizeof data, 10);
            CHECK(second == 0 || second == reportLength);
            CHECK(hid_set_nonblocking(device.dev, 1) == 0);
            const int third = hid_read(device.dev, data, sizeof data);
            CHECK(third == 0 || third == reportLength);
            CHECK(hid_error(device.dev) == nullptr);
        }));
    }
}

void testOpenById()
{
    // The two simulated controllers share vendor and product; the serial number tells them apart.
    for (const char *serial : {testbed::kFlashedSerial, testbed::kSilentSerial}) {
        hid_device *dev = hid_open(kSimVendorId, kSimProductId, wide(serial).c_str());
        if (CHECK(dev != nullptr))
            CHECK(deviceString(dev, hid_get_serial_number_string) == wide(serial));
        hid_close(dev);
    }
    hid_device *any = hid_open(kSimVendorId, kSimProductId, nullptr);
    CHECK(any != nullptr);
    hid_close(any);
    CHECK(hid_open(kSimVendorId, kSimProductId, L"no such serial number") == nullptr);
}

// ---- end to end, against the simulated controllers ----

void testControllersAreListed()
{
    CHECK(waitFor("two simulated controllers", 20,
                  [] { return controllerRecords(kApplicationRelease).size() == 2; }));
    const std::vector<Record> both = listDevices(kSimVendorId, kSimProductId);
    CHECK(both.size() == 2);
    const std::vector<Record> byVendor = listDevices(kSimVendorId, 0);
    CHECK(std::count_if(byVendor.begin(), byVendor.end(),
                        [](const Record &r) { return r.productId == kSimProductId; }) == 2);
    CHECK(std::all_of(byVendor.begin(), byVendor.end(),
                      [](const Record &r) { return r.vendorId == kSimVendorId; }));
    const std::vector<Record> byProduct = listDevices(0, kSimProductId);
    CHECK(byProduct.size() == 2);
    CHECK(std::all_of(byProduct.begin(), byProduct.end(),
                      [](const Record &r) { return r.vendorId == kSimVendorId; }));

    std::set<std::wstring> serials;
    std::vector<std::string> ports;
    for (const Record &r : both) {
        ports.push_back(hidport::portOf(r.path.c_str()));
        std::string path = r.path;
        std::transform(path.begin(), path.end(), path.begin(), [](char c) { return char(std::tolower(c)); });
        CHECK(path.find("vid_1209&pid_5a51") != std::string::npos);
        CHECK(r.usagePage == 0x01 && r.usage == 0x04);
        CHECK(r.release == kApplicationRelease);
        CHECK(r.interfaceNumber == 0); // wine marks every device as interface 0
        OpenDevice device(r.path);
        if (!CHECK(device.ready))
            continue;
        serials.insert(deviceString(device.dev, hid_get_serial_number_string));
        // Wine takes the product text from the kernel's device name, which the simulated controller
        // makes its product text, and answers "hidraw" as the maker; Windows would give the
        // device's own strings.
        CHECK(deviceString(device.dev, hid_get_product_string) == L"Sim Flight Stick");
        CHECK(deviceString(device.dev, hid_get_manufacturer_string) != L"(failed)");

        // 16 buttons in one capability, four axes in four. A caller's array is never said to hold
        // more capabilities than it has room for.
        CHECK(device.caps.NumberInputButtonCaps == 1);
        CHECK(device.caps.NumberInputValueCaps == 4);
        HIDP_CAPS caps = device.caps;
        HIDP_VALUE_CAPS values[3] = {};
        values[1].BitSize = 0xBEEF;
        caps.NumberInputValueCaps = 1;
        CHECK(hid_get_valuecaps(device.dev, HidP_Input, device.preparsed, &caps, values) == 0);
        CHECK(caps.NumberInputValueCaps == 1);
        CHECK(values[1].BitSize == 0xBEEF);
        HIDP_BUTTON_CAPS buttons[1] = {};
        caps.NumberInputButtonCaps = 0;
        CHECK(hid_get_buttoncaps(device.dev, HidP_Input, device.preparsed, &caps, buttons) == 0);
        CHECK(caps.NumberInputButtonCaps == 0);
    }
    CHECK(serials == std::set<std::wstring>({wide(testbed::kFlashedSerial), wide(testbed::kSilentSerial)}));
    // Two units never share a port; where the system tells none, the flasher falls back on serials.
    std::printf("  USB ports of the simulated controllers: \"%s\", \"%s\"\n", ports[0].c_str(),
                ports[1].c_str());
    CHECK(ports.size() == 2 && (ports[0].empty() || ports[0] != ports[1]));
    CHECK(hidport::portOf(nullptr).empty());
}

void testInputReportsDecodeAsOnLinux()
{
    OpenDevice device(controllerPath(testbed::kFlashedSerial, kApplicationRelease));
    if (!CHECK(device.ready))
        return;
    CHECK(device.caps.InputReportByteLength == 11);
    for (int i = 0; i < 5; ++i) {
        unsigned char report[64] = {};
        const int length = hid_read_timeout(device.dev, report, sizeof report, 5000);
        if (!CHECK(length == device.caps.InputReportByteLength))
            break;
        const std::string here = testbed::decodeReport(device.dev, device.preparsed, device.caps, report);
        const std::string onLinux = askTestbed("decode " + std::string(testbed::kFlashedSerial) + " " +
                                               testbed::hexText(report, size_t(length)));
        if (!CHECK(here == onLinux))
            std::printf("  windows: %s\n  linux:   %s\n", here.c_str(), onLinux.c_str());
        // The controller always holds one button down.
        CHECK(here.rfind("buttons ", 0) == 0 && here.rfind("buttons axes", 0) != 0);
    }
}

void testFirmwareImageThroughBootloader()
{
    // The image as the program has it: a file read whole.
    std::vector<unsigned char> written(testbed::kFirmwareSize);
    uint32_t seed = 0x2545F491;
    for (unsigned char &byte : written) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(seed >> 24);
    }
    char directory[MAX_PATH] = {};
    char file[MAX_PATH] = {};
    if (!CHECK(GetTempPathA(MAX_PATH, directory) > 0 && GetTempFileNameA(directory, "fw", 0, file) != 0))
        return;
    std::vector<unsigned char> image(written.size() + 1);
    if (FILE *out = std::fopen(file, "wb")) {
        std::fwrite(written.data(), 1, written.size(), out);
        std::fclose(out);
    }
    if (FILE *in = std::fopen(file, "rb")) {
        image.resize(std::fread(image.data(), 1, image.size(), in));
        std::fclose(in);
    }
    DeleteFileA(file);
    CHECK(image == written);
    const std::string fileDigest = sha256Text(image);

    {
        OpenDevice application(controllerPath(testbed::kFlashedSerial, kApplicationRelease));
        if (!CHECK(application.ready))
            return;
        CHECK(application.caps.FeatureReportByteLength == kApplicationFeatureLength);
        const std::vector<unsigned char> command = bootloaderCommand();
        CHECK(hid_send_feature_report(application.dev, command.data(), command.size()) ==
              int(command.size()));
    }
    std::string path;
    CHECK(waitFor("the bootloader to be listed", 20, [&] {
        path = controllerPath(testbed::kFlashedSerial, kBootloaderRelease);
        return !path.empty();
    }));
    OpenDevice bootloader(path);
    if (!CHECK(bootloader.ready))
        return;
    CHECK(bootloader.caps.FeatureReportByteLength == kBootloaderFeatureLength);
    CHECK(deviceString(bootloader.dev, hid_get_product_string) == L"Bootloader");

    const size_t blocks = firmware::blockCount(image.size(), kBootloaderFeatureLength);
    CHECK(blocks == (testbed::kFirmwareSize + 63) / 64);
    std::vector<unsigned char> block(kBootloaderFeatureLength);
    size_t sent = 0;
    for (; sent < blocks; ++sent) {
        firmware::fillBlock(image.data(), image.size(), sent, block.data(), block.size());
        if (hid_send_feature_report(bootloader.dev, block.data(), block.size()) != int(block.size())) {
            std::printf("  block %zu: \"%ls\"\n", sent + 1, hid_error(bootloader.dev));
            break;
        }
    }
    CHECK(sent == blocks);
    const std::string taken = askTestbed("image " + std::string(testbed::kFlashedSerial));
    CHECK(taken == std::to_string(testbed::kFirmwareSize) + " " + fileDigest);
}

struct PendingReader {
    hid_device *dev;
    HANDLE pending; // set once the reader's last read is left pending
    HANDLE finish;  // set when the reader may end
};

DWORD WINAPI readUntilPending(void *context)
{
    auto *reader = static_cast<PendingReader *>(context);
    unsigned char data[64];
    // Takes what the controller sent before it fell silent; the read that finds nothing stays
    // pending, issued by this thread, which lives on.
    for (int reads = 0; reads < 1000 && hid_read_timeout(reader->dev, data, sizeof data, 300) > 0; ++reads) {
    }
    SetEvent(reader->pending);
    WaitForSingleObject(reader->finish, 60000);
    return 0;
}

DWORD WINAPI closeDevice(void *dev)
{
    hid_close(static_cast<hid_device *>(dev));
    return 0;
}

void testCloseWhileAnotherThreadsReadIsPending()
{
    hid_device *dev = hid_open_path(controllerPath(testbed::kSilentSerial, kApplicationRelease).c_str());
    if (!CHECK(dev != nullptr))
        return;
    // From now on the controller sends nothing: a read waits for ever.
    const std::vector<unsigned char> command = bootloaderCommand();
    CHECK(hid_send_feature_report(dev, command.data(), command.size()) == int(command.size()));
    PendingReader reader{dev, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                         CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE readerThread = CreateThread(nullptr, 0, readUntilPending, &reader, 0, nullptr);
    if (!CHECK(WaitForSingleObject(reader.pending, 60000) == WAIT_OBJECT_0))
        std::printf("  gave up waiting for the reader's read to stay pending\n");
    HANDLE closer = CreateThread(nullptr, 0, closeDevice, dev, 0, nullptr);
    if (!CHECK(WaitForSingleObject(closer, 10000) == WAIT_OBJECT_0))
        std::printf("  hid_close on another thread than the pending read still waits after 10 s\n");
    // The reader's thread ends, and its I/O with it, which also frees a close that hangs.
    SetEvent(reader.finish);
    WaitForSingleObject(readerThread, 60000);
    WaitForSingleObject(closer, 60000);
    for (HANDLE h : {readerThread, closer, reader.pending, reader.finish})
        CloseHandle(h);
}

void testUnplugDuringReadFailsIt()
{
    hid_device *dev = hid_open_path(controllerPath(testbed::kSilentSerial, kApplicationRelease).c_str());
    if (!CHECK(dev != nullptr))
        return;
    // The controller is silent since the previous case: this read stays pending.
    unsigned char data[64];
    int reads = 0;
    while (reads < 1000 && hid_read_timeout(dev, data, sizeof data, 300) > 0)
        ++reads;
    CHECK(askTestbed("unplug " + std::string(testbed::kSilentSerial)) == "ok");
    CHECK(hid_read_timeout(dev, data, sizeof data, 10000) == -1);
    CHECK(isSingleLineText(hid_error(dev)));
    std::printf("  after the unplug: \"%ls\"\n", hid_error(dev) ? hid_error(dev) : L"(none)");
    hid_close(dev);
}

void testBadPathsGiveNullAndLeakNothing()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    // A device that went away after enumeration: its path no longer opens.
    std::string vanished = all.front().path;
    const size_t hash = vanished.find('#', 8);
    vanished.insert(hash == std::string::npos ? vanished.size() : hash, "&gone");
    CHECK(leavesNoHandleOpen([&] { CHECK(hid_open_path(vanished.c_str()) == nullptr); }));
    CHECK(leavesNoHandleOpen([] { CHECK(hid_open_path("") == nullptr); }));

    // A path that opens but is not a HID collection.
    char directory[MAX_PATH] = {};
    char file[MAX_PATH] = {};
    if (CHECK(GetTempPathA(MAX_PATH, directory) > 0 && GetTempFileNameA(directory, "hid", 0, file) != 0)) {
        CHECK(leavesNoHandleOpen([&] { CHECK(hid_open_path(file) == nullptr); }));
        DeleteFileA(file);
    }
    CHECK(leavesNoHandleOpen([] { CHECK(hid_open_path("NUL") == nullptr); }));
}

// The monitor's arrival events exist exactly where the system exports the notification
// functions; where it does not, the monitor gets no source and scans by the clock alone. Waiting
// on a source that exists returns (no device arrives here).
void testArrivalEventsWhereOffered()
{
    HMODULE library = LoadLibraryW(L"cfgmgr32.dll");
    const bool offered = library != nullptr &&
                         GetProcAddress(library, "CM_Register_Notification") != nullptr &&
                         GetProcAddress(library, "CM_Unregister_Notification") != nullptr;
    std::printf("HID arrival notifications: %s\n", offered ? "offered" : "not offered, periodic scan alone");
    const std::unique_ptr<HotplugEvents> events = openHotplugEvents();
    CHECK((events != nullptr) == offered);
    if (events)
        CHECK(!events->waitForArrival(10));
    if (library != nullptr)
        FreeLibrary(library);
}

// ---- wine's HID parser against ours ----

// Where wine's parser answers otherwise than ours, and Windows (its documented behaviour and the
// answers of real Windows in the parser's vectors) sides with ours. Each entry is a difference as
// compareCollection() words it; a difference not listed here, or one listed that is gone, fails.
const char *const kWineParserDifferences[] = {
    // Windows repeats a single usage, its string and designator index and its data index in the
    // fields that hold a range's maxima; wine leaves them 0.
    "device-01 (joystick) collection 0 range-maximum fields of single-usage caps: differ in 53 caps",
    "device-02 (gamepad) collection 0 range-maximum fields of single-usage caps: differ in 22 caps",
    "device-04 (joystick) collection 0 range-maximum fields of single-usage caps: differ in 10 caps",
    "device-05 (gamepad) collection 0 range-maximum fields of single-usage caps: differ in 58 caps",
    "device-07 (gamepad) collection 0 range-maximum fields of single-usage caps: differ in 29 caps",
    "device-10 (joystick) collection 0 range-maximum fields of single-usage caps: differ in 7 caps",
    "device-11 (gamepad) collection 0 range-maximum fields of single-usage caps: differ in 4 caps",
    "device-12 (gamepad) collection 0 range-maximum fields of single-usage caps: differ in 15 caps",
    // Windows makes a device of each top-level collection, with its own caps. Wine's hidraw bus
    // makes one of the whole descriptor: the second collection's nodes and caps join the first's.
    "device-02 (gamepad) collections: wine 1, ours 2",
    "device-02 (gamepad) collection 0 caps NumberLinkCollectionNodes: wine 4, ours 2",
    "device-02 (gamepad) collection 0 caps NumberInputValueCaps: wine 9, ours 7",
    "device-02 (gamepad) collection 0 caps NumberInputDataIndices: wine 20, ours 18",
    "device-02 (gamepad) collection 0 input value cap count: wine 9, ours 7",
    "device-11 (gamepad) collections: wine 1, ours 2",
    "device-11 (gamepad) collection 0 caps FeatureReportByteLength: wine 64, ours 10",
    "device-11 (gamepad) collection 0 caps NumberLinkCollectionNodes: wine 2, ours 1",
    "device-11 (gamepad) collection 0 caps NumberFeatureValueCaps: wine 5, ours 1",
    "device-11 (gamepad) collection 0 caps NumberFeatureDataIndices: wine 5, ours 1",
    "device-11 (gamepad) collection 0 feature value cap count: wine 5, ours 1",
};

template <class Cap> struct CapField {
    const char *name;
    long long (*get)(const Cap &);
};
#define CAP_FIELD(Cap, member)                                                                               \
    CapField<Cap>                                                                                            \
    {                                                                                                        \
#member, [](const Cap &c) -> long long { return c.member; }                                          \
    }
// The fields every cap has, then those of range caps and of single-usage caps.
#define COMMON_CAP_FIELDS(Cap)                                                                               \
    CAP_FIELD(Cap, UsagePage), CAP_FIELD(Cap, ReportID), CAP_FIELD(Cap, IsAlias), CAP_FIELD(Cap, BitField),  \
        CAP_FIELD(Cap, LinkCollection), CAP_FIELD(Cap, LinkUsage), CAP_FIELD(Cap, LinkUsagePage),            \
        CAP_FIELD(Cap, IsRange), CAP_FIELD(Cap, IsStringRange), CAP_FIELD(Cap, IsDesignatorRange),           \
        CAP_FIELD(Cap, IsAbsolute)
#define RANGE_CAP_FIELDS(Cap)                                                                                \
    CAP_FIELD(Cap, Range.UsageMin), CAP_FIELD(Cap, Range.UsageMax), CAP_FIELD(Cap, Range.StringMin),         \
        CAP_FIELD(Cap, Range.StringMax), CAP_FIELD(Cap, Range.DesignatorMin),                                \
        CAP_FIELD(Cap, Range.DesignatorMax), CAP_FIELD(Cap, Range.DataIndexMin),                             \
        CAP_FIELD(Cap, Range.DataIndexMax)
// Windows repeats a single usage's numbers in the fields that hold a range's maxima.
#define NOT_RANGE_CAP_FIELDS(Cap)                                                                            \
    CAP_FIELD(Cap, NotRange.Usage), CAP_FIELD(Cap, NotRange.StringIndex),                                    \
        CAP_FIELD(Cap, NotRange.DesignatorIndex), CAP_FIELD(Cap, NotRange.DataIndex)
#define SHADOW_CAP_FIELDS(Cap)                                                                               \
    CAP_FIELD(Cap, NotRange.Reserved1), CAP_FIELD(Cap, NotRange.Reserved2),                                  \
        CAP_FIELD(Cap, NotRange.Reserved3), CAP_FIELD(Cap, NotRange.Reserved4)

template <class Cap> struct CapFields;
template <> struct CapFields<HIDP_BUTTON_CAPS> {
    static constexpr CapField<HIDP_BUTTON_CAPS> common[] = {COMMON_CAP_FIELDS(HIDP_BUTTON_CAPS)};
    static constexpr CapField<HIDP_BUTTON_CAPS> range[] = {RANGE_CAP_FIELDS(HIDP_BUTTON_CAPS)};
    static constexpr CapField<HIDP_BUTTON_CAPS> notRange[] = {NOT_RANGE_CAP_FIELDS(HIDP_BUTTON_CAPS)};
    static constexpr CapField<HIDP_BUTTON_CAPS> shadows[] = {SHADOW_CAP_FIELDS(HIDP_BUTTON_CAPS)};
};
template <> struct CapFields<HIDP_VALUE_CAPS> {
    static constexpr CapField<HIDP_VALUE_CAPS> common[] = {
        COMMON_CAP_FIELDS(HIDP_VALUE_CAPS),      CAP_FIELD(HIDP_VALUE_CAPS, HasNull),
        CAP_FIELD(HIDP_VALUE_CAPS, BitSize),     CAP_FIELD(HIDP_VALUE_CAPS, ReportCount),
        CAP_FIELD(HIDP_VALUE_CAPS, UnitsExp),    CAP_FIELD(HIDP_VALUE_CAPS, Units),
        CAP_FIELD(HIDP_VALUE_CAPS, LogicalMin),  CAP_FIELD(HIDP_VALUE_CAPS, LogicalMax),
        CAP_FIELD(HIDP_VALUE_CAPS, PhysicalMin), CAP_FIELD(HIDP_VALUE_CAPS, PhysicalMax)};
    static constexpr CapField<HIDP_VALUE_CAPS> range[] = {RANGE_CAP_FIELDS(HIDP_VALUE_CAPS)};
    static constexpr CapField<HIDP_VALUE_CAPS> notRange[] = {NOT_RANGE_CAP_FIELDS(HIDP_VALUE_CAPS)};
    static constexpr CapField<HIDP_VALUE_CAPS> shadows[] = {SHADOW_CAP_FIELDS(HIDP_VALUE_CAPS)};
};

const CapField<HIDP_CAPS> kSummaryFields[] = {CAP_FIELD(HIDP_CAPS, Usage),
                                              CAP_FIELD(HIDP_CAPS, UsagePage),
                                              CAP_FIELD(HIDP_CAPS, InputReportByteLength),
                                              CAP_FIELD(HIDP_CAPS, OutputReportByteLength),
                                              CAP_FIELD(HIDP_CAPS, FeatureReportByteLength),
                                              CAP_FIELD(HIDP_CAPS, NumberLinkCollectionNodes),
                                              CAP_FIELD(HIDP_CAPS, NumberInputButtonCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberInputValueCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberInputDataIndices),
                                              CAP_FIELD(HIDP_CAPS, NumberOutputButtonCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberOutputValueCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberOutputDataIndices),
                                              CAP_FIELD(HIDP_CAPS, NumberFeatureButtonCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberFeatureValueCaps),
                                              CAP_FIELD(HIDP_CAPS, NumberFeatureDataIndices)};

template <class Cap, size_t N>
void compareFields(const std::string &where, const Cap &wine, const Cap &ours,
                   const CapField<Cap> (&fields)[N], std::vector<std::string> &differences)
{
    for (const CapField<Cap> &field : fields) {
        const long long w = field.get(wine);
        const long long o = field.get(ours);
        if (w != o)
            differences.push_back(where + " " + field.name + ": wine " + std::to_string(w) + ", ours " +
                                  std::to_string(o));
    }
}

// Compares one report type's button or value caps. Single-usage caps whose range-maximum fields
// differ only add to `shadowDifferences`, so that one line says it for the whole collection.
template <class Cap, class WineQuery, class OurQuery>
void compareCapArrays(const std::string &where, WineQuery wineQuery, OurQuery ourQuery,
                      std::vector<std::string> &differences, int &shadowDifferences)
{
    std::vector<Cap> wine(512), ours(512);
    USHORT wineCount = USHORT(wine.size());
    USHORT ourCount = USHORT(ours.size());
    const NTSTATUS wineStatus = wineQuery(wine.data(), &wineCount);
    const NTSTATUS ourStatus = ourQuery(ours.data(), &ourCount);
    if (wineStatus != ourStatus)
        differences.push_back(where + " status: wine " + hidparse::statusName(wineStatus) + ", ours " +
                              hidparse::statusName(ourStatus));
    if (wineStatus != HIDP_STATUS_SUCCESS)
        wineCount = 0;
    if (ourStatus != HIDP_STATUS_SUCCESS)
        ourCount = 0;
    if (wineCount != ourCount)
        differences.push_back(where + " count: wine " + std::to_string(wineCount) + ", ours " +
                              std::to_string(ourCount));
    for (USHORT i = 0; i < std::min(wineCount, ourCount); ++i) {
        const std::string cap = where + " " + std::to_string(i);
        compareFields(cap, wine[i], ours[i], CapFields<Cap>::common, differences);
        if (ours[i].IsRange) {
            compareFields(cap, wine[i], ours[i], CapFields<Cap>::range, differences);
            continue;
        }
        compareFields(cap, wine[i], ours[i], CapFields<Cap>::notRange, differences);
        std::vector<std::string> shadows;
        compareFields(cap, wine[i], ours[i], CapFields<Cap>::shadows, shadows);
        shadowDifferences += !shadows.empty();
    }
}

void compareCollection(const std::string &name, hid_device *dev, PHIDP_PREPARSED_DATA preparsed,
                       const hidparse::Collection &ours, std::vector<std::string> &differences)
{
    HIDP_CAPS wineCaps = {};
    HIDP_CAPS ourCaps = {};
    CHECK(hid_get_caps(dev, preparsed, &wineCaps) == 0);
    CHECK(hidparse::getCaps(ours, &ourCaps) == HIDP_STATUS_SUCCESS);
    compareFields(name + " caps", wineCaps, ourCaps, kSummaryFields, differences);
    const struct {
        HIDP_REPORT_TYPE type;
        const char *name;
    } types[] = {{HidP_Input, "input"}, {HidP_Output, "output"}, {HidP_Feature, "feature"}};
    int shadowDifferences = 0;
    for (const auto &type : types) {
        compareCapArrays<HIDP_BUTTON_CAPS>(
            name + " " + type.name + " button cap",
            [&](HIDP_BUTTON_CAPS *caps, USHORT *count) {
                return HidP_GetButtonCaps(type.type, caps, count, preparsed);
            },
            [&](HIDP_BUTTON_CAPS *caps, USHORT *count) {
                return hidparse::getButtonCaps(ours, type.type, caps, count);
            },
            differences, shadowDifferences);
        compareCapArrays<HIDP_VALUE_CAPS>(
            name + " " + type.name + " value cap",
            [&](HIDP_VALUE_CAPS *caps, USHORT *count) {
                return HidP_GetValueCaps(type.type, caps, count, preparsed);
            },
            [&](HIDP_VALUE_CAPS *caps, USHORT *count) {
                return hidparse::getValueCaps(ours, type.type, caps, count);
            },
            differences, shadowDifferences);
    }
    if (shadowDifferences > 0)
        differences.push_back(name + " range-maximum fields of single-usage caps: differ in " +
                              std::to_string(shadowDifferences) + " caps");
}

std::string devicesJsonPath;

void testWineParserAgainstOurs()
{
    std::string text, error;
    testsupport::Json devices;
    const std::string path = devicesJsonPath.rfind('/', 0) == 0 ? "Z:" + devicesJsonPath : devicesJsonPath;
    if (!CHECK(testsupport::readFile(path, text) && testsupport::Json::parse(text, devices, error)))
        return;
    std::vector<std::string> differences;
    int compared = 0; // descriptors
    for (size_t i = 0; i < devices.size(); ++i) {
        if (!testbed::hasGameCollection(devices[i]))
            continue;
        const std::string name = devices[i]["name"].asString();
        const std::vector<uint8_t> descriptor = testbed::hexBytes(devices[i]["descriptor_hex"].asString());
        hidparse::DescriptorSummary summary;
        if (!CHECK(hidparse::summarize(descriptor.data(), descriptor.size(), summary, error)))
            continue;
        const unsigned short productId = static_cast<unsigned short>(testbed::kDescriptorProductBase + i);
        // Windows lists each top-level collection as a device of its own.
        CHECK(waitFor(name.c_str(), 20,
                      [&] { return !listDevices(testbed::kDescriptorVendorId, productId).empty(); }));
        const std::vector<Record> records = listDevices(testbed::kDescriptorVendorId, productId);
        if (records.size() != summary.collections.size())
            differences.push_back(name + " collections: wine " + std::to_string(records.size()) + ", ours " +
                                  std::to_string(summary.collections.size()));
        for (const Record &record : records) {
            size_t index = 0;
            while (index < summary.collections.size() &&
                   (summary.collections[index].usagePage != record.usagePage ||
                    summary.collections[index].usage != record.usage))
                ++index;
            if (!CHECK(index < summary.collections.size())) {
                std::printf("  %s: wine's collection %04x:%04x is not ours\n", name.c_str(), record.usagePage,
                            record.usage);
                continue;
            }
            hidparse::CollectionPtr ours =
                hidparse::parseCollection(descriptor.data(), descriptor.size(), index, error);
            OpenDevice device(record.path);
            if (!CHECK(ours && device.ready))
                continue;
            compareCollection(name + " collection " + std::to_string(index), device.dev, device.preparsed,
                              *ours, differences);
        }
        ++compared;
    }
    // Every descriptor of tests/data with a game collection took part.
    CHECK(compared == 8);

    std::set<std::string> known(std::begin(kWineParserDifferences), std::end(kWineParserDifferences));
    for (const std::string &difference : differences) {
        const bool isKnown = known.erase(difference) == 1;
        std::printf("  %s %s\n", isKnown ? "wine's:" : "NEW:   ", difference.c_str());
        CHECK(isKnown);
    }
    for (const std::string &missing : known)
        std::printf("  no longer differs: %s\n", missing.c_str());
    CHECK(known.empty());
}

} // namespace

int main(int argc, char **argv)
{
    const std::string group = argc > 1 ? argv[1] : "";
    if (group == "parser" && argc > 2) {
        devicesJsonPath = argv[2];
        testsupport::checker().run("wine's parser against ours", testWineParserAgainstOurs);
        return testsupport::checker().finish();
    }
    if (group != "layer") {
        std::printf("usage: hid_windows_test layer | parser DEVICES_JSON\n");
        return 2;
    }
    testsupport::checker().run("interface number from path", testInterfaceNumberRule);
    testsupport::checker().run("error text cut at carriage return", testErrorTextCut);
    testsupport::checker().run("texts for codes without system message", testCodeTexts);
    testsupport::checker().run("exports and trivial calls", testExportsAndTrivialCalls);
    testsupport::checker().run("simulated controllers are listed", testControllersAreListed);
    testsupport::checker().run("enumeration records", testEnumerationRecords);
    testsupport::checker().run("enumeration filters", testEnumerationFilters);
    testsupport::checker().run("the driver check judges each device", testDriverCheckJudgesEachDevice);
    testsupport::checker().run("every device opens and describes itself",
                               testEveryDeviceOpensAndDescribesItself);
    testsupport::checker().run("usage and data queries", testUsageQueries);
    testsupport::checker().run("value query failure", testValueQueryFailure);
    testsupport::checker().run("strings are bounded", testStringsAreBounded);
    testsupport::checker().run("failing calls keep the system's text", testFailingCallsKeepSystemText);
    testsupport::checker().run("the error text is each thread's own", testErrorTextIsEachThreadsOwn);
    testsupport::checker().run("reads stay pending and close cleanly", testReadsStayPendingAndCloseCleanly);
    testsupport::checker().run("open by identifiers", testOpenById);
    testsupport::checker().run("bad paths give null and leak nothing", testBadPathsGiveNullAndLeakNothing);
    testsupport::checker().run("input reports decode as on Linux", testInputReportsDecodeAsOnLinux);
    testsupport::checker().run("firmware image through the bootloader", testFirmwareImageThroughBootloader);
    testsupport::checker().run("close while another thread's read is pending",
                               testCloseWhileAnotherThreadsReadIsPending);
    testsupport::checker().run("unplugging during a read fails it", testUnplugDuringReadFailsIt);
    testsupport::checker().run("arrival events where offered", testArrivalEventsWhereOffered);
    return testsupport::checker().finish();
}

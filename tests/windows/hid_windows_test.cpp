// Tests of the Windows HID backend, run under wine. Wine offers virtual HID devices (a mouse and a
// keyboard without report IDs, output or feature reports), so these tests check what such devices
// can show: enumeration records, opening, the parser queries, device strings and their bounds,
// failing calls with their error texts, and that bad paths leak no handle.

#include "hid.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "../exported_hid_names.h"
#include "check.h"
#include "helpers.h"
#include "hotplugevents.h"

namespace {

struct Record {
    std::string path;
    unsigned short vendorId;
    unsigned short productId;
    unsigned short usagePage;
    unsigned short usage;
};

std::vector<Record> listDevices(unsigned short vendorId, unsigned short productId)
{
    std::vector<Record> records;
    hid_device_info *list = hid_enumerate(vendorId, productId);
    for (hid_device_info *r = list; r; r = r->next)
        records.push_back({r->path, r->vendor_id, r->product_id, r->usage_page, r->usage});
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
        std::printf("  %s %04x:%04x usage %04x:%04x interface %d\n", r->path, r->vendor_id, r->product_id,
                    r->usage_page, r->usage, r->interface_number);
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
    for (const Record &r : listDevices(0, first.productId))
        CHECK(r.productId == first.productId);

    unsigned short unusedVendor = 1;
    while (std::any_of(all.begin(), all.end(), [&](const Record &r) { return r.vendorId == unusedVendor; }))
        ++unusedVendor;
    CHECK(hid_enumerate(unusedVendor, 0) == nullptr);
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
        std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberInputButtonCaps + 1);
        std::vector<HIDP_VALUE_CAPS> values(caps.NumberInputValueCaps + 1);
        CHECK(hid_get_buttoncaps(device.dev, HidP_Input, device.preparsed, &caps, buttons.data()) == 0);
        CHECK(hid_get_valuecaps(device.dev, HidP_Input, device.preparsed, &caps, values.data()) == 0);
        CHECK(caps.NumberInputButtonCaps == device.caps.NumberInputButtonCaps);
        CHECK(caps.NumberInputValueCaps == device.caps.NumberInputValueCaps);
        for (USHORT i = 0; i < caps.NumberInputButtonCaps; ++i)
            CHECK(buttons[i].UsagePage != 0);

        // Whatever report type is asked for, the input counts carry the capacity in and the
        // number written out: these devices have no feature buttons or values.
        HIDP_CAPS featureCaps = device.caps;
        featureCaps.NumberInputButtonCaps = static_cast<USHORT>(buttons.size());
        featureCaps.NumberInputValueCaps = static_cast<USHORT>(values.size());
        CHECK(hid_get_buttoncaps(device.dev, HidP_Feature, device.preparsed, &featureCaps, buttons.data()) ==
              0);
        CHECK(hid_get_valuecaps(device.dev, HidP_Feature, device.preparsed, &featureCaps, values.data()) ==
              0);
        CHECK(device.caps.NumberFeatureButtonCaps != 0 || featureCaps.NumberInputButtonCaps == 0);
        CHECK(device.caps.NumberFeatureValueCaps != 0 || featureCaps.NumberInputValueCaps == 0);
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
        CHECK(dataCount == 2);
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

            // A smaller buffer is never overrun, and what comes back is terminated.
            wchar_t small[8];
            std::wmemset(small, kCanary, 8);
            if (query(dev, small, 4) == 0)
                CHECK(std::wmemchr(small, L'\0', 4) != nullptr);
            CHECK(small[4] == kCanary && small[7] == kCanary);
            CHECK(query(dev, small, 0) == -1);
            CHECK(isSingleLineText(hid_error(dev)));
        }
        hid_close(dev);
    }
}

void testFailingCallsKeepSystemText()
{
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    OpenDevice device(all.front().path);
    if (!CHECK(device.ready))
        return;
    unsigned char report[65] = {};

    // Wine's devices have no feature reports, no output reports and no string index 0x7F.
    if (device.caps.FeatureReportByteLength == 0) {
        CHECK(hid_get_feature_report(device.dev, report, sizeof report) == -1);
        CHECK(isSingleLineText(hid_error(device.dev)));
        CHECK(hid_send_feature_report(device.dev, report, sizeof report) == -1);
        CHECK(isSingleLineText(hid_error(device.dev)));
    }
    if (device.caps.OutputReportByteLength == 0) {
        CHECK(hid_write(device.dev, report, 3) == -1);
        CHECK(isSingleLineText(hid_error(device.dev)));
    }
    wchar_t text[HID_STRING_MAX_CHARS];
    CHECK(hid_get_indexed_string(device.dev, 0x7F, text, HID_STRING_MAX_CHARS) == -1);
    const wchar_t *error = hid_error(device.dev);
    CHECK(isSingleLineText(error));
    std::printf("  last error: \"%ls\"\n", error ? error : L"(none)");
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
    const std::vector<Record> all = listDevices(0, 0);
    if (!CHECK(!all.empty()))
        return;
    const Record &first = all.front();
    hid_device *dev = hid_open(first.vendorId, first.productId, nullptr);
    CHECK(dev != nullptr);
    wchar_t serial[HID_STRING_MAX_CHARS] = {};
    const bool hasSerial = dev && hid_get_serial_number_string(dev, serial, HID_STRING_MAX_CHARS) == 0;
    hid_close(dev);

    if (hasSerial) {
        dev = hid_open(first.vendorId, first.productId, serial);
        CHECK(dev != nullptr);
        hid_close(dev);
    }
    CHECK(hid_open(first.vendorId, first.productId, L"no such serial number") == nullptr);
}

void testBadPathsGiveNullAndLeakNothing()
{
    const std::vector<Record> all = listDevices(0, 0);
    // A device that went away after enumeration: its path no longer opens.
    std::string vanished =
        all.empty() ? std::string("\\\\?\\hid#vid_0000&pid_0000#0&0&0#x") : all.front().path;
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

} // namespace

int main()
{
    testsupport::checker().run("interface number from path", testInterfaceNumberRule);
    testsupport::checker().run("error text cut at carriage return", testErrorTextCut);
    testsupport::checker().run("texts for codes without system message", testCodeTexts);
    testsupport::checker().run("exports and trivial calls", testExportsAndTrivialCalls);
    testsupport::checker().run("enumeration records", testEnumerationRecords);
    testsupport::checker().run("enumeration filters", testEnumerationFilters);
    testsupport::checker().run("every device opens and describes itself",
                               testEveryDeviceOpensAndDescribesItself);
    testsupport::checker().run("usage and data queries", testUsageQueries);
    testsupport::checker().run("value query failure", testValueQueryFailure);
    testsupport::checker().run("strings are bounded", testStringsAreBounded);
    testsupport::checker().run("failing calls keep the system's text", testFailingCallsKeepSystemText);
    testsupport::checker().run("reads stay pending and close cleanly", testReadsStayPendingAndCloseCleanly);
    testsupport::checker().run("open by identifiers", testOpenById);
    testsupport::checker().run("bad paths give null and leak nothing", testBadPathsGiveNullAndLeakNothing);
    testsupport::checker().run("arrival events where offered", testArrivalEventsWhereOffered);
    return testsupport::checker().finish();
}

// The report-description queries on opened fake devices: what discovery and input decoding ask.
#include "hidtest.h"
#include "test_descriptors.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace hidtest;
using fakehid::DeviceConfig;
using fakehid::FakeHidraw;

namespace {

constexpr USAGE kGenericDesktop = 0x01, kButton = 0x09, kX = 0x30, kY = 0x31, kZ = 0x32;

// An opened collection with its parsed description and capability summary. Every test asserts
// `ready` first: it says that the open, the description and the summary all succeeded.
struct Described {
    FakeHidraw fake;
    Handle dev;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps{};
    bool ready = false;

    Described(fakehid::Testbed &bed, const std::vector<uint8_t> &descriptor, const std::string &suffix = {})
        : fake(bed, config(descriptor)), dev(open(fake.devnode + suffix))
    {
        ready = dev && hid_get_preparsed_data(dev.get(), &preparsed) == 0 &&
                hid_get_caps(dev.get(), preparsed, &caps) == 0;
    }
    ~Described()
    {
        if (preparsed)
            hid_free_preparsed_data(dev.get(), preparsed);
    }

    static DeviceConfig config(const std::vector<uint8_t> &descriptor)
    {
        DeviceConfig c;
        c.reportDescriptor = descriptor;
        return c;
    }
};

// An input report of the joystick as hid_read_timeout delivers it.
std::vector<unsigned char> joystickReport(uint8_t buttons, uint8_t x, uint8_t y)
{
    return {0x01, buttons, x, y};
}

} // namespace

class TestHidDescription : public QObject {
    Q_OBJECT

    fakehid::Testbed bed;

private slots:
    void capsOfTheCollection()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        QCOMPARE(d.caps.UsagePage, kGenericDesktop);
        QCOMPARE(d.caps.Usage, 0x04);
        QCOMPARE(d.caps.InputReportByteLength, 4);
        QCOMPARE(d.caps.OutputReportByteLength, 0);
        QCOMPARE(d.caps.FeatureReportByteLength, 54);
        QCOMPARE(d.caps.NumberInputButtonCaps, 1);
        QCOMPARE(d.caps.NumberInputValueCaps, 2);
    }

    // Each collection of a multi-collection device has its own description.
    void capsOfTheSecondCollection()
    {
        Described d(bed, fakehid::descriptors::twoCollections, "&col02");
        QVERIFY(d.ready);
        QCOMPARE(d.caps.UsagePage, 0xff00);
        QCOMPARE(d.caps.InputReportByteLength, 9);
        QCOMPARE(d.caps.OutputReportByteLength, 5);
        QCOMPARE(d.caps.NumberInputButtonCaps, 0);
    }

    void buttonAndValueCaps()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_BUTTON_CAPS buttons[128] = {};
        HIDP_VALUE_CAPS values[16] = {};
        QCOMPARE(hid_get_buttoncaps(d.dev.get(), HidP_Input, d.preparsed, &d.caps, buttons), 0);
        QCOMPARE(hid_get_valuecaps(d.dev.get(), HidP_Input, d.preparsed, &d.caps, values), 0);
        QCOMPARE(d.caps.NumberInputButtonCaps, 1);
        QCOMPARE(buttons[0].UsagePage, kButton);
        QVERIFY(buttons[0].IsRange);
        QCOMPARE(buttons[0].Range.UsageMin, 1);
        QCOMPARE(buttons[0].Range.UsageMax, 8);
        QCOMPARE(d.caps.NumberInputValueCaps, 2);
        const std::set<USAGE> axes = {values[0].NotRange.Usage, values[1].NotRange.Usage};
        QCOMPARE(axes, (std::set<USAGE>{kX, kY}));
    }

    // Whatever report type is asked for, the count in and out is the input field; and no status
    // of the parser makes the call fail.
    void capsCountIsAlwaysTheInputField()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_BUTTON_CAPS buttons[4] = {};
        HIDP_VALUE_CAPS values[4] = {};
        QCOMPARE(hid_get_buttoncaps(d.dev.get(), HidP_Feature, d.preparsed, &d.caps, buttons), 0);
        QCOMPARE(d.caps.NumberInputButtonCaps, 0); // the feature report has no buttons
        QCOMPARE(hid_get_valuecaps(d.dev.get(), HidP_Feature, d.preparsed, &d.caps, values), 0);
        QCOMPARE(d.caps.NumberInputValueCaps, 1);
        QCOMPARE(values[0].ReportID, 2);
        QCOMPARE(d.caps.NumberFeatureValueCaps, 1); // untouched

        Described none(bed, fakehid::descriptors::twoCollections, "&col02");
        QVERIFY(none.ready);
        none.caps.NumberInputButtonCaps = 4;
        QCOMPARE(hid_get_buttoncaps(none.dev.get(), HidP_Input, none.preparsed, &none.caps, buttons), 0);
        QCOMPARE(none.caps.NumberInputButtonCaps, 0);
    }

    // The count handed in is the array's capacity: nothing is written past it, and the count
    // handed back never claims more entries than were written.
    void capsArraysAreGuarded()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_VALUE_CAPS values[2];
        memset(values, 0xee, sizeof values);
        d.caps.NumberInputValueCaps = 1;
        QCOMPARE(hid_get_valuecaps(d.dev.get(), HidP_Input, d.preparsed, &d.caps, values), 0);
        QCOMPARE(d.caps.NumberInputValueCaps, 1);
        QCOMPARE(values[1].UsagePage, 0xeeee);

        HIDP_BUTTON_CAPS buttons[1];
        memset(buttons, 0xee, sizeof buttons);
        d.caps.NumberInputButtonCaps = 0;
        QCOMPARE(hid_get_buttoncaps(d.dev.get(), HidP_Input, d.preparsed, &d.caps, buttons), 0);
        QCOMPARE(d.caps.NumberInputButtonCaps, 0);
        QCOMPARE(buttons[0].UsagePage, 0xeeee);
    }

    void usagesOnInAReport()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_BUTTON_CAPS page{};
        page.UsagePage = kButton;
        USAGE list[128];
        ULONG count = 0;

        auto report = joystickReport(0x85, 0, 0); // buttons 1, 3 and 8
        QCOMPARE(hid_get_usages(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, &page, 1, list,
                                &count),
                 0);
        QCOMPARE(std::vector<USAGE>(list, list + count), (std::vector<USAGE>{1, 3, 8}));

        report = joystickReport(0, 0x10, 0x20);
        count = 128;
        QCOMPARE(hid_get_usages(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, &page, 1, list,
                                &count),
                 0);
        QCOMPARE(count, 0u);
    }

    void usageListIsGuarded()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_BUTTON_CAPS page{};
        page.UsagePage = kButton;
        USAGE list[4] = {0xeeee, 0xeeee, 0xeeee, 0xeeee};
        ULONG count = 1;
        const auto report = joystickReport(0x03, 0, 0);
        QCOMPARE(hid_get_usages(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, &page, 1, list,
                                &count),
                 -1);
        QCOMPARE(list[1], 0xeeee);
        QVERIFY(!text(hid_error(d.dev.get())).isEmpty());

        page.UsagePage = 0x0a; // a page the collection lacks
        count = 4;
        QCOMPARE(hid_get_usages(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, &page, 1, list,
                                &count),
                 -1);
    }

    void rawUsageValues()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        const auto report = joystickReport(0, 0xff, 0x81); // X = -1, Y = -127
        ULONG value = 0;
        QCOMPARE(hid_get_usagevalue(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps,
                                    kGenericDesktop, kX, &value),
                 0);
        QCOMPARE(value, 255u); // zero-extended, not sign-extended
        QCOMPARE(hid_get_usagevalue(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps,
                                    kGenericDesktop, kY, &value),
                 0);
        QCOMPARE(value, 0x81u);
        QCOMPARE(hid_get_usagevalue(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps,
                                    kGenericDesktop, kZ, &value),
                 -1);
    }

    // A report read from the device goes to the queries as it is.
    void readReportsDecode()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        d.fake.injectInput({0x01, 0x02}); // a short report, delivered at full length
        unsigned char report[1024] = {};
        QCOMPARE(hid_read_timeout(d.dev.get(), report, d.caps.InputReportByteLength, 10000),
                 int(d.caps.InputReportByteLength));
        HIDP_BUTTON_CAPS page{};
        page.UsagePage = kButton;
        USAGE list[128];
        ULONG count = 0;
        QCOMPARE(
            hid_get_usages(d.dev.get(), report, HidP_Input, d.preparsed, &d.caps, &page, 1, list, &count), 0);
        QCOMPARE(std::vector<USAGE>(list, list + count), std::vector<USAGE>{2});
    }

    void dataList()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        const auto report = joystickReport(0x01, 0x05, 0x06);
        HIDP_DATA data[32];
        ULONG count = 0;
        QCOMPARE(hid_get_data(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, data, &count), 0);
        QCOMPARE(count, 3u); // one button on, two values
        std::set<ULONG> values;
        for (ULONG i = 0; i < count; ++i)
            values.insert(data[i].RawValue);
        QVERIFY(values.count(5) && values.count(6));

        count = 2;
        QCOMPARE(hid_get_data(d.dev.get(), report.data(), HidP_Input, d.preparsed, &d.caps, data, &count),
                 -1);
    }

    // The description belongs to its holder, not to the handle it came from.
    void descriptionOutlivesItsHandle()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        PHIDP_PREPARSED_DATA own = nullptr;
        {
            Handle other = open(d.fake.devnode);
            QVERIFY(other);
            QCOMPARE(hid_get_preparsed_data(other.get(), &own), 0);
        }
        HIDP_CAPS caps{};
        QCOMPARE(hid_get_caps(d.dev.get(), own, &caps), 0);
        QCOMPARE(caps.FeatureReportByteLength, 54);
        QCOMPARE(hid_free_preparsed_data(d.dev.get(), own), 0);
    }

    void invalidArguments()
    {
        Described d(bed, fakehid::descriptors::joystickWithIds);
        QVERIFY(d.ready);
        HIDP_CAPS caps{};
        QCOMPARE(hid_get_preparsed_data(d.dev.get(), nullptr), -1);
        QCOMPARE(hid_get_caps(d.dev.get(), nullptr, &caps), -1);
        QCOMPARE(hid_get_caps(d.dev.get(), d.preparsed, nullptr), -1);
        QCOMPARE(hid_free_preparsed_data(d.dev.get(), nullptr), -1);
        QCOMPARE(hid_get_buttoncaps(d.dev.get(), HidP_Input, d.preparsed, nullptr, nullptr), -1);
        ULONG value;
        QCOMPARE(hid_get_usagevalue(d.dev.get(), nullptr, HidP_Input, d.preparsed, &d.caps, 1, kX, &value),
                 -1);
        QCOMPARE(hid_get_caps(nullptr, d.preparsed, &caps), -1);
    }
};

FAKE_HIDRAW_TEST_MAIN(TestHidDescription)
#include "tst_hid_description.moc"

// Reports, feature reports, strings and errors of opened devices.
#include "hidtest.h"
#include "test_descriptors.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace hidtest;
using fakehid::Bytes;
using fakehid::DeviceConfig;
using fakehid::FakeHidraw;

namespace {

// Waits without a time limit of its own: the suite's CTest timeout ends a hang.
constexpr int kForever = -1;
// Long enough for an injected report to arrive on a loaded machine.
constexpr int kGenerous = 10000;

Bytes sequence(size_t size, uint8_t first)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes withId(uint8_t id, Bytes payload)
{
    payload.insert(payload.begin(), id);
    return payload;
}

Bytes received(const unsigned char *data, int length)
{
    return Bytes(data, data + std::max(length, 0));
}

DeviceConfig joystick()
{
    DeviceConfig config;
    config.reportDescriptor = fakehid::descriptors::joystickWithIds;
    return config;
}

DeviceConfig twoCollections()
{
    DeviceConfig config;
    config.reportDescriptor = fakehid::descriptors::twoCollections;
    return config;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

class TestHidIo : public QObject {
    Q_OBJECT

    fakehid::Testbed bed;

private slots:
    // Devices without report IDs: hidraw leaves the ID out, the layer puts a 0 in front.
    void readPrependsZeroReportId()
    {
        FakeHidraw fake(bed, DeviceConfig{});
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        const Bytes payload = sequence(64, 1);
        fake.injectInput(payload);

        unsigned char data[1024] = {};
        const int n = hid_read_timeout(dev.get(), data, sizeof data, kGenerous);
        QCOMPARE(n, 65);
        QCOMPARE(received(data, n), withId(0, payload));
    }

    void readKeepsReportIdFirst()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        fake.injectInput({0x01, 0x05, 0x81, 0x7f});

        unsigned char data[64] = {};
        const int n = hid_read_timeout(dev.get(), data, sizeof data, kGenerous);
        QCOMPARE(received(data, n), (Bytes{0x01, 0x05, 0x81, 0x7f}));
    }

    // A report shorter than the collection's input length comes zero-filled to that length.
    void shortReportIsZeroFilled()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        fake.injectInput({0x01, 0xff});

        unsigned char data[64];
        memset(data, 0xee, sizeof data);
        const int n = hid_read_timeout(dev.get(), data, sizeof data, kGenerous);
        QCOMPARE(received(data, n), (Bytes{0x01, 0xff, 0x00, 0x00}));
    }

    void truncatedReadReturnsFullLength()
    {
        FakeHidraw fake(bed, DeviceConfig{});
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        fake.injectInput(sequence(64, 1));

        unsigned char data[16];
        memset(data, 0xee, sizeof data);
        QCOMPARE(hid_read_timeout(dev.get(), data, 8, kGenerous), 65);
        QCOMPARE(received(data, 8), withId(0, sequence(7, 1)));
        QCOMPARE(received(data + 8, 8), Bytes(8, 0xee)); // nothing past `length`
    }

    void timeoutsLoseNothing()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        unsigned char data[64];

        QCOMPARE(hid_read_timeout(dev.get(), data, sizeof data, 0), 0);
        QCOMPARE(hid_read_timeout(dev.get(), data, sizeof data, 10), 0);
        QVERIFY(hid_error(dev.get()) == nullptr); // a timeout is not a failure

        for (uint8_t i = 0; i < 20; ++i)
            fake.injectInput({0x01, i, 0, 0});
        for (uint8_t i = 0; i < 20; ++i) {
            const int n = hid_read_timeout(dev.get(), data, sizeof data, kGenerous);
            QCOMPARE(n, 4);
            QCOMPARE(data[1], i);
        }
        QCOMPARE(hid_read_timeout(dev.get(), data, sizeof data, 0), 0);
    }

    void waitingReadWakesForReport()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        unsigned char data[64] = {};
        std::atomic<int> result{-2};
        std::thread reader([&] { result = hid_read_timeout(dev.get(), data, sizeof data, kForever); });
        fake.injectInput({0x01, 0x02, 0x03, 0x04});
        reader.join();
        QCOMPARE(result.load(), 4);
        QCOMPARE(data[3], 0x04);
    }

    void blockingAndNonBlockingRead()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        unsigned char data[64];
        QCOMPARE(hid_set_nonblocking(dev.get(), 1), 0);
        QCOMPARE(hid_read(dev.get(), data, sizeof data), 0);
        QCOMPARE(hid_set_nonblocking(dev.get(), 0), 0);
        std::thread injector([&] { fake.injectInput({0x01, 0x09, 0, 0}); });
        QCOMPARE(hid_read(dev.get(), data, sizeof data), 4);
        injector.join();
        QCOMPARE(data[1], 0x09);
    }

    // Each collection of a multi-collection device reads only its own reports; the others'
    // are consumed and dropped.
    void readsAreScopedToTheCollection()
    {
        FakeHidraw fake(bed, twoCollections());
        Handle joystick = open(fake.devnode + "&col01");
        QVERIFY(joystick);
        fake.injectInput({0x02, 1, 2, 3, 4, 5, 6, 7, 8});
        fake.injectInput({0x01, 0x03, 0x10});
        unsigned char data[64] = {};
        QCOMPARE(received(data, hid_read_timeout(joystick.get(), data, sizeof data, kGenerous)),
                 (Bytes{0x01, 0x03, 0x10}));
        joystick.reset();

        Handle vendor = open(fake.devnode + "&col02");
        QVERIFY(vendor);
        fake.injectInput({0x01, 0x03, 0x10});
        fake.injectInput({0x02, 1, 2, 3, 4, 5, 6, 7, 8});
        fake.injectInput({0x01, 0x04, 0x11});
        QCOMPARE(received(data, hid_read_timeout(vendor.get(), data, sizeof data, kGenerous)),
                 (Bytes{0x02, 1, 2, 3, 4, 5, 6, 7, 8}));
        QCOMPARE(hid_read_timeout(vendor.get(), data, sizeof data, 100), 0);
    }

    void vanishedDeviceFails()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        unsigned char data[64];
        std::atomic<int> result{-2};
        std::thread reader([&] { result = hid_read_timeout(dev.get(), data, sizeof data, kForever); });
        fake.unplug();
        reader.join();
        QCOMPARE(result.load(), -1);
        QVERIFY(!text(hid_error(dev.get())).isEmpty());

        QCOMPARE(hid_read_timeout(dev.get(), data, sizeof data, 0), -1);
        const unsigned char command[54] = {0x02};
        QCOMPARE(hid_send_feature_report(dev.get(), command, sizeof command), -1);
        wchar_t product[HID_STRING_MAX_CHARS];
        QCOMPARE(hid_get_product_string(dev.get(), product, HID_STRING_MAX_CHARS), -1);
    }

    void featureReportRoundTrip()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        const Bytes command = withId(0x02, sequence(53, 0x80));
        QCOMPARE(hid_send_feature_report(dev.get(), command.data(), command.size()), 54);
        QCOMPARE(fake.featuresSet(), std::vector<Bytes>{command});

        const Bytes answer = withId(0x02, sequence(53, 0x10));
        fake.setFeatureReport(0x02, answer);
        unsigned char data[54] = {0x02};
        QCOMPARE(hid_get_feature_report(dev.get(), data, sizeof data), 54);
        QCOMPARE(received(data, sizeof data), answer);
    }

    // A controller told to enter its bootloader accepts the report and then leaves the bus.
    void deviceLeavesAfterAFeatureReport()
    {
        FakeHidraw fake(bed, joystick());
        fake.onSetFeature = [&fake](const Bytes &) { fake.unplug(); };
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        const Bytes command = withId(0x02, Bytes(53, 0));
        QCOMPARE(hid_send_feature_report(dev.get(), command.data(), command.size()), 54);
        unsigned char data[64];
        QCOMPARE(hid_read_timeout(dev.get(), data, sizeof data, kForever), -1);
        QVERIFY(hid_enumerate(fake.config().vid, fake.config().pid) == nullptr);
    }

    void featureReportFailures()
    {
        FakeHidraw fake(bed, joystick());
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        unsigned char data[54] = {0x02};

        fake.failFeatureSets(EPIPE);
        QCOMPARE(hid_send_feature_report(dev.get(), data, sizeof data), -1);
        QCOMPARE(text(hid_error(dev.get())), errnoText(EPIPE));
        data[0] = 0x07; // a report the device does not answer
        QCOMPARE(hid_get_feature_report(dev.get(), data, sizeof data), -1);

        // Lengths the request cannot carry never reach the device.
        fake.failFeatureSets(0);
        std::vector<unsigned char> huge(1 << 14, 0x02);
        QCOMPARE(hid_send_feature_report(dev.get(), huge.data(), huge.size()), -1);
        QCOMPARE(hid_send_feature_report(dev.get(), data, 0), -1);
        QCOMPARE(hid_send_feature_report(dev.get(), nullptr, 54), -1);
        QCOMPARE(hid_get_feature_report(dev.get(), huge.data(), huge.size()), -1);
        QVERIFY(fake.featuresSet().empty());
    }

    void shortWritesArePaddedToOutputLength()
    {
        FakeHidraw fake(bed, DeviceConfig{});
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        const unsigned char shortReport[3] = {0x00, 0xaa, 0xbb};
        QCOMPARE(hid_write(dev.get(), shortReport, sizeof shortReport), 65);
        const Bytes longReport = withId(0, sequence(69, 1));
        QCOMPARE(hid_write(dev.get(), longReport.data(), longReport.size()), 70);

        QVERIFY(fake.waitForWrites(2, kGenerous));
        Bytes padded(65, 0);
        padded[1] = 0xaa;
        padded[2] = 0xbb;
        QCOMPARE(fake.writes(), (std::vector<Bytes>{padded, longReport}));
        QCOMPARE(hid_write(dev.get(), nullptr, 3), -1);
    }

    void writesOfACollectionUseItsOutputLength()
    {
        FakeHidraw fake(bed, twoCollections());
        Handle dev = open(fake.devnode + "&col02");
        QVERIFY(dev);
        const unsigned char report[2] = {0x03, 0x42};
        QCOMPARE(hid_write(dev.get(), report, sizeof report), 5);
        QVERIFY(fake.waitForWrites(1, kGenerous));
        QCOMPARE(fake.writes()[0], (Bytes{0x03, 0x42, 0, 0, 0}));
    }

    void usbStrings()
    {
        DeviceConfig config;
        config.manufacturer = "Maker \xc3\xa9\xe2\x80\x93 \xf0\x9f\x8e\xae"; // é, en dash, U+1F3AE
        config.product = std::string(200, 'P');
        config.serial = "SN\xff"
                        "1"; // a stray byte
        FakeHidraw fake(bed, config);
        Handle dev = open(fake.devnode);
        QVERIFY(dev);

        wchar_t s[264];
        QCOMPARE(hid_get_manufacturer_string(dev.get(), s, 260), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(L"Maker \u00e9\u2013 \U0001F3AE")));
        QCOMPARE(wcslen(s), size_t(10)); // one wide character per code point
        QCOMPARE(hid_get_serial_number_string(dev.get(), s, 260), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(L"SN\uFFFD1")));

        // 125 wide characters with the terminator, whatever the caller offers...
        wmemset(s, L'#', 264);
        QCOMPARE(hid_get_product_string(dev.get(), s, 260), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(HID_STRING_MAX_CHARS - 1, L'P')));
        QCOMPARE(s[HID_STRING_MAX_CHARS], L'#');
        // ...and never more than it offers.
        wmemset(s, L'#', 264);
        QCOMPARE(hid_get_product_string(dev.get(), s, 10), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(9, L'P')));
        QCOMPARE(s[10], L'#');
        QCOMPARE(hid_get_product_string(dev.get(), s, 0), -1);

        QCOMPARE(hid_get_indexed_string(dev.get(), 1, s, 260), -1);
        QVERIFY(!text(hid_error(dev.get())).isEmpty());
    }

    void missingStringFails()
    {
        DeviceConfig config;
        config.serial.reset();
        FakeHidraw fake(bed, config);
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        wchar_t s[HID_STRING_MAX_CHARS];
        QCOMPARE(hid_get_serial_number_string(dev.get(), s, HID_STRING_MAX_CHARS), -1);
        QVERIFY(!text(hid_error(dev.get())).isEmpty());
        QCOMPARE(hid_get_product_string(dev.get(), s, HID_STRING_MAX_CHARS), 0);
    }

    // Devices on other buses have no USB strings: product and serial come from the HID device.
    void otherBusStrings()
    {
        DeviceConfig config;
        config.bus = fakehid::kBusBluetooth;
        config.hidName = "Wireless Pad";
        config.hidUniq = "12:34:56:78:9a:bc";
        FakeHidraw fake(bed, config);
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        wchar_t s[HID_STRING_MAX_CHARS];
        QCOMPARE(hid_get_product_string(dev.get(), s, HID_STRING_MAX_CHARS), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(L"Wireless Pad")));
        QCOMPARE(hid_get_serial_number_string(dev.get(), s, HID_STRING_MAX_CHARS), 0);
        QCOMPARE(text(s), QString::fromStdWString(std::wstring(L"12:34:56:78:9a:bc")));
        QCOMPARE(hid_get_manufacturer_string(dev.get(), s, HID_STRING_MAX_CHARS), -1);
    }

    // The monitor thread reads while the GUI thread sends feature reports on the same handle.
    void readsAndFeatureReportsAtOnce()
    {
        DeviceConfig config = joystick();
        FakeHidraw fake(bed, config);
        Handle dev = open(fake.devnode);
        QVERIFY(dev);
        constexpr int kReports = 200;

        std::vector<uint8_t> seen;
        std::thread reader([&] {
            unsigned char data[64];
            // Short waits, as the monitor's polls; gives up only if reports stop coming at all.
            for (int idle = 0; seen.size() < kReports && idle < 3000;) {
                const int n = hid_read_timeout(dev.get(), data, sizeof data, 10);
                if (n < 0)
                    return;
                idle = n == 0 ? idle + 1 : 0;
                if (n > 0)
                    seen.push_back(data[1]);
            }
        });
        std::vector<Bytes> sent;
        for (int i = 0; i < kReports; ++i) {
            fake.injectInput({0x01, static_cast<uint8_t>(i), 0, 0});
            Bytes block = withId(0x02, Bytes(53, static_cast<uint8_t>(i)));
            QCOMPARE(hid_send_feature_report(dev.get(), block.data(), block.size()), 54);
            sent.push_back(block);
        }
        reader.join();
        QCOMPARE(fake.featuresSet(), sent);
        QCOMPARE(seen.size(), size_t(kReports));
        for (int i = 0; i < kReports; ++i)
            QCOMPARE(seen[i], static_cast<uint8_t>(i));
    }

    // The fixture itself: a fake destroyed while umockdev's worker thread is inside one of its
    // handlers. The destructor must wait for that call: a handler that goes on after it works on a
    // dead object (and on whatever the stack holds next).
    void fakeOutlivesItsHandlersCalls()
    {
        std::atomic<bool> inHandler{false}, destroyed{false}, handlerOutlivedFake{false};
        DeviceConfig config = joystick();
        config.featureSetFilter = [&](const Bytes &) {
            inHandler = true;
            // Long enough for a destructor that does not wait to return first.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (!destroyed && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            handlerOutlivedFake = destroyed.load();
            return 0;
        };
        std::jthread sender;
        {
            FakeHidraw fake(bed, config);
            Handle dev = open(fake.devnode);
            QVERIFY(dev);
            sender = std::jthread([dev = std::move(dev)] {
                const Bytes block = withId(0x02, Bytes(53, 0x5A));
                hid_send_feature_report(dev.get(), block.data(), block.size());
            });
            QTRY_VERIFY2_WITH_TIMEOUT(inHandler, "the feature report to reach the fake's handler", kGenerous);
        }
        destroyed = true;
        sender.join();
        QVERIFY2(!handlerOutlivedFake, "the fake was destroyed while its handler ran");
    }

    void nullHandleFailsEverywhere()
    {
        unsigned char data[8] = {};
        wchar_t s[8];
        QCOMPARE(hid_read_timeout(nullptr, data, sizeof data, 0), -1);
        QCOMPARE(hid_read(nullptr, data, sizeof data), -1);
        QCOMPARE(hid_write(nullptr, data, sizeof data), -1);
        QCOMPARE(hid_send_feature_report(nullptr, data, sizeof data), -1);
        QCOMPARE(hid_get_feature_report(nullptr, data, sizeof data), -1);
        QCOMPARE(hid_set_nonblocking(nullptr, 1), -1);
        QCOMPARE(hid_get_product_string(nullptr, s, 8), -1);
        QCOMPARE(hid_get_indexed_string(nullptr, 1, s, 8), -1);
    }
};

FAKE_HIDRAW_TEST_MAIN(TestHidIo)
#include "tst_hid_io.moc"

// Enumeration and opening: which collections are listed, with what, and which paths open.
#include "descriptor/descriptor.h"
#include "helpers.h"
#include "hidtest.h"
#include "test_descriptors.h"

#include <QTemporaryFile>

#include <vector>

using namespace hidtest;
using fakehid::DeviceConfig;
using fakehid::FakeHidraw;

namespace {

struct Record {
    std::string path;
    int vendor, product, release, usagePage, usage, interfaceNumber;
};

std::vector<Record> enumerate(unsigned short vendor, unsigned short product)
{
    std::vector<Record> records;
    List list(hid_enumerate(vendor, product));
    for (hid_device_info *r = list.get(); r; r = r->next) {
        // Device strings are read from the opened device, never carried in records.
        if (r->serial_number || r->manufacturer_string || r->product_string)
            qFatal("enumeration record of %s carries a text", r->path);
        records.push_back({r->path, r->vendor_id, r->product_id, r->release_number, r->usage_page, r->usage,
                           r->interface_number});
    }
    return records;
}

QStringList paths(const std::vector<Record> &records)
{
    QStringList out;
    for (const Record &r : records)
        out.push_back(QString::fromStdString(r.path));
    out.sort(); // the order of nodes is the system's
    return out;
}

QStringList nodes(std::initializer_list<const FakeHidraw *> fakes)
{
    QStringList out;
    for (const FakeHidraw *f : fakes)
        out.push_back(QString::fromStdString(f->devnode));
    out.sort();
    return out;
}

DeviceConfig device(uint16_t vid, uint16_t pid)
{
    DeviceConfig config;
    config.vid = vid;
    config.pid = pid;
    return config;
}

} // namespace

class TestHidEnumerate : public QObject {
    Q_OBJECT

    fakehid::Testbed bed;

private slots:
    void filtersByVendorAndProduct()
    {
        FakeHidraw a(bed, device(0x1209, 0x0001));
        FakeHidraw b(bed, device(0x1209, 0x0002));
        FakeHidraw c(bed, device(0x16c0, 0x05df));

        QCOMPARE(paths(enumerate(0, 0)), nodes({&a, &b, &c}));
        QCOMPARE(paths(enumerate(0x1209, 0)), nodes({&a, &b}));
        QCOMPARE(paths(enumerate(0x1209, 0x0002)), nodes({&b}));
        QCOMPARE(paths(enumerate(0, 0x05df)), nodes({&c}));
        QCOMPARE(paths(enumerate(0x16c0, 0x0001)), QStringList());
        QVERIFY(hid_enumerate(0x1234, 0) == nullptr);
    }

    void recordOfUsbDevice()
    {
        DeviceConfig config = device(0x16c0, 0x27dc);
        config.bcdDevice = 0x0213;
        config.interfaceNumber = 2;
        config.reportDescriptor = fakehid::descriptors::joystickWithIds;
        FakeHidraw fake(bed, config);

        const std::vector<Record> records = enumerate(0x16c0, 0x27dc);
        QCOMPARE(records.size(), size_t(1));
        const Record &r = records[0];
        QCOMPARE(r.path, fake.devnode);
        QCOMPARE(r.vendor, 0x16c0);
        QCOMPARE(r.product, 0x27dc);
        QCOMPARE(r.release, 0x0213);
        QCOMPARE(r.usagePage, 0x01);
        QCOMPARE(r.usage, 0x04);
        QCOMPARE(r.interfaceNumber, 2);
    }

    void recordOfBluetoothDeviceHasNoInterfaceOrRelease()
    {
        DeviceConfig config = device(0x1209, 0x0003);
        config.bus = fakehid::kBusBluetooth;
        FakeHidraw fake(bed, config);

        const std::vector<Record> records = enumerate(0x1209, 0x0003);
        QCOMPARE(records.size(), size_t(1));
        QCOMPARE(records[0].interfaceNumber, -1);
        QCOMPARE(records[0].release, 0);
        QCOMPARE(records[0].usagePage, 0xff00);
    }

    void oneRecordPerCollection()
    {
        DeviceConfig config = device(0x1209, 0x0004);
        config.reportDescriptor = fakehid::descriptors::twoCollections;
        FakeHidraw fake(bed, config);

        const uint64_t parsesBefore = hidparse::parseCount();
        const std::vector<Record> records = enumerate(0x1209, 0x0004);
        // One parse of the descriptor, however many collections it has: enumeration runs at every
        // scan, and a descriptor of 255 collections parsed once per collection costs 256 parses.
        QCOMPARE(hidparse::parseCount() - parsesBefore, uint64_t(1));
        QCOMPARE(records.size(), size_t(2));
        QCOMPARE(records[0].path, fake.devnode + "&col01");
        QCOMPARE(records[0].usagePage, 0x01);
        QCOMPARE(records[0].usage, 0x04);
        QCOMPARE(records[1].path, fake.devnode + "&col02");
        QCOMPARE(records[1].usagePage, 0xff00);
        QCOMPARE(records[1].usage, 0x01);
        for (const Record &r : records) {
            QCOMPARE(r.vendor, 0x1209);
            QCOMPARE(r.release, 0x0110);
            QCOMPARE(r.interfaceNumber, 0);
        }
    }

    void malformedDescriptorIsListedOnceAndDoesNotOpen()
    {
        DeviceConfig config = device(0x1209, 0x0005);
        config.reportDescriptor = fakehid::descriptors::truncated;
        FakeHidraw fake(bed, config);

        const std::vector<Record> records = enumerate(0x1209, 0x0005);
        QCOMPARE(records.size(), size_t(1));
        QCOMPARE(records[0].path, fake.devnode);
        QCOMPARE(records[0].usagePage, 0);
        QCOMPARE(records[0].usage, 0);

        QVERIFY(!open(fake.devnode));
        QVERIFY(!text(hid_error(nullptr)).isEmpty());
    }

    void opensBothPathForms()
    {
        FakeHidraw single(bed, device(0x1209, 0x0006));
        DeviceConfig config = device(0x1209, 0x0007);
        config.reportDescriptor = fakehid::descriptors::twoCollections;
        FakeHidraw multi(bed, config);

        for (const std::string &path : {single.devnode, single.devnode + "&col01", multi.devnode,
                                        multi.devnode + "&col01", multi.devnode + "&col02"}) {
            Handle dev = open(path);
            QVERIFY2(dev, path.c_str());
            QVERIFY(hid_error(nullptr) == nullptr); // a successful open leaves no open error
            QVERIFY(hid_error(dev.get()) == nullptr);
        }
    }

    void badPathsDoNotOpen_data()
    {
        QTest::addColumn<QString>("suffix"); // appended to the node of a two-collection device
        QTest::addColumn<QString>("path");   // used as it stands when not empty
        QTest::newRow("missing file") << QString() << "/nonexistent/hidraw0";
        QTest::newRow("character device that is not hidraw") << QString() << "/dev/null";
        QTest::newRow("regular file") << QString() << "<temporary file>";
        QTest::newRow("collection the device lacks") << "&col03" << QString();
        QTest::newRow("collection 0") << "&col00" << QString();
        QTest::newRow("one digit") << "&col1" << QString();
        QTest::newRow("not hex") << "&colzz" << QString();
        QTest::newRow("three digits") << "&col001" << QString();
    }

    void badPathsDoNotOpen()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, path);
        DeviceConfig config = device(0x1209, 0x0008);
        config.reportDescriptor = fakehid::descriptors::twoCollections;
        FakeHidraw fake(bed, config);
        QTemporaryFile file;
        QVERIFY(file.open());
        if (path == "<temporary file>")
            path = file.fileName();
        const std::string target = path.isEmpty() ? fake.devnode + suffix.toStdString() : path.toStdString();

        QVERIFY(open(fake.devnode)); // leaves no error text behind
        QVERIFY(!open(target));
        QVERIFY2(!text(hid_error(nullptr)).isEmpty(), target.c_str());
        QVERIFY(hid_open_path(nullptr) == nullptr);
    }

    void collectionOfSingleCollectionDeviceMustExist()
    {
        FakeHidraw fake(bed, device(0x1209, 0x0009));
        QVERIFY(!open(fake.devnode + "&col02"));
        QVERIFY(text(hid_error(nullptr)).contains("collection"));
    }

    void openBySerialNumber()
    {
        DeviceConfig first = device(0x1209, 0x000a), second = first;
        first.serial = "AAA";
        second.serial = "BBB";
        FakeHidraw a(bed, first), b(bed, second);

        Handle dev(hid_open(0x1209, 0x000a, L"BBB"));
        QVERIFY(dev);
        wchar_t serial[HID_STRING_MAX_CHARS];
        QCOMPARE(hid_get_serial_number_string(dev.get(), serial, HID_STRING_MAX_CHARS), 0);
        QCOMPARE(text(serial), QString("BBB"));
        QVERIFY(Handle(hid_open(0x1209, 0x000a, nullptr)));
        QVERIFY(!Handle(hid_open(0x1209, 0x000a, L"CCC")));
        QVERIFY(!text(hid_error(nullptr)).isEmpty());
    }

    // The backend's pure helpers, called directly.
    void collectionPathsAndUeventFields()
    {
        hidlinux::CollectionPath parsed;
        QVERIFY(hidlinux::parseCollectionPath("/dev/hidraw3&col0a", parsed));
        QCOMPARE(parsed.node, std::string("/dev/hidraw3"));
        QCOMPARE(parsed.collection, size_t(9));
        QVERIFY(parsed.named);
        QVERIFY(hidlinux::parseCollectionPath("/dev/hidraw3", parsed) && !parsed.named &&
                parsed.collection == 0);
        for (const char *bad :
             {"/dev/hidraw3&col00", "/dev/hidraw3&col1", "/dev/hidraw3&colzz", "/dev/hidraw3&col001"})
            QVERIFY2(!hidlinux::parseCollectionPath(bad, parsed), bad);
        QCOMPARE(hidlinux::collectionPath("/dev/hidraw3", 9, 10), std::string("/dev/hidraw3&col0a"));
        QCOMPARE(hidlinux::collectionPath("/dev/hidraw3", 0, 1), std::string("/dev/hidraw3"));

        const char *node = "/sys/devices/usb1/1-1/1-1:1.0/0003:16C0:05DF.0004/hidraw/hidraw0";
        QVERIFY(!hidlinux::pathRulesOut(node, 0x16c0, 0x05df));
        QVERIFY(hidlinux::pathRulesOut(node, 0x1209, 0));
        QVERIFY(hidlinux::pathRulesOut(node, 0x16c0, 0x27d9));
        // A field longer than an unsigned holds, or a path of another form, rules nothing out.
        QVERIFY(!hidlinux::pathRulesOut("/sys/0003:0000116C0:05DF.0004/hidraw/hidraw0", 0x1209, 0));
        QVERIFY(!hidlinux::pathRulesOut("/sys/class/hidraw0", 0x1209, 0));

        hidlinux::HidIdentity id;
        QVERIFY(hidlinux::parseHidId("0005:0000054C:000009CC", id));
        QVERIFY(id.bus == 5 && id.vendorId == 0x054c && id.productId == 0x09cc);
        QVERIFY(!hidlinux::parseHidId("0005:054C", id));
        QVERIFY(!hidlinux::parseHidId(nullptr, id));
        QCOMPARE(hidlinux::parseHexAttribute("0110", 0), 0x110L);
        QCOMPARE(hidlinux::parseHexAttribute("", -1), -1L);
        QCOMPARE(hidlinux::parseHexAttribute("zz", -1), -1L);
    }

    void utf8DecodingAndReportCompletion()
    {
        wchar_t out[4];
        // Stray continuation, overlong form, encoded surrogate, sequence cut short: one U+FFFD each.
        QCOMPARE(hidlinux::decodeUtf8("\x80", out, 4), size_t(1));
        QCOMPARE(int(out[0]), 0xfffd);
        QCOMPARE(hidlinux::decodeUtf8("\xc0\x80\xed\xa0\x80\xe2\x82", out, 4), size_t(3));
        QVERIFY(out[0] == 0xfffd && out[1] == 0xfffd && out[2] == 0xfffd && out[3] == 0);
        QCOMPARE(hidlinux::decodeUtf8("A\xc3\x84\xf0\x9f\x8e\xae!", out, 4), size_t(3));
        QVERIFY(out[0] == L'A' && out[1] == 0xc4 && out[2] == 0x1f3ae && out[3] == 0); // cut to fit

        hidlinux::CollectionScope noIds;
        noIds.inputReportLength = 4;
        uint8_t buffer[8] = {0xff, 7, 0xff, 0xff, 0xff};
        QCOMPARE(hidlinux::completeReport(noIds, buffer, 1), size_t(4)); // ID 0 first, zero-filled
        QVERIFY(buffer[0] == 0 && buffer[1] == 7 && buffer[2] == 0 && buffer[3] == 0);
        hidlinux::CollectionScope withIds;
        withIds.usesReportIds = true;
        withIds.reportIds.set(2);
        buffer[0] = 3;
        QCOMPARE(hidlinux::completeReport(withIds, buffer, 2), size_t(0)); // another collection's
        buffer[0] = 2;
        QCOMPARE(hidlinux::completeReport(withIds, buffer, 2), size_t(2));
    }

    void nullArgumentsDoNothing()
    {
        hid_free_enumeration(nullptr);
        hid_close(nullptr);
        QCOMPARE(hid_init(), 0);
        QCOMPARE(hid_exit(), 0);
    }
};

FAKE_HIDRAW_TEST_MAIN(TestHidEnumerate)
#include "tst_hid_enumerate.moc"

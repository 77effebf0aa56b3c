// Input decoding and the change signals plug-ins and the window rely on, and the string readers.
#include <QSignalSpy>
#include <QTest>

#include <clocale>
#include <memory>

#include "device/abstracthardware.h"
#include "device/inputdevice.h"
#include "messagelog.h"
#include "scriptedhid.h"
#include "tests/support/inputdevicetesting.h"

using namespace scripted;

namespace {

constexpr USAGE X = 0x30, Y = 0x31, Hat = 0x39;

struct Behaviour : AbstractHardware {
    uint8_t *area = nullptr;
    bool *destroyed = nullptr;
    std::vector<uint32_t> processed;
    ~Behaviour() override
    {
        if (destroyed)
            *destroyed = true;
    }
    void setBuffers(uint8_t *buffers) override
    {
        area = buffers;
        buffers[0] = 0xAA; // the device clears the area after this call
    }
    void processInput(uint8_t *, uint32_t bytes) override { processed.push_back(bytes); }
};

// Releases the report description, as the monitor does, before destroying the device.
struct ReleaseDevice {
    void operator()(InputDevice *device) const
    {
        hid_free_preparsed_data(device->handle(), device->preparsedData());
        delete device;
    }
};
using OpenedDevice = std::unique_ptr<InputDevice, ReleaseDevice>;

// Opens the scripted device at `path` into a new InputDevice and describes it, as discovery does.
OpenedDevice openDevice(const std::string &path, Behaviour *behaviour = new Behaviour)
{
    OpenedDevice device(new InputDevice(behaviour));
    device->attach(hid_open_path(path.c_str()), path.c_str());
    if (!device->describe())
        qFatal("the scripted device %s could not be described", path.c_str());
    return device;
}

// Reads the identity texts as discovery does; the enumeration record is of no interest here.
void readTexts(InputDevice &device)
{
    device.readIdentity(hid_device_info{}, QString());
}

// Every signal of the device, in emission order, as text.
class Recorder : public QObject {
public:
    explicit Recorder(InputDevice *device)
    {
        connect(device, &InputDevice::inputAllEvent, this, [this](bool *, int *) { events << "all"; });
        connect(device, &InputDevice::inputEvent, this,
                [this](uchar *, uint bytes) { events << QStringLiteral("input %1").arg(bytes); });
        connect(device, &InputDevice::buttonEvent, this, [this](uint index, bool value) {
            events << QStringLiteral("button %1 %2").arg(index).arg(value);
        });
        connect(device, &InputDevice::analogEvent, this, [this](uint index, int value, int usage) {
            events << QStringLiteral("analog %1 %2 0x%3").arg(index).arg(value).arg(usage, 0, 16);
        });
    }
    QStringList take() { return std::exchange(events, {}); }
    QStringList events;
};

} // namespace

class InputDeviceTest : public QObject {
    Q_OBJECT
private slots:
    void init() { reset(); }

    void constructionClearsAndDestructionReleases()
    {
        devices().push_back(joystick("/dev/hidraw1", {{1, X}}, 4));
        bool destroyed = false;
        auto *behaviour = new Behaviour;
        behaviour->destroyed = &destroyed;
        auto device = openDevice("/dev/hidraw1", behaviour);
        QCOMPARE(behaviour->area, InputDeviceTesting::hardwareArea(*device));
        QCOMPARE(InputDeviceTesting::hardwareArea(*device)[0], uint8_t(0));
        QCOMPARE(InputDeviceTesting::readTimeout(*device), 10);
        QVERIFY(!device->isActive());
        device.reset();
        QVERIFY(destroyed);
        QCOMPARE(byPath("/dev/hidraw1")->closes, 1);
    }

    void joystickSignalSequence()
    {
        devices().push_back(joystick("/dev/hidraw1", {{1, X}, {1, Y}, {1, Hat}}, 4));
        Device &script = devices().back();
        script.reads = {Read::data({0, 10, 0, 0, 0b0100}), // held at connection: button 3, X away from 0
                        Read::timeout(),
                        Read::data({0, 10, 5, 2, 0b0000}), // button 3 released, Y moves, hat 0 -> 2
                        Read::data({0, 10, 5, 6, 0b0000}), // hat 2 -> 6
                        Read::failure()};
        auto device = openDevice("/dev/hidraw1");
        Recorder recorder(device.get());

        QVERIFY(device->poll());
        QCOMPARE(recorder.take(), (QStringList{"input 5", "all", "button 3 1", "analog 0 10 0x30"}));
        QVERIFY(device->buttons()[3]);

        QVERIFY(device->poll());
        QCOMPARE(recorder.take(), QStringList{"all"});
        QVERIFY(device->buttons()[3]); // a timeout leaves the state as it was

        QVERIFY(device->poll());
        QCOMPARE(recorder.take(), (QStringList{"input 5", "all", "button 3 0", "analog 1 5 0x31",
                                               "button 132 1", "button 130 0"}));
        QVERIFY(device->poll());
        QCOMPARE(recorder.take(), (QStringList{"input 5", "all", "button 136 1", "button 132 0"}));

        QVERIFY(!device->poll());
        QVERIFY(recorder.take().isEmpty());
        QCOMPARE(device->analog()[2], 6); // a failed read changes nothing
        QCOMPARE(std::memcmp(InputDeviceTesting::lastAnalog(*device), device->analog(),
                             sizeof(int32_t) * InputDevice::AnalogCount),
                 0);
    }

    void gamepadRangesFillSlotsInUsageOrder()
    {
        Device pad = joystick("/dev/hidraw2", {}, 12);
        pad.usage = 5;
        for (USAGE usage = 0x30; usage <= 0x35; ++usage)
            pad.values.push_back({1, usage});
        pad.values.push_back({1, Hat});
        pad.valueCaps = {valueRange(1, 0x30, 0x35, 5), valueSingle(1, Hat)};
        pad.caps.NumberInputValueCaps = 2;
        pad.caps.InputReportByteLength = 1 + 7 + 2;
        pad.reads = {Read::data({0, 1, 2, 3, 4, 5, 6, 7, 0x01, 0x08})};
        devices().push_back(pad);
        auto device = openDevice("/dev/hidraw2");
        Behaviour *behaviour = static_cast<Behaviour *>(device->hardware());
        Recorder recorder(device.get());

        QVERIFY(device->poll());
        QCOMPARE(recorder.take(),
                 (QStringList{"input 10", "all", "button 1 1", "button 12 1", "analog 0 1 0x30",
                              "analog 1 2 0x31", "analog 2 3 0x32", "analog 3 4 0x33", "analog 4 5 0x34",
                              "analog 5 6 0x35", "button 137 1", "button 130 0"}));
        QCOMPARE(device->analogUsage()[6], int(Hat));
        QCOMPARE(behaviour->processed, std::vector<uint32_t>{10});
        QCOMPARE(device->inputData()[9], uint8_t(0x08));
    }

    void onlySixteenValueUsagesAreDecoded()
    {
        Device device = joystick("/dev/hidraw3", {}, 0);
        Bytes report{0};
        for (USAGE usage = 0x30; usage <= 0x50; ++usage) {
            device.values.push_back({1, usage});
            report.push_back(uint8_t(usage));
        }
        device.valueCaps = {valueRange(1, 0x30, 0x50, 32)};
        device.caps.NumberInputValueCaps = 1;
        device.caps.InputReportByteLength = USHORT(report.size());
        device.reads = {Read::data(report)};
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw3");
        QVERIFY(input->readInput());
        QCOMPARE(input->analog()[15], 0x3F);
        QCOMPARE(input->analogUsage()[15], 0x3F);
        QCOMPARE(input->analogUsage()[0], 0x30);
    }

    // Bounds the device must keep whatever the report description declares.
    void hostileDescriptionsStayInBounds()
    {
        Device device = joystick("/dev/hidraw4", {}, 0);
        device.buttonUsages = {127, 128, 200, 0xFFFF};
        device.buttonCaps = {buttonRange(9, 127, 0xFFFF, 0, 3)};
        device.caps.NumberInputButtonCaps = 1;
        device.caps.InputReportByteLength = 1024;
        Bytes report(1024, 0);
        report[1] = 0x0F;
        device.reads = {Read::data(report)};
        devices().push_back(device);
        // Reports longer than the buffer are read cut to it and left undecoded: the queries read a
        // report at its full declared length.
        device.path = "/dev/hidraw14";
        device.caps.InputReportByteLength = 2000;
        device.reads = {Read::data(Bytes(2000, 0x0F))};
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw4");
        auto cut = openDevice("/dev/hidraw14");
        QSignalSpy cutInputs(cut.get(), &InputDevice::inputEvent);

        QVERIFY(input->readInput());
        QVERIFY(input->buttons()[127]);
        QCOMPARE(std::count(input->buttons(), input->buttons() + InputDevice::ButtonCount, true), 1);
        QCOMPARE(std::count(InputDeviceTesting::lastButtons(*input),
                            InputDeviceTesting::lastButtons(*input) + InputDevice::ButtonCount, true),
                 0);
        const Device &script = *byPath("/dev/hidraw4");
        QCOMPARE(script.readLengths, std::vector<size_t>{1024});
        QCOMPARE(script.usageListCapacities, std::vector<ULONG>{128});

        QVERIFY(cut->readInput());
        QCOMPARE(std::count(cut->buttons(), cut->buttons() + InputDevice::ButtonCount, true), 0);
        const Device &cutScript = *byPath("/dev/hidraw14");
        QCOMPARE(cutScript.readLengths, std::vector<size_t>{1024});
        QVERIFY(cutScript.usageListCapacities.empty());
        QCOMPARE(cutInputs.at(0).at(1).toUInt(), 1024u); // never more than the buffer holds
    }

    void buttonsNeedARangeAsFirstCapability()
    {
        Device device = joystick("/dev/hidraw5", {}, 2);
        device.buttonCaps = {buttonSingle(9, 1), buttonSingle(9, 2)};
        device.caps.NumberInputButtonCaps = 2;
        device.reads = {Read::data({0, 0b11})};
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw5");
        QVERIFY(input->readInput());
        QVERIFY(!input->buttons()[1] && !input->buttons()[2]);
        QVERIFY(byPath("/dev/hidraw5")->usageListCapacities.empty());
    }

    void stringsAreUtf8WhateverTheLocale_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("accents") << QStringLiteral("Pédalier Ü")
                                 << QByteArray("P\xc3\xa9"
                                               "dalier \xc3\x9c");
        QTest::newRow("two-byte cut") << QString(200, QChar(0xE9)) << QString(129, QChar(0xE9)).toUtf8();
        QTest::newRow("three-byte cut") << QString(100, QChar(0x20AC)) << QString(86, QChar(0x20AC)).toUtf8();
        const QString controller = QString::fromUcs4(U"\U0001F3AE");
        QTest::newRow("four-byte cut") << controller.repeated(70) << controller.repeated(64).toUtf8();
    }

    void stringsAreUtf8WhateverTheLocale()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        std::setlocale(LC_ALL, "C");
        Device device = joystick("/dev/hidraw6", {}, 0);
        device.product = text.toStdWString();
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw6");
        readTexts(*input);
        QCOMPARE(QByteArray(input->product()), expected);
        QVERIFY(std::strlen(input->product()) < size_t(InputDevice::TextSize));
    }

    void invalidCodePointsBecomeReplacementCharacters()
    {
        Device device = joystick("/dev/hidraw7", {}, 0);
        device.serial = std::wstring{L'A', wchar_t(0xD800), wchar_t(0x110000), L'B'};
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw7");
        readTexts(*input);
        QCOMPARE(QString::fromUtf8(input->serial()), QStringLiteral("A\uFFFD\uFFFDB"));
    }

    void failedAndEmptyStringReads()
    {
        Device device = joystick("/dev/hidraw8", {}, 0);
        device.serial.reset();
        device.manufacturer.reset();
        device.product = L"";
        devices().push_back(device);
        auto input = openDevice("/dev/hidraw8");
        std::strcpy(InputDeviceTesting::product(*input), "kept");
        MessageLog log;
        readTexts(*input);
        QCOMPARE(log.lines(), (QStringList{"Error reading serial", "Error reading manufacturer"}));
        QCOMPARE(input->serial()[0], '\0');
        QCOMPARE(QByteArray(input->product()), QByteArray("kept"));
    }
};

QTEST_GUILESS_MAIN(InputDeviceTest)
#include "tst_inputdevice.moc"

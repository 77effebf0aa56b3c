// Input decoding on fake hidraw controllers: reports injected into the fake go through the real HID
// layer and parser, and the monitor's poll step turns them into the device's signals.
#include "hidrawtesting.h"

#include <QCoreApplication>

using namespace hidrawtest;

class InputDeviceHidrawTest : public QObject {
    Q_OBJECT
    fakehid::Testbed bed;

    Fake plug(DeviceConfig config) { return std::make_unique<FakeHidraw>(bed, std::move(config)); }

    // Injects one report and runs passes until the device has read it; returns the lines it caused.
    static QStringList feed(Monitor<FlashHardware> &monitor, Timeline &timeline, FakeHidraw &fake,
                            const Bytes &report)
    {
        const int before = timeline.reports;
        fake.injectInput(report);
        if (!monitor.passUntil([&] { return timeline.reports > before; }))
            return {"report never read"};
        return timeline.take();
    }

private slots:
    // device-01: X, Y, rudder and throttle in slots 0..3, the hat in slot 4, buttons 1..12.
    void joystickAxesHatAndButtons()
    {
        const Fake stick = plug(controller(0x1209, 0x0001, vectorDescriptor("device-01")));
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        QVERIFY(timeline.lastConnected());
        timeline.take();
        const auto report = [](const char *label) { return vectorReport("device-01", label); };

        QCOMPARE(feed(monitor, timeline, *stick, report("hat north (0)")),
                 (QStringList{"analog 0 127 0x30", "analog 1 127 0x31", "analog 2 127 0xba",
                              "analog 3 127 0xbb"}));
        QCOMPARE(feed(monitor, timeline, *stick, report("hat east (2)")),
                 (QStringList{"button 132 1", "button 130 0"}));
        QCOMPARE(feed(monitor, timeline, *stick, report("left stick (63, 127), buttons released")),
                 (QStringList{"analog 0 63 0x30", "button 145 1", "button 132 0"}));

        const Bytes button3 = hexBytes("01 3f 7f 7f 7f 04 f0");
        QCOMPARE(feed(monitor, timeline, *stick, button3), QStringList{"button 3 1"});
        QCOMPARE(feed(monitor, timeline, *stick, button3), QStringList{});
        QCOMPARE(feed(monitor, timeline, *stick, hexBytes("01 3f 7f 7f 7f 00 f0")),
                 QStringList{"button 3 0"});

        // A pass without a report changes nothing and still reports the whole state.
        const int polls = timeline.polls;
        monitor.pass();
        QCOMPARE(timeline.polls, polls + 1);
        QCOMPARE(timeline.take(), QStringList{});
        QCOMPARE(monitor.deviceCount(), 1);
    }

    // device-11, recorded from a gamepad: the hat in slot 0, buttons 1..14, a vendor array in slot 2.
    // A button held while the gamepad is discovered is reported by the first poll.
    void gamepadHeldAtDiscoveryThenPressed()
    {
        const Fake pad = plug(controller(0x1209, 0x0002, vectorDescriptor("device-11")));
        const auto report = [](const char *label) { return vectorReport("device-11", label); };
        pad->injectInput(report("SHARE pressed"));
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        QVERIFY(monitor.passUntil([&] { return timeline.lines().contains("button 9 1"); }));
        QCOMPARE(timeline.take().filter(QRegularExpression("^(button|analog) ")),
                 (QStringList{"button 9 1", "button 138 1", "button 130 0", "analog 2 8 0x21"}));

        QCOMPARE(feed(monitor, timeline, *pad, report("ORANGE CIRCLE pressed")),
                 (QStringList{"button 3 1", "button 9 0"}));
        QCOMPARE(feed(monitor, timeline, *pad, report("UP ARROW pressed")),
                 (QStringList{"button 3 0", "button 130 1", "button 138 0"}));
    }

    // What does not fit the device object is left out of the decode; the rest decodes as usual.
    void oversizedDevicesDecodeWithinTheirArrays()
    {
        const Fake values = plug(controller(0x1209, 0x0001, descriptors::twentyValueUsages, "V"));
        const Fake buttons = plug(controller(0x1209, 0x0002, descriptors::manyButtonCaps(), "B"));
        const Fake longReports = plug(controller(0x1209, 0x0003, descriptors::longReports, "L"));
        Timeline timeline;
        Monitor<FlashHardware> monitor;
        timeline.watch(&monitor);
        monitor.scanPass();
        QCOMPARE(monitor.deviceCount(), 3);
        timeline.take();

        Bytes report = {0x04}; // button 3, then the vendor values 1..20
        for (uint8_t v = 1; v <= 20; ++v)
            report.push_back(v);
        QStringList expected = {"button 3 1"};
        for (int slot = 0; slot < 16; ++slot)
            expected << QStringLiteral("analog %1 %2 0x%3").arg(slot).arg(slot + 1).arg(slot + 1, 0, 16);
        QCOMPARE(feed(monitor, timeline, *values, report), expected);

        Bytes bits(18, 0); // buttons 3, 127 and 130: only the first two have an entry
        for (int button : {3, 127, 130})
            bits[size_t(button - 1) / 8] |= uint8_t(1 << ((button - 1) % 8));
        QCOMPARE(feed(monitor, timeline, *buttons, bits), (QStringList{"button 3 1", "button 127 1"}));

        Bytes huge(1502, 0); // button 3 and, past the first 1024 bytes, X
        huge[0] = 0x04;
        huge[1501] = 0x40;
        QCOMPARE(feed(monitor, timeline, *longReports, huge), QStringList{});
        QCOMPARE(timeline.lastReportBytes.load(), 1024u);
        QCOMPARE(monitor.deviceCount(), 3);
    }
};

HIDRAW_TEST_MAIN(InputDeviceHidrawTest)
#include "tst_inputdevice_hidraw.moc"

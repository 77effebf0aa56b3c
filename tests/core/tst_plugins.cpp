// Hardware plug-ins: the table built from the folder `hardware`, the debug lines, binding devices
// to plug-in objects on the monitor thread, and the example plug-in against a running monitor.
#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include "device/inputdevice.h"
#include "device/pluginapi.h"
#include "messagelog.h"
#include "monitor/flashhardware.h"
#include "monitor/hardwareinterface.h"
#include "scriptedhid.h"
#include "tests/support/hardwaretesting.h"

using namespace scripted;

namespace {

const QString Suffix = QStringLiteral(TEST_PLUGIN_SUFFIX);

// A fresh working directory with an empty `hardware` folder for the length of a test case.
class PluginFolder {
public:
    PluginFolder() : m_previous(QDir::currentPath())
    {
        QDir(m_root.path()).mkdir(QStringLiteral("hardware"));
        QDir::setCurrent(m_root.path());
    }
    ~PluginFolder() { QDir::setCurrent(m_previous); }

    // As the monitor sees it: under the current directory, however the temporary path is spelt.
    static QString hardware() { return QDir::currentPath() + QStringLiteral("/hardware"); }
    QString root() const { return m_root.path(); }

    // Copies a library built by the suite into the folder under the given name; returns its path.
    static QString add(const QString &builtPath, const QString &name)
    {
        const QString target = hardware() + QLatin1Char('/') + name;
        if (!QFile::copy(builtPath, target))
            qFatal("cannot copy %s", qPrintable(builtPath));
        return target;
    }
    static QString add(const char *plugin, const QString &name) { return add(builtPlugin(plugin), name); }

    static QString builtPlugin(const char *plugin)
    {
        return QStringLiteral(TEST_PLUGIN_DIR "/") + QLatin1String(plugin) + Suffix;
    }

private:
    QString m_previous;
    QTemporaryDir m_root;
};

QFunctionPointer exportOf(const QString &libraryPath, const char *name)
{
    return QLibrary(libraryPath).resolve(name);
}

int pluginCounter(const QString &libraryPath, const char *counter)
{
    const auto read = reinterpret_cast<int (*)()>(exportOf(libraryPath, counter));
    return read != nullptr ? read() : -1;
}
int objectsCreated(const QString &libraryPath)
{
    return pluginCounter(libraryPath, "TestPluginCreated");
}
int objectsDestroyed(const QString &libraryPath)
{
    return pluginCounter(libraryPath, "TestPluginDestroyed");
}

QStringList pluginLines(const MessageLog &log)
{
    QStringList lines;
    for (const QString &line : log.lines()) {
        if (!line.startsWith(QLatin1String("Device: ")) && line != QLatin1String("Stopping polling"))
            lines << line;
    }
    return lines;
}

QString activated(const QString &identifier, const QString &fileName)
{
    return QStringLiteral("Hardware Plugin activated: ") + identifier + QLatin1Char(' ') + fileName;
}

// A monitor whose passes the test runs by hand, and which notes the thread loadPlugins ran on.
class PluginMonitor : public HardwareInterface {
public:
    std::atomic<QThread *> loadedOn{nullptr};
    void loadPlugins() override
    {
        loadedOn = QThread::currentThread();
        HardwareInterface::loadPlugins();
    }
    void pass() { runPass(); }
};

// Asks the behaviour object of the device at `path` while holding the registry lock, as any thread
// other than the monitor's must. -1 when the device is not registered.
int32_t askDevice(HardwareInterface &monitor, const QString &path,
                  const std::function<int32_t(AbstractHardware &)> &question)
{
    QMutexLocker locker(&monitor.registryLock());
    InputDevice *device = monitor.findDeviceAt(path);
    return device != nullptr ? question(*device->hardware()) : -1;
}

int32_t reportsSeen(HardwareInterface &monitor, const QString &path)
{
    return askDevice(monitor, path, [](AbstractHardware &hardware) { return hardware.queryB(); });
}

int32_t tagOf(HardwareInterface &monitor, const QString &path)
{
    return askDevice(monitor, path, [](AbstractHardware &hardware) { return hardware.queryA(); });
}

constexpr int32_t DefaultObjectTag = 50; // what the default object's queryA answers

} // namespace

class PluginsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { reset(); }

    void identifierBlocks_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QStringList>("identifiers");
        QTest::newRow("two keys, third slot empty")
            << "plugin_two_keys" << QStringList{"0x0001-0x0002", "0x0001-0x0003"};
        QTest::newRow("all five slots") << "plugin_five_keys"
                                        << QStringList{"0x0005-0x0001", "0x0005-0x0002", "0x0005-0x0003",
                                                       "0x0005-0x0004", "0x0005-0x0005"};
        // Each slot is cut at its 14 bytes: not joined with the next, nothing past 70 bytes read.
        QTest::newRow("no terminators") << "plugin_unterminated"
                                        << QStringList{"0x0001-0x00020", "0x0001-0x00021", "0x0001-0x00022",
                                                       "0x0001-0x00023", "0x0001-0x00024"};
        QTest::newRow("garbage") << "plugin_garbage" << QStringList{"ab", QString::fromUtf8("\xff\xfex")};
        QTest::newRow("first slot empty") << "plugin_empty_first_slot" << QStringList{};
        QTest::newRow("upper case kept as declared") << "plugin_upper_case" << QStringList{"0x00AB-0x0001"};
    }
    void identifierBlocks()
    {
        QFETCH(QString, plugin);
        QFETCH(QStringList, identifiers);
        PluginFolder folder;
        const QString fileName = "lib" + Suffix;
        const QString path = folder.add(qPrintable(plugin), fileName);
        PluginMonitor monitor;
        MessageLog log;
        monitor.loadPlugins();

        QStringList expectedLines;
        for (const QString &identifier : identifiers)
            expectedLines << activated(identifier, fileName);
        QCOMPARE(pluginLines(log), expectedLines);
        QStringList sorted = identifiers;
        sorted.sort();
        QCOMPARE(monitor.pluginIdentifiers(), sorted);
        const auto creator = reinterpret_cast<CreatePluginFunction>(exportOf(path, "CreatePluginPointer"));
        QVERIFY(creator != nullptr);
        for (const QString &identifier : monitor.pluginIdentifiers())
            QVERIFY(monitor.pluginCreator(identifier) == creator);
    }

    void laterLibraryInListingOrderOwnsASharedKey()
    {
        PluginFolder folder;
        // Listed a.so before B.so: the listing ignores case.
        folder.add("plugin_shared_key_2", "B" + Suffix);
        folder.add("plugin_shared_key_1", "a" + Suffix);
        const QString second = PluginFolder::hardware() + "/B" + Suffix;
        PluginMonitor monitor;
        MessageLog log;
        monitor.loadPlugins();
        QCOMPARE(pluginLines(log), (QStringList{activated("0x0007-0x0007", "a" + Suffix),
                                                activated("0x0007-0x0007", "B" + Suffix)}));
        QCOMPARE(monitor.pluginIdentifiers().size(), 1);
        QVERIFY(monitor.pluginCreator("0x0007-0x0007") ==
                reinterpret_cast<CreatePluginFunction>(exportOf(second, "CreatePluginPointer")));
    }

    void onlyLibraryFilesOfTheFolderAreConsidered()
    {
        PluginFolder folder;
        QDir(PluginFolder::hardware()).mkdir("x" + Suffix);
        const QString outside = folder.root() + "/outside" + Suffix;
        QVERIFY(QFile::copy(PluginFolder::builtPlugin("plugin_two_keys"), outside));
        QVERIFY(QFile::link(outside, PluginFolder::hardware() + "/link" + Suffix));
        folder.add("plugin_two_keys", "notes.txt");
        folder.add("plugin_shared_key_1", "X" + Suffix.toUpper());

        PluginMonitor monitor;
        MessageLog log;
        monitor.loadPlugins();
        QCOMPARE(pluginLines(log), QStringList{activated("0x0007-0x0007", "X" + Suffix.toUpper())});
        QCOMPARE(monitor.pluginIdentifiers(), QStringList{"0x0007-0x0007"});
    }

    void brokenLibrariesAreReportedAndSkipped()
    {
        PluginFolder folder;
        {
            QFile text(PluginFolder::hardware() + "/bad" + Suffix);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write("not a library\n");
        }
        folder.add("plugin_device", "good" + Suffix);
        const QString half = folder.add("plugin_without_creator", "half" + Suffix);
        folder.add("plugin_needs_missing_function", "needy" + Suffix);

        PluginMonitor monitor;
        MessageLog log;
        monitor.bindPlugins(); // with no device registered it only builds the table
        const QStringList lines = pluginLines(log);
        QCOMPARE(lines.size(), 4);
        const QString error = QStringLiteral("Error loading as hardware plugin: ");
        QVERIFY2(lines[0].startsWith(error) && lines[0].contains("/bad" + Suffix), qPrintable(lines[0]));
        QCOMPARE(lines[1], activated("0x1209-0x0001", "good" + Suffix));
        QCOMPARE(lines[2], error + half);
        // A library needing a function the program lacks fails to load instead of failing later.
        QVERIFY2(lines[3].startsWith(error) && lines[3].contains("flasherTestFunctionNoProgramHas"),
                 qPrintable(lines[3]));
        QCOMPARE(monitor.pluginIdentifiers(), QStringList{"0x1209-0x0001"});

        // The table is rebuilt from the folder each time: a removed library's keys disappear.
        QVERIFY(QFile::remove(PluginFolder::hardware() + "/good" + Suffix));
        monitor.loadPlugins();
        QVERIFY(monitor.pluginIdentifiers().isEmpty());
    }

    void missingFolderGivesAnEmptyTable()
    {
        PluginFolder folder;
        QVERIFY(QDir(PluginFolder::hardware()).removeRecursively());
        PluginMonitor monitor;
        HardwareInterfaceTesting::plugins(monitor).insert("stale", nullptr);
        MessageLog log;
        monitor.bindPlugins();
        QVERIFY(monitor.pluginIdentifiers().isEmpty());
        QVERIFY(pluginLines(log).isEmpty());
    }

    void boundObjectReceivesReportsAndDiesOnceWithTheDevice()
    {
        PluginFolder folder;
        const QString library = folder.add("plugin_device", "device" + Suffix);
        devices().push_back(joystick("/dev/hidraw1", {{1, 0x30}}, 4));
        // Nothing for the acceptance read and the first poll; then one report.
        devices().back().reads = {Read::timeout(), Read::timeout(), Read::data({0, 40, 0b1})};
        {
            PluginMonitor monitor;
            monitor.pass(); // registers the device with its default object
            QCOMPARE(tagOf(monitor, "/dev/hidraw1"), DefaultObjectTag);

            monitor.bindPlugins();
            QCOMPARE(tagOf(monitor, "/dev/hidraw1"), 7);
            AbstractHardware &bound = *monitor.findDeviceAt("/dev/hidraw1")->hardware();
            QCOMPARE(bound.queryC(), 0x0102); // created for the device's release number
            QCOMPARE(bound.queryF(), 0);      // no setBuffers or deviceAccepted on a bound object

            monitor.pass();
            QCOMPARE(bound.queryB(), 1);
            QCOMPARE(bound.queryD(), 40); // the report itself, report-ID byte first
            QCOMPARE(bound.queryE(), 3);

            monitor.bindPlugins(); // a second binding replaces the first object
            QCOMPARE(objectsCreated(library), 2);
            QCOMPARE(objectsDestroyed(library), 1);

            devices().back().failEveryRead = true; // unplugged
            monitor.pass();
            QVERIFY((monitor.deviceCount() == 0));
            QCOMPARE(objectsDestroyed(library), 2);
        }
        QCOMPARE(objectsDestroyed(library), 2);
    }

    void deviceKeepsItsObjectWhenNoPluginServesIt()
    {
        PluginFolder folder;
        const QString upper = folder.add("plugin_upper_case", "upper" + Suffix);
        folder.add("plugin_device_creates_nothing", "nothing" + Suffix);
        devices().push_back(joystick("/dev/hidraw1", {}, 4)); // 0x1209-0x0001
        devices().push_back(joystick("/dev/hidraw2", {}, 4));
        devices().back().vendorId = 0x00ab;
        devices().back().productId = 0x0001;

        PluginMonitor monitor;
        monitor.pass();
        QCOMPARE(monitor.deviceCount(), 2);
        MessageLog log;
        monitor.bindPlugins();
        QVERIFY(pluginLines(log).contains("Hardware plugin created no object for 0x1209-0x0001"));
        QCOMPARE(tagOf(monitor, "/dev/hidraw1"), DefaultObjectTag);
        QCOMPARE(tagOf(monitor, "/dev/hidraw2"), DefaultObjectTag); // an upper-case key never matches
        QCOMPARE(objectsCreated(upper), 0);
    }

    void bindingHandedToTheRunningLoop()
    {
        PluginFolder folder;
        const QString library = folder.add("plugin_device", "device" + Suffix);
        devices().push_back(joystick("/dev/hidraw1", {{1, 0x30}}, 4));
        devices().back().steadyReports = {{0, 1, 0}, {0, 2, 0}};

        PluginMonitor monitor;
        monitor.start();
        QTRY_COMPARE_WITH_TIMEOUT(tagOf(monitor, "/dev/hidraw1"), DefaultObjectTag, 30000);
        constexpr int bindings = 5;
        for (int i = 0; i < bindings; ++i) {
            monitor.bindPlugins();
            QCOMPARE(monitor.loadedOn.load(), &monitor);
            QCOMPARE(tagOf(monitor, "/dev/hidraw1"), 7); // done by the time the call returns
        }
        QTRY_VERIFY_WITH_TIMEOUT(reportsSeen(monitor, "/dev/hidraw1") > 0, 30000);
        monitor.stop();
        QVERIFY(monitor.wait(60000));
        QCOMPARE(objectsCreated(library), bindings);
        QCOMPARE(objectsDestroyed(library), bindings);

        // With the loop ended the call runs on the caller's thread and does not wait.
        monitor.bindPlugins();
        QCOMPARE(monitor.loadedOn.load(), QThread::currentThread());
    }

    void bindingBeforeTheLoopRunsOnTheCaller()
    {
        PluginFolder folder;
        PluginMonitor monitor;
        monitor.bindPlugins();
        QCOMPARE(monitor.loadedOn.load(), QThread::currentThread());
    }

    void examplePluginReceivesItsControllersReports()
    {
        PluginFolder folder;
        folder.add(QStringLiteral(EXAMPLE_PLUGIN_PATH), "example-plugin" + Suffix);
        devices().push_back(joystick("/dev/hidraw3", {{1, 0x30}}, 8));
        Device &controller = devices().back();
        controller.vendorId = 0x16c0;
        controller.productId = 0x05df;
        controller.releaseNumber = 0x0200;
        controller.steadyReports = {{0, 10, 0}, {0, 20, 1}};

        FlashHardware monitor;
        MessageLog log;
        monitor.start();
        QTRY_COMPARE_WITH_TIMEOUT(reportsSeen(monitor, "/dev/hidraw3"), 0, 30000); // registered
        monitor.bindPlugins();
        QVERIFY(log.lines().contains(activated("0x16c0-0x05df", "example-plugin" + Suffix)));
        QTRY_VERIFY_WITH_TIMEOUT(reportsSeen(monitor, "/dev/hidraw3") >= 3, 30000);
        // The plug-in counted the plugged controllers through the program's hid_enumerate.
        QCOMPARE(askDevice(monitor, "/dev/hidraw3", [](AbstractHardware &h) { return h.queryC(); }), 1);
        QCOMPARE(askDevice(monitor, "/dev/hidraw3", [](AbstractHardware &h) { return h.queryD(); }), 0x0200);
        monitor.stop();
        QVERIFY(monitor.wait(60000));
        QCOMPARE(listsFreed(), listsHandedOut());
    }
};

QTEST_GUILESS_MAIN(PluginsTest)
#include "tst_plugins.moc"

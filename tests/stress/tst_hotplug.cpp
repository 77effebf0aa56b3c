// Hot-plug stress on the real window, monitor and HID layer: simulated controllers appear and vanish
// at random on another thread while the window rebuilds its list, the selection moves, and firmware
// transfers run to controllers that complete, refuse a block or leave the bus halfway. Afterwards
// the process holds no more descriptors and (in a build without a sanitizer's allocator) no more
// heap than before.
//
// The choices come from a seeded generator; the seed is printed, and FLASHER_STRESS_SEED repeats it.
// The thread interleavings differ from run to run all the same.

#include <QByteArray>
#include <QComboBox>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "simulated_controller.h"
#include "windowdriver.h"
#include "windowtesting.h"

using namespace windowdriver;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HEAP_OF_SANITIZER 1 // the sanitizer's allocator, which mallinfo2() does not see
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HEAP_OF_SANITIZER 1
#endif
#endif

namespace {

// Plug and unplug events of all controllers together, at the least.
constexpr int kEvents = 500;
// Transfer rounds at the least: two of each outcome.
constexpr int kMinRounds = 6;
constexpr int kChurnSlots = 4;
constexpr int kMaxChurnPauseMs = 8;
// Heap the process may keep after the run beyond its baseline. It grows by about 200 KB over 500
// events, most likely Qt's caches and the entries umockdev keeps for every device the testbed ever
// had. A device object alone is about 19 KB, so a leak of one per plug shows many times over.
constexpr long kHeapToleranceBytes = 512 * 1024;

long heapInUse()
{
    return long(mallinfo2().uordblks);
}

unsigned seedFromEnvironment()
{
    if (const char *text = std::getenv("FLASHER_STRESS_SEED"); text != nullptr && *text != '\0')
        return unsigned(std::strtoul(text, nullptr, 10));
    return std::random_device{}();
}

// What one transfer's controller reported, in order.
struct TransferLog {
    std::mutex mx;
    std::vector<int> blocks; // the numbers of the blocks taken
    int failedBlock = 0;     // refused or vanished at
    int plugs = 1;           // the controller starts on the bus

    void record(const fakehid::ControllerEvent &event)
    {
        std::lock_guard<std::mutex> lock(mx);
        switch (event.kind) {
        case fakehid::ControllerEvent::Block:
            blocks.push_back(event.block);
            break;
        case fakehid::ControllerEvent::BlockRefused:
        case fakehid::ControllerEvent::Vanished:
            failedBlock = event.block;
            break;
        case fakehid::ControllerEvent::BootloaderUp:
        case fakehid::ControllerEvent::ApplicationUp:
            ++plugs;
            break;
        default:
            break;
        }
    }
};

} // namespace

class HotPlugStressTest : public QObject {
    Q_OBJECT
public:
    explicit HotPlugStressTest(fakehid::Testbed &bed) : m_bed(bed) {}

private slots:
    void initTestCase();
    void controllersComeAndGoDuringTransfers();

private:
    enum Outcome { Completes, RefusesBlock, Vanishes };
    // One controller through the whole job: listed, restarted into its bootloader, sent the file.
    void transferRound(MainWindow &window, BoxWatcher &boxes, int number, Outcome outcome, int failAt);
    // Runs the event loop until `done`, moving the selection now and then as a user clicking about.
    bool waitMovingSelection(MainWindow &window, const std::function<bool()> &done);
    bool select(MainWindow &window, const QString &entry, const QString &serial);

    fakehid::Testbed &m_bed;
    QTemporaryDir m_dir;
    QString m_file;
    QByteArray m_image;
    std::mt19937 m_random;
    int m_targetEvents = 0;
    int m_completed = 0, m_stopped = 0;
};

void HotPlugStressTest::initTestCase()
{
    const unsigned seed = seedFromEnvironment();
    qInfo("seed %u (FLASHER_STRESS_SEED=%u repeats the choices)", seed, seed);
    m_random.seed(seed);

    // 150 blocks and a padded last one: long enough for plugging and unplugging to happen during it.
    m_image.resize(64 * 150 + 23);
    QRandomGenerator generator(seed);
    for (char &byte : m_image)
        byte = char(generator.bounded(256));
    QVERIFY(m_dir.isValid());
    m_file = m_dir.filePath(QStringLiteral("stress.bin"));
    QFile out(m_file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(m_image), qint64(m_image.size()));
}

bool HotPlugStressTest::waitMovingSelection(MainWindow &window, const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > kDeviceTimeoutMs)
            return false;
        QComboBox *box = window.form->deviceBox;
        if (box->count() > 1 && m_random() % 8 == 0)
            box->setCurrentIndex(int(m_random() % unsigned(box->count())));
        QTest::qWait(5);
    }
    return true;
}

// Selects the entry and confirms that the window took that device: a device that vanished between
// the list's rebuild and the selection leaves the previous selection in place.
bool HotPlugStressTest::select(MainWindow &window, const QString &entry, const QString &serial)
{
    QComboBox *box = window.form->deviceBox;
    const int row = box->findText(entry);
    if (row < 0)
        return false;
    if (box->currentIndex() == row)
        box->setCurrentIndex(-1);
    box->setCurrentIndex(row);
    return QString::fromUtf8(window.selectedSerial) == serial && window.form->lbl_serial->text() == serial;
}

void HotPlugStressTest::transferRound(MainWindow &window, BoxWatcher &boxes, int number, Outcome outcome,
                                      int failAt)
{
    fakehid::SimulatedControllerConfig config;
    config.number = number;
    config.imageSize = size_t(m_image.size());
    config.restartDelay = std::chrono::milliseconds(50);
    config.rebootDelay = std::chrono::milliseconds(50);
    config.refuseBlock = outcome == RefusesBlock ? failAt : 0;
    config.vanishAtBlock = outcome == Vanishes ? failAt : 0;
    auto log = std::make_shared<TransferLog>();
    auto controller = std::make_unique<fakehid::SimulatedController>(
        m_bed, config, [log](const fakehid::ControllerEvent &event) { log->record(event); });
    const QString serial = QString::fromStdString(controller->serial());
    const QString application = QStringLiteral("Sim Flight Stick - ") + serial;
    const QString bootloader = QStringLiteral("Bootloader - ") + serial;

    QVERIFY2(waitMovingSelection(window, [&] { return select(window, application, serial); }),
             qPrintable(application + QStringLiteral(" was never listed")));
    click(buttonLabelled(window, QStringLiteral("1. Bootloader")));
    QCOMPARE(controller->bootloaderCommands(), 1);
    QVERIFY2(waitMovingSelection(window, [&] { return select(window, bootloader, serial); }),
             qPrintable(bootloader + QStringLiteral(" was never listed")));

    window.firmwareFile = m_file;
    const qsizetype boxesBefore = boxes.boxes.size();
    click(buttonLabelled(window, QStringLiteral("3. Flash firmware")));
    // The window shows one box for every transfer: finished, or failed with its reason.
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), boxesBefore + 1, kDeviceTimeoutMs);
    const bool finished = boxes.boxes.last().title == QStringLiteral("Firmware flash finished");
    QVERIFY(finished || boxes.boxes.last().text.startsWith(QStringLiteral("Firmware flash failed\n")));

    std::vector<int> blocks;
    int failedBlock;
    {
        std::lock_guard<std::mutex> lock(log->mx);
        blocks = log->blocks;
        failedBlock = log->failedBlock;
    }
    // Every block arrived once and in order, up to the end or to the one that failed.
    const int blockCount = int((m_image.size() + 63) / 64);
    const int expected = outcome == Completes ? blockCount : failAt - 1;
    QCOMPARE(int(blocks.size()), expected);
    for (int i = 0; i < expected; ++i)
        QCOMPARE(blocks[size_t(i)], i + 1);
    // The outcome is the test's own choice for the round; each branch asserts what it must give.
    if (outcome == Completes) {
        QVERIFY(finished);
        QCOMPARE(controller->completedImages(), 1);
        const fakehid::Bytes image = controller->lastImage();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.data()), qsizetype(image.size())), m_image);
        ++m_completed;
    } else {
        QVERIFY(!finished);
        QCOMPARE(failedBlock, failAt);
        QCOMPARE(controller->completedImages(), 0);
        ++m_stopped;
    }

    // Pulled at once or after the controller has had time to come back.
    if (m_random() % 2 == 0)
        QTest::qWait(150);
    controller.reset();
    std::lock_guard<std::mutex> lock(log->mx);
    m_targetEvents += 2 * log->plugs; // every appearance ends in a disappearance by now
}

void HotPlugStressTest::controllersComeAndGoDuringTransfers()
{
    MainWindow window;
    // Passes of 2 ms and a periodic scan every 40 ms rather than every 4 s, so that the list follows
    // the controllers closely even where an arrival event is missed; the thread is stopped while
    // the cadence changes.
    stopMonitor(window);
    window.monitor.setPollInterval(2);
    window.monitor.setScanPeriod(std::chrono::milliseconds(40));
    window.monitor.requestScan();
    // Arrival events stay on, so plugs during a transfer also reach the monitor as events that
    // wait while it waits for the registry.
    window.monitor.start();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxWatcher boxes;

    // One round first: whatever the code opens or allocates once for good is in the baseline.
    int round = 0;
    transferRound(window, boxes, 100 + round, Completes, 0);
    if (QTest::currentTestFailed())
        return;
    ++round;
    QTRY_COMPARE_WITH_TIMEOUT(window.form->deviceBox->count(), 0, kDeviceTimeoutMs);
    const long heapBefore = heapInUse();

    std::atomic<bool> stopChurn{false};
    std::atomic<int> churnPlugs{0}, churnUnplugs{0};
    const unsigned churnSeed = unsigned(m_random());
    std::thread churn([&, churnSeed] {
        std::mt19937 random(churnSeed);
        std::array<std::unique_ptr<fakehid::SimulatedController>, kChurnSlots> plugged;
        while (!stopChurn) {
            auto &slot = plugged[random() % kChurnSlots];
            if (slot) {
                slot.reset();
                ++churnUnplugs;
            } else {
                fakehid::SimulatedControllerConfig config;
                config.number = int(&slot - plugged.data()) + 1;
                config.inputInterval = std::chrono::milliseconds(1 + random() % 20);
                slot = std::make_unique<fakehid::SimulatedController>(m_bed, config);
                ++churnPlugs;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % (kMaxChurnPauseMs + 1)));
        }
        for (auto &slot : plugged) {
            if (slot) {
                slot.reset();
                ++churnUnplugs;
            }
        }
    });
    auto events = [&] { return churnPlugs + churnUnplugs + m_targetEvents; };

    const int blockCount = int((m_image.size() + 63) / 64);
    while (!QTest::currentTestFailed() && (round < kMinRounds || events() < kEvents)) {
        const auto outcome = Outcome(round % 3);
        const int failAt = 1 + int(m_random() % unsigned(blockCount));
        transferRound(window, boxes, 100 + round, outcome, failAt);
        ++round;
    }
    stopChurn = true;
    churn.join();
    if (QTest::currentTestFailed())
        return;

    qInfo("plug events %d, unplug events %d (churn %d/%d), transfers completed %d, stopped %d",
          churnPlugs + m_targetEvents / 2, churnUnplugs + m_targetEvents / 2, int(churnPlugs),
          int(churnUnplugs), m_completed, m_stopped);
    QVERIFY(events() >= kEvents);
    QCOMPARE(int(churnPlugs), int(churnUnplugs));

    QTRY_COMPARE_WITH_TIMEOUT(window.form->deviceBox->count(), 0, kDeviceTimeoutMs);
    // Every controller is gone: the monitor thread closes each handle when its read fails.
    QTRY_COMPARE_WITH_TIMEOUT(fakehid::descriptorsOnFakeNodes(), 0, kDeviceTimeoutMs);
#ifndef HEAP_OF_SANITIZER
    const long grown = heapInUse() - heapBefore;
    qInfo("heap in use: %ld bytes more than before the churn", grown);
    QVERIFY2(grown < kHeapToleranceBytes, qPrintable(QString::number(grown)));
#else
    Q_UNUSED(heapBefore); // the leak checker of the address-sanitizer build judges the heap at exit
#endif
}

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    fakehid::Testbed bed; // before anything looks at /sys or /dev
    QApplication app(argc, argv);
    // The flasher logs every block it sends; thousands of lines would use up the test log's
    // message limit before the counts are printed.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    HotPlugStressTest test(bed);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hotplug.moc"

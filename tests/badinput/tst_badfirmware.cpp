// Firmware transfers fed with bad input, on a fake bootloader through the real HID layer: files
// that are no firmware image, feature reports too short to carry one, and a bootloader that
// refuses the first block. Whatever is refused sends nothing to the device.
#include "firmwareimages.h"
#include "hidrawtesting.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace hidrawtest;

namespace {

using firmwareimages::expectedBlocks;
using firmwareimages::imageOf;

// A joystick with eight buttons and, unless `featureBytes` is 0, one vendor feature report of that
// many bytes without a report ID (FeatureReportByteLength featureBytes + 1).
Bytes bootloaderDescriptor(int featureBytes)
{
    Bytes d = hexBytes("05 01 09 04 a1 01 05 09 19 01 29 08 15 00 25 01 75 01 95 08 81 02");
    if (featureBytes > 0)
        d.insert(d.end(), {0x06, 0x00, 0xff, 0x09, 0x01, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95,
                           uint8_t(featureBytes), 0xb1, 0x02});
    d.push_back(0xc0);
    return d;
}

// Takes this thread's read access to a file away: mode 000, and for root (whom modes do not bind)
// the capabilities that override them dropped from the thread's effective set. Both come back on
// destruction. denied() is false when the process cannot do that to itself.
class ReadDenied {
public:
    explicit ReadDenied(const QString &file) : m_file(QFile::encodeName(file).toStdString())
    {
        if (chmod(m_file.c_str(), 0) != 0)
            return;
        m_chmodded = true;
        if (geteuid() != 0) {
            m_denied = true;
            return;
        }
        m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, m_saved, sizeof reduced);
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_capsDropped = syscall(SYS_capset, &m_header, reduced) == 0;
        m_denied = m_capsDropped;
    }
    ~ReadDenied()
    {
        if (m_capsDropped)
            syscall(SYS_capset, &m_header, m_saved);
        if (m_chmodded)
            chmod(m_file.c_str(), 0644);
    }
    ReadDenied(const ReadDenied &) = delete;
    ReadDenied &operator=(const ReadDenied &) = delete;

    bool denied() const { return m_denied; }

private:
    std::string m_file;
    bool m_chmodded = false, m_capsDropped = false, m_denied = false;
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
};

// Should the transfer ever open the FIFO and wait in its open or read, this writes an image's worth
// of bytes into it and closes it after a while, so that the case fails on the blocks it then sends
// instead of hanging. The system calls go to the kernel directly: umockdev's wrappers hold a lock
// (with signals blocked) while the transfer's open waits.
class FifoRescue {
public:
    explicit FifoRescue(const QString &fifo) : m_fifo(QFile::encodeName(fifo).toStdString())
    {
        m_thread = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_mx);
            if (m_cv.wait_for(lock, std::chrono::seconds(20), [this] { return m_done; }))
                return;
            const long fd = syscall(SYS_openat, AT_FDCWD, m_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                return; // nobody reads it
            const Bytes bytes = imageOf(100);
            syscall(SYS_write, fd, bytes.data(), bytes.size());
            syscall(SYS_close, fd);
        });
    }
    ~FifoRescue()
    {
        {
            std::lock_guard<std::mutex> lock(m_mx);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    FifoRescue(const FifoRescue &) = delete;
    FifoRescue &operator=(const FifoRescue &) = delete;

private:
    std::string m_fifo;
    std::mutex m_mx;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

QString quoted(const QString &file)
{
    return QLatin1Char('"') + file + QLatin1Char('"');
}

} // namespace

class BadFirmwareTest : public QObject {
    Q_OBJECT
    fakehid::Testbed bed;
    QTemporaryDir dir;

    Fake plugBootloader(int featureBytes = 64)
    {
        DeviceConfig config = controller(0x1209, 0x0100, bootloaderDescriptor(featureBytes), "BOOT");
        config.product = "Bootloader";
        return std::make_unique<FakeHidraw>(bed, std::move(config));
    }

    QString writeFile(const QString &name, const Bytes &bytes)
    {
        const QString file = dir.filePath(name);
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(reinterpret_cast<const char *>(bytes.data()),
                                                         qint64(bytes.size())) != qint64(bytes.size()))
            qFatal("cannot write %s", qPrintable(file));
        return file;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // Each of these is refused before anything reaches the device, with a line in the log that
    // names the file and what is wrong with it.
    void refusedFilesSendNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        const QString cannotOpen = QStringLiteral(" Can't open for reading");
        const QString notRegular = QStringLiteral(" is not a regular file");
        QTest::newRow("missing") << "missing" << cannotOpen;
        QTest::newRow("unreadable") << "unreadable" << cannotOpen;
        QTest::newRow("directory") << "directory" << notRegular;
        QTest::newRow("fifo") << "fifo" << notRegular;
        QTest::newRow("character device") << "character device" << notRegular;
        QTest::newRow("symbolic link to a fifo") << "link to fifo" << notRegular;
        QTest::newRow("larger than 4 GiB") << "huge" << QStringLiteral(" is too large for a firmware image");
    }

    void refusedFilesSendNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const Fake bootloader = plugBootloader();
        Monitor<HardwareInterface> monitor;
        monitor.scanPass();
        QVERIFY(registered(monitor, bootloader->devnode));
        QSignalSpy ticks(&monitor, &HardwareInterface::flashTick);

        QString file = dir.filePath(kind);
        std::unique_ptr<ReadDenied> denied;
        std::unique_ptr<FifoRescue> rescue;
        // The set-up of the row's kind of file; the branches follow the row, not an answer.
        if (kind == "unreadable") {
            writeFile(kind, imageOf(100));
            denied = std::make_unique<ReadDenied>(file);
            if (!denied->denied())
                QSKIP("this process cannot take its own read access to a file away");
        } else if (kind == "directory") {
            QVERIFY(QDir(dir.path()).mkpath(kind));
        } else if (kind == "fifo" || kind == "link to fifo") {
            const QString fifo = kind == "fifo" ? file : dir.filePath(QStringLiteral("link target"));
            QVERIFY(mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
            if (fifo != file)
                QVERIFY(QFile::link(fifo, file));
            rescue = std::make_unique<FifoRescue>(fifo);
        } else if (kind == "character device") {
            file = QStringLiteral("/dev/zero");
        } else if (kind == "huge") {
            QFile sparse(file);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize((qint64(1) << 32) + 1));
        }

        Timeline timeline;
        QVERIFY(!monitor.flashFirmware("BOOT", file));
        denied.reset();
        rescue.reset();
        QCOMPARE(timeline.lines().last(), quoted(file) + QLatin1Char(' ') + message);
        QVERIFY(bootloader->featuresSet().empty());
        QVERIFY(ticks.isEmpty());
        QVERIFY(bootloader->writes().empty());
    }

    // The sizes next to the block boundary that the unit suite leaves out (it sends an empty image
    // and one of exactly one block); every image byte arrives once, in order, the last block padded.
    void imagesNextToABlockBoundary_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("blocks");
        QTest::newRow("one byte") << 1 << 1;
        QTest::newRow("one byte past a block") << 65 << 2;
    }

    void imagesNextToABlockBoundary()
    {
        QFETCH(int, length);
        QFETCH(int, blocks);
        const Fake bootloader = plugBootloader();
        Monitor<HardwareInterface> monitor;
        monitor.scanPass();
        QSignalSpy ticks(&monitor, &HardwareInterface::flashTick);
        const Bytes image = imageOf(size_t(length));
        QVERIFY(monitor.flashFirmware("BOOT", writeFile(QStringLiteral("image-%1.bin").arg(length), image)));
        const std::vector<Bytes> sent = bootloader->featuresSet();
        QCOMPARE(sent.size(), size_t(blocks));
        QCOMPARE(sent, expectedBlocks(image, 65));
        QCOMPARE(ticks.last(), (QVariantList{uint(length), 100u}));
    }

    // A bootloader without a feature report cannot take blocks; the shortest usable report carries
    // one image byte after the report-ID byte. (A report of the report-ID byte alone is refused in
    // tst_firmware.)
    void featureReportLengths()
    {
        const Bytes image = imageOf(3);
        const QString file = writeFile(QStringLiteral("three.bin"), image);
        {
            const Fake none = plugBootloader(0);
            Monitor<HardwareInterface> monitor;
            monitor.scanPass();
            QCOMPARE(int(registered(monitor, none->devnode)->caps().FeatureReportByteLength), 0);
            Timeline timeline;
            QVERIFY(!monitor.flashFirmware("BOOT", file));
            QCOMPARE(timeline.lines().last(),
                     QStringLiteral("Feature report too short for firmware blocks: 0"));
            QVERIFY(none->featuresSet().empty());
        }
        const Fake smallest = plugBootloader(1);
        Monitor<HardwareInterface> monitor;
        monitor.scanPass();
        QCOMPARE(int(registered(monitor, smallest->devnode)->caps().FeatureReportByteLength), 2);
        QVERIFY(monitor.flashFirmware("BOOT", file));
        QCOMPARE(smallest->featuresSet(), (std::vector<Bytes>{{0, image[0]}, {0, image[1]}, {0, image[2]}}));
    }

    // A bootloader that refuses the very first block: the transfer fails at once, no block after it
    // is offered, and no progress is announced. A later attempt starts again from the first block.
    void bootloaderRefusingTheFirstBlock()
    {
        const Fake bootloader = plugBootloader();
        Monitor<HardwareInterface> monitor;
        monitor.scanPass();
        QSignalSpy ticks(&monitor, &HardwareInterface::flashTick);
        const Bytes image = imageOf(300);
        const QString file = writeFile(QStringLiteral("refused.bin"), image);

        bootloader->failFeatureSets(EPIPE);
        Timeline timeline;
        QVERIFY(!monitor.flashFirmware("BOOT", file));
        QCOMPARE(timeline.lines().last(), QStringLiteral("Unable to send firmware block 65"));
        QVERIFY(bootloader->featuresSet().empty());
        QVERIFY(ticks.isEmpty());

        // The same through the device's own judgement: only the first offer is refused.
        std::atomic<int> offered{0};
        DeviceConfig config = controller(0x1209, 0x0101, bootloaderDescriptor(64), "PICKY");
        config.featureSetFilter = [&offered](const Bytes &) { return offered++ == 0 ? EPIPE : 0; };
        FakeHidraw picky(bed, config);
        monitor.scanPass();
        QVERIFY(!monitor.flashFirmware("PICKY", file));
        QCOMPARE(offered.load(), 1);
        QVERIFY(picky.featuresSet().empty());
        QVERIFY(ticks.isEmpty());

        QVERIFY(monitor.flashFirmware("PICKY", file));
        QCOMPARE(picky.featuresSet(), expectedBlocks(image, 65));
    }
};

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    // Should a transfer ever read a file without end or of several GiB, it fails here for lack of
    // memory instead of taking the machine's. Sanitizers reserve far more address space than that.
    if (!kSanitized) {
        const rlimit limit{rlim_t(2) << 30, rlim_t(2) << 30};
        rlimit current{};
        if (getrlimit(RLIMIT_AS, &current) == 0 &&
            (current.rlim_cur == RLIM_INFINITY || current.rlim_cur > limit.rlim_cur))
            setrlimit(RLIMIT_AS, &limit);
    }
    QCoreApplication app(argc, argv);
    BadFirmwareTest suite;
    return QTest::qExec(&suite, argc, argv);
}

#include "tst_badfirmware.moc"

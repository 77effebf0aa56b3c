// firmware-flasher-cli: the flasher without a window, for scripts, test rigs and production lines.
//
// The monitor's passes run on this program's own thread, not on a monitor thread as in the window.
// The registry then has one user: devices are looked up and used without the registry lock, and a
// device can only be destroyed by a pass this thread runs. The transfers of `flash --all` run on
// worker threads while no pass runs, so each one owns its device until it ends, and they do not
// queue behind each other on the registry lock as they would beside a running monitor thread.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

#include "device/flashfailure.h"
#include "device/inputdevice.h"
#include "monitor/flashhardware.h"

#ifndef FLASHER_VERSION
#define FLASHER_VERSION "unknown"
#endif

namespace {

enum ExitCode : int {
    Done = 0,
    TransferFailed = 1,
    UsageError = 2,
    BootloaderTimeout = 3,
    NoComeback = 4,
};

constexpr char programName[] = "firmware-flasher-cli";

constexpr char usageText[] =
    "usage: firmware-flasher-cli list [--json]\n"
    "       firmware-flasher-cli bootloader [--serial TEXT | --path PATH]\n"
    "       firmware-flasher-cli flash FILE [--serial TEXT | --path PATH | --all] [--wait SECONDS]\n"
    "       firmware-flasher-cli --help | --version\n"
    "\n"
    "  list          print the supported controllers that are plugged in\n"
    "  bootloader    restart the selected controller into its bootloader\n"
    "  flash         write FILE to the selected controller: restart it into its bootloader if it\n"
    "                is not there yet, send the image, wait for it to come back and print its\n"
    "                new version\n"
    "\n"
    "  --json        list: one JSON array of objects\n"
    "  --serial TEXT the controller whose serial number is TEXT, all of it\n"
    "  --path PATH   the controller at PATH, as list prints it\n"
    "  --all         flash: every supported controller plugged in, in parallel\n"
    "  --wait SECONDS  flash: how long to wait for the bootloader and for the controller's\n"
    "                return, each (default 15)\n"
    "  --verbose     print the diagnostic lines of the flasher's core on standard error\n"
    "\n"
    "Without --serial, --path or --all exactly one supported controller must be plugged in.\n"
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  the transfer failed: a block was refused, the controller vanished or the file\n"
    "     could no longer be read\n"
    "  2  usage or selection error, or a file that cannot be read (nothing was sent)\n"
    "  3  timed out waiting for the bootloader device\n"
    "  4  the controller did not come back after the flash\n"
    "With --all the highest code of all controllers.\n";

bool verbose = false;

void filterMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !verbose)
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

void error(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", programName, text.toLocal8Bit().constData());
}

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

// Device texts are NUL-terminated UTF-8 in fixed fields; the bound keeps a field that lost its
// terminator from being read past its end.
template <std::size_t N> QString fieldText(const char (&field)[N])
{
    return QString::fromUtf8(field, qsizetype(qstrnlen(field, N)));
}

// What the program tells about a registered controller, copied out of its device.
struct Controller {
    QString path, manufacturer, product, serial, version;
    uint16_t vendorId = 0, productId = 0;
    bool bootloader = false;

    QString describe() const { return QStringLiteral("%1 (serial \"%2\", %3)").arg(path, serial, product); }
};

// The window's monitor with its passes run by hand (see the top of this file). It scans every
// 100 ms rather than every 4 s, so that a controller is seen within a few passes of its arrival.
class Monitor : public FlashHardware {
public:
    static constexpr std::chrono::milliseconds ScanPeriod{100};

    Monitor() { scanPeriod = ScanPeriod; }

    // One pass: the scan when it is due, then one read of every controller, then the pause.
    void step()
    {
        runPass();
        QThread::msleep(static_cast<unsigned long>(pollInterval));
    }

    // The registered controllers, ordered by path so that output and tables are stable.
    QList<Controller> controllers() const
    {
        QList<Controller> all;
        for (const InputDevice *device : devices) {
            if (device == nullptr)
                continue;
            all.append({fieldText(device->path), fieldText(device->manufacturer), fieldText(device->product),
                        fieldText(device->serial), fieldText(device->versionText), device->vendorId,
                        device->productId, isBootloaderProduct(device->product)});
        }
        std::sort(all.begin(), all.end(), [](const Controller &a, const Controller &b) {
            return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
        });
        return all;
    }

    InputDevice *device(const QString &path) const { return devices.value(path); }
};

// --- the command line --------------------------------------------------------------------------

struct Options {
    QString command;
    QString file;
    std::optional<QString> serial, path;
    bool all = false;
    bool json = false;
    double waitSeconds = 15;
};

// The options, or nothing after saying on standard error what is wrong.
std::optional<Options> parse(const QStringList &arguments)
{
    Options options;
    QStringList positional;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        const auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= arguments.size()) {
                error(QStringLiteral("%1 needs a value").arg(arg));
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (arg == QLatin1String("--verbose")) {
            verbose = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg == QLatin1String("--all")) {
            options.all = true;
        } else if (arg == QLatin1String("--serial")) {
            if (!(options.serial = value()))
                return std::nullopt;
        } else if (arg == QLatin1String("--path")) {
            if (!(options.path = value()))
                return std::nullopt;
        } else if (arg == QLatin1String("--wait")) {
            const std::optional<QString> text = value();
            if (!text)
                return std::nullopt;
            bool ok = false;
            options.waitSeconds = text->toDouble(&ok);
            if (!ok || !std::isfinite(options.waitSeconds) || options.waitSeconds < 0 ||
                options.waitSeconds > 86400) {
                error(QStringLiteral("--wait needs a number of seconds from 0 to 86400, not \"%1\"")
                          .arg(*text));
                return std::nullopt;
            }
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            error(QStringLiteral("unknown option %1").arg(arg));
            return std::nullopt;
        } else {
            positional.append(arg);
        }
    }
    if (positional.isEmpty()) {
        error(QStringLiteral("no command given"));
        return std::nullopt;
    }
    options.command = positional.takeFirst();
    const bool isList = options.command == QLatin1String("list");
    const bool isBootloader = options.command == QLatin1String("bootloader");
    const bool isFlash = options.command == QLatin1String("flash");
    if (!isList && !isBootloader && !isFlash) {
        error(QStringLiteral("unknown command %1").arg(options.command));
        return std::nullopt;
    }
    if (isFlash) {
        if (positional.isEmpty()) {
            error(QStringLiteral("flash needs the firmware file"));
            return std::nullopt;
        }
        options.file = positional.takeFirst();
    }
    if (!positional.isEmpty()) {
        error(QStringLiteral("unexpected argument %1").arg(positional.first()));
        return std::nullopt;
    }
    const int selections = int(options.serial.has_value()) + int(options.path.has_value()) + int(options.all);
    if (selections > 1) {
        error(QStringLiteral("give at most one of --serial, --path and --all"));
        return std::nullopt;
    }
    if ((isList && selections > 0) || (isBootloader && options.all)) {
        error(QStringLiteral("%1 takes no %2")
                  .arg(options.command, options.all      ? QStringLiteral("--all")
                                        : options.serial ? QStringLiteral("--serial")
                                                         : QStringLiteral("--path")));
        return std::nullopt;
    }
    if (options.json && !isList) {
        error(QStringLiteral("--json belongs to list"));
        return std::nullopt;
    }
    return options;
}

// --- selection ---------------------------------------------------------------------------------

void listCandidates(const QList<Controller> &candidates)
{
    for (const Controller &candidate : candidates)
        error(QStringLiteral("candidate: %1").arg(candidate.describe()));
}

// The controllers the options name, or nothing after saying why on standard error.
std::optional<QList<Controller>> select(const QList<Controller> &all, const Options &options)
{
    if (all.isEmpty()) {
        error(QStringLiteral("no supported controller is plugged in"));
        return std::nullopt;
    }
    if (options.all)
        return all;
    QList<Controller> matches;
    for (const Controller &controller : all) {
        if ((options.path && controller.path == *options.path) ||
            (options.serial && controller.serial == *options.serial) || (!options.path && !options.serial))
            matches.append(controller);
    }
    if (matches.size() == 1)
        return matches;
    if (matches.isEmpty()) {
        error(options.path ? QStringLiteral("no supported controller at %1").arg(*options.path)
                           : QStringLiteral("no supported controller has the serial number \"%1\"; "
                                            "choose one with --path")
                                 .arg(*options.serial));
        listCandidates(all);
    } else if (options.serial) {
        error(QStringLiteral("%1 controllers have the serial number \"%2\"; choose one with --path")
                  .arg(matches.size())
                  .arg(*options.serial));
        listCandidates(matches);
    } else {
        error(QStringLiteral("%1 supported controllers are plugged in; choose one with --serial or --path")
                  .arg(matches.size()));
        listCandidates(matches);
    }
    return std::nullopt;
}

// --- list and bootloader -----------------------------------------------------------------------

int listControllers(const QList<Controller> &all, bool json)
{
    if (json) {
        QJsonArray array;
        for (const Controller &c : all) {
            array.append(QJsonObject{{"path", c.path},
                                     {"vendor_id", c.vendorId},
                                     {"product_id", c.productId},
                                     {"manufacturer", c.manufacturer},
                                     {"product", c.product},
                                     {"serial", c.serial},
                                     {"version", c.version},
                                     {"bootloader", c.bootloader}});
        }
        out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return Done;
    }
    for (const Controller &c : all) {
        out(QStringLiteral("%1\t%2:%3\t%4\t%5\t%6\t%7\t%8\n")
                .arg(c.path)
                .arg(c.vendorId, 4, 16, QLatin1Char('0'))
                .arg(c.productId, 4, 16, QLatin1Char('0'))
                .arg(c.manufacturer, c.product, c.serial, c.version,
                     c.bootloader ? QStringLiteral("bootloader") : QStringLiteral("application")));
    }
    return Done;
}

int enterBootloader(Monitor &monitor, const Controller &target)
{
    if (target.bootloader) {
        error(QStringLiteral("%1 is in its bootloader already").arg(target.describe()));
        return UsageError;
    }
    InputDevice *device = monitor.device(target.path);
    if (device == nullptr || !device->enterBootloader()) {
        error(QStringLiteral("%1 did not take the bootloader command").arg(target.describe()));
        return TransferFailed;
    }
    out(QStringLiteral("%1: restarting into its bootloader\n").arg(target.serial));
    return Done;
}

// --- flash -------------------------------------------------------------------------------------

// Why the firmware file cannot be sent, or an empty text when it can. Checked before anything is
// sent to any controller: only a regular, readable, non-empty file whose length the transfer can
// count is an image.
QString fileProblem(const QString &name)
{
    const QFileInfo info(name);
    if (!info.exists())
        return QStringLiteral("there is no file %1").arg(name);
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not a firmware file").arg(name);
    if (!info.isFile())
        return QStringLiteral("%1 is not a regular file").arg(name);
    if (info.size() == 0)
        return QStringLiteral("%1 is empty").arg(name);
    if (quint64(info.size()) > std::numeric_limits<uint32_t>::max())
        return QStringLiteral("%1 is too large for a firmware image (%2 bytes, at most %3)")
            .arg(name)
            .arg(info.size())
            .arg(std::numeric_limits<uint32_t>::max());
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(name, file.errorString());
    return {};
}

// One controller's way through a flash.
struct Job {
    Controller target;           // as selected
    QString bootloaderPath;      // the controller in its bootloader
    QSet<QString> otherPaths;    // application devices with the same serial during the transfer
    std::optional<int> code;     // set when the controller's flash has ended
    QString detail;              // what happened, in words
    QString version;             // of the controller back in application mode
    bool sending = false;        // a transfer was started
    std::atomic<int> percent{0}; // written by the transfer's thread
    int reported = 0;            // tenths printed, when the output is not a terminal
};

const Controller *findBySerial(const QList<Controller> &all, const QString &serial, bool bootloader,
                               const QSet<QString> &excluded = {})
{
    for (const Controller &c : all) {
        if (c.serial == serial && c.bootloader == bootloader && !excluded.contains(c.path))
            return &c;
    }
    return nullptr;
}

void fail(Job &job, int code, const QString &detail)
{
    job.code = code;
    job.detail = detail;
    error(QStringLiteral("%1: %2").arg(job.target.serial.isEmpty() ? job.target.path : job.target.serial,
                                       detail));
}

// The transfer the window uses, on one device. Its progress goes to `job.percent`.
void transfer(InputDevice *device, const QString &file, Job &job)
{
    const QMetaObject::Connection progress =
        QObject::connect(device, &InputDevice::flashTick, [&job](uint, uint currentSize) {
            // Every tick carries a percentage, the last one 100.
            job.percent = int(std::min<uint>(currentSize, 100));
        });
    FlashFailure failure;
    const bool sent = device->flashFirmware(file, &failure);
    QObject::disconnect(progress);
    if (sent) {
        job.percent = 100;
        return;
    }
    // The file was found sound before the controller was restarted; if it changed since, the
    // controller sits in its bootloader all the same, so that too is a failed transfer.
    job.code = TransferFailed;
    job.detail = QStringLiteral("the transfer failed. ") + describeFlashFailure(failure);
}

class Progress {
public:
    explicit Progress(std::vector<std::unique_ptr<Job>> &jobs)
        : m_jobs(jobs), m_terminal(isatty(STDOUT_FILENO))
    {
    }

    void show()
    {
        if (std::none_of(m_jobs.begin(), m_jobs.end(), [](const auto &job) { return job->sending; }))
            return;
        if (m_terminal) {
            QString line;
            for (const auto &job : m_jobs) {
                if (!job->sending)
                    continue;
                const int percent = job->percent;
                if (m_jobs.size() == 1) {
                    constexpr int width = 40;
                    const int filled = percent * width / 100;
                    line +=
                        QStringLiteral("[%1%2] %3%")
                            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char(' ')))
                            .arg(percent, 3);
                } else {
                    line += QStringLiteral("%1 %2%  ").arg(job->target.serial).arg(percent, 3);
                }
            }
            out(QStringLiteral("\r") + line);
            m_drawn = true;
            return;
        }
        for (const auto &job : m_jobs) {
            if (!job->sending)
                continue;
            for (const int tenths = job->percent / 10; job->reported < tenths;)
                out(QStringLiteral("%1: %2%\n").arg(job->target.serial).arg(++job->reported * 10));
        }
    }

    void finish()
    {
        show();
        if (m_drawn)
            out(QStringLiteral("\n"));
    }

private:
    std::vector<std::unique_ptr<Job>> &m_jobs;
    const bool m_terminal;
    bool m_drawn = false;
};

// Runs passes until `arrived` says so for every job that is still on its way, or the time is up.
template <typename Arrived>
void waitFor(Monitor &monitor, std::vector<std::unique_ptr<Job>> &jobs, double seconds, Arrived arrived)
{
    const QDeadlineTimer deadline(qint64(seconds * 1000));
    for (;;) {
        bool pending = false;
        const QList<Controller> all = monitor.controllers();
        for (auto &job : jobs)
            pending = (!job->code && !arrived(*job, all)) || pending;
        if (!pending || deadline.hasExpired())
            return;
        monitor.step();
    }
}

int flash(Monitor &monitor, const QList<Controller> &targets, const Options &options)
{
    std::vector<std::unique_ptr<Job>> jobs;
    for (const Controller &target : targets) {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->target = target;
    }

    // 1. Every controller in its bootloader.
    for (auto &job : jobs) {
        if (job->target.bootloader) {
            job->bootloaderPath = job->target.path;
            continue;
        }
        InputDevice *device = monitor.device(job->target.path);
        if (device == nullptr || !device->enterBootloader())
            fail(*job, TransferFailed, QStringLiteral("the controller did not take the bootloader command"));
        else
            out(QStringLiteral("%1: restarting into its bootloader\n").arg(job->target.serial));
    }
    waitFor(monitor, jobs, options.waitSeconds, [](Job &job, const QList<Controller> &all) {
        if (job.bootloaderPath.isEmpty()) {
            if (const Controller *boot = findBySerial(all, job.target.serial, true))
                job.bootloaderPath = boot->path;
        }
        return !job.bootloaderPath.isEmpty();
    });
    const QList<Controller> before = monitor.controllers();
    for (auto &job : jobs) {
        if (!job->code && job->bootloaderPath.isEmpty())
            fail(*job, BootloaderTimeout,
                 QStringLiteral("no bootloader with this serial number came up within %1 seconds")
                     .arg(options.waitSeconds));
        for (const Controller &c : before) {
            if (c.serial == job->target.serial && !c.bootloader)
                job->otherPaths.insert(c.path);
        }
    }

    // 2. The transfers, one thread each, while no pass runs.
    {
        std::vector<std::thread> threads;
        std::vector<std::unique_ptr<std::atomic<bool>>> finished;
        for (auto &job : jobs) {
            if (job->code)
                continue;
            InputDevice *device = monitor.device(job->bootloaderPath);
            if (device == nullptr) {
                fail(*job, TransferFailed, QStringLiteral("the bootloader went away before the transfer"));
                continue;
            }
            job->sending = true;
            finished.push_back(std::make_unique<std::atomic<bool>>(false));
            threads.emplace_back([device, &options, job = job.get(), done = finished.back().get()] {
                transfer(device, options.file, *job);
                *done = true;
            });
        }
        Progress progress(jobs);
        while (
            !std::all_of(finished.begin(), finished.end(), [](const auto &done) { return done->load(); })) {
            progress.show();
            QThread::msleep(100);
        }
        for (std::thread &thread : threads)
            thread.join();
        progress.finish();
        for (auto &job : jobs) {
            if (job->sending && job->code == TransferFailed)
                error(QStringLiteral("%1: %2").arg(job->target.serial, job->detail));
        }
    }

    // 3. Every flashed controller back in application mode.
    waitFor(monitor, jobs, options.waitSeconds, [](Job &job, const QList<Controller> &all) {
        const Controller *back = findBySerial(all, job.target.serial, false, job.otherPaths);
        if (back == nullptr)
            return false;
        job.version = back->version;
        job.code = Done;
        job.detail = QStringLiteral("done");
        return true;
    });
    int code = Done;
    for (auto &job : jobs) {
        if (!job->code)
            fail(*job, NoComeback,
                 QStringLiteral("the controller did not come back within %1 seconds after the flash")
                     .arg(options.waitSeconds));
        else if (*job->code == Done && !options.all)
            out(QStringLiteral("%1: flashed, now version %2\n").arg(job->target.serial, job->version));
        code = std::max(code, *job->code);
    }

    if (options.all) {
        out(QStringLiteral("%1\t%2\t%3\t%4\n").arg("PATH", "SERIAL", "VERSION", "RESULT"));
        for (const auto &job : jobs)
            out(QStringLiteral("%1\t%2\t%3\t%4\n")
                    .arg(job->target.path, job->target.serial,
                         job->version.isEmpty() ? QStringLiteral("-") : job->version, job->detail));
    }
    return code;
}

int run(const Options &options)
{
    if (options.command == QLatin1String("flash")) {
        const QString problem = fileProblem(options.file);
        if (!problem.isEmpty()) {
            error(problem);
            return UsageError;
        }
    }
    Monitor monitor;
    monitor.step(); // the first pass scans
    const QList<Controller> all = monitor.controllers();
    if (options.command == QLatin1String("list"))
        return listControllers(all, options.json);
    const std::optional<QList<Controller>> targets = select(all, options);
    if (!targets)
        return UsageError;
    if (options.command == QLatin1String("bootloader"))
        return enterBootloader(monitor, targets->first());
    return flash(monitor, *targets, options);
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(filterMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(FLASHER_VERSION));
    const QStringList arguments = QCoreApplication::arguments();
    for (const QString &arg : arguments.mid(1)) {
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            out(QString::fromLatin1(usageText));
            return Done;
        }
        if (arg == QLatin1String("--version")) {
            out(QStringLiteral("%1 %2\n").arg(programName, FLASHER_VERSION));
            return Done;
        }
    }
    const std::optional<Options> options = parse(arguments);
    if (!options) {
        error(QStringLiteral("see %1 --help").arg(programName));
        return UsageError;
    }
    return run(*options);
}

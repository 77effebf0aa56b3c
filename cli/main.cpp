// firmware-flasher-cli: the flasher without a window, for scripts, test rigs and production lines.
//
// It runs the window's monitor thread and its flash sessions: each selected controller is found
// again by its port after its restart, a bootloader one session holds is never given to another,
// and the transfers of `flash --all` run side by side on the monitor's side while this thread
// prints their progress.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
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
    "  1  the transfer failed: a block was refused or taken only in part, the controller\n"
    "     vanished, or it did not take the bootloader command\n"
    "  2  usage or selection error, a file that is not a firmware image, or a controller\n"
    "     that could not be found again after its restart: no port is known and its\n"
    "     serial number is not its own (nothing was sent)\n"
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

QString describe(const DeviceSnapshot &c)
{
    return QStringLiteral("%1 (serial \"%2\", %3)").arg(c.path, c.serial, c.product);
}

// The window's monitor on a thread of its own. It scans every 100 ms rather than every 4 s, so
// that a controller is seen within a few passes of its arrival.
class Monitor : public FlashHardware {
public:
    static constexpr std::chrono::milliseconds ScanPeriod{100};

    Monitor() { setScanPeriod(ScanPeriod); }
    ~Monitor() override
    {
        stop();
        wait();
    }

    // Starts the thread and returns after its first pass, which scans.
    void startAndScan()
    {
        start();
        while (passCount() == 0)
            QThread::msleep(5);
    }
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

void listCandidates(const QList<DeviceSnapshot> &candidates)
{
    for (const DeviceSnapshot &candidate : candidates)
        error(QStringLiteral("candidate: %1").arg(describe(candidate)));
}

// The controllers the options name, or nothing after saying why on standard error.
std::optional<QList<DeviceSnapshot>> select(const QList<DeviceSnapshot> &all, const Options &options)
{
    if (all.isEmpty()) {
        error(QStringLiteral("no supported controller is plugged in"));
        return std::nullopt;
    }
    if (options.all)
        return all;
    QList<DeviceSnapshot> matches;
    for (const DeviceSnapshot &controller : all) {
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

int listControllers(const QList<DeviceSnapshot> &all, bool json)
{
    if (json) {
        QJsonArray array;
        for (const DeviceSnapshot &c : all) {
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
    for (const DeviceSnapshot &c : all) {
        out(QStringLiteral("%1\t%2:%3\t%4\t%5\t%6\t%7\t%8\n")
                .arg(c.path)
                .arg(c.vendorId, 4, 16, QLatin1Char('0'))
                .arg(c.productId, 4, 16, QLatin1Char('0'))
                .arg(c.manufacturer, c.product, c.serial, c.version,
                     c.bootloader ? QStringLiteral("bootloader") : QStringLiteral("application")));
    }
    return Done;
}

int enterBootloader(Monitor &monitor, const DeviceSnapshot &target)
{
    if (target.bootloader) {
        error(QStringLiteral("%1 is in its bootloader already").arg(describe(target)));
        return UsageError;
    }
    bool sent = false;
    monitor.withDevice(target.path, [&sent](InputDevice &device) { sent = device.enterBootloader(); });
    if (!sent) {
        error(QStringLiteral("%1 did not take the bootloader command").arg(describe(target)));
        return TransferFailed;
    }
    out(QStringLiteral("%1: restarting into its bootloader\n").arg(target.serial));
    return Done;
}

// --- flash -------------------------------------------------------------------------------------

// One controller's way through a flash.
struct Job {
    DeviceSnapshot target;                 // as selected
    QString label;                         // its name in the output
    std::shared_ptr<FlashSession> session; // advanced by the monitor
    FlashSession::Status status;           // as last seen
    std::optional<int> code;               // set when the controller's flash has ended
    QString detail;                        // what happened, in words
    bool toldRestart = false;
    int reported = 0; // tenths printed, when the output is not a terminal

    bool sending() const { return !status.bootloaderPath.isEmpty(); }
};

// The exit code and the words for a session that has finished.
std::pair<int, QString> outcome(const FlashSession::Status &status, double waitSeconds)
{
    using Reason = FlashFailure::Reason;
    switch (status.failure.reason) {
    case Reason::None:
        return {Done, QStringLiteral("done")};
    case Reason::UnitAmbiguous:
        return {UsageError, describeFlashFailure(status.failure)};
    case Reason::BootloaderRefused:
        return {TransferFailed, QStringLiteral("the controller did not take the bootloader command")};
    case Reason::NoBootloader:
        return {BootloaderTimeout,
                QStringLiteral("no bootloader came up in its place within %1 seconds").arg(waitSeconds)};
    case Reason::NoComeback:
        return {NoComeback,
                QStringLiteral("the controller did not come back within %1 seconds after the flash")
                    .arg(waitSeconds)};
    default:
        return {TransferFailed,
                QStringLiteral("the transfer failed. ") + describeFlashFailure(status.failure)};
    }
}

class Progress {
public:
    explicit Progress(std::vector<Job> &jobs) : m_jobs(jobs), m_terminal(isatty(STDOUT_FILENO)) {}

    void show()
    {
        if (std::none_of(m_jobs.begin(), m_jobs.end(), [](const Job &job) { return job.sending(); }))
            return;
        if (m_terminal) {
            QString line;
            for (const Job &job : m_jobs) {
                if (!job.sending())
                    continue;
                const int percent = job.status.percent;
                if (m_jobs.size() == 1) {
                    constexpr int width = 40;
                    const int filled = percent * width / 100;
                    line +=
                        QStringLiteral("[%1%2] %3%")
                            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char(' ')))
                            .arg(percent, 3);
                } else {
                    line += QStringLiteral("%1 %2%  ").arg(job.label).arg(percent, 3);
                }
            }
            out(QStringLiteral("\r") + line);
            m_drawn = true;
            return;
        }
        for (Job &job : m_jobs) {
            if (!job.sending())
                continue;
            for (const int tenths = job.status.percent / 10; job.reported < tenths;)
                out(QStringLiteral("%1: %2%\n").arg(job.label).arg(++job.reported * 10));
        }
    }

    // Ends the progress line before other output.
    void breakLine()
    {
        if (m_drawn)
            out(QStringLiteral("\n"));
        m_drawn = false;
    }

private:
    std::vector<Job> &m_jobs;
    const bool m_terminal;
    bool m_drawn = false;
};

int flash(Monitor &monitor, const QList<DeviceSnapshot> &all, const QList<DeviceSnapshot> &targets,
          const QByteArray &image, const Options &options)
{
    const auto wait = std::chrono::milliseconds(qint64(options.waitSeconds * 1000));
    std::vector<Job> jobs;
    jobs.reserve(size_t(targets.size()));
    for (const DeviceSnapshot &target : targets) {
        Job job;
        job.target = target;
        // Units that share a serial text are told apart by their path.
        const bool ownSerial =
            !target.serial.isEmpty() && std::count_if(all.begin(), all.end(), [&](const DeviceSnapshot &c) {
                                            return c.serial == target.serial;
                                        }) == 1;
        job.label = ownSerial ? target.serial : target.path;
        job.session = monitor.startFlash(target.path, image, {wait, wait});
        jobs.push_back(std::move(job));
    }

    Progress progress(jobs);
    for (;;) {
        bool pending = false;
        for (Job &job : jobs) {
            if (job.code)
                continue;
            job.status = job.session->status();
            if (job.status.restarted && !job.toldRestart) {
                job.toldRestart = true;
                progress.breakLine();
                out(QStringLiteral("%1: restarting into its bootloader\n").arg(job.label));
            }
            if (job.status.stage != FlashSession::Stage::Finished) {
                pending = true;
                continue;
            }
            progress.show();
            const auto [code, detail] = outcome(job.status, options.waitSeconds);
            job.code = code;
            job.detail = detail;
            if (code != Done) {
                progress.breakLine();
                error(QStringLiteral("%1: %2").arg(job.label, detail));
            }
        }
        progress.show();
        if (!pending)
            break;
        QThread::msleep(100);
    }
    progress.breakLine();

    int code = Done;
    for (const Job &job : jobs) {
        if (*job.code == Done && !options.all)
            out(QStringLiteral("%1: flashed, now version %2\n").arg(job.label, job.status.returned.version));
        code = std::max(code, *job.code);
    }
    if (options.all) {
        out(QStringLiteral("%1\t%2\t%3\t%4\n").arg("PATH", "SERIAL", "VERSION", "RESULT"));
        for (const Job &job : jobs) {
            const QString version = job.status.returned.version;
            out(QStringLiteral("%1\t%2\t%3\t%4\n")
                    .arg(job.target.path, job.target.serial,
                         version.isEmpty() ? QStringLiteral("-") : version, job.detail));
        }
    }
    return code;
}

int run(const Options &options)
{
    // The image is read whole before anything is sent, and these bytes are the ones sent.
    QByteArray image;
    if (options.command == QLatin1String("flash")) {
        const FlashFailure problem = readFirmwareImage(options.file, image);
        if (problem.reason != FlashFailure::Reason::None) {
            error(QStringLiteral("%1: %2").arg(options.file, describeFlashFailure(problem)));
            return UsageError;
        }
    }
    Monitor monitor;
    monitor.startAndScan();
    const QList<DeviceSnapshot> all = monitor.snapshot();
    if (options.command == QLatin1String("list"))
        return listControllers(all, options.json);
    const std::optional<QList<DeviceSnapshot>> targets = select(all, options);
    if (!targets)
        return UsageError;
    if (options.command == QLatin1String("bootloader"))
        return enterBootloader(monitor, targets->first());
    return flash(monitor, all, *targets, image, options);
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

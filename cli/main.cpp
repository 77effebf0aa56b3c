// firmware-flasher-cli: the flasher without a window, for scripts, test rigs and production lines.
//
// It runs the window's monitor thread and its flash sessions: each selected controller is found
// again by its port after its restart, a bootloader one session holds is never given to another,
// and the transfers of `flash --all` run side by side on the monitor's side while this thread
// prints their progress.

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>

#include "commandline.h"
#include "device/firmwareblocks.h"
#include "device/flashfailure.h"
#include "device/inputdevice.h"
#include "flashrun.h"

namespace {

bool verbose = false;

void filterMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !verbose)
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// --- stopping ------------------------------------------------------------------------------------

// A stop (Ctrl-C, SIGTERM) lets the transfers under way end: a controller left with half an image
// would not start. A second one ends the program at once.
volatile std::sig_atomic_t stopAsked = 0;

void askStop(int signal)
{
    stopAsked = 1;
    std::signal(signal, SIG_DFL);
}

void catchStops()
{
    std::signal(SIGINT, askStop);
    std::signal(SIGTERM, askStop);
}

// --- selection -----------------------------------------------------------------------------------

void listCandidates(const QList<DeviceSnapshot> &candidates)
{
    for (const DeviceSnapshot &candidate : candidates)
        error(QStringLiteral("candidate: %1").arg(describe(candidate)));
}

// Tells a failure that ended the run before any controller was flashed; a JSON reader learns it
// from an object of its own.
int refuse(const Options &options, int code, const QString &text)
{
    error(text);
    if (options.json && options.command == Command::Flash)
        outJson(QJsonObject{{"event", "error"}, {"code", code}, {"reason", text}});
    return code;
}

// The controllers the options name, or the exit code after saying why on standard error.
std::variant<QList<DeviceSnapshot>, int> select(const QList<DeviceSnapshot> &all, const ModelBook &models,
                                                const Options &options)
{
    QList<DeviceSnapshot> ofModel;
    std::copy_if(all.begin(), all.end(), std::back_inserter(ofModel),
                 [&](const DeviceSnapshot &c) { return models.matches(c, options.id); });
    if (ofModel.isEmpty()) {
        if (all.isEmpty())
            return refuse(options, NoMatch, QStringLiteral("no supported controller is plugged in"));
        listCandidates(all);
        return refuse(
            options, NoMatch,
            QStringLiteral("no supported controller of the model %1 is plugged in").arg(options.id->text()));
    }
    if (options.all) {
        QList<ModelId> seen;
        for (const DeviceSnapshot &c : ofModel) {
            if (!seen.contains(models.modelOf(c)))
                seen.append(models.modelOf(c));
        }
        if (seen.size() > 1) {
            // An unrelated controller under a shared vendor ID must not receive this image.
            for (const DeviceSnapshot &c : ofModel)
                error(QStringLiteral("would flash: %1, model %2").arg(describe(c), models.modelOf(c).text()));
            return refuse(options, UsageError,
                          QStringLiteral("%1 models are plugged in; choose one with --id").arg(seen.size()));
        }
        return ofModel;
    }
    QList<DeviceSnapshot> matches;
    for (const DeviceSnapshot &controller : ofModel) {
        if ((options.path && controller.path == *options.path) ||
            (options.serial && controller.serial == *options.serial) || (!options.path && !options.serial))
            matches.append(controller);
    }
    if (matches.size() == 1)
        return matches;
    if (matches.isEmpty()) {
        listCandidates(ofModel);
        return refuse(options, NoMatch,
                      options.path ? QStringLiteral("no supported controller at %1").arg(*options.path)
                                   : QStringLiteral("no supported controller has the serial number \"%1\"; "
                                                    "choose one with --path")
                                         .arg(*options.serial));
    }
    listCandidates(matches);
    if (options.serial)
        return refuse(options, UsageError,
                      QStringLiteral("%1 controllers have the serial number \"%2\"; choose one with --path")
                          .arg(matches.size())
                          .arg(*options.serial));
    return refuse(
        options, UsageError,
        QStringLiteral("%1 supported controllers are plugged in; choose one with --serial or --path")
            .arg(matches.size()));
}

// --- list, bootloader and check ------------------------------------------------------------------

int listControllers(const QList<DeviceSnapshot> &all, const ModelBook &models, const Options &options)
{
    QList<DeviceSnapshot> listed;
    std::copy_if(all.begin(), all.end(), std::back_inserter(listed),
                 [&](const DeviceSnapshot &c) { return models.matches(c, options.id); });
    if (options.json) {
        QJsonArray array;
        for (const DeviceSnapshot &c : listed) {
            array.append(QJsonObject{{"path", c.path},
                                     {"port", c.port},
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
    for (const DeviceSnapshot &c : listed) {
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

int checkFile(const Options &options, const QByteArray &image)
{
    const size_t blocks = firmware::blockCount(size_t(image.size()), size_t(options.reportLength));
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    if (options.json) {
        outJson(QJsonObject{{"file", options.file},
                            {"result", "ok"},
                            {"size", image.size()},
                            {"report_length", options.reportLength},
                            {"blocks", qint64(blocks)},
                            {"sha256", digest}});
        return Done;
    }
    out(QStringLiteral("%1: a firmware image of %2 bytes\n").arg(options.file).arg(image.size()));
    out(QStringLiteral("blocks: %1 of %2 bytes (%3 image bytes each)\n")
            .arg(blocks)
            .arg(options.reportLength)
            .arg(options.reportLength - 1));
    out(QStringLiteral("sha256: %1\n").arg(digest));
    return Done;
}

// --- flash ---------------------------------------------------------------------------------------

int flashSelected(Monitor &monitor, const QList<DeviceSnapshot> &all, const QList<DeviceSnapshot> &targets,
                  const QByteArray &image, const Options &options)
{
    FlashRun run(monitor, image, options, options.all ? FlashRun::Style::Table : FlashRun::Style::One);
    for (const DeviceSnapshot &target : targets)
        run.start(target, all);
    bool toldStop = false;
    while (run.update()) {
        if (stopAsked && !toldStop) {
            toldStop = true;
            note(QStringLiteral("stopping once the transfers under way have ended\n"));
        }
        QThread::msleep(100);
    }
    if (options.all)
        run.printTable();
    return run.exitCode();
}

// Station mode: every controller that is plugged in is flashed once; it is flashed again only
// after it has been unplugged. A controller is known by its port, or by its paths where the
// platform tells no port.
int flashEachNew(Monitor &monitor, ModelBook &models, const QByteArray &image, const Options &options)
{
    FlashRun run(monitor, image, options, FlashRun::Style::Station);
    std::vector<FlashRun::Ended> finished;
    const auto isFinished = [&](const DeviceSnapshot &device) {
        return std::any_of(finished.begin(), finished.end(), [&](const FlashRun::Ended &unit) {
            return !unit.port.isEmpty() ? unit.port == device.port : unit.paths.contains(device.path);
        });
    };
    const auto isPresent = [](const FlashRun::Ended &unit, const QList<DeviceSnapshot> &present) {
        return std::any_of(present.begin(), present.end(), [&](const DeviceSnapshot &device) {
            return !unit.port.isEmpty() ? unit.port == device.port : unit.paths.contains(device.path);
        });
    };
    const qint64 wanted = options.count.value_or(-1);
    if (!options.json)
        out(QStringLiteral("PORT\tSERIAL\tFROM\tTO\tRESULT\tSECONDS\n"));
    note(options.count ? QStringLiteral("waiting for %1 controllers (Ctrl-C stops)\n").arg(wanted)
                       : QStringLiteral("waiting for controllers (Ctrl-C stops)\n"));
    bool toldStop = false;
    for (;;) {
        // The snapshot comes before the sessions' news, so that a controller whose flash ends
        // meanwhile is still held by it rather than seen as new.
        const QList<DeviceSnapshot> present = monitor.snapshot();
        const bool running = run.update();
        for (FlashRun::Ended &unit : run.takeEnded())
            finished.push_back(std::move(unit));
        finished.erase(std::remove_if(finished.begin(), finished.end(),
                                      [&](const FlashRun::Ended &unit) { return !isPresent(unit, present); }),
                       finished.end());
        models.learn(present);
        const bool enough = wanted >= 0 && run.started() >= wanted;
        if (stopAsked || enough) {
            if (!running)
                break;
            if (stopAsked && !toldStop) {
                toldStop = true;
                note(QStringLiteral("stopping once the transfers under way have ended\n"));
            }
        } else {
            for (const DeviceSnapshot &device : present) {
                if (run.started() == wanted || !models.matches(device, options.id) || isFinished(device) ||
                    run.holds(device))
                    continue;
                run.start(device, present);
            }
        }
        QThread::msleep(100);
    }
    return run.exitCode();
}

int run(const Options &options)
{
    // The image is read whole before anything is sent, and these bytes are the ones sent.
    QByteArray image;
    if (options.command == Command::Flash || options.command == Command::Check) {
        const FlashFailure problem = readFirmwareImage(options.file, image);
        if (problem.reason != FlashFailure::Reason::None) {
            if (options.json && options.command == Command::Check)
                outJson(QJsonObject{
                    {"file", options.file}, {"result", "failed"}, {"reason", describeFlashFailure(problem)}});
            return refuse(options, UsageError,
                          QStringLiteral("%1: %2").arg(options.file, describeFlashFailure(problem)));
        }
    }
    if (options.command == Command::Check)
        return checkFile(options, image);
    if (options.command == Command::Flash)
        catchStops();

    Monitor monitor;
    monitor.startAndScan();
    ModelBook models;
    const QList<DeviceSnapshot> all = monitor.snapshot();
    models.learn(all);
    if (options.command == Command::List)
        return listControllers(all, models, options);
    if (options.eachNew)
        return flashEachNew(monitor, models, image, options);
    const auto selected = select(all, models, options);
    if (const int *code = std::get_if<int>(&selected))
        return *code;
    const auto &targets = std::get<QList<DeviceSnapshot>>(selected);
    if (options.command == Command::Bootloader)
        return enterBootloader(monitor, targets.first());
    return flashSelected(monitor, all, targets, image, options);
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(filterMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(FLASHER_VERSION));
    const auto parsed = parseCommandLine(QCoreApplication::arguments());
    if (const Printout *printout = std::get_if<Printout>(&parsed)) {
        if (printout->exitCode == Done)
            out(printout->text);
        else
            note(printout->text);
        return printout->exitCode;
    }
    const Options &options = std::get<Options>(parsed);
    verbose = options.verbose;
    return run(options);
}

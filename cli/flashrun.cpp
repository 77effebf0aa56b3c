#include "flashrun.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "device/flashfailure.h"

namespace {

constexpr char programName[] = "firmware-flasher-cli";

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

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void error(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", programName, text.toLocal8Bit().constData());
}

void note(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void outJson(const QJsonObject &object)
{
    out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

QString describe(const DeviceSnapshot &c)
{
    return QStringLiteral("%1 (serial \"%2\", %3)").arg(c.path, c.serial, c.product);
}

Monitor::Monitor()
{
    setScanPeriod(std::chrono::milliseconds(100));
}

Monitor::~Monitor()
{
    stop();
    wait();
}

void Monitor::startAndScan()
{
    start();
    while (passCount() == 0)
        QThread::msleep(5);
}

void ModelBook::learn(const QList<DeviceSnapshot> &present)
{
    for (const DeviceSnapshot &device : present) {
        if (!device.bootloader && !device.port.isEmpty())
            m_applicationOnPort.insert(device.port, ModelId{device.vendorId, device.productId});
    }
}

ModelId ModelBook::modelOf(const DeviceSnapshot &device) const
{
    if (device.bootloader && !device.port.isEmpty()) {
        const auto seen = m_applicationOnPort.constFind(device.port);
        if (seen != m_applicationOnPort.constEnd())
            return *seen;
    }
    return ModelId{device.vendorId, device.productId};
}

FlashRun::FlashRun(Monitor &monitor, QByteArray image, const Options &options, Style style)
    : m_monitor(monitor), m_image(std::move(image)), m_options(options), m_style(style),
      m_terminal(isatty(STDERR_FILENO) != 0)
{
}

void FlashRun::start(const DeviceSnapshot &target, const QList<DeviceSnapshot> &present)
{
    const auto wait = std::chrono::milliseconds(qint64(m_options.waitSeconds * 1000));
    Job job;
    job.target = target;
    // Units that share a serial text are told apart by their path.
    const bool ownSerial = !target.serial.isEmpty() &&
                           std::count_if(present.begin(), present.end(), [&](const DeviceSnapshot &c) {
                               return c.serial == target.serial;
                           }) == 1;
    job.label = ownSerial ? target.serial : target.path;
    job.clock.start();
    job.session = m_monitor.startFlash(target.path, m_image, {wait, wait});
    m_jobs.push_back(std::move(job));
    if (m_options.json)
        outJson(unitJson(m_jobs.back(), "unit"));
    else if (m_style == Style::Station)
        note(QStringLiteral("%1: flashing the controller on %2\n")
                 .arg(m_jobs.back().label, target.port.isEmpty() ? target.path : target.port));
}

QJsonObject FlashRun::unitJson(const Job &job, const char *event) const
{
    const DeviceSnapshot &t = job.target;
    QJsonObject object{{"event", QLatin1String(event)},
                       {"serial", t.serial},
                       {"port", textOrNull(t.port)},
                       {"path", t.path}};
    if (qstrcmp(event, "unit") == 0) {
        object.insert(QStringLiteral("vendor_id"), t.vendorId);
        object.insert(QStringLiteral("product_id"), t.productId);
        object.insert(QStringLiteral("product"), t.product);
        object.insert(QStringLiteral("version"), t.version);
        object.insert(QStringLiteral("bootloader"), t.bootloader);
    }
    return object;
}

bool FlashRun::update()
{
    bool running = false;
    for (Job &job : m_jobs) {
        if (job.code)
            continue;
        job.status = job.session->status();
        if (job.status.restarted && !job.toldRestart) {
            job.toldRestart = true;
            if (m_options.json) {
                outJson(unitJson(job, "restart"));
            } else {
                breakLine();
                note(QStringLiteral("%1: restarting into its bootloader\n").arg(job.label));
            }
        }
        if (job.status.stage == FlashSession::Stage::Finished)
            finish(job);
        else
            running = true;
    }
    showProgress();
    return running;
}

void FlashRun::finish(Job &job)
{
    const auto [code, detail] = outcome(job.status, m_options.waitSeconds);
    // The last tenths of a transfer that ended between two looks.
    if (code == Done)
        job.status.percent = 100;
    showProgress();
    job.code = code;
    job.detail = detail;
    m_exitCode = std::max(m_exitCode, code);
    ++m_ended;
    Ended ended{job.target.port, {job.target.path}};
    if (!job.status.bootloaderPath.isEmpty())
        ended.paths.insert(job.status.bootloaderPath);
    if (!job.status.returned.path.isEmpty())
        ended.paths.insert(job.status.returned.path);
    m_endedSince.push_back(ended);

    const double seconds = double(job.clock.elapsed()) / 1000;
    const QString oldVersion = job.target.bootloader ? QString() : job.target.version;
    const QString newVersion = job.status.returned.version;
    if (m_options.json) {
        QJsonObject result = unitJson(job, "result");
        result.insert(QStringLiteral("result"),
                      code == Done ? QStringLiteral("done") : QStringLiteral("failed"));
        result.insert(QStringLiteral("reason"), code == Done ? QJsonValue() : QJsonValue(detail));
        result.insert(QStringLiteral("code"), code);
        result.insert(QStringLiteral("old_version"), textOrNull(oldVersion));
        result.insert(QStringLiteral("new_version"), textOrNull(newVersion));
        result.insert(QStringLiteral("seconds"), std::round(seconds * 10) / 10);
        outJson(result);
        return;
    }
    breakLine();
    switch (m_style) {
    case Style::One:
        if (code == Done)
            out(QStringLiteral("%1: flashed, now version %2\n").arg(job.label, newVersion));
        else
            error(QStringLiteral("%1: %2").arg(job.label, detail));
        break;
    case Style::Table:
        if (code != Done)
            error(QStringLiteral("%1: %2").arg(job.label, detail));
        break;
    case Style::Station:
        out(QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\n")
                .arg(job.target.port.isEmpty() ? job.target.path : job.target.port,
                     job.target.serial.isEmpty() ? QStringLiteral("-") : job.target.serial,
                     oldVersion.isEmpty() ? QStringLiteral("-") : oldVersion,
                     newVersion.isEmpty() ? QStringLiteral("-") : newVersion, detail)
                .arg(seconds, 0, 'f', 1));
        break;
    }
}

void FlashRun::showProgress()
{
    if (m_options.json) {
        for (Job &job : m_jobs) {
            if (!job.sending())
                continue;
            for (const int tenths = job.status.percent / 10; job.reportedTenths < tenths;) {
                QJsonObject progress = unitJson(job, "progress");
                progress.insert(QStringLiteral("percent"), ++job.reportedTenths * 10);
                outJson(progress);
            }
        }
        return;
    }
    if (!m_terminal) {
        for (Job &job : m_jobs) {
            if (!job.sending())
                continue;
            for (const int tenths = job.status.percent / 10; job.reportedTenths < tenths;)
                note(QStringLiteral("%1: %2%\n").arg(job.label).arg(++job.reportedTenths * 10));
        }
        return;
    }
    const auto sending =
        std::count_if(m_jobs.begin(), m_jobs.end(), [](const Job &job) { return job.sending(); });
    if (sending == 0)
        return;
    QString line;
    for (const Job &job : m_jobs) {
        if (!job.sending())
            continue;
        const int percent = job.status.percent;
        if (sending == 1) {
            constexpr int width = 40;
            const int filled = percent * width / 100;
            line += QStringLiteral("%1 [%2%3] %4%")
                        .arg(job.label, QString(filled, QLatin1Char('#')),
                             QString(width - filled, QLatin1Char(' ')))
                        .arg(percent, 3);
        } else {
            line += QStringLiteral("%1 %2%  ").arg(job.label).arg(percent, 3);
        }
    }
    note(QStringLiteral("\r\033[K") + line);
    m_barDrawn = true;
}

void FlashRun::breakLine()
{
    if (m_barDrawn)
        note(QStringLiteral("\n"));
    m_barDrawn = false;
}

bool FlashRun::holds(const DeviceSnapshot &device) const
{
    return std::any_of(m_jobs.begin(), m_jobs.end(), [&](const Job &job) {
        // Without a port, a bootloader or a return that has just come up cannot be told from the
        // one of a controller under way: such a controller holds every device until it has ended.
        return !job.code &&
               (job.target.port.isEmpty() || device.port.isEmpty() || job.target.port == device.port);
    });
}

void FlashRun::printTable() const
{
    if (m_options.json)
        return;
    out(QStringLiteral("%1\t%2\t%3\t%4\n").arg("PATH", "SERIAL", "VERSION", "RESULT"));
    for (const Job &job : m_jobs) {
        const QString version = job.status.returned.version;
        out(QStringLiteral("%1\t%2\t%3\t%4\n")
                .arg(job.target.path, job.target.serial, version.isEmpty() ? QStringLiteral("-") : version,
                     job.detail));
    }
}

std::vector<FlashRun::Ended> FlashRun::takeEnded()
{
    return std::exchange(m_endedSince, {});
}

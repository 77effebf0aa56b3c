// The flashes of one run of firmware-flasher-cli: one flash session per controller, advanced by the
// monitor thread, and what the program tells of them: progress for people on standard error,
// results on standard output, as text or as JSON Lines.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QThread>

#include <memory>
#include <optional>
#include <vector>

#include "commandline.h"
#include "monitor/flashhardware.h"
#include "monitor/flashsession.h"
#include "monitor/unitidentity.h"

// Standard output, flushed: results.
void out(const QString &text);
// Standard error, one line after the program's name: what went wrong.
void error(const QString &text);
// Standard error as it stands: progress for people.
void note(const QString &text);
// One object of JSON Lines on standard output.
void outJson(const QJsonObject &object);

// "path (serial "S", product)": a controller as the error lines name it.
QString describe(const DeviceSnapshot &controller);

// The window's monitor on a thread of its own. It scans every 100 ms rather than every 4 s, so
// that a controller is seen within a few passes of its arrival.
class Monitor : public FlashHardware {
public:
    Monitor();
    ~Monitor() override;
    // Starts the thread and returns after its first pass, which scans.
    void startAndScan();
};

// The model of each controller. A bootloader may present other IDs than its application, so a
// controller in its bootloader is of the model last seen in application mode on its port.
class ModelBook {
public:
    void learn(const QList<DeviceSnapshot> &present);
    ModelId modelOf(const DeviceSnapshot &device) const;
    bool matches(const DeviceSnapshot &device, const std::optional<ModelId> &wanted) const
    {
        return !wanted || modelOf(device) == *wanted;
    }

private:
    QHash<QString, ModelId> m_applicationOnPort;
};

class FlashRun {
public:
    enum class Style {
        One,     // one controller: "flashed, now version" on success, the reason on failure
        Table,   // --all: a table of every controller at the end
        Station, // --each-new: one row per controller as soon as it has ended
    };

    FlashRun(Monitor &monitor, QByteArray image, const Options &options, Style style);

    // Starts the flash of `target`; `present` tells whether its serial text names it alone.
    void start(const DeviceSnapshot &target, const QList<DeviceSnapshot> &present);
    // Reports what the sessions did since the last call; true while any is still running.
    bool update();
    // Whether `device` is, or may be, a controller whose flash is under way.
    bool holds(const DeviceSnapshot &device) const;
    // Prints the table of Style::Table.
    void printTable() const;

    int exitCode() const { return m_exitCode; }
    qint64 started() const { return qint64(m_jobs.size()); }
    qint64 ended() const { return m_ended; }

    struct Ended {
        QString port;
        QSet<QString> paths; // the controller's paths as it was seen
    };
    // The controllers whose flash has ended, in the order they ended; the station takes them.
    std::vector<Ended> takeEnded();

private:
    struct Job {
        DeviceSnapshot target;
        QString label;
        std::shared_ptr<FlashSession> session;
        FlashSession::Status status;
        QElapsedTimer clock;
        std::optional<int> code;
        QString detail;
        bool toldRestart = false;
        int reportedTenths = 0;
        bool sending() const { return !status.bootloaderPath.isEmpty() && !code; }
    };

    void finish(Job &job);
    void showProgress();
    void breakLine();
    QJsonObject unitJson(const Job &job, const char *event) const;

    Monitor &m_monitor;
    const QByteArray m_image;
    const Options m_options;
    const Style m_style;
    const bool m_terminal;
    std::vector<Job> m_jobs;
    std::vector<Ended> m_endedSince;
    qint64 m_ended = 0;
    int m_exitCode = Done;
    bool m_barDrawn = false;
};

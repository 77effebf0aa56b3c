// firmware-flasher-cli as a script runs it, under controller-sim: what it lists, which controller
// it touches, what each controller receives, and the exit codes of the failures that send nothing.

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Run {
    int exitCode = -1;
    QStringList lines; // controller-sim's and the program's standard output
    QString errors;

    // What controller `serial` reported beyond its first appearance, in order.
    QStringList events(const QString &serial) const
    {
        QStringList found = lines.filter(QRegularExpression(QStringLiteral("^%1: ").arg(serial)));
        found.removeIf(
            [](const QString &line) { return line.contains(QLatin1String("Sim Flight Stick 1.2 up")); });
        return found;
    }
};

// The program under controller-sim with the given options, the way a person tries it.
Run underSim(const QStringList &simOptions, const QStringList &command)
{
    QProcess process;
    process.start(QStringLiteral(CONTROLLER_SIM), simOptions + QStringList{QStringLiteral("--")} + command);
    Run result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        result.errors = QStringLiteral("did not end within two minutes");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QStringList cli(const QStringList &arguments)
{
    return QStringList{QStringLiteral(FLASHER_CLI)} + arguments;
}

} // namespace

#define CHECK_EXIT(run, code)                                                                                \
    QVERIFY2((run).exitCode == (code), qPrintable((run).lines.join('\n') + '\n' + (run).errors))

class CliTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void listsAsJson();
    void flashEntersTheBootloaderAndSendsTheWholeFile();
    void serialSelectsOnlyTheControllerOfThatWholeText();
    void allFlashesEveryControllerWithTheWholeImage();
    void twinsOfOneSerialOrNoneEachGetTheirOwnImage();
    void aTwinWaitingInItsBootloaderReceivesNothing();
    void refusalsAndTimeoutSendNoBlock();
    void idNarrowsAllToOneModel();
    void stationFlashesEachUnitOncePerPlugging();

private:
    // A firmware file of `size` bytes; `m_digest` becomes its sha256.
    QString firmware(qsizetype size)
    {
        QByteArray image(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            image[i] = char((i * 7 + i / 251) & 0xff);
        const QString name = m_dir->filePath(QStringLiteral("fw.bin"));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != size)
            return {};
        m_digest = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        return name;
    }

    QString imageComplete(const QString &serial, qsizetype size) const
    {
        return QStringLiteral("%1: image complete: %2 bytes, sha256 %3").arg(serial).arg(size).arg(m_digest);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_digest;
};

void CliTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void CliTest::listsAsJson()
{
    const Run run = underSim({"--count", "2"}, cli({"list", "--json"}));
    CHECK_EXIT(run, 0);
    const qsizetype start = run.lines.indexOf(QRegularExpression(QStringLiteral("^\\[")));
    QVERIFY(start >= 0);
    QJsonParseError parseError;
    const QJsonDocument document =
        QJsonDocument::fromJson(run.lines.mid(start).join('\n').toUtf8(), &parseError);
    QVERIFY2(document.isArray(), qPrintable(parseError.errorString()));
    const QJsonArray list = document.array();
    QCOMPARE(list.size(), 2);
    QStringList serials;
    for (const QJsonValue &entry : list) {
        const QJsonObject c = entry.toObject();
        const QString serial = c["serial"].toString();
        serials.append(serial);
        // The path is the one the controller came up on.
        QVERIFY(run.lines.contains(
            QStringLiteral("%1: Sim Flight Stick 1.2 up on %2").arg(serial, c["path"].toString())));
        QVERIFY(c["vendor_id"].isDouble() && c["product_id"].isDouble());
        QCOMPARE(c["vendor_id"].toInt(), 0x1209);
        QCOMPARE(c["product_id"].toInt(), 0x5A51);
        QCOMPARE(c["manufacturer"].toString(), QStringLiteral("Example Controls"));
        QCOMPARE(c["product"].toString(), QStringLiteral("Sim Flight Stick"));
        QCOMPARE(c["version"].toString(), QStringLiteral("1.2"));
        QVERIFY(c["bootloader"].isBool() && !c["bootloader"].toBool());
    }
    serials.sort();
    QCOMPARE(serials, (QStringList{"SIM-0001", "SIM-0002"}));
}

void CliTest::flashEntersTheBootloaderAndSendsTheWholeFile()
{
    const QString file = firmware(1000);
    const Run run =
        underSim({"--count", "2", "--image-size", "1000"}, cli({"flash", file, "--serial", "SIM-0002"}));
    CHECK_EXIT(run, 0);
    const QStringList events = run.events(QStringLiteral("SIM-0002"));
    QCOMPARE(events.filter(QStringLiteral("bootloader command")).size(), 1);
    QCOMPARE(events.filter(QStringLiteral("image complete")), QStringList{imageComplete("SIM-0002", 1000)});
    QVERIFY(events.contains(QStringLiteral("SIM-0002: flashed, now version 1.3")));
    // Progress is for people, on standard error; not a terminal: one line per tenth.
    QCOMPARE(run.errors.split('\n').filter(QRegularExpression(QStringLiteral("^SIM-0002: \\d+%$"))).size(),
             10);
    QVERIFY(events.filter(QStringLiteral("%")).isEmpty());
    QVERIFY(run.events(QStringLiteral("SIM-0001")).isEmpty());

    // A refused block ends the flash with its number told.
    const Run refused = underSim({"--image-size", "1000", "--refuse-block", "3"}, cli({"flash", file}));
    CHECK_EXIT(refused, 1);
    QVERIFY2(refused.errors.contains(
                 QLatin1String("SIM-0001: the transfer failed. The controller refused block 3 of 16.")),
             qPrintable(refused.errors));
}

void CliTest::serialSelectsOnlyTheControllerOfThatWholeText()
{
    const QString file = firmware(300);
    const QStringList sims = {"--numbers", "1000,10000", "--image-size", "300"}; // SIM-1000, SIM-10000
    // A part of a serial text matches nothing; two controllers and no choice is a usage error.
    const std::pair<QStringList, int> refusals[] = {{{"flash", file, "--serial", "SIM-100"}, 5},
                                                    {{"flash", file}, 2}};
    for (const auto &[arguments, code] : refusals) {
        const Run run = underSim(sims, cli(arguments));
        CHECK_EXIT(run, code);
        QVERIFY(run.events(QStringLiteral("SIM-1000")).isEmpty() &&
                run.events(QStringLiteral("SIM-10000")).isEmpty());
        QVERIFY(run.errors.contains(QLatin1String("--path")));
    }

    const Run run = underSim(sims, cli({"flash", file, "--serial", "SIM-1000"}));
    CHECK_EXIT(run, 0);
    QVERIFY(run.events(QStringLiteral("SIM-1000")).contains(imageComplete("SIM-1000", 300)));
    QVERIFY(run.events(QStringLiteral("SIM-10000")).isEmpty());
}

void CliTest::allFlashesEveryControllerWithTheWholeImage()
{
    const QString file = firmware(5000);
    const Run run = underSim({"--count", "3", "--image-size", "5000"}, cli({"flash", file, "--all"}));
    CHECK_EXIT(run, 0);
    for (const QString serial : {"SIM-0001", "SIM-0002", "SIM-0003"}) {
        const QStringList events = run.events(serial);
        QCOMPARE(events.filter(QStringLiteral("image complete")), QStringList{imageComplete(serial, 5000)});
        // Its row of the table.
        QCOMPARE(
            run.lines.filter(QRegularExpression(QStringLiteral("^/dev/\\S+\t%1\t1\\.3\tdone$").arg(serial)))
                .size(),
            1);
    }
}

// Units of one batch: one serial text for all, or none. Each is found again by its port after
// its restart and receives the whole image once.
void CliTest::twinsOfOneSerialOrNoneEachGetTheirOwnImage()
{
    const QString file = firmware(3000);
    for (const QStringList &batch : {QStringList{"--serial", "TWIN"}, QStringList{"--no-serial", "--hub"}}) {
        const Run run = underSim(QStringList{"--count", "2", "--image-size", "3000"} + batch,
                                 cli({"flash", file, "--all"}));
        CHECK_EXIT(run, 0);
        for (const QString unit : {"SIM-0001", "SIM-0002"}) {
            const QStringList events = run.events(unit);
            QCOMPARE(events.filter(QStringLiteral("bootloader command")).size(), 1);
            QCOMPARE(events.filter(QStringLiteral("block 1:")).size(), 1);
            QCOMPARE(events.filter(QStringLiteral("image complete")), QStringList{imageComplete(unit, 3000)});
        }
        QCOMPARE(run.lines.filter(QRegularExpression(QStringLiteral("\t1\\.3\tdone$"))).size(), 2);
    }
}

// Unit B waits in its bootloader (an earlier flash stopped) while its twin A is flashed by path.
void CliTest::aTwinWaitingInItsBootloaderReceivesNothing()
{
    const QString file = firmware(2000);
    const QString script = QStringLiteral("set -e; cli=%1; b=$($cli list | sed -n 2p | cut -f1); "
                                          "a=$($cli list | sed -n 1p | cut -f1); echo \"unit B at $b\"; "
                                          "$cli bootloader --path \"$b\"; sleep 1; "
                                          "$cli flash %2 --path \"$a\"")
                               .arg(QStringLiteral(FLASHER_CLI), file);
    const Run run =
        underSim({"--count", "2", "--serial", "TWIN", "--image-size", "2000"}, {"sh", "-c", script});
    CHECK_EXIT(run, 0);
    const QString unitB = run.lines.filter(QStringLiteral("unit B at ")).value(0).mid(10);
    QVERIFY(!unitB.isEmpty());
    const QString b = run.lines.contains(QStringLiteral("SIM-0001: Sim Flight Stick 1.2 up on ") + unitB)
                          ? QStringLiteral("SIM-0001")
                          : QStringLiteral("SIM-0002");
    const QString a =
        b == QLatin1String("SIM-0001") ? QStringLiteral("SIM-0002") : QStringLiteral("SIM-0001");
    QCOMPARE(run.events(a).filter(QStringLiteral("image complete")), QStringList{imageComplete(a, 2000)});
    QCOMPARE(run.events(b).filter(QRegularExpression(QStringLiteral(": (block|image)"))), QStringList{});
    QVERIFY2(run.lines.filter(QStringLiteral("flashed, now version 1.3")).size() == 1,
             qPrintable(run.lines.join('\n')));
}

void CliTest::refusalsAndTimeoutSendNoBlock()
{
    const QString empty = m_dir->filePath(QStringLiteral("empty.bin"));
    const QString huge = m_dir->filePath(QStringLiteral("huge.bin"));
    const QString fifo = m_dir->filePath(QStringLiteral("fifo.bin"));
    QVERIFY(QFile(empty).open(QIODevice::WriteOnly));
    QFile sparse(huge);
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(1) << 32)); // one byte more than fits
    sparse.close();
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString good = firmware(100);

    // Each refusal, then its status, in one run of the simulated controller.
    const QStringList files = {m_dir->filePath(QStringLiteral("missing.bin")), m_dir->path(), fifo, empty,
                               huge};
    QStringList script = {"sh", "-c",
                          QStringLiteral("for f in \"$@\"; do %1 flash \"$f\"; echo \"status $?\"; done; "
                                         "%1 flash %2 --path /dev/no-such-node; echo \"status $?\"")
                              .arg(QStringLiteral(FLASHER_CLI), good),
                          "sh"};
    const Run refused = underSim({}, script + files);
    CHECK_EXIT(refused, 0);
    // Files that are no image are usage errors; a path that names nothing matched no unit.
    QCOMPARE(refused.lines.filter(QStringLiteral("status ")),
             QStringList(files.size(), QStringLiteral("status 2")) + QStringList{QStringLiteral("status 5")});
    QVERIFY(refused.events(QStringLiteral("SIM-0001")).isEmpty());
    // One plain line for each file, and a line for the unknown path and its one candidate.
    QCOMPARE(refused.errors.count('\n'), files.size() + 2);

    // The controller takes the command and never comes back as a bootloader.
    const Run silent = underSim({"--silent"}, cli({"flash", good, "--wait=1"}));
    CHECK_EXIT(silent, 3);
    QCOMPARE(silent.events(QStringLiteral("SIM-0001"))
                 .filter(QRegularExpression(QStringLiteral(": (bootloader command|block)"))),
             QStringList{QStringLiteral("SIM-0001: bootloader command")});
}

// An unrelated controller of another model under the same vendor ID is never flashed by --all
// unless --id names its model.
void CliTest::idNarrowsAllToOneModel()
{
    const QString file = firmware(1000);
    const QStringList sims = {"--count", "2", "--other-model", "2", "--image-size", "1000"};
    const Run mixed = underSim(sims, cli({"flash", file, "--all"}));
    CHECK_EXIT(mixed, 2);
    QVERIFY(mixed.events(QStringLiteral("SIM-0001")).isEmpty() &&
            mixed.events(QStringLiteral("SIM-0002")).isEmpty());
    QCOMPARE(mixed.errors.count(QLatin1String("would flash: ")), 2);

    const Run narrowed = underSim(sims, cli({"flash", file, "-a", "--id", "1209:5A52"}));
    CHECK_EXIT(narrowed, 0);
    QVERIFY(narrowed.events(QStringLiteral("SIM-0001")).isEmpty());
    QCOMPARE(narrowed.events(QStringLiteral("SIM-0002")).filter(QStringLiteral("image complete")),
             QStringList{imageComplete("SIM-0002", 1000)});
}

// A production line: units plugged in one after another, the first unplugged and plugged in again
// after its flash. Each plugging is flashed once, and the JSON Lines tell each unit's end.
void CliTest::stationFlashesEachUnitOncePerPlugging()
{
    const QString file = firmware(2000);
    const Run run = underSim({"--count", "2", "--one-by-one", "--replug", "1", "--image-size", "2000"},
                             cli({"flash", file, "--each-new", "--count", "3", "--json"}));
    CHECK_EXIT(run, 0);
    QCOMPARE(run.events(QStringLiteral("SIM-0001")).filter(QStringLiteral("image complete")),
             QStringList(2, imageComplete("SIM-0001", 2000)));
    QCOMPARE(run.events(QStringLiteral("SIM-0002")).filter(QStringLiteral("image complete")),
             QStringList{imageComplete("SIM-0002", 2000)});

    QHash<QString, QJsonObject> lastOfPort;
    QStringList resultPorts;
    for (const QString &line : run.lines.filter(QRegularExpression(QStringLiteral("^\\{")))) {
        QJsonParseError parseError;
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8(), &parseError).object();
        QVERIFY2(parseError.error == QJsonParseError::NoError && object.contains("event"), qPrintable(line));
        lastOfPort[object["port"].toString()] = object;
        if (object["event"] == QLatin1String("result")) {
            resultPorts.append(object["port"].toString());
            QCOMPARE(object["result"].toString(), QStringLiteral("done"));
            QCOMPARE(object["new_version"].toString(), QStringLiteral("1.3"));
            QVERIFY(object["reason"].isNull() && object["seconds"].toDouble() > 0);
        }
    }
    resultPorts.sort();
    QCOMPARE(resultPorts, (QStringList{"1-1", "1-1", "1-2"}));
    for (const QJsonObject &last : lastOfPort)
        QCOMPARE(last["event"].toString(), QStringLiteral("result"));
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"

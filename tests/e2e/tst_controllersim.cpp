// controller-sim as a person runs it: the command sees the simulated controllers, everything a
// controller receives is printed, and the tool ends with the command's status.

#include <QProcess>
#include <QtTest>

class ControllerSimTest : public QObject {
    Q_OBJECT

private slots:
    void commandFlashesASimulatedController();
    void exitStatusAndCommandLine();

private:
    struct Run {
        int exitCode = -1;
        QStringList lines;
        QString errors;
    };

    static Run run(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral(CONTROLLER_SIM), arguments);
        Run result;
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        result.errors = QString::fromUtf8(process.readAllStandardError());
        return result;
    }
};

void ControllerSimTest::commandFlashesASimulatedController()
{
    const Run result = run({"--count", "2", "--image-size", "150", "--", PROBE});
    QVERIFY2(result.exitCode == 7, qPrintable(result.errors + result.lines.join('\n')));

    const QStringList first = result.lines.filter(QStringLiteral("SIM-0001: "));
    QCOMPARE(first.size(), 1);
    QVERIFY(first[0].startsWith(QStringLiteral("SIM-0001: Sim Flight Stick 1.2 up on /dev/hidraw")));

    QStringList second = result.lines.filter(QStringLiteral("SIM-0002: "));
    QVERIFY(second.size() == 7);
    QVERIFY(second[0].startsWith(QStringLiteral("SIM-0002: Sim Flight Stick 1.2 up on /dev/hidraw")));
    QVERIFY(second[2].startsWith(QStringLiteral("SIM-0002: bootloader up on /dev/hidraw")));
    second.removeAt(2);
    second.removeAt(0);
    const QStringList expected = {
        "SIM-0002: bootloader command",
        "SIM-0002: block 1: 64 bytes",
        "SIM-0002: block 2: 64 bytes",
        "SIM-0002: block 3: 22 bytes",
        "SIM-0002: image complete: 150 bytes, "
        "sha256 c695ceb0b71f85051f19f35d77dcf44ed433c9db49f46d7858a599f6186af365",
    };
    QCOMPARE(second, expected);
}

void ControllerSimTest::exitStatusAndCommandLine()
{
    QCOMPARE(run({"--", "sh", "-c", "exit 3"}).exitCode, 3);
    QCOMPARE(run({"sh", "-c", "kill -TERM $$"}).exitCode, 128 + 15);
    QCOMPARE(run({"--", "/nonexistent/command"}).exitCode, 127);
    for (const QStringList &wrong : {QStringList{"--count", "0", "--", "true"}, QStringList{"--count"},
                                     QStringList{"--speed", "3", "--", "true"}, QStringList{"--"}}) {
        const Run result = run(wrong);
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.errors.contains(QStringLiteral("usage: controller-sim")));
    }
}

QTEST_GUILESS_MAIN(ControllerSimTest)
#include "tst_controllersim.moc"

// The main routine run as a program: how the two ways of ending it differ.

#include <QProcess>
#include <QtTest>

class MainRoutineTest : public QObject {
    Q_OBJECT
private slots:
    void closeEntryStopsTheMonitorThenEndsWithStatusZero(); // also: resources and icon in the program
    void closingTheWindowStopsTheMonitorFirst();
    void exitStatusIsTheEventLoopsCode();

private:
    struct Run {
        int status = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        QString out, err;
    };
    static Run runProbe(const QStringList &arguments);
};

MainRoutineTest::Run MainRoutineTest::runProbe(const QStringList &arguments)
{
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(PROBE_PATH), arguments);
    Run run;
    if (!probe.waitForFinished(120000)) {
        probe.kill();
        probe.waitForFinished();
        return run;
    }
    run.status = probe.exitCode();
    run.exitStatus = probe.exitStatus();
    run.out = QString::fromLocal8Bit(probe.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(probe.readAllStandardError());
    return run;
}

void MainRoutineTest::closeEntryStopsTheMonitorThenEndsWithStatusZero()
{
    const Run run = runProbe({QStringLiteral("close-action")});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.contains(QStringLiteral("images before main: yes")), qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("window shown: yes")), qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("icon sizes: 16x16 32x32 48x48 64x64")), qPrintable(run.out));
    // The monitor thread ended before the process did; the event loop was not left.
    QVERIFY2(run.err.contains(QStringLiteral("Stopping polling")), qPrintable(run.err));
    QVERIFY(!run.out.contains(QStringLiteral("main routine returned")));
}

void MainRoutineTest::closingTheWindowStopsTheMonitorFirst()
{
    const Run run = runProbe({QStringLiteral("close-window")});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.err.contains(QStringLiteral("Stopping polling")), qPrintable(run.err));
    QVERIFY2(run.out.contains(QStringLiteral("main routine returned 0")), qPrintable(run.out));
}

void MainRoutineTest::exitStatusIsTheEventLoopsCode()
{
    const Run run = runProbe({QStringLiteral("exit"), QStringLiteral("7")});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.status, 7);
    QVERIFY2(run.err.contains(QStringLiteral("Stopping polling")), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(MainRoutineTest)
#include "tst_mainroutine.moc"

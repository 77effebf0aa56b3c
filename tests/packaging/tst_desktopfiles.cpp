// The udev rules and the metainfo device list made from the scan filter table: every supported
// controller and nothing else, in forms udev and AppStream accept, and the build's files are
// the ones these functions write.
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <array>

#include "desktopmatch.h"

namespace {

constexpr std::array<ScanFilter, 3> sampleTable{{
    {0x1209, 0x0000},
    {0x16C0, 0x05DF},
    {0xABCD, 0x00EF},
}};

QStringList ruleLines(const std::string &rules)
{
    QStringList lines;
    for (const QString &line : QString::fromStdString(rules).split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith('#'))
            lines << line;
    return lines;
}

// Splits a rule into its key-operator-value parts the way udev reads them; an empty list when
// any part is not of the form KEY[{attr}]op"value".
QStringList ruleParts(const QString &rule)
{
    static const QRegularExpression part(
        QStringLiteral("^([A-Z]+(\\{[A-Za-z_]+\\})?)(==|!=|\\+=|-=|:=|=)\"([^\"]*)\"$"));
    QStringList parts;
    for (const QString &piece : rule.split(", ")) {
        const QRegularExpressionMatch m = part.match(piece);
        if (!m.hasMatch())
            return {};
        parts << m.captured(1) + m.captured(3) + m.captured(4);
    }
    return parts;
}

QString readFile(const char *path)
{
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class DesktopFilesTest : public QObject {
    Q_OBJECT
private slots:
    void rulesTagEveryControllerNodeAndChangeNoMode()
    {
        const QStringList rules = ruleLines(desktopmatch::udevRules(sampleTable));
        QCOMPARE(rules.size(), int(sampleTable.size()));
        QCOMPARE(ruleParts(rules[0]), (QStringList{"KERNEL==hidraw*", "SUBSYSTEM==hidraw",
                                                   "ATTRS{idVendor}==1209", "TAG+=uaccess"}));
        QCOMPARE(ruleParts(rules[1]),
                 (QStringList{"KERNEL==hidraw*", "SUBSYSTEM==hidraw", "ATTRS{idVendor}==16c0",
                              "ATTRS{idProduct}==05df", "TAG+=uaccess"}));
        // sysfs spells the identifiers in lower-case hex, four digits.
        QCOMPARE(ruleParts(rules[2]),
                 (QStringList{"KERNEL==hidraw*", "SUBSYSTEM==hidraw", "ATTRS{idVendor}==abcd",
                              "ATTRS{idProduct}==00ef", "TAG+=uaccess"}));
    }

    void rulesOfTheRealTableAreWellFormed()
    {
        const QStringList rules = ruleLines(desktopmatch::udevRules(scanFilters));
        QVERIFY(!rules.isEmpty()); // an empty table would leave the checks below nothing to look at
        QCOMPARE(rules.size(), int(scanFilters.size()));
        for (const QString &rule : rules) {
            const QStringList parts = ruleParts(rule);
            QVERIFY2(!parts.isEmpty(), qPrintable(rule));
            QVERIFY(parts.contains("TAG+=uaccess"));
            for (const QString &part : parts)
                QVERIFY2(!part.startsWith("MODE") && !part.startsWith("GROUP") && !part.startsWith("OWNER"),
                         qPrintable(rule));
        }
        // logind grants access to tagged nodes in 73-seat-late.rules; the tag must be set before.
        const QString name = QString::fromUtf8(UDEV_RULES_FILE).section('/', -1);
        QVERIFY2(name.endsWith(".rules") && name.left(2).toInt() > 0 && name.left(2).toInt() < 73,
                 qPrintable(name));
    }

    void modaliasesMatchUsbDevicesOfTheTable()
    {
        QCOMPARE(QString::fromStdString(desktopmatch::appstreamModaliases(sampleTable, "  ")),
                 QString("  <modalias>usb:v1209p*</modalias>\n"
                         "  <modalias>usb:v16C0p05DFd*</modalias>\n"
                         "  <modalias>usb:vABCDp00EFd*</modalias>\n"));
    }

    void metainfoMarkerBecomesTheDeviceList()
    {
        const std::string templ = "<provides>\n    <binary>x</binary>\n    <!-- supported controllers -->\n"
                                  "</provides>\n";
        QCOMPARE(QString::fromStdString(desktopmatch::expandMetainfo(templ, std::span(sampleTable).first(1))),
                 QString("<provides>\n    <binary>x</binary>\n    <modalias>usb:v1209p*</modalias>\n"
                         "</provides>\n"));
        QVERIFY(desktopmatch::expandMetainfo("<provides/>\n", sampleTable).empty());
        // The marker on the last line, without a line end.
        QCOMPARE(QString::fromStdString(desktopmatch::expandMetainfo("<!-- supported controllers -->",
                                                                     std::span(sampleTable).first(1))),
                 QString("<modalias>usb:v1209p*</modalias>\n"));
    }

    void buildWroteTheFilesFromTheTable()
    {
        QCOMPARE(readFile(UDEV_RULES_FILE), QString::fromStdString(desktopmatch::udevRules(scanFilters)));
        const QString metainfo = readFile(METAINFO_FILE);
        QVERIFY(!metainfo.contains("<!-- supported controllers -->"));
        QVERIFY(metainfo.contains(
            QString::fromStdString(desktopmatch::appstreamModaliases(scanFilters, "    "))));
        // Every version that is built is announced to software centres.
        QVERIFY2(metainfo.contains(QString("<release version=\"%1\"").arg(PROJECT_VERSION_TEXT)),
                 "the metainfo template has no release entry for the project's version");
    }
};

QTEST_APPLESS_MAIN(DesktopFilesTest)
#include "tst_desktopfiles.moc"

#include "commandline.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <cmath>

#ifndef FLASHER_VERSION
#define FLASHER_VERSION "unknown"
#endif

namespace {

constexpr char programName[] = "firmware-flasher-cli";

constexpr char description[] =
    "Puts new firmware on the supported USB game controllers, without a window.\n"
    "\n"
    "  list [--json] [--id VVVV:PPPP]\n"
    "      print the supported controllers that are plugged in\n"
    "  bootloader [--serial TEXT | --path PATH] [--id VVVV:PPPP]\n"
    "      restart the selected controller into its bootloader\n"
    "  flash FILE [--serial TEXT | --path PATH | --all | --each-new [--count N]]\n"
    "             [--id VVVV:PPPP] [--wait SECONDS] [--json]\n"
    "      write FILE to the selected controller: restart it into its bootloader if it is\n"
    "      not there yet, send the image, wait for it to come back and print its new version\n"
    "  check FILE [--report-length BYTES] [--json]\n"
    "      check FILE as flash would and print its size, block count and sha256\n"
    "\n"
    "Without --serial, --path, --all or --each-new exactly one supported controller must be\n"
    "plugged in (of the model --id names, when given). Progress goes to standard error,\n"
    "results to standard output.";

constexpr char exitCodes[] =
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  the transfer failed: a block was refused or taken only in part, the controller\n"
    "     vanished, or it did not take the bootloader command\n"
    "  2  usage or selection error, a file that is not a firmware image, several controllers\n"
    "     that match, or a controller that could not be found again after its restart: no\n"
    "     port is known and its serial number is not its own (nothing was sent)\n"
    "  3  timed out waiting for the bootloader device\n"
    "  4  the controller did not come back after the flash\n"
    "  5  no controller matched: none is plugged in, or none matches --serial, --path or --id\n"
    "With --all or --each-new the highest code of all controllers.\n";

Printout usageError(const QString &text)
{
    return {QStringLiteral("%1: %2\n%1: see %1 --help\n").arg(programName, text), UsageError};
}

// A number within [low, high], or nothing.
std::optional<double> number(const QString &text, double low, double high)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

QString ModelId::text() const
{
    return QStringLiteral("%1:%2")
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'));
}

std::optional<ModelId> parseModelId(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9A-Fa-f]{1,4}):([0-9A-Fa-f]{1,4})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return ModelId{uint16_t(match.captured(1).toUInt(nullptr, 16)),
                   uint16_t(match.captured(2).toUInt(nullptr, 16))};
}

std::variant<Options, Printout> parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Print this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Print the version and exit."));
    const QCommandLineOption serial(QStringList{"s", "serial"},
                                    QStringLiteral("The controller whose serial number is TEXT, all of it."),
                                    QStringLiteral("TEXT"));
    const QCommandLineOption path(QStringList{"p", "path"},
                                  QStringLiteral("The controller at PATH, as list prints it."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption all(
        QStringList{"a", "all"},
        QStringLiteral("flash: every supported controller plugged in, in parallel. With "
                       "several models plugged in and no --id, nothing is sent."));
    const QCommandLineOption eachNew(
        QStringList{"e", "each-new"},
        QStringLiteral(
            "flash: station mode. Waits for controllers and flashes each one plugged in, one result "
            "line each, until stopped (Ctrl-C) or --count results. A controller that stays "
            "plugged in is flashed once; one plugged in again is flashed again."));
    const QCommandLineOption count(QStringList{"n", "count"},
                                   QStringLiteral("--each-new: stop after N controllers."),
                                   QStringLiteral("N"));
    const QCommandLineOption id(
        QStringList{"i", "id"},
        QStringLiteral("Only controllers of this model: the application's vendor and product IDs in "
                       "hexadecimal. A controller in its bootloader matches by the port it was seen on."),
        QStringLiteral("VVVV:PPPP"));
    const QCommandLineOption wait(QStringList{"w", "wait"},
                                  QStringLiteral("flash: how long to wait for the bootloader and for the "
                                                 "controller's return, each (default 15)."),
                                  QStringLiteral("SECONDS"));
    const QCommandLineOption json(
        QStringList{"j", "json"},
        QStringLiteral("list: one JSON array. flash: JSON Lines, one object per line "
                       "with an \"event\" key. check: one JSON object."));
    const QCommandLineOption reportLength(
        QStringList{"r", "report-length"},
        QStringLiteral(
            "check: the bootloader's feature report length, report-ID byte included (default 65)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption verbose(
        QStringList{"v", "verbose"},
        QStringLiteral("Print the flasher core's diagnostic lines on standard error."));
    parser.addOptions(
        {help, version, serial, path, all, eachNew, count, id, wait, json, reportLength, verbose});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("list, bootloader, flash or check"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The firmware image (flash, check)."),
                                 QStringLiteral("[FILE]"));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        // The generated usage line names the program as it was started, perhaps by a long path.
        QString text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char('\n')),
                     QStringLiteral("Usage: %1 [options] command [FILE]").arg(programName));
        return Printout{text + QString::fromLatin1(exitCodes), Done};
    }
    if (parser.isSet(version))
        return Printout{QStringLiteral("%1 %2\n").arg(programName, FLASHER_VERSION), Done};

    Options options;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = positional.takeFirst();
    if (command == QLatin1String("list"))
        options.command = Command::List;
    else if (command == QLatin1String("bootloader"))
        options.command = Command::Bootloader;
    else if (command == QLatin1String("flash"))
        options.command = Command::Flash;
    else if (command == QLatin1String("check"))
        options.command = Command::Check;
    else
        return usageError(QStringLiteral("unknown command %1").arg(command));
    const bool takesFile = options.command == Command::Flash || options.command == Command::Check;
    if (takesFile) {
        if (positional.isEmpty())
            return usageError(QStringLiteral("%1 needs the firmware file").arg(command));
        options.file = positional.takeFirst();
    }
    if (!positional.isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(positional.first()));

    options.verbose = parser.isSet(verbose);
    options.json = parser.isSet(json);
    options.all = parser.isSet(all);
    options.eachNew = parser.isSet(eachNew);
    if (parser.isSet(serial))
        options.serial = parser.value(serial);
    if (parser.isSet(path))
        options.path = parser.value(path);
    if (parser.isSet(id)) {
        options.id = parseModelId(parser.value(id));
        if (!options.id)
            return usageError(
                QStringLiteral("--id needs VVVV:PPPP in hexadecimal, not \"%1\"").arg(parser.value(id)));
    }
    if (parser.isSet(wait)) {
        const std::optional<double> seconds = number(parser.value(wait), 0, 86400);
        if (!seconds)
            return usageError(QStringLiteral("--wait needs a number of seconds from 0 to 86400, not \"%1\"")
                                  .arg(parser.value(wait)));
        options.waitSeconds = *seconds;
    }
    if (parser.isSet(count)) {
        const std::optional<double> n = number(parser.value(count), 1, 1e9);
        if (!n || *n != std::floor(*n))
            return usageError(
                QStringLiteral("--count needs a whole number from 1, not \"%1\"").arg(parser.value(count)));
        options.count = qint64(*n);
    }
    if (parser.isSet(reportLength)) {
        const std::optional<double> n = number(parser.value(reportLength), 2, 65535);
        if (!n || *n != std::floor(*n))
            return usageError(QStringLiteral("--report-length needs a whole number of bytes from 2 to 65535, "
                                             "not \"%1\"")
                                  .arg(parser.value(reportLength)));
        options.reportLength = int(*n);
    }

    // Each option belongs to some commands only: one given where it means nothing is a mistake.
    const auto belongs = [&](const QCommandLineOption &option, const QList<Command> &commands) {
        return !parser.isSet(option) || commands.contains(options.command);
    };
    const std::pair<const QCommandLineOption *, QList<Command>> owners[] = {
        {&serial, {Command::Bootloader, Command::Flash}},
        {&path, {Command::Bootloader, Command::Flash}},
        {&id, {Command::List, Command::Bootloader, Command::Flash}},
        {&all, {Command::Flash}},
        {&eachNew, {Command::Flash}},
        {&wait, {Command::Flash}},
        {&json, {Command::List, Command::Flash, Command::Check}},
        {&reportLength, {Command::Check}},
    };
    for (const auto &[option, commands] : owners) {
        if (!belongs(*option, commands))
            return usageError(QStringLiteral("%1 takes no --%2").arg(command, option->names().last()));
    }
    const int selections = int(options.serial.has_value()) + int(options.path.has_value()) +
                           int(options.all) + int(options.eachNew);
    if (selections > 1)
        return usageError(QStringLiteral("give at most one of --serial, --path, --all and --each-new"));
    if (options.count && !options.eachNew)
        return usageError(QStringLiteral("--count belongs to --each-new"));
    return options;
}

// The command line of firmware-flasher-cli: its commands, options and exit codes.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <variant>

enum ExitCode : int {
    Done = 0,
    TransferFailed = 1,
    UsageError = 2,
    BootloaderTimeout = 3,
    NoComeback = 4,
    NoMatch = 5,
};

// A model of controller: the vendor and product IDs of its application firmware.
struct ModelId {
    uint16_t vendorId = 0;
    uint16_t productId = 0;

    bool operator==(const ModelId &) const = default;
    QString text() const; // "vvvv:pppp"
};

// "VVVV:PPPP" in hexadecimal, each of one to four digits.
std::optional<ModelId> parseModelId(const QString &text);

enum class Command { List, Bootloader, Flash, Check };

struct Options {
    Command command = Command::List;
    QString file;
    std::optional<QString> serial, path;
    std::optional<ModelId> id;
    bool all = false;
    bool eachNew = false;
    std::optional<qint64> count; // --each-new: stop after this many results
    bool json = false;
    bool verbose = false;
    double waitSeconds = 15;
    int reportLength = 65; // check: the bootloader's feature report, report-ID byte included
};

// What the command line asks for: options to run with, or text to print and the code to exit
// with (help, version, or an error already worded for standard error).
struct Printout {
    QString text;
    int exitCode = Done;
};
std::variant<Options, Printout> parseCommandLine(const QStringList &arguments);

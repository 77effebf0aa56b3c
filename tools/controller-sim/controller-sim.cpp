// Runs a program against simulated controllers, so that the flasher can be tried without
// hardware:
//
//     controller-sim [OPTIONS] -- COMMAND [ARGS...]
//
// Sets up the simulated controllers on a fake /sys and /dev, runs COMMAND in that environment,
// prints one line for everything a controller receives and exits with the command's status.

#include <QByteArray>
#include <QCryptographicHash>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "simulated_controller.h"

extern char **environ;

namespace {

constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";

const char kUsage[] =
    "usage: controller-sim [OPTIONS] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND with simulated USB game controllers plugged in (serial numbers SIM-0001,\n"
    "SIM-0002, ...) and prints what each controller receives. Exits with COMMAND's status.\n"
    "\n"
    "  --count N            number of controllers (1 to 99, default 1)\n"
    "  --numbers N,N,...    the controllers' numbers instead of 1 to N (up to 99 of them, each\n"
    "                       1 to 9999999): --numbers 1000,10000 gives SIM-1000 and SIM-10000\n"
    "  --image-size BYTES   the bootloader knows the image size: the image is complete when this\n"
    "                       many bytes have arrived (default: one second without a block)\n"
    "  --refuse-block K     the bootloader refuses its K-th block once\n"
    "  --vanish-at-block K  the controller leaves for good at its K-th block\n"
    "  --silent             the controller takes the bootloader command and then does nothing\n"
    "  --serial TEXT        every controller carries the serial number TEXT, as units of one\n"
    "                       batch whose firmware gives them all one\n"
    "  --no-serial          the controllers carry no serial number at all\n"
    "  --hub                the controllers sit behind a hub on port 1 of bus 1 (USB ports 1-1.1,\n"
    "                       1-1.2, ...) instead of on ports 1-1, 1-2, ... of their own\n"
    "\n"
    "Each controller keeps its USB port when it restarts into its bootloader and back; the\n"
    "events name it by its number (SIM-0001, ...) whatever serial number it carries.\n";

struct Options {
    int count = 1;
    std::vector<int> numbers; // of the controllers, in plug-in order; empty: 1 to count
    bool hub = false;
    fakehid::SimulatedControllerConfig controller;
    std::vector<char *> command;
};

std::optional<long> number(const char *text, long low, long high)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return std::nullopt;
    return value;
}

// A comma-separated list of controller numbers; empty when it is not one.
std::vector<int> numberList(const char *text)
{
    std::vector<int> numbers;
    std::string rest = text;
    for (;;) {
        const size_t comma = rest.find(',');
        const std::optional<long> n = number(rest.substr(0, comma).c_str(), 1, 9999999);
        if (!n || numbers.size() == 99)
            return {};
        numbers.push_back(int(*n));
        if (comma == std::string::npos)
            return numbers;
        rest.erase(0, comma + 1);
    }
}

// Returns the options, or nothing after printing why the command line is wrong.
std::optional<Options> parse(int argc, char **argv)
{
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--silent" || arg == "--no-serial" || arg == "--hub") {
            bool &flag = arg == "--silent"      ? options.controller.silentAfterBootloaderCommand
                         : arg == "--no-serial" ? options.controller.withoutSerial
                                                : options.hub;
            flag = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0)
            break; // the command starts here
        if (i + 1 >= argc) {
            std::fprintf(stderr, "controller-sim: %s needs a value\n", arg.c_str());
            return std::nullopt;
        }
        const char *value = argv[++i];
        std::optional<long> n;
        if (arg == "--count" && (n = number(value, 1, 99)))
            options.count = int(*n);
        else if (arg == "--numbers" && (options.numbers = numberList(value)).size() > 0)
            continue;
        else if (arg == "--image-size" && (n = number(value, 0, 0xffffffffL)))
            options.controller.imageSize = size_t(*n);
        else if (arg == "--refuse-block" && (n = number(value, 1, 1 << 30)))
            options.controller.refuseBlock = int(*n);
        else if (arg == "--vanish-at-block" && (n = number(value, 1, 1 << 30)))
            options.controller.vanishAtBlock = int(*n);
        else if (arg == "--serial" && *value != '\0' && std::strlen(value) < 128)
            options.controller.serialText = value;
        else {
            std::fprintf(stderr, "controller-sim: bad option or value: %s %s\n", arg.c_str(), value);
            return std::nullopt;
        }
    }
    for (; i < argc; ++i)
        options.command.push_back(argv[i]);
    if (options.command.empty()) {
        std::fputs("controller-sim: no command given\n", stderr);
        return std::nullopt;
    }
    options.command.push_back(nullptr);
    return options;
}

std::string describe(const fakehid::ControllerEvent &event)
{
    using Event = fakehid::ControllerEvent;
    char text[160];
    switch (event.kind) {
    case Event::BootloaderCommand:
        return "bootloader command";
    case Event::OtherFeatureReport:
        return "feature report of " + std::to_string(event.bytes) + " bytes, not a command: ignored";
    case Event::ReportRefused:
        return "feature report of " + std::to_string(event.bytes) + " bytes refused";
    case Event::Block:
        return "block " + std::to_string(event.block) + ": " + std::to_string(event.bytes) + " bytes";
    case Event::BlockRefused:
        return "block " + std::to_string(event.block) + " refused; the image starts again";
    case Event::Vanished:
        return "vanished at block " + std::to_string(event.block);
    case Event::BootloaderUp:
        return "bootloader up on " + event.devnode;
    case Event::ImageComplete: {
        const QByteArray digest =
            QCryptographicHash::hash(QByteArrayView(event.image.data(), qsizetype(event.image.size())),
                                     QCryptographicHash::Sha256)
                .toHex();
        return "image complete: " + std::to_string(event.bytes) + " bytes, sha256 " + digest.toStdString();
    }
    case Event::ApplicationUp:
        std::snprintf(text, sizeof text, "Sim Flight Stick %x.%x up on %s", event.release >> 8,
                      event.release & 0xff, event.devnode.c_str());
        return text;
    }
    return "unknown event";
}

// An environment that puts the child into the fake /sys and /dev.
std::vector<std::string> childEnvironment(const std::string &testbedRoot)
{
    std::vector<std::string> env;
    std::string preload = kPreloadLibrary;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("UMOCKDEV_DIR=", 0) == 0)
            continue;
        if (entry.rfind("LD_PRELOAD=", 0) == 0) {
            const std::string others = entry.substr(11);
            if (others.find(kPreloadLibrary) != std::string::npos)
                preload = others;
            else if (!others.empty())
                preload += ":" + others;
            continue;
        }
        env.push_back(entry);
    }
    env.push_back("UMOCKDEV_DIR=" + testbedRoot);
    env.push_back("LD_PRELOAD=" + preload);
    return env;
}

volatile sig_atomic_t childPid = 0;

// Ctrl-C and friends go to the child, which decides how to end; this program then ends with it.
void forwardSignal(int signal)
{
    if (childPid > 0)
        kill(childPid, signal);
}

int exitStatusOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::optional<Options> options = parse(argc, argv);
    // The uevents that announce a controller's comings and goings are made from the fake /sys,
    // which this process sees only under the preload library too.
    fakehid::ensurePreloaded(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int status = 0;
    {
        fakehid::Testbed bed;
        std::mutex printLock;
        std::vector<std::unique_ptr<fakehid::SimulatedController>> controllers;
        std::vector<int> numbers = options->numbers;
        if (numbers.empty()) {
            for (int n = 1; n <= options->count; ++n)
                numbers.push_back(n);
        }
        for (size_t unit = 0; unit < numbers.size(); ++unit) {
            const int n = numbers[unit];
            fakehid::SimulatedControllerConfig config = options->controller;
            config.number = n;
            if (options->hub)
                config.usbPort = "1-1." + std::to_string(unit + 1);
            char serial[16];
            std::snprintf(serial, sizeof serial, "SIM-%04d", n);
            const std::string name = serial;
            controllers.push_back(std::make_unique<fakehid::SimulatedController>(
                bed, config, [&printLock, name](const fakehid::ControllerEvent &event) {
                    const std::string line = name + ": " + describe(event) + "\n";
                    std::lock_guard<std::mutex> lock(printLock);
                    std::fputs(line.c_str(), stdout);
                }));
            std::lock_guard<std::mutex> lock(printLock);
            std::printf("%s: Sim Flight Stick 1.2 up on %s\n", serial, controllers.back()->devnode().c_str());
        }

        const std::vector<std::string> env = childEnvironment(bed.rootDir());
        std::vector<char *> envp;
        for (const std::string &entry : env)
            envp.push_back(const_cast<char *>(entry.c_str()));
        envp.push_back(nullptr);

        struct sigaction forward = {};
        forward.sa_handler = forwardSignal;
        sigemptyset(&forward.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaction(signal, &forward, nullptr);

        pid_t pid = 0;
        const int spawnError =
            posix_spawnp(&pid, options->command[0], nullptr, nullptr, options->command.data(), envp.data());
        if (spawnError != 0) {
            std::fprintf(stderr, "controller-sim: cannot run %s: %s\n", options->command[0],
                         std::strerror(spawnError));
            status = 127;
        } else {
            childPid = pid;
            while (waitpid(pid, &status, 0) < 0) {
                if (errno != EINTR) {
                    std::perror("controller-sim: waiting for the command");
                    status = 1 << 8;
                    break;
                }
            }
            childPid = 0;
            status = exitStatusOf(status);
        }
    } // the controllers leave before their testbed
    return status;
}

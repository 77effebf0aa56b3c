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
#include <chrono>
#include <condition_variable>
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
#include <thread>
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
    "  --other-model K      the K-th controller is another model of the same maker (product ID\n"
    "                       5a52 instead of 5a51)\n"
    "  --one-by-one         the controllers are plugged in one at a time, as on a production\n"
    "                       line: each next one when the one before is back with new firmware\n"
    "  --replug K           the K-th controller, once back with new firmware the first time, is\n"
    "                       unplugged and plugged in again on the same port a second later\n"
    "\n"
    "Each controller keeps its USB port when it restarts into its bootloader and back; the\n"
    "events name it by its number (SIM-0001, ...) whatever serial number it carries.\n";

struct Options {
    int count = 1;
    std::vector<int> numbers; // of the controllers, in plug-in order; empty: 1 to count
    bool hub = false;
    bool oneByOne = false;
    int otherModel = 0; // 1-based position; 0: none
    int replug = 0;     // 1-based position; 0: none
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
        if (arg == "--silent" || arg == "--no-serial" || arg == "--hub" || arg == "--one-by-one") {
            bool &flag = arg == "--silent"      ? options.controller.silentAfterBootloaderCommand
                         : arg == "--no-serial" ? options.controller.withoutSerial
                         : arg == "--hub"       ? options.hub
                                                : options.oneByOne;
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
        else if (arg == "--other-model" && (n = number(value, 1, 99)))
            options.otherModel = int(*n);
        else if (arg == "--replug" && (n = number(value, 1, 99)))
            options.replug = int(*n);
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

// The simulated controllers and their comings and goings. Controllers are plugged in and out on a
// thread of the rack's own: their events arrive on their own threads, which cannot make or destroy
// a controller.
class Rack {
public:
    Rack(fakehid::Testbed &bed, const Options &options)
        : m_bed(bed), m_oneByOne(options.oneByOne), m_replug(options.replug)
    {
        std::vector<int> numbers = options.numbers;
        if (numbers.empty()) {
            for (int n = 1; n <= options.count; ++n)
                numbers.push_back(n);
        }
        m_units.resize(numbers.size());
        for (size_t i = 0; i < numbers.size(); ++i) {
            Unit &unit = m_units[i];
            unit.config = options.controller;
            unit.config.number = numbers[i];
            if (options.hub)
                unit.config.usbPort = "1-1." + std::to_string(i + 1);
            if (options.otherModel == int(i) + 1)
                unit.config.productId = fakehid::simulated::productId + 1;
            char name[16];
            std::snprintf(name, sizeof name, "SIM-%04d", numbers[i]);
            unit.name = name;
        }
        for (size_t i = 0; i < m_units.size() && (i == 0 || !m_oneByOne); ++i)
            plug(i);
        m_thread = std::thread([this] { run(); });
    }

    ~Rack()
    {
        {
            std::lock_guard<std::mutex> lock(m_mx);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
        for (Unit &unit : m_units)
            unit.controller.reset(); // before their testbed
    }

private:
    struct Unit {
        std::string name;
        fakehid::SimulatedControllerConfig config;
        std::unique_ptr<fakehid::SimulatedController> controller; // the rack's thread only
        int updatedReturns = 0;                                   // guarded by m_mx
    };
    enum class Action { Plug, Replug };

    void print(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(m_printLock);
        std::fputs(line.c_str(), stdout);
    }

    void plug(size_t i)
    {
        Unit &unit = m_units[i];
        unit.controller = std::make_unique<fakehid::SimulatedController>(
            m_bed, unit.config, [this, i](const fakehid::ControllerEvent &event) { onEvent(i, event); });
        print(unit.name + ": Sim Flight Stick 1.2 up on " + unit.controller->devnode() + "\n");
    }

    void onEvent(size_t i, const fakehid::ControllerEvent &event)
    {
        print(m_units[i].name + ": " + describe(event) + "\n");
        if (event.kind != fakehid::ControllerEvent::ApplicationUp ||
            event.release != fakehid::simulated::updatedRelease)
            return;
        std::lock_guard<std::mutex> lock(m_mx);
        if (++m_units[i].updatedReturns != 1)
            return;
        if (m_oneByOne && i + 1 < m_units.size())
            m_actions.push_back({Action::Plug, i + 1});
        if (m_replug == int(i) + 1)
            m_actions.push_back({Action::Replug, i});
        m_cv.notify_all();
    }

    // Waits `pause`; false when the rack stops meanwhile.
    bool pause(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds pause)
    {
        return !m_cv.wait_for(lock, pause, [this] { return m_stop; });
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mx);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || !m_actions.empty(); });
            if (m_stop)
                return;
            const auto [action, i] = m_actions.front();
            m_actions.erase(m_actions.begin());
            if (action == Action::Replug) {
                if (!pause(lock, std::chrono::seconds(1)))
                    return;
                lock.unlock();
                m_units[i].controller.reset();
                print(m_units[i].name + ": unplugged\n");
                lock.lock();
                if (!pause(lock, std::chrono::milliseconds(500)))
                    return;
            }
            lock.unlock();
            plug(i);
            lock.lock();
        }
    }

    fakehid::Testbed &m_bed;
    const bool m_oneByOne;
    const int m_replug;
    std::vector<Unit> m_units;
    std::mutex m_printLock;
    std::mutex m_mx; // guards m_stop, m_actions and the units' updatedReturns
    std::condition_variable m_cv;
    bool m_stop = false;
    std::vector<std::pair<Action, size_t>> m_actions;
    std::thread m_thread;
};

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
        Rack rack(bed, *options);

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

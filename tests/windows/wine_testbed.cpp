// Plays the devices of the Windows tests that run under wine: a Linux program that sets up fake
// hidraw devices on umockdev, starts the command (wine with a Windows test program) inside that
// testbed, so that wine's HID bus takes the fake devices for real ones, and answers the command's
// requests (testbed_protocol.h) until it ends.
//
//     wine_testbed [--descriptors DEVICES_JSON] [--refuse-block K] -- COMMAND [ARGS...]
//
// Always plugs in two simulated controllers (testbed::kFlashedSerial, testbed::kSilentSerial);
// with --descriptors also one device for every descriptor with a joystick or game pad collection;
// with --refuse-block the first controller's bootloader refuses its K-th block once.
// Exits with the command's status.

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "simulated_controller.h"
#include "testbed_protocol.h"

namespace {

// Holds the first controller's bootloader at one block, so that a picture can be taken part way
// through a transfer.
struct BlockHold {
    std::mutex lock;
    std::condition_variable changed;
    int block = 0; // armed: the block to hold at
    bool held = false, released = true;

    void onEvent(const fakehid::ControllerEvent &event) // umockdev's worker thread
    {
        if (event.kind != fakehid::ControllerEvent::Block)
            return;
        std::unique_lock guard(lock);
        if (block == 0 || event.block != block)
            return;
        block = 0;
        held = true;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return released; });
        held = false;
    }
};

struct Devices {
    fakehid::Testbed &bed;
    BlockHold hold;
    std::vector<std::unique_ptr<fakehid::SimulatedController>> controllers;
    std::vector<std::unique_ptr<fakehid::FakeHidraw>> descriptorDevices;

    fakehid::SimulatedController *controller(const std::string &serial)
    {
        for (auto &c : controllers)
            if (c && c->serial() == serial)
                return c.get();
        return nullptr;
    }
};

bool plugDescriptors(Devices &devices, const std::string &path)
{
    std::string text, error;
    testsupport::Json list;
    if (!testsupport::readFile(path, text) || !testsupport::Json::parse(text, list, error) ||
        !list.isArray()) {
        std::fprintf(stderr, "wine_testbed: cannot read %s %s\n", path.c_str(), error.c_str());
        return false;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (!testbed::hasGameCollection(list[i]))
            continue;
        fakehid::DeviceConfig config;
        config.vid = testbed::kDescriptorVendorId;
        config.pid = static_cast<uint16_t>(testbed::kDescriptorProductBase + i);
        config.hidName = list[i]["name"].asString();
        config.hidUniq = "DESC-" + std::to_string(i);
        config.reportDescriptor = testbed::hexBytes(list[i]["descriptor_hex"].asString());
        devices.descriptorDevices.push_back(std::make_unique<fakehid::FakeHidraw>(devices.bed, config));
    }
    return true;
}

// The Linux layer's reading of an input report of the controller now on the bus.
std::string decodeWithLinuxLayer(fakehid::SimulatedController *controller, const std::string &hex)
{
    if (!controller)
        return "no such controller";
    hid_device *dev = hid_open_path(controller->devnode().c_str());
    if (!dev)
        return "cannot open " + controller->devnode();
    std::string answer = "failed";
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps = {};
    if (hid_get_preparsed_data(dev, &preparsed) == 0) {
        std::vector<uint8_t> report = testbed::hexBytes(hex);
        if (hid_get_caps(dev, preparsed, &caps) == 0 && report.size() == caps.InputReportByteLength)
            answer = testbed::decodeReport(dev, preparsed, caps, report.data());
        else
            answer = "report of " + std::to_string(report.size()) + " bytes, expected " +
                     std::to_string(caps.InputReportByteLength);
        hid_free_preparsed_data(dev, preparsed);
    }
    hid_close(dev);
    return answer;
}

std::string completedImage(fakehid::SimulatedController *controller)
{
    if (!controller)
        return "no such controller";
    // The last block completes the image at once; the deadline only bounds a transfer gone wrong.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (controller->completedImages() == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return "none";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const fakehid::Bytes image = controller->lastImage();
    gchar *digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256, image.data(), image.size());
    const std::string answer = std::to_string(image.size()) + " " + digest;
    g_free(digest);
    return answer;
}

std::string answer(Devices &devices, const std::string &request)
{
    const size_t space = request.find(' ');
    const std::string verb = request.substr(0, space);
    std::string rest = space == std::string::npos ? "" : request.substr(space + 1);
    const size_t second = rest.find(' ');
    const std::string serial = rest.substr(0, second);
    const std::string argument = second == std::string::npos ? "" : rest.substr(second + 1);
    if (verb == "@decode")
        return decodeWithLinuxLayer(devices.controller(serial), argument);
    if (verb == "@image")
        return completedImage(devices.controller(serial));
    if (verb == "@hold") {
        std::lock_guard guard(devices.hold.lock);
        devices.hold.block = std::atoi(argument.c_str());
        devices.hold.released = false;
        return "ok";
    }
    if (verb == "@held") {
        std::unique_lock guard(devices.hold.lock);
        return devices.hold.changed.wait_for(guard, std::chrono::seconds(30),
                                             [&] { return devices.hold.held; })
                   ? "held"
                   : "not held";
    }
    if (verb == "@release") {
        {
            std::lock_guard guard(devices.hold.lock);
            devices.hold.released = true;
        }
        devices.hold.changed.notify_all();
        return "ok";
    }
    if (verb == "@commands") {
        fakehid::SimulatedController *controller = devices.controller(serial);
        return controller ? std::to_string(controller->bootloaderCommands()) + " " +
                                std::to_string(controller->completedImages())
                          : "no such controller";
    }
    if (verb == "@unplug") {
        for (auto &c : devices.controllers)
            if (c && c->serial() == serial) {
                c.reset(); // unplugs it
                return "ok";
            }
        return "no such controller";
    }
    return "unknown request";
}

volatile sig_atomic_t childPid = 0;

void forwardSignal(int signal)
{
    if (childPid > 0)
        kill(childPid, signal);
}

} // namespace

int main(int argc, char **argv)
{
    fakehid::ensurePreloaded(argc, argv);
    std::string descriptors;
    int refuseBlock = 0;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--descriptors") == 0 && i + 1 < argc)
            descriptors = argv[++i];
        else if (std::strcmp(argv[i], "--refuse-block") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
            refuseBlock = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: wine_testbed [--descriptors DEVICES_JSON] [--refuse-block K] -- "
                                 "COMMAND [ARGS...]\n");
            return 2;
        }
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "wine_testbed: no command given\n");
        return 2;
    }
    std::vector<char *> command(argv + i + 1, argv + argc);
    command.push_back(nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int status = 1;
    {
        fakehid::Testbed bed; // sets UMOCKDEV_DIR, which the command inherits with LD_PRELOAD
        Devices devices{bed, {}, {}, {}};
        fakehid::SimulatedControllerConfig flashed;
        flashed.number = 1;
        flashed.imageSize = testbed::kFirmwareSize;
        flashed.refuseBlock = refuseBlock;
        devices.controllers.push_back(std::make_unique<fakehid::SimulatedController>(
            bed, flashed,
            [&devices](const fakehid::ControllerEvent &event) { devices.hold.onEvent(event); }));
        fakehid::SimulatedControllerConfig silent;
        silent.number = 2;
        silent.silentAfterBootloaderCommand = true;
        devices.controllers.push_back(std::make_unique<fakehid::SimulatedController>(bed, silent));
        if (!descriptors.empty() && !plugDescriptors(devices, descriptors))
            return 2;

        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
            std::perror("wine_testbed: pipe");
            return 2;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        pid_t pid = 0;
        extern char **environ;
        const int spawnError = posix_spawnp(&pid, command[0], &actions, nullptr, command.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        if (spawnError != 0) {
            std::fprintf(stderr, "wine_testbed: cannot run %s: %s\n", command[0], std::strerror(spawnError));
            return 127;
        }
        childPid = pid;
        struct sigaction forward = {};
        forward.sa_handler = forwardSignal;
        sigemptyset(&forward.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaction(signal, &forward, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        FILE *requests = fdopen(fromChild[0], "r");
        char line[8192];
        while (requests && std::fgets(line, sizeof line, requests)) {
            std::string text = line;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            if (text.empty() || text[0] != '@') {
                std::puts(text.c_str());
                continue;
            }
            const std::string reply = answer(devices, text) + "\n";
            std::printf("%s -> %s", text.c_str(), reply.c_str());
            if (write(toChild[1], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                std::perror("wine_testbed: answering");
        }
        if (requests)
            std::fclose(requests);
        close(toChild[1]);
        int raw = 0;
        while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
        }
        childPid = 0;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    } // the devices leave before their testbed
    return status;
}

// The command tst_controllersim runs under controller-sim: it finds the controller SIM-0002,
// restarts it into its bootloader, sends it a 150-byte image in three blocks and exits with 7.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "hid.h"

namespace {

// The path of the first listed device with this product (and serial, when given) text.
std::string find(const wchar_t *product, const wchar_t *serial)
{
    std::string found;
    hid_device_info *list = hid_enumerate(0x1209, 0);
    for (hid_device_info *d = list; d != nullptr && found.empty(); d = d->next) {
        hid_device *device = hid_open_path(d->path);
        wchar_t text[64] = {}, number[64] = {};
        if (device != nullptr && hid_get_product_string(device, text, 64) == 0 &&
            hid_get_serial_number_string(device, number, 64) == 0 && std::wcscmp(text, product) == 0 &&
            (serial == nullptr || std::wcscmp(number, serial) == 0))
            found = d->path;
        hid_close(device);
    }
    hid_free_enumeration(list);
    return found;
}

std::string waitFor(const wchar_t *product, const wchar_t *serial)
{
    for (int attempt = 0; attempt < 1200; ++attempt) {
        const std::string path = find(product, serial);
        if (!path.empty())
            return path;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

bool send(const std::string &path, const std::vector<std::vector<unsigned char>> &reports)
{
    hid_device *device = hid_open_path(path.c_str());
    bool sent = device != nullptr;
    for (const auto &report : reports)
        sent = sent && hid_send_feature_report(device, report.data(), report.size()) == int(report.size());
    hid_close(device);
    return sent;
}

} // namespace

int main()
{
    const std::string application = waitFor(L"Sim Flight Stick", L"SIM-0002");
    std::vector<unsigned char> command(54, 0);
    command[1] = 0xDE;
    command[2] = 0xFA;
    command[3] = 0xCE;
    if (application.empty() || !send(application, {command})) {
        std::fputs("probe: no SIM-0002 to restart\n", stderr);
        return 1;
    }
    const std::string bootloader = waitFor(L"Bootloader", L"SIM-0002");
    std::vector<std::vector<unsigned char>> blocks(3, std::vector<unsigned char>(65, 0));
    for (int i = 0; i < 150; ++i)
        blocks[size_t(i / 64)][size_t(1 + i % 64)] = static_cast<unsigned char>(i * 7 + 3);
    if (bootloader.empty() || !send(bootloader, blocks)) {
        std::fputs("probe: the bootloader did not take the image\n", stderr);
        return 1;
    }
    return 7;
}

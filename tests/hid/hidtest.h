// Shared helpers of the HID layer suites.
#pragma once

#include "fake_hidraw.h"
#include "hid.h"

#include <QTest>

#include <memory>
#include <string>

namespace hidtest {

struct HandleCloser {
    void operator()(hid_device *dev) const { hid_close(dev); }
};
using Handle = std::unique_ptr<hid_device, HandleCloser>;

inline Handle open(const std::string &path)
{
    return Handle(hid_open_path(path.c_str()));
}

struct ListFreer {
    void operator()(hid_device_info *list) const { hid_free_enumeration(list); }
};
using List = std::unique_ptr<hid_device_info, ListFreer>;

inline QString text(const wchar_t *s)
{
    return s ? QString::fromWCharArray(s) : QString();
}

} // namespace hidtest

// The suites' main(): re-executes under umockdev's preload library first, so the suite object
// (and its testbed) is only ever built in the preloaded process.
#define FAKE_HIDRAW_TEST_MAIN(TestClass)                                                                     \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        fakehid::ensurePreloaded(argc, argv);                                                                \
        TestClass suite;                                                                                     \
        return QTest::qExec(&suite, argc, argv);                                                             \
    }

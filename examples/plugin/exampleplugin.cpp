// An example hardware plug-in for one controller model. It counts the input reports its controller
// delivers and, when created, asks the program's HID layer how many controllers of its model are
// plugged in, to show that a plug-in may call the program's exported hid_ functions.
//
// Build: as part of the program (target example_plugin), or on its own with the include paths of the
// program's source folder and its hid/ folder. Install: copy example-plugin.so (example-plugin.dll on
// Windows) into the folder `hardware` under the program's working directory.
#include <atomic>

#include "device/pluginapi.h"
#include "hid/hid.h"

namespace {

// The controller this plug-in serves, and its key as the program forms it.
constexpr unsigned short ControllerVendorId = 0x16c0;
constexpr unsigned short ControllerProductId = 0x05df;
constexpr char ControllerKey[] = "0x16c0-0x05df";
static_assert(sizeof ControllerKey <= flasher_plugin::IdentifierSlotSize, "a key fits one slot");

int countPluggedControllers()
{
    int count = 0;
    hid_device_info *list = hid_enumerate(ControllerVendorId, ControllerProductId);
    for (const hid_device_info *record = list; record != nullptr; record = record->next)
        ++count;
    hid_free_enumeration(list);
    return count;
}

class ExampleController final : public AbstractHardware {
public:
    explicit ExampleController(uint16_t releaseNumber)
        : m_releaseNumber(releaseNumber), m_pluggedAtStart(countPluggedControllers())
    {
    }

    // Input reports arrive on the program's monitor thread, report-ID byte first. The counters are
    // atomic because the program may ask for them from its other thread.
    void processInput(uint8_t *data, uint32_t bytes) override
    {
        if (data == nullptr || bytes == 0)
            return;
        m_reports.fetch_add(1, std::memory_order_relaxed);
        m_lastReportId.store(data[0], std::memory_order_relaxed);
    }

    // The program never calls these; a plug-in may give them any meaning. Here they answer what
    // the plug-in has seen, which is handy when trying it out.
    int32_t queryB() override { return int32_t(m_reports.load(std::memory_order_relaxed)); }
    int32_t queryC() override { return m_pluggedAtStart; }
    int32_t queryD() override { return m_releaseNumber; }
    int32_t queryE() override { return m_lastReportId.load(std::memory_order_relaxed); }

private:
    const uint16_t m_releaseNumber;
    const int32_t m_pluggedAtStart;
    std::atomic<uint32_t> m_reports{0};
    std::atomic<uint8_t> m_lastReportId{0};
};

} // namespace

FLASHER_PLUGIN_EXPORT void FLASHER_PLUGIN_CALL GetPluginIdentifier(char *block)
{
    // One key in the first slot; the zeroed second slot ends the list.
    for (std::size_t i = 0; i < sizeof ControllerKey; ++i)
        block[i] = ControllerKey[i];
}

FLASHER_PLUGIN_EXPORT AbstractHardware *FLASHER_PLUGIN_CALL CreatePluginPointer(uint16_t releaseNumber)
{
    try {
        return new ExampleController(releaseNumber);
    } catch (...) {
        return nullptr; // no exception may cross into the program
    }
}

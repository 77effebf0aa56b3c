// A plug-in for the plug-in suite, built once per identifier block: the compile definition
// BLOCK_<name> picks what GetPluginIdentifier writes, PLUGIN_TAG tells the builds apart,
// WITHOUT_CREATOR leaves CreatePluginPointer out, CREATES_NOTHING makes it return null and
// NEEDS_MISSING_FUNCTION makes the library depend on a function no program has.
#include <atomic>
#include <cstring>

#include "device/pluginapi.h"

#ifndef PLUGIN_TAG
#define PLUGIN_TAG 1
#endif

#if defined(NEEDS_MISSING_FUNCTION)
extern "C" void flasherTestFunctionNoProgramHas();
#endif

namespace {

// Each block literal spells out its bytes; every slot is 14 bytes. Copied without the literal's own
// terminator, so a block of 70 characters fills the block exactly.
#if defined(BLOCK_TWO_KEYS)
constexpr char Block[] = "0x0001-0x0002\0"
                         "0x0001-0x0003\0";
#elif defined(BLOCK_FIVE_KEYS)
constexpr char Block[] = "0x0005-0x0001\0"
                         "0x0005-0x0002\0"
                         "0x0005-0x0003\0"
                         "0x0005-0x0004\0"
                         "0x0005-0x0005\0";
#elif defined(BLOCK_UNTERMINATED)
// Five slots without a terminator, and bytes past the block that must never be read.
constexpr char Block[] = "0x0001-0x00020"
                         "0x0001-0x00021"
                         "0x0001-0x00022"
                         "0x0001-0x00023"
                         "0x0001-0x00024"
                         "ZZZZ";
#elif defined(BLOCK_GARBAGE)
// Bytes after a terminator in a slot, bytes that are not UTF-8, and a slot after the empty one.
constexpr char Block[] = "ab\0zzzzzzzzzzz"
                         "\xff\xfex\0\0\0\0\0\0\0\0\0\0\0"
                         "\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                         "0x0009-0x0009\0";
#elif defined(BLOCK_EMPTY_FIRST_SLOT)
constexpr char Block[] = "\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                         "0x0001-0x0002\0";
#elif defined(BLOCK_UPPER_CASE)
constexpr char Block[] = "0x00AB-0x0001\0";
#elif defined(BLOCK_SHARED_KEY)
constexpr char Block[] = "0x0007-0x0007\0";
#elif defined(BLOCK_DEVICE)
// The scripted joystick's vendor and product.
constexpr char Block[] = "0x1209-0x0001\0";
#elif defined(BLOCK_SIMULATED)
// The simulated controller's vendor and product, for the Windows build's check under wine.
constexpr char Block[] = "0x1209-0x5a51\0";
#else
#error "choose an identifier block"
#endif

static_assert(sizeof Block - 1 <= flasher_plugin::IdentifierBlockSize || sizeof Block - 1 == 74,
              "only the unterminated block writes past its 70 bytes");

std::atomic<int> g_created{0};
std::atomic<int> g_destroyed{0};

class RecordingHardware final : public AbstractHardware {
public:
    explicit RecordingHardware(uint16_t releaseNumber) : m_releaseNumber(releaseNumber) {}
    ~RecordingHardware() override { ++g_destroyed; }

    void setBuffers(uint8_t *) override { ++m_setupCalls; }
    void deviceAccepted() override { ++m_setupCalls; }
    void processInput(uint8_t *data, uint32_t bytes) override
    {
        ++m_reports;
        m_lastBytes = int32_t(bytes);
        m_lastSecondByte = bytes > 1 ? data[1] : -1;
#if defined(NEEDS_MISSING_FUNCTION)
        flasherTestFunctionNoProgramHas();
#endif
    }

    int32_t queryA() override
    {
        return PLUGIN_TAG;
    }
    int32_t queryB() override
    {
        return m_reports;
    }
    int32_t queryC() override
    {
        return m_releaseNumber;
    }
    int32_t queryD() override
    {
        return m_lastSecondByte;
    }
    int32_t queryE() override
    {
        return m_lastBytes;
    }
    int32_t queryF() override
    {
        return m_setupCalls;
    }

private:
    const uint16_t m_releaseNumber;
    std::atomic<int32_t> m_reports{0}, m_lastBytes{0}, m_lastSecondByte{0}, m_setupCalls{0};
};

} // namespace

FLASHER_PLUGIN_EXPORT void FLASHER_PLUGIN_CALL GetPluginIdentifier(char *block)
{
    std::memcpy(block, Block, sizeof Block - 1);
}

#if !defined(WITHOUT_CREATOR)
FLASHER_PLUGIN_EXPORT AbstractHardware *FLASHER_PLUGIN_CALL CreatePluginPointer(uint16_t releaseNumber)
{
#if defined(CREATES_NOTHING)
    (void)releaseNumber;
    return nullptr;
#else
    ++g_created;
    return new RecordingHardware(releaseNumber);
#endif
}
#endif

// Counters the suite reads through the library's handle.
FLASHER_PLUGIN_EXPORT int FLASHER_PLUGIN_CALL TestPluginCreated()
{
    return g_created;
}
FLASHER_PLUGIN_EXPORT int FLASHER_PLUGIN_CALL TestPluginDestroyed()
{
    return g_destroyed;
}

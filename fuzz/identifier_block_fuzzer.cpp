// The identifier block a plug-in fills: any 70 bytes, read into the plug-in's identifiers. The block
// is exactly as long as the bytes that may be read, so a read past them is caught.
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "device/pluginapi.h"
#include "monitor/pluginidentifiers.h"

using flasher_plugin::IdentifierBlockSize;
using flasher_plugin::IdentifierSlotCount;
using flasher_plugin::IdentifierSlotSize;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto block = std::make_unique<char[]>(IdentifierBlockSize);
    std::memcpy(block.get(), data, std::min(size, IdentifierBlockSize));
    const QStringList identifiers = readPluginIdentifiers(block.get());

    if (size_t(identifiers.size()) > IdentifierSlotCount)
        __builtin_trap();
    for (qsizetype slot = 0; slot < identifiers.size(); ++slot) {
        const char *text = block.get() + size_t(slot) * IdentifierSlotSize;
        const size_t length = strnlen(text, IdentifierSlotSize);
        // No empty identifier: the list ends at the first empty slot.
        if (length == 0 || identifiers[slot].isEmpty())
            __builtin_trap();
        // Each identifier is its own slot's text, never joined with the next slot.
        if (identifiers[slot] != QString::fromUtf8(text, qsizetype(length)))
            __builtin_trap();
    }
    // The list stops only at an empty slot or after the last.
    const size_t count = size_t(identifiers.size());
    if (count < IdentifierSlotCount && block[count * IdentifierSlotSize] != '\0')
        __builtin_trap();
    return 0;
}

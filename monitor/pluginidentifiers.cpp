#include "pluginidentifiers.h"

#include <cstring>

#include "device/pluginapi.h"

QStringList readPluginIdentifiers(const char *block)
{
    QStringList identifiers;
    for (std::size_t slot = 0; slot < flasher_plugin::IdentifierSlotCount; ++slot) {
        const char *text = block + slot * flasher_plugin::IdentifierSlotSize;
        if (text[0] == '\0')
            break;
        identifiers << QString::fromUtf8(text, qsizetype(strnlen(text, flasher_plugin::IdentifierSlotSize)));
    }
    return identifiers;
}

// Reading the identifier block a plug-in's GetPluginIdentifier filled (see pluginapi.h).
#pragma once

#include <QStringList>

// The identifiers of a filled block of flasher_plugin::IdentifierBlockSize bytes, in slot order;
// nothing beyond those bytes is read. The list ends at the first empty slot. A slot is read up to
// its first zero byte and never past its own 14 bytes, so a slot without a terminator is cut rather
// than joined with the next.
QStringList readPluginIdentifiers(const char *block);

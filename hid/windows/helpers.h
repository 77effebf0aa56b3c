// Pure helpers of the Windows backend: no system calls, so they are tested directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hidwin {

// The interface number of a device-interface path: the hexadecimal digits right after the first
// "&mi_" ("...&mi_02#..." gives 2); -1 when the path holds no "&mi_" or no digit follows it.
int interfaceNumberFromPath(const char *path);

// Ends the text at its first carriage return. System messages end in "\r\n", which would break
// single-line diagnostics.
void cutAtFirstCarriageReturn(wchar_t *text);

// The buffer size in bytes offered to the system for a device-string query into a caller's buffer
// of `maxlen` wide characters: 250 bytes (125 characters, terminator included), or less when the
// caller's buffer is smaller, so the system never writes past it.
unsigned long stringQueryBytes(size_t maxlen);

// Writes `prefix` followed by `value` (decimal, or "0x" and eight upper-case hexadecimal digits)
// into `out`, truncated to fit and always terminated. For texts of failures that have no system
// message, such as parser statuses.
void formatCodeText(wchar_t *out, size_t capacity, const wchar_t *prefix, uint32_t value, bool hex);

} // namespace hidwin

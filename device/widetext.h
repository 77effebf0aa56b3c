// Conversion of device strings (wide characters from the HID layer) to the 8-bit text fields of
// the device objects. Every consumer decodes those fields as UTF-8, so the conversion produces
// UTF-8 whatever the process locale.
#pragma once

#include <cstddef>

// Converts the zero-terminated wide text (read at most up to `maxChars` characters) to UTF-8 in
// `dest`, always zero-terminated within `destSize` bytes (destSize >= 1). A text that does not fit
// is cut before the first character that would not fit whole. Characters that are not Unicode
// scalar values (lone surrogates, values above U+10FFFF) become U+FFFD. Returns the number of bytes
// written before the terminator.
size_t wideToUtf8(const wchar_t *text, size_t maxChars, char *dest, size_t destSize);

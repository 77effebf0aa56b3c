#include "widetext.h"

#include <cstdint>
#include <type_traits>

namespace {

constexpr char32_t replacementCharacter = 0xFFFD;

bool isSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

// Reads one code point at text[*index] (wchar_t is UTF-16 on Windows and UTF-32 elsewhere) and
// advances *index past it.
char32_t nextCodePoint(const wchar_t *text, size_t maxChars, size_t *index)
{
    const char32_t first = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[*index]));
    ++*index;
    if constexpr (sizeof(wchar_t) == 2) {
        if (first >= 0xD800 && first <= 0xDBFF && *index < maxChars) {
            const char32_t second = static_cast<char16_t>(text[*index]);
            if (second >= 0xDC00 && second <= 0xDFFF) {
                ++*index;
                return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
            }
        }
    }
    if (isSurrogate(first) || first > 0x10FFFF)
        return replacementCharacter;
    return first;
}

size_t encode(char32_t c, char *out)
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

} // namespace

size_t wideToUtf8(const wchar_t *text, size_t maxChars, char *dest, size_t destSize)
{
    size_t written = 0;
    size_t index = 0;
    while (index < maxChars && text[index] != L'\0') {
        char bytes[4];
        const size_t length = encode(nextCodePoint(text, maxChars, &index), bytes);
        if (written + length + 1 > destSize)
            break;
        for (size_t i = 0; i < length; ++i)
            dest[written++] = bytes[i];
    }
    dest[written] = '\0';
    return written;
}

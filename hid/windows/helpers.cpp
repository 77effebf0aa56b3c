#include "helpers.h"

#include "hexdigit.h"

#include <climits>
#include <cstring>
#include <cwchar>

namespace hidwin {

int interfaceNumberFromPath(const char *path)
{
    if (!path)
        return -1;
    const char *marker = std::strstr(path, "&mi_");
    if (!marker)
        return -1;
    const char *digits = marker + 4;
    if (hexDigitValue(*digits) < 0)
        return -1;
    int number = 0;
    // Real interface numbers have two digits; a longer run stops before it would overflow.
    for (const char *p = digits; hexDigitValue(*p) >= 0 && number <= (INT_MAX >> 4); ++p)
        number = number * 16 + hexDigitValue(*p);
    return number;
}

void cutAtFirstCarriageReturn(wchar_t *text)
{
    if (!text)
        return;
    if (wchar_t *cr = std::wcschr(text, L'\r'))
        *cr = L'\0';
}

unsigned long stringQueryBytes(size_t maxlen)
{
    const size_t systemLimitChars = 125;
    const size_t chars = maxlen < systemLimitChars ? maxlen : systemLimitChars;
    return static_cast<unsigned long>(chars * sizeof(wchar_t));
}

void formatCodeText(wchar_t *out, size_t capacity, const wchar_t *prefix, uint32_t value, bool hex)
{
    if (!out || capacity == 0)
        return;
    wchar_t digits[16];
    size_t count = 0;
    if (hex) {
        for (int shift = 28; shift >= 0; shift -= 4)
            digits[count++] = L"0123456789ABCDEF"[(value >> shift) & 0xF];
    } else {
        wchar_t reversed[16];
        size_t n = 0;
        do {
            reversed[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value);
        while (n)
            digits[count++] = reversed[--n];
    }

    size_t used = 0;
    auto append = [&](wchar_t c) {
        if (used + 1 < capacity)
            out[used++] = c;
    };
    for (const wchar_t *p = prefix; p && *p; ++p)
        append(*p);
    if (hex) {
        append(L'0');
        append(L'x');
    }
    for (size_t i = 0; i < count; ++i)
        append(digits[i]);
    out[used] = L'\0';
}

} // namespace hidwin

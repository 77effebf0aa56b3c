// Hexadecimal digits in device paths and sysfs names, of either letter case.
#pragma once

// The digit's value, or -1 for a character that is not a hexadecimal digit.
constexpr int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

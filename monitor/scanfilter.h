// The supported controllers: the vendor and product IDs the flasher scans for, in scan order.
// This table is the one place they are listed; the README and the udev rules are made from it.
#pragma once

#include <array>
#include <cstdint>

struct ScanFilter {
    uint16_t vendorId;
    uint16_t productId; // 0: every product of the vendor
};

inline constexpr std::array<ScanFilter, 6> scanFilters{{
    {0x1209, 0x0000}, // open-hardware registry vendor: any product
    {0x16C0, 0x05DF},
    {0x16C0, 0x27D9},
    {0x16C0, 0x27DA},
    {0x16C0, 0x27DB},
    {0x16C0, 0x27DC},
}};

// The texts that tell the desktop which devices are supported controllers: udev rules that let the
// user at the seat open their hidraw nodes, and the modalias globs of the AppStream metainfo that
// let software centres offer the flasher when such a device is plugged in. Both are made from the
// scan filter table at build time, so they cannot disagree with what the flasher looks for.
#pragma once

#include "monitor/scanfilter.h"

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace desktopmatch {

// Every hidraw node under a USB device of a supported vendor and product gets the "uaccess" tag;
// logind then gives the user at the seat read and write access to it (the tag must be set before
// 73-seat-late.rules, hence the number in the file name). No mode is changed, so the node never
// becomes writable for other users.
inline std::string udevRules(std::span<const ScanFilter> filters)
{
    std::string rules =
        "# Made from the flasher's table of supported controllers when it is built; do not edit.\n"
        "# Gives the user at the seat read and write access to the hidraw nodes of these\n"
        "# controllers, which the flasher needs to list and flash them.\n\n";
    char line[160];
    for (const ScanFilter &filter : filters) {
        if (filter.productId == 0)
            std::snprintf(line, sizeof line,
                          "KERNEL==\"hidraw*\", SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"%04x\", "
                          "TAG+=\"uaccess\"\n",
                          filter.vendorId);
        else
            std::snprintf(line, sizeof line,
                          "KERNEL==\"hidraw*\", SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"%04x\", "
                          "ATTRS{idProduct}==\"%04x\", TAG+=\"uaccess\"\n",
                          filter.vendorId, filter.productId);
        rules += line;
    }
    return rules;
}

// One <modalias> element per row, each on its own line after `indent`. USB modaliases spell the
// identifiers in upper-case hex ("usb:v16C0p05DFd0100dc00...").
inline std::string appstreamModaliases(std::span<const ScanFilter> filters, std::string_view indent)
{
    std::string out;
    char glob[40];
    for (const ScanFilter &filter : filters) {
        if (filter.productId == 0)
            std::snprintf(glob, sizeof glob, "usb:v%04Xp*", filter.vendorId);
        else
            std::snprintf(glob, sizeof glob, "usb:v%04Xp%04Xd*", filter.vendorId, filter.productId);
        out.append(indent).append("<modalias>").append(glob).append("</modalias>\n");
    }
    return out;
}

// The metainfo template with its marker line replaced by the modaliases, at the marker's
// indentation. Empty when the template lacks the marker.
inline std::string expandMetainfo(std::string_view templ, std::span<const ScanFilter> filters)
{
    constexpr std::string_view marker = "<!-- supported controllers -->";
    const size_t at = templ.find(marker);
    if (at == std::string_view::npos)
        return {};
    const size_t lineStart = templ.rfind('\n', at) == std::string_view::npos ? 0 : templ.rfind('\n', at) + 1;
    size_t lineEnd = templ.find('\n', at);
    lineEnd = lineEnd == std::string_view::npos ? templ.size() : lineEnd + 1;
    std::string out(templ.substr(0, lineStart));
    out += appstreamModaliases(filters, templ.substr(lineStart, at - lineStart));
    out += templ.substr(lineEnd);
    return out;
}

} // namespace desktopmatch

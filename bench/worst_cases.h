// Report descriptors a broken or hostile device could send, built to make the parser, the usage
// queries and enumeration do as much work as the limits allow: at most 4096 bytes (the most hidraw
// hands over), input reports of at most 1024 bytes (the most the input device decodes), and the
// parser's own limits (1024 usages per main item, 255 top-level collections, 32 nested Push
// items). Shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace worstcase {

inline constexpr size_t kDescriptorBytes = 4096;
inline constexpr uint32_t kReportBytes = 1024; // report-ID byte included

class Builder {
public:
    // One short item; `bytes` data bytes (0, 1, 2 or 4), little-endian.
    Builder &item(uint8_t tagAndType, uint32_t data, int bytes)
    {
        static constexpr uint8_t kSizeCode[5] = {0, 1, 2, 0, 3};
        out.push_back(uint8_t(tagAndType | kSizeCode[bytes]));
        for (int i = 0; i < bytes; ++i)
            out.push_back(uint8_t(data >> (8 * i)));
        return *this;
    }
    // The shortest encoding of an unsigned value.
    Builder &value(uint8_t tagAndType, uint32_t data)
    {
        return item(tagAndType, data, data == 0 ? 0 : data <= 0xFF ? 1 : data <= 0xFFFF ? 2 : 4);
    }
    Builder &usagePage(uint16_t page) { return value(0x04, page); }
    Builder &usage(uint16_t usage) { return value(0x08, usage); }
    Builder &usageMin(uint16_t usage) { return value(0x18, usage); }
    Builder &usageMax(uint16_t usage) { return value(0x28, usage); }
    Builder &reportSize(uint32_t bits) { return value(0x74, bits); }
    Builder &reportCount(uint32_t count) { return value(0x94, count); }
    Builder &reportId(uint8_t id) { return value(0x84, id); }
    Builder &logicalMax(uint32_t max) { return item(0x24, max, 4); }
    Builder &input(uint32_t bits) { return item(0x80, bits, 1); }
    Builder &feature(uint32_t bits) { return item(0xB0, bits, 1); }
    Builder &collection(uint8_t type) { return item(0xA0, type, 1); }
    Builder &endCollection() { return item(0xC0, 0, 0); }
    Builder &push() { return item(0xA4, 0, 0); }
    Builder &pop() { return item(0xB4, 0, 0); }

    size_t size() const { return out.size(); }
    std::vector<uint8_t> out;
};

inline constexpr uint32_t kArray = 0x00, kVariable = 0x02;

// A joystick whose buttons are one array item of 1024 usages (1023 single usages 0, then a range,
// which the input device needs first among its button caps), with `fieldBits`-bit fields filling
// a 1024-byte input report. The parser makes one button cap per usage, all sharing the fields.
inline std::vector<uint8_t> arrayOf1024Usages(uint32_t fieldBits)
{
    Builder b;
    b.usagePage(0x01).usage(0x04).collection(0x01).usagePage(0x09).logicalMax(0xFFFF);
    b.reportSize(fieldBits).reportCount((kReportBytes - 1) * 8 / fieldBits);
    for (int i = 0; i < 1023; ++i)
        b.usage(0);
    b.usageMin(1).usageMax(1).input(kArray);
    // Padding to a whole report.
    const uint32_t used = (kReportBytes - 1) * 8 / fieldBits * fieldBits;
    if (used < (kReportBytes - 1) * 8)
        b.reportSize(1).reportCount((kReportBytes - 1) * 8 - used).input(0x01);
    b.endCollection();
    return b.out;
}

// A 1024-byte report for arrayOf1024Usages: field k holds position k modulo 1025, so that the fields
// name usages of every cap in turn (1-bit fields can only name the first two).
inline std::vector<uint8_t> arrayReport(uint32_t fieldBits)
{
    std::vector<uint8_t> report(kReportBytes, 0);
    const uint32_t fields = (kReportBytes - 1) * 8 / fieldBits;
    for (uint32_t k = 0; k < fields; ++k) {
        const uint32_t value = fieldBits >= 11 ? (k * 7 + 1) % 1025 : (1u << fieldBits) - 1;
        for (uint32_t i = 0; i < fieldBits; ++i) {
            const uint32_t bit = 8 + k * fieldBits + i;
            if (value >> i & 1)
                report[bit / 8] |= uint8_t(1u << (bit % 8));
        }
    }
    return report;
}

// A joystick whose value caps of report 1 all hold Generic Desktop usage 0, as many as 4 KiB allow,
// beside one button in report 2. A report 2 makes every value lookup of the input device's walk
// all of them: the first value cap with the usage belongs to report 1.
inline std::vector<uint8_t> valueCapsOfAnotherReport()
{
    Builder b;
    b.usagePage(0x01).usage(0x04).collection(0x01);
    b.reportId(2).usagePage(0x09).usageMin(1).usageMax(1).reportSize(1).reportCount(1).input(kVariable);
    b.reportCount(7).input(0x01);
    b.reportId(1).usagePage(0x01).reportSize(2).logicalMax(3);
    while (b.size() + 1024 + 8 < kDescriptorBytes) {
        b.reportCount(1024);
        for (int i = 0; i < 1024; ++i)
            b.usage(0);
        b.input(kVariable);
    }
    const size_t rest = std::min<size_t>(kDescriptorBytes - b.size() - 6, 1024);
    b.reportCount(uint32_t(rest));
    for (size_t i = 0; i < rest; ++i)
        b.usage(0);
    b.input(kVariable);
    b.endCollection();
    return b.out;
}

// Report 2 of valueCapsOfAnotherReport (2 bytes; the collection's input report length is that of
// report 1), its button pressed.
inline std::vector<uint8_t> anotherReport(size_t length)
{
    std::vector<uint8_t> report(length, 0);
    report[0] = 2;
    report[1] = 1;
    return report;
}

// 255 top-level collections (the most the parser takes), each a joystick with its own report ID,
// an axis and a feature value, filling 4 KiB: enumeration lists one record per collection.
inline std::vector<uint8_t> collections255()
{
    Builder b;
    b.usagePage(0x01).reportSize(8).reportCount(1);
    const size_t perCollection = 15, extraItem = 4;
    size_t extras = (kDescriptorBytes - b.size() - 255 * perCollection) / extraItem;
    for (int c = 1; c <= 255; ++c) {
        b.usage(0x04).collection(0x01).reportId(uint8_t(c)).usage(0x30).input(kVariable);
        if (extras > 0) {
            b.usage(0x32).input(kVariable);
            --extras;
        }
        b.usage(0x31).feature(kVariable).endCollection();
    }
    return b.out;
}

// Value caps whose usage ranges span the most the value index takes (4095 usages, a field each),
// three report types of 16 each (the data indices a report type can number), in as many top-level
// collections as 4 KiB hold. Every cap covers the usages the first one already took.
inline std::vector<uint8_t> largestUsageRanges()
{
    Builder b;
    for (int c = 1; c <= 255; ++c) {
        Builder col;
        col.usagePage(0x01).usage(0x04).collection(0x01).usagePage(0x01).reportSize(2).reportCount(4095);
        for (int type = 0; type < 3; ++type) {
            for (int i = 0; i < 16; ++i) {
                col.reportId(uint8_t(1 + i / 4)).usageMin(0).usageMax(4094);
                col.item(type == 0 ? 0x80 : type == 1 ? 0x90 : 0xB0, kVariable, 1);
            }
        }
        col.endCollection();
        if (b.size() + col.size() > kDescriptorBytes)
            break;
        b.out.insert(b.out.end(), col.out.begin(), col.out.end());
    }
    return b.out;
}

// Value caps each on a usage page of its own, as many as 4 KiB hold (the parser keeps a list of
// the pages with value fields per report type).
inline std::vector<uint8_t> usagesOnDistinctPages()
{
    Builder b;
    b.usagePage(0x01).usage(0x04).collection(0x01).reportSize(2);
    uint32_t page = 0x100;
    while (b.size() + 16 < kDescriptorBytes) {
        const uint32_t count = std::min<uint32_t>(1000, uint32_t(kDescriptorBytes - b.size() - 8) / 4);
        b.reportCount(count);
        for (uint32_t i = 0; i < count; ++i)
            b.usagePage(uint16_t(page++)).usage(0);
        b.input(kVariable);
    }
    b.endCollection();
    return b.out;
}

// Push items 32 deep and back, over and over, with a value item at every depth so that every
// level of the stack is used: 4 KiB of them.
inline std::vector<uint8_t> deepPushStacks()
{
    Builder b;
    b.usagePage(0x01).usage(0x04).collection(0x01).usagePage(0x01).reportSize(8).reportCount(1);
    while (b.size() + 32 * 4 + 32 + 1 <= kDescriptorBytes) {
        for (int d = 0; d < 32; ++d)
            b.push().usage(0x30).feature(kVariable);
        for (int d = 0; d < 32; ++d)
            b.pop();
    }
    b.endCollection();
    return b.out;
}

} // namespace worstcase

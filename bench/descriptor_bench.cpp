// Parsing descriptors and decoding one input report the way the input device does (every value
// usage of the input value caps, then one usage query for the buttons), beside a hand-written
// extractor of the same fields as the baseline. A counting operator new shows whether decoding
// allocates: the "allocs" counter must stay 0 for the decode benchmarks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "counting_new.h"
#include "descriptor/descriptor.h"
#include "paired.h"
#include "worst_cases.h"

namespace {

std::vector<uint8_t> hex(const char *text)
{
    std::vector<uint8_t> out;
    std::string s(text);
    for (size_t i = 0; i + 1 < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

// A joystick: report ID 20, 32 buttons, a 4-bit hat, X/Y/Rx/Ry and two sliders of 10 bits.
const std::vector<uint8_t> kJoystick =
    hex("05 01 09 04 a1 01 85 14 15 00 25 01 75 01 95 20 05 09 19 01 29 20 81 02 15 00 25 07 35 00 46 3b 01 "
        "75 04 95 01 65 14 05 01 09 39 81 42 05 01 09 01 a1 00 15 00 26 ff 03 75 0a 95 04 09 30 09 31 09 33 "
        "09 34 81 02 c0 15 00 26 ff 03 75 0a 95 02 09 36 09 36 81 02 c0");
const std::vector<uint8_t> kJoystickReport = hex("14 a8 1d 0a 91 28 00 5a 7e 89 dd ba 89");

// A 193-byte game pad descriptor with a consumer-control collection beside it.
const std::vector<uint8_t> kGamepad193 = hex("05 01 09 05 a1 01 85 01 05 09 0a 01 00 0a 02 00 0a 04 00 0a 05 "
                                             "00 0a 07 00 0a 08 00 0a 0e 00 0a 0f 00 0a "
                                             "0d 00 05 0c 0a 24 02 0a 23 02 15 00 25 01 75 01 95 0b 81 02 75 "
                                             "01 95 01 81 03 05 01 75 04 95 01 25 07 46 "
                                             "3b 01 66 14 00 09 39 81 42 66 00 00 09 01 a1 00 09 30 09 31 09 "
                                             "32 09 35 05 02 09 c5 09 c4 15 00 26 ff 00 "
                                             "35 00 46 ff 00 75 08 95 06 81 02 c0 85 02 05 08 09 01 09 02 09 "
                                             "03 09 04 15 00 25 01 75 01 95 04 91 02 75 "
                                             "04 95 01 91 03 c0 05 0c 09 01 a1 01 85 03 15 00 25 01 75 01 95 "
                                             "01 0a 24 02 81 02 75 07 95 01 81 03 c0 05 "
                                             "0c 09 01 a1 01 85 04 09 40 75 08 95 01 81 02 c0");

void BM_ParseJoystick(benchmark::State &state)
{
    std::string error;
    for (auto _ : state) {
        auto c = hidparse::parseCollection(kJoystick.data(), kJoystick.size(), 0, error);
        benchmark::DoNotOptimize(c.get());
    }
    state.counters["bytes"] = double(kJoystick.size());
}
BENCHMARK(BM_ParseJoystick);

void BM_Parse193ByteDescriptor(benchmark::State &state)
{
    std::string error;
    if (!hidparse::parseCollection(kGamepad193.data(), kGamepad193.size(), 0, error))
        state.SkipWithError(error.c_str());
    for (auto _ : state) {
        auto c = hidparse::parseCollection(kGamepad193.data(), kGamepad193.size(), 0, error);
        benchmark::DoNotOptimize(c.get());
    }
    state.counters["bytes"] = double(kGamepad193.size());
}
BENCHMARK(BM_Parse193ByteDescriptor);

// A flight controller with report ID 1: 32 buttons and sixteen 16-bit axes, each its own value cap,
// the most the input device decodes. The walk over the value caps before the one asked for grows
// with the square of their number, so this is where a slow lookup shows.
const std::vector<uint8_t> kSixteenAxes =
    hex("05 01 09 04 a1 01 85 01 05 09 19 01 29 20 15 00 25 01 75 01 95 20 81 02 05 01 16 00 80 26 ff 7f "
        "75 10 95 10 09 30 09 31 09 32 09 33 09 34 09 35 09 36 09 37 09 38 09 40 09 41 09 42 09 43 09 44 "
        "09 45 09 46 81 02 c0");

std::vector<uint8_t> sixteenAxesReport()
{
    std::vector<uint8_t> report{0x01, 0x5a, 0x00, 0x81, 0x80};
    for (uint8_t i = 0; i < 32; ++i)
        report.push_back(uint8_t(i * 37 + 11));
    return report;
}

// What the input device keeps per device, and its decode of one report: caps fetched once, at
// discovery; per report every value usage of the input value caps, then one usage query for the
// buttons.
struct Decoder {
    hidparse::CollectionPtr collection;
    HIDP_CAPS caps{};
    HIDP_BUTTON_CAPS buttonCaps[128]{};
    HIDP_VALUE_CAPS valueCaps[16]{};
    USAGE usages[128]{};
    ULONG values[16]{};

    explicit Decoder(const std::vector<uint8_t> &descriptor)
    {
        std::string error;
        collection = hidparse::parseCollection(descriptor.data(), descriptor.size(), 0, error);
        if (!collection)
            return;
        hidparse::getCaps(*collection, &caps);
        USHORT buttonCount = 128, valueCount = 16;
        hidparse::getButtonCaps(*collection, HidP_Input, buttonCaps, &buttonCount);
        hidparse::getValueCaps(*collection, HidP_Input, valueCaps, &valueCount);
        caps.NumberInputButtonCaps = std::min<USHORT>(buttonCount, 128);
        caps.NumberInputValueCaps = std::min<USHORT>(valueCount, 16);
    }

    // Out of line, as every decode is one call per report; the same holds for HandDecoder.
    [[gnu::noinline]] ULONG decode(const uint8_t *report)
    {
        const hidparse::Collection &c = *collection;
        const ULONG length = caps.InputReportByteLength;
        unsigned slot = 0;
        for (USHORT i = 0; i < caps.NumberInputValueCaps; ++i) {
            const HIDP_VALUE_CAPS &v = valueCaps[i];
            for (uint32_t u = v.Range.UsageMin; u <= v.Range.UsageMax && slot < 16; ++u)
                hidparse::getUsageValue(c, HidP_Input, v.UsagePage, 0, USAGE(u), &values[slot++], report,
                                        length);
        }
        // The HID layer hands the query no more room than the caller's list, 128 usages here.
        ULONG count =
            std::min<ULONG>(hidparse::maxUsageListLength(c, HidP_Input, buttonCaps[0].UsagePage), 128);
        hidparse::getUsages(c, HidP_Input, buttonCaps[0].UsagePage, 0, usages, &count, report, length);
        return count;
    }
};

// The same fields of the joystick's report, by hand: the positions are fixed by its layout.
struct HandDecoder {
    USAGE usages[128]{};
    ULONG values[16]{};

    static uint32_t bits(const uint8_t *r, unsigned position, unsigned size)
    {
        uint64_t acc = 0;
        const unsigned first = position / 8, last = (position + size - 1) / 8;
        for (unsigned i = first; i <= last; ++i)
            acc |= uint64_t(r[i]) << (8 * (i - first));
        return uint32_t((acc >> (position % 8)) & ((uint64_t(1) << size) - 1));
    }

    [[gnu::noinline]] ULONG decode(const uint8_t *report)
    {
        if (report[0] != 0x14)
            return 0;
        values[0] = bits(report, 40, 4);                          // hat
        static constexpr unsigned kAxes[] = {44, 54, 64, 74, 94}; // X, Y, Rx, Ry, slider (last declared)
        for (unsigned i = 0; i < 5; ++i)
            values[1 + i] = bits(report, kAxes[i], 10);
        values[6] = values[5]; // the duplicated slider answers with the same field
        ULONG count = 0;
        const uint32_t buttons = bits(report, 8, 32);
        for (unsigned b = 0; b < 32; ++b) {
            if (buttons >> b & 1)
                usages[count++] = USAGE(b + 1);
        }
        return count;
    }
};

// Decodes `report` over and over. The decoded fields are made visible after every decode, and the
// report pointer is hidden from the compiler, so that no decode's work can be dropped or folded
// into the next: with the hand-written extractor inlined and its fields unread, the compiler
// would keep only the count of buttons on.
template <class D> void decodeLoop(benchmark::State &state, D &d, const std::vector<uint8_t> &report)
{
    const long before = countingnew::allocations.load();
    for (auto _ : state) {
        const uint8_t *r = report.data();
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(d.decode(r));
        benchmark::DoNotOptimize(d.values);
        benchmark::DoNotOptimize(d.usages);
    }
    state.counters["allocs"] = double(countingnew::allocations.load() - before);
    state.counters["buttons_on"] = double(d.decode(report.data()));
}

void BM_DecodeReport(benchmark::State &state)
{
    Decoder d(kJoystick);
    decodeLoop(state, d, kJoystickReport);
}
BENCHMARK(BM_DecodeReport);

void BM_DecodeReportByHand(benchmark::State &state)
{
    HandDecoder d;
    decodeLoop(state, d, kJoystickReport);
}
BENCHMARK(BM_DecodeReportByHand);

void BM_DecodeSixteenAxes(benchmark::State &state)
{
    Decoder d(kSixteenAxes);
    if (!d.collection || d.caps.NumberInputValueCaps != 16)
        state.SkipWithError("the sixteen-axis descriptor does not give sixteen value caps");
    decodeLoop(state, d, sixteenAxesReport());
}
BENCHMARK(BM_DecodeSixteenAxes);

// Worst cases: descriptors a hostile device could send, at the limits the code accepts (see
// worst_cases.h). Each is checked to parse, so that a limit moving under them shows as an error
// rather than as a fast benchmark.

void parseLoop(benchmark::State &state, const std::vector<uint8_t> &descriptor)
{
    std::string error;
    if (!hidparse::parseCollection(descriptor.data(), descriptor.size(), 0, error))
        state.SkipWithError(error.c_str());
    for (auto _ : state) {
        auto c = hidparse::parseCollection(descriptor.data(), descriptor.size(), 0, error);
        benchmark::DoNotOptimize(c.get());
    }
    state.counters["bytes"] = double(descriptor.size());
}

void BM_WorstParse255Collections(benchmark::State &state)
{
    parseLoop(state, worstcase::collections255());
}
BENCHMARK(BM_WorstParse255Collections);

void BM_WorstParseLargestRanges(benchmark::State &state)
{
    parseLoop(state, worstcase::largestUsageRanges());
}
BENCHMARK(BM_WorstParseLargestRanges);

void BM_WorstParseDistinctPages(benchmark::State &state)
{
    parseLoop(state, worstcase::usagesOnDistinctPages());
}
BENCHMARK(BM_WorstParseDistinctPages);

void BM_WorstParseDeepPush(benchmark::State &state)
{
    parseLoop(state, worstcase::deepPushStacks());
}
BENCHMARK(BM_WorstParseDeepPush);

void BM_WorstParseArray(benchmark::State &state)
{
    parseLoop(state, worstcase::arrayOf1024Usages(1));
}
BENCHMARK(BM_WorstParseArray);

// The input device's decode of one report of the 1024-usage array: Arg is the field width.
void BM_WorstDecodeArray(benchmark::State &state)
{
    const uint32_t bits = uint32_t(state.range(0));
    Decoder d(worstcase::arrayOf1024Usages(bits));
    if (!d.collection || d.caps.InputReportByteLength != worstcase::kReportBytes)
        state.SkipWithError("the array descriptor does not give 1024-byte input reports");
    decodeLoop(state, d, worstcase::arrayReport(bits));
}
BENCHMARK(BM_WorstDecodeArray)->Arg(1)->Arg(11);

void BM_WorstDecodeValueWalk(benchmark::State &state)
{
    Decoder d(worstcase::valueCapsOfAnotherReport());
    if (!d.collection || d.caps.InputReportByteLength > worstcase::kReportBytes ||
        d.caps.NumberInputValueCaps != 16)
        state.SkipWithError("the value walk descriptor does not give 16 value caps in a decodable report");
    decodeLoop(state, d, worstcase::anotherReport(d.caps.InputReportByteLength));
}
BENCHMARK(BM_WorstDecodeValueWalk);

// Budgets are ratios to a plain reference measured in the same run, in interleaved pairs (see
// paired.h): the decode against the hand-written extractor, each worst-case decode against the
// joystick's decode, each worst-case parse against the parse of the 191-byte game pad descriptor.
// Each benchmark runs its pairs once; its counters are the median ratio and the range it lies in
// with 95 % confidence, and the two sides' median CPU time per call.
constexpr int kPairs = 201;

// One decode of `report` by `d`, its fields kept, as in decodeLoop.
template <class D> auto decodeCall(D &d, const std::vector<uint8_t> &report)
{
    return [&d, &report] {
        const uint8_t *r = report.data();
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(d.decode(r));
        benchmark::DoNotOptimize(d.values);
        benchmark::DoNotOptimize(d.usages);
    };
}

auto parseCall(const std::vector<uint8_t> &descriptor)
{
    return [&descriptor] {
        std::string error;
        auto c = hidparse::parseCollection(descriptor.data(), descriptor.size(), 0, error);
        benchmark::DoNotOptimize(c.get());
    };
}

// Calls of a side per batch: about half a millisecond of CPU for a call of `nsPerCall`.
int callsFor(double nsPerCall)
{
    return std::max(1, int(5e5 / nsPerCall));
}

template <class A, class B> void reportPairs(benchmark::State &state, A &&a, B &&b)
{
    // A first batch of each side sizes the batches.
    const auto firstCall = [](auto &fn) {
        const double start = paired::threadCpuNs();
        for (int i = 0; i < 100; ++i)
            fn();
        return (paired::threadCpuNs() - start) / 100;
    };
    const int aCalls = callsFor(firstCall(a)), bCalls = callsFor(firstCall(b));
    paired::Result r;
    for (auto _ : state)
        r = paired::run(int(state.range(0)), aCalls, a, bCalls, b);
    state.counters["ratio"] = r.ratio.median;
    state.counters["ratio_low"] = r.ratio.low;
    state.counters["ratio_high"] = r.ratio.high;
    state.counters["a_ns"] = r.aNs;
    state.counters["b_ns"] = r.bNs;
}

void BM_PairDecodeOverExtractor(benchmark::State &state)
{
    Decoder d(kJoystick);
    HandDecoder h;
    reportPairs(state, decodeCall(d, kJoystickReport), decodeCall(h, kJoystickReport));
}
BENCHMARK(BM_PairDecodeOverExtractor)->Arg(kPairs)->Iterations(1);

// Arg 1 or 11: the 1024-usage array of that field width; 0: the walk past 4000 value caps.
void BM_PairWorstDecodeOverDecode(benchmark::State &state)
{
    const int which = int(state.range(1));
    const std::vector<uint8_t> descriptor =
        which == 0 ? worstcase::valueCapsOfAnotherReport() : worstcase::arrayOf1024Usages(uint32_t(which));
    Decoder worst(descriptor);
    if (!worst.collection)
        state.SkipWithError("the worst-case descriptor does not parse");
    const std::vector<uint8_t> report = which == 0
                                            ? worstcase::anotherReport(worst.caps.InputReportByteLength)
                                            : worstcase::arrayReport(uint32_t(which));
    Decoder plain(kJoystick);
    reportPairs(state, decodeCall(worst, report), decodeCall(plain, kJoystickReport));
}
BENCHMARK(BM_PairWorstDecodeOverDecode)
    ->Args({kPairs, 1})
    ->Args({kPairs, 11})
    ->Args({kPairs, 0})
    ->Iterations(1);

// Arg 0..4: 255 collections, the largest ranges, a page per cap, Push 32 deep, the 1024-usage array.
void BM_PairWorstParseOverParse(benchmark::State &state)
{
    std::vector<uint8_t> descriptor;
    switch (state.range(1)) {
    case 0:
        descriptor = worstcase::collections255();
        break;
    case 1:
        descriptor = worstcase::largestUsageRanges();
        break;
    case 2:
        descriptor = worstcase::usagesOnDistinctPages();
        break;
    case 3:
        descriptor = worstcase::deepPushStacks();
        break;
    default:
        descriptor = worstcase::arrayOf1024Usages(1);
        break;
    }
    std::string error;
    if (!hidparse::parseCollection(descriptor.data(), descriptor.size(), 0, error))
        state.SkipWithError(error.c_str());
    reportPairs(state, parseCall(descriptor), parseCall(kGamepad193));
}
BENCHMARK(BM_PairWorstParseOverParse)
    ->Args({kPairs, 0})
    ->Args({kPairs, 1})
    ->Args({kPairs, 2})
    ->Args({kPairs, 3})
    ->Args({kPairs, 4})
    ->Iterations(1);

} // namespace

BENCHMARK_MAIN();

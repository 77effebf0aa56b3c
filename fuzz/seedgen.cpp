// Writes the seed corpora of the fuzz targets: the report descriptors and input reports of the test
// vectors in tests/data (hex texts under "descriptor_hex", "tlc_descriptor_hex" and "report_hex"),
// laid out as each target reads its input, plus a few hand-made identifier blocks and firmware
// images.
//
// Usage: seedgen <tests/data folder> <corpus folder>; writes <corpus folder>/<target>/seed-NNNN.
#include "hexdigit.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Vector {
    Bytes descriptor;
    std::vector<Bytes> reports;
};

// "05 01 09 04" -> bytes; spaces are optional.
Bytes fromHex(const std::string &text)
{
    Bytes out;
    int high = -1;
    for (const char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            continue;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    return out;
}

// The string value after each occurrence of "key": in the text, with the offset of the key.
void findValues(const std::string &text, const std::string &key,
                std::vector<std::pair<size_t, std::string>> &found)
{
    const std::string quoted = "\"" + key + "\"";
    for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
        size_t open = text.find_first_not_of(" \t\r\n:", at + quoted.size());
        if (open == std::string::npos || text[open] != '"')
            continue;
        const size_t close = text.find('"', open + 1);
        if (close == std::string::npos)
            break;
        found.emplace_back(at, text.substr(open + 1, close - open - 1));
    }
}

// Each descriptor with the reports that follow it up to the next descriptor of the same file.
std::vector<Vector> readVectors(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::pair<size_t, std::string>> descriptors, tlcDescriptors, reports;
    findValues(text, "descriptor_hex", descriptors);
    findValues(text, "tlc_descriptor_hex", tlcDescriptors);
    findValues(text, "report_hex", reports);

    std::vector<Vector> vectors;
    for (size_t i = 0; i < descriptors.size(); ++i) {
        Vector v{fromHex(descriptors[i].second), {}};
        const size_t end = i + 1 < descriptors.size() ? descriptors[i + 1].first : text.size();
        for (const auto &[at, hex] : reports) {
            if (at > descriptors[i].first && at < end)
                v.reports.push_back(fromHex(hex));
        }
        vectors.push_back(std::move(v));
    }
    for (const auto &[at, hex] : tlcDescriptors)
        vectors.push_back({fromHex(hex), {}});
    return vectors;
}

class Corpus {
public:
    Corpus(fs::path folder) : m_folder(std::move(folder)) { fs::create_directories(m_folder); }
    void add(const Bytes &seed)
    {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%04d", m_count++);
        std::ofstream(m_folder / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(seed.data()), std::streamsize(seed.size()));
    }

private:
    fs::path m_folder;
    int m_count = 0;
};

void appendLength(Bytes &out, size_t length)
{
    out.push_back(uint8_t(length & 0xFF));
    out.push_back(uint8_t(length >> 8 & 0xFF));
}

void append(Bytes &out, const Bytes &bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// descriptor_fuzzer: the first byte b makes (b * rest) / 255 of the rest the descriptor.
void descriptorSeeds(Corpus &corpus, const Vector &v)
{
    Bytes whole{0xFF};
    append(whole, v.descriptor);
    corpus.add(whole);
    for (const Bytes &report : v.reports) {
        const size_t rest = v.descriptor.size() + report.size();
        for (unsigned b = 0; b < 256; ++b) {
            if (b * rest / 255 == v.descriptor.size()) {
                Bytes seed{uint8_t(b)};
                append(seed, v.descriptor);
                append(seed, report);
                corpus.add(seed);
                break;
            }
        }
    }
}

// device_input_fuzzer: descriptor length, descriptor, report records. hidraw leaves out the
// report-ID byte of devices without IDs, so the reports go in once as written and once without it.
void deviceInputSeeds(Corpus &corpus, const Vector &v)
{
    if (v.descriptor.size() > 0xFFFF)
        return;
    for (const bool dropFirst : {false, true}) {
        Bytes seed;
        appendLength(seed, v.descriptor.size());
        append(seed, v.descriptor);
        for (const Bytes &report : v.reports) {
            const size_t skip = dropFirst && !report.empty() ? 1 : 0;
            appendLength(seed, report.size() - skip);
            seed.insert(seed.end(), report.begin() + long(skip), report.end());
            appendLength(seed, 0); // a read that times out between reports
        }
        corpus.add(seed);
        if (v.reports.empty())
            break;
    }
}

void identifierSeeds(Corpus &corpus)
{
    const std::vector<std::vector<std::string>> blocks = {
        {"0x16c0-0x05df"},
        {"0x16c0-0x05df", "0x1209-0x0001"},
        {"0x0001-0x0001", "0x0002-0x0002", "0x0003-0x0003", "0x0004-0x0004", "0x0005-0x0005"},
        {"", "0x16c0-0x05df"},
        {"0x16C0-0x05DF"},
        {"\xc3\xa9t\xc3\xa9"},
    };
    for (const auto &keys : blocks) {
        Bytes block(70, 0);
        for (size_t slot = 0; slot < keys.size(); ++slot)
            for (size_t i = 0; i < keys[slot].size() && i < 14; ++i)
                block[slot * 14 + i] = uint8_t(keys[slot][i]);
        corpus.add(block);
    }
    corpus.add(Bytes(70, 'x')); // no terminator anywhere
}

void firmwareSeeds(Corpus &corpus)
{
    for (const size_t blockSize : {0, 1, 2, 3, 9, 65, 255, 4096}) {
        for (const size_t imageLength : {size_t(0), size_t(1), size_t(64), size_t(128), size_t(1000)}) {
            Bytes seed;
            appendLength(seed, blockSize);
            for (size_t i = 0; i < imageLength; ++i)
                seed.push_back(uint8_t(i * 7 + 1));
            corpus.add(seed);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: seedgen <tests/data folder> <corpus folder>\n";
        return 2;
    }
    const fs::path data = argv[1], out = argv[2];
    std::vector<Vector> vectors;
    for (const char *name : {"devices.json", "windows-parser.json"}) {
        if (!fs::exists(data / name)) {
            std::cerr << "seedgen: " << (data / name) << " is missing\n";
            return 1;
        }
        for (Vector &v : readVectors(data / name))
            vectors.push_back(std::move(v));
    }
    Corpus descriptor(out / "descriptor_fuzzer"), deviceInput(out / "device_input_fuzzer"),
        identifier(out / "identifier_block_fuzzer"), firmware(out / "firmware_blocks_fuzzer");
    size_t reports = 0;
    for (const Vector &v : vectors) {
        if (v.descriptor.empty())
            continue;
        descriptorSeeds(descriptor, v);
        deviceInputSeeds(deviceInput, v);
        reports += v.reports.size();
    }
    identifierSeeds(identifier);
    firmwareSeeds(firmware);
    std::cout << "seedgen: " << vectors.size() << " descriptors, " << reports << " reports\n";
    return 0;
}

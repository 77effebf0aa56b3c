// Runs the descriptor suites: the Windows-answer vectors, the device report decodings, edge
// cases, bad input, and value lookups against a walk over the value caps. Usage: descriptor_tests [DATA_DIR]
#include <cstdio>

#include "vector_support.h"

#ifndef DESCRIPTOR_TEST_DATA_DIR
#define DESCRIPTOR_TEST_DATA_DIR "tests/data"
#endif

int main(int argc, char **argv)
{
    using namespace descriptortest;
    const std::string dataDir = argc > 1 ? argv[1] : DESCRIPTOR_TEST_DATA_DIR;
    Checker t;
    Json windowsVectors, devices;
    std::string error;
    // The suites below run once per entry of these files: an empty file would leave them nothing to check.
    t.run("load windows-parser.json", [&] {
        t.check(loadJson(dataDir, "windows-parser.json", windowsVectors, error), error);
        t.check(windowsVectors.size() > 1, "windows-parser.json holds no vectors");
    });
    t.run("load devices.json", [&] {
        t.check(loadJson(dataDir, "devices.json", devices, error), error);
        t.check(devices.size() > 0, "devices.json holds no devices");
    });
    runWindowsParserVectors(t, windowsVectors);
    runDeviceReports(t, devices);
    runEdgeCases(t);
    runBadInput(t);
    runValueLookups(t, windowsVectors, devices);
    return t.finish();
}

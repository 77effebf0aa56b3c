// Runs the descriptor suites: the Windows-answer vectors, the device report decodings, edge
// cases and bad input. Usage: descriptor_tests [DATA_DIR]
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
    t.run("load windows-parser.json",
          [&] { t.check(loadJson(dataDir, "windows-parser.json", windowsVectors, error), error); });
    t.run("load devices.json", [&] { t.check(loadJson(dataDir, "devices.json", devices, error), error); });
    runWindowsParserVectors(t, windowsVectors);
    runDeviceReports(t, devices);
    runEdgeCases(t);
    runBadInput(t);
    return t.finish();
}

// Helpers shared by the descriptor test suites: loading test data and reading vector fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "descriptor/descriptor.h"
#include "json.h"

namespace descriptortest {

using Bytes = std::vector<uint8_t>;
using testsupport::Checker;
using testsupport::Json;

// The report type named in a vector ("input", "output", "feature"); anything else is an invalid
// type, passed on as such to the query under test.
HIDP_REPORT_TYPE reportType(const std::string &name);

// Status code from its name in a vector.
NTSTATUS statusFromName(const std::string &name);

Bytes hexBytes(const std::string &text);

// Parses top-level collection `index` of `descriptor`, recording a failure when it cannot.
hidparse::CollectionPtr parseOrFail(Checker &t, const Bytes &descriptor, size_t index);

// Loads a JSON file from the test data directory.
bool loadJson(const std::string &dataDir, const std::string &name, Json &out, std::string &error);

void runWindowsParserVectors(Checker &t, const Json &vectors);
void runDeviceReports(Checker &t, const Json &devices);
void runEdgeCases(Checker &t);
void runBadInput(Checker &t);

} // namespace descriptortest

#include "vector_support.h"
namespace descriptortest {
void runDeviceReports(Checker &, const Json &) {}
void runEdgeCases(Checker &) {}
void runBadInput(Checker &) {}
} // namespace descriptortest

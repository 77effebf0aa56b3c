#include "vector_support.h"
namespace descriptortest {
void runEdgeCases(Checker &) {}
void runBadInput(Checker &) {}
} // namespace descriptortest

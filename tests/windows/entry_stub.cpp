// Stands in for the program's main routine: checks the words the process entry hands over and
// answers 42 when they are exactly the ones the test passed, 1 otherwise.

#include <cstdio>
#include <cstring>

int flasherMain(int argc, char **argv)
{
    const char *const expected[] = {"two words", "plain", "", "back\\slash"};
    const int expectedCount = static_cast<int>(sizeof expected / sizeof expected[0]);
    if (argc != expectedCount + 1 || !argv[0] || argv[argc] != nullptr) {
        std::printf("argc %d\n", argc);
        return 1;
    }
    for (int i = 0; i < expectedCount; ++i) {
        if (std::strcmp(argv[i + 1], expected[i]) != 0) {
            std::printf("argv[%d] is \"%s\", expected \"%s\"\n", i + 1, argv[i + 1], expected[i]);
            return 1;
        }
    }
    return 42;
}

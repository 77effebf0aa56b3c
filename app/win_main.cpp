// The process entry of the Windows GUI program: splits the command line into words, converts each
// to 8-bit text in the system's ANSI code page and hands them to the main routine.

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

int flasherMain(int argc, char **argv);

namespace {

// The word in the ANSI code page, allocated with malloc; null when it cannot be converted.
char *toAnsiCodePage(const wchar_t *word)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, word, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return nullptr;
    auto *text = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
    if (text && WideCharToMultiByte(CP_ACP, 0, word, -1, text, size, nullptr, nullptr) <= 0) {
        std::free(text);
        text = nullptr;
    }
    return text;
}

void freeWords(char **words, int count)
{
    for (int i = 0; i < count; ++i)
        std::free(words[i]);
    std::free(words);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    LPWSTR *wideWords = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wideWords)
        return -1;

    // The vector ends with a null entry, as the main routine's callers expect.
    auto **argv = static_cast<char **>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char *)));
    bool converted = argv != nullptr;
    for (int i = 0; converted && i < argc; ++i) {
        argv[i] = toAnsiCodePage(wideWords[i]);
        converted = argv[i] != nullptr;
    }
    LocalFree(wideWords);
    if (!converted) {
        if (argv)
            freeWords(argv, argc);
        return -1;
    }

    const int result = flasherMain(argc, argv);
    freeWords(argv, argc);
    return result;
}

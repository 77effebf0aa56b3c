// Writes the build's udev rules and AppStream metainfo from the scan filter table.
//   make-desktop-files udev-rules <output>
//   make-desktop-files metainfo <template> <output>
#include "desktopmatch.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool readFile(const char *path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

bool writeFile(const char *path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good();
}

int usage()
{
    std::fputs("usage: make-desktop-files udev-rules <output>\n"
               "       make-desktop-files metainfo <template> <output>\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "udev-rules") == 0) {
        if (writeFile(argv[2], desktopmatch::udevRules(scanFilters)))
            return 0;
        std::fprintf(stderr, "make-desktop-files: cannot write %s\n", argv[2]);
        return 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "metainfo") == 0) {
        std::string templ;
        if (!readFile(argv[2], templ)) {
            std::fprintf(stderr, "make-desktop-files: cannot read %s\n", argv[2]);
            return 1;
        }
        const std::string metainfo = desktopmatch::expandMetainfo(templ, scanFilters);
        if (metainfo.empty()) {
            std::fprintf(stderr, "make-desktop-files: %s has no \"<!-- supported controllers -->\" line\n",
                         argv[2]);
            return 1;
        }
        if (writeFile(argv[3], metainfo))
            return 0;
        std::fprintf(stderr, "make-desktop-files: cannot write %s\n", argv[3]);
        return 1;
    }
    return usage();
}

// Resolves every function of the HID layer by name from this program's own dynamic symbols, as a
// plug-in or a debugger would from the flasher. The program never calls them itself.
#include <cstdio>
#include <dlfcn.h>
#include <iterator>

#include "../exported_hid_names.h"

int main()
{
    void *self = dlopen(nullptr, RTLD_NOW);
    size_t missing = 0;
    for (const char *name : kExportedHidNames) {
        if (!self || !dlsym(self, name)) {
            fprintf(stderr, "not exported: %s\n", name);
            ++missing;
        }
    }
    printf("%zu of %zu hid_ functions resolved\n", std::size(kExportedHidNames) - missing,
           std::size(kExportedHidNames));
    return missing == 0 ? 0 : 1;
}

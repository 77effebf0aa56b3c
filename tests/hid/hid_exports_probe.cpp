// Resolves every function of the HID layer by name from this program's own dynamic symbols, as a
// plug-in or a debugger would from the flasher. The program never calls them itself.
#include <cstdio>
#include <dlfcn.h>

int main()
{
    static const char *const names[] = {"hid_init",
                                        "hid_exit",
                                        "hid_enumerate",
                                        "hid_free_enumeration",
                                        "hid_open",
                                        "hid_open_path",
                                        "hid_close",
                                        "hid_read",
                                        "hid_read_timeout",
                                        "hid_write",
                                        "hid_set_nonblocking",
                                        "hid_send_feature_report",
                                        "hid_get_feature_report",
                                        "hid_get_manufacturer_string",
                                        "hid_get_product_string",
                                        "hid_get_serial_number_string",
                                        "hid_get_indexed_string",
                                        "hid_error",
                                        "hid_get_preparsed_data",
                                        "hid_free_preparsed_data",
                                        "hid_get_caps",
                                        "hid_get_buttoncaps",
                                        "hid_get_valuecaps",
                                        "hid_get_usages",
                                        "hid_get_usagevalue",
                                        "hid_get_data"};
    void *self = dlopen(nullptr, RTLD_NOW);
    size_t missing = 0;
    for (const char *name : names) {
        if (!self || !dlsym(self, name)) {
            fprintf(stderr, "not exported: %s\n", name);
            ++missing;
        }
    }
    printf("%zu of %zu hid_ functions resolved\n", sizeof names / sizeof *names - missing,
           sizeof names / sizeof *names);
    return missing == 0 ? 0 : 1;
}

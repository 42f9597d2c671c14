// Fuzzes the whole Ostrel module through its callback, loaded the way a panel host loads it. The
// input is a script of notifications and host replies (format in component_script.h).
#include "built_paths.h"
#include "component_script.h"

namespace {
zeph::host::Module g_module;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!g_module.open(zeph::built::ostrelModule)) {
        std::fprintf(stderr, "%s\n", g_module.error().c_str());
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zeph::fuzz::Script script(g_module.factory());
    script.run(zeph::fuzz::splitLines(data, size));
    return 0;
}

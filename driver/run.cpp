#include "driver/run.h"

#include <cstdlib>
#include <cstring>

namespace velt {

RunState g_run;

bool module_add(const char* name, size_t len, uint8_t kind) {
    if (g_run.module_last + 1 >= MODULE_TABLE_SIZE) return false;
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (!copy) return false;
    std::memcpy(copy, name, len);
    copy[len] = '\0';
    ++g_run.module_last;
    g_run.modules[g_run.module_last] = ModuleEntry{copy, kind};
    return true;
}

void run_reset_for_tests() {
    for (int i = 0; i <= g_run.module_last; ++i) std::free(g_run.modules[i].name);
    g_run = RunState{};
}

const char* module_name(uint32_t n) {
    // Before any module is current (request decoding, the checks before
    // loading) reports name the call's pseudo-module.
    if (n == 0 || static_cast<int>(n) - 1 > g_run.module_last) return "MainScript";
    return g_run.modules[n - 1].name;
}

}  // namespace velt

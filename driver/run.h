// Process-wide run state of the driver: mode, module table, current
// position, flags and counters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

enum class RunMode { CGI, Replay, Script };

constexpr int MODULE_TABLE_SIZE = 128;
constexpr int MAX_SCRIPT_MODULES = 127;
constexpr int TOP_CALL_MAX = 255;

enum ModuleKind : uint8_t { MODULE_INCLUDE = 0, MODULE_JS = 1, MODULE_JO = 2 };

struct ModuleEntry {
    char* name;    // NUL-terminated, owned by the driver
    uint8_t kind;
};

struct RunState {
    RunMode mode = RunMode::CGI;
    char program_dir[256] = {0};
    uint8_t client_bytes[4] = {0, 0, 0, 0};
    uint32_t client_address = 0;  // 0: no client address
    char top_call[TOP_CALL_MAX + 1] = {0};
    bool has_top_call = false;
    ModuleEntry modules[MODULE_TABLE_SIZE] = {};
    int module_last = -1;          // count minus one
    // Current position for error reports: module number is 1-based into
    // the module table (0 = none).
    uint32_t current_module = 0;
    uint32_t current_line = 0;
    uint32_t current_column = 0;
    bool modules_loaded = false;
    bool run_started = false;
    bool error_exit = false;
    bool header_written = false;   // CGI content-type header
    uint32_t count_a = 0, count_h = 0, count_s = 0, count_yz = 0;
    char start_time[64] = {0};
    int argc = 0;                  // the command line, for replay mode
    char** argv = nullptr;     // "%d/%02d/%02d %02d:%02d:%02d", empty in script mode
};
extern RunState g_run;

// Appends a module to the module table; false when the table is full.
bool module_add(const char* name, size_t len, uint8_t kind);
// File name of module number n (1-based); "MainScript" when none.
const char* module_name(uint32_t n);
// Frees the module names and starts a fresh run state (unit tests only).
void run_reset_for_tests();

}  // namespace velt

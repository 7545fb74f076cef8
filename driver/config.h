// The configuration file VELT.config.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

struct Config {
    // VAR entries: one growing text buffer with an offset per entry.
    char* var_text = nullptr;
    size_t var_text_len = 0, var_text_cap = 0;
    size_t* var_offsets = nullptr;
    size_t var_count = 0, var_cap = 0;
    // CLIENT list.
    bool client_given = false;
    uint32_t* clients = nullptr;
    size_t client_count = 0, client_cap = 0;
    char token_key[65] = {0};
    int32_t time_interval = 0;
    char logfile[256] = {0};
    char module_dir[512] = {0};
    char debug_port[20] = "8777";
};
extern Config g_config;

// Reads and applies the configuration file at `path` (fatal_exit on every
// error).
void config_load(const char* path);
// Applies one line (already read); exposed for tests.
void config_apply_line(char* line);
// Appends a VAR entry (also used for the injected client_ip entry).
void config_add_var(const char* text, size_t len);
const char* config_var(size_t i);

// Parses a dotted IPv4 address: characters before the first digit are
// skipped, then four parts 0-255. Returns false if invalid; *end (if given)
// is left after the address.
bool parse_ipv4(const char* s, uint8_t out[4], const char** end);

// The MODULE_DIR fingerprint of a directory: 64 lowercase hex digits.
// Returns false (after printing the file-time message) when a file time
// cannot be converted.
bool module_dir_fingerprint(const char* dir, char out[65]);

// Drops the configuration (unit tests only).
void config_reset_for_tests();

}  // namespace velt

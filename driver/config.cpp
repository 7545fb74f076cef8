// The configuration file VELT.config: line rules, the settings it fills and
// the module directory fingerprint.
#include "driver/config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/protocol.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "driver/sha256.h"
#include "platform/platform.h"

namespace velt {

Config g_config;

namespace {

constexpr size_t LINE_BUFFER = 4096;
constexpr size_t ENV_VALUE_MAX = 16383;
constexpr int COMMENT_CUTS = 100;

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

char* skip_blanks(char* s) {
    while (is_blank(*s)) ++s;
    return s;
}

void trim_right(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && is_blank(s[n - 1])) --n;
    s[n] = '\0';
}

// Copies at most `max` bytes of src into dst (which holds max + 1).
void store_cut(char* dst, size_t max, const char* src) {
    size_t n = std::strlen(src);
    if (n > max) n = max;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Cleans a value in place (blanks, quotes, comments) and returns its start.
char* clean_value(char* v) {
    v = skip_blanks(v);
    trim_right(v);
    if (*v == '\'' || *v == '"') {
        char q = *v;
        // The closing quote is the next equal quote preceded by an even
        // number of backslashes; backslashes stay in the value.
        for (char* p = v + 1; *p; ++p) {
            if (*p != q) continue;
            size_t backslashes = 0;
            for (char* b = p - 1; b > v && *b == '\\'; --b) ++backslashes;
            if (backslashes % 2 == 0) {
                *p = '\0';
                return v + 1;
            }
        }
        fatal_exit("Configのフォーマット不正");
    }
    // Comments: cut at the smaller of the last '#' and the last ';', at
    // most 100 times.
    for (int i = 0; i < COMMENT_CUTS; ++i) {
        char* h = std::strrchr(v, '#');
        char* s = std::strrchr(v, ';');
        if (!h && !s) break;
        char* cut = !h ? s : !s ? h : std::min(h, s);
        *cut = '\0';
    }
    trim_right(v);
    return v;
}

void apply_client(const char* raw) {
    g_config.client_given = true;
    const char* p = raw;
    while (*p) {
        uint8_t b[4];
        const char* end = nullptr;
        if (!parse_ipv4(p, b, &end) || (b[0] | b[1] | b[2] | b[3]) == 0) {
            fatal_exit("ClientのIPアドレス定義　不正");
        }
        if (g_config.client_count == g_config.client_cap) {
            size_t ncap = g_config.client_cap + 128;
            uint32_t* n = new uint32_t[ncap];
            if (g_config.client_count) {
                std::memcpy(n, g_config.clients, g_config.client_count * sizeof(uint32_t));
            }
            delete[] g_config.clients;
            g_config.clients = n;
            g_config.client_cap = ncap;
        }
        g_config.clients[g_config.client_count++] =
            (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
        p = end;
        if (*p) ++p;  // one separator character, whatever it is
    }
}

void apply_time_interval(const char* v) {
    if (*v == '\0') {
        g_config.time_interval = 0;
        return;
    }
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(v, &end, 10);
    if (end == v || *end != '\0') {
        fatal_exit("configファイルのTIME_INTERVALは整数を設定してください。");
    }
    // Out of range: saturate as a 32-bit strtol does.
    if (n > INT32_MAX) n = INT32_MAX;
    if (n < INT32_MIN) n = INT32_MIN;
    g_config.time_interval = static_cast<int32_t>(n);
}

void apply_module_dir(char* v) {
    char* marker = std::strstr(v, ">>>");
    if (marker) {
        *marker = '\0';
        const char* expected = marker + 3;
        char actual[65];
        if (!module_dir_fingerprint(v, actual)) {
            out_flush();
            std::fflush(stdout);
            std::exit(2);
        }
        if (std::strcmp(actual, expected) != 0) {
            fatal_exit("JSモジュールのディレクトリの内容が変わっています。");
        }
    }
    store_cut(g_config.module_dir, sizeof g_config.module_dir - 1, v);
    for (char* p = g_config.module_dir; *p; ++p) {
        if (*p == '\\') *p = '/';
    }
}

void apply_env(char* v) {
    char* plus = std::strstr(v, "+=");
    if (!plus) {
        platform::env_put_assignment(v);
        return;
    }
    std::string name(v, static_cast<size_t>(plus - v));
    char* add = skip_blanks(plus + 2);
    trim_right(add);
    std::string value;
    const char* cur = platform::env_get(name.c_str());
    if (cur) {
        // The current value without blanks and tabs at both ends.
        const char* b = cur;
        while (is_blank(*b)) ++b;
        const char* e = b + std::strlen(b);
        while (e > b && is_blank(e[-1])) --e;
        value.assign(b, static_cast<size_t>(e - b));
    }
    if (!value.empty()) value += ';';
    value += add;
    if (value.size() > ENV_VALUE_MAX) value.resize(ENV_VALUE_MAX);
    platform::env_put(name.c_str(), value.c_str());
}

}  // namespace

void config_add_var(const char* text, size_t len) {
    Config& c = g_config;
    if (c.var_text_len + len + 1 > c.var_text_cap) {
        size_t ncap = c.var_text_cap == 0 && len + 1 <= 512 ? 512 : c.var_text_cap + len + 1 + 16384;
        char* n = new char[ncap];
        if (c.var_text_len) std::memcpy(n, c.var_text, c.var_text_len);
        delete[] c.var_text;
        c.var_text = n;
        c.var_text_cap = ncap;
    }
    if (c.var_count == c.var_cap) {
        size_t ncap = c.var_cap ? c.var_cap * 2 : 16;
        size_t* n = new size_t[ncap];
        if (c.var_count) std::memcpy(n, c.var_offsets, c.var_count * sizeof(size_t));
        delete[] c.var_offsets;
        c.var_offsets = n;
        c.var_cap = ncap;
    }
    c.var_offsets[c.var_count++] = c.var_text_len;
    std::memcpy(c.var_text + c.var_text_len, text, len);
    c.var_text_len += len;
    c.var_text[c.var_text_len++] = '\0';
}

const char* config_var(size_t i) {
    return i < g_config.var_count ? g_config.var_text + g_config.var_offsets[i] : "";
}

bool parse_ipv4(const char* s, uint8_t out[4], const char** end) {
    const char* p = s;
    while (*p && (*p < '0' || *p > '9')) ++p;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return false;
            ++p;
        }
        if (*p < '0' || *p > '9') return false;
        int n = 0;
        while (*p >= '0' && *p <= '9') {
            n = n * 10 + (*p - '0');
            if (n > 255) return false;
            ++p;
        }
        out[i] = static_cast<uint8_t>(n);
    }
    if (end) *end = p;
    return true;
}

void config_apply_line(char* line) {
    line[std::strcspn(line, "\r")] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    line = skip_blanks(line);
    trim_right(line);
    if (*line == '\0' || *line == ';' || *line == '#') return;
    char* eq = std::strchr(line, '=');
    if (!eq) return;
    *eq = '\0';
    char* key = skip_blanks(line);
    trim_right(key);
    for (char* k = key; *k; ++k) {
        if (*k >= 'a' && *k <= 'z') *k = static_cast<char>(*k - 'a' + 'A');
    }
    char* raw = eq + 1;

    if (std::strcmp(key, "VAR") == 0) {
        config_add_var(raw, std::strlen(raw));
        return;
    }
    if (std::strcmp(key, "INCLUDE") == 0) {
        if (g_run.module_last + 1 >= MAX_SCRIPT_MODULES ||
            !module_add(raw, std::strlen(raw), MODULE_INCLUDE)) {
            fatal_exit("モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。");
        }
        return;
    }
    if (std::strcmp(key, "CLIENT") == 0) {
        apply_client(raw);
        return;
    }

    bool token = std::strcmp(key, "TOKEN_KEY") == 0;
    bool interval = std::strcmp(key, "TIME_INTERVAL") == 0;
    bool logfile = std::strcmp(key, "LOGFILE") == 0;
    bool module_dir = std::strcmp(key, "MODULE_DIR") == 0;
    bool debug_port = std::strcmp(key, "DEBUG_PORT") == 0;
    bool env = std::strcmp(key, "ENV") == 0;
    if (!(token || interval || logfile || module_dir || debug_port || env)) return;

    char* v = clean_value(raw);
    if (token) {
        store_cut(g_config.token_key, sizeof g_config.token_key - 1, v);
    } else if (interval) {
        apply_time_interval(v);
    } else if (logfile) {
        store_cut(g_config.logfile, sizeof g_config.logfile - 1, v);
    } else if (module_dir) {
        apply_module_dir(v);
    } else if (debug_port) {
        store_cut(g_config.debug_port, sizeof g_config.debug_port - 1, v);
    } else {
        apply_env(v);
    }
}

void config_load(const char* path) {
    size_t len = 0;
    char* text = platform::read_whole_file(path, &len, 1);
    if (!text) {
        char msg[1024];
        std::snprintf(msg, sizeof msg, "velt設定ファイル(%s)が開けません", path);
        fatal_exit(msg);
    }
    // Lines as a 4,096-byte line buffer gives them: a longer line comes in
    // pieces of 4,095 bytes, each handled as a line of its own.
    char line[LINE_BUFFER];
    size_t pos = 0;
    while (pos < len) {
        size_t n = 0;
        while (pos + n < len && n < LINE_BUFFER - 1) {
            if (text[pos + n++] == '\n') break;
        }
        std::memcpy(line, text + pos, n);
        line[n] = '\0';
        pos += n;
        config_apply_line(line);
    }
    delete[] text;
}

// ---- Module directory fingerprint ----

namespace {

struct FingerprintEntry {
    std::string path;
    std::string line;  // "%s;%s;%s\n"
};

struct FingerprintWalk {
    std::vector<FingerprintEntry> entries;
    bool time_failed = false;
};

bool is_module_file(const char* name) {
    size_t n = std::strlen(name);
    if (n < 3 || name[n - 3] != '.') return false;
    char a = name[n - 2], b = name[n - 1];
    return (a == 'j' || a == 'J') && (b == 'o' || b == 'O' || b == 's' || b == 'S');
}

void visit_entry(const char* path, const char* name, void* ctx) {
    FingerprintWalk& w = *static_cast<FingerprintWalk*>(ctx);
    if (!is_module_file(name)) return;
    uint64_t size = 0;
    int64_t mtime = 0;
    std::tm tm{};
    if (!platform::file_facts_nofollow(path, &size, &mtime) || !platform::utc_time(mtime, &tm)) {
        w.time_failed = true;
        return;
    }
    // The hour is shifted by 9 alone, without carrying into the day.
    char time_text[96];
    std::snprintf(time_text, sizeof time_text, "%d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour + 9, tm.tm_min, tm.tm_sec);
    char size_text[32];
    std::snprintf(size_text, sizeof size_text, "%d:%d", static_cast<int32_t>(size >> 32),
                  static_cast<int32_t>(size & 0xFFFFFFFFu));
    FingerprintEntry e;
    e.path = path;
    e.line = e.path + ";" + time_text + ";" + size_text + "\n";
    w.entries.push_back(std::move(e));
}

}  // namespace

bool module_dir_fingerprint(const char* dir, char out[65]) {
    FingerprintWalk w;
    // A directory that cannot be listed contributes no files.
    platform::list_files_recursive(dir, visit_entry, &w);
    if (w.time_failed) {
        print_message("FileTimeToSystemTime Error\n");
        return false;
    }
    std::sort(w.entries.begin(), w.entries.end(),
              [](const FingerprintEntry& a, const FingerprintEntry& b) {
                  return std::strcmp(a.path.c_str(), b.path.c_str()) < 0;
              });
    std::string text;
    for (const FingerprintEntry& e : w.entries) text += e.line;
    sha256_hex(text.data(), text.size(), out);
    return true;
}

void config_reset_for_tests() {
    delete[] g_config.var_text;
    delete[] g_config.var_offsets;
    delete[] g_config.clients;
    g_config = Config{};
}

}  // namespace velt

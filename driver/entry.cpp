// The entry procedure: decides the run mode, gathers the client address,
// reads the configuration, runs the requested call and writes the closing
// messages. Every run is one process that does one call and exits 0.
#include "driver/entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "db/database.h"
#include "db/protocol.h"
#include "driver/config.h"
#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/program.h"
#include "driver/request.h"
#include "driver/run.h"
#include "platform/platform.h"
#include "values/areas.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "values/names.h"

namespace velt {

namespace {

const char TOO_MANY_MODULES[] = "モジュール(.js、.jo)が多すぎます。125ファイル以下にしてください。";
const char NO_MODULES[] = "ロードするJavaScriptのモジュールが指定されていません";

// The part of argv[0] up to and including its last '/', else "./".
void derive_program_dir(const char* argv0) {
    const char* slash = argv0 ? std::strrchr(argv0, '/') : nullptr;
    if (!slash) {
        std::snprintf(g_run.program_dir, sizeof g_run.program_dir, "./");
        return;
    }
    size_t len = static_cast<size_t>(slash - argv0) + 1;
    if (len > sizeof g_run.program_dir - 1) len = sizeof g_run.program_dir - 1;
    std::memcpy(g_run.program_dir, argv0, len);
    g_run.program_dir[len] = '\0';
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Client address from HTTP_X_FORWARDED_FOR (first entry) or REMOTE_ADDR.
void determine_client_address() {
    char text[80] = {0};
    const char* fwd = platform::env_get("HTTP_X_FORWARDED_FOR");
    const char* remote = platform::env_get("REMOTE_ADDR");
    if (fwd && *fwd) {
        const char* comma = std::strchr(fwd, ',');
        const char* b = fwd;
        const char* e = comma ? comma : fwd + std::strlen(fwd);
        if (comma) {
            while (b < e && is_blank(*b)) ++b;
            while (e > b && is_blank(e[-1])) --e;
        }
        size_t n = static_cast<size_t>(e - b);
        if (n > 79) n = 79;
        std::memcpy(text, b, n);
        text[n] = '\0';
    } else if (remote && *remote) {
        std::snprintf(text, sizeof text, "%s", remote);
    }
    if (std::strcmp(text, "::1") == 0) std::snprintf(text, sizeof text, "127.0.0.1");
    uint8_t bytes[4];
    if (!text[0] || !parse_ipv4(text, bytes, nullptr)) return;
    uint32_t addr = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    if (addr == 0) return;  // 0.0.0.0 means no client address
    std::memcpy(g_run.client_bytes, bytes, 4);
    g_run.client_address = addr;
}

[[noreturn]] void usage_exit(const char* argv0) {
    print_message("usage:%s -e function_name js_file_path1 js_file_path2 ... \n", argv0);
    std::fflush(stdout);
    std::exit(0);
}

void format_local_time(char* out, size_t cap) {
    std::tm tm{};
    platform::local_time(platform::time_now(), &tm);
    std::snprintf(out, cap, "%d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
}

uint8_t module_kind_of(const char* path) {
    size_t n = std::strlen(path);
    if (n >= 3 && path[n - 3] == '.' && (path[n - 2] == 'j' || path[n - 2] == 'J') &&
        (path[n - 1] == 'o' || path[n - 1] == 'O'))
        return MODULE_JO;
    return MODULE_JS;
}

void find_and_load_config() {
    char first[300], second[300];
    std::snprintf(first, sizeof first, "%soracleVELT.config", g_run.program_dir);
    std::snprintf(second, sizeof second, "%sVELT.config", g_run.program_dir);
    if (platform::file_exists(first)) {
        config_load(first);
    } else if (platform::file_exists(second)) {
        config_load(second);
    } else {
        char msg[700];
        std::snprintf(msg, sizeof msg, "velt設定ファイル(%s, %s)が開けません", first, second);
        fatal_exit(msg);
    }
}

// Closing steps of CGI and replay mode (also after an error before the call).
void close_run() {
    send_token_message();
    out_flush();
    std::fclose(stdout);
    if (g_config.logfile[0]) journal_write_record(g_config.logfile);
    close_all_connections();
    run_hooks.close_connections();
    run_hooks.end_debugger();
}

// Everything that happens before the call: loading the modules, binding the
// start-up globals and running the module statements.
void prepare_program() {
    load_modules_once();
    set_managed_mode();
    bind_start_globals();
    run_module_statements();
}

void script_mode_run() {
    try {
        prepare_program();
        // Errors raised from here on belong to the call.
        prepare_top_call();
    } catch (const ScriptThrow& t) {
        write_caught_error(t.value, CaughtAt::RequestFrame);
        close_run();
        return;
    }
    try_reset();
    g_run.run_started = true;
    try {
        evaluate_parsed_top_call();
    } catch (const ScriptThrow& t) {
        write_caught_error(t.value, CaughtAt::ScriptMode);
    }
    out_flush();
    if (g_config.logfile[0]) journal_write_record(g_config.logfile);
    close_all_connections();
    run_hooks.close_connections();
    run_hooks.end_debugger();
}

void request_mode_run() {
    bool call_ok = false;
    try {
        read_request();
        if (!g_run.has_top_call) {
            g_run.error_exit = true;
            report_error(1800, "実行するJavaScriptのTOP関数が指定されていません");
        }
        if (g_run.module_last < 0) {
            g_run.error_exit = true;
            report_error(1805, "%s", NO_MODULES);
        }
        prepare_program();
        prepare_top_call();
        call_ok = true;
    } catch (const ScriptThrow& t) {
        write_caught_error(t.value, CaughtAt::RequestFrame);
    }
    if (call_ok) {
        try_reset();
        g_run.run_started = true;
        try {
            evaluate_parsed_top_call();
            TextBuf out;
            textbuf_append(out, "C", 1);
            put_counted_number(out, g_run.count_a);
            put_counted_number(out, g_run.count_h);
            put_counted_number(out, g_run.count_s);
            put_counted_number(out, g_run.count_yz);
            out_write(out.data, out.len);
            textbuf_free(out);
        } catch (const ScriptThrow& t) {
            write_caught_error(t.value, CaughtAt::CallFrame);
        }
    }
    close_run();
}

void nothing() {}

}  // namespace

RunHooks run_hooks = {nothing, nothing, nothing};

int run_program(int argc, char** argv) {
    const char* argv0 = argc > 0 ? argv[0] : "";
    derive_program_dir(argv0);
    determine_client_address();

    // Command line. A web server may pass words of the query string as
    // arguments, so under a web server the command line is ignored.
    const char* gateway = platform::env_get("GATEWAY_INTERFACE");
    bool under_server = gateway && *gateway;
    int paths_count = 0;
    const char** paths = nullptr;
    if (!under_server && argc > 1) {
        paths = static_cast<const char**>(std::calloc(static_cast<size_t>(argc), sizeof(char*)));
        g_run.mode = RunMode::Replay;
        for (int i = 1; i < argc; ++i) {
            const char* a = argv[i];
            if (a[0] != '-') {
                paths[paths_count++] = a;
                continue;
            }
            if (a[1] != 'e' || i + 1 >= argc) usage_exit(argv0);
            const char* call = argv[++i];
            size_t n = std::strlen(call);
            if (n > static_cast<size_t>(TOP_CALL_MAX)) {
                print_message("TOP関数が長すぎます(255Byte以下)");
                std::fflush(stdout);
                std::exit(0);
            }
            std::memcpy(g_run.top_call, call, n + 1);
            g_run.has_top_call = true;
            g_run.mode = RunMode::Script;
        }
    }
    g_run.argc = argc;
    g_run.argv = argv;

    if (g_run.mode != RunMode::Script) format_local_time(g_run.start_time, sizeof g_run.start_time);

    find_and_load_config();
    names_init();
    optable_init();
    scope_reset();
    if (g_run.mode == RunMode::Script) {
        for (int i = 0; i < paths_count; ++i) {
            if (g_run.module_last + 1 >= MAX_SCRIPT_MODULES) fatal_exit(TOO_MANY_MODULES);
            module_add(paths[i], std::strlen(paths[i]), module_kind_of(paths[i]));
        }
        if (g_run.module_last < 0) print_message("%s", NO_MODULES);
    }
    std::free(paths);
    run_hooks.after_config();

    if (g_run.client_address) {
        char entry[64];
        const uint8_t* b = g_run.client_bytes;
        int n = std::snprintf(entry, sizeof entry, "'client_ip':'%d.%d.%d.%d'", b[0], b[1], b[2], b[3]);
        config_add_var(entry, static_cast<size_t>(n));
    }

    try_reset();
    if (g_run.mode == RunMode::Script) {
        script_mode_run();
    } else {
        request_mode_run();
    }
    return 0;
}

}  // namespace velt

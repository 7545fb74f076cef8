#include "driver/errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/protocol.h"
#include "driver/config.h"
#include "driver/entry.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

constexpr size_t REPORT_BUFFER = 16384;
char g_report[REPORT_BUFFER];

TryFrame g_first_frames[256] = {{FRAME_TRY}};

// The full-width colon U+FF1A in UTF-8.
constexpr const char FULL_COLON[] = "\xEF\xBC\x9A";

[[noreturn]] void unwind_report(int code, bool parse, const char* format, va_list ap) {
    int head;
    const char* file = module_name(g_run.current_module);
    if (parse) {
        head = std::snprintf(g_report, REPORT_BUFFER, "PARSE ERROR %d (%s:%u) : ", code, file,
                             g_run.current_line);
    } else {
        head = std::snprintf(g_report, REPORT_BUFFER, "EVAL ERROR %d (%s:%u:%u) : ", code, file,
                             g_run.current_line, g_run.current_column);
    }
    if (head < 0) head = 0;
    size_t used = static_cast<size_t>(head) < REPORT_BUFFER ? static_cast<size_t>(head) : REPORT_BUFFER - 1;
    int body = std::vsnprintf(g_report + used, REPORT_BUFFER - used, format, ap);
    if (body > 0) used += static_cast<size_t>(body);
    if (used >= REPORT_BUFFER) used = REPORT_BUFFER - 1;

    char code_text[24];
    std::snprintf(code_text, sizeof code_text, "%d", code);
    ValueWord err = make_error_value(code_text, g_report, used);

    journal_append(g_report, used);
    journal_append("\n", 1);
    if (report_hook) report_hook(g_report, parse);

    if (!parse && g_run.run_started) {
        int target = try_find(1u << FRAME_TRY);
        if (target < 0) target = 0;
        g_error_caught = true;
        throw ScriptThrow{err, target};
    }
    throw ScriptThrow{err, 0};
}

void journal_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void journal_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) {
        va_end(ap);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        journal_append(small, static_cast<size_t>(n));
    } else {
        char* big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (big) {
            std::vsnprintf(big, static_cast<size_t>(n) + 1, format, ap);
            journal_append(big, static_cast<size_t>(n));
            std::free(big);
        }
    }
    va_end(ap);
}

}  // namespace

TryStack g_try = {g_first_frames, 1, 256};
bool g_error_caught = false;
ReportHook report_hook = nullptr;

void try_reset() {
    g_try.count = 1;
    g_try.frames[0].kind = FRAME_TRY;
}

int try_push(uint8_t kind) {
    if (g_try.count == g_try.capacity) {
        int cap = g_try.capacity + 256;
        auto* grown = static_cast<TryFrame*>(std::malloc(sizeof(TryFrame) * static_cast<size_t>(cap)));
        if (!grown) report_error(1400, "メモリ領域を取得できません");
        std::memcpy(grown, g_try.frames, sizeof(TryFrame) * static_cast<size_t>(g_try.count));
        if (g_try.frames != g_first_frames) std::free(g_try.frames);
        g_try.frames = grown;
        g_try.capacity = cap;
    }
    g_try.frames[g_try.count].kind = kind;
    return g_try.count++;
}

int try_find(uint32_t kind_mask) {
    for (int i = g_try.count - 1; i >= 0; --i) {
        if (kind_mask & (1u << g_try.frames[i].kind)) return i;
    }
    return -1;
}

void report_error(int code, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    unwind_report(code, false, format, ap);
}

void report_parse_error(int code, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    unwind_report(code, true, format, ap);
}

void print_message(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

void fatal_exit(const char* message) {
    // A web server rejects a response without its header, so the header
    // goes first when nothing has been written yet.
    out_content_header();
    TextBuf out;
    textbuf_append(out, "S148555", 7);
    put_counted_string(out, message, std::strlen(message), true);
    out_write(out.data, out.len);
    textbuf_free(out);
    out_flush();
    if (g_config.logfile[0]) journal_write_record(g_config.logfile);
    if (run_hooks.end_debugger) run_hooks.end_debugger();
    std::fclose(stdout);
    std::exit(0);
}

void write_caught_error(ValueWord v, CaughtAt where) {
    uint32_t tag = word_tag(v);
    TextBuf out;
    if (where == CaughtAt::ScriptMode) {
        if (tag == TAG_ERROR) {
            size_t mlen;
            const char* msg = error_message_text(v, &mlen);
            const char* code = error_code_text(v);
            textbuf_append(out, "ERROR  ");
            textbuf_append(out, code);
            textbuf_append(out, FULL_COLON);
            textbuf_append(out, msg, mlen);
            journal_append("\n", 1);
            journal_append(msg, mlen);
            journal_append("\n", 1);
        } else if (tag == TAG_STRING) {
            textbuf_append(out, "ERROR");
            textbuf_append(out, FULL_COLON);
            textbuf_append(out, " ");
            textbuf_append(out, string_text(v), string_length(v));
            journal_append("\nERROR");
            journal_append(FULL_COLON);
            journal_append(" ");
            journal_append(string_text(v), string_length(v));
            journal_append("\n", 1);
        }
    } else {
        const char* code = "";
        const char* msg = "";
        size_t mlen = 0;
        if (tag == TAG_ERROR) {
            code = error_code_text(v);
            msg = error_message_text(v, &mlen);
        } else if (tag == TAG_STRING) {
            msg = string_text(v);
            mlen = string_length(v);
        }
        textbuf_append(out, "S", 1);
        put_counted_string(out, code, std::strlen(code));
        put_counted_string(out, msg, mlen);
        // Before the call an error value is logged as its report; any other
        // value that arrives there is logged as the call frame logs it.
        if (where == CaughtAt::RequestFrame && tag == TAG_ERROR) {
            journal_append("\n", 1);
            journal_append(msg, mlen);
            journal_append("\n", 1);
        } else if (tag == TAG_ERROR) {
            journal_printf("\nERROR: CODE=%s, MESSAGE='%.*s'\n", code, static_cast<int>(mlen), msg);
        } else if (tag == TAG_STRING) {
            journal_printf("\nERROR: MESSAGE='%.*s'\n", static_cast<int>(mlen), msg);
        } else {
            journal_append("\nERROR: CODE=, MESSAGE=\n");
        }
    }
    out_write(out.data, out.len);
    textbuf_free(out);
}

}  // namespace velt

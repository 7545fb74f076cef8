// The debugger link: connects back to the debugging front end, asks it for
// module texts and breakpoint settings, stops at breakpoints and after
// steps, answers the front end's commands (steps, breakpoint tables,
// evaluation in a chosen call frame) and reports traced calls, console
// output, diagnostic texts and the end of the run. Everything here runs on
// the interpreter's one thread; while stopped the process waits for the
// front end. A link failure closes the link and the run goes on without it.
#include "debugger/link.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "debugger/wire.h"
#include "driver/config.h"
#include "driver/entry.h"
#include "driver/errors.h"
#include "driver/request.h"
#include "driver/run.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/lexer.h"
#include "parser/loader.h"
#include "parser/statements.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt::debugger {

namespace {

// ---- Fixed answer texts in Shift_JIS (code page 932) ----
// "#式のフォーマット不正(" ... ")"
const char SJIS_BAD_FORMAT[] =
    "\x23\x8E\xAE\x82\xCC\x83\x74\x83\x48\x81\x5B\x83\x7D\x83\x62\x83\x67\x95\x73\x90\xB3\x28";
// "#呼び出し履歴の指定不正"
const char SJIS_BAD_FRAME[] = "\x23\x8C\xC4\x82\xD1\x8F\x6F\x82\xB5\x97\x9A\x97\xF0\x82\xCC\x8E\x77\x92\xE8\x95\x73\x90\xB3";
// "#ERROR: 評価結果の文字列が長すぎます。"
const char SJIS_TOO_LONG[] =
    "\x23\x45\x52\x52\x4F\x52\x3A\x20\x95\x5D\x89\xBF\x8C\x8B\x89\xCA\x82\xCC\x95\xB6\x8E\x9A\x97\xF1\x82\xAA"
    "\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81\x42";

// The evaluation answer buffer: "=" and the text must fit with its NUL.
constexpr size_t ANSWER_BUFFER = 16364;
constexpr size_t CONDITION_EXCERPT = 100;
constexpr int CONNECT_WAIT_MS = 200;

// ---- Link state ----

int g_sock = -1;

// ---- Per-module tables ----

struct Condition {
    int16_t line;
    StatementList statements;  // nodes retained
};
struct TraceLabel {
    int16_t line;
    std::string label;
};
struct ModuleTables {
    std::string path;  // as sent in "M" (empty: the module's name)
    std::vector<int16_t> lines;
    std::vector<Condition> conditions;
    std::vector<TraceLabel> labels;
};
ModuleTables g_modules[MODULE_TABLE_SIZE + 2];

// ---- Stepping state and the debug call stack ----

bool g_stepping = false;
bool g_step_into = false;
bool g_continue = false;
bool g_step_out = false;
int g_step_out_depth = 0;  // call depth of the function to step out of
// After "continue" a breakpoint does not fire again on the line it left
// until a stop point of another line (or call depth) is reached.
bool g_left_valid = false;
uint32_t g_left_module = 0;
int16_t g_left_line = 0;
int g_left_depth = 0;

struct Record {
    uint32_t call_module, call_line, call_column;  // the call node
    uint32_t fn_module;                            // module of the function
    bool labelled;                                 // has a trace label
    std::string label;                             // a copy: tables may change meanwhile
    bool remembered_stepping;
    int top;            // the caller's local stack top at the call
    ScopeState scope;   // the caller's scope at the call
};
// Index = call depth (entry 0 unused); grows by 512 records.
std::vector<Record> g_stack(1);
int g_depth = 0;  // records in use

// Set while the link parses or evaluates text for the front end: errors
// then come back to the link, no "D" message is sent, call hooks rest.
bool g_evaluating = false;

// ---- Link up and down ----

void hooks_on();
void hooks_off();
void free_statements(StatementList* list);

void link_down() {
    // The breakpoint tables go with the link (callers stop using them).
    for (auto& t : g_modules) {
        for (auto& c : t.conditions) free_statements(&c.statements);
        t.conditions.clear();
        t.lines.clear();
        t.labels.clear();
    }
    if (g_sock >= 0) platform::net_close(g_sock);
    g_sock = -1;
    platform::net_end();
    g_config.debug_port[0] = '\0';
    hooks_off();
}

bool send(const char* data, size_t len) {
    if (g_sock < 0) return false;
    if (!send_message(g_sock, data, len)) {
        link_down();
        return false;
    }
    return true;
}
bool send(const std::string& s) { return send(s.data(), s.size()); }

bool receive(std::string& out, int wait_ms) {
    if (g_sock < 0) return false;
    if (!receive_message(g_sock, out, wait_ms)) {
        link_down();
        return false;
    }
    return true;
}

const char* module_path_of(uint32_t m) {
    if (m < MODULE_TABLE_SIZE + 2 && !g_modules[m].path.empty()) return g_modules[m].path.c_str();
    return module_name(m);
}

std::string normalized(const char* s, size_t n) {
    std::string r(s, n);
    for (char& c : r)
        if (c == '\\') c = '/';
    return r;
}

// The module whose path begins the text and is followed by ':'; the
// longest such path wins (paths may hold ':'). 0 when none.
uint32_t module_at(const std::string& text, size_t* after) {
    uint32_t best = 0;
    size_t best_len = 0;
    std::string t = normalized(text.data(), text.size());
    for (int i = 0; i <= g_run.module_last; ++i) {
        uint32_t m = static_cast<uint32_t>(i) + 1;
        std::string p = normalized(module_path_of(m), std::strlen(module_path_of(m)));
        if (p.size() < t.size() && t.compare(0, p.size(), p) == 0 && t[p.size()] == ':' && p.size() >= best_len) {
            best = m;
            best_len = p.size();
        }
    }
    if (best) *after = best_len + 1;
    return best;
}

// ---- Text of values for traces ----

void display(ValueWord v, TextBuf& out) {
    uint32_t tag = word_tag(v);
    if (tag == TAG_FUNCTION) {
        textbuf_append(out, "function");
        return;
    }
    if (tag == TAG_NONE || tag == TAG_INTKEY || tag == TAG_NODE) {
        textbuf_append(out, "?");
        return;
    }
    bool was = g_evaluating;
    g_evaluating = true;
    size_t keep = out.len;
    try {
        value_display(v, true, out);
    } catch (const ScriptThrow&) {
        g_error_caught = false;
        out.len = keep;
        textbuf_append(out, "?");
    }
    g_evaluating = was;
}

// ---- Evaluation for the front end ----

// What an evaluation left: its answer text ("=..." or "#...").
struct Outcome {
    bool ok;
    ValueWord value;  // valid while ok (a temporary or held value)
    std::string answer;
};

std::string error_answer(const char* kind, ValueWord v) {
    std::string a = "#";
    a += kind;
    a += " ERROR";
    if (word_tag(v) == TAG_ERROR) {
        size_t mlen = 0;
        const char* msg = error_message_text(v, &mlen);
        a += ": CODE=";
        a += error_code_text(v);
        a += ", MESSAGE='";
        a.append(msg, mlen);
        a += "'";
    } else if (word_tag(v) == TAG_STRING) {
        a += ": MESSAGE='";
        a.append(string_text(v), string_length(v));
        a += "'";
    }
    return a;
}

// Everything an evaluation may disturb, put back afterwards.
struct Saved {
    uint32_t module, line, column;
    Location loc;
    bool create_mode;
    PendingJump jump;
    bool error_caught;
    int try_count;
    ScopeState scope;
    int top;
    ParseState parse;
    LexState lex;
};

Saved save_state() {
    return Saved{g_run.current_module, g_run.current_line, g_run.current_column, g_loc, g_create_mode, g_jump,
                 g_error_caught, g_try.count, g_scope, g_locals.top, g_parse, g_lex};
}

void restore_state(const Saved& s) {
    g_run.current_module = s.module;
    g_run.current_line = s.line;
    g_run.current_column = s.column;
    g_loc = s.loc;
    g_create_mode = s.create_mode;
    g_jump = s.jump;
    g_error_caught = s.error_caught;
    g_try.count = s.try_count;
    g_scope = s.scope;
    g_parse = s.parse;
    g_lex = s.lex;
}

// Parses text (a copy is made) as statements of module m in evaluation
// mode. False with the parse error's answer in *answer.
bool parse_text(const char* text, size_t len, uint32_t m, StatementList* list, std::string* answer) {
    std::string buf(text, len);
    buf.push_back('\0');
    bool was = g_evaluating;
    g_evaluating = true;
    g_parse.module = m;
    bool ok = true;
    try {
        lex_begin(&buf[0]);
        remove_comments(&buf[0]);
        lex_begin(&buf[0]);
        parse_statement_list(&buf[0], list, true, true);
        if (g_parse.ended_with_function) {
            ok = false;
            char msg[200];
            std::snprintf(msg, sizeof msg, "評価する式が不正 '%.100s'", text);
            *answer = std::string("#PARSE ERROR: CODE=1810, MESSAGE='") + msg + "'";
        }
    } catch (const ScriptThrow& t) {
        ok = false;
        *answer = error_answer("PARSE", t.value);
        value_release_temp(t.value);
        g_error_caught = false;
    }
    g_evaluating = was;
    return ok;
}

void free_statements(StatementList* list) {
    for (uint32_t i = 0; i < list->count; ++i) value_release(list->items[i]);
    statement_list_free(list);
    *list = StatementList{nullptr, 0, 0, false};
}

// Evaluates statements in EVAL mode with the scope of a frame: locals
// above `top` (those of inner calls) are set aside meanwhile. The answer
// is "=" and the last value's text, or an error answer; *truth gets the
// last value's truthiness.
std::string evaluate_in(const StatementList& list, int top, const ScopeState& scope, bool want_text, bool* truth) {
    Saved saved = save_state();
    int live_top = g_locals.top;
    std::vector<VarSlot> aside;
    if (top < live_top) {
        aside.assign(g_locals.slots + top + 1, g_locals.slots + live_top + 1);
        g_locals.top = top;
        g_scope = scope;
    }
    bool was = g_evaluating;
    g_evaluating = true;
    set_eval_mode(true);
    std::string answer;
    if (truth) *truth = false;
    ValueWord last = W_UNDEFINED;
    try {
        for (uint32_t i = 0; i < list.count; ++i) {
            value_release_temp(last);
            last = W_UNDEFINED;
            last = evaluate(list.items[i]);
            g_jump.target = -1;
        }
        if (truth) *truth = truthiness(last);
        if (want_text) {
            TextBuf text;
            value_text(last, text);
            if (text.len + 2 > ANSWER_BUFFER) {
                answer = SJIS_TOO_LONG;
            } else {
                answer = "=";
                answer.append(text.data ? text.data : "", text.len);
            }
        }
        value_release_temp(last);
    } catch (const ScriptThrow& t) {
        answer = error_answer("EVAL", t.value);
        if (t.held) value_release(t.value);
        else value_release_temp(t.value);
        if (truth) *truth = false;
    }
    set_eval_mode(false);
    g_evaluating = was;
    // Locals an evaluation left behind go before the inner ones come back.
    if (g_locals.top > (top < live_top ? top : live_top)) locals_pop_to(top < live_top ? top : live_top);
    if (!aside.empty()) {
        locals_reserve(static_cast<int>(aside.size()) + 1);
        std::memcpy(g_locals.slots + top + 1, aside.data(), aside.size() * sizeof(VarSlot));
    }
    g_locals.top = live_top;
    restore_state(saved);
    return answer;
}

// ---- Breakpoint tables ----

int16_t read_line_number(const std::string& s, size_t* i) {
    long v = 0;
    bool neg = false;
    if (*i < s.size() && s[*i] == '-') {
        neg = true;
        ++*i;
    }
    while (*i < s.size() && s[*i] >= '0' && s[*i] <= '9') {
        v = v * 10 + (s[*i] - '0');
        if (v > 1000000) v = 1000000;
        ++*i;
    }
    return static_cast<int16_t>(neg ? -v : v);
}

void set_lines(uint32_t m, const std::string& list) {
    auto& t = g_modules[m].lines;
    t.clear();
    size_t i = 0;
    while (i < list.size()) {
        size_t start = i;
        int16_t line = read_line_number(list, &i);
        if (i > start) t.push_back(line);
        while (i < list.size() && list[i] != ':') ++i;
        if (i < list.size()) ++i;
    }
}

void diagnostic(const char* text, size_t len);

void set_conditions(uint32_t m, const std::string& list) {
    auto& t = g_modules[m].conditions;
    for (auto& c : t) free_statements(&c.statements);
    t.clear();
    size_t i = 0;
    while (i < list.size()) {
        size_t start = i;
        int16_t line = read_line_number(list, &i);
        if (i == start || i >= list.size() || list[i] != ':') {
            size_t semi = list.find(';', i);
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        ++i;
        size_t semi = list.find(';', i);
        size_t end = semi == std::string::npos ? list.size() : semi;
        std::string expr = list.substr(i, end - i);
        i = semi == std::string::npos ? list.size() : semi + 1;
        Condition c{line, StatementList{nullptr, 0, 0, false}};
        Saved saved = save_state();
        std::string answer;
        bool ok = parse_text(expr.data(), expr.size(), m, &c.statements, &answer);
        restore_state(saved);
        if (!ok) {
            free_statements(&c.statements);
            char msg[200];
            int n = std::snprintf(msg, sizeof msg, "評価する式が不正 '%.*s'",
                                  static_cast<int>(expr.size() < CONDITION_EXCERPT ? expr.size() : CONDITION_EXCERPT),
                                  expr.c_str());
            diagnostic(msg, static_cast<size_t>(n));
            c.line = 0;
        }
        t.push_back(std::move(c));
    }
}

void set_labels(uint32_t m, const std::string& list) {
    auto& t = g_modules[m].labels;
    t.clear();
    size_t i = 0;
    while (i < list.size()) {
        size_t start = i;
        int16_t line = read_line_number(list, &i);
        size_t semi = list.find(';', i);
        size_t end = semi == std::string::npos ? list.size() : semi;
        if (i > start && i < end && list[i] == ':') t.push_back(TraceLabel{line, list.substr(i + 1, end - i - 1)});
        i = semi == std::string::npos ? list.size() : semi + 1;
    }
}

// Module request settings: trace labels "###" line breakpoints "$$$"
// conditional breakpoints, each part led by one letter that is skipped.
void apply_settings(uint32_t m, const std::string& s) {
    if (s.compare(0, 4, "&&&&") == 0) return;
    size_t hash = s.find("###");
    std::string traces = s.substr(0, hash == std::string::npos ? s.size() : hash);
    std::string lines, conds;
    if (hash != std::string::npos) {
        size_t dollar = s.find("$$$", hash + 3);
        lines = s.substr(hash + 3, dollar == std::string::npos ? std::string::npos : dollar - hash - 3);
        if (dollar != std::string::npos) conds = s.substr(dollar + 3);
    }
    auto body = [](const std::string& part) { return part.empty() ? part : part.substr(1); };
    set_labels(m, body(traces));
    set_lines(m, body(lines));
    set_conditions(m, body(conds));
}

const std::string* trace_label(Cell* fn) {
    uint32_t m = fn->b1 & 0x7Fu;
    if (m >= MODULE_TABLE_SIZE + 2) return nullptr;
    int first = static_cast<int>(fn_first_line(fn)), last = static_cast<int>(fn_last_line(fn));
    const std::string* best = nullptr;
    int best_line = 0;
    for (const auto& t : g_modules[m].labels) {
        if (t.line >= first && t.line <= last && (!best || t.line < best_line)) {
            best = &t.label;
            best_line = t.line;
        }
    }
    return best;
}

// ---- Call hooks ----

void leave_record(int d) {
    Record& r = g_stack[static_cast<size_t>(d)];
    if (!g_continue && !g_stepping) g_stepping = r.remembered_stepping;
    if (g_step_out && d <= g_step_out_depth) {
        g_stepping = true;
        g_step_out = false;
        g_step_out_depth = 0;
    }
}

// Records of calls that an exception left without their leave hook.
void drop_stale_records() {
    while (g_depth > g_scope.call_depth) leave_record(g_depth--);
}

void on_enter(Cell* fn, Cell* call_node, int base) {
    if (g_evaluating) return;
    drop_stale_records();
    int d = g_scope.call_depth + 1;
    if (static_cast<size_t>(d) >= g_stack.size()) g_stack.resize(g_stack.size() + 512);
    Record& r = g_stack[static_cast<size_t>(d)];
    if (call_node) {
        r.call_module = node_module(call_node);
        r.call_line = pos_line(call_node->d12);
        r.call_column = pos_column(call_node->d12);
    } else {
        r.call_module = g_run.current_module;
        r.call_line = g_run.current_line;
        r.call_column = g_run.current_column;
    }
    r.fn_module = fn->b1 & 0x7Fu;
    const std::string* label = trace_label(fn);
    r.labelled = label != nullptr;
    r.label = label ? *label : std::string();
    r.remembered_stepping = g_stepping;
    r.top = base - 1;
    r.scope = g_scope;
    g_depth = d;
    if (g_stepping && !g_step_into) g_stepping = false;
}

void on_bound(Cell* fn, int base) {
    if (g_evaluating || g_depth < 1) return;
    const Record& r = g_stack[static_cast<size_t>(g_depth)];
    if (!r.labelled) return;
    const std::string* label = &r.label;
    TextBuf msg;
    textbuf_append(msg, "A");
    textbuf_append(msg, label->data(), label->size());
    textbuf_append(msg, "(");
    uint32_t np = fn->b2;
    const AreaWord* items = np ? static_cast<const AreaWord*>(area_ptr(fn_names(fn))) : nullptr;
    for (uint32_t i = 0; i < np; ++i) {
        textbuf_append(msg, i == 0 ? " " : ", ");
        ValueWord name = items[i];
        if (word_tag(name) == TAG_NODE) name = node_first(dw_cell(name));
        uint32_t idx = name & 0xFFFFFFu;
        textbuf_append(msg, name_text(idx), name_length(idx));
        textbuf_append(msg, "=");
        display(g_locals.slots[base + static_cast<int>(i)].value, msg);
    }
    textbuf_append(msg, " )");
    send(msg.data, msg.len);
}

void on_leave(ValueWord result, bool returned) {
    if (g_evaluating) return;
    drop_stale_records();
    if (g_depth < 1 || g_depth != g_scope.call_depth) return;
    const Record& r = g_stack[static_cast<size_t>(g_depth)];
    const std::string* label = r.labelled ? &r.label : nullptr;
    if (label && returned) {
        TextBuf msg;
        textbuf_append(msg, "R");
        textbuf_append(msg, label->data(), label->size());
        textbuf_append(msg, "( ");
        display(result, msg);
        textbuf_append(msg, " )");
        send(msg.data, msg.len);
    }
    leave_record(g_depth--);
}

// ---- Messages ----

void on_console(bool is_error, const char* text, size_t len) {
    std::string msg(is_error ? "E" : "L");
    msg.append(text, len);
    send(msg);
}

void diagnostic(const char* text, size_t len) {
    if (g_sock < 0) return;
    if (g_run.mode == RunMode::Script) {
        std::fwrite(text, 1, len, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return;
    }
    std::string msg("D");
    msg.append(text, len);
    send(msg);
}

void on_report(const char* text, bool) {
    if (g_evaluating) return;
    diagnostic(text, std::strlen(text));
}

// ---- Stops ----

std::string frame_entry(int k, uint32_t stop_line, uint32_t stop_column) {
    const Record& r = g_stack[static_cast<size_t>(k)];
    uint32_t line = stop_line, column = stop_column;
    if (k < g_depth) {
        line = g_stack[static_cast<size_t>(k) + 1].call_line;
        column = g_stack[static_cast<size_t>(k) + 1].call_column;
    }
    char pos[40];
    std::snprintf(pos, sizeof pos, ":%u:%u", line, column);
    std::string e = module_path_of(r.fn_module);
    e += ":";
    e += r.label;
    e += pos;
    return e;
}

// "E" path ":" label ":" ... ";" expression.
void command_evaluate(const std::string& cmd, uint32_t stop_module) {
    size_t semi = cmd.find(';');
    if (semi == std::string::npos) {
        send(std::string(SJIS_BAD_FORMAT) + cmd + ")");
        return;
    }
    std::string head = cmd.substr(1, semi - 1);
    std::string expr = cmd.substr(semi + 1);
    size_t after = 0;
    uint32_t m = module_at(head + ":", &after);
    int frame = -1;
    if (m) {
        size_t colon = head.find(':', after);
        std::string label = head.substr(after, colon == std::string::npos ? std::string::npos : colon - after);
        std::string path = normalized(module_path_of(m), std::strlen(module_path_of(m)));
        for (int k = g_depth; k >= 1 && frame < 0; --k) {
            const Record& r = g_stack[static_cast<size_t>(k)];
            std::string rp = module_path_of(r.fn_module);
            if (normalized(rp.data(), rp.size()) == path && r.label == label) frame = k;
        }
        // A stop in top-level code: the module's global scope.
        if (frame < 0 && g_depth == 0 && label.empty() && m == stop_module) frame = 0;
    }
    if (frame < 0) {
        send(SJIS_BAD_FRAME, sizeof SJIS_BAD_FRAME - 1);
        return;
    }
    int top = g_locals.top;
    ScopeState scope = g_scope;
    if (frame >= 1 && frame < g_depth) {
        top = g_stack[static_cast<size_t>(frame) + 1].top;
        scope = g_stack[static_cast<size_t>(frame) + 1].scope;
    }
    Saved saved = save_state();
    StatementList list{nullptr, 0, 0, false};
    std::string answer;
    if (parse_text(expr.data(), expr.size(), m, &list, &answer)) {
        restore_state(saved);
        answer = evaluate_in(list, top, scope, true, nullptr);
    }
    free_statements(&list);
    restore_state(saved);
    send(answer);
}

// Replaces one table of the module named at the start of the text.
void command_table(const std::string& cmd) {
    size_t after = 0;
    uint32_t m = module_at(cmd.substr(1), &after);
    if (!m) return;
    std::string list = cmd.substr(1 + after);
    if (cmd[0] == 'B') set_lines(m, list);
    else if (cmd[0] == 'b') set_conditions(m, list);
    else set_labels(m, list);
}

[[noreturn]] void link_failed_while_stopped() { report_error(1850, "ソケット通信不正"); }

void stop(Cell* node) {
    uint32_t m = node_module(node);
    uint32_t line = pos_line(node->d12), column = pos_column(node->d12);
    std::string s = "S";
    if (g_depth == 0) {
        char pos[40];
        std::snprintf(pos, sizeof pos, "::%u:%u", line, column);
        s += module_path_of(m);
        s += pos;
    }
    for (int k = 1; k <= g_depth; ++k) {
        if (k > 1) s += ";";
        s += frame_entry(k, line, column);
    }
    if (!send(s)) link_failed_while_stopped();
    platform::sleep_ms(2);
    char b[40];
    std::snprintf(b, sizeof b, ":%u:%u", line, column);
    if (!send(std::string("B") + module_path_of(m) + b)) link_failed_while_stopped();
    for (;;) {
        std::string cmd;
        if (!receive(cmd, COMMAND_WAIT_MS)) link_failed_while_stopped();
        if (cmd.size() == 5 && cmd.compare(0, 4, "STEP") == 0) {
            char digit = cmd[4];
            if (digit == '0') {
                send("X", 1);
                link_down();
                report_error(1855, "デバッグ終了");
            }
            if (digit == '1') {
                g_stepping = g_step_into = g_step_out = false;
                g_continue = true;
                g_left_valid = true;
                g_left_module = m;
                g_left_line = static_cast<int16_t>(line);
                g_left_depth = g_depth;
                return;
            }
            if (digit == '2') {
                g_step_into = true;
                g_step_out = false;
                return;
            }
            if (digit == '3') {
                g_step_into = g_step_out = false;
                return;
            }
            if (digit == '4') {
                g_step_out_depth = g_depth;
                g_stepping = g_step_into = false;
                g_step_out = true;
                return;
            }
            continue;  // another digit: keep waiting
        }
        if (cmd.empty()) continue;
        if (cmd[0] == 'B' || cmd[0] == 'b' || cmd[0] == 'T') {
            command_table(cmd);
        } else if (cmd[0] == 'E') {
            command_evaluate(cmd, m);
            if (g_sock < 0) link_failed_while_stopped();
        }
    }
}

bool breakpoint_fires(Cell* node) {
    uint32_t m = node_module(node);
    if (m >= MODULE_TABLE_SIZE + 2) return false;
    int16_t line = static_cast<int16_t>(pos_line(node->d12));
    if (g_left_valid) {
        if (m == g_left_module && line == g_left_line && g_depth == g_left_depth) return false;
        g_left_valid = false;
    }
    ModuleTables& t = g_modules[m];
    for (int16_t l : t.lines)
        if (l == line) return true;
    for (auto& c : t.conditions) {
        if (c.line != line) continue;
        bool truth = false;
        std::string answer = evaluate_in(c.statements, g_locals.top, g_scope, false, &truth);
        if (!answer.empty()) {
            send(answer);
            if (g_sock < 0) return false;
        }
        if (truth) return true;
    }
    return false;
}

void on_node(Cell* node) {
    if (g_evaluating || (node->b1 & NODE_NO_STOP)) return;
    drop_stale_records();
    if (!g_stepping) {
        if (!breakpoint_fires(node)) return;
        if (g_sock < 0) return;
        g_stepping = true;
        g_continue = false;
    }
    stop(node);
}

// ---- Module requests ----

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard Base64 up to the first '='; false on any other byte.
bool base64_decode(const char* s, size_t n, std::string* out) {
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n && s[i] != '='; ++i) {
        int v = base64_value(s[i]);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

// A program image sent by the front end. Stored program images cannot be
// loaded yet, so an image counts as not supplied.
bool load_supplied_image(uint32_t, const std::string&) { return false; }

bool on_module(uint32_t m, const char* path) {
    if (m < MODULE_TABLE_SIZE + 2) g_modules[m].path = path;
    if (g_run.mode == RunMode::Script || request_modules_from_disk()) return false;
    if (!send(std::string("M") + path)) return false;
    std::string module, settings;
    if (!receive(module, ANSWER_WAIT_MS) || !receive(settings, ANSWER_WAIT_MS)) return false;
    Saved saved = save_state();
    apply_settings(m, settings);
    restore_state(saved);
    if (module.compare(0, 4, "&&&&") == 0) return false;
    if (!module.empty() && module[0] == 'o') {
        std::string image;
        if (!base64_decode(module.data() + 1, module.size() - 1, &image)) return false;
        return load_supplied_image(m, image);
    }
    load_module_text(m, &module[0]);
    return true;
}

// ---- Connect and close ----

bool client_allowed() {
    uint32_t a = g_run.client_address;
    if (!g_config.client_given) return (a >> 24) == 127;
    for (size_t i = 0; i < g_config.client_count; ++i)
        if (g_config.clients[i] == a) return true;
    return false;
}

void after_config() {
    if (!g_run.client_address || !g_config.debug_port[0] || !client_allowed()) return;
    if (!platform::net_start()) return;
    char host[32];
    const uint8_t* b = g_run.client_bytes;
    std::snprintf(host, sizeof host, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    g_sock = platform::net_connect(host, g_config.debug_port, CONNECT_WAIT_MS);
    if (g_sock < 0) {
        link_down();
        return;
    }
    hooks_on();
}

void end_debugger() {
    if (g_sock < 0) return;
    send("X", 1);
    link_down();
}

void hooks_on() {
    g_debug_hook = on_node;
    g_debug_calls = DebugCallHooks{on_enter, on_bound, on_leave, on_console};
    report_hook = on_report;
    g_module_source_hook = on_module;
}

void hooks_off() {
    g_debug_hook = nullptr;
    g_debug_calls = DebugCallHooks{nullptr, nullptr, nullptr, nullptr};
    report_hook = nullptr;
    g_module_source_hook = nullptr;
}

}  // namespace

void install() {
    run_hooks.after_config = after_config;
    run_hooks.end_debugger = end_debugger;
}

}  // namespace velt::debugger

// eval: script expressions held in a string, parsed at run time and
// evaluated in order; the nodes made for the text are released afterwards.
//
// A parse error in the text is a parse error like any other: it ends the
// run at the driver's frame (no script catch sees it). An error while the
// expressions run is an ordinary, catchable error.
#include <cstring>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "parser/expr.h"
#include "parser/lexer.h"
#include "parser/statements.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// Texts of this many bytes or more are refused (2357).
constexpr uint32_t EVAL_TEXT_MAX = 256;
// Expressions one text can hold: 255 bytes give at most 128.
constexpr int EVAL_NODES_MAX = 256;

// The nodes parsed from one text, released when the evaluation ends, also
// when an error unwinds through it. The parser state and the position
// registers are restored at the same time.
struct EvalNodes {
    ValueWord items[EVAL_NODES_MAX];
    int count = 0;
    LexState lex = g_lex;
    uint32_t parse_module = g_parse.module;
    bool parse_no_stop = g_parse.no_stop;
    uint32_t module = g_run.current_module;
    uint32_t line = g_run.current_line;
    uint32_t column = g_run.current_column;

    void restore_position() const {
        g_run.current_module = module;
        g_run.current_line = line;
        g_run.current_column = column;
    }
    void restore_parser() const {
        g_lex = lex;
        g_parse.module = parse_module;
        g_parse.no_stop = parse_no_stop;
    }
    void release() {
        for (int i = 0; i < count; ++i) value_release(items[i]);
        count = 0;
    }
    ~EvalNodes() {
        release();
        restore_parser();
    }
};

inline bool eval_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Parses the text into nodes: expressions separated by ';'. The nodes get
// the running module's number and never stop the debugger.
void parse_eval_text(char* text, EvalNodes& nodes) {
    g_parse.module = nodes.module;
    g_parse.no_stop = true;
    lex_begin(text);
    char* p = text;
    for (;;) {
        while (eval_blank(*p)) ++p;
        if (*p == '\0') break;
        if (*p == ';') {
            ++p;
            continue;
        }
        ValueWord items[18];
        int n = 0;
        char* q = read_expression_list(p, items, 18, &n, true);
        // Statements and function definitions are no expressions: a
        // `return` or `break` would otherwise jump out of the evaluation.
        if (g_parse.function_ended) {
            for (int i = 0; i < n; ++i) value_release(items[i]);
            report_parse_error(1000, "ステートメント不正 '%s'", error_excerpt(p, EXCERPT_STATEMENT));
        }
        for (int i = 0; i < n; ++i) {
            if (nodes.count == EVAL_NODES_MAX) {
                value_release(items[i]);
                continue;
            }
            nodes.items[nodes.count++] = items[i];
        }
        if (q <= p) break;
        p = q;
    }
    nodes.restore_parser();
    nodes.restore_position();
}

ValueWord eval_text(ValueWord text_value) {
    if (word_tag(text_value) != TAG_STRING) report_error(2350, "引数不正(非文字列)");
    uint32_t len = string_length(text_value);
    if (len >= EVAL_TEXT_MAX) report_error(2357, "評価する文字列が長すぎます。(255バイト以下)");
    char text[EVAL_TEXT_MAX];
    std::memcpy(text, string_text(text_value), len);
    text[len] = '\0';
    EvalNodes nodes;
    parse_eval_text(text, nodes);
    if (nodes.count == 0) return text_value;
    ValueWord last = W_UNDEFINED;
    for (int i = 0; i < nodes.count; ++i) {
        release_temp(last);
        last = evaluate(nodes.items[i]);
    }
    nodes.restore_position();
    // The value may be a constant of the nodes: held while they go.
    value_retain(last);
    nodes.release();
    clear_location();
    value_unhold(last);
    return last;
}

// eval (179): one operand, held while the text runs.
ValueWord op_eval(Cell* node) {
    ValueWord arg = value_retain(evaluate(node_first(node)));
    ValueWord r;
    try {
        r = eval_text(arg);
    } catch (const ScriptThrow&) {
        value_release(arg);
        throw;
    }
    value_retain(r);
    value_release(arg);
    value_unhold(r);
    return r;
}

}  // namespace

void register_eval_builtins() { g_op_table[179] = op_eval; }

}  // namespace velt

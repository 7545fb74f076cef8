// The statement parser: recursive descent over script text, one operation
// node per statement, dispatched on the statement kind of a reserved word.
//
// Script text is a writable, zero-terminated buffer; routines may write a
// zero over a closing bracket while they parse the text inside it and put
// the byte back afterwards.
#pragma once

#include <cstdint>

#include "values/word.h"

namespace velt {

// Statement operation codes.
enum StatementOp : uint8_t {
    OP_VAR = 141,
    OP_LET = 142,
    OP_CONST = 143,
    OP_IF = 147,
    OP_WHILE = 148,
    OP_DO = 149,
    OP_FOR = 150,
    OP_FOR_OF = 151,
    OP_FOR_IN = 152,
    OP_TRY = 153,
    OP_THROW = 154,
    OP_BLOCK = 155,
    OP_BREAK = 156,
    OP_CONTINUE = 157,
    OP_RETURN = 158,
    OP_SWITCH = 170,
    // Built-in statement forms.
    OP_SELECT = 162,
    OP_SELECT_HASH = 163,
    OP_SELECT_TO_FRONT = 164,
    OP_SELECT_HASH_TO_FRONT = 165,
    OP_EXECUTE = 166,
    OP_OPEN_DB = 167,
    OP_SELECT_EXISTS = 168,
    OP_SEND_TO_FRONT = 169,
    OP_DECODE_URI = 173,
    OP_DECODE_URI_COMPONENT = 174,
    OP_ENCODE_URI = 175,
    OP_ENCODE_URI_COMPONENT = 176,
    OP_PARSE_FLOAT = 177,
    OP_PARSE_INT = 178,
    OP_EVAL = 179,
    OP_CLOSE_DB = 180,
    OP_SELECT_INTO = 181,
    OP_ALERT_TO_FRONT = 191,
    OP_RECORD_MAP = 192,
    OP_RECORD_HASH = 193,
    OP_SQL_AGGREGATE = 194,
};

// Declaration kinds of for-of / for-in (fourth operand).
enum ForDeclKind : uint32_t { FOR_DECL_LET = 0, FOR_DECL_CONST = 1, FOR_DECL_VAR = 2 };

// Stop points: g_stop_point[op] is 1 when nodes of that code are debugger
// stop points (101-104, 123-131, 139, 141-143, 147-154, 156-158, 160,
// 162-227). Constant-initialised.
extern const uint8_t g_stop_point[256];
// The flags byte of a new node of code `op`: the module number being parsed
// in bits 0-6, the no-stop bit when op is no stop point or the text is a
// debugger evaluation text.
uint8_t node_flags(uint32_t op);

// Parser-wide state.
struct ParseState {
    uint32_t module;       // module number stamped into every node
    bool no_stop;          // debugger evaluation text: every node no-stop
    // Set by a function definition, and by every statement handler that is
    // not a value form (if, for, var, return ...): the expression reader
    // stops the list it is reading, so such a statement read inside a
    // switch body ends its item there.
    bool function_ended;
    int function_depth;    // number of function bodies enclosing the position
    int block_depth;       // number of blocks (and for loops) enclosing the position
    // Set by parse_statement_list when the last statement of the text is a
    // function definition (debugger evaluation texts refuse those).
    bool ended_with_function;
};
extern ParseState g_parse;

// A growable list of names (name indexes). Grows by 512 entries.
struct NameList {
    uint32_t* names;
    uint32_t count;
    uint32_t cap;
};
// global var list, function var list, block scope list.
extern NameList g_global_vars;
extern NameList g_function_vars;
extern NameList g_block_names;
// Start index (0-based) of the innermost function's stretch of
// g_function_vars and of the innermost block's stretch of g_block_names.
extern uint32_t g_function_mark;
extern uint32_t g_block_mark;

// Declares a `var` name (also named functions and `for (var ...)`): into the
// function var list inside a function, else the global var list; a name
// already present is not added again.
void declare_var(uint32_t name);

// A growable list of node words (the program statement list and the
// statement lists of blocks). Grows by 2048 entries.
struct StatementList {
    ValueWord* items;
    uint32_t count;
    uint32_t cap;
    bool owned;  // storage allocated by the list itself
};
// Every module's top-level statements, in load order; nodes are retained.
extern StatementList g_program;
void statement_list_append(StatementList* list, ValueWord node);
void statement_list_free(StatementList* list);

// Parses one statement at p. *out gets the node, or 0 for an empty
// statement. Returns the position after the statement (and after one `;`
// that follows directly).
char* parse_statement(char* p, ValueWord* out);

// Parses a block; p points at `{`. *out gets node 155, *last_line (may be
// null) the line of the closing brace. Returns the position after `}`.
char* parse_block(char* p, ValueWord* out, uint32_t* last_line);

// Parses statements until the end of the text, skipping empty statements,
// appending each node to list (retained when retain is set). eval_mode
// forces the no-stop bit on every node (debugger evaluation texts).
// Returns the end of the text.
char* parse_statement_list(char* text, StatementList* list, bool retain, bool eval_mode);

// A statement handler: p is the text after the reserved word, start the
// start of the statement (for messages), pos its source position. Returns
// the position after what it parsed; *out gets the node.
using StatementHandler = char* (*)(char* p, ValueWord* out, char* start, uint32_t pos);
constexpr int STATEMENT_KINDS = 68;
// Indexed by statement kind (keyword recognition); kinds 6-13 and 43-67
// share the rejecting handler (1211).
extern const StatementHandler g_statement_handlers[STATEMENT_KINDS];

// The `function` handler (statement or expression): p is the text after the
// word `function`. With a name, *out is an assignment node 123 (name,
// function value); without, the function value itself. Sets
// g_parse.function_ended.
char* parse_function(char* p, ValueWord* out, char* start, uint32_t pos);

// Clears the parser-wide state and the declaration lists (before a run's
// first module, and in unit tests). The program list is kept unless
// drop_program is set.
void parser_reset(bool drop_program);

}  // namespace velt

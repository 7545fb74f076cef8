// The expression and literal parser, and the node-building helpers shared
// with the statement parser.
//
// An expression is read token by token into a token row (1024 slots); a
// bracketed part is found whole by bracket matching, read by a nested call
// (with a zero written over its closing bracket meanwhile) and enters the
// row as one slot. The reducer then combines operators level by level, in
// place, into operation nodes; what remains are the items of the list.
//
// This header is shared with the statement parser: changes are additive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// Operation codes of expressions (statement codes: parser/statements.h).
enum ExprOp : uint8_t {
    OP_PLACEHOLDER = 100,
    OP_POST_INC = 101,     // x++        (operand)
    OP_POST_DEC = 102,     // x--
    OP_PRE_INC = 103,      // ++x
    OP_PRE_DEC = 104,      // --x
    OP_TYPEOF = 105,       // typeof x
    OP_INSTANCEOF = 106,   // x instanceof Name   (x, name word)
    OP_NOT = 107,          // !x
    OP_AND = 108,          // a && b && ...   (n operands)
    OP_OR = 109,           // a || b || ...   (n operands)
    OP_EQ = 110,
    OP_STRICT_EQ = 111,
    OP_NE = 112,
    OP_STRICT_NE = 113,
    OP_GE = 114,
    OP_GT = 115,
    OP_LE = 116,
    OP_LT = 117,
    OP_ADD = 118,          // n operands
    OP_SUB = 119,          // n operands: a - b - c
    OP_MUL = 120,          // n operands
    OP_DIV = 121,          // n operands: a / b / c
    OP_MOD = 122,          // n operands
    OP_ASSIGN = 123,       // (target, value)
    OP_ADD_ASSIGN = 124,
    OP_SUB_ASSIGN = 125,
    OP_MUL_ASSIGN = 126,
    OP_DIV_ASSIGN = 127,
    OP_MOD_ASSIGN = 128,
    OP_AND_ASSIGN = 129,
    OP_OR_ASSIGN = 130,
    OP_XOR_ASSIGN = 131,
    OP_BIT_AND = 132,      // n operands
    OP_BIT_OR = 133,       // n operands
    OP_BIT_XOR = 134,      // n operands
    OP_BIT_NOT = 135,      // ~x
    OP_SHL = 136,
    OP_SHR = 137,
    OP_USHR = 138,
    OP_COND = 139,         // (condition, then, else): three operands in a block
    OP_COLON = 140,        // only in the token row
    OP_INDEX = 144,        // (object, index)
    OP_MEMBER = 145,       // (object, name word)
    OP_COMMA = 146,        // only in the token row
    OP_GROUP = 159,        // ( items ): the items as operands (0 or more)
    OP_CALL = 160,         // (callee, argument array area address)
    OP_POW = 161,          // (base, exponent); a ** b ** c nests to the right
    OP_NUMBER_CALL = 171,
    OP_STRING_CALL = 172,
    OP_REGEXP = 182,       // RegExp(...) : the arguments as operands
    OP_NEW = 183,          // (class name word, argument array area address)
    OP_EXCEPTION = 184,    // Exception(...) : the arguments as operands
    OP_DATE_CALL = 185,
    OP_INTEGER = 186,      // Integer(...) : the arguments as operands
    OP_FLOAT = 187,        // Float(...)
    OP_ERROR = 188,        // Error(...)
    OP_ARRAY = 189,        // Array(...)
};

// The empty-slot marker of the token row (never a value word).
constexpr ValueWord EMPTY_SLOT = 0x0FFFFFFFu;
constexpr int TOKEN_ROW_SLOTS = 1024;

// ---- Nodes ----

// Makes an operation node: flags from node_flags(op) (statements.h),
// operand count, code, operands and source position. Every operand is
// retained. More than 2 operands go to a separately allocated area block
// whose address stands in the first operand field. A block node (155) of
// 255 or more statements uses the 255 form (count in the position field,
// no position); any other node reaching 255 operands fails with 1123,
// quoting `text` (may be null).
ValueWord make_node(uint32_t op, const ValueWord* operands, uint32_t count, uint32_t pos,
                    const char* text);
// The operands of a node and their count (the inline fields or the block).
// Area memory may be only 2-byte aligned: the words are AreaWord.
AreaWord* node_operands(Cell* node, uint32_t* count);
AreaWord* node_operands(ValueWord node, uint32_t* count);

// Argument array: area memory holding the count followed by the argument
// words (each retained). Returns its area address (tag bits zero); call and
// new nodes hold it as their second operand.
uint32_t make_argument_array(const ValueWord* args, uint32_t count);
// The argument words and count of an argument array.
AreaWord* argument_array(uint32_t addr, uint32_t* count);

// ---- Expressions ----

// Reads an expression list from text (zero-terminated). The list ends at a
// `;` (consumed), at the end of the text, or behind a reserved word at its
// top level whose handler set g_parse.function_ended (a function literal,
// or a statement that is no value form). Inside brackets nothing stops
// early: `f(function () {}, 2)` reads both arguments. At most limit - 1
// items are accepted (reaching limit fails with 1123). With retain set
// each item is retained. Clears g_parse.function_ended at the start; it is
// left set when such a handler ran anywhere in the list. Returns the
// position after the list.
char* read_expression_list(char* text, ValueWord* items, int limit, int* count, bool retain);

// Error rules of a list read, for callers that read with other limits and
// codes (the TOP call text). Formats take one %s: the excerpt.
struct ExprRules {
    int max_slots;              // slots a row may use (1023 normally)
    int slots_code;             // too many slots (1120)
    const char* slots_format;
    int reduce_code;            // the row does not reduce (1125)
    const char* reduce_format;
};
extern const ExprRules g_default_expr_rules;
char* read_expression_list_with(char* text, ValueWord* items, int limit, int* count, bool retain,
                                const ExprRules* rules);

// Reads the bracketed argument list of a built-in form: open points at `(`.
// Finds the matching `)` (1130 when missing), reads the list inside with
// the limit (1123), fails with 1135 when text is left inside, and returns
// the position after `)`. The arguments are not retained (make_node
// retains what it stores). stmt_start is quoted in messages.
char* read_call_arguments(char* open, ValueWord* args, int limit, int* count,
                          const char* stmt_start);

// Array literal, text just after `[`: *out gets an Array value (count n,
// capacity n + 10, elements retained). Returns the position after `]`.
char* read_array_literal(char* text, ValueWord* out);
// Object literal, text just after `{`: *out gets an Object value (entries in
// source order, capacity n + 10, values retained). Returns the position
// after `}`.
char* read_object_literal(char* text, ValueWord* out);
// One JSON element (array element or object value): an expression list
// ending at a top-level `,` (consumed) or the end of the text; up to 20
// items. Returns the position after it.
char* read_json_element(char* text, ValueWord* items, int* count);

// ---- Regular-expression literals ----

// Compiles a `/pattern/flags` literal read at parse time into a RegExp
// value. Filled by the RegExp engine; while it is null a regular-expression
// literal fails with parse error 1015.
using RegexpLiteralHook = ValueWord (*)(const char* pattern, size_t pattern_len,
                                        const char* flags, size_t flags_len);
extern RegexpLiteralHook regexp_literal_hook;

}  // namespace velt

// The lexer pieces the parser reads script text with: character classes,
// whitespace and line counting, source positions, comment removal,
// quote-aware searches, string literals, identifiers, reserved words,
// number literals, error excerpts and the UTF-8 / UTF-16 conversions.
//
// There is no token stream: routines take a position in a writable,
// zero-terminated text and return the position after what they read. A
// zero byte always ends the text (nested readers write one over a closing
// bracket while they read the text inside it).
//
// This header is shared with the statement parser: changes are additive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// ---- Character classes (bytes; non-ASCII bytes belong to no class) ----

inline bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_ident_start(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_ident_part(unsigned char c) { return is_ident_start(c) || is_digit(c); }
// A byte that may follow a reserved word.
inline bool is_word_boundary(unsigned char c) { return !is_ident_part(c); }

// ---- Lexer state ----
//
// The current line number lives in g_run.current_line (driver/run.h), which
// report_parse_error prints; the module number and the no-stop flag of the
// text being parsed live in g_parse (parser/statements.h).
struct LexState {
    const char* line_start;  // the last LF passed (the text start before the first)
    const char* text_start;  // start of the text being parsed
};
extern LexState g_lex;

// Starts a text: line 1, line start and text start at text.
void lex_begin(const char* text);
// Records a new line at the LF at p (line number + 1, line start = p).
void lex_newline(const char* lf);

// Skips space, TAB, CR and LF, counting lines; returns the next other byte.
char* skip_whitespace(char* p);
const char* skip_whitespace(const char* p);
// The same without counting lines (for look-ahead that is read again).
const char* skip_blanks_peek(const char* p);

// Source position of p: line in bits 0-15, (p - line start) & 0x7FFF in
// bits 16-30.
uint32_t source_position(const char* p);

// Comment removal over a whole text, in place, in one left-to-right pass
// that knows string literals: block comments become blanks (LF bytes kept),
// a line comment becomes blanks up to its LF, or ends the text when no LF
// follows. An unclosed block comment fails with 1580. Returns the text's
// new length.
size_t remove_comments(char* text);
// When the '/' at p (inside text) opens a RegExp literal at operand
// position (not after a name, a number, a closing bracket or a quote,
// keywords such as `return` excepted), the position after its flags; else
// null. Its closing '/' is the first after an even number of backslashes.
const char* skip_regexp_literal(const char* text, const char* p);

// Whether position at lies inside a string literal opened between from and
// at; if so *quote (may be null) gets the opening quote character.
bool in_string_literal(const char* from, const char* at, char* quote);
// First ch in text that is neither preceded by a backslash nor inside a
// string literal; null if absent.
char* find_unquoted(char* text, char ch);
// The close character that balances the text (which starts just behind the
// opening bracket), counting nested open/close pairs outside string
// literals; null if unbalanced.
char* find_closing(char* text, char close, char open);
// Position behind the closing quote of a literal whose text starts at p
// (just after the quote); null when it never closes.
const char* skip_string_literal(const char* p, char quote);

// Reads a string literal; p is just after the opening quote. *out gets a
// new string value (backquoted literals carry the template mark). Returns
// the position after the closing quote. Error 1010 when it does not close.
char* read_string_literal(char* p, char quote, ValueWord* out);

// Longest identifier, in bytes.
constexpr size_t IDENT_MAX = 200;
// Reads an identifier starting at p (an identifier-start byte) and interns
// it; *name gets its name index. Error 1005 when longer than 200 bytes.
char* read_identifier(char* p, uint32_t* name);

// ---- Reserved words ----

// Statement kinds: the index into the statement handler table.
enum StatementKind : int {
    KW_NONE = -1,
    KW_BREAK = 0, KW_IF = 1, KW_LET = 2, KW_RETURN = 3, KW_RECORD_MAP = 4, KW_RECORD_HASH = 5,
    KW_REDIS_COMMAND = 6, KW_REDIS_AGGREGATE = 7, KW_REDIS_KEYS = 8, KW_REDIS_GET = 9,
    KW_REDIS_EXECUTE = 10, KW_REDIS_DELETE = 11, KW_REDIS_LREMOVE = 12, KW_REDIS_LINSERT = 13,
    KW_VAR = 14, KW_WHILE = 15, KW_OPEN_DB = 16, KW_CLOSE_DB = 17, KW_CONST = 18,
    KW_CONTINUE = 19, KW_DO = 20, KW_DECODE_URI = 21, KW_DECODE_URI_COMPONENT = 22,
    KW_EVAL = 23, KW_EXECUTE = 24, KW_ENCODE_URI = 25, KW_ENCODE_URI_COMPONENT = 26,
    KW_FOR = 27, KW_FUNCTION = 28, KW_SELECT = 29, KW_SELECT_HASH = 30, KW_SELECT_INTO = 31,
    KW_SELECT_TO_FRONT = 32, KW_SELECT_HASH_TO_FRONT = 33, KW_SEND_TO_FRONT = 34,
    KW_SWITCH = 35, KW_SELECT_EXISTS = 36, KW_SQL_AGGREGATE = 37, KW_THROW = 38, KW_TRY = 39,
    KW_PARSE_INT = 40, KW_PARSE_FLOAT = 41, KW_ALERT_TO_FRONT = 42,
    KW_MONGO_FIRST = 43, KW_MONGO_LAST = 67,
    KW_COUNT = 68,
};

// A keyword table: entries of equal width padded with blanks.
struct KeywordTable {
    const char* entries;  // null: no table for this first letter
    int width;
    int longest;
    int first_kind;
};
// Indexed by first letter - 'a'.
extern const KeywordTable g_keyword_tables[26];

// The statement kind of the reserved word at p, or KW_NONE. On success p is
// advanced past the word. Every reserved word needs a word boundary behind
// it (`for2` and `select1` are identifiers).
int recognize_keyword(char*& p);
int recognize_keyword(const char*& p);
// The text of a statement kind ("" for out-of-range kinds).
const char* keyword_text(int kind);

// Reads a number literal at p with sign +1 or -1 (the sign character is
// already passed). *out gets an integer value when the signed value fits
// in 32 bits and is written without "." or exponent, else a float value.
char* read_number_literal(char* p, int sign, ValueWord* out);

// Text for messages: from p up to n characters (a UTF-8 sequence counts as
// one), stopping at an LF (a CR before it dropped), a zero byte or 510
// bytes. The result lives in one static 512-byte buffer that the next call
// overwrites.
const char* error_excerpt(const char* p, int n);
constexpr int EXCERPT_STATEMENT = 120;
constexpr int EXCERPT_SHORT = 100;
constexpr int EXCERPT_REST = 20;

// UTF-8 to UTF-16 (characters up to U+FFFF): converts up to len bytes or
// capacity - 1 units, stopping at a zero byte, and zero-terminates (when
// capacity > 0). A code point above 0xFFFF fails with 1595 (through
// report_error); a byte that cannot start a sequence, or a sequence cut by
// the end, yields U+FFFD. Returns the number of units written (without the
// terminator).
size_t MultiToWide(const char* utf8, size_t len, uint16_t* out, size_t capacity);
// UTF-16 to UTF-8 (a surrogate unit is encoded by itself as three bytes):
// stops at a zero unit, after count units, or when the next character
// would not fit in capacity - 1 bytes; zero-terminates (when capacity > 0).
// Returns the number of bytes written (without the terminator).
size_t utf8_from_wide(const uint16_t* wide, size_t count, char* out, size_t capacity);

}  // namespace velt

// Request intake of CGI and replay mode: the body, its letter-coded fields,
// the globals they define and the request-token check.
//
// Every read is bounded by a cursor: a count, a length or a piece that
// would reach past the end of its field fails with the code of that piece.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// Shared request buffer: a body that fits (length + 516 bytes) is kept here.
constexpr size_t REQUEST_BUFFER = 16384;
// Largest CONTENT_LENGTH accepted.
constexpr int64_t CONTENT_LENGTH_MAX = 64ll * 1024 * 1024;
// Token buffer: seed text at its start, token text six bytes after the seed.
constexpr size_t TOKEN_BUFFER = 1024;
// Temporary objects of one `A` field.
constexpr int TEMP_OBJECTS_MAX = 1024;
// Entries an `H` or `h` object may announce (its capacity is n + 10 in
// 16 bits).
constexpr uint64_t OBJECT_ENTRIES_MAX = 65525;

// A read position and the end it may not pass.
struct ReqCursor {
    const char* p;
    const char* end;
};

// Error codes of one kind of piece: its marker and its digits.
struct PieceCodes {
    int marker;
    int digits;
};

// Count marker ("0" to "=") and that many digits; the number.
uint64_t req_count(ReqCursor& c, PieceCodes codes);
// Length marker ("0" to "9" or "A" to "J") and that many digits; the
// number, which may not exceed the bytes left after the digits.
uint64_t req_length(ReqCursor& c, PieceCodes codes);

// A decoded counted string. The text lives in a scratch buffer that the
// next string read reuses; it is NUL-terminated.
struct ReqText {
    const char* text;
    size_t len;
};
// Counted string: marker "0" to "=" plain, "A" to "M" percent-encoded.
// strict: a "%" not followed by two hexadecimal digits fails with 1510
// (names and the seed text); otherwise it stays in the text.
ReqText req_string(ReqCursor& c, bool strict, PieceCodes codes);

// Percent-decoding of n bytes into out (room for n bytes); returns the
// decoded length, or SIZE_MAX when strict and a "%" is malformed.
size_t percent_decode(const char* in, size_t n, char* out, bool strict);

// Temporary objects of one `A` field: (number, object) pairs in order.
struct TempObjects {
    uint32_t numbers[TEMP_OBJECTS_MAX];
    ValueWord objects[TEMP_OBJECTS_MAX];
    int count;
};
// One element value of an array or hash (a new temporary, or an object
// taken out of `temps` by reference).
ValueWord req_element(ReqCursor& c, TempObjects& temps);

// Decodes the fields of a request body (binding globals, loading the
// modules before the first typed global, filling the TOP call, the module
// table and the token texts).
void request_decode(const char* body, size_t len);

// Binds the `name=value;...` list of replay mode as string globals.
void request_bind_replay_list(const char* list);

// Seed and token texts of field Q (empty when not received).
const char* request_seed(size_t* len);
const char* request_token(size_t* len);
// Whether field L asked for module texts from disk.
bool request_modules_from_disk();

// Reads the request of a CGI or replay run: body, fields, token check (CGI)
// or the variable list (replay).
void read_request();
// Writes the closing "X" message.
void send_token_message();

// Drops the decoded request state (unit tests).
void request_reset_for_tests();

}  // namespace velt

// The request token: the text a front end returns with each request to show
// that it holds a token this server issued, and the closing "X" message that
// issues the next one. Tokens are made with the Microsoft C runtime
// generator, so a token issued by one process is verified by any other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/text.h"

namespace velt {

// Longest token text the algorithm makes for a seed of n bytes is
// (n / 4) * 6 + 6 + 16 letters and the time number; callers give this room.
constexpr size_t token_text_room(size_t seed_len) { return seed_len / 4 * 6 + 6 + 16 + 12; }

// The token algorithm: the token text of seed text `seed` and time number t
// (0 to 65,535) for the client address bytes `client` (most significant
// first, all 0 without an address). `out` needs token_text_room(seed_len)
// bytes; returns the length written (NUL-terminated).
size_t token_compute(const char* seed, size_t seed_len, int32_t t, const uint8_t client[4], char* out);

// The seed text of a new token issued at time `now` (seconds since 1970):
// the key, eight letters drawn from the time and the client address, and the
// low 32 bits of `now` in lowercase hexadecimal. `out` needs key length + 17
// bytes; returns the length.
size_t token_seed(const char* key, int64_t now, const uint8_t client[4], char* out);

// Reasons a token check fails (0 = passed).
enum TokenReason : int {
    TOKEN_OK = 0,
    TOKEN_NO_SEED = 2,        // no seed text received
    TOKEN_BAD_TIME = 3,       // the last five characters are not a number
    TOKEN_MISMATCH = 4,       // the seed is not key, letters and hexadecimal time agreeing
                              // with the token's time number, or the token text differs
                              // from the computed one
    TOKEN_EXPIRED = 100,      // with a key: older than the time interval
    TOKEN_EXPIRED_NOKEY = 101 // without a key: older than the time interval
};

// Checks a received seed and token text against the key and time interval
// at time `now`. The age of a token is (now - t) modulo 65,536, t being the
// number in its last five characters. Pure: the caller raises the error.
int token_check(const char* key, int32_t time_interval, const char* seed, size_t seed_len, const char* token,
                size_t token_len, int64_t now, const uint8_t client[4]);

// Appends the closing "X" message to `out` per the run state: nothing when
// no key and no time interval are configured, "X" and "NG" twice after an
// error exit, else a new seed and token issued at `now`.
void token_message(TextBuf& out, const char* key, int32_t time_interval, bool error_exit, int64_t now,
                   const uint8_t client[4]);

}  // namespace velt

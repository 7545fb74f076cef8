// The request token: checking a received token and issuing the next one.
#include "driver/token.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/protocol.h"
#include "platform/platform.h"

namespace velt {

namespace {

const char TOKEN_ALPHABET[] = "jklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghi";
const char SEED_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Draws `n` letters from `alphabet` with the generator as it stands.
char* draw(char* out, const char* alphabet, int n) {
    for (int i = 0; i < n; ++i) {
        int r = platform::ms_rand();
        *out++ = alphabet[static_cast<int>(r / 32767.0 * 61)];
    }
    return out;
}

// Six-bit value of a seed character, or -1 for a character that is skipped.
int six_bits(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

// The number written by the last five characters of a token text, read as
// strtol reads it; *complete tells whether all of them were consumed.
int32_t token_time(const char* token, size_t len, bool* complete) {
    char tail[6];
    size_t n = len < 5 ? len : 5;
    std::memcpy(tail, token + len - n, n);
    tail[n] = '\0';
    char* end = nullptr;
    long v = std::strtol(tail, &end, 10);
    *complete = n > 0 && end == tail + n;
    return static_cast<int32_t>(v);
}

// t as "%05d" (t has at most five characters), NUL-terminated; returns the
// position of the NUL.
char* append_time(char* w, int32_t t) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%05d", t);
    std::memcpy(w, text, static_cast<size_t>(n) + 1);
    return w + n;
}

}  // namespace

size_t token_compute(const char* seed, size_t seed_len, int32_t t, const uint8_t client[4], char* out) {
    char* w = out;
    if (seed_len == 0) return static_cast<size_t>(append_time(w, t) - out);
    uint32_t time_bits = static_cast<uint32_t>(t) << 24;
    uint32_t acc = 0;
    for (size_t i = 0; i < seed_len; ++i) {
        int v = six_bits(static_cast<unsigned char>(seed[i]));
        if (v < 0) continue;
        acc = acc * 64u + static_cast<uint32_t>(v);
        if ((i + 1) % 4 == 0) {
            platform::ms_srand(acc | time_bits);
            w = draw(w, TOKEN_ALPHABET, 6);
            acc = 0;
        }
    }
    if (acc != 0) {
        platform::ms_srand(acc | time_bits);
        w = draw(w, TOKEN_ALPHABET, static_cast<int>(seed_len % 4) * 2);
    }
    uint32_t t16 = static_cast<uint32_t>(t) << 16;
    platform::ms_srand((uint32_t(client[0]) << 8) | client[1] | t16);
    w = draw(w, TOKEN_ALPHABET, 8);
    platform::ms_srand((uint32_t(client[2]) << 8) | client[3] | t16);
    w = draw(w, TOKEN_ALPHABET, 8);
    return static_cast<size_t>(append_time(w, t) - out);
}

size_t token_seed(const char* key, int64_t now, const uint8_t client[4], char* out) {
    uint32_t t = static_cast<uint32_t>(now) & 0xFFFFu;
    uint32_t k = (t * 9878u) & 0xFFFFu;
    size_t key_len = std::strlen(key);
    std::memcpy(out, key, key_len);
    char* w = out + key_len;
    platform::ms_srand((uint32_t(client[0]) << 8) | k | client[1]);
    w = draw(w, SEED_ALPHABET, 4);
    platform::ms_srand((uint32_t(client[2]) << 8) | k | client[3]);
    w = draw(w, SEED_ALPHABET, 4);
    // The seed carries the issue time as a 32-bit number ("%lx" of a 32-bit long).
    int n = std::snprintf(w, 12, "%x", static_cast<unsigned>(static_cast<uint64_t>(now) & 0xFFFFFFFFu));
    return static_cast<size_t>(w - out) + static_cast<size_t>(n);
}

namespace {

// Age in seconds of a token issued at time number t when the clock reads
// now16 (both modulo 65,536): a token issued just before the counter wrapped
// is young, one issued a whole period ago is old.
int32_t token_age(int32_t now16, int32_t t) {
    return static_cast<int32_t>(static_cast<uint32_t>(now16 - t) & 0xFFFFu);
}

// The seed must be the one this server issues for time number t: the key,
// eight letters, then the issue time in lowercase hexadecimal (at most
// eight digits) whose low 16 bits are t.
bool seed_matches(const char* key, const char* seed, size_t seed_len, int32_t t) {
    size_t key_len = std::strlen(key);
    if (seed_len <= key_len + 8 || seed_len > key_len + 16) return false;
    if (std::memcmp(seed, key, key_len) != 0) return false;
    uint32_t issued = 0;
    for (size_t i = key_len + 8; i < seed_len; ++i) {
        char c = seed[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return false;
        issued = issued * 16u + static_cast<uint32_t>(v);
    }
    return t >= 0 && static_cast<uint32_t>(t) == (issued & 0xFFFFu);
}

}  // namespace

int token_check(const char* key, int32_t time_interval, const char* seed, size_t seed_len, const char* token,
                size_t token_len, int64_t now, const uint8_t client[4]) {
    int32_t now16 = static_cast<int32_t>(static_cast<uint64_t>(now) & 0xFFFFu);
    bool complete = false;
    if (!key[0]) {
        if (time_interval <= 0) return TOKEN_OK;
        int32_t t = token_time(token, token_len, &complete);
        if (token_age(now16, t) > time_interval) return TOKEN_EXPIRED_NOKEY;
        return TOKEN_OK;
    }
    int32_t t = token_time(token, token_len, &complete);
    if (seed_len == 0) return TOKEN_NO_SEED;
    if (time_interval > 0) {
        if (!complete) return TOKEN_BAD_TIME;
        if (token_age(now16, t) > time_interval) return TOKEN_EXPIRED;
    }
    if (!seed_matches(key, seed, seed_len, t)) return TOKEN_MISMATCH;
    char* expected = static_cast<char*>(std::malloc(token_text_room(seed_len)));
    if (!expected) return TOKEN_MISMATCH;
    size_t n = token_compute(seed, seed_len, t, client, expected);
    bool same = n == token_len && std::memcmp(expected, token, n) == 0;
    std::free(expected);
    return same ? TOKEN_OK : TOKEN_MISMATCH;
}

void token_message(TextBuf& out, const char* key, int32_t time_interval, bool error_exit, int64_t now,
                   const uint8_t client[4]) {
    if (!key[0] && time_interval <= 0) return;
    textbuf_append(out, "X", 1);
    if (error_exit) {
        put_counted_string(out, "NG", 2);
        put_counted_string(out, "NG", 2);
        return;
    }
    size_t key_len = std::strlen(key);
    char* seed = static_cast<char*>(std::malloc(key_len + 32));
    char* token = static_cast<char*>(std::malloc(token_text_room(key_len + 32)));
    if (seed && token) {
        size_t seed_len = token_seed(key, now, client, seed);
        size_t token_len = token_compute(seed, seed_len, static_cast<int32_t>(now & 0xFFFF), client, token);
        put_counted_string(out, seed, seed_len);
        put_counted_string(out, token, token_len);
    }
    std::free(seed);
    std::free(token);
}

}  // namespace velt

#include "db/protocol.h"

#include <cstdio>

namespace velt {

namespace {

// Bytes that travel unencoded in a counted string.
bool stays_plain(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case ';': case ',': case '/': case '?': case ':': case '@': case '&': case '=':
        case '+': case '$': case '-': case '_': case '.': case '*': case '\'': case '(':
        case ')': case '#':
            return true;
        default:
            return false;
    }
}

int decimal_digits(size_t n) {
    int d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

}  // namespace

void put_counted_number(TextBuf& out, int64_t n) {
    char text[32];
    int len = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(n));
    char marker = static_cast<char>('0' + len);
    textbuf_append(out, &marker, 1);
    textbuf_append(out, text, static_cast<size_t>(len));
}

void put_counted_string(TextBuf& out, const char* text, size_t len, bool plain) {
    static const char hex[] = "0123456789ABCDEF";
    size_t encoded_len = len;
    bool any_encoded = false;
    if (!plain) {
        for (size_t i = 0; i < len; ++i) {
            if (!stays_plain(static_cast<unsigned char>(text[i]))) {
                encoded_len += 2;
                any_encoded = true;
            }
        }
    }
    char head[24];
    int digits = decimal_digits(encoded_len);
    head[0] = static_cast<char>((any_encoded ? 'A' : '0') + digits);
    int n = std::snprintf(head + 1, sizeof head - 1, "%zu", encoded_len);
    textbuf_append(out, head, static_cast<size_t>(n) + 1);
    if (!any_encoded) {
        textbuf_append(out, text, len);
        return;
    }
    size_t i = 0;
    while (i < len) {
        size_t run = i;
        while (run < len && stays_plain(static_cast<unsigned char>(text[run]))) ++run;
        if (run > i) textbuf_append(out, text + i, run - i);
        if (run >= len) break;
        unsigned char c = static_cast<unsigned char>(text[run]);
        char esc[3] = {'%', hex[c >> 4], hex[c & 15]};
        textbuf_append(out, esc, 3);
        i = run + 1;
    }
}

void out_write(const char* data, size_t len) {
    if (len) std::fwrite(data, 1, len, stdout);
}

void out_flush() { std::fflush(stdout); }

}  // namespace velt

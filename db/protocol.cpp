#include "db/protocol.h"

#include <charconv>
#include <cstdio>

#include "driver/run.h"

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

}  // namespace

void put_counted_number(TextBuf& out, int64_t n) {
    // Decimal text without printf: these pieces are written for every value.
    char text[32];
    char* end = std::to_chars(text + 1, text + sizeof text, n).ptr;
    text[0] = static_cast<char>('0' + (end - text - 1));
    textbuf_append(out, text, static_cast<size_t>(end - text));
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
    char* end = std::to_chars(head + 1, head + sizeof head, encoded_len).ptr;
    head[0] = static_cast<char>((any_encoded ? 'A' : '0') + (end - head - 1));
    textbuf_append(out, head, static_cast<size_t>(end - head));
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

void out_content_header() {
    if (g_run.mode != RunMode::CGI || g_run.header_written) return;
    static const char header[] = "Content-type: text/plane;charset=UTF-8\n\n";
    out_write(header, sizeof header - 1);
    g_run.header_written = true;
}

}  // namespace velt

// URI functions: encodeURI, encodeURIComponent, decodeURI and
// decodeURIComponent, operation codes 173-176. They work on the bytes of
// the whole string (bytes after a NUL included).
#include <cstring>

#include "builtins/builtins.h"
#include "builtins/string.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "parser/statements.h"
#include "values/text.h"

namespace velt {

namespace {

// Bytes kept as they are besides letters and digits when encoding, and
// decoded bytes that stay encoded when decoding.
const char ENCODE_URI_KEEP[] = ";,/?:@&=+$-_.!~*'()#";
const char ENCODE_COMPONENT_KEEP[] = "-_.!~*'()";
const char DECODE_URI_KEEP[] = ";,/?:@&=+$#";

struct ByteSet {
    bool in[256];
};

ByteSet make_set(const char* members, bool alnum) {
    ByteSet s{};
    for (const char* p = members; *p; ++p) s.in[static_cast<unsigned char>(*p)] = true;
    if (alnum) {
        for (int c = 'A'; c <= 'Z'; ++c) s.in[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) s.in[c] = true;
        for (int c = '0'; c <= '9'; ++c) s.in[c] = true;
    }
    return s;
}

const ByteSet k_encode_uri = make_set(ENCODE_URI_KEEP, true);
const ByteSet k_encode_component = make_set(ENCODE_COMPONENT_KEEP, true);
const ByteSet k_decode_uri = make_set(DECODE_URI_KEEP, false);
const ByteSet k_decode_component = make_set("", false);

const char HEX[] = "0123456789ABCDEF";

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The operand, which must be a string (else `code`).
ValueWord string_operand(Cell* node, int code) {
    ValueWord v = evaluate(node_first(node));
    if (word_tag(v) != TAG_STRING) {
        release_temp(v);
        report_error(code, "引数不正(非文字列)");
    }
    return v;
}

// One scan counts the bytes to encode, one pass writes the result; a text
// with nothing to encode is returned itself.
ValueWord encode(Cell* node, const ByteSet& keep) {
    ValueWord v = string_operand(node, 2345);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(string_text(v));
    size_t n = string_length(v);
    uint64_t count = 0;
    for (size_t i = 0; i < n; ++i) count += keep.in[s[i]] ? 0 : 1;
    if (count == 0) return v;
    char* out;
    ValueWord w = string_with_space(n + 2 * count, &out);
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = s[i];
        if (keep.in[b]) {
            *out++ = static_cast<char>(b);
        } else {
            *out++ = '%';
            *out++ = HEX[b >> 4];
            *out++ = HEX[b & 15];
        }
    }
    release_temp(v);
    return w;
}

// Each '%' (searched again three bytes after the previous one) must start
// a triple with two hexadecimal digits; a '%' within the last two bytes
// ends the scan. Triples whose byte is 0 or kept stay encoded.
ValueWord decode(Cell* node, const ByteSet& keep) {
    ValueWord v = string_operand(node, 2340);
    const char* s = string_text(v);
    size_t n = string_length(v);
    uint64_t decoded = 0;
    for (size_t i = 0; i + 2 < n;) {
        const void* hit = std::memchr(s + i, '%', n - 2 - i);
        if (hit == nullptr) break;
        size_t at = static_cast<size_t>(static_cast<const char*>(hit) - s);
        int hi = hex_value(static_cast<unsigned char>(s[at + 1]));
        int lo = hex_value(static_cast<unsigned char>(s[at + 2]));
        if (hi < 0 || lo < 0) {
            release_temp(v);
            report_error(1510, "デコード文字不正");
        }
        int b = hi * 16 + lo;
        if (b != 0 && !keep.in[b]) ++decoded;
        i = at + 3;
    }
    if (decoded == 0) return v;
    char* out;
    ValueWord w = string_with_space(n - 2 * decoded, &out);
    size_t copied = 0;
    for (size_t i = 0; i + 2 < n;) {
        const void* hit = std::memchr(s + i, '%', n - 2 - i);
        if (hit == nullptr) break;
        size_t at = static_cast<size_t>(static_cast<const char*>(hit) - s);
        int b = hex_value(static_cast<unsigned char>(s[at + 1])) * 16 + hex_value(static_cast<unsigned char>(s[at + 2]));
        if (b != 0 && !keep.in[b]) {
            std::memcpy(out, s + copied, at - copied);
            out += at - copied;
            *out++ = static_cast<char>(b);
            copied = at + 3;
        }
        i = at + 3;
    }
    std::memcpy(out, s + copied, n - copied);
    release_temp(v);
    return w;
}

ValueWord op_decode_uri(Cell* node) { return decode(node, k_decode_uri); }
ValueWord op_decode_uri_component(Cell* node) { return decode(node, k_decode_component); }
ValueWord op_encode_uri(Cell* node) { return encode(node, k_encode_uri); }
ValueWord op_encode_uri_component(Cell* node) { return encode(node, k_encode_component); }

}  // namespace

void register_uri_builtins() {
    g_op_table[OP_DECODE_URI] = op_decode_uri;
    g_op_table[OP_DECODE_URI_COMPONENT] = op_decode_uri_component;
    g_op_table[OP_ENCODE_URI] = op_encode_uri;
    g_op_table[OP_ENCODE_URI_COMPONENT] = op_encode_uri_component;
}

}  // namespace velt

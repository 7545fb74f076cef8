// Front-end output of script values.
//
// A message is assembled whole and then written. A nested array or Object
// met while an element list is assembled is written at once as its own
// message under the next reference number, so a child always precedes the
// message that refers to it (depth first).
#include "db/frontend.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/protocol.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

namespace {

const char SEND_TYPE_ERROR[] = "フロントエンドへ送信するデータの型不正";
const char NESTING_ERROR[] = "データの入れ子が深すぎます";
// Longest real text: the markers "a" to "o" announce 0 to 14 characters.
constexpr int REAL_TEXT_MAX = 14;

uint32_t g_reference = REFERENCE_BASE;

// Containers being sent, outermost first: a container met again inside
// itself would never end.
ValueWord g_sending[SEND_DEPTH_MAX];
int g_sending_depth = 0;

[[noreturn]] void type_error(uint32_t tag) {
    report_error(1215, "フロントエンドに送信するデータの型不正(%d)", static_cast<int>(tag));
}

void put_marked_text(TextBuf& out, char base, const char* text, size_t len) {
    char marker = static_cast<char>(base + len);
    textbuf_append(out, &marker, 1);
    textbuf_append(out, text, len);
}

void put_int(TextBuf& out, int32_t v) {
    char text[16];
    char* end = std::to_chars(text + 1, text + sizeof text, v).ptr;
    text[0] = static_cast<char>('N' + (end - text - 1));
    textbuf_append(out, text, static_cast<size_t>(end - text));
}

// A real as the shortest text that reads back as the same double, in the
// style of "%g" (fixed notation for decimal exponents from -4 up to the
// precision, which is at least six); when that takes more than the 14
// characters the markers "a" to "o" can announce, the most significant
// digits that fit.
size_t real_text(double d, char* text, size_t room) {
    if (!std::isfinite(d)) return static_cast<size_t>(std::snprintf(text, room, "%g", d));
    std::to_chars_result r = std::to_chars(text, text + room, d, std::chars_format::scientific);
    int digits = 0;
    const char* e = text;
    for (; e < r.ptr && *e != 'e'; ++e) digits += *e >= '0' && *e <= '9';
    // The exponent: sign and at least two digits after the "e".
    int exponent = 0;
    for (const char* p = e + 2; p < r.ptr; ++p) exponent = exponent * 10 + (*p - '0');
    if (e + 1 < r.ptr && e[1] == '-') exponent = -exponent;
    int precision = digits < 6 ? 6 : digits;
    if (exponent >= -4 && exponent < precision)
        r = std::to_chars(text, text + room, d, std::chars_format::fixed);
    int n = static_cast<int>(r.ptr - text);
    for (int p = digits - 1; n > REAL_TEXT_MAX && p >= 1; --p) n = std::snprintf(text, room, "%.*g", p, d);
    return static_cast<size_t>(n);
}

void put_real(TextBuf& out, double d) {
    char text[40];
    put_marked_text(out, 'a', text, real_text(d, text, sizeof text));
}

// A Date as "%04d-%02d-%02d %02d:%02d:%02d", with ".%03d" when the
// milliseconds are not 0.
void put_date(TextBuf& out, ValueWord v) {
    const Cell* c = dw_cell(v);
    int month = (c->b1 & 0xF) + 1;
    int hour = c->b2;
    int day = c->b3 & 0x1F;
    int minute = static_cast<int>(c->d4 & 0xFF);
    int second = static_cast<int>((c->d4 >> 8) & 0xFF);
    int year = static_cast<int16_t>(c->d4 >> 16);
    int ms = static_cast<int>(c->d8 & 0x3FF);
    char text[64];
    int n = ms ? std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour,
                               minute, second, ms)
               : std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                               minute, second);
    put_counted_string(out, text, static_cast<size_t>(n));
}

void put_name_constant(TextBuf& out, ValueWord v) {
    if (v == W_UNDEFINED) {
        textbuf_append(out, "10", 2);
        return;
    }
    uint32_t index = word_payload(v);
    put_counted_string(out, name_text(index), name_length(index));
}

// Text of a pair key: a name, or the number of an integer key.
void put_key(TextBuf& out, ValueWord key) {
    if (word_tag(key) == TAG_NAME) {
        put_counted_string(out, name_text(word_payload(key)), name_length(word_payload(key)));
        return;
    }
    char text[16];
    char* end = std::to_chars(text, text + sizeof text, word_payload(key)).ptr;
    put_counted_string(out, text, static_cast<size_t>(end - text));
}

// Words in area memory may be only 2-byte aligned.
const AreaWord* words_at(uint32_t addr) { return static_cast<const AreaWord*>(area_ptr(addr)); }

// A container nested too deeply, or one met again inside itself (its
// nesting has no end), fails with 2390.
void enter_container(ValueWord v) {
    if (g_sending_depth >= SEND_DEPTH_MAX) report_error(2390, "%s", NESTING_ERROR);
    for (int i = 0; i < g_sending_depth; ++i) {
        if (g_sending[i] == v) report_error(2390, "%s", NESTING_ERROR);
    }
    g_sending[g_sending_depth++] = v;
}

// Builds and writes the A or H message of a container; a reference name is
// written plain.
void write_container(const char* name, size_t name_len, bool reference, ValueWord v) {
    uint32_t tag = word_tag(v);
    int depth = g_sending_depth;
    enter_container(v);
    TextBuf msg;
    try {
        Cell* c = dw_cell(v);
        if (tag == TAG_ARRAY) {
            uint32_t n = arr_count(c);
            textbuf_append(msg, "A", 1);
            put_counted_number(msg, n);
            put_counted_string(msg, name, name_len, reference);
            for (uint32_t i = 0; i < n; ++i) put_element_value(msg, words_at(arr_addr(c))[i]);
            ++g_run.count_a;
        } else {
            uint32_t n = obj_count(c);
            textbuf_append(msg, "H", 1);
            put_counted_number(msg, n);
            put_counted_string(msg, name, name_len, reference);
            for (uint32_t i = 0; i < n; ++i) {
                const AreaWord* pairs = words_at(obj_addr(c));
                ValueWord key = pairs[2 * i];
                ValueWord value = pairs[2 * i + 1];
                put_key(msg, key);
                put_element_value(msg, value);
            }
            ++g_run.count_h;
        }
    } catch (...) {
        textbuf_free(msg);
        g_sending_depth = depth;
        throw;
    }
    g_sending_depth = depth;
    frontend_write(msg);
    textbuf_free(msg);
}

}  // namespace

void frontend_write(const TextBuf& message) {
    if (g_run.mode == RunMode::Script) return;
    out_write(message.data, message.len);
}

void put_element_value(TextBuf& out, ValueWord v) {
    uint32_t tag = word_tag(v);
    switch (tag) {
    case TAG_NAME:
        put_name_constant(out, v);
        return;
    case TAG_INT:
        put_int(out, cell_int(dw_cell(v)));
        return;
    case TAG_FLOAT:
        put_real(out, cell_float(dw_cell(v)));
        return;
    case TAG_DATE:
        put_date(out, v);
        return;
    case TAG_STRING:
        put_counted_string(out, string_text(v), string_length(v));
        return;
    case TAG_ARRAY:
    case TAG_OBJECT: {
        // Seven digits would break the eight-byte reference.
        if (g_reference >= REFERENCE_LAST) type_error(tag);
        // "^A" or "^H" and the number in six digits.
        char ref[8];
        ref[0] = '^';
        ref[1] = tag == TAG_ARRAY ? 'A' : 'H';
        uint32_t number = ++g_reference;
        for (int i = 7; i >= 2; --i, number /= 10) ref[i] = static_cast<char>('0' + number % 10);
        write_container(ref, sizeof ref, true, v);
        // The reference travels as written ("^" is not percent-encoded).
        put_counted_string(out, ref, sizeof ref, true);
        return;
    }
    default:
        type_error(tag);
    }
}

void send_container(const char* name, size_t name_len, ValueWord v) {
    write_container(name, name_len, false, v);
    out_flush();
}

void send_value(const char* name, size_t name_len, ValueWord v) {
    uint32_t tag = word_tag(v);
    if (tag == TAG_ARRAY || tag == TAG_OBJECT) {
        write_container(name, name_len, false, v);
        out_flush();
        return;
    }
    if (tag == TAG_SPARSE) report_error(1330, "%s", SEND_TYPE_ERROR);
    if (tag == TAG_NAME && v > W_NAN) report_error(1335, "%s", SEND_TYPE_ERROR);
    if (tag != TAG_NAME && tag != TAG_INT && tag != TAG_FLOAT && tag != TAG_DATE && tag != TAG_STRING)
        report_error(1330, "%s", SEND_TYPE_ERROR);
    TextBuf msg;
    textbuf_append(msg, "s", 1);
    put_counted_string(msg, name, name_len);
    put_element_value(msg, v);
    ++g_run.count_s;
    frontend_write(msg);
    textbuf_free(msg);
    out_flush();
}

void send_alert(ValueWord v) {
    uint32_t tag = word_tag(v);
    TextBuf msg;
    textbuf_append(msg, "s219XYZBCA_ALERT_ABCZYX");
    if (v == W_UNDEFINED) {
        textbuf_append(msg, "10", 2);
    } else if (tag == TAG_STRING) {
        put_counted_string(msg, string_text(v), string_length(v));
    } else if (tag == TAG_ERROR) {
        size_t mlen;
        const char* message = error_message_text(v, &mlen);
        const char* code = error_code_text(v);
        TextBuf text;
        textbuf_append(text, "Exception: CODE=");
        textbuf_append(text, code);
        textbuf_append(text, ", MESSAGE='");
        textbuf_append(text, message, mlen);
        textbuf_append(text, "'");
        put_counted_string(msg, text.data, text.len);
        textbuf_free(text);
    } else {
        textbuf_free(msg);
        report_error(1340, "フロントエンドへ送信するアラートの型不正");
    }
    ++g_run.count_s;
    frontend_write(msg);
    textbuf_free(msg);
    out_flush();
}

// sendToFront(variable), sendToFront("variable"), sendToFront(name, value).
ValueWord op_send_to_front(Cell* node) {
    uint32_t n = node_operand_count(node);
    ValueWord first = node_operand(node, 0);
    if (n == 2) {
        ValueWord name = evaluate(first);
        if (word_tag(name) != TAG_STRING) {
            value_release_temp(name);
            report_error(1325, "オブジェクト名不正");
        }
        ValueWord v = evaluate(node_operand(node, 1));
        try {
            send_value(string_text(name), string_length(name), v);
        } catch (...) {
            value_release_temp(v);
            value_release_temp(name);
            throw;
        }
        value_release_temp(v);
        value_release_temp(name);
        return W_UNDEFINED;
    }
    uint32_t index;
    if (word_tag(first) == TAG_NAME && first > W_NAN) {
        index = word_payload(first);
    } else if (word_tag(first) == TAG_STRING) {
        ValueWord text = evaluate(first);
        uint32_t len = string_length(text);
        if (len == 0 || len > 255) {
            value_release_temp(text);
            report_error(1320, "オブジェクト名不正");
        }
        index = intern(string_text(text), len);
        value_release_temp(text);
    } else {
        report_error(1320, "オブジェクト名不正");
    }
    ValueWord v = lookup_name(name_word(index));
    clear_location();
    send_value(name_text(index), name_length(index), v);
    return W_UNDEFINED;
}

ValueWord op_alert_to_front(Cell* node) {
    ValueWord v = evaluate(node_operand(node, 0));
    try {
        send_alert(v);
    } catch (...) {
        value_release_temp(v);
        throw;
    }
    value_release_temp(v);
    return W_UNDEFINED;
}

void register_frontend_routines() {
    g_op_table[OP_SEND_TO_FRONT] = op_send_to_front;
    g_op_table[OP_ALERT_TO_FRONT] = op_alert_to_front;
}

void frontend_reset_for_tests(uint32_t last) {
    g_reference = last;
    g_sending_depth = 0;
}

}  // namespace velt

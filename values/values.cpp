// Reference counts, freeing by kind, deep copies and the simple makers.
#include "values/values.h"

#include <cstdlib>
#include <cstring>

#include "driver/errors.h"
#include "values/areas.h"

namespace velt {

namespace {

// Tags whose words designate memory with a header byte: 1-3 and 5-14.
constexpr uint32_t COUNTED_TAGS = 0x7FEEu;

inline bool counted(ValueWord w) { return (COUNTED_TAGS >> ((w >> 24) & 0xFu)) & 1u; }

// Values waiting to be freed: children whose last hold went away while a
// parent was being freed. Freeing works off this stack rather than
// recursing, so a long chain of nested values cannot exhaust the C stack.
ValueWord* g_pending = nullptr;
size_t g_pending_count = 0;
size_t g_pending_capacity = 0;

void free_one(uint32_t tag, ValueWord w);
ValueWord copy_value(ValueWord w, int depth);

// Nesting depth of containers a deep copy follows. Deeper values (or an
// array that holds itself) fail with 2390 rather than overrunning the
// stack.
constexpr int MAX_COPY_DEPTH = 1000;

// Drops the hold a freed parent had on a child; a child left unheld is
// queued (or, if the queue cannot grow, freed at once).
inline void drop_child(ValueWord w) {
    if (!counted(w)) return;
    uint8_t* p = word_memory(w);
    uint8_t hdr = *p;
    if (hdr >= 0xF0) return;
    if (hdr >= 0x20) {
        *p = static_cast<uint8_t>(hdr - 0x10);
        return;
    }
    if (hdr >= 0x10) *p = static_cast<uint8_t>(hdr - 0x10);
    if (g_pending_count == g_pending_capacity) {
        size_t cap = g_pending_capacity ? g_pending_capacity * 2 : 256;
        void* grown = std::realloc(g_pending, cap * sizeof(ValueWord));
        if (!grown) {
            free_one((w >> 24) & 0xFu, w);
            return;
        }
        g_pending = static_cast<ValueWord*>(grown);
        g_pending_capacity = cap;
    }
    g_pending[g_pending_count++] = w;
}

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint16_t load_u16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void free_one(uint32_t tag, ValueWord w) {
    switch (tag) {
        case TAG_SQL:
        case TAG_ERROR:
        case TAG_REGEXP:
            area_free(w & 0xFFFFFFu);
            return;
        case TAG_INT:
        case TAG_DATE:
        case TAG_FLOAT:
            dw_free(w);
            return;
        case TAG_STRING: {
            Cell* c = dw_cell(w);
            area_free(str_addr(c));
            dw_free(w);
            return;
        }
        case TAG_ARRAY: {
            Cell* c = dw_cell(w);
            uint32_t n = arr_count(c);
            if (n) {
                const uint8_t* items = static_cast<const uint8_t*>(area_ptr(arr_addr(c)));
                for (uint32_t i = 0; i < n; ++i) drop_child(load_u32(items + 4 * i));
            }
            area_free(arr_addr(c));
            dw_free(w);
            return;
        }
        case TAG_SPARSE: {
            Cell* c = dw_cell(w);
            uint32_t n = arr_count(c);
            if (n) {
                const uint8_t* pairs = static_cast<const uint8_t*>(area_ptr(arr_addr(c)));
                for (uint32_t i = 0; i < n; ++i) drop_child(load_u32(pairs + 8 * i + 4));
            }
            area_free(arr_addr(c));
            dw_free(w);
            return;
        }
        case TAG_OBJECT: {
            Cell* c = dw_cell(w);
            uint32_t n = obj_count(c);
            if (n) {
                const uint8_t* pairs = static_cast<const uint8_t*>(area_ptr(obj_addr(c)));
                for (uint32_t i = 0; i < n; ++i) drop_child(load_u32(pairs + 8 * i + 4));
            }
            area_free(obj_addr(c));
            dw_free(w);
            return;
        }
        case TAG_NODE: {
            Cell* c = dw_cell(w);
            uint32_t n = node_count(c);
            if (n == NODE_MANY_OPERANDS) n = c->d12;
            if (n > 2) {
                const uint8_t* ops = static_cast<const uint8_t*>(area_ptr(c->d4));
                for (uint32_t i = 0; i < n; ++i) drop_child(load_u32(ops + 4 * i));
                area_free(c->d4);
            } else {
                if (n >= 1) drop_child(c->d4);
                if (n == 2) drop_child(c->d8);
            }
            dw_free(w);
            return;
        }
        case TAG_FUNCTION: {
            Cell* c = dw_cell(w);
            drop_child(fn_body(c));
            uint32_t params = c->b2;
            if (params) {
                const uint8_t* names = static_cast<const uint8_t*>(area_ptr(fn_names(c)));
                for (uint32_t i = 0; i < params; ++i) drop_child(load_u32(names + 4 * i));
                area_free(fn_names(c));
            }
            dw_free(w);
            return;
        }
        default:  // immediates, DB_Connection (closed only by its statement), tag 4
            return;
    }
}

// Copies n words of a word block at src into a new block of cap words
// (pairs: every second word is a value, the others keys kept as they are).
// depth is the nesting depth of the block's owner. When a copy fails, the
// copies made so far and the new block are given back.
uint32_t copy_words(uint32_t src_addr, uint32_t n, uint32_t cap, bool pairs, int depth) {
    uint32_t stride = pairs ? 2 : 1;
    if (cap < n) cap = n;
    void* mem;
    uint32_t addr = area_alloc(static_cast<size_t>(cap) * 4 * stride, &mem);
    uint8_t* dst = static_cast<uint8_t*>(mem);
    std::memset(dst, 0, static_cast<size_t>(cap) * 4 * stride);
    uint32_t i = 0;
    try {
        for (; i < n; ++i) {
            // The source may move only if the areas were reorganised, which
            // never happens: resolve once per element anyway, as copying
            // allocates.
            const uint8_t* src = static_cast<const uint8_t*>(area_ptr(src_addr)) + 4 * stride * i;
            if (pairs) std::memcpy(dst + 8 * i, src, 4);
            ValueWord v = load_u32(src + 4 * (stride - 1));
            ValueWord copy = copy_value(v, depth + 1);
            // A shared value came back already retained for its new holder.
            if (copy != v || !counted(v)) value_retain(copy);
            std::memcpy(dst + 4 * stride * i + 4 * (stride - 1), &copy, 4);
        }
    } catch (const ScriptThrow&) {
        for (uint32_t k = 0; k < i; ++k) value_release(load_u32(dst + 4 * stride * k + 4 * (stride - 1)));
        area_free(addr);
        throw;
    }
    return addr;
}

}  // namespace

ValueWord value_retain(ValueWord w) {
    if (!counted(w)) return w;
    uint8_t* p = word_memory(w);
    if (*p < 0xF0) *p = static_cast<uint8_t>(*p + 0x10);
    return w;
}

uint32_t value_retain_old(ValueWord w) {
    if (!counted(w)) return 0;
    uint8_t* p = word_memory(w);
    uint8_t hdr = *p;
    if (hdr < 0xF0) *p = static_cast<uint8_t>(hdr + 0x10);
    return hdr & 0xF0u;
}

void value_release(ValueWord w) {
    if (!counted(w)) return;
    uint8_t* p = word_memory(w);
    uint8_t hdr = *p;
    if (hdr >= 0xF0) return;  // permanent (or a freed cell)
    if (hdr >= 0x20) {
        *p = static_cast<uint8_t>(hdr - 0x10);
        return;
    }
    if (hdr >= 0x10) *p = static_cast<uint8_t>(hdr - 0x10);
    value_free((w >> 24) & 0xFu, w);
}

void value_release_temp(ValueWord w) {
    if (!counted(w)) return;
    if ((*word_memory(w) >> 4) == 0) value_free((w >> 24) & 0xFu, w);
}

uint32_t value_unhold(ValueWord w) {
    if (!counted(w)) return 0x10;
    uint8_t* p = word_memory(w);
    uint32_t nibble = *p >> 4;
    if (nibble >= 1 && nibble <= 14) *p = static_cast<uint8_t>(*p - 0x10);
    return ((nibble + 1) * 16) & 0xFFu;
}

void value_free(uint32_t tag, ValueWord w) {
    size_t base = g_pending_count;
    free_one(tag, w);
    while (g_pending_count > base) {
        ValueWord next = g_pending[--g_pending_count];
        free_one((next >> 24) & 0xFu, next);
    }
}

uint32_t value_nibble(ValueWord w) {
    if (!counted(w)) return 0;
    return *word_memory(w) >> 4;
}

ValueWord value_copy(ValueWord w) { return copy_value(w, 0); }

namespace {

ValueWord copy_value(ValueWord w, int depth) {
    uint32_t tag = (w >> 24) & 0xFu;
    switch (tag) {
        case TAG_NAME:
        case TAG_INTKEY:
            return w;
        case TAG_ERROR:
        case TAG_REGEXP:
        case TAG_SQL:
        case TAG_DBCONN:
        case TAG_FUNCTION:
            return value_retain(w);
        case TAG_INT:
        case TAG_DATE:
        case TAG_FLOAT: {
            ValueWord out;
            Cell* c = dw_alloc(tag, &out, 0);
            const Cell* src = dw_cell(w);
            std::memcpy(reinterpret_cast<uint8_t*>(c) + 1, reinterpret_cast<const uint8_t*>(src) + 1, 15);
            return out;
        }
        case TAG_STRING: {
            uint32_t len = str_len(dw_cell(w));
            uint32_t cap = len + 8;
            void* mem;
            uint32_t addr = area_alloc(static_cast<size_t>(cap) + 4, &mem);
            const void* text = area_ptr(str_addr(dw_cell(w)));
            std::memcpy(mem, text, len);
            static_cast<uint8_t*>(mem)[len] = 0;
            ValueWord out;
            Cell* c = dw_alloc(TAG_STRING, &out, 0);
            const Cell* src = dw_cell(w);
            c->b1 = src->b1;
            c->b2 = src->b2;
            c->b3 = src->b3;
            str_addr(c) = addr;
            str_cap(c) = cap;
            str_len(c) = len;
            return out;
        }
        case TAG_ARRAY:
        case TAG_SPARSE: {
            Cell* src = dw_cell(w);
            uint32_t n = arr_count(src);
            uint32_t cap = arr_cap(src);
            if (depth >= MAX_COPY_DEPTH) report_error(2390, "データの入れ子が深すぎます");
            uint32_t addr = copy_words(arr_addr(src), n, cap, tag == TAG_SPARSE, depth);
            ValueWord out;
            Cell* c = dw_alloc(tag, &out, 0);
            src = dw_cell(w);
            c->b1 = src->b1;
            c->b2 = src->b2;
            arr_addr(c) = addr;
            arr_count(c) = n;
            arr_cap(c) = cap;
            return out;
        }
        case TAG_OBJECT: {
            Cell* src = dw_cell(w);
            uint32_t n = obj_count(src);
            uint32_t cap = obj_cap(src);
            if (depth >= MAX_COPY_DEPTH) report_error(2390, "データの入れ子が深すぎます");
            uint32_t addr = copy_words(obj_addr(src), n, cap, true, depth);
            ValueWord out;
            Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
            src = dw_cell(w);
            c->b1 = src->b1;
            c->b2 = src->b2;
            c->b3 = src->b3;
            c->d4 = src->d4;  // pair count and capacity
            obj_addr(c) = addr;
            obj_class(c) = obj_class(src);
            return out;
        }
        default:
            report_error(1420, "newの引数不正");
    }
}

}  // namespace

ValueWord make_int(int32_t v, uint32_t initial_count) {
    ValueWord w;
    Cell* c = dw_alloc(TAG_INT, &w, initial_count);
    set_cell_int(c, v);
    return w;
}

ValueWord make_float(double d, uint32_t initial_count) {
    ValueWord w;
    Cell* c = dw_alloc(TAG_FLOAT, &w, initial_count);
    set_cell_float(c, d);
    return w;
}

ValueWord make_error_value(const char* code, const char* message, size_t message_len) {
    constexpr size_t CODE_MAX = 19;
    constexpr size_t MESSAGE_MAX = 0xFFFF;
    size_t code_len = code ? std::strlen(code) : 0;
    if (code_len > CODE_MAX) code_len = CODE_MAX;
    if (!message) message_len = 0;
    if (message_len > MESSAGE_MAX) message_len = MESSAGE_MAX;
    size_t size = 8 + code_len + message_len + 1;
    // Quiet allocation: this value is what a report of exhausted memory is
    // carried in, so failing here must not report again. An exhausted area
    // falls back to a large-object entry of its own.
    void* mem;
    uint32_t addr = area_alloc_quiet(size, &mem);
    if (addr == AREA_NONE) addr = area_alloc_large_quiet(size, &mem);
    if (addr == AREA_NONE) fatal_exit("メモリ領域を取得できません");
    uint8_t* p = static_cast<uint8_t*>(mem);
    std::memset(p, 0, 8 + code_len);
    p[0] = TAG_ERROR;
    uint16_t ml = static_cast<uint16_t>(message_len);
    uint16_t cl = static_cast<uint16_t>(code_len);
    std::memcpy(p + 2, &ml, 2);
    std::memcpy(p + 4, &cl, 2);
    if (code_len) std::memcpy(p + 6, code, code_len);
    if (message_len) std::memcpy(p + 8 + code_len, message, message_len);
    p[8 + code_len + message_len] = 0;
    return make_word(TAG_ERROR, addr);
}

const char* error_code_text(ValueWord w) {
    return reinterpret_cast<const char*>(static_cast<const uint8_t*>(area_ptr(w & 0xFFFFFFu)) + 6);
}

const char* error_message_text(ValueWord w, size_t* len) {
    const uint8_t* p = static_cast<const uint8_t*>(area_ptr(w & 0xFFFFFFu));
    if (len) *len = load_u16(p + 2);
    return reinterpret_cast<const char*>(p + 8 + load_u16(p + 4));
}

}  // namespace velt

// Object.keys and the methods of a Hash (an Object value: its (key, value)
// pairs in insertion order, keys being name words).
//
// The call rule that a key holding a function hides the built-in method of
// that name lives in the method dispatch (eval/calls.cpp); the routines
// here are reached only when it does not apply.
#include <cstring>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "eval/eval.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

constexpr ValueWord KEY_BITS = 0x0FFFFFFFu;

inline AreaWord* pairs_of(Cell* c) {
    return obj_count(c) ? static_cast<AreaWord*>(area_ptr(obj_addr(c))) : nullptr;
}

// The key word a Hash routine looks for: a string is interned, a real name
// (not undefined, true, false, null or NaN) is used as it is; anything
// else is error 2425.
ValueWord hash_key(ValueWord k) {
    if (word_tag(k) == TAG_STRING) {
        uint32_t len = string_length(k);
        uint32_t index = len <= 255 ? intern(string_text(k), len) : NAME_INVALID;
        if (index != NAME_INVALID) return name_word(index);
    } else if (word_tag(k) == TAG_NAME && k > W_NAN) {
        return k & KEY_BITS;
    }
    report_error(2425, "HASHのキー不正");
}

int find_key(Cell* c, ValueWord key) {
    uint32_t n = obj_count(c);
    const AreaWord* pairs = pairs_of(c);
    for (uint32_t i = 0; i < n; ++i) {
        if ((pairs[2 * i] & KEY_BITS) == key) return static_cast<int>(i);
    }
    return -1;
}

// The text of a pair's key as a new string: a name's text, an integer
// key's number.
ValueWord key_string(ValueWord key) {
    if (word_tag(key) == TAG_INTKEY) {
        char num[16];
        return make_string(num, format_int(num, static_cast<int32_t>(word_payload(key))));
    }
    uint32_t index = key & 0xFFFFFFu;
    return make_string(name_text(index), name_length(index));
}

// A new Array of n elements, each made by `make(i)` and retained, filled
// one by one so that a failure part way leaves a valid Array to free.
template <typename Make>
ValueWord build_array(uint32_t n, Make make) {
    void* mem;
    uint32_t addr = area_alloc((static_cast<size_t>(n) + 10) * 4, &mem);
    ValueWord a;
    Cell* c = dw_alloc(TAG_ARRAY, &a, 1);
    arr_addr(c) = addr;
    arr_count(c) = 0;
    arr_cap(c) = n + 10;
    try {
        for (uint32_t i = 0; i < n; ++i) {
            ValueWord e = value_retain(make(i));
            static_cast<AreaWord*>(area_ptr(arr_addr(dw_cell(a))))[i] = e;
            arr_count(dw_cell(a)) = i + 1;
        }
    } catch (const ScriptThrow&) {
        value_release(a);
        throw;
    }
    value_unhold(a);
    return a;
}

ValueWord hash_keys_of(ValueWord h) {
    uint32_t n = obj_count(dw_cell(h));
    return build_array(n, [h](uint32_t i) { return key_string(pairs_of(dw_cell(h))[2 * i]); });
}

// ---- Object ----

ValueWord object_keys(ValueWord, ValueWord* args, int) {
    ValueWord x = args[0];
    switch (word_tag(x)) {
    case TAG_ARRAY:
        return build_array(arr_count(dw_cell(x)), [](uint32_t i) { return int_value(static_cast<int32_t>(i)); });
    case TAG_SPARSE:
        return build_array(arr_count(dw_cell(x)), [x](uint32_t i) {
            ValueWord key = static_cast<const AreaWord*>(area_ptr(arr_addr(dw_cell(x))))[2 * i];
            if (word_tag(key) == TAG_INTKEY) return int_value(static_cast<int32_t>(word_payload(key)));
            return key_string(key);
        });
    case TAG_OBJECT: return hash_keys_of(x);
    default: report_error(2420, "Object.keysの引数不正");
    }
}

// ---- Hash ----

ValueWord hash_keys(ValueWord h, ValueWord*, int) { return hash_keys_of(h); }

ValueWord hash_to_string(ValueWord h, ValueWord*, int) {
    TextBuf t;
    textbuf_append(t, "{", 1);
    for (uint32_t i = 0; i < obj_count(dw_cell(h)); ++i) {
        if (i > 0) textbuf_append(t, ",", 1);
        // Read again each time: nothing here runs script code, but the
        // pair block is never kept across an append.
        const AreaWord* pairs = pairs_of(dw_cell(h));
        ValueWord key = pairs[2 * i];
        if (word_tag(key) == TAG_INTKEY) {
            char num[16];
            textbuf_append(t, num, format_int(num, static_cast<int32_t>(word_payload(key))));
        } else {
            uint32_t index = key & 0xFFFFFFu;
            textbuf_append(t, name_text(index), name_length(index));
        }
        textbuf_append(t, ":", 1);
        value_display(pairs[2 * i + 1], true, t);
    }
    textbuf_append(t, "}", 1);
    return make_string(t.data, t.len);
}

ValueWord hash_clear(ValueWord h, ValueWord*, int) {
    Cell* c = dw_cell(h);
    uint32_t n = obj_count(c);
    AreaWord* pairs = pairs_of(c);
    set_obj_count(c, 0);
    for (uint32_t i = 0; i < n; ++i) value_release(pairs[2 * i + 1]);
    return W_UNDEFINED;
}

ValueWord hash_delete(ValueWord h, ValueWord* args, int) {
    ValueWord key = hash_key(args[0]);
    Cell* c = dw_cell(h);
    int i = find_key(c, key);
    if (i < 0) return W_FALSE;
    AreaWord* pairs = pairs_of(c);
    uint32_t n = obj_count(c);
    ValueWord removed = pairs[2 * i + 1];
    std::memmove(pairs + 2 * i, pairs + 2 * i + 2, static_cast<size_t>(n - 1 - static_cast<uint32_t>(i)) * 8);
    set_obj_count(c, n - 1);
    value_release(removed);
    return W_TRUE;
}

ValueWord hash_get(ValueWord h, ValueWord* args, int) {
    ValueWord key = hash_key(args[0]);
    Cell* c = dw_cell(h);
    int i = find_key(c, key);
    return i < 0 ? W_UNDEFINED : pairs_of(c)[2 * i + 1];
}

ValueWord hash_has(ValueWord h, ValueWord* args, int) {
    return find_key(dw_cell(h), hash_key(args[0])) < 0 ? W_FALSE : W_TRUE;
}

// The new value is retained before the old one is released (they may be
// the same word); the result is the value, held by the Hash.
ValueWord hash_set(ValueWord h, ValueWord* args, int) {
    ValueWord key = hash_key(args[0]);
    ValueWord v = args[1];
    Cell* c = dw_cell(h);
    int i = find_key(c, key);
    if (i < 0) i = static_cast<int>(object_append_pair(h, key));
    AreaWord* slot = static_cast<AreaWord*>(area_ptr(obj_addr(dw_cell(h)))) + 2 * i + 1;
    ValueWord old = *slot;
    *slot = value_retain(v);
    value_release(old);
    return v;
}

// The callback must be a function of exactly three plain parameters.
void check_for_each_callback(ValueWord fn) {
    if (word_tag(fn) != TAG_FUNCTION) report_error(2430, "引数の個数不正");
    Cell* f = dw_cell(fn);
    if (f->b2 != 3) report_error(2430, "引数の個数不正");
    const AreaWord* items = static_cast<const AreaWord*>(area_ptr(fn_names(f)));
    static const int codes[3] = {2435, 2440, 2445};
    for (int i = 0; i < 3; ++i) {
        if (word_tag(items[i]) != TAG_NAME) report_error(codes[i], "引数の個数不正");
    }
}

// Calls back (value, key text, hash) per entry. The count and the pair
// block are read again at every step, and the walk stops at the smaller of
// the first and the current count, so a callback that adds or removes
// entries never makes it read freed storage. The Hash, the value and the
// key text are held during each call.
ValueWord hash_for_each(ValueWord h, ValueWord* args, int) {
    ValueWord fn = args[0];
    check_for_each_callback(fn);
    uint32_t first = obj_count(dw_cell(h));
    value_retain(h);
    try {
        for (uint32_t i = 0; i < first && i < obj_count(dw_cell(h)); ++i) {
            const AreaWord* pairs = pairs_of(dw_cell(h));
            ValueWord call_args[3];
            call_args[0] = value_retain(pairs[2 * i + 1]);
            call_args[2] = h;
            try {
                call_args[1] = value_retain(key_string(pairs[2 * i]));
            } catch (const ScriptThrow&) {
                value_release(call_args[0]);
                throw;
            }
            try {
                value_release_temp(call_function(fn, W_NONE_THIS, call_args, 3));
            } catch (const ScriptThrow&) {
                value_release(call_args[0]);
                value_release(call_args[1]);
                throw;
            }
            value_release(call_args[0]);
            value_release(call_args[1]);
        }
    } catch (const ScriptThrow&) {
        value_unhold(h);
        throw;
    }
    // The call routine releases a temporary receiver once the result is held.
    value_unhold(h);
    return W_UNDEFINED;
}

}  // namespace

void register_hash_builtins() {
    method_install(g_object_static_methods, "keys", object_keys);
    method_install(g_hash_methods, "keys", hash_keys);
    method_install(g_hash_methods, "toString", hash_to_string);
    method_install(g_hash_methods, "clear", hash_clear);
    method_install(g_hash_methods, "delete", hash_delete);
    method_install(g_hash_methods, "get", hash_get);
    method_install(g_hash_methods, "has", hash_has);
    method_install(g_hash_methods, "set", hash_set);
    method_install(g_hash_methods, "forEach", hash_for_each);
}

}  // namespace velt

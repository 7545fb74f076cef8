// Array and sparse-array methods: the routines behind the Array method-name
// table (eval/methods.cpp) and their registration.
//
// An Array cell holds its element count, capacity and the area address of
// a dense run of element words; a sparse array's run holds (key, value)
// pairs in insertion order. Both hold one reference on every element.
// Routines that call back into script code (sort) hold the receiver and
// every element they work on, so a callback that changes or drops the
// array never makes them read freed words.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "driver/errors.h"
#include "driver/run.h"
#include "eval/calls.h"
#include "eval/eval.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/text.h"
#include "values/values.h"

namespace velt {

namespace {

// Room a new Array gets beyond its elements, and the least a growing
// storage block gains.
constexpr uint32_t HEADROOM = 10;
// Storage blocks and string results are kept below 2^31 bytes, so that no
// 32-bit length or capacity field can wrap; larger ones fail with 1400
// before anything is allocated.
constexpr uint64_t MAX_BYTES = uint64_t{1} << 31;
// Integer keys of sparse arrays are 24 bits wide.
constexpr uint32_t KEY_MAX = 0xFFFFFFu;

[[noreturn]] void no_memory() { report_error(1400, "メモリ領域を取得できません"); }

inline AreaWord* words_of(Cell* c) { return static_cast<AreaWord*>(area_ptr(arr_addr(c))); }

// A private copy of n words. Area words may be only 2-byte aligned, so they
// are read one by one rather than through pointer-range algorithms.
std::vector<ValueWord> copy_words_out(const AreaWord* p, size_t n) {
    std::vector<ValueWord> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = p[i];
    return out;
}
inline uint32_t stride_of(const Cell* c) { return cell_tag(c) == TAG_SPARSE ? 2u : 1u; }

// A storage block of cap entries of stride words each.
uint32_t storage_alloc(uint64_t cap, uint32_t stride, AreaWord** out) {
    uint64_t bytes = cap * stride * 4;
    if (bytes >= MAX_BYTES) no_memory();
    void* mem = nullptr;
    uint32_t addr = area_alloc(static_cast<size_t>(bytes), &mem);
    *out = static_cast<AreaWord*>(mem);
    return addr;
}

// Makes room for `need` entries. The block grows by half its capacity (at
// least the headroom), so n pushes copy O(n) words in all.
void reserve(Cell* c, uint64_t need) {
    uint32_t cap = arr_cap(c);
    if (need <= cap) return;
    uint32_t stride = stride_of(c);
    uint64_t grown = uint64_t{cap} + std::max<uint64_t>(cap / 2, HEADROOM);
    if (grown < need + HEADROOM) grown = need + HEADROOM;
    uint64_t limit = MAX_BYTES / (4u * stride) - 1;
    if (grown > limit) grown = limit;
    if (need > grown) no_memory();
    AreaWord* fresh;
    uint32_t addr = storage_alloc(grown, stride, &fresh);
    uint32_t n = arr_count(c);
    if (n) std::memcpy(fresh, words_of(c), size_t{n} * stride * 4);
    area_free(arr_addr(c));
    arr_addr(c) = addr;
    arr_cap(c) = static_cast<uint32_t>(grown);
}

// A new empty Array (nibble 0) with room for n elements plus the headroom.
ValueWord new_array(uint64_t n, AreaWord** elems) {
    AreaWord* w;
    uint32_t addr = storage_alloc(n + HEADROOM, 1, &w);
    ValueWord out;
    Cell* c = dw_alloc(TAG_ARRAY, &out, 0);
    arr_addr(c) = addr;
    arr_count(c) = 0;
    arr_cap(c) = static_cast<uint32_t>(n + HEADROOM);
    *elems = w;
    return out;
}

// One-level copy: an Array, sparse array or Object becomes a new container
// (nibble 0) of the same kind and capacity holding the same words, each
// retained; any other value is shared (the caller retains it on storing).
ValueWord shallow_copy(ValueWord v) {
    uint32_t tag = word_tag(v);
    if (tag == TAG_ARRAY || tag == TAG_SPARSE) {
        Cell* src = dw_cell(v);
        uint32_t stride = stride_of(src);
        uint32_t n = arr_count(src);
        uint32_t cap = std::max(arr_cap(src), n);
        AreaWord* w;
        uint32_t addr = storage_alloc(cap, stride, &w);
        if (n) {
            const AreaWord* s = words_of(src);
            for (uint64_t i = 0; i < uint64_t{n} * stride; ++i) w[i] = retain(s[i]);
        }
        ValueWord out;
        Cell* c = dw_alloc(tag, &out, 0);
        src = dw_cell(v);
        c->b1 = src->b1;
        c->b2 = src->b2;
        arr_addr(c) = addr;
        arr_count(c) = n;
        arr_cap(c) = cap;
        return out;
    }
    if (tag == TAG_OBJECT) {
        Cell* src = dw_cell(v);
        uint32_t n = obj_count(src);
        uint32_t cap = std::max<uint32_t>(obj_cap(src), n);
        AreaWord* w;
        uint32_t addr = storage_alloc(cap, 2, &w);
        if (n) {
            const AreaWord* s = static_cast<const AreaWord*>(area_ptr(obj_addr(src)));
            for (uint32_t i = 0; i < 2 * n; ++i) w[i] = retain(s[i]);
        }
        ValueWord out;
        Cell* c = dw_alloc(TAG_OBJECT, &out, 0);
        src = dw_cell(v);
        c->b1 = src->b1;
        c->b2 = src->b2;
        c->b3 = src->b3;
        set_obj_count(c, n);
        set_obj_cap(c, cap);
        obj_addr(c) = addr;
        obj_class(c) = obj_class(src);
        return out;
    }
    return v;
}

// Words retained for the life of a routine and released when it ends,
// also when an error unwinds through it.
struct HeldWords {
    std::vector<ValueWord> w;
    HeldWords() = default;
    HeldWords(const HeldWords&) = delete;
    HeldWords& operator=(const HeldWords&) = delete;
    ~HeldWords() {
        for (ValueWord v : w) value_release(v);
    }
};

// Index argument normalised against n: negative counts from the end (0 at
// least), past the last element gives n. Error 2500 for a non-integer.
uint32_t normalize_index(ValueWord v, uint32_t n) {
    if (word_tag(v) != TAG_INT) report_error(2500, "引数が整数ではありません");
    int64_t i = cell_int(dw_cell(v));
    if (i < 0) {
        i += n;
        if (i < 0) i = 0;
    } else if (i > int64_t{n} - 1) {
        i = n;
    }
    return static_cast<uint32_t>(i);
}

inline uint32_t index_arg(ValueWord* args, int argc, int at, uint32_t fallback, uint32_t n) {
    return argc > at ? normalize_index(args[at], n) : fallback;
}

// ---- Equality of searched values ----

inline bool is_number(ValueWord w) {
    uint32_t t = word_tag(w);
    return t == TAG_INT || t == TAG_FLOAT;
}
inline double number_of(ValueWord w) {
    Cell* c = dw_cell(w);
    return cell_tag(c) == TAG_INT ? static_cast<double>(cell_int(c)) : cell_float(c);
}

// A number equals an integer or float element of the same value (NaN
// equals nothing); a string equals a string element of the same bytes
// (the whole byte length). Other needles match nothing.
bool same_value(ValueWord needle, ValueWord elem) {
    uint32_t tn = word_tag(needle), te = word_tag(elem);
    if (tn == TAG_INT && te == TAG_INT) return cell_int(dw_cell(needle)) == cell_int(dw_cell(elem));
    if (is_number(needle)) return is_number(elem) && number_of(needle) == number_of(elem);
    if (tn == TAG_STRING) {
        if (te != TAG_STRING) return false;
        uint32_t len = string_length(needle);
        return string_length(elem) == len && std::memcmp(string_text(needle), string_text(elem), len) == 0;
    }
    return false;
}

void check_search_value(ValueWord v, int code) {
    if (!is_number(v) && word_tag(v) != TAG_STRING) report_error(code, "Arrayの引数不正");
}

// ---- Text of elements ----

// The plain text of an element: a string's own bytes, other kinds written
// into scratch.
void element_text(ValueWord v, TextBuf& scratch, const char** text, size_t* len) {
    if (word_tag(v) == TAG_STRING) {
        *text = string_text(v);
        *len = string_length(v);
        return;
    }
    scratch.len = 0;
    textbuf_append(scratch, "", 0);
    value_text(v, scratch);
    *text = scratch.data;
    *len = scratch.len;
}

// A new string of len bytes whose text the caller fills (capacity len + 8).
ValueWord new_string_of(size_t len, char** text) {
    if (len >= MAX_BYTES) no_memory();
    void* mem = nullptr;
    uint32_t addr = area_alloc(len + 12, &mem);
    ValueWord out;
    Cell* c = dw_alloc(TAG_STRING, &out, 0);
    str_addr(c) = addr;
    str_cap(c) = static_cast<uint32_t>(len + 8);
    str_len(c) = static_cast<uint32_t>(len);
    *text = static_cast<char*>(mem);
    (*text)[len] = 0;
    return out;
}

// The values of an Array or sparse array in storage order, joined by sep.
// The length is summed in 64 bits and checked before the string is made.
ValueWord join_values(ValueWord recv, const char* sep, size_t sep_len) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n == 0) return make_string("", 0);
    uint32_t stride = stride_of(c);
    TextBuf scratch;
    const char* t;
    size_t l;
    uint64_t total = uint64_t{sep_len} * (n - 1);
    for (uint32_t i = 0; i < n; ++i) {
        element_text(words_of(c)[i * stride + stride - 1], scratch, &t, &l);
        total += l;
        if (total >= MAX_BYTES) no_memory();
    }
    char* out;
    ValueWord s = new_string_of(static_cast<size_t>(total), &out);
    size_t at = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i) {
            std::memcpy(out + at, sep, sep_len);
            at += sep_len;
        }
        element_text(words_of(c)[i * stride + stride - 1], scratch, &t, &l);
        std::memcpy(out + at, t, l);
        at += l;
    }
    return s;
}

// ---- Sparse-array keys ----

inline bool is_int_key(ValueWord k) { return word_tag(k) != TAG_NAME; }

// Largest integer key + 1 (0 when there is none): the length that index
// arguments are measured against.
uint32_t sparse_length(Cell* c) {
    uint32_t n = arr_count(c);
    uint32_t len = 0;
    const AreaWord* p = n ? words_of(c) : nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        if (is_int_key(p[2 * i]) && word_payload(p[2 * i]) + 1 > len) len = word_payload(p[2 * i]) + 1;
    }
    return len;
}

[[noreturn]] void key_overflow() { report_error(2025, "インデックス不正"); }

// ---- Sorting ----

// Text-order keys: byte-wise as unsigned bytes, a prefix first.
struct TextKey {
    const char* p;
    size_t len;
};
inline bool text_less(const TextKey& a, const TextKey& b) {
    size_t m = std::min(a.len, b.len);
    int r = m ? std::memcmp(a.p, b.p, m) : 0;
    return r != 0 ? r < 0 : a.len < b.len;
}

// Default sort: the text forms are made first (an error there leaves the
// array untouched), then a stable sort of the positions. No script code
// runs, so the words can be permuted in place.
void sort_by_text(Cell* c) {
    uint32_t n = arr_count(c);
    std::vector<std::string> owned(n);
    std::vector<TextKey> keys(n);
    TextBuf scratch;
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord v = words_of(c)[i];
        if (word_tag(v) == TAG_STRING) {
            keys[i] = {string_text(v), string_length(v)};
            continue;
        }
        const char* t;
        size_t l;
        element_text(v, scratch, &t, &l);
        owned[i].assign(t, l);
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (word_tag(words_of(c)[i]) != TAG_STRING) keys[i] = {owned[i].data(), owned[i].size()};
    }
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return text_less(keys[a], keys[b]); });
    std::vector<ValueWord> words = copy_words_out(words_of(c), n);
    AreaWord* e = words_of(c);
    for (uint32_t i = 0; i < n; ++i) e[i] = words[order[i]];
}

// One call of the comparison function: its result's sign. A call that
// ends without returning a value is error 2540. The source position of the
// sort call is put back after each call, so that 2540 and later errors of
// the same expression name the sort, not the comparison's last line.
int compare_call(ValueWord fn, ValueWord a, ValueWord b) {
    AreaWord args[2] = {a, b};
    uint32_t module = g_run.current_module, line = g_run.current_line, column = g_run.current_column;
    g_call_returned_value = false;
    ValueWord r = call_function(fn, W_NONE_THIS, args, 2);
    g_run.current_module = module;
    g_run.current_line = line;
    g_run.current_column = column;
    if (!g_call_returned_value) {
        value_release_temp(r);
        report_error(2540, "ソートでの比較結果不正");
    }
    int sign = 0;
    if (word_tag(r) == TAG_INT) {
        int32_t v = cell_int(dw_cell(r));
        sign = v > 0 ? 1 : (v < 0 ? -1 : 0);
    } else if (word_tag(r) == TAG_FLOAT) {
        double d = cell_float(dw_cell(r));
        sign = d > 0 ? 1 : (d == 0 ? 0 : -1);
    }
    value_release_temp(r);
    return sign;
}

// Stable bottom-up merge sort of words with the comparison function; a
// pair already in order needs one call per merge.
void merge_sort(std::vector<ValueWord>& work, ValueWord fn) {
    size_t n = work.size();
    std::vector<ValueWord> tmp(n);
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            if (mid >= hi || compare_call(fn, work[mid - 1], work[mid]) <= 0) {
                std::copy(work.begin() + static_cast<std::ptrdiff_t>(lo), work.begin() + static_cast<std::ptrdiff_t>(hi),
                          tmp.begin() + static_cast<std::ptrdiff_t>(lo));
                continue;
            }
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (compare_call(fn, work[i], work[j]) <= 0) {
                    tmp[k++] = work[i++];
                } else {
                    tmp[k++] = work[j++];
                }
            }
            while (i < mid) tmp[k++] = work[i++];
            while (j < hi) tmp[k++] = work[j++];
        }
        work.swap(tmp);
    }
}

// The receiver held while a sort calls script code, handed back (never
// freed here) when the sort ends or fails.
struct HeldReceiver {
    ValueWord w;
    explicit HeldReceiver(ValueWord v) : w(retain(v)) {}
    HeldReceiver(const HeldReceiver&) = delete;
    HeldReceiver& operator=(const HeldReceiver&) = delete;
    ~HeldReceiver() { unhold(w); }
};

// ---- Array methods ----

ValueWord array_concat(ValueWord recv, ValueWord* args, int argc) {
    uint64_t total = arr_count(dw_cell(recv));
    for (int i = 0; i < argc; ++i) {
        uint32_t t = word_tag(args[i]);
        if (t != TAG_ARRAY && t != TAG_SPARSE) report_error(2505, "Array.concatの引数不正");
        total += arr_count(dw_cell(args[i]));
    }
    AreaWord* out;
    ValueWord result = new_array(total, &out);
    uint32_t k = 0;
    for (int i = -1; i < argc; ++i) {
        Cell* c = dw_cell(i < 0 ? recv : args[i]);
        uint32_t n = arr_count(c), stride = stride_of(c);
        const AreaWord* s = n ? words_of(c) : nullptr;
        for (uint32_t j = 0; j < n; ++j) out[k++] = retain(s[j * stride + stride - 1]);
    }
    arr_count(dw_cell(result)) = k;
    return result;
}

ValueWord array_keys(ValueWord recv, ValueWord*, int) {
    uint32_t n = arr_count(dw_cell(recv));
    AreaWord* out;
    ValueWord result = new_array(n, &out);
    Cell* rc = dw_cell(result);
    for (uint32_t i = 0; i < n; ++i) {
        out[i] = retain(int_value(static_cast<int32_t>(i)));
        arr_count(rc) = i + 1;
    }
    return result;
}

ValueWord array_reverse(ValueWord recv, ValueWord*, int) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n > 1) {
        AreaWord* w = words_of(c);
        for (uint32_t i = 0, j = n - 1; i < j; ++i, --j) {
            ValueWord t = w[i];
            w[i] = w[j];
            w[j] = t;
        }
    }
    return recv;
}

ValueWord array_index_of(ValueWord recv, ValueWord* args, int argc) {
    check_search_value(args[0], 2510);
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    uint32_t from = index_arg(args, argc, 1, 0, n);
    for (uint32_t i = from; i < n; ++i) {
        if (same_value(args[0], words_of(c)[i])) return int_value(static_cast<int32_t>(i));
    }
    return int_value(-1);
}

ValueWord array_last_index_of(ValueWord recv, ValueWord* args, int argc) {
    check_search_value(args[0], 2515);
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n == 0) {
        if (argc > 1) normalize_index(args[1], 0);
        return int_value(-1);
    }
    uint32_t from = index_arg(args, argc, 1, n - 1, n);
    if (from > n - 1) from = n - 1;
    for (uint32_t i = from + 1; i-- > 0;) {
        if (same_value(args[0], words_of(c)[i])) return int_value(static_cast<int32_t>(i));
    }
    return int_value(-1);
}

ValueWord array_join(ValueWord recv, ValueWord* args, int argc) {
    if (argc == 0) return join_values(recv, ",", 1);
    if (word_tag(args[0]) != TAG_STRING) report_error(2525, "引数不正");
    return join_values(recv, string_text(args[0]), string_length(args[0]));
}

ValueWord array_pop(ValueWord recv, ValueWord*, int) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n == 0) return W_UNDEFINED;
    uint32_t stride = stride_of(c);
    ValueWord v = words_of(c)[(n - 1) * stride + stride - 1];
    arr_count(c) = n - 1;
    unhold(v);  // the array's hold passes to the caller
    return v;
}

ValueWord array_push(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    reserve(c, uint64_t{n} + static_cast<uint32_t>(argc));
    AreaWord* e = words_of(c);
    for (int i = 0; i < argc; ++i) e[n + static_cast<uint32_t>(i)] = retain(args[i]);
    arr_count(c) = n + static_cast<uint32_t>(argc);
    return int_value(static_cast<int32_t>(arr_count(c)));
}

ValueWord array_slice(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    uint32_t start = index_arg(args, argc, 0, 0, n);
    uint32_t end = index_arg(args, argc, 1, n, n);
    uint32_t m = start < end ? end - start : 0;
    AreaWord* out;
    ValueWord result = new_array(m, &out);
    Cell* rc = dw_cell(result);
    for (uint32_t i = 0; i < m; ++i) {
        out[i] = retain(shallow_copy(words_of(dw_cell(recv))[start + i]));
        arr_count(rc) = i + 1;
    }
    return result;
}

ValueWord array_to_string(ValueWord recv, ValueWord*, int) {
    TextBuf b;
    value_text(recv, b);
    if (b.len >= MAX_BYTES) no_memory();
    return make_string(b.data ? b.data : "", b.len);
}

ValueWord array_shift(ValueWord recv, ValueWord*, int) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n == 0) return W_UNDEFINED;
    uint32_t stride = stride_of(c);
    AreaWord* e = words_of(c);
    ValueWord v = e[stride - 1];
    std::memmove(e, e + stride, size_t{n - 1} * stride * 4);
    arr_count(c) = n - 1;
    unhold(v);
    return v;
}

ValueWord array_unshift(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c), k = static_cast<uint32_t>(argc);
    reserve(c, uint64_t{n} + k);
    AreaWord* e = words_of(c);
    if (n) std::memmove(e + k, e, size_t{n} * 4);
    for (uint32_t i = 0; i < k; ++i) e[i] = retain(args[i]);
    arr_count(c) = n + k;
    return int_value(static_cast<int32_t>(n + k));
}

ValueWord array_copy_within(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    uint32_t target = normalize_index(args[0], n);
    uint32_t start = index_arg(args, argc, 1, 0, n);
    uint32_t end = index_arg(args, argc, 2, n, n);
    if (start >= end || target >= n) return recv;
    // The source run is held first: writing may release the words it
    // replaces, which may be the ones still to be copied.
    HeldWords run;
    run.w.reserve(end - start);
    for (uint32_t i = start; i < end; ++i) run.w.push_back(retain(words_of(c)[i]));
    for (uint32_t j = 0; j < run.w.size() && target + j < arr_count(dw_cell(recv)); ++j) {
        ValueWord v = retain(shallow_copy(run.w[j]));
        AreaWord* slot = &words_of(dw_cell(recv))[target + j];
        ValueWord old = *slot;
        *slot = v;
        value_release(old);
    }
    return recv;
}

ValueWord array_fill(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    uint32_t start = index_arg(args, argc, 1, 0, n);
    uint32_t end = index_arg(args, argc, 2, n, n);
    ValueWord v = args[0];
    for (uint32_t i = start; i < end; ++i) {
        retain(v);  // before the replaced element goes: it may be v itself
        AreaWord* slot = &words_of(c)[i];
        ValueWord old = *slot;
        *slot = v;
        value_release(old);
    }
    return recv;
}

ValueWord array_includes(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n == 0) return W_FALSE;
    uint32_t from = index_arg(args, argc, 1, 0, n);
    for (uint32_t i = from; i < n; ++i) {
        if (same_value(args[0], words_of(c)[i])) return W_TRUE;
    }
    return W_FALSE;
}

// With a comparison function the sort works on a private copy of the
// element words, each retained, and writes the result back at the end: a
// comparison that changes the array, drops it or sorts it again never
// makes this sort read a freed word, and an error inside one leaves the
// array as it was. The array then holds exactly the sorted elements.
ValueWord array_sort(ValueWord recv, ValueWord* args, int argc) {
    ValueWord fn = argc ? args[0] : W_UNDEFINED;
    if (argc) {
        if (word_tag(fn) != TAG_FUNCTION) report_error(2545, "引数不正(非関数)");
        if (dw_cell(fn)->b2 != 2) report_error(2550, "引数の個数不正");
    }
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    if (n < 2) return recv;
    if (!argc) {
        sort_by_text(c);
        return recv;
    }
    HeldReceiver hold(recv);
    HeldWords held;
    held.w.reserve(n);
    for (uint32_t i = 0; i < n; ++i) held.w.push_back(retain(words_of(c)[i]));
    std::vector<ValueWord> work(held.w);
    merge_sort(work, fn);
    clear_location();
    // Write back: the held copies become the array's holds; the words the
    // array holds now are released once it is consistent again.
    c = dw_cell(recv);
    uint32_t m = arr_count(c);
    std::vector<ValueWord> old = copy_words_out(words_of(c), m);
    arr_count(c) = 0;
    reserve(c, n);
    std::memcpy(words_of(c), work.data(), size_t{n} * 4);
    arr_count(c) = n;
    held.w.clear();
    for (ValueWord v : old) value_release(v);
    return recv;
}

// splice(start): removes start..end and returns them as a new Array.
// splice(start, count, items...): removes count elements at start
// (releasing them), puts the items there and returns undefined.
ValueWord array_splice(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t n = arr_count(c);
    uint32_t start = normalize_index(args[0], n);
    if (argc == 1) {
        uint32_t m = n - start;
        AreaWord* out;
        ValueWord result = new_array(m, &out);
        c = dw_cell(recv);
        if (m) std::memcpy(out, words_of(c) + start, size_t{m} * 4);  // the holds move along
        arr_count(c) = start;
        arr_count(dw_cell(result)) = m;
        return result;
    }
    if (word_tag(args[1]) != TAG_INT) report_error(2530, "引数不正(非整数)");
    int32_t want = cell_int(dw_cell(args[1]));
    uint32_t count = want <= 0 ? 0 : static_cast<uint32_t>(want);
    if (count > n - start) count = n - start;
    uint32_t items = static_cast<uint32_t>(argc - 2);
    if (items == 0 && count == 0) report_error(2535, "引数不正(要素の削除・追加がない)");
    uint64_t new_n = uint64_t{n} - count + items;
    reserve(c, new_n);
    AreaWord* e = words_of(c);
    std::vector<ValueWord> removed = copy_words_out(e + start, count);
    uint32_t tail = n - start - count;
    if (tail) std::memmove(e + start + items, e + start + count, size_t{tail} * 4);
    for (uint32_t i = 0; i < items; ++i) e[start + i] = retain(args[2 + i]);
    arr_count(c) = static_cast<uint32_t>(new_n);
    for (ValueWord v : removed) value_release(v);
    return W_UNDEFINED;
}

// ---- Sparse-array methods ----

ValueWord sparse_keys(ValueWord recv, ValueWord*, int) {
    uint32_t n = arr_count(dw_cell(recv));
    AreaWord* out;
    ValueWord result = new_array(n, &out);
    Cell* rc = dw_cell(result);
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord k = words_of(dw_cell(recv))[2 * i];
        ValueWord v;
        if (is_int_key(k)) {
            v = int_value(static_cast<int32_t>(word_payload(k)));
        } else {
            uint32_t idx = k & 0xFFFFFFu;
            v = make_string(name_text(idx), name_length(idx));
        }
        out[i] = retain(v);
        arr_count(rc) = i + 1;
    }
    return result;
}

// Positions of a sparse array are its integer keys: indexOf gives the
// smallest key at or after `from` whose value matches, lastIndexOf the
// largest key at or before it; `from` is measured against the largest key
// + 1. Pairs with name keys have no position and are not searched.
ValueWord sparse_index_of(ValueWord recv, ValueWord* args, int argc) {
    check_search_value(args[0], 2510);
    Cell* c = dw_cell(recv);
    uint32_t from = index_arg(args, argc, 1, 0, sparse_length(c));
    uint32_t n = arr_count(c);
    int64_t best = -1;
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord k = words_of(c)[2 * i];
        if (!is_int_key(k) || word_payload(k) < from) continue;
        if (best >= 0 && word_payload(k) >= best) continue;
        if (same_value(args[0], words_of(c)[2 * i + 1])) best = word_payload(k);
    }
    return int_value(static_cast<int32_t>(best));
}

ValueWord sparse_last_index_of(ValueWord recv, ValueWord* args, int argc) {
    check_search_value(args[0], 2515);
    Cell* c = dw_cell(recv);
    uint32_t len = sparse_length(c);
    uint32_t from = index_arg(args, argc, 1, len ? len - 1 : 0, len);
    uint32_t n = arr_count(c);
    int64_t best = -1;
    for (uint32_t i = 0; i < n; ++i) {
        ValueWord k = words_of(c)[2 * i];
        if (!is_int_key(k) || word_payload(k) > from) continue;
        if (int64_t{word_payload(k)} <= best) continue;
        if (same_value(args[0], words_of(c)[2 * i + 1])) best = word_payload(k);
    }
    return int_value(static_cast<int32_t>(best));
}

ValueWord sparse_push(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t next = sparse_length(c);
    uint32_t k = static_cast<uint32_t>(argc);
    if (uint64_t{next} + k - 1 > KEY_MAX) key_overflow();
    uint32_t n = arr_count(c);
    reserve(c, uint64_t{n} + k);
    AreaWord* p = words_of(c);
    for (uint32_t i = 0; i < k; ++i) {
        p[2 * (n + i)] = intkey_word(next + i);
        p[2 * (n + i) + 1] = retain(args[i]);
    }
    arr_count(c) = n + k;
    return int_value(static_cast<int32_t>(n + k));
}

ValueWord sparse_unshift(ValueWord recv, ValueWord* args, int argc) {
    Cell* c = dw_cell(recv);
    uint32_t k = static_cast<uint32_t>(argc);
    uint32_t len = sparse_length(c);
    if (len && uint64_t{len} - 1 + k > KEY_MAX) key_overflow();
    if (k - 1 > KEY_MAX) key_overflow();
    uint32_t n = arr_count(c);
    reserve(c, uint64_t{n} + k);
    AreaWord* p = words_of(c);
    for (uint32_t i = 0; i < n; ++i) {
        if (is_int_key(p[2 * i])) p[2 * i] = intkey_word(word_payload(p[2 * i]) + k);
    }
    if (n) std::memmove(p + 2 * k, p, size_t{n} * 8);
    for (uint32_t i = 0; i < k; ++i) {
        p[2 * i] = intkey_word(i);
        p[2 * i + 1] = retain(args[i]);
    }
    arr_count(c) = n + k;
    return int_value(static_cast<int32_t>(n + k));
}

}  // namespace

void register_array_builtins() {
    MethodTable& a = g_array_methods;
    method_install(a, "concat", array_concat);
    method_install(a, "keys", array_keys);
    method_install(a, "reverse", array_reverse);
    method_install(a, "indexOf", array_index_of);
    method_install(a, "lastIndexOf", array_last_index_of);
    method_install(a, "join", array_join);
    method_install(a, "pop", array_pop);
    method_install(a, "push", array_push);
    method_install(a, "slice", array_slice);
    method_install(a, "toString", array_to_string);
    method_install(a, "shift", array_shift);
    method_install(a, "unshift", array_unshift);
    method_install(a, "copyWithin", array_copy_within);
    method_install(a, "fill", array_fill);
    method_install(a, "includes", array_includes);
    method_install(a, "sort", array_sort);
    method_install(a, "splice", array_splice);

    MethodTable& s = g_sparse_methods;
    method_install(s, "concat", array_concat);
    method_install(s, "keys", sparse_keys);
    method_install(s, "indexOf", sparse_index_of);
    method_install(s, "lastIndexOf", sparse_last_index_of);
    method_install(s, "join", array_join);
    method_install(s, "pop", array_pop);
    method_install(s, "push", sparse_push);
    method_install(s, "toString", array_to_string);
    method_install(s, "shift", array_shift);
    method_install(s, "unshift", sparse_unshift);
}

}  // namespace velt

// The name table: 12-byte entries, one text pool and a key index of
// (key, name index) pairs sorted by key.
#include "values/names.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "driver/errors.h"

namespace velt {

namespace {

struct NameEntry {
    uint8_t zero0;
    uint8_t length;
    uint16_t zero2;
    uint32_t key;     // length << 24 | 24-bit hash
    uint32_t offset;  // text in the pool
};
static_assert(sizeof(NameEntry) == 12, "name entries are 12 bytes");

struct KeyPair {
    uint32_t key;
    uint32_t index;
};

constexpr uint32_t TABLE_STEP = 2048;
constexpr uint32_t POOL_STEP = 2048;
constexpr size_t MAX_NAME_LENGTH = 255;

// A pool that was outgrown; kept until the table is dropped so that text
// pointers handed out earlier stay readable.
struct RetiredPool {
    char* data;
    RetiredPool* next;
};

struct NameTable {
    NameEntry* entries = nullptr;
    KeyPair* keys = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
    char* pool = nullptr;
    uint32_t pool_len = 0;
    uint32_t pool_cap = 0;
    RetiredPool* retired = nullptr;
};

NameTable g_names;

const char* const k_predefined[N_PREDEFINED_COUNT] = {
    "undefined", "true", "false", "null", "NaN", "this", "Math", "column", "value",
    "console", "Object", "Function", "Connection", "name", "message", "Number", "Integer",
    "Float", "Date", "Error", "RegExp", "String", "Array", "Hash", "Exception", "typeof",
    "instanceof", "index", "indices", "input", "groups", "length", "no_authorization",
    "count", "sum", "max", "min", "average", "key", "group", "total", "total_count",
    "$set", "$inc", "$min", "$max", "$mul", "$rename", "$unset", "_c__o__l__m_",
    "_v__a__l_", "_k__e__y_", "new",
};
static_assert(N_NEW == 52 && N_PREDEFINED_COUNT == 53, "predefined name order");

[[noreturn]] void out_of_memory() { report_error(1400, "メモリ領域を取得できません"); }

void* checked_realloc(void* p, size_t n) {
    void* q = std::realloc(p, n);
    if (q == nullptr) out_of_memory();
    return q;
}

void grow_tables() {
    uint32_t cap = g_names.capacity + TABLE_STEP;
    g_names.entries = static_cast<NameEntry*>(checked_realloc(g_names.entries, cap * sizeof(NameEntry)));
    g_names.keys = static_cast<KeyPair*>(checked_realloc(g_names.keys, cap * sizeof(KeyPair)));
    g_names.capacity = cap;
}

// Makes room for `need` more pool bytes. The pool grows in 2048-byte steps,
// at least doubling so that long runs of new names stay linear; the old
// copy is retired, not freed.
void grow_pool(uint32_t need) {
    uint32_t want = g_names.pool_len + need;
    uint32_t cap = g_names.pool_cap + POOL_STEP;
    if (cap < g_names.pool_cap * 2) cap = g_names.pool_cap * 2;
    if (cap < want) cap = (want + POOL_STEP - 1) / POOL_STEP * POOL_STEP;
    char* fresh = static_cast<char*>(std::malloc(cap));
    if (fresh == nullptr) out_of_memory();
    if (g_names.pool != nullptr) {
        std::memcpy(fresh, g_names.pool, g_names.pool_len);
        RetiredPool* r = static_cast<RetiredPool*>(std::malloc(sizeof(RetiredPool)));
        if (r == nullptr) out_of_memory();
        r->data = g_names.pool;
        r->next = g_names.retired;
        g_names.retired = r;
    }
    g_names.pool = fresh;
    g_names.pool_cap = cap;
}

// First position in the key index whose key is not below `key` (keys
// compared as unsigned numbers).
uint32_t lower_bound_key(uint32_t key) {
    uint32_t lo = 0, hi = g_names.count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (g_names.keys[mid].key < key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

uint32_t add_name(const char* text, uint32_t len, uint32_t key, uint32_t pos) {
    if (g_names.count == g_names.capacity) grow_tables();
    if (g_names.pool_len + len + 2 > g_names.pool_cap) grow_pool(len + 2);
    uint32_t index = g_names.count;
    NameEntry& e = g_names.entries[index];
    e.zero0 = 0;
    e.length = static_cast<uint8_t>(len);
    e.zero2 = 0;
    e.key = key;
    e.offset = g_names.pool_len;
    char* dst = g_names.pool + g_names.pool_len;
    if (len > 0) std::memcpy(dst, text, len);
    dst[len] = '\0';
    dst[len + 1] = '\0';
    g_names.pool_len += len + 2;
    // Insert the pair after the pairs with the same key: the index stays
    // sorted without a full re-sort.
    while (pos < g_names.count && g_names.keys[pos].key == key) ++pos;
    std::memmove(g_names.keys + pos + 1, g_names.keys + pos, (g_names.count - pos) * sizeof(KeyPair));
    g_names.keys[pos].key = key;
    g_names.keys[pos].index = index;
    g_names.count = index + 1;
    return index;
}

}  // namespace

uint32_t name_hash(const char* text, size_t len) {
    uint32_t hash = 0;
    for (size_t i = 0; i < len; ++i) {
        uint32_t b = static_cast<unsigned char>(text[i]);
        if (b == 0) break;
        hash = (hash + static_cast<uint32_t>((i + 1) % 17) * b) & 0xFFFFFFu;
    }
    return hash;
}

// Names longer than 255 bytes are refused by every caller with its own
// code; should one arrive anyway, nothing is added and NAME_INVALID is
// returned (name_text gives "" for it), so the one-byte length field can
// never be overrun.
uint32_t intern(const char* text, size_t len, uint32_t hash) {
    if (len > MAX_NAME_LENGTH) return NAME_INVALID;
    if (g_names.count == 0) names_init();
    uint32_t key = static_cast<uint32_t>(len) << 24 | (hash & 0xFFFFFFu);
    uint32_t first = lower_bound_key(key);
    for (uint32_t i = first; i < g_names.count && g_names.keys[i].key == key; ++i) {
        const NameEntry& e = g_names.entries[g_names.keys[i].index];
        if (len == 0 || std::memcmp(g_names.pool + e.offset, text, len) == 0) return g_names.keys[i].index;
    }
    return add_name(text, static_cast<uint32_t>(len), key, first);
}

void names_init() {
    if (g_names.count >= N_PREDEFINED_COUNT) return;
    // The predefined names take indexes 0-52 of an empty table.
    for (uint32_t i = g_names.count; i < N_PREDEFINED_COUNT; ++i) {
        const char* s = k_predefined[i];
        size_t len = std::strlen(s);
        uint32_t key = static_cast<uint32_t>(len) << 24 | name_hash(s, len);
        add_name(s, static_cast<uint32_t>(len), key, lower_bound_key(key));
    }
}

const char* name_text(uint32_t index) {
    if (index >= g_names.count) return "";
    return g_names.pool + g_names.entries[index].offset;
}

uint32_t name_length(uint32_t index) {
    if (index >= g_names.count) return 0;
    return g_names.entries[index].length;
}

uint32_t name_count() { return g_names.count; }

NameTableView names_view() {
    NameTableView v;
    v.entries = reinterpret_cast<const uint8_t*>(g_names.entries);
    v.key_pairs = reinterpret_cast<const uint32_t*>(g_names.keys);
    v.count = g_names.count;
    v.pool = g_names.pool;
    v.pool_len = g_names.pool_len;
    return v;
}

bool names_load(const uint8_t* entries, uint32_t count, const char* pool, uint32_t pool_len) {
    if (count < N_PREDEFINED_COUNT || count > 0xFFFFFFu || pool_len > 0x7FFFFFFFu) return false;
    for (uint32_t i = 0; i < count; ++i) {
        NameEntry e;
        std::memcpy(&e, entries + 12 * static_cast<size_t>(i), sizeof e);
        uint64_t text_end = static_cast<uint64_t>(e.offset) + e.length;
        if (e.key >> 24 != e.length || text_end >= pool_len || pool[text_end] != '\0') return false;
        if (name_hash(pool + e.offset, e.length) != (e.key & 0xFFFFFFu)) return false;
        if (i < N_PREDEFINED_COUNT && std::strcmp(pool + e.offset, k_predefined[i]) != 0) return false;
    }
    uint32_t cap = (count + TABLE_STEP - 1) / TABLE_STEP * TABLE_STEP;
    uint32_t pcap = (pool_len + POOL_STEP - 1) / POOL_STEP * POOL_STEP;
    auto* new_entries = static_cast<NameEntry*>(std::malloc(cap * sizeof(NameEntry)));
    auto* new_keys = static_cast<KeyPair*>(std::malloc(cap * sizeof(KeyPair)));
    auto* new_pool = static_cast<char*>(std::malloc(pcap));
    if (new_entries == nullptr || new_keys == nullptr || new_pool == nullptr) out_of_memory();
    std::memcpy(new_entries, entries, 12 * static_cast<size_t>(count));
    std::memcpy(new_pool, pool, pool_len);
    for (uint32_t i = 0; i < count; ++i) {
        new_entries[i].zero0 = 0;
        new_entries[i].zero2 = 0;
        new_keys[i].key = new_entries[i].key;
        new_keys[i].index = i;
    }
    std::sort(new_keys, new_keys + count, [](const KeyPair& a, const KeyPair& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
    // Earlier text pointers stay readable: the old pool is retired.
    if (g_names.pool != nullptr) {
        RetiredPool* r = static_cast<RetiredPool*>(std::malloc(sizeof(RetiredPool)));
        if (r == nullptr) out_of_memory();
        r->data = g_names.pool;
        r->next = g_names.retired;
        g_names.retired = r;
    }
    std::free(g_names.entries);
    std::free(g_names.keys);
    g_names.entries = new_entries;
    g_names.keys = new_keys;
    g_names.count = count;
    g_names.capacity = cap;
    g_names.pool = new_pool;
    g_names.pool_len = pool_len;
    g_names.pool_cap = pcap;
    return true;
}

void names_reset_for_tests() {
    std::free(g_names.entries);
    std::free(g_names.keys);
    std::free(g_names.pool);
    for (RetiredPool* r = g_names.retired; r != nullptr;) {
        RetiredPool* next = r->next;
        std::free(r->data);
        std::free(r);
        r = next;
    }
    g_names = NameTable{};
}

}  // namespace velt

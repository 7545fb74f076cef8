// Memory areas: DW cells, the Free area, sized areas 1-14 and area 15.
//
// Blocks come from the C heap and go back to it only at process end (area-15
// objects excepted). Limits follow from the word layout: DW block numbers up
// to 4094, Free-area blocks up to 1022, sized-area blocks up to 4095 and
// area-15 entries up to 0xFFFFF.
#include "values/areas.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/errors.h"

namespace velt {

namespace {

constexpr int DW_FIRST_TABLE = 128;
constexpr int DW_TABLE_STEP = 128;
constexpr int DW_MAX_BLOCK = 4094;
constexpr uint32_t DW_BLOCK_BYTES = 4096;

constexpr int FREE_FIRST_TABLE = 128;
constexpr int FREE_MAX_BLOCK = 1022;
constexpr uint32_t FREE_UNITS = 1024;
constexpr uint32_t FREE_BLOCK_BYTES = 4096;

constexpr uint32_t SIZED_TABLE_STEP = 256;
constexpr uint32_t SIZED_MAX_BLOCK = 4095;

constexpr uint32_t LARGE_FIRST_TABLE = 1024;
constexpr uint32_t LARGE_TABLE_STEP = 512;
constexpr uint32_t LARGE_MAX_ENTRY = 0xFFFFF;

constexpr uint8_t FREE_MARKER[9] = {0xFF, 0x01, 0xEE, 0x02, 0xDD, 0x03, 0xCC, 0x04, 0x00};

constexpr uint16_t k_slot_size[16] = {0, 32, 64, 96, 128, 192, 256, 384, 448, 512, 768, 1024, 1280, 1536, 2048, 0};
constexpr uint16_t k_slots_per_block[16] = {0, 256, 256, 256, 128, 128, 64, 64, 32, 32, 16, 16, 8, 8, 8, 0};
// Area by floor(n / 32) for n below 2048.
constexpr uint8_t k_area_by_32[64] = {
    1,  2,  3,  4,  5,  5,  6,  6,  7,  7,  7,  7,  8,  8,  9,  9,
    10, 10, 10, 10, 10, 10, 10, 10, 11, 11, 11, 11, 11, 11, 11, 11,
    12, 12, 12, 12, 12, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13,
    14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14,
};

// ---- DW area state
Cell* s_dw_first[DW_FIRST_TABLE];
uint16_t s_dw_first_free[DW_FIRST_TABLE];
uint8_t s_dw_first_hint[DW_FIRST_TABLE];

struct DwState {
    uint16_t* free_count;  // free cells per block
    uint8_t* hint;         // highest free cell per block
    int capacity;
    int current;           // block of appending, -1 before the first cell
    uint32_t next;         // next cell of appending in the current block
    int first_allowed;     // first block appending may use
    int highest;           // highest block with memory, -1 when none
    uint32_t free_total;
    int hint_block;        // highest block with free cells, -1 when none
};
DwState g_dw = {s_dw_first_free, s_dw_first_hint, DW_FIRST_TABLE, -1, 0, 0, -1, 0, -1};

// ---- Free area state
uint8_t* s_free_first[FREE_FIRST_TABLE];
uint16_t s_free_first_used[FREE_FIRST_TABLE];

struct FreeState {
    uint16_t* used;        // used units per block
    int capacity;
    int first_allowed;
    int last;              // last block in use, -1 when none
    int search_from;       // blocks below this (from first_allowed) are full
};
FreeState g_free = {s_free_first_used, FREE_FIRST_TABLE, 0, -1, 0};

// ---- Sized areas. A block starts with an 8-byte header (appended count,
// reserved, free count, highest free slot); which slots are free is kept in
// a bitmap beside the block, never read back from the slot bytes.
struct SizedBlockHeader {
    uint16_t appended;
    uint16_t reserved;
    uint16_t free_count;
    uint16_t hint;
};
static_assert(sizeof(SizedBlockHeader) == 8, "sized block header is 8 bytes");

struct SizedState {
    uint64_t (*free_bits)[4];  // free-slot bitmap per block
    uint32_t capacity;
    uint32_t count;            // blocks in use
    uint32_t free_blocks;      // blocks with free slots
    uint32_t hint_block;       // highest block with free slots
};
SizedState g_sized[15];

// ---- Area 15
uint8_t* s_large_first[LARGE_FIRST_TABLE];

struct LargeState {
    uint32_t capacity;
    uint32_t used;        // next new entry
    uint32_t freed;       // freed entries
    uint32_t hint;        // highest freed entry
};
LargeState g_large = {LARGE_FIRST_TABLE, 0, 0, 0};

bool g_managed = false;

// ---- Every block allocation, so that the test reset can give them back.
void** g_allocations = nullptr;
size_t g_allocation_count = 0;
size_t g_allocation_capacity = 0;

// What the last quiet allocation failed on, for area_alloc's report.
enum class Failure { None, Heap, FreeArea, Sized, Large };
Failure g_failure = Failure::None;
uint32_t g_failure_area = 0;

bool note_allocation(void* p) {
    if (g_allocation_count == g_allocation_capacity) {
        size_t cap = g_allocation_capacity ? g_allocation_capacity * 2 : 256;
        void* grown = std::realloc(g_allocations, cap * sizeof(void*));
        if (!grown) return false;
        g_allocations = static_cast<void**>(grown);
        g_allocation_capacity = cap;
    }
    g_allocations[g_allocation_count++] = p;
    return true;
}

// A block from the heap, recorded; null when the heap refuses.
void* block_alloc(size_t bytes, bool zeroed) {
    void* p = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!p) return nullptr;
    if (!note_allocation(p)) {
        std::free(p);
        return nullptr;
    }
    return p;
}

// Grows a table to new_cap entries of elem bytes, copying the old ones and
// zeroing the rest. The first (static) tables are never freed.
void* grow_table(void* old, size_t old_cap, size_t new_cap, size_t elem, const void* static_first) {
    void* p = std::calloc(new_cap, elem);
    if (!p) return nullptr;
    if (old && old_cap) std::memcpy(p, old, old_cap * elem);
    if (old && old != static_first) std::free(old);
    return p;
}

[[noreturn]] void report_heap() { report_error(1400, "メモリ領域を取得できません"); }

void reset_state() {
    std::memset(s_dw_first, 0, sizeof s_dw_first);
    std::memset(s_dw_first_free, 0, sizeof s_dw_first_free);
    std::memset(s_dw_first_hint, 0, sizeof s_dw_first_hint);
    g_area_tables.dw = s_dw_first;
    g_dw.free_count = s_dw_first_free;
    g_dw.hint = s_dw_first_hint;
    g_dw.capacity = DW_FIRST_TABLE;
    g_dw.current = -1;
    g_dw.next = 0;
    g_dw.first_allowed = 0;
    g_dw.highest = -1;
    g_dw.free_total = 0;
    g_dw.hint_block = -1;

    std::memset(s_free_first, 0, sizeof s_free_first);
    std::memset(s_free_first_used, 0, sizeof s_free_first_used);
    g_area_tables.free_area = s_free_first;
    g_free.used = s_free_first_used;
    g_free.capacity = FREE_FIRST_TABLE;
    g_free.first_allowed = 0;
    g_free.last = -1;
    g_free.search_from = 0;

    for (int a = 0; a < 15; ++a) {
        g_area_tables.sized[a] = nullptr;
        g_sized[a] = SizedState{};
    }

    std::memset(s_large_first, 0, sizeof s_large_first);
    g_area_tables.large = s_large_first;
    g_large = LargeState{LARGE_FIRST_TABLE, 0, 0, 0};

    g_managed = false;
    g_failure = Failure::None;
}

// ---- DW area

// Makes DW block nb and appends from its cell 1 on; reports 1435 past the
// last block number and 1400 when the heap refuses.
Cell* dw_new_block(int nb) {
    if (nb > DW_MAX_BLOCK) report_error(1435, "Buffer Overflow(Area DW)");
    if (nb >= g_dw.capacity) {
        int cap = g_dw.capacity;
        while (nb >= cap) cap += DW_TABLE_STEP;
        Cell** blocks = static_cast<Cell**>(grow_table(g_area_tables.dw, g_dw.capacity, cap, sizeof(Cell*), s_dw_first));
        if (!blocks) report_heap();
        g_area_tables.dw = blocks;
        uint16_t* fc = static_cast<uint16_t*>(grow_table(g_dw.free_count, g_dw.capacity, cap, sizeof(uint16_t), s_dw_first_free));
        if (!fc) report_heap();
        g_dw.free_count = fc;
        uint8_t* hint = static_cast<uint8_t*>(grow_table(g_dw.hint, g_dw.capacity, cap, sizeof(uint8_t), s_dw_first_hint));
        if (!hint) report_heap();
        g_dw.hint = hint;
        g_dw.capacity = cap;
    }
    Cell* block = static_cast<Cell*>(block_alloc(DW_BLOCK_BYTES, false));
    if (!block) report_heap();
    g_area_tables.dw[nb] = block;
    g_dw.free_count[nb] = 0;
    g_dw.hint[nb] = 0;
    g_dw.current = nb;
    g_dw.next = 1;
    if (nb > g_dw.highest) g_dw.highest = nb;
    return block;
}

// ---- Free area

bool free_grow_tables(int needed_block) {
    int cap = g_free.capacity;
    while (needed_block >= cap) cap += 128;
    if (cap > FREE_MAX_BLOCK + 2) cap = FREE_MAX_BLOCK + 2;
    uint8_t** blocks = static_cast<uint8_t**>(grow_table(g_area_tables.free_area, g_free.capacity, cap, sizeof(uint8_t*), s_free_first));
    if (!blocks) return false;
    g_area_tables.free_area = blocks;
    uint16_t* used = static_cast<uint16_t*>(grow_table(g_free.used, g_free.capacity, cap, sizeof(uint16_t), s_free_first_used));
    if (!used) return false;
    g_free.used = used;
    g_free.capacity = cap;
    return true;
}

// Full blocks can take no request (every request is at least one unit):
// the search starts past the leading full ones.
void free_skip_full() {
    if (g_free.search_from < g_free.first_allowed) g_free.search_from = g_free.first_allowed;
    while (g_free.search_from <= g_free.last && g_free.used[g_free.search_from] >= FREE_UNITS) ++g_free.search_from;
}

uint32_t free_area_alloc(size_t size, void** out) {
    // One unit more than the bytes asked for.
    if (size >= static_cast<size_t>(FREE_UNITS) * 4 * (FREE_MAX_BLOCK + 1)) {
        g_failure = Failure::FreeArea;
        return AREA_NONE;
    }
    uint32_t units = static_cast<uint32_t>(size / 4) + 1;
    if (g_free.search_from < g_free.first_allowed) free_skip_full();
    int start = g_free.search_from;
    if (units <= FREE_UNITS) {
        for (int b = start; b <= g_free.last; ++b) {
            uint32_t used = g_free.used[b];
            if (used + units <= FREE_UNITS) {
                uint8_t* p = g_area_tables.free_area[b] + 4 * used;
                std::memset(p, 0, units * 4);
                g_free.used[b] = static_cast<uint16_t>(used + units);
                if (b == g_free.search_from) free_skip_full();
                if (out) *out = p;
                return static_cast<uint32_t>(b) * FREE_UNITS + used;
            }
        }
    }
    // New blocks after the last one in use.
    int nb = g_free.last + 1;
    if (nb < g_free.first_allowed) nb = g_free.first_allowed;
    uint32_t pieces = units < FREE_UNITS ? 1 : units / FREE_UNITS + 1;
    int last_block = nb + static_cast<int>(pieces) - 1;
    if (last_block > FREE_MAX_BLOCK) {
        g_failure = Failure::FreeArea;
        return AREA_NONE;
    }
    if (last_block >= g_free.capacity && !free_grow_tables(last_block)) {
        g_failure = Failure::Heap;
        return AREA_NONE;
    }
    uint8_t* mem = static_cast<uint8_t*>(block_alloc(static_cast<size_t>(pieces) * FREE_BLOCK_BYTES, true));
    if (!mem) {
        g_failure = Failure::Heap;
        return AREA_NONE;
    }
    uint32_t left = units;
    for (uint32_t i = 0; i < pieces; ++i) {
        int b = nb + static_cast<int>(i);
        g_area_tables.free_area[b] = mem + static_cast<size_t>(i) * FREE_BLOCK_BYTES;
        uint32_t take = left < FREE_UNITS ? left : FREE_UNITS;
        g_free.used[b] = static_cast<uint16_t>(take);
        left -= take;
    }
    g_free.last = last_block;
    free_skip_full();
    if (out) *out = mem;
    return static_cast<uint32_t>(nb) * FREE_UNITS;
}

// ---- Sized areas

inline SizedBlockHeader* sized_header(uint32_t area, uint32_t block) {
    return reinterpret_cast<SizedBlockHeader*>(g_area_tables.sized[area][block]);
}

// Highest set bit of a 256-bit map, -1 when none.
inline int highest_bit(const uint64_t bits[4]) {
    for (int i = 3; i >= 0; --i)
        if (bits[i]) return i * 64 + 63 - __builtin_clzll(bits[i]);
    return -1;
}

// Makes block nb of a sized area; AREA_NONE-style failure through g_failure.
uint8_t* sized_new_block(uint32_t area, uint32_t nb) {
    SizedState& s = g_sized[area];
    if (nb > SIZED_MAX_BLOCK) {
        g_failure = Failure::Sized;
        g_failure_area = area;
        return nullptr;
    }
    if (nb >= s.capacity) {
        uint32_t cap = s.capacity + SIZED_TABLE_STEP;
        uint8_t** blocks = static_cast<uint8_t**>(grow_table(g_area_tables.sized[area], s.capacity, cap, sizeof(uint8_t*), nullptr));
        if (!blocks) {
            g_failure = Failure::Heap;
            return nullptr;
        }
        g_area_tables.sized[area] = blocks;
        auto* bits = static_cast<uint64_t(*)[4]>(grow_table(s.free_bits, s.capacity, cap, sizeof(uint64_t[4]), nullptr));
        if (!bits) {
            g_failure = Failure::Heap;
            return nullptr;
        }
        s.free_bits = bits;
        s.capacity = cap;
    }
    size_t bytes = static_cast<size_t>(k_area_stride[area]) * k_slots_per_block[area] + 12;
    uint8_t* block = static_cast<uint8_t*>(block_alloc(bytes, false));
    if (!block) {
        g_failure = Failure::Heap;
        return nullptr;
    }
    SizedBlockHeader* h = reinterpret_cast<SizedBlockHeader*>(block);
    h->appended = 1;
    h->reserved = 0;
    h->free_count = 0;
    h->hint = 0;
    g_area_tables.sized[area][nb] = block;
    std::memset(s.free_bits[nb], 0, sizeof s.free_bits[nb]);
    s.count = nb + 1;
    return block;
}

uint32_t sized_alloc(uint32_t area, void** out) {
    SizedState& s = g_sized[area];
    uint32_t stride = k_area_stride[area];
    uint32_t block;
    uint32_t slot;
    if (s.free_blocks > 0) {
        block = s.hint_block;
        uint64_t* bits = s.free_bits[block];
        SizedBlockHeader* h = sized_header(area, block);
        slot = h->hint;
        bits[slot >> 6] &= ~(uint64_t{1} << (slot & 63));
        if (h->free_count > 0) --h->free_count;
        if (h->free_count > 0) {
            int next = highest_bit(bits);
            if (next >= 0)
                h->hint = static_cast<uint16_t>(next);
            else
                h->free_count = 0;
        }
        if (h->free_count == 0) {
            --s.free_blocks;
            uint32_t found = 0;
            bool any = false;
            if (s.free_blocks > 0) {
                for (uint32_t b = block; b-- > 0;) {
                    if (sized_header(area, b)->free_count > 0) {
                        found = b;
                        any = true;
                        break;
                    }
                }
            }
            if (!any) s.free_blocks = 0;
            s.hint_block = found;
        }
    } else if (s.count > 0 && sized_header(area, s.count - 1)->appended < k_slots_per_block[area]) {
        block = s.count - 1;
        SizedBlockHeader* h = sized_header(area, block);
        slot = h->appended++;
    } else {
        // A new block; on first use this also makes the 256-entry table.
        block = s.count;
        if (!sized_new_block(area, block)) return AREA_NONE;
        slot = 0;
    }
    if (out) *out = g_area_tables.sized[area][block] + 8 + slot * stride;
    return area << 20 | block << 8 | slot;
}

// ---- Area 15

uint32_t large_alloc(size_t size, void** out) {
    void* mem = std::malloc(size ? size : 1);
    if (!mem) {
        g_failure = Failure::Heap;
        return AREA_NONE;
    }
    uint32_t entry;
    if (g_large.freed > 0) {
        entry = g_large.hint;
        --g_large.freed;
        if (g_large.freed > 0) {
            bool found = false;
            for (uint32_t e = entry; e-- > 0;) {
                if (!g_area_tables.large[e]) {
                    g_large.hint = e;
                    found = true;
                    break;
                }
            }
            if (!found) g_large.freed = 0;
        }
    } else {
        entry = g_large.used;
        if (entry > LARGE_MAX_ENTRY) {
            std::free(mem);
            g_failure = Failure::Large;
            return AREA_NONE;
        }
        if (entry >= g_large.capacity) {
            uint32_t cap = g_large.capacity + LARGE_TABLE_STEP;
            uint8_t** table = static_cast<uint8_t**>(grow_table(g_area_tables.large, g_large.capacity, cap, sizeof(uint8_t*), s_large_first));
            if (!table) {
                std::free(mem);
                g_failure = Failure::Heap;
                return AREA_NONE;
            }
            g_area_tables.large = table;
            g_large.capacity = cap;
        }
        g_large.used = entry + 1;
    }
    g_area_tables.large[entry] = static_cast<uint8_t*>(mem);
    if (out) *out = mem;
    return 15u << 20 | entry;
}

[[noreturn]] void report_failure() {
    switch (g_failure) {
        case Failure::FreeArea: report_error(1435, "Buffer Overflow(Area Free)");
        case Failure::Sized: report_error(1435, "buffer Overflow(area %d)", static_cast<int>(g_failure_area));
        case Failure::Large: report_error(1430, "buffer Overflow(area 15)");
        default: report_heap();
    }
}

}  // namespace

AreaTables g_area_tables = {s_dw_first, s_free_first, s_large_first, {}};

// Slot size + 2.
// Slots are 4 bytes longer than their size (rather than 2) so that every
// slot starts on a 4-byte boundary: slots hold arrays of value words, and
// sized areas are never written to a program image, so the spacing is
// private to the running process.
const uint16_t k_area_stride[16] = {0, 36, 68, 100, 132, 196, 260, 388, 452, 516, 772, 1028, 1284, 1540, 2052, 0};

Cell* dw_alloc(uint32_t tag, ValueWord* out, uint32_t initial_count) {
    Cell* cell;
    uint32_t block;
    uint32_t index;
    if (g_managed && g_dw.free_total > 0) {
        --g_dw.free_total;
        block = static_cast<uint32_t>(g_dw.hint_block);
        index = g_dw.hint[block];
        Cell* base = g_area_tables.dw[block];
        cell = base + index;
        uint16_t left = --g_dw.free_count[block];
        if (left > 0) {
            int i = static_cast<int>(index) - 1;
            while (i >= 0 && base[i].hdr != FREE_CELL) --i;
            if (i >= 0)
                g_dw.hint[block] = static_cast<uint8_t>(i);
            else
                g_dw.free_count[block] = left = 0;
        }
        if (left == 0) {
            int found = -1;
            if (g_dw.free_total > 0) {
                for (int b = static_cast<int>(block) - 1; b >= 0; --b) {
                    if (g_dw.free_count[b] > 0) {
                        found = b;
                        break;
                    }
                }
            }
            if (found < 0) g_dw.free_total = 0;
            g_dw.hint_block = found;
        }
    } else if (g_dw.current >= g_dw.first_allowed && g_dw.next < 256) {
        block = static_cast<uint32_t>(g_dw.current);
        index = g_dw.next++;
        cell = g_area_tables.dw[block] + index;
    } else {
        int nb = g_dw.current < g_dw.first_allowed ? g_dw.first_allowed : g_dw.current + 1;
        cell = dw_new_block(nb);
        block = static_cast<uint32_t>(nb);
        index = 0;
    }
    std::memset(cell, 0, sizeof(Cell));
    cell->hdr = static_cast<uint8_t>(tag + 16 * initial_count);
    *out = tag << 24 | block << 8 | index;
    return cell;
}

void dw_free(ValueWord w) {
    uint32_t block = (w >> 8) & 0xFFFu;
    uint32_t index = w & 0xFFu;
    Cell* cell = g_area_tables.dw[block] + index;
    if (cell->hdr == FREE_CELL) return;  // already free: counting it twice would hand it out twice
    cell->hdr = FREE_CELL;
    if (g_dw.free_count[block] == 0 || index > g_dw.hint[block]) g_dw.hint[block] = static_cast<uint8_t>(index);
    ++g_dw.free_count[block];
    if (g_dw.free_total == 0 || static_cast<int>(block) > g_dw.hint_block) g_dw.hint_block = static_cast<int>(block);
    ++g_dw.free_total;
}

uint32_t area_alloc_quiet(size_t size, void** out) {
    if (!g_managed) return free_area_alloc(size, out);
    if (size >= 2048) return large_alloc(size, out);
    return sized_alloc(k_area_by_32[size >> 5], out);
}

uint32_t area_alloc_large_quiet(size_t size, void** out) { return large_alloc(size, out); }

uint32_t area_alloc(size_t size, void** out) {
    uint32_t addr = area_alloc_quiet(size, out);
    if (addr == AREA_NONE) report_failure();
    return addr;
}

void area_free(uint32_t addr) {
    if (!g_managed) return;
    uint32_t area = (addr >> 20) & 0xFu;
    if (area == 0) return;
    if (area == 15) {
        uint32_t entry = addr & 0xFFFFFu;
        if (entry >= g_large.used || !g_area_tables.large[entry]) return;
        std::free(g_area_tables.large[entry]);
        g_area_tables.large[entry] = nullptr;
        if (g_large.freed == 0 || entry > g_large.hint) g_large.hint = entry;
        ++g_large.freed;
        return;
    }
    SizedState& s = g_sized[area];
    uint32_t block = (addr >> 8) & 0xFFFu;
    uint32_t slot = addr & 0xFFu;
    if (block >= s.count) return;
    SizedBlockHeader* h = sized_header(area, block);
    if (slot >= h->appended) return;
    // The bitmap, not the slot bytes, says whether a slot is free: a live
    // text may well hold the marker bytes.
    uint64_t& word = s.free_bits[block][slot >> 6];
    uint64_t bit = uint64_t{1} << (slot & 63);
    if (word & bit) return;  // already free
    word |= bit;
    std::memcpy(g_area_tables.sized[area][block] + 8 + slot * k_area_stride[area], FREE_MARKER, sizeof FREE_MARKER);
    bool area_had_none = s.free_blocks == 0;
    if (h->free_count == 0) {
        ++s.free_blocks;
        h->hint = static_cast<uint16_t>(slot);
    } else if (slot > h->hint) {
        h->hint = static_cast<uint16_t>(slot);
    }
    ++h->free_count;
    if (area_had_none || block > s.hint_block) s.hint_block = block;
}

bool managed_mode() { return g_managed; }
void set_managed_mode() { g_managed = true; }

ValueWord get_self_16(const void* cell) {
    uintptr_t p = reinterpret_cast<uintptr_t>(cell);
    for (int b = 0; b <= g_dw.highest; ++b) {
        uintptr_t start = reinterpret_cast<uintptr_t>(g_area_tables.dw[b]);
        if (start && p >= start && p < start + DW_BLOCK_BYTES) {
            uint32_t index = static_cast<uint32_t>((p - start) / 16);
            uint32_t tag = g_area_tables.dw[b][index].hdr & 0xFu;
            return tag << 24 | static_cast<uint32_t>(b) << 8 | index;
        }
    }
    report_error(2495, "システム・エラー(get_self_16)");
}

uint32_t area_slot_size(uint32_t area) { return area < 16 ? k_slot_size[area] : 0; }

uint32_t area_for_size(size_t n) { return n >= 2048 ? 15 : k_area_by_32[n >> 5]; }

AreaStats area_stats() {
    AreaStats st;
    st.dw_current_block = g_dw.current;
    st.dw_next_cell = g_dw.next;
    st.dw_free_total = g_dw.free_total;
    st.dw_hint_block = g_dw.hint_block;
    st.free_last_block = g_free.last;
    return st;
}

uint32_t free_area_used(int block) {
    if (block < 0 || block > g_free.last) return 0;
    return g_free.used[block];
}

uint32_t sized_area_free_slots(uint32_t area, uint32_t block) {
    if (area < 1 || area > 14 || block >= g_sized[area].count) return 0;
    return sized_header(area, block)->free_count;
}

void areas_reset_for_tests() {
    for (size_t i = 0; i < g_allocation_count; ++i) std::free(g_allocations[i]);
    g_allocation_count = 0;
    if (g_area_tables.dw != s_dw_first) std::free(g_area_tables.dw);
    if (g_dw.free_count != s_dw_first_free) std::free(g_dw.free_count);
    if (g_dw.hint != s_dw_first_hint) std::free(g_dw.hint);
    if (g_area_tables.free_area != s_free_first) std::free(g_area_tables.free_area);
    if (g_free.used != s_free_first_used) std::free(g_free.used);
    for (int a = 1; a < 15; ++a) {
        std::free(g_area_tables.sized[a]);
        std::free(g_sized[a].free_bits);
    }
    for (uint32_t e = 0; e < g_large.used; ++e) std::free(g_area_tables.large[e]);
    if (g_area_tables.large != s_large_first) std::free(g_area_tables.large);
    reset_state();
}

}  // namespace velt

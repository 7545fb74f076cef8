// Memory areas: the DW area of 16-byte cells, the Free area (area 0) of
// 4-byte units, the sized areas 1-14 and the large-object table (area 15).
//
// In build mode (managed mode off) everything is appended densely and
// nothing is freed; the driver switches managed mode on once before the
// program runs, after which freed cells and slots are reused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// A zeroed cell with header byte tag + 16 x initial count; its word is
// written to *out.
Cell* dw_alloc(uint32_t tag, ValueWord* out, uint32_t initial_count);
// Marks the cell free (header 0xFF) and records it for reuse.
void dw_free(ValueWord w);
// Block tables of the areas, read by the inline resolvers below.
struct AreaTables {
    Cell** dw;              // DW blocks (256 cells each)
    uint8_t** free_area;    // Free-area blocks (1024 units each)
    uint8_t** large;        // area-15 entries, one object each
    uint8_t** sized[15];    // block tables of sized areas 1-14 (0 unused)
};
extern AreaTables g_area_tables;
// Slot stride (slot size + 4, keeping slots 4-byte aligned) of sized
// areas 1-14; 0 for areas 0 and 15.
extern const uint16_t k_area_stride[16];

// The cell a cell word designates.
inline Cell* dw_cell(ValueWord w) { return g_area_tables.dw[(w >> 8) & 0xFFFu] + (w & 0xFFu); }

// Area memory of `size` bytes; returns its area address (tag bits zero)
// and writes the memory pointer to *out (may be null).
uint32_t area_alloc(size_t size, void** out);
// Gives area memory back (only in managed mode, and never for area 0).
void area_free(uint32_t addr);
// As area_alloc, but answers AREA_NONE instead of reporting when no memory
// can be had (used while an error value is being made).
constexpr uint32_t AREA_NONE = 0xFFFFFFFFu;
uint32_t area_alloc_quiet(size_t size, void** out);
// A large-object entry (area 15) in either mode; AREA_NONE on failure.
uint32_t area_alloc_large_quiet(size_t size, void** out);

// The memory an area address designates.
inline void* area_ptr(uint32_t addr) {
    uint32_t area = (addr >> 20) & 0xFu;
    if (area == 0) return g_area_tables.free_area[(addr >> 10) & 0x3FFu] + 4 * (addr & 0x3FFu);
    if (area == 15) return g_area_tables.large[addr & 0xFFFFFu];
    return g_area_tables.sized[area][(addr >> 8) & 0xFFFu] + 8 + (addr & 0xFFu) * k_area_stride[area];
}

// Resolves any word with memory to the address of its header byte: cell
// words to their cell, area words through area_ptr. Null for tags 0 and 15.
inline uint8_t* word_memory(ValueWord w) {
    uint32_t tag = (w >> 24) & 0xFu;
    if (tag == TAG_NAME || tag == TAG_INTKEY) return nullptr;
    if (tag_is_area_word(tag)) return static_cast<uint8_t*>(area_ptr(w & 0xFFFFFFu));
    return &dw_cell(w)->hdr;
}

bool managed_mode();
void set_managed_mode();

// The word of a DW cell, found by scanning the block table (error 2495 if
// the pointer lies in no block).
ValueWord get_self_16(const void* cell);

// Slot size of sized area 1-14, and the area a request of n bytes goes to
// in managed mode (15 for 2048 bytes and more).
uint32_t area_slot_size(uint32_t area);
uint32_t area_for_size(size_t n);

// Introspection for tests and for the program image writer.
struct AreaStats {
    int dw_current_block;   // -1 before the first cell
    uint32_t dw_next_cell;
    uint32_t dw_free_total;
    int dw_hint_block;
    int free_last_block;    // Free area: last block in use, -1 when none
};
AreaStats area_stats();
uint32_t free_area_used(int block);      // used units of a Free-area block
uint32_t sized_area_free_slots(uint32_t area, uint32_t block);

// Drops every area back to its start state (unit tests only).
void areas_reset_for_tests();

}  // namespace velt

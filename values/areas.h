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
// The cell a cell word designates.
Cell* dw_cell(ValueWord w);

// Area memory of `size` bytes; returns its area address (tag bits zero)
// and writes the memory pointer to *out (may be null).
uint32_t area_alloc(size_t size, void** out);
// Gives area memory back (only in managed mode, and never for area 0).
void area_free(uint32_t addr);
// The memory an area address designates.
void* area_ptr(uint32_t addr);

// Resolves any word with memory to the address of its header byte: cell
// words to their cell, area words through area_ptr. Null for tags 0 and 15.
uint8_t* word_memory(ValueWord w);

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

// Value words, type tags and the 16-byte cell layouts.
//
// Every value and every program node is reached through one 32-bit word.
// The layouts below are also the stored program image format, so they are
// fixed byte for byte (little-endian fields).
#pragma once

#include <cstdint>
#include <cstring>

namespace velt {

using ValueWord = uint32_t;

// A word stored in area memory. Slots of the sized areas start 8 + slot x
// (slot size + 2) bytes into their block, so words there may be only
// 2-byte aligned; access word arrays in area memory through this type.
typedef uint32_t AreaWord __attribute__((aligned(2)));

enum TypeTag : uint32_t {
    TAG_NAME = 0,       // immediate or name index
    TAG_SQL = 1,        // SQL_Object (area word)
    TAG_INT = 2,        // integer (cell)
    TAG_DBCONN = 3,     // DB_Connection (area word)
    TAG_NONE = 4,       // never made
    TAG_DATE = 5,       // Date (cell)
    TAG_ERROR = 6,      // error value (area word)
    TAG_REGEXP = 7,     // RegExp (area word)
    TAG_FLOAT = 8,      // float (cell)
    TAG_STRING = 9,     // string (cell)
    TAG_ARRAY = 10,     // dense Array (cell)
    TAG_SPARSE = 11,    // sparse array (cell)
    TAG_OBJECT = 12,    // Object / hash (cell)
    TAG_NODE = 13,      // OperationNode (cell)
    TAG_FUNCTION = 14,  // Function (cell)
    TAG_INTKEY = 15,    // integer key (immediate)
};

// The five immediates of tag 0.
constexpr ValueWord W_UNDEFINED = 0;
constexpr ValueWord W_TRUE = 1;
constexpr ValueWord W_FALSE = 2;
constexpr ValueWord W_NULL = 3;
constexpr ValueWord W_NAN = 4;

inline uint32_t word_tag(ValueWord w) { return (w >> 24) & 0xFu; }
inline uint32_t word_payload(ValueWord w) { return w & 0xFFFFFFu; }
inline ValueWord make_word(uint32_t tag, uint32_t payload) { return (tag << 24) | (payload & 0xFFFFFFu); }
// A name word stands for the identifier with that name index.
inline ValueWord name_word(uint32_t index) { return index & 0xFFFFFFu; }
inline ValueWord intkey_word(uint32_t n) { return make_word(TAG_INTKEY, n); }

// Tags whose payload is an area address rather than a DW cell number.
inline bool tag_is_area_word(uint32_t tag) { return tag == 1 || tag == 3 || tag == 6 || tag == 7; }
// Tags that designate memory at all (everything but 0 and 15).
inline bool tag_has_memory(uint32_t tag) { return tag != TAG_NAME && tag != TAG_INTKEY; }

// Area address: bits 20-23 area, the rest depends on the area.
inline uint32_t addr_area(uint32_t addr) { return (addr >> 20) & 0xFu; }

// One 16-byte DW cell. Field names follow the generic byte offsets; the
// accessors below give them their per-kind meaning.
struct Cell {
    uint8_t hdr;   // bits 0-3 tag, bits 4-7 reference nibble; 0xFF = free
    uint8_t b1;
    uint8_t b2;
    uint8_t b3;
    uint32_t d4;
    uint32_t d8;
    uint32_t d12;
};
static_assert(sizeof(Cell) == 16, "cells are 16 bytes");

constexpr uint8_t FREE_CELL = 0xFF;

inline uint32_t cell_tag(const Cell* c) { return c->hdr & 0xFu; }
inline uint32_t cell_nibble(const Cell* c) { return c->hdr >> 4; }

// integer (2): signed 32-bit at bytes 4-7
inline int32_t cell_int(const Cell* c) { return static_cast<int32_t>(c->d4); }
inline void set_cell_int(Cell* c, int32_t v) { c->d4 = static_cast<uint32_t>(v); }

// float (8): double at bytes 8-15
inline double cell_float(const Cell* c) {
    double d;
    std::memcpy(&d, &c->d8, 8);
    return d;
}
inline void set_cell_float(Cell* c, double d) { std::memcpy(&c->d8, &d, 8); }

// string (9): bytes 2-3 signed template mark, 4-7 text address, 8-11 capacity, 12-15 length
inline int16_t str_mark(const Cell* c) {
    int16_t m;
    std::memcpy(&m, &c->b2, 2);
    return m;
}
inline void set_str_mark(Cell* c, int16_t m) { std::memcpy(&c->b2, &m, 2); }
inline uint32_t& str_addr(Cell* c) { return c->d4; }
inline uint32_t& str_cap(Cell* c) { return c->d8; }
inline uint32_t& str_len(Cell* c) { return c->d12; }

// Array (10) and sparse array (11): 4-7 data address, 8-11 count, 12-15 capacity
inline uint32_t& arr_addr(Cell* c) { return c->d4; }
inline uint32_t& arr_count(Cell* c) { return c->d8; }
inline uint32_t& arr_cap(Cell* c) { return c->d12; }

// Object (12): byte 1 flags, bytes 2-3 16-bit, 4-5 pair count, 6-7 capacity,
// 8-11 pairs address, 12-15 class name index
inline uint16_t obj_count(const Cell* c) { return static_cast<uint16_t>(c->d4 & 0xFFFFu); }
inline uint16_t obj_cap(const Cell* c) { return static_cast<uint16_t>(c->d4 >> 16); }
inline void set_obj_count(Cell* c, uint32_t n) { c->d4 = (c->d4 & 0xFFFF0000u) | (n & 0xFFFFu); }
inline void set_obj_cap(Cell* c, uint32_t n) { c->d4 = (c->d4 & 0xFFFFu) | ((n & 0xFFFFu) << 16); }
inline uint32_t& obj_addr(Cell* c) { return c->d8; }
inline uint32_t& obj_class(Cell* c) { return c->d12; }

// OperationNode (13): byte 1 bit 7 no-stop flag, bits 0-6 module number;
// byte 2 operand count (255 marks the block form, whose count stands in
// bytes 12-15); byte 3 operation code; 4-7 first operand or operand block
// address; 8-11 second operand; 12-15 source position.
constexpr uint8_t NODE_NO_STOP = 0x80;
constexpr uint8_t NODE_MANY_OPERANDS = 255;
inline uint32_t node_module(const Cell* c) { return c->b1 & 0x7Fu; }
inline uint32_t node_count(const Cell* c) { return c->b2; }
inline uint32_t node_op(const Cell* c) { return c->b3; }
inline uint32_t pos_line(uint32_t pos) { return pos & 0xFFFFu; }
inline uint32_t pos_column(uint32_t pos) { return (pos >> 16) & 0x7FFFu; }
inline uint32_t make_pos(uint32_t line, uint32_t column) { return (line & 0xFFFFu) | ((column & 0x7FFFu) << 16); }

// Function (14): byte 1 module, byte 2 parameter count, byte 3 local count,
// 4-7 body word, 8-11 name block address, 12-13 line of `function`, 14-15
// line of the closing brace.
inline uint32_t& fn_body(Cell* c) { return c->d4; }
inline uint32_t& fn_names(Cell* c) { return c->d8; }
inline uint32_t fn_first_line(const Cell* c) { return c->d12 & 0xFFFFu; }
inline uint32_t fn_last_line(const Cell* c) { return c->d12 >> 16; }

}  // namespace velt

// Error reporting and the exit protocol.
//
// report_error and report_parse_error build an error value, append the
// report to the journal buffer and unwind by throwing ScriptThrow to the
// nearest catching frame of the try stack. fatal_exit ends the process.
#pragma once

#include <cstdint>

#include "values/word.h"

namespace velt {

// The one exception type that unwinding uses; it carries the value that a
// catching frame receives (an error value, or whatever a script threw).
struct ScriptThrow {
    ValueWord value;
    int target_frame;  // try-stack index of the frame that receives it
    // Set when the thrower holds one reference on the value while it is in
    // flight (script throw); the catching frame then owns that hold.
    bool held = false;
};

// Try-stack frame kinds.
enum FrameKind : uint8_t { FRAME_LOOP = 1, FRAME_CALL = 2, FRAME_TRY = 3, FRAME_SWITCH = 4 };

struct TryFrame {
    uint8_t kind;
};

// The try stack: frame 0 is always of kind 3 and belongs to the driver.
struct TryStack {
    TryFrame* frames;
    int count;
    int capacity;
};
extern TryStack g_try;
// Resets the stack to the single driver frame 0.
void try_reset();
// Pushes a frame and returns its index; pops back to a given count.
int try_push(uint8_t kind);
inline void try_pop_to(int count) { g_try.count = count; }
// Index of the nearest frame (from the top down) whose kind is in the mask
// (bit 1 << kind), or -1.
int try_find(uint32_t kind_mask);

// Set when an exception unwinds to a script frame; the catch consumes it.
extern bool g_error_caught;

[[noreturn]] void report_error(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] void report_parse_error(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes the "S" message with code 8555, writes the journal record and ends
// the process with exit code 0.
[[noreturn]] void fatal_exit(const char* message);
// printf to standard output.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where a caught error is written (driver frames).
enum class CaughtAt { RequestFrame, CallFrame, ScriptMode };
// Writes the arriving value to standard output and the journal buffer in
// the form for that frame.
void write_caught_error(ValueWord v, CaughtAt where);

// Test seam: the debugger, when linked, may take report texts.
using ReportHook = void (*)(const char* text, bool parse_error);
extern ReportHook report_hook;

}  // namespace velt

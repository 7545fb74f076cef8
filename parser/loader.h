// Module loading (script source into the program statement list) and the
// parser of the TOP function call text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/word.h"

namespace velt {

// Longest module path built by the loader (bytes, without the NUL).
constexpr size_t MODULE_PATH_MAX = 511;

// Builds the path of a module file: MODULE_DIR, '/', the module name (or
// just the module name when MODULE_DIR is empty), with every '\' turned
// into '/'. Returns false when the path would be longer than
// MODULE_PATH_MAX (out then holds the cut path for the message).
bool module_path(const char* name, char* out, size_t cap);

// Loads module number n (1-based index of the module table, g_run.modules):
// makes it the current module, reads the whole file, removes comments and
// appends its top-level statements to g_program (retained). Fails with
// parse error 1165 when the file cannot be opened; a module of kind 2
// (stored program image) is refused with a parse error for now.
void load_module(uint32_t module_number);

// Debug build, while the debugger link is up: asked for every module
// before it is read from disk, with the built path; true when the
// debugging front end supplied the module (then already loaded).
using ModuleSourceHook = bool (*)(uint32_t module_number, const char* path);
extern ModuleSourceHook g_module_source_hook;

// Parses a module text already in memory (text is writable and
// zero-terminated) as module n: comment removal, line 1, statements
// appended to g_program. Used by load_module and by the debugger link when
// the front end serves the module text.
void load_module_text(uint32_t module_number, char* text);

// Parses the TOP function call text (writable, zero-terminated; comments
// already removed by the caller, the current module set to MainScript).
// Sets the current line to 0, the line MainScript messages carry.
// Returns the call node (code 160), or 0 for an empty text. The callee must
// be a name or a chain of names joined by "."; every argument a number, a
// string without the template mark, an array or object literal built from
// those, or a bare name. Errors 1720, 1725, 1730.
ValueWord parse_top_call(char* text);

}  // namespace velt

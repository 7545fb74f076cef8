// The steps that turn the module table into a running program: loading,
// binding the start-up globals, running the module statements, and parsing
// and evaluating the TOP function call.
#pragma once

namespace velt {

// Loads every module of the module table, in order; later calls do
// nothing (the request reader may trigger loading at its first typed
// global, the driver at the latest before the module statements run).
void load_modules_once();
// Binds the VAR list (each entry a `key : value` member) and then the four
// constant globals undefined, true, false and null.
void bind_start_globals();
// Evaluates the program statement list (defines global functions and
// variables).
void run_module_statements();
// Appends MainScript to the module table and parses the call text.
void prepare_top_call();
// Evaluates the parsed call (its result is discarded).
void evaluate_parsed_top_call();

}  // namespace velt

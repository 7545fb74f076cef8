// Front-end output: the messages that carry script values to the
// browser-side front end (A, H, s and the alert), the element encoding of
// values, and the statements sendToFront and alertToFront.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/text.h"
#include "values/word.h"

namespace velt {

// First reference number of a run is REFERENCE_BASE + 1 ("^A500001");
// references stop at REFERENCE_LAST so that they keep their eight bytes
// (error 1215 with the container's TypeTag past it).
constexpr uint32_t REFERENCE_BASE = 500000;
constexpr uint32_t REFERENCE_LAST = 999999;
// Deepest nesting of arrays and Objects sent in one message; deeper, or a
// container inside itself, fails with 2390.
constexpr int SEND_DEPTH_MAX = 4096;

// Appends the element encoding of v; a nested array or Object is sent first
// as its own message and appended as its reference. Error 1215 for a type
// that cannot be sent.
void put_element_value(TextBuf& out, ValueWord v);

// An A message of an array (tag 10) or an H message of an Object (tag 12)
// under `name`, nested values first.
void send_container(const char* name, size_t name_len, ValueWord v);

// sendToFront of value v under `name`: s, A or H message by type (errors
// 1330 and 1335 for the types that cannot be sent).
void send_value(const char* name, size_t name_len, ValueWord v);

// alertToFront: undefined, a string or an error value (error 1340 else).
void send_alert(ValueWord v);

// Writes a finished message (nothing in script mode). The statements flush
// standard output when they end.
void frontend_write(const TextBuf& message);

// Operation routines of sendToFront (169) and alertToFront (191), and
// their registration into the operation table.
ValueWord op_send_to_front(Cell* node);
ValueWord op_alert_to_front(Cell* node);
void register_frontend_routines();

// Restarts the reference numbering after `last` (unit tests).
void frontend_reset_for_tests(uint32_t last = REFERENCE_BASE);

}  // namespace velt

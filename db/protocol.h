// Pieces of the front-end message protocol: counted numbers and counted
// strings with percent-encoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/text.h"

namespace velt {

// "0" + number of characters, then "%d" (7 -> "17", -5 -> "2-5").
void put_counted_number(TextBuf& out, int64_t n);
// Marker, decimal length, text; percent-encoded unless `plain`.
void put_counted_string(TextBuf& out, const char* text, size_t len, bool plain = false);
// Writes bytes to standard output (unbuffered path shared by all writers).
void out_write(const char* data, size_t len);
// Writes the CGI content-type header once per run (CGI mode only).
void out_content_header();
void out_flush();

}  // namespace velt

// The journal: log text collected in memory during a run and appended as
// one record to the LOGFILE at its end.
#pragma once

#include <cstddef>

namespace velt {

constexpr size_t JOURNAL_BLOCK = 32768;

void journal_append(const char* text, size_t len);
void journal_append(const char* text);
// Appends the buffer as one record to `path` (exclusive open with retries;
// message 9999 when it cannot be opened) and empties the buffer.
void journal_write_record(const char* path);
// Size of the text collected so far (block plus chain), and whether a chain
// node exists (for tests).
size_t journal_size();
bool journal_has_chain();
void journal_reset_for_tests();

}  // namespace velt

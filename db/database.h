// Database statements: openDb, closeDb, execute, select, selectHash,
// selectExists, selectInto, record_hash, selectToFront and
// selectHashToFront, and their registration into the operation table.
#pragma once

namespace velt {

void register_database_routines();
// Rolls back and closes every connection still open (end of the run).
void close_all_connections();

}  // namespace velt

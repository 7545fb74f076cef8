// The thin layer over the operating system. POSIX now; a Win32 version can
// stand behind the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace velt::platform {

// Environment. env_get returns null when unset.
const char* env_get(const char* name);
bool env_put(const char* name, const char* value);
// "NAME=value" form; "NAME=" removes the variable, as _putenv does.
bool env_put_assignment(const char* assignment);

// File facts.
bool file_exists(const char* path);
bool file_size(const char* path, uint64_t* size);
// Last-write time as seconds and nanoseconds since 1970 (UTC).
bool file_mtime(const char* path, int64_t* seconds, int32_t* nanos);
bool is_directory(const char* path);
// Size and last-write seconds of the entry itself (a symbolic link is not
// followed).
bool file_facts_nofollow(const char* path, uint64_t* size, int64_t* mtime_seconds);

// Reads a whole file into a new[] buffer with `extra` zeroed bytes after it.
// Returns null when it cannot be opened or read.
char* read_whole_file(const char* path, size_t* len, size_t extra = 1);

// Exclusive append: opens `path` for appending (creating it), locked against
// other processes. Retries `attempts` times `delay_ms` apart. Returns a
// handle >= 0 or -1.
int open_exclusive_append(const char* path, int attempts, int delay_ms);
void write_all(int handle, const char* data, size_t len);
void close_handle(int handle);

// Recursive directory listing: calls `visit` for every entry that is not a
// directory (symbolic links are not followed). path is prefix + '/' + name.
using VisitFn = void (*)(const char* path, const char* name, void* ctx);
bool list_files_recursive(const char* dir, VisitFn visit, void* ctx);

// Time.
int64_t time_now();                 // seconds since 1970
void time_now_precise(int64_t* seconds, int32_t* nanos);
bool local_time(int64_t t, std::tm* out);
bool utc_time(int64_t t, std::tm* out);
int64_t make_local_time(std::tm* tm);  // mktime
// Local calendar parts to seconds since 1970, the zone rules of that date
// deciding daylight saving (tm_isdst is set to -1); overflowing fields
// carry into the larger ones and *tm is normalised. False when the time
// cannot be represented.
bool local_to_seconds(std::tm* tm, int64_t* out);
// UTC calendar parts to seconds since 1970 (timegm), carrying likewise.
bool utc_to_seconds(std::tm* tm, int64_t* out);
// Local time minus UTC at the moment t, in seconds (0 when t cannot be
// broken down).
int32_t local_offset_at(int64_t t);
void sleep_ms(int ms);

// The Microsoft C runtime generator: state = state * 214013 + 2531011,
// result bits 16-30.
void ms_srand(uint32_t seed);
int ms_rand();

}  // namespace velt::platform

namespace velt::platform {

// Shared libraries (dlopen / dlsym here; LoadLibraryA / GetProcAddress on
// Windows). library_load returns null when the library cannot be loaded;
// library_symbol null when the name is not exported.
void* library_load(const char* path);
void* library_symbol(void* library, const char* name);

}  // namespace velt::platform

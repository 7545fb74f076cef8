// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velt::platform {

// ---- Environment ----

const char* env_get(const char* name) { return std::getenv(name); }

bool env_put(const char* name, const char* value) {
    return ::setenv(name, value, 1) == 0;
}

// As the C runtime's _putenv: "NAME=value" sets, "NAME=" removes.
bool env_put_assignment(const char* assignment) {
    const char* eq = std::strchr(assignment, '=');
    if (eq == nullptr || eq == assignment) return false;
    std::string name(assignment, static_cast<size_t>(eq - assignment));
    if (eq[1] == '\0') return ::unsetenv(name.c_str()) == 0;
    return ::setenv(name.c_str(), eq + 1, 1) == 0;
}

// ---- File facts ----

bool file_exists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool file_size(const char* path, uint64_t* size) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool file_mtime(const char* path, int64_t* seconds, int32_t* nanos) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    *seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    if (nanos) *nanos = static_cast<int32_t>(st.st_mtim.tv_nsec);
    return true;
}

bool file_facts_nofollow(const char* path, uint64_t* size, int64_t* mtime_seconds) {
    struct stat st;
    if (::lstat(path, &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    *mtime_seconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    return true;
}

bool is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// One open, one size query and (for regular files) one read.
char* read_whole_file(const char* path, size_t* len, size_t extra) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    size_t cap = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 4096;
    char* buf = new char[cap + extra];
    size_t got = 0;
    for (;;) {
        if (got == cap) {
            // The file grew or has no size (a pipe): enlarge.
            size_t ncap = cap * 2;
            char* nb = new char[ncap + extra];
            std::memcpy(nb, buf, got);
            delete[] buf;
            buf = nb;
            cap = ncap;
        }
        ssize_t n = ::read(fd, buf + got, cap - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            delete[] buf;
            ::close(fd);
            return nullptr;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
        if (S_ISREG(st.st_mode) && got == static_cast<size_t>(st.st_size)) break;
    }
    ::close(fd);
    std::memset(buf + got, 0, extra);
    *len = got;
    return buf;
}

// ---- Exclusive append ----

int open_exclusive_append(const char* path, int attempts, int delay_ms) {
    for (int i = 0; i < attempts; ++i) {
        if (i > 0) sleep_ms(delay_ms);
        int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        ::close(fd);
    }
    return -1;
}

void write_all(int handle, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(handle, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // write errors are not examined
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void close_handle(int handle) {
    if (handle >= 0) ::close(handle);
}

// ---- Directory listing ----

static void list_dir(const std::string& dir, const std::string& prefix, VisitFn visit,
                     void* ctx) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::string path;
    while (struct dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        path = prefix;
        path += '/';
        path += name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            list_dir(path, path, visit, ctx);
        } else {
            visit(path.c_str(), name, ctx);
        }
    }
    ::closedir(d);
}

bool list_files_recursive(const char* dir, VisitFn visit, void* ctx) {
    std::string d(dir);
    std::string prefix(d);
    if (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    DIR* probe = ::opendir(d.c_str());
    if (probe == nullptr) return false;
    ::closedir(probe);
    list_dir(d, prefix, visit, ctx);
    return true;
}

// ---- Time ----

int64_t time_now() { return static_cast<int64_t>(::time(nullptr)); }

void time_now_precise(int64_t* seconds, int32_t* nanos) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    *seconds = static_cast<int64_t>(ts.tv_sec);
    *nanos = static_cast<int32_t>(ts.tv_nsec);
}

bool local_time(int64_t t, std::tm* out) {
    time_t tt = static_cast<time_t>(t);
    return ::localtime_r(&tt, out) != nullptr;
}

bool utc_time(int64_t t, std::tm* out) {
    time_t tt = static_cast<time_t>(t);
    return ::gmtime_r(&tt, out) != nullptr;
}

int64_t make_local_time(std::tm* tm) { return static_cast<int64_t>(::mktime(tm)); }

bool local_to_seconds(std::tm* tm, int64_t* out) {
    tm->tm_isdst = -1;
    errno = 0;
    time_t t = ::mktime(tm);
    // -1 is also 1969-12-31 23:59:59 UTC; only errno tells a failure.
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    *out = static_cast<int64_t>(t);
    return true;
}

bool utc_to_seconds(std::tm* tm, int64_t* out) {
    errno = 0;
    time_t t = ::timegm(tm);
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    *out = static_cast<int64_t>(t);
    return true;
}

int32_t local_offset_at(int64_t t) {
    std::tm tm;
    if (!local_time(t, &tm)) return 0;
    int64_t as_utc;
    if (!utc_to_seconds(&tm, &as_utc)) return 0;
    return static_cast<int32_t>(as_utc - t);
}

void sleep_ms(int ms) {
    if (ms <= 0) return;
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

// ---- The Microsoft C runtime generator ----

static uint32_t ms_state = 1;

void ms_srand(uint32_t seed) { ms_state = seed; }

int ms_rand() {
    ms_state = ms_state * 214013u + 2531011u;
    return static_cast<int>((ms_state >> 16) & 0x7FFF);
}

// ---- Shared libraries ----

void* library_load(const char* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* library_symbol(void* library, const char* name) { return ::dlsym(library, name); }

}  // namespace velt::platform

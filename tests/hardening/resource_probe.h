// What a process holds, counted the way a long-running backup agent would
// notice a leak: open descriptors, mappings, and (under AddressSanitizer) the
// heap bytes in use. Soak tests compare a probe taken after a warm-up with
// one taken after many cycles.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// From the sanitizer runtime's allocator interface (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define ORU_HAVE_ASAN 1
#else
#define ORU_HAVE_ASAN 0
#endif

namespace oru::test {

struct Resources {
    long fds = 0;
    long maps = 0;
    long long heap = -1; // bytes in use, -1 when unknown

    std::string text() const {
        return std::to_string(fds) + " fds, " + std::to_string(maps) + " mappings" +
               (heap >= 0 ? ", " + std::to_string(heap) + " heap bytes" : "");
    }
};

inline long count_fds() {
    long n = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') ++n;
    closedir(dir);
    return n - 1; // the directory stream's own descriptor
}

inline long count_maps() {
    std::ifstream in("/proc/self/maps");
    std::string line;
    long n = 0;
    while (std::getline(in, line)) ++n;
    return n;
}

inline Resources probe() {
    Resources r;
    r.fds = count_fds();
    r.maps = count_maps();
#if ORU_HAVE_ASAN
    r.heap = static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#endif
    return r;
}

// 0 when the leak checker finds nothing unreachable right now (or is not
// built in); it reports what it finds on standard error.
inline int leak_check_now() {
#if ORU_HAVE_ASAN
    return __lsan_do_recoverable_leak_check();
#else
    return 0;
#endif
}

// Cycle counts: the environment variable when set to a positive number,
// else the default.
inline int cycles_from_env(const char *name, int fallback) {
    const char *text = std::getenv(name);
    int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

// Checks that a soak left nothing behind: the same descriptors, mappings
// within a little slack (the sanitizer allocator maps a region for each size
// class the first time it is used; a mapping lost per cycle would show as
// hundreds), and heap within the slack given. Prints the figures.
inline void expect_no_growth(const char *what, int cycles, const Resources &before,
                             const Resources &after, long long heap_slack = 256 * 1024) {
    std::printf("%s: %d cycles; before %s; after %s\n", what, cycles, before.text().c_str(),
                after.text().c_str());
    std::fflush(stdout);
    EXPECT_EQ(after.fds, before.fds) << what;
    EXPECT_LE(after.maps, before.maps + 16) << what;
    if (before.heap >= 0) {
        EXPECT_LE(after.heap, before.heap + heap_slack) << what;
    }
    EXPECT_EQ(leak_check_now(), 0) << what;
}

} // namespace oru::test

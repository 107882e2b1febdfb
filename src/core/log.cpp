// Log lines and the two-day clean-up of the log directory.
#include "core/log.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/export.h"
#include "oruDiskLib.h"

namespace {

pthread_mutex_t tamb_del_mutex = PTHREAD_MUTEX_INITIALIZER;

constexpr time_t kLogLifetime = 172800; // two days, in seconds
constexpr size_t kEntryPathRoom = 256;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

} // namespace

ORU_EXPORT void oruDiskLib_Log(FILE *fd, char *arg1, char *arg2) {
    if (!fd) return;
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d", tm_now.tm_year + 1900, tm_now.tm_mon + 1,
             tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec);
    fprintf(fd, "[%s] - %s:%s\n", stamp, arg1 ? arg1 : "(null)", arg2 ? arg2 : "(null)");
    fflush(fd);
}

ORU_EXPORT int delete_log_file(char *logdir) {
    if (!logdir) return 0;
    DIR *raw = opendir(logdir);
    if (!raw) {
        mkdir(logdir, 0777);
        return 0;
    }
    std::unique_ptr<DIR, DirCloser> dir(raw);
    const time_t threshold = time(nullptr) - kLogLifetime;
    while (struct dirent *entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        char path[kEntryPathRoom];
        int n = snprintf(path, sizeof path, "%s/%s", logdir, entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue; // would not fit: skip it
        struct stat st;
        if (stat(path, &st) != 0) continue;
        if (st.st_mtime < threshold) unlink(path);
    }
    return 0;
}

void clean_log_dir_timed() {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    if (pthread_mutex_timedlock(&tamb_del_mutex, &deadline) != 0) return;
    delete_log_file(const_cast<char *>(kLogDir));
    pthread_mutex_unlock(&tamb_del_mutex);
}

// Whole-file advisory locks owned by one open of the file, and the listing of
// the process's own descriptors.
//
// The locks are open-file-description locks: they belong to the descriptor an
// image was opened with, so closing another descriptor of the same file (a
// second handle, a probe of the header) never releases them, and other
// processes meet them exactly as they meet classic record locks. Between two
// opens in this process the kernel would make the second wait like any other
// process, and a thread holding the first handle while it opens the second
// would wait for itself forever. A table of the locks this process holds (or
// is waiting for) refuses such an open at once instead.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/export.h"
#include "rwimage1.h"

namespace {

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

void free_fdlist(fdinfo *head) {
    while (head) {
        fdinfo *next = head->next;
        std::free(head);
        head = next;
    }
}

// One lock this process holds or waits for, by the descriptor it was taken on.
struct HeldLock {
    int fd;
    dev_t dev;
    ino_t ino;
    int type; // F_RDLCK or F_WRLCK
};

class LockTable {
  public:
    // Records fd's wish for `type` unless another descriptor of this process
    // holds a conflicting lock on the same file. The previous type fd held
    // (F_UNLCK for none) goes to *previous so that a failed wait can restore it.
    bool claim(int fd, const struct stat &st, int type, int *previous) {
        std::lock_guard<std::mutex> guard(mutex_);
        drop_stale();
        *previous = F_UNLCK;
        for (const HeldLock &held : held_) {
            if (held.dev != st.st_dev || held.ino != st.st_ino) continue;
            if (held.fd == fd) {
                *previous = held.type;
                continue;
            }
            if (held.type == F_WRLCK || type == F_WRLCK) return false;
        }
        forget_locked(fd);
        held_.push_back({fd, st.st_dev, st.st_ino, type});
        return true;
    }
    void set(int fd, const struct stat &st, int type) {
        std::lock_guard<std::mutex> guard(mutex_);
        forget_locked(fd);
        if (type != F_UNLCK) held_.push_back({fd, st.st_dev, st.st_ino, type});
    }
    void forget(int fd) {
        std::lock_guard<std::mutex> guard(mutex_);
        forget_locked(fd);
    }

  private:
    void forget_locked(int fd) {
        held_.erase(std::remove_if(held_.begin(), held_.end(),
                                   [fd](const HeldLock &h) { return h.fd == fd; }),
                    held_.end());
    }
    // A descriptor closed without unlocking took its lock with it; its
    // number may since name another file.
    void drop_stale() {
        held_.erase(std::remove_if(held_.begin(), held_.end(),
                                   [](const HeldLock &h) {
                                       struct stat now;
                                       return fstat(h.fd, &now) != 0 || now.st_dev != h.dev ||
                                              now.st_ino != h.ino;
                                   }),
                    held_.end());
    }
    std::mutex mutex_;
    std::vector<HeldLock> held_;
};

// Never destroyed: a thread may still close an image while the process exits.
LockTable &lock_table() {
    static LockTable *table = new LockTable;
    return *table;
}

int set_ofd_lock(int fd, int type, int command) {
    struct flock lock {};
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however far it grows
    lock.l_pid = 0; // open-file-description locks require it
    int rc;
    // A signal that interrupts the wait is no reason to give the lock up.
    do
        rc = fcntl(fd, command, &lock);
    while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

ORU_EXPORT int lock_set(int fd, int type) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (type == F_UNLCK) {
        int rc = set_ofd_lock(fd, F_UNLCK, F_OFD_SETLK);
        lock_table().forget(fd);
        return rc == 0 ? 0 : -1;
    }
    if (type != F_RDLCK && type != F_WRLCK) {
        errno = EINVAL;
        return -1;
    }
    int previous;
    if (!lock_table().claim(fd, st, type, &previous)) {
        errno = EWOULDBLOCK;
        return -1;
    }
    if (set_ofd_lock(fd, type, F_OFD_SETLKW) != 0) {
        int saved = errno;
        lock_table().set(fd, st, previous);
        errno = saved;
        return -1;
    }
    return 0;
}

ORU_EXPORT fdinfo *getFdlist(void) {
    char dir_path[64];
    snprintf(dir_path, sizeof dir_path, "/proc/%d/fd", static_cast<int>(getpid()));
    std::unique_ptr<DIR, DirCloser> dir(opendir(dir_path));
    if (!dir) return nullptr;
    fdinfo *head = nullptr;
    fdinfo **tail = &head;
    while (struct dirent *entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (entry->d_type != DT_LNK) {
            printf("name:%s type:%d\n", entry->d_name, static_cast<int>(entry->d_type));
            continue;
        }
        char link_path[sizeof dir_path + sizeof entry->d_name + 1];
        snprintf(link_path, sizeof link_path, "%s/%s", dir_path, entry->d_name);
        char target[sizeof(fdinfo{}.path)];
        // readlink does not terminate; a longer target is cut to fit.
        ssize_t n = readlink(link_path, target, sizeof target - 1);
        if (n < 0) continue;
        target[n] = '\0';
        auto *node = static_cast<fdinfo *>(std::calloc(1, sizeof(fdinfo)));
        if (!node) {
            free_fdlist(head);
            return nullptr;
        }
        std::memcpy(node->path, target, static_cast<size_t>(n) + 1);
        node->fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
        node->next = nullptr;
        *tail = node;
        tail = &node->next;
    }
    return head;
}

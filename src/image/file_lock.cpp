// Whole-file advisory record locks between processes, and the listing of the
// process's own descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

} // namespace

ORU_EXPORT int lock_set(int fd, int type) {
    struct flock lock {};
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end of the file, however far it grows
    lock.l_pid = -1;
    fcntl(fd, F_GETLK, &lock);
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int rc;
    // A signal that interrupts the wait is no reason to give the lock up.
    do rc = fcntl(fd, F_SETLKW, &lock);
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
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

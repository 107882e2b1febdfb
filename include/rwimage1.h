/*
 * Internal: image formats, open flags, the raw image handle, whole-file locks,
 * the descriptor listing and the NBD adapter. Shared by the image modules and
 * the volume dispatch; not installed.
 */
#ifndef ORU_RWIMAGE1_H
#define ORU_RWIMAGE1_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "oruDiskLib.h" /* SDK_TYPE and the open flags live there, once */

#ifdef __cplusplus
extern "C" {
#endif

/* A raw image open through raw_open. The caller allocates it; raw_open fills
 * it; raw_close releases the descriptor but not the record. */
typedef struct File_handle {
    int fd;        /* image descriptor; 0 or less means none */
    uint64_t size; /* file size measured at open: all clamping uses it */
    int flag;      /* ORU_RO, ORU_WO or ORU_RW */
} File_handle, oru_file_handle;

/* One node of the list getFdlist returns; the caller frees every node. */
typedef struct Fdinfo {
    char path[256]; /* link target of /proc/<pid>/fd/<fd>, NUL-terminated */
    int fd;
    struct Fdinfo *next;
} Fdinfo, fdinfo;

/* Raw images. 0 on success; -1 with *error pointed at a constant text. */
int raw_open(const char *path, int flag, oru_file_handle *handle, char **error);
int raw_read(oru_file_handle *handle, uint64_t offset, size_t length, void *buffer, char **error);
int raw_write(oru_file_handle *handle, uint64_t offset, size_t length, void *buffer, char **error);
int raw_close(oru_file_handle *handle);
int raw_create(char *path, off_t length);

/* Receives the runs of bytes an extents walk finds, in ascending order, each
 * starting where the previous one ended: zero is non-zero when reads of the
 * run return zeros, 0 when they may not. Answers 0 to go on, 1 to stop. */
typedef int (*oru_extent_fn)(void *opaque, uint64_t offset, uint64_t length, int zero);

/* Describes bytes [offset, offset + length) of a raw image, cut at its size
 * at open, from the file's holes (SEEK_DATA / SEEK_HOLE). 0, or -1 with
 * *error set. */
int raw_extents(oru_file_handle *handle, uint64_t offset, uint64_t length, oru_extent_fn fn,
                void *opaque, char **error);

/* Whole-file advisory lock owned by fd's open file description (so closing
 * another descriptor of the file never drops it): type F_RDLCK (0), F_WRLCK (1)
 * or F_UNLCK (2). Waits while another process holds a conflicting lock. A
 * conflicting lock held (or waited for) through another descriptor of this
 * process is refused at once: -1 with errno EWOULDBLOCK. -1 also when fcntl
 * fails. Unlock with F_UNLCK before closing fd. */
int lock_set(int fd, int type);

/* The process's open descriptors with their link targets; NULL if none or on
 * failure. Entries of the descriptor directory that are not links are printed
 * to standard output instead of listed. */
fdinfo *getFdlist(void);

/* NBD adapter over libnbd. error is a caller buffer of 100 bytes that
 * receives libnbd's text on failure. 0 on success, -1 on failure. Every wait
 * on the server lasts at most ORU_NET_TIMEOUT seconds without progress; a
 * command that times out leaves the handle dead (later calls fail). A failed
 * sdk_img_conn leaves errno ECONNREFUSED when nothing listened yet. Reads and
 * writes go out as pipelined commands cut to the export's block sizes; a
 * write is durable when sdk_img_write returns (one flush at its end, or
 * forced unit access where the export has no flush). */
struct nbd_handle;
int sdk_img_conn(struct nbd_handle **nbd, char *ip, char *port, char *name, char *error);
int sdk_img_size(struct nbd_handle *nbd, uint64_t *size, char *error);
int sdk_img_detect(struct nbd_handle *nbd, size_t count, uint64_t offset);
int sdk_img_read(struct nbd_handle *nbd, void *buf, size_t count, uint64_t offset, char *error);
int sdk_img_write(struct nbd_handle *nbd, const void *buf, size_t count, uint64_t offset,
                  char *error);
int sdk_disconn(struct nbd_handle **nbd, char *error);

#ifdef __cplusplus
}
#endif

#endif /* ORU_RWIMAGE1_H */

/*
 * oruDiskLib: sector-level access to the virtual disks ("volumes") of a
 * virtualization platform.
 *
 * A volume is reached locally (a qcow2, raw or LUKS image file), over NBD
 * after a handshake with the platform's management server and host agent, or
 * directly over iSCSI ("lanfree"). Sectors are 512 bytes; one read or write
 * moves at most 32 MiB.
 *
 * Conventions:
 *  - Operations returning oruError answer ORU_OK (0) on success; the text of
 *    any code comes from oruDiskLib_GetErrorText().
 *  - Texts returned by the library are constants or library-owned buffers:
 *    never free or modify them.
 *  - Handles and connections belong to the caller between their creation
 *    (oruDiskLib_Init / oruDiskLib_Connect / oruDiskLib_Set_AK) and their
 *    release (oruDiskLib_Finalize / oruDiskLib_DisConnect).
 *  - A handle serves one thread at a time; threads may each work their own
 *    volumes and connections at once. The last-error slots are shared by the
 *    whole process (the latest failure of any thread wins);
 *    oruDiskLib_GetLastErrorText() answers for the calling thread alone.
 *
 * This header compiles as C11 and as C++.
 */
#ifndef ORUDISKLIB_H
#define ORUDISKLIB_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Management server login: passed by value to oruDiskLib_Connect and
 * oruDiskLib_Set_AK. The library copies what it keeps. */
typedef struct {
    char *hostIP;    /* address of the management server */
    char *userName;  /* login user */
    char *password;  /* login password */
    char *accesskey; /* access key "ORU <id>:<secret>" (oruDiskLib_Set_AK), or NULL */
} oruDiskLibConnectParams;

/* One volume. The caller keeps the descriptor alive and passes the same one
 * to every call on the volume: several operations read it again each time. */
typedef struct {
    char *diskPath;    /* local: image path; remote: the volume's path on the host */
    int diskFormat;    /* an SDK_TYPE value */
    char *volumeUuid;  /* names the log file and the NBD export */
    char *dataStoreid; /* data store holding the volume (host selection) */
    char *targeturl;   /* iSCSI target URL ("iscsi://..."), or NULL */
    char *initiator;   /* iSCSI initiator name */
} oruDiskLibVolume;

/* Opaque volume handle, made by oruDiskLib_Init. */
typedef struct oruDiskLibHandlestruct oruDiskLibHandlestruct;
typedef oruDiskLibHandlestruct *oruDiskLibHandle;

/* Opaque management connection, made by oruDiskLib_Connect or
 * oruDiskLib_Set_AK, released by oruDiskLib_DisConnect. */
typedef struct oruDiskLibConnectParam *oruDiskLibConnection;

/* Sector numbers and counts; a sector is 512 bytes. */
typedef uint64_t oruDiskLibSectorType;

/* Volume formats (oruDiskLibVolume.diskFormat). */
typedef enum {
    ORU_QCOW = 0, /* qcow2 image */
    ORU_RAW = 1,  /* raw image */
    ORU_LUKS = 2  /* raw image whose first 1,052,672 bytes are a LUKS header */
} SDK_TYPE;

/* Open flags (openFlag of oruDiskLib_Open). ORU_WRITEBACK may be or-ed with
 * ORU_WO or ORU_RW: NBD writes then become durable at oruDiskLib_Flush or
 * oruDiskLib_Close instead of before each oruDiskLib_Write returns (no flush
 * per call; the close flushes and reports a failed flush). Local images and
 * iSCSI LUNs are written back with or without it: Flush or Close makes their
 * writes durable. */
enum { ORU_RO = 1, ORU_WO = 2, ORU_RW = 3, ORU_WRITEBACK = 0x100 };

/* Result codes. Slot codes take their text from a last-error slot. */
typedef enum {
    ORU_OK = 0,
    ORU_E_FAIL = 1,
    ORU_E_NOT_SUPPORTED = 2,
    ORU_E_CONNECT_FAIL = 3,
    ORU_E_GET_VERSION = 4,
    ORU_E_GET_MODE = 5,
    ORU_E_POST = 6,
    ORU_E_OPEN = 7,
    ORU_E_PARAMS = 8,
    ORU_E_REMOTE_OPEN = 9,
    ORU_E_QCOW_OPEN = 10,
    ORU_E_LOCK = 11,
    ORU_E_READ = 12,
    ORU_E_WRITE = 13,
    ORU_E_CLOSE = 14,
    ORU_E_PORT = 15,
    ORU_E_INIT = 16,
    ORU_E_TCP = 17,
    ORU_E_SSL = 18,
    ORU_E_SEND = 19,
    ORU_E_RECV = 20,
    ORU_E_MALLOC = 21,
    ORU_E_USING = 22,
    ORU_E_NBD_EXPORT = 23,
    ORU_E_REMOTE_READ = 24,
    ORU_E_REMOTE_WRITE = 25,
    ORU_E_QCOW_READ = 26,
    ORU_E_QCOW_WRITE = 27,
    ORU_E_RAW_OPEN = 28,
    ORU_E_RAW_READ = 29,
    ORU_E_RAW_WRITE = 30,
    ORU_E_GET = 31,
    ORU_E_QCOW_BITMAP = 32,
    ORU_E_TIMEOUT = 33,
    ORU_E_TRANS = 34,
    ORU_E_REMOTELOCK = 35,
    ORU_E_HANDLENBD = 36,
    ORU_E_HANDLEQCOW = 37,
    ORU_E_HANDLERAW = 38,
    ORU_E_ACCOUNT = 39,
    ORU_E_RAW_BITMAP = 40,
    ORU_ISCSI_OPEN = 41,
    ORU_ISCSI_READ = 42,
    ORU_ISCSI_WRITE = 43,
    ORU_E_REMOTE_CLOSE = 44,
    ORU_E_MAX_BUFFER = 45,
    ORU_E_FORMAT = 46
} oruError;

/* Last-error slots: the text of the latest failure of each backend, in any
 * thread; oruDiskLib_GetLastErrorText() gives the calling thread's own.
 * nbderror is a library-owned buffer; the others point at constant texts
 * ("null" until the first failure). Read them, never write them. */
extern char nbderror[100];
extern char *qcowerror;
extern char *rawerror;
extern char *iscsierror;

/* Allocates a zero-filled volume handle into *handle.
 * ORU_E_INIT (and *handle NULL) when memory runs out. */
oruError oruDiskLib_Init(oruDiskLibHandle *handle);

/* Frees the handle in *handle (NULL is accepted). Always ORU_OK. Close the
 * volume first: this closes nothing, and *handle is left unchanged. */
oruError oruDiskLib_Finalize(oruDiskLibHandle *handle);

/* The library version, "1.5.0" (constant text). */
char *oruDiskLib_GetVersion(void);

/* The accepted transport modes, "nbd:lanfree:file" (constant text). */
char *oruDiskLib_GetTransportMode(void);

/* The text of a result code; for backend codes, the content of the backend's
 * last-error slot. Unknown codes give "Unknown error". Never NULL; the caller
 * must not free or change it. */
char *oruDiskLib_GetErrorText(oruError err);

/* The text of the calling thread's latest failed call (any operation that
 * answered a failure), "" before its first failure. Thread-local and never
 * NULL; calls that succeed leave it unchanged. Valid until this thread's next
 * call into the library; never free or modify it. The failure's reason, e.g.
 * "timed out", where the code's own text does not give it. */
const char *oruDiskLib_GetLastErrorText(void);

/* Appends "[y/m/d h:m:s] - arg1:arg2\n" (local time, no zero padding) to fd
 * and flushes it. Reports nothing. */
void oruDiskLib_Log(FILE *fd, char *arg1, char *arg2);

/* Logs in to the management server at connectParams.hostIP and stores a new
 * connection in *connection (trading the session for the user's access key).
 * ORU_E_ACCOUNT for a wrong password, ORU_E_POST for other refusals or
 * unusable replies, the request codes (ORU_E_TCP, ORU_E_CONNECT_FAIL,
 * ORU_E_SSL, ...) otherwise; *connection stays NULL on failure. */
/* Networks: every name lookup, connect, TLS handshake, send and receive with
 * the management server and host agents waits at most ORU_NET_TIMEOUT seconds
 * (1..3600, default 60; a lookup that runs out fails as a connect does), and a platform task is followed for at most
 * ORU_TASK_TIMEOUT seconds (default 600). The server's TLS certificate is
 * not verified unless ORU_TLS_CA_FILE names a PEM file of trusted roots, or
 * ORU_TLS_VERIFY=1 asks for the system's; then the chain must verify and the
 * certificate must name hostIP (address or DNS name), or the exchange fails
 * with ORU_E_SEND before any request (and so any password) is sent. */
oruError oruDiskLib_Connect(const oruDiskLibConnectParams connectParams,
                            oruDiskLibConnection *connection);

/* Builds a connection from the access key the caller already holds
 * (connectParams.accesskey, "ORU <id>:<secret>"), checking it with the server.
 * ORU_E_ACCOUNT when the server rejects the key (message in nbderror). */
oruError oruDiskLib_Set_AK(const oruDiskLibConnectParams connectParams,
                           oruDiskLibConnection *connection);

/* Logs out (session form) or forgets the key (access-key form) and frees
 * the connection on success. */
oruError oruDiskLib_DisConnect(oruDiskLibConnection connection);

/* Opens a volume on an initialised handle. Local (isRemote false): the image
 * at volume->diskPath through the qcow2 engine (ORU_QCOW) or the raw backend,
 * under a whole-file lock (shared for ORU_RO, else exclusive) that belongs to
 * this open: closing other handles or descriptors of the file never drops it.
 * A conflicting lock of another process is waited for; a conflicting open in
 * this process (another handle, any thread) fails at once with
 * ORU_E_QCOW_OPEN / ORU_E_RAW_OPEN, "file locked failed".
 * Remote: transportMode NULL or "lanfree" (iSCSI when volume->targeturl
 * contains "iscsi", else NBD), "nbd", or "file" (nothing attached); needs a
 * connection and writes /var/log/tamb/<volumeUuid>.log.
 * ORU_E_PARAMS, ORU_E_TRANS, ORU_E_QCOW_OPEN, ORU_E_RAW_OPEN,
 * ORU_E_REMOTE_OPEN, ORU_ISCSI_OPEN, ... on failure. */
oruError oruDiskLib_Open(const oruDiskLibVolume *volume, int openFlag,
                         const char *transportMode, bool isRemote,
                         oruDiskLibHandle Handle, oruDiskLibConnection connection);

/* Reads numSectors sectors from startSector into buffer (numSectors * 512
 * bytes). On LUKS volumes sector 0 follows the header region. At most
 * 32 MiB per call (ORU_E_MAX_BUFFER, nothing touched). Reads past the end
 * are cut short. */
oruError oruDiskLib_Read(const oruDiskLibHandle diskhandle, const oruDiskLibVolume *volume,
                         oruDiskLibSectorType startSector, oruDiskLibSectorType numSectors,
                         void *buffer);

/* Writes numSectors sectors from buffer at startSector; as oruDiskLib_Read.
 * Local images are written through the page cache (durable at Flush or
 * Close). Durability without ORU_WRITEBACK: on NBD the data is on stable storage when
 * the call returns (one NBD flush after its commands, or forced unit access
 * on each where the export has no flush); iSCSI writes are left to the
 * target's cache (oruDiskLib_Flush commits them). Remote writes keep several
 * commands in flight and fail whole if any of them fails. NBD exports whose
 * minimum block exceeds 512 bytes get unaligned edges read, patched and
 * written back.
 * On a qcow2 image with persistent dirty bitmaps every enabled bitmap
 * records the write, as qemu's would (in use until the volume is closed);
 * one that cannot be kept is dropped, durably, before the data changes. */
oruError oruDiskLib_Write(const oruDiskLibHandle diskhandle, const oruDiskLibVolume *volume,
                          oruDiskLibSectorType startSector, oruDiskLibSectorType numSectors,
                          void *buffer);

/* Copies the 1,052,672-byte LUKS header region of a LUKS volume into buffer.
 * ORU_E_FORMAT on other formats. */
oruError oruDiskLib_Header_get(const oruDiskLibHandle diskhandle,
                               const oruDiskLibVolume *volume, void *buffer);

/* Writes the 1,052,672-byte LUKS header region from buffer. */
oruError oruDiskLib_Header_set(const oruDiskLibHandle diskhandle,
                               const oruDiskLibVolume *volume, void *buffer);

/* Releases the volume's transport (and its log). The handle stays allocated
 * for oruDiskLib_Finalize or another open. */
oruError oruDiskLib_Close(oruDiskLibHandle diskhandle, const oruDiskLibVolume *volume);

/* Picks the least-loaded host that has the volume's data store, records the
 * open mode ("r" or "rw") and has the host agent export the volume; stores
 * the export's address and port in the handle. ORU_E_TIMEOUT when the
 * session expired. */
oruError oruDiskLib_SelectHost(oruDiskLibHandle Handle, oruDiskLibConnection connection,
                               const oruDiskLibVolume *volume, char *openFlag);

/* 0 when ip answers ping, -1 when it does not or is not a valid address. */
int oruDiskLib_ping(char *ip);

/* Writes the bitmap of allocated clusters of the open local volume to
 * "<diskPath>.b", replacing the file: text header lines, then one '0' or '1'
 * per granule with no separator and no final line end.
 *   qcow2: "size is :<virtual size>\ncluster_size is :<cluster size>\nbitmaps:"
 *          then one character per cluster of the top image,
 *          ceil(size / cluster size) of them, '1' where any image of the
 *          backing chain allocates part of it (as the volume reads);
 *   raw and LUKS: "granularity:262144\nbitmap:" then one character per
 *          256 KiB of the file (LUKS header region included), '1' where the
 *          file has data.
 * Sizes are in bytes, in decimal. ORU_E_PARAMS without a handle or volume,
 * ORU_E_QCOW_BITMAP or ORU_E_RAW_BITMAP (text in the slot) on failure. */
oruError oruDiskLib_QueryAllocatedClusters(oruDiskLibHandle diskHandle,
                                           const oruDiskLibVolume *volume);

/* Creates an image at path: qcow2 (format ORU_QCOW, optional backing file,
 * cluster_size 64 KiB..2 MiB) or raw (any other format) of size bytes.
 * Unlike the other operations it answers 0 when the image was made and -1
 * (not an oruError code, no text) when it was not. */
oruError oruDiskLib_Create(char *path, char *backingfile, uint32_t cluster_size, uint64_t size,
                           int format);

/* One run of sectors of an open volume, as oruDiskLib_QueryExtents answers. */
typedef struct {
    oruDiskLibSectorType start; /* first sector */
    oruDiskLibSectorType count; /* number of sectors, > 0 */
    uint32_t flags;             /* ORU_EXTENT_ZERO, or 0 for data */
} oruDiskLibExtent;

/* ORU_EXTENT_ZERO: reads of the extent return zeros. Data (0): they may not. */
enum { ORU_EXTENT_DATA = 0, ORU_EXTENT_ZERO = 1 };

/* Describes which sectors of the open volume hold data, on every transport,
 * so that a copy reads only what is there. Fills extents[0 .. *numExtents)
 * in ascending order, contiguous from startSector, none empty, covering
 * [startSector, startSector + numSectors) cut at the volume's end, unless
 * maxExtents runs out first: then the caller continues from the end of the
 * last one. No 32 MiB limit applies. Neighbouring extents of one kind are
 * merged. A sector is ORU_EXTENT_ZERO only when all of it reads as zeros, so
 * a partial last sector is data. On LUKS volumes (every transport) sectors
 * count from the end of the header region, as oruDiskLib_Read counts them.
 * qcow2: the whole backing chain at cluster granularity, as reads see it.
 * raw and LUKS: the file's holes. NBD: the export's "base:allocation" block
 * status when it offers it. iSCSI: GET LBA STATUS on thin-provisioned LUNs.
 * Otherwise one data extent.
 * ORU_E_PARAMS for null pointers, maxExtents 0 or a start past the end; a
 * start exactly at the end answers ORU_OK with *numExtents 0. With no volume
 * open the call fails as oruDiskLib_Read would. */
oruError oruDiskLib_QueryExtents(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                 oruDiskLibSectorType startSector,
                                 oruDiskLibSectorType numSectors, oruDiskLibExtent *extents,
                                 uint32_t maxExtents, uint32_t *numExtents);

/* What an open volume is, as oruDiskLib_GetInfo answers. */
typedef struct {
    uint32_t structSize;         /* the caller sets sizeof(oruDiskLibInfo); later versions only
                                    append members and never fill more than structSize bytes */
    uint32_t format;             /* ORU_QCOW, ORU_RAW or ORU_LUKS */
    uint64_t capacity;           /* bytes addressable through Read/Write (after a LUKS header) */
    uint32_t clusterSize;        /* qcow2: the active layer's cluster size; 0 otherwise */
    uint32_t minBlockSize;       /* alignment the transport needs, at least 512 */
    uint32_t preferredBlockSize; /* alignment that avoids read-modify-write */
    uint32_t maxRequestBytes;    /* largest single Read/Write accepted */
    uint32_t flags;              /* ORU_INFO_* */
} oruDiskLibInfo;

/* oruDiskLibInfo.flags. READ_ONLY: writes are refused. FAST_ZERO:
 * oruDiskLib_WriteZeroes costs about nothing per byte. CAN_FLUSH: the
 * transport has a flush of its own. EXTENTS: oruDiskLib_QueryExtents tells
 * holes from data. BITMAPS: oruDiskLib_ListBitmaps may list change-tracking
 * bitmaps. */
enum {
    ORU_INFO_READ_ONLY = 1,
    ORU_INFO_FAST_ZERO = 2,
    ORU_INFO_CAN_FLUSH = 4,
    ORU_INFO_EXTENTS = 8,
    ORU_INFO_BITMAPS = 16
};

/* Fills *info for the open volume, so that no caller needs to parse image
 * headers or probe a remote volume by reading. The caller sets
 * info->structSize; members past it are not touched. ORU_E_PARAMS for null
 * pointers or a structSize below 8 (structSize and format); with no volume
 * open the call fails as oruDiskLib_Read would. */
oruError oruDiskLib_GetInfo(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                            oruDiskLibInfo *info);

/* Makes numSectors sectors from startSector read as zeros, by the cheapest
 * means of the transport (qcow2 zero clusters or deallocation, holes punched
 * in raw and LUKS files, NBD_CMD_WRITE_ZEROES that lets the server leave
 * holes, SCSI WRITE SAME(16) with UNMAP where the LUN reads unmapped blocks
 * as zeros), falling back to writing zeros. Partial blocks of the transport
 * at either end are read, patched and written. No 32 MiB limit. On LUKS volumes sectors count as in
 * oruDiskLib_Read and the header region is never touched. A range past the
 * volume's end fails with ORU_E_PARAMS and changes nothing; a read-only
 * handle fails as oruDiskLib_Write does. Durable as oruDiskLib_Write is. */
oruError oruDiskLib_WriteZeroes(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                oruDiskLibSectorType startSector,
                                oruDiskLibSectorType numSectors);

/* Makes every write and zeroing that returned before durable: fdatasync of
 * local images (after the qcow2 metadata), NBD_CMD_FLUSH (ORU_OK at once on an
 * export without flush), SCSI SYNCHRONIZE CACHE(16). ORU_OK on read-only
 * handles. */
oruError oruDiskLib_Flush(oruDiskLibHandle handle, const oruDiskLibVolume *volume);

/* One change-tracking bitmap of a volume, as oruDiskLib_ListBitmaps answers. */
typedef struct {
    char name[1024];      /* NUL-terminated */
    uint32_t granularity; /* bytes per bit; 0 when the transport does not say */
    uint32_t flags;       /* ORU_BITMAP_* */
} oruDiskLibBitmapInfo;

/* ENABLED: the bitmap records new writes. INCONSISTENT: it cannot be trusted
 * (left in use by a writer that died, or dropped by a program that wrote the
 * image without updating it); queries on it fail. */
enum { ORU_BITMAP_ENABLED = 1, ORU_BITMAP_INCONSISTENT = 2 };

/* Lists the persistent dirty bitmaps of the open volume: those stored in a
 * local qcow2 image, or those a remote NBD export offers as
 * "qemu:dirty-bitmap:NAME" contexts. *numBitmaps receives how many exist;
 * the first min(maxBitmaps, that) are filled (bitmaps may be NULL when
 * maxBitmaps is 0). Raw, LUKS and iSCSI volumes list none. A local qcow2
 * image lists its own bitmaps (not its backing files'); INCONSISTENT when
 * the bitmap is marked in use (also while a handle writes the image) or the
 * image's autoclear bit for bitmaps is clear. ORU_E_QCOW_BITMAP (text in qcowerror) when they cannot be read. */
oruError oruDiskLib_ListBitmaps(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                oruDiskLibBitmapInfo *bitmaps, uint32_t maxBitmaps,
                                uint32_t *numBitmaps);

/* oruDiskLibExtent.flags of oruDiskLib_QueryChangedExtents. */
enum { ORU_EXTENT_CHANGED = 2 };

/* Describes which sectors the bitmap bitmapName marks as changed, with the
 * contract of oruDiskLib_QueryExtents (order, contiguity, merging,
 * continuation, the LUKS shift, argument errors): an extent is
 * ORU_EXTENT_CHANGED where the bitmap marks any byte of its sectors, 0
 * elsewhere. An unknown name, an inconsistent bitmap, or a volume that holds
 * no bitmaps fails with a text saying so: the call never answers "unchanged"
 * for data it cannot vouch for. Local qcow2: ORU_E_QCOW_BITMAP (qcowerror);
 * raw and LUKS: ORU_E_RAW_BITMAP (rawerror); lanfree: ORU_ISCSI_READ
 * (iscsierror). */
oruError oruDiskLib_QueryChangedExtents(oruDiskLibHandle handle, const oruDiskLibVolume *volume,
                                        const char *bitmapName,
                                        oruDiskLibSectorType startSector,
                                        oruDiskLibSectorType numSectors,
                                        oruDiskLibExtent *extents, uint32_t maxExtents,
                                        uint32_t *numExtents);

#ifdef __cplusplus
}
#endif

#endif /* ORUDISKLIB_H */

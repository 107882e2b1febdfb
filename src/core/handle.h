// The records behind the opaque public handle and connection types.
#pragma once

#include <cstdint>
#include <cstdio>

#include "oruDiskLib.h"

// The engines and transports a handle points at; only their own layers look
// inside them.
struct File_handle;
struct qcow2;
struct nbd_handle;
struct iscsi_context;
struct VolumeOps;

// Transport recorded in oruDiskLibInHandle::flag.
enum : int { ORU_TRANSPORT_LOCAL = 0, ORU_TRANSPORT_NBD = 1, ORU_TRANSPORT_ISCSI = 2 };
// No transport behind the handle: a remote open that attached nothing (mode
// "file", or an attach that failed before choosing one). Every volume call
// refuses it; its close releases only the log (whoever closes h->log nulls it).
inline constexpr int ORU_TRANSPORT_NONE = -1;

// What oruDiskLibHandle points at. Field order is fixed.
struct oruDiskLibInHandle {
    int flag;                    // 0 local, 1 NBD, 2 iSCSI
    struct File_handle *lblk;    // local raw/LUKS volume
    struct qcow2 *qblk;          // local qcow2 volume
    struct nbd_handle *rblk;     // NBD volume
    char *ip;                    // NBD server address (host selection owns it)
    char *port;                  // NBD server port text (host selection owns it)
    FILE *log;                   // per-volume log of a remote open
    int statu;                   // code of the last failed NBD operation
    struct iscsi_context *iscsi; // iSCSI volume
    int lun;
    int blocksize;
    uint64_t num_blocks; // address of the LUN's last block
    uint64_t size;       // NBD export size in bytes
    // Appended fields: only the library allocates the record.
    const struct VolumeOps *ops; // the open volume's backend, null when none
    int open_flag;               // oruDiskLib_Open's openFlag (ORU_WRITEBACK included)
    // iSCSI: how the LUN zeroes, learnt at attach (remote/iscsi_volume.cpp).
    uint32_t write_same_blocks; // blocks per WRITE SAME command
    uint8_t unmap_zeroes;       // WRITE SAME with UNMAP leaves blocks that read as zeros
    uint8_t physical_exponent;  // logical blocks per physical block, as a power of 2
};

// The access mode of an open flag, without the modifiers.
inline int open_access(int open_flag) {
    return open_flag & 3;
}
inline bool is_writeback(int open_flag) {
    return (open_flag & ORU_WRITEBACK) != 0;
}

// What oruDiskLibConnection points at. Every text is owned by the record.
struct oruDiskLibInConnection {
    char *ip; // management server address
    char *username;
    char *password;
    char *sessionid; // the Authorization value: session id or "ORU <id>:<secret>"
};

inline oruDiskLibInHandle *in_handle(oruDiskLibHandle h) {
    return reinterpret_cast<oruDiskLibInHandle *>(h);
}
inline oruDiskLibInConnection *in_connection(oruDiskLibConnection c) {
    return reinterpret_cast<oruDiskLibInConnection *>(c);
}

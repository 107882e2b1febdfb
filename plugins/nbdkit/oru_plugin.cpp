// nbdkit-oru-plugin: any volume the library opens, served as an NBD export.
// The callbacks here only translate between nbdkit and VolumeHandle; every
// connection gets a library handle of its own.
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "export_config.h"
#include "volume_handle.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_SERIALIZE_REQUESTS

namespace oru_nbdkit {

namespace {

// Writable connections open now. The library's image locks belong to each
// open of the file: a second writable handle in this process is refused at
// once (two qcow2 engines allocating clusters in one file would corrupt it).
// A writable export therefore serves one connection at a time. Clients often reconnect at once (qemu-img probes,
// then opens), before the server has finished closing the previous
// connection: a newcomer waits a little for the writer to go.
std::mutex writer_mutex;
std::condition_variable writer_gone;
bool writer_active = false;
constexpr std::chrono::seconds kWriterWait{3};

bool claim_writer() {
    std::unique_lock lock(writer_mutex);
    if (!writer_gone.wait_for(lock, kWriterWait, [] { return !writer_active; })) return false;
    writer_active = true;
    return true;
}

void release_writer() {
    {
        std::lock_guard lock(writer_mutex);
        writer_active = false;
    }
    writer_gone.notify_all();
}

VolumeHandle *volume(void *handle) {
    return static_cast<VolumeHandle *>(handle);
}

void report_exception() {
    nbdkit_error("out of memory");
    nbdkit_set_error(ENOMEM);
}

int plugin_config(const char *key, const char *value) {
    try {
        return config_key(key, value);
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_config_complete() {
    try {
        return config_complete();
    } catch (...) {
        report_exception();
        return -1;
    }
}

void plugin_unload() {
    forget_secrets();
}

void *plugin_open(int readonly) {
    if (!readonly && !claim_writer()) {
        nbdkit_error("the volume is already open for writing by another connection");
        nbdkit_set_error(EBUSY);
        return nullptr;
    }
    try {
        std::unique_ptr<VolumeHandle> v = VolumeHandle::open(export_config(), readonly != 0);
        if (v) return v.release();
    } catch (...) {
        report_exception();
    }
    if (!readonly) release_writer();
    return nullptr;
}

void plugin_close(void *handle) {
    bool writer = !volume(handle)->readonly();
    delete volume(handle);
    if (writer) release_writer();
}

int64_t plugin_get_size(void *handle) {
    return static_cast<int64_t>(volume(handle)->size());
}

int plugin_block_size(void *handle, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum) {
    // Any alignment is served (edges by read-modify-write of their sector):
    // a stated minimum of 512 would make strict clients such as libnbd refuse
    // the odd tail of a raw image whose size is no multiple of 512.
    *minimum = 1;
    *preferred = volume(handle)->preferred_block();
    *maximum = 32 * 1024 * 1024;
    return 0;
}

int plugin_can_write(void *handle) {
    return !volume(handle)->readonly();
}

// Read-only connections each hold their own handle on unchanging data, so
// a client may spread its reads over several; writers are alone anyway. A
// remote volume costs every connection a login, a host selection and an
// export on the host: clients are not invited to open several.
int plugin_can_multi_conn(void *handle) {
    return volume(handle)->readonly() && !export_config().remote();
}

// The library flushes every transport (fdatasync, NBD_CMD_FLUSH, SYNCHRONIZE
// CACHE). Forced unit access is a write followed by that flush, which nbdkit
// does for us.
int plugin_can_flush(void *) {
    return 1;
}

int plugin_can_fua(void *) {
    return NBDKIT_FUA_EMULATE;
}

int plugin_can_zero(void *) {
    return 1;
}

// Advertised on every volume: where zeroing would write data, a fast-zero
// request fails at once, which is what lets clients skip pre-zeroing.
int plugin_can_fast_zero(void *) {
    return 1;
}

int plugin_can_extents(void *handle) {
    return volume(handle)->has_extents();
}

int plugin_pread(void *handle, void *buf, uint32_t count, uint64_t offset, uint32_t) {
    try {
        return volume(handle)->read(buf, count, offset) ? 0 : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_pwrite(void *handle, const void *buf, uint32_t count, uint64_t offset, uint32_t) {
    // FUA is emulated by nbdkit with a flush after the write.
    try {
        return volume(handle)->write(buf, count, offset) ? 0 : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_zero(void *handle, uint32_t count, uint64_t offset, uint32_t flags) {
    // May-trim is a hint only: the library deallocates where reads would
    // still return zeros and otherwise writes zero clusters or zeros.
    VolumeHandle *v = volume(handle);
    if ((flags & NBDKIT_FLAG_FAST_ZERO) && !v->fast_zero()) {
        nbdkit_set_error(ENOTSUP); // nothing written: the client writes data itself
        return -1;
    }
    try {
        return v->zero(count, offset) ? 0 : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_flush(void *handle, uint32_t) {
    try {
        return volume(handle)->flush() ? 0 : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_extents(void *handle, uint32_t count, uint64_t offset, uint32_t flags,
                   struct nbdkit_extents *extents) {
    try {
        return volume(handle)->extents(count, offset, (flags & NBDKIT_FLAG_REQ_ONE) != 0, extents)
                   ? 0
                   : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

nbdkit_plugin make_plugin() {
    nbdkit_plugin p{};
    p.name = "oru";
    p.longname = "oruDiskLib volumes";
    p.version = oruDiskLib_GetVersion();
    p.description = "Serves a local or remote volume through oruDiskLib";
    p.unload = plugin_unload;
    p.config = plugin_config;
    p.config_complete = plugin_config_complete;
    p.config_help = kConfigHelp;
    p.magic_config_key = "file";
    p.open = plugin_open;
    p.close = plugin_close;
    p.get_size = plugin_get_size;
    p.block_size = plugin_block_size;
    p.can_write = plugin_can_write;
    p.can_flush = plugin_can_flush;
    p.can_fua = plugin_can_fua;
    p.can_zero = plugin_can_zero;
    p.can_fast_zero = plugin_can_fast_zero;
    p.can_multi_conn = plugin_can_multi_conn;
    p.can_extents = plugin_can_extents;
    p.pread = plugin_pread;
    p.pwrite = plugin_pwrite;
    p.zero = plugin_zero;
    p.flush = plugin_flush;
    p.extents = plugin_extents;
    p.errno_is_preserved = 0;
    return p;
}

} // namespace

} // namespace oru_nbdkit

static struct nbdkit_plugin plugin = oru_nbdkit::make_plugin();

NBDKIT_REGISTER_PLUGIN(plugin)

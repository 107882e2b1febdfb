// nbdkit-oru-plugin: any volume the library opens, served as an NBD export.
// The callbacks here only translate between nbdkit and VolumeHandle; every
// connection gets a library handle of its own.
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
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

// A descriptor of the local image kept for flushes. The library has no flush
// call (its close flushes); fdatasync on any descriptor of the file flushes
// what every descriptor and shared mapping of it wrote. It is closed at
// unload; closing it leaves the library's locks alone, since they belong to
// the library's own opens of the file.
int flush_fd = -1;

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

int plugin_get_ready() {
    const ExportConfig &c = export_config();
    if (c.remote()) return 0;
    flush_fd = ::open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (flush_fd < 0) {
        nbdkit_error("cannot open %s: %s", c.file.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

void plugin_unload() {
    if (flush_fd >= 0) ::close(flush_fd);
    flush_fd = -1;
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

int plugin_block_size(void *, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum) {
    // Any alignment is served (edges by read-modify-write of their sector):
    // a stated minimum of 512 would make strict clients such as libnbd refuse
    // the odd tail of a raw image whose size is no multiple of 512.
    *minimum = 1;
    *preferred = 4096;
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

// Remote NBD writes already carry forced unit access; iSCSI writes do not
// and the library cannot flush the target's cache, so no flush is offered
// there rather than one that would answer success without effect.
int plugin_can_flush(void *) {
    return !export_config().over_iscsi();
}

int plugin_can_fua(void *) {
    const ExportConfig &c = export_config();
    if (c.over_iscsi()) return NBDKIT_FUA_NONE;
    return c.remote() ? NBDKIT_FUA_NATIVE : NBDKIT_FUA_EMULATE;
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
    // FUA: remote writes are durable as they return; locally nbdkit
    // emulates it with a flush.
    try {
        return volume(handle)->write(buf, count, offset) ? 0 : -1;
    } catch (...) {
        report_exception();
        return -1;
    }
}

int plugin_flush(void *, uint32_t) {
    if (flush_fd < 0) return 0; // remote NBD: every write was forced to the volume
    int rc;
    do
        rc = ::fdatasync(flush_fd);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return 0;
    int err = errno;
    nbdkit_error("flushing %s failed: %s", export_config().file.c_str(), std::strerror(err));
    nbdkit_set_error(err);
    return -1;
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
    p.get_ready = plugin_get_ready;
    p.open = plugin_open;
    p.close = plugin_close;
    p.get_size = plugin_get_size;
    p.block_size = plugin_block_size;
    p.can_write = plugin_can_write;
    p.can_flush = plugin_can_flush;
    p.can_fua = plugin_can_fua;
    p.can_multi_conn = plugin_can_multi_conn;
    p.can_extents = plugin_can_extents;
    p.pread = plugin_pread;
    p.pwrite = plugin_pwrite;
    p.flush = plugin_flush;
    p.extents = plugin_extents;
    p.errno_is_preserved = 0;
    return p;
}

} // namespace

} // namespace oru_nbdkit

static struct nbdkit_plugin plugin = oru_nbdkit::make_plugin();

NBDKIT_REGISTER_PLUGIN(plugin)

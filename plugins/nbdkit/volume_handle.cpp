#include "volume_handle.h"

#include <nbdkit-plugin.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "error_map.h"

namespace oru_nbdkit {

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kMaxTransfer = 32ull << 20; // the library's limit per call
constexpr uint32_t kExtentBatch = 1024;
constexpr uint32_t kDefaultPreferredBlock = 4096;

char *text_or_null(std::string &s) {
    return s.empty() ? nullptr : s.data();
}

void wipe(std::string &secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

} // namespace

VolumeHandle::VolumeHandle(const ExportConfig &c, bool readonly)
    : readonly_(readonly), remote_(c.remote()),
      name_(c.remote() ? c.uuid + " on " + c.server : c.file), path_(c.remote() ? c.path : c.file),
      uuid_(c.uuid), datastore_(c.datastore), target_url_(c.target_url), initiator_(c.initiator),
      transport_(c.transport) {
    volume_.diskPath = text_or_null(path_);
    volume_.diskFormat = c.format_code;
    volume_.volumeUuid = text_or_null(uuid_);
    volume_.dataStoreid = text_or_null(datastore_);
    volume_.targeturl = text_or_null(target_url_);
    volume_.initiator = text_or_null(initiator_);
}

std::unique_ptr<VolumeHandle> VolumeHandle::open(const ExportConfig &config, bool readonly) {
    std::unique_ptr<VolumeHandle> v(new (std::nothrow) VolumeHandle(config, readonly));
    if (!v) {
        nbdkit_error("out of memory");
        return nullptr;
    }
    if (!v->attach(config) || !v->learn_facts(config)) return nullptr;
    return v;
}

bool VolumeHandle::learn_facts(const ExportConfig &config) {
    info_.structSize = sizeof info_;
    if (oruError rc = oruDiskLib_GetInfo(handle_, &volume_, &info_); rc != ORU_OK) {
        report_failure("cannot learn what " + name_ + " is", rc);
        return false;
    }
    if (config.size && *config.size != info_.capacity)
        nbdkit_debug("size=%llu ignored: %s holds %llu bytes",
                     static_cast<unsigned long long>(*config.size), name_.c_str(),
                     static_cast<unsigned long long>(info_.capacity));
    return true;
}

uint32_t VolumeHandle::preferred_block() const {
    const uint32_t p = info_.preferredBlockSize;
    if (p < kDefaultPreferredBlock || p > kMaxTransfer || (p & (p - 1)) != 0)
        return kDefaultPreferredBlock;
    return p;
}

bool VolumeHandle::attach(const ExportConfig &c) {
    if (remote_) {
        std::string server = c.server, user = c.user, password = c.password, key = c.access_key;
        oruDiskLibConnectParams params{text_or_null(server), text_or_null(user),
                                       text_or_null(password), text_or_null(key)};
        oruError rc = key.empty() ? oruDiskLib_Connect(params, &connection_)
                                  : oruDiskLib_Set_AK(params, &connection_);
        wipe(password);
        wipe(key);
        if (rc != ORU_OK) {
            connection_ = nullptr; // a failed login hands back nothing to log out
            report_failure("cannot log in to " + c.server, rc);
            return false;
        }
    }
    if (oruError rc = oruDiskLib_Init(&handle_); rc != ORU_OK) {
        handle_ = nullptr;
        report_failure("cannot allocate a volume handle", rc);
        return false;
    }
    const char *mode = transport_.empty() ? nullptr : transport_.c_str();
    // NBD clients send flush (and FUA, which nbdkit turns into a flush) where
    // they need durability: writes need not wait for the disk one by one.
    const int flags = readonly_ ? ORU_RO : ORU_RW | ORU_WRITEBACK;
    oruError rc = oruDiskLib_Open(&volume_, flags, mode, remote_, handle_, connection_);
    if (rc != ORU_OK) {
        report_failure("cannot open " + name_, rc);
        return false;
    }
    open_ = true;
    return true;
}

VolumeHandle::~VolumeHandle() {
    if (open_) {
        // A client that leaves without flushing still gets its writes made
        // durable. A flush or close that fails may mean written data did not
        // reach the image: the NBD client is gone, so the server's log is
        // all that can hear.
        if (!readonly_) flush();
        if (oruError rc = oruDiskLib_Close(handle_, &volume_); rc != ORU_OK)
            report_failure("closing " + name_ + " failed", rc);
    }
    if (handle_) oruDiskLib_Finalize(&handle_);
    if (connection_) oruDiskLib_DisConnect(connection_);
}

bool VolumeHandle::read_sectors(uint64_t sector, uint64_t count, void *buffer) {
    oruError rc = oruDiskLib_Read(handle_, &volume_, sector, count, buffer);
    if (rc == ORU_OK) return true;
    report_failure("reading " + name_ + " at byte " + std::to_string(sector * kSector) + " failed",
                   rc);
    return false;
}

bool VolumeHandle::write_sectors(uint64_t sector, uint64_t count, const void *buffer) {
    // The library only reads from the buffer it is given to write.
    oruError rc = oruDiskLib_Write(handle_, &volume_, sector, count, const_cast<void *>(buffer));
    if (rc == ORU_OK) return true;
    report_failure("writing " + name_ + " at byte " + std::to_string(sector * kSector) + " failed",
                   rc);
    return false;
}

bool VolumeHandle::read(void *buffer, uint64_t count, uint64_t offset) {
    auto *out = static_cast<unsigned char *>(buffer);
    unsigned char sector[kSector];
    while (count > 0) {
        uint64_t n;
        if (offset % kSector != 0 || count < kSector) {
            // A sector past a raw image's odd end comes back short: no
            // stale bytes may fill the rest.
            std::memset(sector, 0, sizeof sector);
            if (!read_sectors(offset / kSector, 1, sector)) return false;
            uint64_t within = offset % kSector;
            n = std::min(count, kSector - within);
            std::memcpy(out, sector + within, n);
        } else {
            n = std::min(count - count % kSector, kMaxTransfer);
            if (!read_sectors(offset / kSector, n / kSector, out)) return false;
        }
        out += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool VolumeHandle::patch_sector(uint64_t offset, const unsigned char *data, uint64_t length) {
    unsigned char sector[kSector] = {};
    if (!read_sectors(offset / kSector, 1, sector)) return false;
    std::memcpy(sector + offset % kSector, data, length);
    return write_sectors(offset / kSector, 1, sector);
}

bool VolumeHandle::write(const void *buffer, uint64_t count, uint64_t offset) {
    auto *in = static_cast<const unsigned char *>(buffer);
    while (count > 0) {
        uint64_t n;
        if (offset % kSector != 0 || count < kSector) {
            n = std::min(count, kSector - offset % kSector);
            if (!patch_sector(offset, in, n)) return false;
        } else {
            n = std::min(count - count % kSector, kMaxTransfer);
            if (!write_sectors(offset / kSector, n / kSector, in)) return false;
        }
        in += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool VolumeHandle::zero(uint64_t count, uint64_t offset) {
    static constexpr unsigned char kZeros[kSector] = {};
    if (const uint64_t within = offset % kSector; within != 0 && count > 0) {
        const uint64_t n = std::min(count, kSector - within);
        if (!patch_sector(offset, kZeros, n)) return false;
        offset += n;
        count -= n;
    }
    if (const uint64_t whole = count - count % kSector; whole > 0) {
        oruError rc = oruDiskLib_WriteZeroes(handle_, &volume_, offset / kSector, whole / kSector);
        if (rc != ORU_OK) {
            report_failure("zeroing " + name_ + " at byte " + std::to_string(offset) + " failed",
                           rc);
            return false;
        }
        offset += whole;
        count -= whole;
    }
    // The last partial sector, also where a raw image ends inside one.
    return count == 0 || patch_sector(offset, kZeros, count);
}

bool VolumeHandle::flush() {
    if (oruError rc = oruDiskLib_Flush(handle_, &volume_); rc != ORU_OK) {
        report_failure("flushing " + name_ + " failed", rc);
        return false;
    }
    return true;
}

bool VolumeHandle::extents(uint64_t count, uint64_t offset, bool first_only, nbdkit_extents *out) {
    uint64_t sector = offset / kSector;
    const uint64_t end = (offset + count + kSector - 1) / kSector;
    std::vector<oruDiskLibExtent> batch(kExtentBatch);
    while (sector < end) {
        uint32_t found = 0;
        oruError rc = oruDiskLib_QueryExtents(handle_, &volume_, sector, end - sector, batch.data(),
                                              kExtentBatch, &found);
        if (rc != ORU_OK) {
            report_failure("querying the extents of " + name_ + " failed", rc);
            return false;
        }
        if (found == 0) break; // the volume ends here
        for (uint32_t i = 0; i < found; ++i) {
            const oruDiskLibExtent &e = batch[i];
            uint32_t type =
                (e.flags & ORU_EXTENT_ZERO) ? NBDKIT_EXTENT_HOLE | NBDKIT_EXTENT_ZERO : 0;
            if (nbdkit_add_extent(out, e.start * kSector, e.count * kSector, type) == -1)
                return false;
            sector = e.start + e.count;
        }
        if (first_only) break;
    }
    return true;
}

} // namespace oru_nbdkit
